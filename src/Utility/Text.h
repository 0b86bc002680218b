// Text and numbers as the job handles them: copies bounded to their field,
// the copies argument, the document name, and the printer's integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t DOC_NAME_SIZE = 256;  // document name buffer

// strlcpy: copies at most capacity - 1 bytes and always terminates (when
// capacity > 0); a cut never splits a UTF-8 character. Returns strlen(src),
// so a result >= capacity means cut.
size_t copyBounded(char* dst, size_t capacity, const char* src);

// How many of the first `len` bytes of `text` to keep so that at most `max`
// are kept and no UTF-8 character is split.
size_t utf8Cut(const char* text, size_t len, size_t max);

// The most copies the filter makes (CUPS's own default limit, MaxCopies).
constexpr int MAX_COPIES = 9999;

// The copies argument read as atoi reads it (blanks, a sign, digits), but
// without overflow: more than MAX_COPIES count as MAX_COPIES (*capped set),
// less than -MAX_COPIES as -MAX_COPIES. 0 and negative mean one copy.
int parseCopies(const char* text, bool* capped);

// Derives the document name from the job title into *name (DOC_NAME_SIZE
// bytes, zero-filled by the caller): the part after the last '/', ended at
// the first blank after its first '.'.
void getDocumenName(const char* title, char** name);

// A signed 32-bit integer as the printer expects it: 4 bytes, little-endian.
void writeInt32LE(FILE* out, int32_t value);
