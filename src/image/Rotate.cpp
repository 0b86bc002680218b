#include "Rotate.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/WorkDir.h"
#include "Pbm.h"

namespace {

struct Bitmap {
    int width = 0;
    int height = 0;
    size_t row_bytes = 0;
    unsigned char* bits = nullptr;
};

bool allocate(Bitmap* bitmap, int width, int height) {
    bitmap->width = width;
    bitmap->height = height;
    bitmap->row_bytes = (size_t)pbmRowBytes(width);
    bitmap->bits = (unsigned char*)calloc(bitmap->row_bytes * (size_t)height, 1);
    return bitmap->bits != nullptr;
}

inline bool pixel(const Bitmap& b, int x, int y) {
    return (b.bits[(size_t)y * b.row_bytes + (size_t)x / 8] >> (7 - x % 8)) & 1;
}

inline void setPixel(Bitmap* b, int x, int y) {
    b->bits[(size_t)y * b->row_bytes + (size_t)x / 8] |= (unsigned char)(0x80 >> (x % 8));
}

// Where source pixel (x, y) lands in the destination.
void turnedPosition(int angle, const Bitmap& src, int x, int y, int* dx, int* dy) {
    switch (angle) {
        case -90:
            *dx = y;
            *dy = src.width - 1 - x;
            break;
        case 90:
            *dx = src.height - 1 - y;
            *dy = x;
            break;
        default:
            *dx = src.width - 1 - x;
            *dy = src.height - 1 - y;
            break;  // 180
    }
}

void turn(const Bitmap& src, int angle, Bitmap* dst) {
    for (int y = 0; y < src.height; y++) {
        for (int x = 0; x < src.width; x++) {
            // Pages are mostly white: skip a whole white byte at once.
            if (x % 8 == 0 && src.bits[(size_t)y * src.row_bytes + (size_t)x / 8] == 0) {
                x += 7;
                continue;
            }
            if (!pixel(src, x, y)) continue;
            int dx, dy;
            turnedPosition(angle, src, x, y, &dx, &dy);
            setPixel(dst, dx, dy);
        }
    }
}

// Reads the source bitmap; 0 on success, else 1 with the reason reported.
int readSource(const char* input, Bitmap* src) {
    FILE* file = openWorkFile(input);
    if (file == nullptr) {
        perror("Error opening input file");
        return 1;
    }
    PbmHeader header;
    int bad_size = readPbmHeader(file, &header);
    fgetc(file);  // the single whitespace byte that ends the header
    int rc = 1;
    if (strcmp(header.magic, "P4") != 0) {
        fprintf(stderr, "Unsupported format or not a PBM file.\n");
    } else if (bad_size) {
        logMsg("DEBUG: rotatePbm: %s has no valid PBM size\n", input);
    } else if (!allocate(src, header.width, header.height)) {
        logMsg("DEBUG: rotatePbm: no memory for a %d x %d bitmap\n", header.width, header.height);
    } else {
        size_t got = fread(src->bits, 1, src->row_bytes * (size_t)src->height, file);
        (void)got;  // a short raster keeps its zero-filled, white rows
        rc = 0;
    }
    fclose(file);
    return rc;
}

int writeBitmap(const char* output, const Bitmap& bitmap) {
    FILE* file = createWorkFile(output);
    if (file == nullptr) {
        perror("Error opening output file");
        return 1;
    }
    fprintf(file, "P4\n%d %d\n", bitmap.width, bitmap.height);
    size_t bytes = bitmap.row_bytes * (size_t)bitmap.height;
    size_t written = fwrite(bitmap.bits, 1, bytes, file);
    int closed = fclose(file);
    return (written == bytes && closed == 0) ? 0 : 1;
}

}  // namespace

static bool supportedAngle(int angle) { return angle == -90 || angle == 90 || angle == 180; }

// Allocates `dst` for `src` turned by `angle` and turns it; false without
// memory.
static bool turned(const Bitmap& src, int angle, Bitmap* dst) {
    bool quarter = (angle != 180);
    if (!allocate(dst, quarter ? src.height : src.width, quarter ? src.width : src.height)) {
        return false;
    }
    turn(src, angle, dst);
    return true;
}

int rotatePbm(const char* input, const char* output, int angle) {
    if (!supportedAngle(angle)) {
        logMsg("DEBUG: rotatePbm: unsupported angle %d\n", angle);
        return 1;
    }
    Bitmap src, dst;
    int rc = readSource(input, &src);
    if (rc == 0) {
        if (!turned(src, angle, &dst)) {
            logMsg("DEBUG: rotatePbm: no memory for the turned bitmap\n");
            rc = 1;
        } else {
            rc = writeBitmap(output, dst);
        }
    }
    free(src.bits);
    free(dst.bits);
    return rc;
}

unsigned char* rotateBitmap(const unsigned char* bits, int width, int height, int angle) {
    if (!supportedAngle(angle) || width <= 0 || height <= 0) return nullptr;
    Bitmap src;
    src.width = width;
    src.height = height;
    src.row_bytes = (size_t)pbmRowBytes(width);
    src.bits = const_cast<unsigned char*>(bits);  // only read
    Bitmap dst;
    return turned(src, angle, &dst) ? dst.bits : nullptr;
}
