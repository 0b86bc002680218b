// The documents the application takes, one row each: the type a client
// names, the type PAPPL spools it under, how it is read and how it begins.
// Every spooled document can be read again, so a job whose printer dropped
// the connection is sent again from its file.
#pragma once

#include <cstddef>

// The printer's own stream, as a raw job may carry it.
constexpr const char* PRINTER_FORMAT = "application/vnd.brivane-jbig";

// PWG and Apple raster are spooled under types of their own, which are a
// filter's from those types to this one: PAPPL lists a filter's source
// type as a format clients may send only when the filter ends in the
// printer's format or PWG raster.
constexpr const char* SPOOLED_RASTER_FILTER_TARGET = "application/x-quelmoss-spooled";

enum class DocumentReader { Pdf, Jpeg, Png, Raster, Raw };

struct DocumentFormat {
    const char* name;     // as a person names it
    const char* sent;     // document-format, as a client names it
    const char* spooled;  // the type PAPPL keeps the job under
    DocumentReader reader;
    const char* magic;  // its first bytes ...
    size_t magic_size;  // ... this many of them
};

extern const DocumentFormat kDocumentFormats[];
extern const size_t kDocumentFormatCount;

// The row whose `sent` (or, with `spooled`, whose spooled type) is TYPE;
// null for none or a null TYPE.
const DocumentFormat* findDocumentFormat(const char* type, bool spooled);

// The row of a document whose first SIZE bytes are HEAD; null for none.
const DocumentFormat* documentFormatOf(const char* head, size_t size);

// "PDF, JPEG, ... and ...": the table's names, as a client is told what the
// printer takes.
const char* documentFormatNames();
