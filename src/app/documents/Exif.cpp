#include "app/documents/Exif.h"

#include <cstdint>
#include <cstring>

constexpr uint16_t TAG_ORIENTATION = 0x0112;
constexpr uint16_t TYPE_SHORT = 3;
constexpr size_t IFD_ENTRY_SIZE = 12;

// The TIFF structure of the payload, read in its byte order; every read is
// checked against its end.
struct Tiff {
    const unsigned char* data;
    size_t size;
    bool big_endian;
};

static bool read16(const Tiff& tiff, size_t offset, uint16_t* value) {
    if (offset > tiff.size || tiff.size - offset < 2) return false;
    const unsigned char* p = tiff.data + offset;
    *value = tiff.big_endian ? (uint16_t)(p[0] << 8 | p[1]) : (uint16_t)(p[1] << 8 | p[0]);
    return true;
}

static bool read32(const Tiff& tiff, size_t offset, uint32_t* value) {
    uint16_t first, second;
    if (!read16(tiff, offset, &first) || !read16(tiff, offset + 2, &second)) return false;
    *value = tiff.big_endian ? (uint32_t)first << 16 | second : (uint32_t)second << 16 | first;
    return true;
}

int exifOrientation(const unsigned char* data, size_t size) {
    static const unsigned char kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    if (data == nullptr || size < sizeof(kExif) || memcmp(data, kExif, sizeof(kExif)) != 0) {
        return EXIF_UPRIGHT;
    }
    Tiff tiff = {data + sizeof(kExif), size - sizeof(kExif), false};
    if (tiff.size < 8) return EXIF_UPRIGHT;
    if (memcmp(tiff.data, "MM", 2) == 0) {
        tiff.big_endian = true;
    } else if (memcmp(tiff.data, "II", 2) != 0) {
        return EXIF_UPRIGHT;
    }
    uint16_t magic = 0, entries = 0;
    uint32_t ifd = 0;
    if (!read16(tiff, 2, &magic) || magic != 42 || !read32(tiff, 4, &ifd) ||
        !read16(tiff, ifd, &entries)) {
        return EXIF_UPRIGHT;
    }
    for (size_t i = 0; i < entries; i++) {
        size_t entry = (size_t)ifd + 2 + i * IFD_ENTRY_SIZE;
        uint16_t tag = 0, type = 0, value = 0;
        uint32_t count = 0;
        if (!read16(tiff, entry, &tag) || !read16(tiff, entry + 2, &type) ||
            !read32(tiff, entry + 4, &count) || !read16(tiff, entry + 8, &value)) {
            return EXIF_UPRIGHT;
        }
        if (tag != TAG_ORIENTATION) continue;
        bool valid = type == TYPE_SHORT && count == 1 && value >= EXIF_UPRIGHT &&
                     value <= EXIF_TURN_ANTICLOCKWISE;
        return valid ? (int)value : (int)EXIF_UPRIGHT;
    }
    return EXIF_UPRIGHT;
}

bool exifSwapsSides(int orientation) {
    return orientation >= EXIF_TRANSPOSED && orientation <= EXIF_TURN_ANTICLOCKWISE;
}

void makeUpright(int orientation, std::vector<unsigned char>* pixels, int* width, int* height) {
    if (orientation <= EXIF_UPRIGHT || orientation > EXIF_TURN_ANTICLOCKWISE) return;
    const size_t w = (size_t)*width, h = (size_t)*height;
    if (w == 0 || h == 0 || pixels->size() / w < h) return;
    const bool swap = exifSwapsSides(orientation);
    const size_t out_w = swap ? h : w, out_h = swap ? w : h;
    std::vector<unsigned char> upright(w * h);
    const unsigned char* in = pixels->data();
    for (size_t y = 0; y < out_h; y++) {
        unsigned char* row = upright.data() + y * out_w;
        for (size_t x = 0; x < out_w; x++) {
            // The stored pixel shown at (x, y).
            size_t sx = x, sy = y;
            switch (orientation) {
                case EXIF_MIRRORED: sx = w - 1 - x; break;
                case EXIF_UPSIDE_DOWN: sx = w - 1 - x, sy = h - 1 - y; break;
                case EXIF_FLIPPED: sy = h - 1 - y; break;
                case EXIF_TRANSPOSED: sx = y, sy = x; break;
                case EXIF_TURN_CLOCKWISE: sx = y, sy = h - 1 - x; break;
                case EXIF_TRANSVERSE: sx = w - 1 - y, sy = h - 1 - x; break;
                case EXIF_TURN_ANTICLOCKWISE: sx = w - 1 - y, sy = x; break;
            }
            row[x] = in[sy * w + sx];
        }
    }
    pixels->swap(upright);
    *width = (int)out_w;
    *height = (int)out_h;
}
