// Reading the header of a packed PBM ("P4") file: the form in which the
// page loop stores every page and the rotation reads it back.
#pragma once

#include <cstdint>
#include <cstdio>

// Skips blanks (space, LF, CR) and '#' comments up to and including their
// LF or CR; the first other character is pushed back. End of file, also
// inside a comment, ends the skipping and pushes nothing back.
void skipPbmComments(FILE* file);

struct PbmHeader {
    char magic[3];  // at most 2 characters, e.g. "P4"
    int width;      // pixels
    int height;     // pixels
};

// Reads magic, width and height. Returns 0 when both sizes were read, are
// positive and height × row bytes fits in 64 bits and in size_t; else 1.
// The file is left positioned after the height's last digit.
int readPbmHeader(FILE* file, PbmHeader* header);

// Bytes per row of a packed bitmap `width` pixels wide.
inline uint64_t pbmRowBytes(int width) { return ((uint64_t)width + 7) / 8; }
