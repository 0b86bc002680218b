// PBM header reading and rotation of any file the page loop might meet.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "image/Pbm.h"
#include "image/Rotate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in = inputFile(data, size, ".pbm");
    FILE* file = fopen(in.c_str(), "rb");
    if (file == nullptr) return 0;
    PbmHeader header;
    int bad = readPbmHeader(file, &header);
    fclose(file);
    // Bitmaps beyond 16 MiB only measure the allocator.
    if (!bad && pbmRowBytes(header.width) * (uint64_t)header.height > (16u << 20)) return 0;
    std::string out = in + ".rotated";
    for (int angle : {-90, 90, 180}) rotatePbm(in.c_str(), out.c_str(), angle);
    unlink(out.c_str());
    return 0;
}
