#include "JbigEncoder.h"

#include <cstdlib>
#include <cstring>

bool appendJbigBytes(JbigBytes* out, const unsigned char* bytes, size_t length) {
    if (out->failure != nullptr) return false;
    if (length > out->limit - out->size) {
        out->failure = "its JBIG data would be larger than the page could need";
        return false;
    }
    if (out->size + length > out->capacity) {
        size_t capacity = out->capacity > 0 ? out->capacity : 16 * 1024;
        while (capacity < out->size + length) capacity *= 2;
        if (capacity > out->limit) capacity = out->limit;
        unsigned char* grown = static_cast<unsigned char*>(realloc(out->data, capacity));
        if (grown == nullptr) {
            out->failure = "there is no memory for its JBIG data";
            return false;
        }
        out->data = grown;
        out->capacity = capacity;
    }
    if (length > 0) memcpy(out->data + out->size, bytes, length);
    out->size += length;
    return true;
}

static void putBe32(unsigned char* at, uint32_t value) {
    at[0] = (unsigned char)(value >> 24);
    at[1] = (unsigned char)(value >> 16);
    at[2] = (unsigned char)(value >> 8);
    at[3] = (unsigned char)value;
}

void writeJbigHeader(unsigned char header[JBIG_HEADER_SIZE], uint32_t width, uint32_t height) {
    memset(header, 0, JBIG_HEADER_SIZE);
    header[2] = 1;  // one plane; DL = D = 0: the lowest layer only
    putBe32(header + 4, width);
    putBe32(header + 8, height);
    putBe32(header + 12, JBIG_STRIPE_LINES);
    // MX = MY = 0 (the adaptive pixel never moves), order 0.
    header[19] = 0x08;  // TPBON
}

// ---------------------------------------------------------------------------
// The adaptive arithmetic coder.

