// Shared by the fuzz targets: a scratch file for inputs that the code under
// test reads from a path, and a stand-in encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes the input to a scratch file in a per-process private directory
// and returns its path.
std::string inputFile(const uint8_t* data, size_t size, const char* suffix);

// Encoder stand-in: writes a JBIG header of the page's size instead of running
// pbmtojbg, so a fuzz run measures the filter's code, not the encoder's.
int fakeEncoder(char* const argv[]);
