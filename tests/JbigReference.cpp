#include "JbigReference.h"

#include <cstring>
#include <vector>

// (JBIG-KIT's header declares C functions without saying so.)
extern "C" {
#include <jbig.h>
}

static void collect(unsigned char* start, size_t length, void* data) {
    static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(start), length);
}

std::string referenceJbig(const unsigned char* bits, uint32_t width, uint32_t height) {
    std::vector<unsigned char> copy(bits, bits + ((size_t)width + 7) / 8 * height);
    unsigned char* planes[1] = {copy.data()};
    std::string out;
    jbg_enc_state state;
    jbg_enc_init(&state, width, height, 1, planes, collect, &out);
    jbg_enc_layers(&state, 0);
    jbg_enc_lrange(&state, -1, -1);
    jbg_enc_options(&state, 0, JBG_TPBON | JBG_SDRST, 128, 0, -1);
    jbg_enc_out(&state);
    jbg_enc_free(&state);
    return out;
}
