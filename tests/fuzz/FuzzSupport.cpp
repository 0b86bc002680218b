#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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
    fputs("fake jbig", file);
    fclose(file);
    return 0;
}
