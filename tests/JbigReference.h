// libjbig, the reference encoder the tests and the fuzz target hold the
// application's own against (the product binaries no longer link it).
#pragma once

#include <cstdint>
#include <string>

// The bytes pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 makes of the
// packed bitmap `bits` (rows of (width + 7) / 8 bytes).
std::string referenceJbig(const unsigned char* bits, uint32_t width, uint32_t height);
