// The application's JBIG encoder against libjbig on any bitmap: the page
// whole and cut into two runs of stripes must be libjbig's bytes exactly.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../JbigReference.h"
#include "image/JbigEncoder.h"

static std::string encoded(const unsigned char* bits, uint32_t width, uint32_t height,
                           uint32_t cut) {
    JbigBytes out;
    out.limit = SIZE_MAX;
    unsigned char header[JBIG_HEADER_SIZE];
    writeJbigHeader(header, width, height);
    appendJbigBytes(&out, header, sizeof(header));
    encodeJbigStripes(bits, width, height, 0, cut, &out);
    encodeJbigStripes(bits, width, height, cut, jbigStripeCount(height), &out);
    std::string bytes((const char*)out.data, out.size);
    free(out.data);
    return bytes;
}

// The first four bytes give the size (up to 1,024 x 400 pixels), the rest
// the rows, repeated to fill the page (the tail is where they change).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    uint32_t width = 1 + ((uint32_t)data[0] << 8 | data[1]) % 1024;
    uint32_t height = 1 + ((uint32_t)data[2] << 8 | data[3]) % 400;
    const uint8_t* rows = data + 4;
    size_t given = size - 4;
    std::vector<unsigned char> bits(((size_t)width + 7) / 8 * height);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = rows[i % given];
    std::string expected = referenceJbig(bits.data(), width, height);
    uint32_t stripes = jbigStripeCount(height);
    uint32_t cuts[] = {stripes, balancedStripeCut(bits.data(), width, height),
                       (uint32_t)(data[size - 1] % stripes)};
    for (uint32_t cut : cuts) {
        if (encoded(bits.data(), width, height, cut) != expected) {
            fprintf(stderr, "%u x %u cut at stripe %u: not libjbig's bytes\n", width, height, cut);
            abort();
        }
    }
    return 0;
}
