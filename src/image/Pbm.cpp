#include "Pbm.h"

#include <cctype>
#include <cstdint>

void skipPbmComments(FILE* file) {
    for (;;) {
        int c = fgetc(file);
        if (c == ' ' || c == '\n' || c == '\r') continue;
        if (c == '#') {
            do {
                c = fgetc(file);
            } while (c != '\n' && c != '\r' && c != EOF);
            if (c == EOF) return;
            continue;
        }
        if (c != EOF) ungetc(c, file);
        return;
    }
}

// fscanf's %d has undefined behaviour on overflow, so sizes are read here:
// any whitespace, an optional sign, decimal digits. 1 when no number or one
// beyond int's range.
static int readDecimal(FILE* file, int* value) {
    int c;
    do {
        c = fgetc(file);
    } while (c != EOF && isspace(c));
    bool negative = (c == '-');
    if (c == '-' || c == '+') c = fgetc(file);
    if (c == EOF || !isdigit(c)) {
        if (c != EOF) ungetc(c, file);
        return 1;
    }
    int64_t number = 0;
    bool overflow = false;
    for (; c != EOF && isdigit(c); c = fgetc(file)) {
        number = number * 10 + (c - '0');
        if (number > INT32_MAX) {
            overflow = true;
            number = INT32_MAX;
        }
    }
    if (c != EOF) ungetc(c, file);
    *value = (int)(negative ? -number : number);
    return overflow ? 1 : 0;
}

int readPbmHeader(FILE* file, PbmHeader* header) {
    header->magic[0] = '\0';
    header->width = 0;
    header->height = 0;
    if (fscanf(file, " %2s", header->magic) != 1) return 1;
    skipPbmComments(file);
    if (readDecimal(file, &header->width) != 0) return 1;
    skipPbmComments(file);
    if (readDecimal(file, &header->height) != 0) return 1;
    if (header->width <= 0 || header->height <= 0) return 1;
    // Both factors are below 2^31, so the product fits in 64 bits; it must
    // also be allocatable on this platform.
    uint64_t bytes = pbmRowBytes(header->width) * (uint64_t)header->height;
    return bytes > (uint64_t)SIZE_MAX / 2 ? 1 : 0;
}
