#include "app/state/Formats.h"

#include <cstring>
#include <string>

// PAPPL takes PWG and Apple raster only as it arrives, one job of a printer
// at a time (a second gets "busy"), and gives the rest of the request no
// bound; under types of their own the same documents are spooled and queued.
const DocumentFormat kDocumentFormats[] = {
    {"PDF", "application/pdf", "application/pdf", DocumentReader::Pdf, "%PDF", 4},
    {"JPEG", "image/jpeg", "image/jpeg", DocumentReader::Jpeg, "\377\330\377", 3},
    {"PNG", "image/png", "image/png", DocumentReader::Png, "\211PNG", 4},
    {"PWG raster", "image/pwg-raster", "image/x-spooled-pwg-raster", DocumentReader::Raster,
     "RaS2PwgR", 8},
    {"Apple raster", "image/urf", "image/x-spooled-urf", DocumentReader::Raster, "UNIRAST", 8},
    {"the printer's own stream", PRINTER_FORMAT, PRINTER_FORMAT, DocumentReader::Raw,
     "rx7316_param", 12},
};
const size_t kDocumentFormatCount = sizeof(kDocumentFormats) / sizeof(kDocumentFormats[0]);

const DocumentFormat* findDocumentFormat(const char* type, bool spooled) {
    if (type == nullptr) return nullptr;
    for (const DocumentFormat& format : kDocumentFormats) {
        if (strcmp(spooled ? format.spooled : format.sent, type) == 0) return &format;
    }
    return nullptr;
}

const DocumentFormat* documentFormatOf(const char* head, size_t size) {
    for (const DocumentFormat& format : kDocumentFormats) {
        if (size >= format.magic_size && memcmp(head, format.magic, format.magic_size) == 0) {
            return &format;
        }
    }
    return nullptr;
}

const char* documentFormatNames() {
    static const std::string names = [] {
        std::string list;
        for (size_t i = 0; i < kDocumentFormatCount; i++) {
            list += i == 0 ? "" : i + 1 < kDocumentFormatCount ? ", " : " and ";
            list += kDocumentFormats[i].name;
        }
        return list;
    }();
    return names.c_str();
}