namespace {

// Each state's LPS probability estimate and successors (the QM coder's
// table, shared with baseline JPEG's arithmetic coding); the high bit of
// `next_lps` says the MPS switches on an LPS.
struct QmState {
    uint16_t lsz;
    uint8_t next_mps, next_lps;
};
constexpr uint8_t SWITCH = 0x80;
constexpr QmState kStates[113] = {
    {0x5a1d, 1, 1 | SWITCH},
    {0x2586, 2, 14},
    {0x1114, 3, 16},
    {0x080b, 4, 18},
    {0x03d8, 5, 20},
    {0x01da, 6, 23},
    {0x00e5, 7, 25},
    {0x006f, 8, 28},
    {0x0036, 9, 30},
    {0x001a, 10, 33},
    {0x000d, 11, 35},
    {0x0006, 12, 9},
    {0x0003, 13, 10},
    {0x0001, 13, 12},
    {0x5a7f, 15, 15 | SWITCH},
    {0x3f25, 16, 36},
    {0x2cf2, 17, 38},
    {0x207c, 18, 39},
    {0x17b9, 19, 40},
    {0x1182, 20, 42},
    {0x0cef, 21, 43},
    {0x09a1, 22, 45},
    {0x072f, 23, 46},
    {0x055c, 24, 48},
    {0x0406, 25, 49},
    {0x0303, 26, 51},
    {0x0240, 27, 52},
    {0x01b1, 28, 54},
    {0x0144, 29, 56},
    {0x00f5, 30, 57},
    {0x00b7, 31, 59},
    {0x008a, 32, 60},
    {0x0068, 33, 62},
    {0x004e, 34, 63},
    {0x003b, 35, 32},
    {0x002c, 9, 33},
    {0x5ae1, 37, 37 | SWITCH},
    {0x484c, 38, 64},
    {0x3a0d, 39, 65},
    {0x2ef1, 40, 67},
    {0x261f, 41, 68},
    {0x1f33, 42, 69},
    {0x19a8, 43, 70},
    {0x1518, 44, 72},
    {0x1177, 45, 73},
    {0x0e74, 46, 74},
    {0x0bfb, 47, 75},
    {0x09f8, 48, 77},
    {0x0861, 49, 78},
    {0x0706, 50, 79},
    {0x05cd, 51, 48},
    {0x04de, 52, 50},
    {0x040f, 53, 50},
    {0x0363, 54, 51},
    {0x02d4, 55, 52},
    {0x025c, 56, 53},
    {0x01f8, 57, 54},
    {0x01a4, 58, 55},
    {0x0160, 59, 56},
    {0x0125, 60, 57},
    {0x00f6, 61, 58},
    {0x00cb, 62, 59},
    {0x00ab, 63, 61},
    {0x008f, 32, 61},
    {0x5b12, 65, 65 | SWITCH},
    {0x4d04, 66, 80},
    {0x412c, 67, 81},
    {0x37d8, 68, 82},
    {0x2fe8, 69, 83},
    {0x293c, 70, 84},
    {0x2379, 71, 86},
    {0x1edf, 72, 87},
    {0x1aa9, 73, 87},
    {0x174e, 74, 72},
    {0x1424, 75, 72},
    {0x119c, 76, 74},
    {0x0f6b, 77, 74},
    {0x0d51, 78, 75},
    {0x0bb6, 79, 77},
    {0x0a40, 48, 77},
    {0x5832, 81, 80 | SWITCH},
    {0x4d1c, 82, 88},
    {0x438e, 83, 89},
    {0x3bdd, 84, 90},
    {0x34ee, 85, 91},
    {0x2eae, 86, 92},
    {0x299a, 87, 93},
    {0x2516, 71, 86},
    {0x5570, 89, 88 | SWITCH},
    {0x4ca9, 90, 95},
    {0x44d9, 91, 96},
    {0x3e22, 92, 97},
    {0x3824, 93, 99},
    {0x32b4, 94, 99},
    {0x2e17, 86, 93},
    {0x56a8, 96, 95 | SWITCH},
    {0x4f46, 97, 101},
    {0x47e5, 98, 102},
    {0x41cf, 99, 103},
    {0x3c3d, 100, 104},
    {0x375e, 93, 99},
    {0x5231, 102, 105},
    {0x4c0f, 103, 106},
    {0x4639, 104, 107},
    {0x415e, 99, 103},
    {0x5627, 106, 105 | SWITCH},
    {0x50e7, 107, 108},
    {0x4b85, 103, 109},
    {0x5597, 109, 110},
    {0x504f, 107, 111},
    {0x5a10, 111, 110 | SWITCH},
    {0x5522, 109, 112},
    {0x59eb, 111, 112 | SWITCH},
};

// Ten template pixels: 1,024 contexts.
constexpr int CONTEXTS = 1024;
// The context typical prediction codes its flag in (three-line template).
constexpr int TP_CONTEXT = 0x0e5;

struct Coder {
    uint32_t c = 0;        // code register: carry in bit 27, the next byte in bits 19 to 26
    uint32_t a = 0x10000;  // interval, kept at or above 0x8000 between symbols
    int ct = 11;           // shifts until the next byte is complete
    int buffer = -1;       // the last byte, held back for a carry; -1 before the first
    uint32_t stacked = 0;  // 0xff bytes held back behind it
    // Per context: the state's index in the low 7 bits, the MPS in the high bit.
    // (16 bits so that writing them is not taken to change the registers.)
    uint16_t context[CONTEXTS] = {};
    JbigBytes* out = nullptr;
    // Coded bytes are gathered here and escaped into `out` in batches.
    unsigned char pending[4096];
    size_t pending_size = 0;
    uint64_t zeros = 0;  // 0x00 bytes not yet in `pending`
};

inline void flushPending(Coder* k) {
    appendJbigBytes(k->out, k->pending, k->pending_size);
    k->pending_size = 0;
}

// A byte of coded data; 0x00 bytes wait until a byte other than 0x00
// follows (none at the end of a stripe), and 0xff is followed by a stuffed 0x00 so it never
// reads as a marker.
inline void emit(Coder* k, unsigned byte) {
    if (byte == 0) {
        ++k->zeros;
        return;
    }
    for (; k->zeros > 0; --k->zeros) {
        if (k->pending_size == sizeof(k->pending)) flushPending(k);
        k->pending[k->pending_size++] = 0x00;
    }
    if (k->pending_size + 2 > sizeof(k->pending)) flushPending(k);
    k->pending[k->pending_size++] = (unsigned char)byte;
    if (byte == 0xff) k->pending[k->pending_size++] = 0x00;
}

inline void emitHeld(Coder* k, unsigned stacked_byte) {
    if (k->buffer >= 0) emit(k, (unsigned)k->buffer);
    for (; k->stacked > 0; --k->stacked) emit(k, stacked_byte);
}

void byteOut(Coder* k) {
    uint32_t t = k->c >> 19;
    if (t > 0xff) {
        // The carry reaches the held byte; the 0xff bytes behind it become 0x00.
        ++k->buffer;
        emitHeld(k, 0x00);
        k->buffer = (int)(t & 0xff);
    } else if (t == 0xff) {
        ++k->stacked;
    } else {
        emitHeld(k, 0xff);
        k->buffer = (int)t;
    }
    k->c &= 0x7ffff;
}

inline void renormalize(Coder* k) {
    do {
        k->a <<= 1;
        k->c <<= 1;
        if (--k->ct == 0) {
            byteOut(k);
            k->ct = 8;
        }
    } while (k->a < 0x8000);
}

__attribute__((always_inline)) inline void encode(Coder* k, int cx, unsigned pixel) {
    uint16_t& s = k->context[cx];
    const QmState& state = kStates[s & 0x7f];
    uint32_t lsz = state.lsz;
    k->a -= lsz;
    if (pixel == (unsigned)(s >> 7)) {
        if (k->a >= 0x8000) return;
        if (k->a < lsz) {
            k->c += k->a;
            k->a = lsz;
        }
        s = (uint16_t)((s & 0x80) | state.next_mps);
    } else {
        if (k->a >= lsz) {
            k->c += k->a;
            k->a = lsz;
        }
        uint16_t mps = (uint16_t)(s & 0x80);
        if (state.next_lps & SWITCH) mps ^= 0x80;
        s = (uint16_t)(mps | (state.next_lps & 0x7f));
    }
    renormalize(k);
}

// `n` pixels of context 0 whose value is its MPS: while the interval stays
// at or above 0x8000 an MPS only narrows it, so the run costs a division
// and one full step for each renormalization.
inline void encodeMpsRun(Coder* k, uint32_t n) {
    while (n > 0) {
        uint32_t lsz = kStates[k->context[0] & 0x7f].lsz;
        uint32_t room = (k->a - 0x8000) / lsz;
        if (room >= n) {
            k->a -= n * lsz;
            return;
        }
        k->a -= room * lsz;
        n -= room;
        encode(k, 0, (unsigned)(k->context[0] >> 7));
        --n;
    }
}

// The end of a stripe's coded data: the value in the final interval with
// the most trailing zero bits, then what is still held back. Zero bytes at
// the very end are left off (a decoder reads zeros past the data).
void finish(Coder* k) {
    uint32_t top = (k->c + k->a - 1) & 0xffff0000u;
    k->c = top < k->c ? top + 0x8000 : top;
    k->c <<= k->ct;
    unsigned stacked_byte = 0xff;
    if (k->c & 0xf8000000u) {
        ++k->buffer;
        stacked_byte = 0x00;
    }
    emitHeld(k, stacked_byte);
    emit(k, (k->c >> 19) & 0xff);
    emit(k, (k->c >> 11) & 0xff);
    k->zeros = 0;
    flushPending(k);
}

// ---------------------------------------------------------------------------
// Lines as 64-bit words, the first pixel in the high bit, with a white word
// on either side so the template may reach past both edges.

struct Lines {
    size_t words = 0;  // of pixels in a line
    // Three lines in turn: the current one and the two above.
    uint64_t* row[3] = {};  // row[0]: current, row[1]: above, row[2]: two above
};

inline uint64_t loadBe64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return __builtin_bswap64(v);
}

