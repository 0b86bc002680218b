// The encoder against libjbig, the reference it must match byte for byte.
#include "image/JbigEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "JbigReference.h"

namespace {

struct Page {
    const char* name;
    uint32_t width, height;
    std::vector<unsigned char> bits;
};

size_t rowBytes(uint32_t width) { return ((size_t)width + 7) / 8; }

void setPixel(Page* p, uint32_t x, uint32_t y) {
    p->bits[(size_t)y * rowBytes(p->width) + x / 8] |= (unsigned char)(0x80 >> (x % 8));
}

Page blank(const char* name, uint32_t width, uint32_t height, unsigned char fill = 0) {
    return Page{name, width, height, std::vector<unsigned char>(rowBytes(width) * height, fill)};
}

// Lines of glyph-sized blobs with word gaps and margins, as a text page.
Page text(uint32_t width, uint32_t height, unsigned seed) {
    Page p = blank("text", width, height);
    std::mt19937 rng(seed);
    for (uint32_t top = 40; top + 30 < height; top += 36) {
        uint32_t x = 30;
        while (x + 20 < width - 30) {
            uint32_t glyph = 6 + rng() % 10;
            if (rng() % 6 == 0) {
                x += glyph;  // a space
                continue;
            }
            for (uint32_t y = top + rng() % 6; y < top + 24; ++y) {
                for (uint32_t gx = x; gx < x + glyph - 2; ++gx) {
                    if (rng() % 3 != 0) setPixel(&p, gx, y);
                }
            }
            x += glyph;
        }
    }
    return p;
}

// An ordered 4x4 dither of a gradient: the same few patterns over and over.
Page halftone(uint32_t width, uint32_t height) {
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    Page p = blank("halftone", width, height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            int level = (int)(16 * (x + y) / (width + height));
            if (kBayer[y % 4][x % 4] < level) setPixel(&p, x, y);
        }
    }
    return p;
}

// A smooth picture by error diffusion: patterns that never repeat exactly.
Page photo(uint32_t width, uint32_t height) {
    Page p = blank("photo", width, height);
    std::vector<double> error(width + 2, 0.0), next(width + 2, 0.0);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            double v = 0.5 + 0.45 * std::sin(x * 0.05) * std::cos(y * 0.031) + error[x + 1];
            double out = v > 0.5 ? 1.0 : 0.0;
            if (out > 0) setPixel(&p, x, y);
            double e = v - out;
            error[x + 2] += e * 7 / 16;
            next[x] += e * 3 / 16;
            next[x + 1] += e * 5 / 16;
            next[x + 2] += e / 16;
        }
        error.swap(next);
        std::fill(next.begin(), next.end(), 0.0);
    }
    return p;
}

Page noise(const char* name, uint32_t width, uint32_t height, unsigned seed) {
    Page p = blank(name, width, height);
    std::mt19937 rng(seed);
    for (unsigned char& b : p.bits) b = (unsigned char)rng();
    return p;
}

Page oneBlackLine(uint32_t width, uint32_t height, uint32_t line) {
    Page p = blank("one black line", width, height);
    for (uint32_t x = 0; x < width; ++x) setPixel(&p, x, line);
    return p;
}

std::vector<Page> corpus() {
    std::vector<Page> pages;
    pages.push_back(text(4960, 1100, 1));  // A4's width at 600 dpi
    pages.push_back(text(1237, 300, 2));
    pages.push_back(halftone(1000, 389));
    pages.push_back(photo(777, 300));
    pages.push_back(noise("random", 333, 260, 3));
    pages.push_back(blank("all white", 4960, 700));
    pages.push_back(blank("all black", 1001, 300, 0xff));
    pages.push_back(noise("one pixel wide", 1, 700, 4));
    pages.push_back(blank("one pixel wide, black", 1, 129, 0xff));
    pages.push_back(blank("one pixel", 1, 1, 0xff));
    for (uint32_t width : {2u, 7u, 9u, 63u, 65u, 127u, 129u}) {
        pages.push_back(noise("odd width", width, 131, width));
    }
    for (uint32_t height : {1u, 127u, 128u, 129u, 255u, 257u}) {
        pages.push_back(text(640, height, height));
    }
    pages.push_back(oneBlackLine(2000, 600, 0));
    pages.push_back(oneBlackLine(2000, 600, 127));
    pages.push_back(oneBlackLine(2000, 600, 128));
    pages.push_back(oneBlackLine(2000, 600, 599));
    // Sparse dots: context 0 with its MPS turned black now and then.
    Page dots = blank("sparse dots", 3000, 400);
    std::mt19937 rng(9);
    for (int i = 0; i < 4000; ++i) setPixel(&dots, rng() % 3000, rng() % 400);
    pages.push_back(dots);
    return pages;
}

