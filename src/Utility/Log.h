// Job log: every line goes to the job's sink, standard error unless its
// context names another (the printer application's job log). Standard
// error is unbuffered, so each line reaches the CUPS scheduler as soon as it
// is written, even when the filter is killed.
#pragma once

#include <cstddef>

#include "JobContext.h"

// printf-style; the format attribute lets the compiler check every message.
// The message's own text (the format) is written as it stands, line ends
// included. What the conversions show are values, which come from users
// (titles, options, file names, credentials, an encoder's messages): their
// control characters are escaped (\n, \t, \x1b ...) and every text made a
// secret by logSecret is masked, so no value can start a line of its own
// or show a password. A message whose own text starts with a control word
// the scheduler reads (ERROR:, WARNING:, INFO:, PAGE:, STATE:, ATTR:, PPD:)
// always starts a line: after a message without a line end, a line end is
// written first.
void logMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A constant text of the program's own, written like a format without
// conversions (its line ends are its own).
void logText(const char* text);

// Writes `len` bytes of `text` to `out` with every byte below 0x20 and 0x7f
// written as an escape, and terminates it. `out` holds at least 4 * len + 1
// bytes. Returns the length written.
size_t escapeControls(const char* text, size_t len, char* out);

// From now on every occurrence of `secret` in a logged value is shown as
// PASSWORD_MASK. Empty texts are ignored.
void logSecret(const char* secret);

// Forgets the job's secrets, at its end.
void forgetLogSecrets();

// Tells the job's event sink of EVENT, now or, while lines are held, with
// them. (logMsg tells it of its own WARNING: and ERROR: messages.)
void jobEvent(const JobEvent& event);

// From now on logMsg appends to *held instead of writing (nullptr: writes
// again).
void holdLog(HeldLog* held);

// Writes what *held holds, in one write, and frees it.
void releaseHeldLog(HeldLog* held);

// Frees what *held holds without writing it: lines of a page never printed.
void discardHeldLog(HeldLog* held);

// The text logged in place of a non-empty password.
constexpr const char* PASSWORD_MASK = "********";

// `value` when it is empty, else PASSWORD_MASK: for log lines that would
// otherwise show a secret.
const char* maskedSecret(const char* value);
