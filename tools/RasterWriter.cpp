#include "RasterWriter.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

static unsigned lineBytes(const RasterPage& page) {
    if (page.bytes_per_line) return page.bytes_per_line;
    return (unsigned)(((uint64_t)page.width * page.bits_per_pixel + 7) / 8);
}

bool parseRasterPage(const std::string& text, RasterPage* page) {
    static const struct {
        const char* name;
        Pattern pattern;
    } kPatterns[] = {{"white", Pattern::White},     {"black", Pattern::Black},
                     {"checker", Pattern::Checker}, {"diagonal", Pattern::Diagonal},
                     {"noise", Pattern::Noise},     {"corners", Pattern::Corners}};
    unsigned width = 0, height = 0;
    char name[32] = "checker";
    int fields = sscanf(text.c_str(), "%ux%u:%31s", &width, &height, name);
    if (fields < 2 || width == 0 || height == 0) return false;
    for (const auto& known : kPatterns) {
        if (strcmp(known.name, name) == 0) {
            page->width = width;
            page->height = height;
            page->pattern = known.pattern;
            return true;
        }
    }
    return false;
}

static bool black(const RasterPage& page, unsigned x, unsigned y, uint32_t* seed) {
    switch (page.pattern) {
        case Pattern::White: return false;
        case Pattern::Black: return true;
        case Pattern::Checker: return ((x / 8) + (y / 8)) % 2 == 0;
        case Pattern::Diagonal: return x == y % page.width;
        case Pattern::Noise: *seed = *seed * 1103515245u + 12345u; return (*seed >> 16) & 1;
        case Pattern::Corners:
            return (x == 0 && y == 0) || (x == page.width - 1 && y == page.height - 1);
    }
    return false;
}

std::vector<unsigned char> patternRows(const RasterPage& page) {
    unsigned bpl = lineBytes(page);
    std::vector<unsigned char> rows((size_t)bpl * page.height, 0);
    if (page.pattern == Pattern::Black) {
        std::fill(rows.begin(), rows.end(), 0xff);
        return rows;
    }
    uint32_t seed = 1;
    unsigned pixels = page.bits_per_pixel == 1 ? page.width : bpl * 8;
    for (unsigned y = 0; y < page.height; y++) {
        for (unsigned x = 0; x < pixels; x++) {
            if (black(page, x, y, &seed)) rows[(size_t)y * bpl + x / 8] |= 0x80 >> (x % 8);
        }
    }
    return rows;
}

static cups_page_header2_t headerFor(const RasterPage& page) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof(h));
    strcpy(h.MediaClass, "PwgRaster");
    h.HWResolution[0] = h.HWResolution[1] = page.dpi;
    unsigned dpi = page.dpi ? page.dpi : 600;
    h.PageSize[0] = (unsigned)((uint64_t)page.width * 72 / dpi);
    h.PageSize[1] = (unsigned)((uint64_t)page.height * 72 / dpi);
    h.cupsWidth = page.width;
    h.cupsHeight = page.height;
    h.cupsBitsPerColor = page.bits_per_pixel;
    h.cupsBitsPerPixel = page.bits_per_pixel;
    h.cupsBytesPerLine = lineBytes(page);
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsNumColors = 1;
    return h;
}

bool writeRasterStream(int fd, const std::vector<RasterPage>& pages, bool compressed) {
    cups_raster_t* raster =
        cupsRasterOpen(fd, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    if (raster == nullptr) return false;
    bool ok = true;
    for (const RasterPage& page : pages) {
        cups_page_header2_t header = headerFor(page);
        if (!cupsRasterWriteHeader2(raster, &header)) {
            ok = false;
            break;
        }
        std::vector<unsigned char> rows = patternRows(page);
        if (!rows.empty() &&
            cupsRasterWritePixels(raster, rows.data(), (unsigned)rows.size()) < rows.size()) {
            ok = false;
            break;
        }
    }
    cupsRasterClose(raster);
    return ok;
}

bool writeRasterFile(const std::string& path, const std::vector<RasterPage>& pages,
                     bool compressed) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = writeRasterStream(fd, pages, compressed);
    return close(fd) == 0 && ok;
}
