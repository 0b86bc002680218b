// The job parameter table: the job's settings as key/separator/value rows,
// filled from the CUPS options text and the filter's own decisions, and
// serialised once into the job block that heads the printer stream.
//
// The table is always exactly PARAM_ROWS rows; every operation takes a
// pointer to row 0 as its last argument and scans all rows in order.
// Keys are compared case-sensitively. Values longer than a field are cut
// at the field's size, never written past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int PARAM_ROWS = 23;
constexpr size_t PARAM_KEY_SIZE = 256;      // key text, at most 255 characters
constexpr size_t PARAM_SEPARATOR_SIZE = 8;  // "=" in every row
constexpr size_t PARAM_VALUE_SIZE = 256;    // value text, at most 255 characters
constexpr size_t PARAM_TOKEN_SIZE = 512;    // one options token, at most 511 characters
constexpr size_t JOB_PARAMS_SIZE = 1024;    // serialised table, at most 1023 characters

struct PARAM_KEY_SPERATOR_VALUE {
    char key[PARAM_KEY_SIZE];
    char separator[PARAM_SEPARATOR_SIZE];
    char value[PARAM_VALUE_SIZE];
};

// The defaults; never written. A job works on its own copy.
extern const PARAM_KEY_SPERATOR_VALUE tblDefParam[PARAM_ROWS];

// Replaces the value of the row whose key equals `key`; the old value is
// cleared first. Unknown keys are ignored silently.
void SetJobParam(const char* key, const char* value, PARAM_KEY_SPERATOR_VALUE* table);

// Points *out at the value field of the row whose key equals `key` (a
// pointer into the table, not a copy); leaves *out alone for unknown keys.
void GetJobParam(const char* key, char** out, PARAM_KEY_SPERATOR_VALUE* table);

// Stores the value part of one options token in the first row whose key
// occurs anywhere in the token. The value starts key length + separator
// length characters from the token's start, wherever the key was found:
// the printer side relies on this matching, so it is kept as it is.
void SetJobParams(char* token, PARAM_KEY_SPERATOR_VALUE* table);

// Splits the options text at every space (only 0x20) and hands each
// token, empty ones included, to SetJobParams; the password in it is made a
// secret of the log first (registerOptionSecrets).
void GetJobParamFromCups(const char* options, PARAM_KEY_SPERATOR_VALUE* table);

// Writes "key=value, " for all rows into the JOB_PARAMS_SIZE-byte buffer
// *out designates; the text is cut at JOB_PARAMS_SIZE - 1 characters. In
// values, commas and control characters are written as blanks.
void BuildJobParams(char** out, PARAM_KEY_SPERATOR_VALUE* table);

// The serialisation behind BuildJobParams, into any buffer of `capacity`
// bytes. With `mask_secrets` the password is replaced by PASSWORD_MASK, for
// log lines. Returns the length of the whole text, as snprintf does: more
// than capacity - 1 means it was cut.
size_t serializeJobParams(const PARAM_KEY_SPERATOR_VALUE* table, char* out, size_t capacity,
                          bool mask_secrets);

// The row index a token would set through SetJobParams, or -1.
int rowForToken(const char* token, const PARAM_KEY_SPERATOR_VALUE* table);

// Makes every text that gives away the password of an options token secret
// to the log (logSecret), whatever other key names the token holds: what
// follows the password's key, and the value the token gives its row.
void registerOptionSecrets(const char* options, const PARAM_KEY_SPERATOR_VALUE* table);

// The job block: 16 bytes of magic "rx7316_param", the text's length as a
// signed 32-bit little-endian integer, then the text without terminator.
constexpr size_t JOB_BLOCK_MAGIC_SIZE = 16;
extern const char JOB_BLOCK_MAGIC[JOB_BLOCK_MAGIC_SIZE];
void writeJobBlock(FILE* out, const char* job_params, int32_t job_params_size);
