#include "app/system/gate/BasicAuth.h"

#include <cstring>

// Longer credentials are no one's: PAM names and passwords are far shorter.
constexpr size_t MAX_ENCODED = 1024;

static int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool readBasicCredentials(const char* value, std::string* user, std::string* password) {
    if (value == nullptr || strncmp(value, "Basic ", 6) != 0) return false;
    const char* text = value + 6;
    size_t length = strlen(text);
    if (length == 0 || length % 4 != 0 || length > MAX_ENCODED) return false;
    std::string decoded;
    for (size_t i = 0; i < length; i += 4) {
        int s[4];
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            char c = text[i + (size_t)k];
            // Padding only at the very end, and only in the last two places.
            if (c == '=' && i + 4 == length && k >= 2) {
                s[k] = 0;
                pad++;
                continue;
            }
            if (pad > 0 || (s[k] = sextet(c)) < 0) return false;
        }
        unsigned bits = (unsigned)(s[0] << 18 | s[1] << 12 | s[2] << 6 | s[3]);
        // Canonical: the bits under the padding are zero.
        if ((pad == 1 && (bits & 0xff) != 0) || (pad == 2 && (bits & 0xffff) != 0)) return false;
        decoded += (char)(bits >> 16);
        if (pad < 2) decoded += (char)(bits >> 8 & 0xff);
        if (pad < 1) decoded += (char)(bits & 0xff);
    }
    for (unsigned char c : decoded) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    size_t colon = decoded.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}
