// The page records of the printer stream. Each is a 32-byte header, all
// integers signed 32-bit little-endian with no gaps, then the page's JBIG
// data:
//   offset  0  16 bytes  magic "rx7316_printer" and two zero bytes
//   offset 16   4 bytes  first_page  1 on every copy of the job's first page
//   offset 20   4 bytes  last_page   1 on the job's last record
//   offset 24   4 bytes  data_size   bytes of JBIG data that follow
//   offset 28   4 bytes  page_no     1-based position among the records
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t PAGE_MAGIC_SIZE = 16;
constexpr size_t PAGE_HEADER_SIZE = 32;

struct printer_header {
    char magic[PAGE_MAGIC_SIZE];
    int32_t first_page;
    int32_t last_page;
    int32_t data_size;  // set by every user before the header is written
    int32_t page_no;

    printer_header();
};

// The header's fields in six writes' worth of order: magic, first_page,
// `last_page` (which a caller may force to a value other than the stored
// one), data_size, page_no.
void writeRecordHeader(FILE* out, const printer_header& header, int32_t last_page);

// The JBIG data of a record, in one write.
void writeRecordData(FILE* out, const unsigned char* data, size_t size);

// Pushes the record just written to the printer and tells the scheduler's
// page accounting that record `page_no` reached it and stands for
// `impressions` printed sheet sides ("PAGE: n i"). False, with an "ERROR: "
// line unless the job is being cancelled, when the stream can no longer be
// written: nothing is counted that did not reach the printer.
bool recordSent(FILE* out, int32_t page_no, int impressions);
