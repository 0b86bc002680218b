// The printer's JBIG encoding of a bitmap in memory, done here rather than
// by a library: one plane, no resolution reduction, three-line template
// with the adaptive pixel left in place, typical prediction, 128-line
// stripes each ended by SDRST. The bytes are the ones
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0
// makes of the same page.
//
// SDRST resets the coder, its probabilities and the prediction state at
// every stripe, and the lines above a stripe count as white: each stripe
// depends on its own lines only. So a page cut into runs of whole stripes
// can be encoded on several threads and the runs' data joined behind one
// header.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t JBIG_STRIPE_LINES = 128;
constexpr size_t JBIG_HEADER_SIZE = 20;

// Where encoded data goes: a buffer that grows up to `limit` bytes.
struct JbigBytes {
    unsigned char* data = nullptr;  // malloc'ed; the owner frees it
    size_t size = 0, capacity = 0, limit = 0;
    const char* failure = nullptr;  // set once the data is not whole
};

// Appends `length` bytes, growing the buffer; false (and `failure` set)
// past the limit or when memory runs out.
bool appendJbigBytes(JbigBytes* out, const unsigned char* bytes, size_t length);

// The 20-byte header of a `width` x `height` page with the printer's
// options.
void writeJbigHeader(unsigned char header[JBIG_HEADER_SIZE], uint32_t width, uint32_t height);

inline uint32_t jbigStripeCount(uint32_t height) {
    return (uint32_t)(((uint64_t)height + JBIG_STRIPE_LINES - 1) / JBIG_STRIPE_LINES);
}

// Appends the data of stripes [first, end) of the packed bitmap `bits`
// (rows of (width + 7) / 8 bytes, the first pixel in the high bit; bits
// past the width are ignored). False when `out` failed.
bool encodeJbigStripes(const unsigned char* bits, uint32_t width, uint32_t height, uint32_t first,
                       uint32_t end, JbigBytes* out);

// The stripe at which to cut the page in two so both runs have about as
// many lines to code (lines equal to the one above cost next to nothing);
// 0 when the page has a single stripe.
uint32_t balancedStripeCut(const unsigned char* bits, uint32_t width, uint32_t height);

// The whole page: header, then every stripe.
bool encodeJbigPage(const unsigned char* bits, uint32_t width, uint32_t height, JbigBytes* out);
