// quelmoss_encode_alone: what the printer application's encoder costs alone,
// beside libjbig's. Reads a CUPS raster file and encodes each page in memory
// with the application's encoder and with libjbig, one page after another
// on one thread, and prints the processor seconds each took:
//
//   quelmoss_encode_alone RASTER
//   -> "pages 12 own 0.123 libjbig 0.456"
//
// Exit 0 when every page was encoded and both gave the same bytes. The
// benchmark works out the application's 2-core limit from the first figure.
#include <cups/raster.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/JbigReference.h"
#include "image/JbigEncoder.h"

static double cpuSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

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
    double own = 0, reference = 0;
    bool same = true;
    while (cupsRasterReadHeader2(raster, &h)) {
        size_t bytes = (size_t)h.cupsBytesPerLine * h.cupsHeight;
        if (h.cupsBitsPerPixel != 1 || bytes == 0) return 1;
        unsigned char* bits = (unsigned char*)calloc(bytes, 1);
        if (bits == nullptr || cupsRasterReadPixels(raster, bits, (unsigned)bytes) != bytes)
            return 1;
        double start = cpuSeconds();
        JbigBytes out;
        out.limit = SIZE_MAX;
        if (!encodeJbigPage(bits, h.cupsWidth, h.cupsHeight, &out)) return 1;
        double middle = cpuSeconds();
        std::string expected = referenceJbig(bits, h.cupsWidth, h.cupsHeight);
        reference += cpuSeconds() - middle;
        own += middle - start;
        same = same && expected == std::string((const char*)out.data, out.size);
        free(out.data);
        free(bits);
        pages++;
    }
    cupsRasterClose(raster);
    close(fd);
    printf("pages %d own %.4f libjbig %.4f\n", pages, own, reference);
    if (!same) fprintf(stderr, "%s: the encoders' bytes differ\n", argv[1]);
    return pages > 0 && same ? 0 : 1;
}
