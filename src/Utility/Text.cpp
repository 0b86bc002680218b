#include "Text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "Log.h"

size_t utf8Cut(const char* text, size_t len, size_t max) {
    if (len <= max) return len;
    size_t kept = max;
    // A continuation byte (10xxxxxx) at the cut belongs to the character
    // the cut would split: that character goes whole.
    while (kept > 0 && ((unsigned char)text[kept] & 0xc0) == 0x80) kept--;
    return kept;
}

size_t copyBounded(char* dst, size_t capacity, const char* src) {
    size_t len = strlen(src);
    if (capacity > 0) {
        size_t kept = utf8Cut(src, len, capacity - 1);
        memcpy(dst, src, kept);
        dst[kept] = '\0';
    }
    return len;
}

int parseCopies(const char* text, bool* capped) {
    *capped = false;
    while (isspace((unsigned char)*text)) text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    int64_t value = 0;
    for (; isdigit((unsigned char)*text); text++) {
        value = value * 10 + (*text - '0');
        if (value > MAX_COPIES) {
            value = MAX_COPIES;
            *capped = !negative;
        }
    }
    return (int)(negative ? -value : value);
}

void getDocumenName(const char* title, char** name) {
    logMsg("DEBUG: Enter getDocumenName!\n");
    char* buffer = *name;
    const char* slash = strrchr(title, '/');
    if (slash != nullptr) {
        copyBounded(buffer, DOC_NAME_SIZE, slash + 1);
        logMsg("DEBUG: getDocumenName:remove dir.\n");
    } else {
        copyBounded(buffer, DOC_NAME_SIZE, title);
        logMsg("DEBUG: getDocumenName:param not include dir.\n");
    }
    char* dot = strchr(buffer, '.');
    if (dot != nullptr) {
        logMsg("DEBUG: getDocumenName:find expanded flag.\n");
        char* blank = strchr(dot, ' ');
        if (blank != nullptr) {
            *blank = '\0';
            logMsg("DEBUG: getDocumenName:set DocName string terminal.\n");
        }
    }
    logMsg("DEBUG: Exit getDocumenName!\n");
}

void writeInt32LE(FILE* out, int32_t value) {
    uint32_t bits = (uint32_t)value;
    unsigned char bytes[4] = {(unsigned char)(bits & 0xff), (unsigned char)((bits >> 8) & 0xff),
                              (unsigned char)((bits >> 16) & 0xff),
                              (unsigned char)((bits >> 24) & 0xff)};
    fwrite(bytes, sizeof(bytes), 1, out);
}
