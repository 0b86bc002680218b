// Small helpers of job setup: the working directory, the document name,
// the credentials file, bounded text copies and the printer's integers.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "JobContext.h"

// Where every job keeps its page files. Emptied at the start of each job.
constexpr const char* WORK_DIR = "/tmp/tarvelin/";
// Optional credentials: a JSON object with string members AuthID and Password.
constexpr const char* AUTH_FILE = "/tmp/auth/auth_config";

constexpr size_t DOC_NAME_SIZE = 256;    // document name buffer
constexpr size_t AUTH_FIELD_SIZE = 128;  // AuthID and password buffers each
constexpr size_t AUTH_FILE_MAX = 64 * 1024;

// How long a cancelled job may still take over the page in hand: a producer
// or an encoder that does not finish by then is not waited for.
constexpr int64_t CANCEL_GRACE_MS = 5000;

// Milliseconds of a clock that never goes back.
int64_t monotonicMs();

// Whether the job was cancelled more than CANCEL_GRACE_MS ago (counted from
// the first time this was asked after the cancel).
bool cancelGraceOver();

// strlcpy: copies at most capacity - 1 bytes and always terminates (when
// capacity > 0); a cut never splits a UTF-8 character. Returns strlen(src),
// so a result >= capacity means cut.
size_t copyBounded(char* dst, size_t capacity, const char* src);

// How many of the first `len` bytes of `text` to keep so that at most `max`
// are kept and no UTF-8 character is split.
size_t utf8Cut(const char* text, size_t len, size_t max);

// The most copies the filter makes (CUPS's own default limit, MaxCopies).
constexpr int MAX_COPIES = 9999;

// The copies argument read as atoi reads it (blanks, a sign, digits), but
// without overflow: more than MAX_COPIES count as MAX_COPIES (*capped set),
// less than -MAX_COPIES as -MAX_COPIES. 0 and negative mean one copy.
int parseCopies(const char* text, bool* capped);

// Creates `path` and every missing parent with mode 0755. Returns 0 when
// `path` names a directory afterwards, else 1.
int mkdirs(const char* path);

// How long a starting job waits for another process's exclusive lock on the
// working directory before it works in a private directory instead.
constexpr int WORK_DIR_LOCK_WAIT_MS = 10000;

// Opens the working directory for a job, without a shell. `path` is used
// only when it is a real directory (never a link) owned by the effective
// user; the filter makes it 0700 whatever the umask. A link, file or FIFO at
// `path` is never followed: it is removed when the filter may remove it (its
// own, or the filter runs as root), and a directory made. Several jobs share
// the directory: each holds a shared lock on it while it runs, and a
// starting job empties it only when it can take the lock exclusively, so no
// job deletes the files of one still running. Entries are removed
// in-process; links inside are removed, never followed.
// Anything else at `path` (another user's directory, a link or file the
// filter may not remove, a lock held too long) is left untouched: the job
// then works in a directory made by mkdtemp under $TMPDIR (/tmp when unset),
// says so in one "WARNING: " line, and closeWorkDir removes it.
// Returns 0 when the job has a directory, else 1 with an "ERROR: " line.
int openWorkDir(const char* path);

// Opens a working directory made for this job alone in `parent`, which must
// be a directory no one else may write to (or sticky): a printer
// application's spool. Returns 0, else 1 with an "ERROR: " line.
int openPrivateWorkDir(const char* parent);

// Ends the job's use of its working directory: the lock is released, and a
// private directory is removed with its files.
void closeWorkDir();

// The job's working directory (path empty and fd -1 before openWorkDir).
const WorkDir& workDir();

// Derives the document name from the job title into *name (DOC_NAME_SIZE
// bytes, zero-filled by the caller): the part after the last '/', ended at
// the first blank after its first '.'.
void getDocumenName(const char* title, char** name);

// Reads AUTH_FILE into the caller's two AUTH_FIELD_SIZE buffers (zero-filled
// by the caller). Returns 1 when the file was read and parsed, else 0.
int getAuthInfo(char** auth_id, char** password);
// The same from any path, for tests.
int getAuthInfoFrom(const char* path, char** auth_id, char** password);

// Creates a page file afresh for writing: a file or link left at that name
// is removed first (never followed), then the file is made with
// O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, relative to the working
// directory's descriptor when `path` lies in it. nullptr on failure (errno
// set).
FILE* createWorkFile(const char* path);

// Opens a page file for reading: a regular file only, never through a link
// (a FIFO does not block). nullptr on failure (errno set).
FILE* openWorkFile(const char* path);

// How spawnInOwnGroup wires a child: a descriptor given (>= 0) becomes its
// standard output or error; with stdin_null its standard input is
// /dev/null; the rest are the caller's.
struct ChildIo {
    bool stdin_null = false;
    int out = -1;
    int err = -1;
    // SIGTERM stays blocked in the child: a cancel sent to the caller's group
    // while the child is being started (before it has left the group) can't
    // kill it; the caller stops it with SIGKILL. Else the child starts with
    // no signal blocked.
    bool block_sigterm = false;
};

// Starts argv[0] (found through the command search path, never a shell) in
// a process group of its own, with SIGPIPE and SIGTERM at their defaults.
// Returns its pid, or -1 with errno set.
pid_t spawnInOwnGroup(char* const argv[], const ChildIo& io);

// Closes *fd when it is open and marks it closed (-1).
void closeFd(int* fd);

// A signed 32-bit integer as the printer expects it: 4 bytes, little-endian.
void writeInt32LE(FILE* out, int32_t value);
