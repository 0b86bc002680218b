#include "Log.h"

#include <cstdarg>
#include <cstdio>

void logMsg(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
}

const char* maskedSecret(const char* value) {
    return (value == nullptr || value[0] == '\0') ? value : PASSWORD_MASK;
}
