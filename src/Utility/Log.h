// Job log: every line goes to standard error, where the CUPS scheduler
// reads it. Standard error is unbuffered, so each line reaches the
// scheduler as soon as it is written, even when the filter is killed.
#pragma once

#include <cstddef>

// printf-style; the format attribute lets the compiler check every message.
// Control characters in the message are escaped (\n, \t, \x1b ...), but for
// the line end that ends `fmt` itself, so no logged value can start a line
// of its own that the scheduler would take as a control message.
void logMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes `len` bytes of `text` to `out` with every byte below 0x20 and 0x7f
// written as an escape, and terminates it. `out` holds at least 4 * len + 1
// bytes. Returns the length written.
size_t escapeControls(const char* text, size_t len, char* out);

// Lines held back: the page loop reads pages ahead of the one it sends, and
// holds their lines until their turn, so the job log still tells the road
// of one page after the other.
struct HeldLog {
    char* text = nullptr;
    size_t len = 0;
    size_t capacity = 0;
};

// From now on logMsg appends to *held instead of writing (nullptr: writes
// again).
void holdLog(HeldLog* held);

// Writes what *held holds, in one write, and frees it.
void releaseHeldLog(HeldLog* held);

// The text logged in place of a non-empty password.
constexpr const char* PASSWORD_MASK = "********";

// `value` when it is empty, else PASSWORD_MASK: for log lines that would
// otherwise show a secret.
const char* maskedSecret(const char* value);
