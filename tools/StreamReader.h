// Reading and checking a printer stream as the filter writes it: the job
// block, then page records of a 32-byte header and JBIG data. Used by the
// stream inspector and by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StreamRecord {
    size_t offset = 0;  // of the record's header in the stream
    int32_t first_page = 0, last_page = 0, data_size = 0, page_no = 0;
    std::string data;  // the JBIG bytes
};

struct PrinterStreamData {
    bool valid = false;
    std::string error;  // why the stream is malformed, when not valid
    std::string job_params;
    std::vector<StreamRecord> records;
};

// Reads the job that starts at offset *at: its block and its records, up to
// the next job block or the end; *at is left after it. A job that is cut or
// malformed is not valid, with the reason and offset in `error`.
PrinterStreamData readPrinterJob(const std::string& bytes, size_t* at);

// Reads a stream of one job: one job block, then records. Anything after
// them (a further job included) makes it not valid.
PrinterStreamData readPrinterStream(const std::string& bytes);

// Reads a stream of one or more jobs one after another, as a printer
// connection carries them (a banner page, several documents). Reading stops
// at the first job that is not valid, which is then the last one returned.
std::vector<PrinterStreamData> readPrinterJobs(const std::string& bytes);

// The rules a well-formed job follows: page_no runs 1, 2, 3 ...; first_page
// 1 on the first record and only on copies of it; when `finished`, exactly
// one record has last_page 1 and it is the last. One text per broken rule.
std::vector<std::string> checkPrinterStream(const PrinterStreamData& stream, bool finished);

// The job block text as key/value pairs, in order.
std::vector<std::pair<std::string, std::string>> jobSettings(const std::string& job_params);

struct JbigImage {
    unsigned long width = 0, height = 0;
    std::string rows;  // packed, (width + 7) / 8 bytes a row, 1 = black
};

// Decodes one JBIG image entity with libjbig; false with `error` set.
bool decodeJbigImage(const std::string& data, JbigImage* image, std::string* error);

// Writes the image as a 1-bit greyscale PNG with libpng.
bool writePngPreview(const std::string& path, const JbigImage& image, std::string* error);
