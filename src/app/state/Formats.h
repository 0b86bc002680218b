// The documents the application takes, one row each: the type a client
// names, the type PAPPL spools it under, how it is read and how it begins.
// Every spooled document can be read again, so a job whose printer dropped
// the connection is sent again from its file.
#pragma once

#include <cstddef>

// The printer's own stream, as a raw job may carry it.
constexpr const char* PRINTER_FORMAT = "application/vnd.brivane-jbig";

enum class DocumentReader { Pdf, Jpeg, Png, Raster };

struct DocumentFormat {
    const char* sent;     // document-format, as a client names it
    const char* spooled;  // the type PAPPL keeps the job under
    DocumentReader reader;
    const char* magic;  // its first 8 bytes (NUL included), where they tell the type
};

extern const DocumentFormat kDocumentFormats[];
extern const size_t kDocumentFormatCount;

// The row whose `sent` (or, with `spooled`, whose spooled type) is TYPE;
// null for none or a null TYPE.
const DocumentFormat* findDocumentFormat(const char* type, bool spooled);
