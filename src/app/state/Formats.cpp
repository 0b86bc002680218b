#include "app/state/Formats.h"

#include <cstring>

// PAPPL takes PWG and Apple raster only as it arrives, one job of a printer
// at a time (a second gets "busy"), and gives the rest of the request no
// bound; under types of their own the same documents are spooled and queued.
const DocumentFormat kDocumentFormats[] = {
    {"application/pdf", "application/pdf", DocumentReader::Pdf, nullptr},
    {"image/jpeg", "image/jpeg", DocumentReader::Jpeg, nullptr},
    {"image/png", "image/png", DocumentReader::Png, nullptr},
    {"image/pwg-raster", "image/x-spooled-pwg-raster", DocumentReader::Raster, "RaS2PwgR"},
    {"image/urf", "image/x-spooled-urf", DocumentReader::Raster, "UNIRAST"},
};
const size_t kDocumentFormatCount = sizeof(kDocumentFormats) / sizeof(kDocumentFormats[0]);

const DocumentFormat* findDocumentFormat(const char* type, bool spooled) {
    if (type == nullptr) return nullptr;
    for (const DocumentFormat& format : kDocumentFormats) {
        if (strcmp(spooled ? format.spooled : format.sent, type) == 0) return &format;
    }
    return nullptr;
}