// Line `y` of the bitmap into `dst` (its first real word at dst[1]), the
// bits past the width cleared.
void loadLine(const unsigned char* bits, uint32_t width, uint32_t y, size_t words, uint64_t* dst) {
    size_t row_bytes = ((size_t)width + 7) / 8;
    const unsigned char* src = bits + (size_t)y * row_bytes;
    size_t whole = row_bytes / 8;
    for (size_t i = 0; i < whole; ++i) dst[1 + i] = loadBe64(src + 8 * i);
    if (whole < words) {
        unsigned char last[8] = {};
        memcpy(last, src + 8 * whole, row_bytes - 8 * whole);
        dst[1 + whole] = loadBe64(last);
    }
    unsigned used = width % 64;
    if (used != 0) dst[words] &= ~0ull << (64 - used);
}

inline unsigned pixelAt(const uint64_t* row, int64_t x) {
    // x may be -2 .. width + 2: the white words catch both ends.
    return (unsigned)(row[(x >> 6) + 1] >> (63 - (x & 63))) & 1;
}

// Whether a line differs from the one above.
bool differs(const Lines& lines) {
    return memcmp(lines.row[0] + 1, lines.row[1] + 1, lines.words * sizeof(uint64_t)) != 0;
}

// Bit set where the template of a pixel, or the pixel itself, has a black
// pixel: the clear bits are white pixels in context 0.
void markBusy(const Lines& lines, uint64_t* busy) {
    const uint64_t* r0 = lines.row[0];
    const uint64_t* r1 = lines.row[1];
    const uint64_t* r2 = lines.row[2];
    for (size_t i = 1; i <= lines.words; ++i) {
        uint64_t left0 = r0[i - 1], left1 = r1[i - 1], left2 = r2[i - 1];
        uint64_t right1 = r1[i + 1], right2 = r2[i + 1];
        uint64_t m = r0[i] | (r0[i] >> 1 | left0 << 63) | (r0[i] >> 2 | left0 << 62);
        m |= r1[i] | (r1[i] >> 1 | left1 << 63) | (r1[i] >> 2 | left1 << 62) |
             (r1[i] << 1 | right1 >> 63) | (r1[i] << 2 | right1 >> 62);
        m |= r2[i] | (r2[i] >> 1 | left2 << 63) | (r2[i] << 1 | right2 >> 63);
        busy[i - 1] = m;
    }
}

