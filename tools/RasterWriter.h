// Writes CUPS raster streams with libcupsimage's own write API, so tests
// and demos never hand-craft raster bytes.
#pragma once

#include <string>
#include <vector>

enum class Pattern {
    White,     // all zero
    Black,     // all one, bits beyond the width included
    Checker,   // 8 x 8 pixel squares
    Diagonal,  // one black pixel per row, moving right
    Noise,     // a fixed pseudo-random bitmap, hard to compress
    Corners,   // black top-left and bottom-right pixels only
};

struct RasterPage {
    unsigned width = 0;
    unsigned height = 0;
    Pattern pattern = Pattern::Checker;
    unsigned bits_per_pixel = 1;
    unsigned dpi = 600;
    unsigned bytes_per_line = 0;  // 0: (width * bits + 7) / 8; others make broken headers
};

// Parses "WIDTHxHEIGHT[:pattern]", pattern one of white black checker
// diagonal noise corners. False on a malformed text.
bool parseRasterPage(const std::string& text, RasterPage* page);

// The rows of one page, bytes_per_line × height, as the filter should store
// them (1 = black, most significant bit leftmost).
std::vector<unsigned char> patternRows(const RasterPage& page);

// Writes the pages as one raster stream to `fd`; `compressed` chooses the
// compressed (RaS2) stream form over the plain one. True on success.
bool writeRasterStream(int fd, const std::vector<RasterPage>& pages, bool compressed = false);
bool writeRasterFile(const std::string& path, const std::vector<RasterPage>& pages,
                     bool compressed = false);
