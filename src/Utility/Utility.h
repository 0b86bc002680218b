// Small helpers of job setup: the working directory, the document name,
// the credentials file, bounded text copies and the printer's integers.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Where every job keeps its page files. Emptied at the start of each job.
constexpr const char* WORK_DIR = "/tmp/tarvelin/";
// Optional credentials: a JSON object with string members AuthID and Password.
constexpr const char* AUTH_FILE = "/tmp/auth/auth_config";

constexpr size_t DOC_NAME_SIZE = 256;    // document name buffer
constexpr size_t AUTH_FIELD_SIZE = 128;  // AuthID and password buffers each
constexpr size_t AUTH_FILE_MAX = 64 * 1024;

// Set to 1 by the SIGTERM handler; read by the page loop and the encoder run.
extern volatile sig_atomic_t cancel_job;

// strlcpy: copies at most capacity - 1 bytes and always terminates (when
// capacity > 0). Returns strlen(src), so a result >= capacity means cut.
size_t copyBounded(char* dst, size_t capacity, const char* src);

// Creates `path` and every missing parent with mode 0755. Returns 0 when
// `path` names a directory afterwards, else 1.
int mkdirs(const char* path);

// Prepares the working directory for a job, without a shell, and locks it
// for the job's life. A link or a non-directory at `path` is removed (never
// followed) and a real directory made. Several jobs share the directory: each
// holds a shared lock on it while it runs, and a starting job empties it only
// when it can take the lock exclusively, so no job deletes the files of one
// still running. Entries are removed in-process; links inside are removed,
// never followed. *lock_fd receives the descriptor holding the shared lock
// (close it to release), or -1. Returns 0 when `path` is a directory
// afterwards, else 1.
int resetWorkDir(const char* path, int* lock_fd);

// Derives the document name from the job title into *name (DOC_NAME_SIZE
// bytes, zero-filled by the caller): the part after the last '/', ended at
// the first blank after its first '.'.
void getDocumenName(const char* title, char** name);

// Reads AUTH_FILE into the caller's two AUTH_FIELD_SIZE buffers (zero-filled
// by the caller). Returns 1 when the file was read and parsed, else 0.
int getAuthInfo(char** auth_id, char** password);
// The same from any path, for tests.
int getAuthInfoFrom(const char* path, char** auth_id, char** password);

// Opens `path` for writing, replacing a regular file; refuses to follow a
// symbolic link planted at that name. nullptr on failure (errno set).
FILE* createWorkFile(const char* path);

// A signed 32-bit integer as the printer expects it: 4 bytes, little-endian.
void writeInt32LE(FILE* out, int32_t value);
