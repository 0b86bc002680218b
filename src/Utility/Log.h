// Job log: every line goes to standard error, where the CUPS scheduler
// reads it. Standard error is unbuffered, so each line reaches the
// scheduler as soon as it is written, even when the filter is killed.
#pragma once

// printf-style; the format attribute lets the compiler check every message.
void logMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The text logged in place of a non-empty password.
constexpr const char* PASSWORD_MASK = "********";

// `value` when it is empty, else PASSWORD_MASK: for log lines that would
// otherwise show a secret.
const char* maskedSecret(const char* value);
