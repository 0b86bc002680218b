#include "app/job/PagePlacement.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/job/JobSettings.h"
#include "stream/PageLoop.h"

// The largest page a client may send: the printer's largest paper plus an
// inch on every side at its highest resolution, as the filter takes pages.
static PaperLimit printerLimit() {
    PaperLimit limit;
    for (const MediaSize& size : kMedia) {
        limit.short_in = std::max(limit.short_in, std::min(size.width_pt, size.height_pt) / 72.0);
        limit.long_in = std::max(limit.long_in, std::max(size.width_pt, size.height_pt) / 72.0);
    }
    limit.max_dpi = 1200;
    return limit;
}

// PAPPL hands the driver a client's 8-bit page header as it came, and never
// dithers it itself (the driver's pages are 8-bit): a page it did not hand
// over is the header PAPPL made, meaning the client's page has fewer bits.
std::string clientPageRefusal(const cups_page_header2_t& client, const cups_page_header2_t& made,
                              unsigned job_dpi) {
    char why[256];
    if (memcmp(&client, &made, sizeof(client)) == 0 || client.cupsBitsPerPixel != 8 ||
        client.cupsBitsPerColor != 8 ||
        (client.cupsColorSpace != CUPS_CSPACE_SW && client.cupsColorSpace != CUPS_CSPACE_W &&
         client.cupsColorSpace != CUPS_CSPACE_K)) {
        return "its pages are not 8-bit gray, which is what the printer application takes";
    }
    if (client.HWResolution[0] != client.HWResolution[1] ||
        (client.HWResolution[0] != 600 && client.HWResolution[0] != 1200)) {
        snprintf(why, sizeof(why), "its pages are at %ux%u dpi; the printer prints at 600 or 1200",
                 client.HWResolution[0], client.HWResolution[1]);
        return why;
    }
    if (job_dpi != 0 && client.HWResolution[0] != job_dpi) {
        snprintf(why, sizeof(why), "its pages change resolution from %u to %u dpi", job_dpi,
                 client.HWResolution[0]);
        return why;
    }
    if (client.cupsBytesPerLine != client.cupsWidth) {
        return "its lines are not as long as its width";
    }
    // Measured as the 1-bit page it becomes.
    static const PaperLimit kLimit = printerLimit();
    cups_page_header2_t bitmap = client;
    bitmap.cupsBitsPerPixel = bitmap.cupsBitsPerColor = 1;
    bitmap.cupsBytesPerLine = (client.cupsWidth + 7) / 8;
    return checkRasterPage(bitmap, kLimit, why, sizeof(why)) ? "" : why;
}

PrintableArea printableArea(const cups_page_header2_t& sheet) {
    const unsigned x_dpi = sheet.HWResolution[0], y_dpi = sheet.HWResolution[1];
    PrintableArea area;
    area.page = sheet;
    area.page.cupsWidth = pointsToPixels((int)sheet.PageSize[0] - 2 * MARGIN_PT, x_dpi);
    area.page.cupsHeight = pointsToPixels((int)sheet.PageSize[1] - 2 * MARGIN_PT, y_dpi);
    area.page.cupsBytesPerLine = (area.page.cupsWidth + 7) / 8;
    area.left = (unsigned)(MARGIN_PT * x_dpi / 72);
    area.top = (unsigned)(MARGIN_PT * y_dpi / 72);
    return area;
}

void ditherLine(const PrintableArea& area, const cups_page_header2_t& client,
                const unsigned char dither_row[16], const unsigned char* gray,
                unsigned char* line) {
    std::fill(line, line + area.page.cupsBytesPerLine, 0);
    bool ink_is_high = client.cupsColorSpace == CUPS_CSPACE_K;
    for (unsigned x = 0; x < area.page.cupsWidth; x++) {
        unsigned sheet_x = x + area.left;
        if (sheet_x >= client.cupsWidth) break;
        unsigned char threshold = dither_row[sheet_x & 15];
        bool black = ink_is_high ? gray[sheet_x] > threshold : gray[sheet_x] <= threshold;
        if (black) line[x / 8] |= (unsigned char)(0x80 >> (x & 7));
    }
}

void cropLine(const PrintableArea& area, const unsigned char* bits, unsigned sheet_width,
              unsigned char* line) {
    std::fill(line, line + area.page.cupsBytesPerLine, 0);
    const unsigned shift = area.left & 7;
    const unsigned char* from = bits + area.left / 8;
    const unsigned width =
        std::min(area.page.cupsWidth, sheet_width > area.left ? sheet_width - area.left : 0);
    const unsigned bytes = (width + 7) / 8;
    const unsigned sheet_bytes = (sheet_width + 7) / 8 - area.left / 8;
    for (unsigned i = 0; i < bytes; i++) {
        unsigned next = i + 1 < sheet_bytes ? from[i + 1] : 0;
        line[i] = (unsigned char)((from[i] << shift) | (next >> (8 - shift)));
    }
    // The last byte keeps no bits of the margin beyond the area.
    if (width & 7) line[bytes - 1] &= (unsigned char)(0xff << (8 - (width & 7)));
}

std::string croppedPageMessage(unsigned page, unsigned width_mm, unsigned height_mm,
                               const cups_page_header2_t& sheet) {
    const MediaSize* paper = mediaSize(sheet.cupsPageSizeName);
    auto mm = [](unsigned points) { return (points * 254 + 360) / 720; };
    char text[256];
    snprintf(text, sizeof(text),
             "%s%.0u is %u x %u mm, larger than the %s paper (%u x %u mm): it is cropped to the "
             "paper.",
             page > 0 ? "Page " : "A page", page, width_mm, height_mm, paper ? paper->ppd : "job's",
             mm(sheet.PageSize[0]), mm(sheet.PageSize[1]));
    return text;
}
