// rastergen: writes a CUPS raster stream of test pages to standard output.
//
//   rastergen [-z] [-r DPI] [-d BITS] WIDTHxHEIGHT[:PATTERN] ...
//
// PATTERN: white black checker diagonal noise corners (default checker).
// -z writes the compressed stream form; -d sets the bits per pixel.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "RasterWriter.h"

int main(int argc, char** argv) {
    bool compressed = false;
    unsigned dpi = 600, bits = 1;
    int opt;
    while ((opt = getopt(argc, argv, "zr:d:")) != -1) {
        switch (opt) {
            case 'z': compressed = true; break;
            case 'r': dpi = (unsigned)atoi(optarg); break;
            case 'd': bits = (unsigned)atoi(optarg); break;
            default:
                fprintf(stderr, "Usage: %s [-z] [-r DPI] [-d BITS] WIDTHxHEIGHT[:PATTERN] ...\n",
                        argv[0]);
                return 2;
        }
    }
    std::vector<RasterPage> pages;
    for (int i = optind; i < argc; i++) {
        RasterPage page;
        if (!parseRasterPage(argv[i], &page)) {
            fprintf(stderr, "rastergen: bad page \"%s\" (want WIDTHxHEIGHT[:PATTERN])\n", argv[i]);
            return 2;
        }
        page.dpi = dpi;
        page.bits_per_pixel = bits;
        pages.push_back(page);
    }
    if (!writeRasterStream(STDOUT_FILENO, pages, compressed)) {
        fprintf(stderr, "rastergen: writing the raster stream failed\n");
        return 1;
    }
    return 0;
}
