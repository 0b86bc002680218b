// The optional credentials file the job block carries.
#pragma once

#include <cstddef>

// Optional credentials: a JSON object with string members AuthID and Password.
constexpr const char* AUTH_FILE = "/tmp/auth/auth_config";
constexpr size_t AUTH_FIELD_SIZE = 128;  // AuthID and password buffers each
constexpr size_t AUTH_FILE_MAX = 64 * 1024;

// Reads AUTH_FILE into the caller's two AUTH_FIELD_SIZE buffers (zero-filled
// by the caller). Returns 1 when the file was read and parsed, else 0.
int getAuthInfo(char** auth_id, char** password);
// The same from any path, for tests.
int getAuthInfoFrom(const char* path, char** auth_id, char** password);