// From pixel x, how many pixels (up to `limit`) have busy bits equal to
// `set`.
inline uint32_t runLength(const uint64_t* busy, uint32_t x, uint32_t limit, bool set) {
    uint32_t start = x;
    while (x < limit) {
        uint64_t w = busy[x >> 6] << (x & 63);
        if (set) w = ~w;
        unsigned left = 64 - (x & 63);
        // w's top `left` bits are this word's pixels from x on.
        unsigned same = w == 0 ? 64 : (unsigned)__builtin_clzll(w);
        if (same < left) return (x + same < limit ? x + same : limit) - start;
        x += left;
    }
    return limit - start;
}

// The pixels of context number cx: bits 9-7 the line two above at x-1..x+1,
// bits 6-2 the line above at x-2..x+2 (x+2 the adaptive pixel), bits 1-0
// the current line at x-2, x-1.
inline int contextAt(const Lines& lines, int64_t x) {
    const uint64_t* r0 = lines.row[0];
    const uint64_t* r1 = lines.row[1];
    const uint64_t* r2 = lines.row[2];
    return (int)(pixelAt(r2, x - 1) << 9 | pixelAt(r2, x) << 8 | pixelAt(r2, x + 1) << 7 |
                 pixelAt(r1, x - 2) << 6 | pixelAt(r1, x - 1) << 5 | pixelAt(r1, x) << 4 |
                 pixelAt(r1, x + 1) << 3 | pixelAt(r1, x + 2) << 2 | pixelAt(r0, x - 2) << 1 |
                 pixelAt(r0, x - 1));
}

void encodeLine(Coder* k, const Lines& lines, uint32_t width, uint64_t* busy) {
    markBusy(lines, busy);
    const uint64_t* r0 = lines.row[0];
    const uint64_t* r1 = lines.row[1];
    const uint64_t* r2 = lines.row[2];
    uint32_t x = 0;
    while (x < width) {
        uint32_t white = runLength(busy, x, width, false);
        if (white > 0) {
            if ((k->context[0] >> 7) == 0) {
                encodeMpsRun(k, white);
            } else {
                for (uint32_t i = 0; i < white; ++i) encode(k, 0, 0);
            }
            x += white;
            if (x >= width) break;
        }
        uint32_t end = x + runLength(busy, x, width, true);
        int cx = contextAt(lines, x);
        for (;;) {
            unsigned pixel = pixelAt(r0, x);
            encode(k, cx, pixel);
            if (++x >= end) break;
            cx = (cx << 1 & 0x37a) | (int)(pixelAt(r2, (int64_t)x + 1) << 7) |
                 (int)(pixelAt(r1, (int64_t)x + 2) << 2) | (int)pixel;
        }
    }
}

}  // namespace

