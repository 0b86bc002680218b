// A photo's EXIF orientation, read from network input, and its pixels
// turned upright.
#include "app/documents/Exif.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An APP1 payload whose IFD0 holds `tag` = `value` (a SHORT) after one
// other entry, in either byte order.
std::vector<unsigned char> exif(bool big_endian, int value, int tag = 0x0112, int type = 3) {
    std::vector<unsigned char> out = {'E', 'x', 'i', 'f', 0, 0};
    auto put16 = [&](int v) {
        unsigned char hi = (unsigned char)(v >> 8), lo = (unsigned char)v;
        out.insert(out.end(), big_endian ? std::initializer_list<unsigned char>{hi, lo}
                                         : std::initializer_list<unsigned char>{lo, hi});
    };
    auto put32 = [&](long v) {
        big_endian ? (put16((int)(v >> 16)), put16((int)v))
                   : (put16((int)v), put16((int)(v >> 16)));
    };
    const unsigned char order = big_endian ? 'M' : 'I';
    out.insert(out.end(), {order, order});
    put16(42);
    put32(8);  // IFD0 right after the header
    put16(2);
    put16(0x010f), put16(2), put32(4), put32(0);  // Make, not looked at
    put16(tag), put16(type), put32(1), put16(value), put16(0);
    put32(0);  // no next IFD
    return out;
}

TEST(Exif, OrientationIsReadInBothByteOrdersAndOnlyWhenSound) {
    struct Row {
        const char* name;
        std::vector<unsigned char> data;
        int want;
    };
    std::vector<unsigned char> cut = exif(false, 6);
    cut.resize(cut.size() - 8);  // ends inside the orientation's entry
    std::vector<unsigned char> far_ifd = exif(true, 6);
    far_ifd[6 + 4] = 0x7f;  // IFD0 offset far past the end
    std::vector<unsigned char> many = exif(false, 6);
    many[6 + 8] = 0xff, many[6 + 9] = 0xff;  // 65535 entries: the tag is found first
    const Row rows[] = {
        {"little-endian 6", exif(false, 6), 6},
        {"big-endian 8", exif(true, 8), 8},
        {"big-endian 3", exif(true, 3), 3},
        {"value 0", exif(false, 0), 1},
        {"value 9", exif(true, 9), 1},
        {"a LONG, not a SHORT", exif(false, 6, 0x0112, 4), 1},
        {"no orientation tag", exif(true, 6, 0x0110), 1},
        {"cut inside the entry", cut, 1},
        {"IFD0 past the end", far_ifd, 1},
        {"entry count past the end", many, 6},
        {"not EXIF", {'J', 'F', 'I', 'F', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0}, 1},
        {"bad byte order", {'E', 'x', 'i', 'f', 0, 0, 'I', 'M', 42, 0, 8, 0, 0, 0}, 1},
        {"header only", {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42}, 1},
        {"empty", {}, 1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(exifOrientation(row.data.data(), row.data.size()), row.want) << row.name;
    }
    // Every cut of a sound segment reads within its bytes.
    std::vector<unsigned char> sound = exif(true, 8);
    for (size_t size = 0; size < sound.size(); size++) {
        std::vector<unsigned char> part(sound.begin(), sound.begin() + (long)size);
        int got = exifOrientation(part.data(), part.size());
        EXPECT_TRUE(got == 1 || got == 8) << size;
    }
}

// A 2 x 3 image stored with each orientation, written as its rows; upright
// it is always the same 2 x 3 picture "ab/cd/ef".
TEST(Exif, EveryOrientationComesOutUpright) {
    struct Row {
        int orientation;
        int width, height;
        const char* stored;
    };
    const Row rows[] = {
        {1, 2, 3, "abcdef"}, {2, 2, 3, "badcfe"}, {3, 2, 3, "fedcba"}, {4, 2, 3, "efcdab"},
        {5, 3, 2, "acebdf"}, {6, 3, 2, "bdface"}, {7, 3, 2, "fdbeca"}, {8, 3, 2, "ecafdb"},
    };
    for (const Row& row : rows) {
        std::vector<unsigned char> pixels(row.stored, row.stored + 6);
        int width = row.width, height = row.height;
        makeUpright(row.orientation, &pixels, &width, &height);
        EXPECT_EQ(std::string(pixels.begin(), pixels.end()), "abcdef") << row.orientation;
        EXPECT_EQ(width, 2) << row.orientation;
        EXPECT_EQ(height, 3) << row.orientation;
    }
}

}  // namespace
