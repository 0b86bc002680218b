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

// The text logged in place of a non-empty password.
constexpr const char* PASSWORD_MASK = "********";

// `value` when it is empty, else PASSWORD_MASK: for log lines that would
// otherwise show a secret.
const char* maskedSecret(const char* value);
