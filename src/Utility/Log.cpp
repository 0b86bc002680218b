#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The scheduler reads every line start of standard error as a possible
// control message (STATE:, PPD:, ATTR:, PAGE: ...). A value the filter logs
// comes from users (title, options, file names, credentials), so none of its
// control characters may reach the log raw: only the line end the message
// itself was written with stays.
size_t escapeControls(const char* text, size_t len, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c != 0x7f) {
            out[n++] = (char)c;
            continue;
        }
        out[n++] = '\\';
        switch (c) {
            case '\n': out[n++] = 'n'; break;
            case '\r': out[n++] = 'r'; break;
            case '\t': out[n++] = 't'; break;
            default: snprintf(out + n, 4, "x%02x", c); n += 3;
        }
    }
    out[n] = '\0';
    return n;
}

static HeldLog* held_log = nullptr;

void holdLog(HeldLog* held) { held_log = held; }

void releaseHeldLog(HeldLog* held) {
    if (held->len > 0) fwrite(held->text, 1, held->len, stderr);
    free(held->text);
    *held = HeldLog();
}

// Appends to the held lines; without memory for them, writes them now.
static void keep(HeldLog* held, const char* text, size_t len) {
    if (held->len + len > held->capacity) {
        size_t capacity = 2 * (held->len + len);
        char* grown = (char*)realloc(held->text, capacity);
        if (grown == nullptr) {
            releaseHeldLog(held);
            fwrite(text, 1, len, stderr);
            return;
        }
        held->text = grown;
        held->capacity = capacity;
    }
    memcpy(held->text + held->len, text, len);
    held->len += len;
}

void logMsg(const char* fmt, ...) {
    char small[1024];
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    int len = vsnprintf(small, sizeof(small), fmt, args);
    va_end(args);
    char* text = small;
    if (len >= (int)sizeof(small)) {
        text = (char*)malloc((size_t)len + 1);
        if (text != nullptr) vsnprintf(text, (size_t)len + 1, fmt, again);
    }
    va_end(again);
    if (len < 0 || text == nullptr) return;

    size_t fmt_len = strlen(fmt);
    bool line_end = fmt_len > 0 && fmt[fmt_len - 1] == '\n' && len > 0;
    size_t body = (size_t)len - (line_end ? 1 : 0);
    char* escaped = (char*)malloc(body * 4 + 2);
    if (escaped != nullptr) {
        size_t n = escapeControls(text, body, escaped);
        if (line_end) escaped[n++] = '\n';
        if (held_log != nullptr) {
            keep(held_log, escaped, n);
        } else {
            fwrite(escaped, 1, n, stderr);  // one write: one line
        }
        free(escaped);
    }
    if (text != small) free(text);
}

const char* maskedSecret(const char* value) {
    return (value == nullptr || value[0] == '\0') ? value : PASSWORD_MASK;
}