bool encodeJbigStripes(const unsigned char* bits, uint32_t width, uint32_t height, uint32_t first,
                       uint32_t end, JbigBytes* out) {
    if (out->failure != nullptr) return false;
    Lines lines;
    lines.words = ((size_t)width + 63) / 64;
    size_t row_words = lines.words + 2;
    uint64_t* store = static_cast<uint64_t*>(calloc(3 * row_words + lines.words + 1, 8));
    Coder* k = static_cast<Coder*>(malloc(sizeof(Coder)));
    if (store == nullptr || k == nullptr) {
        out->failure = "there is no memory to encode it";
        free(store);
        free(k);
        return false;
    }
    uint64_t* busy = store + 3 * row_words;
    static const unsigned char kSdrst[2] = {0xff, 0x03};
    for (uint32_t stripe = first; stripe < end && out->failure == nullptr; ++stripe) {
        *k = Coder();
        k->out = out;
        memset(store, 0, 3 * row_words * sizeof(uint64_t));  // white above the stripe
        for (int i = 0; i < 3; ++i) lines.row[i] = store + i * row_words;
        uint32_t top = stripe * JBIG_STRIPE_LINES;
        uint32_t bottom = top + JBIG_STRIPE_LINES < height ? top + JBIG_STRIPE_LINES : height;
        bool previous_atypical = true;
        for (uint32_t y = top; y < bottom; ++y) {
            uint64_t* oldest = lines.row[2];
            lines.row[2] = lines.row[1];
            lines.row[1] = lines.row[0];
            lines.row[0] = oldest;
            loadLine(bits, width, y, lines.words, oldest);
            // A line equal to the one above is only flagged; the flag is
            // coded as a change from the line before.
            bool atypical = differs(lines);
            encode(k, TP_CONTEXT, atypical == previous_atypical ? 1 : 0);
            previous_atypical = atypical;
            if (atypical) encodeLine(k, lines, width, busy);
        }
        finish(k);
        appendJbigBytes(out, kSdrst, sizeof(kSdrst));
    }
    free(k);
    free(store);
    return out->failure == nullptr;
}

uint32_t balancedStripeCut(const unsigned char* bits, uint32_t width, uint32_t height) {
    uint32_t stripes = jbigStripeCount(height);
    if (stripes < 2) return 0;
    uint64_t* cost = static_cast<uint64_t*>(calloc(stripes, sizeof(uint64_t)));
    if (cost == nullptr) return 0;
    size_t row_bytes = ((size_t)width + 7) / 8;
    // A coded line costs about a hundred times a skipped one.
    uint64_t total = 0;
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char* row = bits + (size_t)y * row_bytes;
        bool same = y % JBIG_STRIPE_LINES == 0
                        ? row[0] == 0 && memcmp(row, row + 1, row_bytes - 1) == 0
                        : memcmp(row, row - row_bytes, row_bytes) == 0;
        uint64_t c = same ? 1 : 100;
        cost[y / JBIG_STRIPE_LINES] += c;
        total += c;
    }
    uint64_t sum = 0;
    uint32_t cut = stripes - 1;
    for (uint32_t s = 0; s + 1 < stripes; ++s) {
        sum += cost[s];
        if (2 * sum >= total) {
            cut = s + 1;
            break;
        }
    }
    free(cost);
    return cut;
}

bool encodeJbigPage(const unsigned char* bits, uint32_t width, uint32_t height, JbigBytes* out) {
    unsigned char header[JBIG_HEADER_SIZE];
    writeJbigHeader(header, width, height);
    if (!appendJbigBytes(out, header, sizeof(header))) return false;
    return encodeJbigStripes(bits, width, height, 0, jbigStripeCount(height), out);
}
