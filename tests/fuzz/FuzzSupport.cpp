#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

std::string inputFile(const uint8_t* data, size_t size, const char* suffix) {
    // A directory of its own, so the credentials reader trusts what it holds.
    std::string dir = "/tmp/quelmoss-fuzz-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    std::string path = dir + "/input" + suffix;
    FILE* file = fopen(path.c_str(), "wb");
    if (file != nullptr) {
        fwrite(data, 1, size, file);
        fclose(file);
    }
    return path;
}

int fakeEncoder(char* const argv[]) {
    const char* jbg = nullptr;
    for (int i = 0; argv[i] != nullptr; i++) jbg = argv[i];
    FILE* file = fopen(jbg, "wb");
    if (file == nullptr) return 1 << 8;  // as if the encoder exited with 1
    // Just the JBIG header the filter checks: one plane, the page's size
    // (argv: pbmtojbg -q -x WIDTH -y HEIGHT ...).
    unsigned long size[2] = {strtoul(argv[3], nullptr, 10), strtoul(argv[5], nullptr, 10)};
    unsigned char bih[20] = {0, 0, 1, 0};
    for (int i = 0; i < 2; i++) {
        for (int b = 0; b < 4; b++) bih[4 + 4 * i + b] = (unsigned char)(size[i] >> (24 - 8 * b));
    }
    bih[15] = 128;
    fwrite(bih, 1, sizeof(bih), file);
    fclose(file);
    return 0;
}
