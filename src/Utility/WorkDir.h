// The job's working directory, where its page files are kept: shared by
// the filter's jobs under a lock, or made for one job alone; and its page
// files, opened relative to it and never through a link.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "JobContext.h"

// Where every job keeps its page files. Emptied at the start of each job.
constexpr const char* WORK_DIR = "/tmp/tarvelin/";

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

// Creates a page file afresh for writing: a file or link left at that name
// is removed first (never followed), then the file is made with
// O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, relative to the working
// directory's descriptor when `path` lies in it. nullptr on failure (errno
// set).
FILE* createWorkFile(const char* path);

// Opens a page file for reading: a regular file only, never through a link
// (a FIFO does not block). nullptr on failure (errno set).
FILE* openWorkFile(const char* path);

// Splits `path` at its last '/': its directory into `dir` ("/" for a file
// at the root, "." for a bare name) and its last component, returned.
// nullptr when the directory does not fit in `dir_size` bytes.
const char* splitPath(const char* path, char* dir, size_t dir_size);

// "link", "FIFO", "file" or "special file", for messages.
const char* fileKind(mode_t mode);
