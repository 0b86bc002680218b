// quelmoss_encode_alone: what the printer application's encoder costs alone.
// Reads a CUPS raster file and encodes each page in memory with the
// application's encoder, one page after another, as the application's job
// thread would with a single processor. The benchmark times it on one
// processor to work out the application's 2-core limit.
//
//   quelmoss_encode_alone RASTER     (exit 0 when every page was encoded)
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "image/Jbig.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s RASTER\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    cups_raster_t* raster = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    if (raster == nullptr) {
        perror(argv[1]);
        return 1;
    }
    cups_page_header2_t h;
    int pages = 0;
    while (cupsRasterReadHeader2(raster, &h)) {
        size_t bytes = (size_t)h.cupsBytesPerLine * h.cupsHeight;
        if (h.cupsBitsPerPixel != 1 || bytes == 0) return 1;
        unsigned char* bits = (unsigned char*)calloc(bytes, 1);
        if (bits == nullptr || cupsRasterReadPixels(raster, bits, (unsigned)bytes) != bytes)
            return 1;
        EncoderRun run;
        unsigned char* jbig = nullptr;
        int64_t size = 0;
        if (startBitmapEncoding(bits, (int)h.cupsWidth, (int)h.cupsHeight, "page", &run) !=
                ENCODED ||
            finishBitmapEncoding(&run, &jbig, &size) != ENCODED) {
            return 1;
        }
        free(jbig);
        pages++;
    }
    cupsRasterClose(raster);
    close(fd);
    return pages > 0 ? 0 : 1;
}