std::string label(const Page& p) {
    return std::string(p.name) + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
}

std::string ours(const Page& p) {
    JbigBytes out;
    out.limit = SIZE_MAX;
    EXPECT_TRUE(encodeJbigPage(p.bits.data(), p.width, p.height, &out)) << label(p);
    std::string bytes((const char*)out.data, out.size);
    free(out.data);
    return bytes;
}

// A page cut at `cut`: each run on its own, one header in front.
std::string inTwoRuns(const Page& p, uint32_t cut) {
    JbigBytes out;
    out.limit = SIZE_MAX;
    unsigned char header[JBIG_HEADER_SIZE];
    writeJbigHeader(header, p.width, p.height);
    appendJbigBytes(&out, header, sizeof(header));
    JbigBytes second;
    second.limit = SIZE_MAX;
    encodeJbigStripes(p.bits.data(), p.width, p.height, cut, jbigStripeCount(p.height), &second);
    encodeJbigStripes(p.bits.data(), p.width, p.height, 0, cut, &out);
    appendJbigBytes(&out, second.data, second.size);
    std::string bytes((const char*)out.data, out.size);
    free(out.data);
    free(second.data);
    return bytes;
}

}  // namespace

// Every page of the corpus is libjbig's bytes; so is each page cut into
// two runs of stripes at its balanced cut and at every other stripe edge,
// and each page with its padding bits set.
TEST(JbigEncoder, CorpusIsTheReferenceByteForByte) {
    for (const Page& page : corpus()) {
        std::string expected = referenceJbig(page.bits.data(), page.width, page.height);
        ASSERT_GE(expected.size(), JBIG_HEADER_SIZE) << label(page);
        EXPECT_TRUE(ours(page) == expected) << label(page);
        uint32_t stripes = jbigStripeCount(page.height);
        uint32_t balanced = balancedStripeCut(page.bits.data(), page.width, page.height);
        EXPECT_LT(balanced, stripes) << label(page);
        EXPECT_EQ(balanced == 0, stripes == 1) << label(page);
        for (uint32_t cut = 1; cut < stripes; ++cut) {
            EXPECT_TRUE(inTwoRuns(page, cut) == expected) << label(page) << " cut " << cut;
        }
        if (page.width % 8 != 0) {
            Page dirty = page;
            size_t row = rowBytes(page.width);
            for (uint32_t y = 0; y < page.height; ++y) {
                dirty.bits[y * row + row - 1] |= (unsigned char)(0xff >> (page.width % 8));
            }
            EXPECT_TRUE(ours(dirty) == expected) << label(page) << " with padding bits set";
        }
    }
}

TEST(JbigEncoder, HeaderIsTheOnePbmtojbgWrites) {
    unsigned char header[JBIG_HEADER_SIZE];
    writeJbigHeader(header, 4960, 7016);
    const unsigned char expected[JBIG_HEADER_SIZE] = {
        0, 0, 1, 0, 0, 0, 0x13, 0x60, 0, 0, 0x1b, 0x68, 0, 0, 0, 0x80, 0, 0, 0, 0x08};
    EXPECT_EQ(memcmp(header, expected, sizeof(header)), 0);
}

// The data never grows past its limit: the encoding stops and says why.
TEST(JbigEncoder, StopsAtItsLimit) {
    Page p = noise("random", 400, 300, 5);
    JbigBytes out;
    out.limit = 1000;
    EXPECT_FALSE(encodeJbigPage(p.bits.data(), p.width, p.height, &out));
    EXPECT_NE(out.failure, nullptr);
    EXPECT_LE(out.size, out.limit);
    free(out.data);
}
