// Numbers given as server options (-o name=value): counts, seconds, and
// sizes in bytes with k, m or g for KiB, MiB and GiB.
#pragma once

#include <cups/cups.h>

#include <cstddef>
#include <string>

struct NumberOption {
    const char* name;
    long long* size;  // set for a size (k, m, g allowed) ...
    int* count;       // ... or for a plain number
    long long least, most;
};

// Reads each of OPTIONS that is given; false with `why` for a value that is
// not a number from `least` to `most`.
bool readNumberOptions(int num_options, cups_option_t* options, const NumberOption* numbers,
                       size_t count, std::string* why);

// BYTES as such an option would give it: "64 MiB", "200 KiB", "100 bytes".
std::string sizeText(long long bytes);
