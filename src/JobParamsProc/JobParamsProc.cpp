#include "JobParamsProc.h"

#include <cstring>
#include <string>

#include "../Utility/Log.h"
#include "../Utility/Text.h"

// One row a line, as the printer's documentation lists them.
const PARAM_KEY_SPERATOR_VALUE tblDefParam[PARAM_ROWS] = {
    {"PageSize", "=", "A4"},
    {"Resolution", "=", "600dpi"},
    {"resX", "=", "600dpi"},
    {"resY", "=", "600dpi"},
    {"FeedEdge", "=", "0"},
    {"Collate", "=", "False"},
    {"Duplex", "=", "None"},
    {"MediaType", "=", "Plain"},
    {"InputSlot", "=", "MainTray"},
    {"number-up", "=", "1"},
    {"job-uuid", "=", ""},
    {"job-originating-host-name", "=", ""},
    {"date-time-at-creation", "=", ""},
    {"date-time-at-processing", "=", ""},
    {"time-at-creation", "=", ""},
    {"time-at-processing", "=", ""},
    {"copies", "=", "1"},
    {"jobId", "=", ""},
    {"DocName", "=", ""},
    {"HostName", "=", ""},
    {"LoginName", "=", ""},
    {"AuthID", "=", ""},
    {"AuthPassword", "=", ""},
};

const char JOB_BLOCK_MAGIC[JOB_BLOCK_MAGIC_SIZE] = "rx7316_param";

static const char* const PASSWORD_KEY = "AuthPassword";

static bool isPasswordRow(const PARAM_KEY_SPERATOR_VALUE& row) {
    return strcmp(row.key, PASSWORD_KEY) == 0;
}

// The value as a log line may show it.
static const char* loggedValue(const PARAM_KEY_SPERATOR_VALUE& row) {
    return isPasswordRow(row) ? maskedSecret(row.value) : row.value;
}

static PARAM_KEY_SPERATOR_VALUE* findRow(const char* key, PARAM_KEY_SPERATOR_VALUE* table) {
    for (int i = 0; i < PARAM_ROWS; i++) {
        if (strcmp(table[i].key, key) == 0) return &table[i];
    }
    return nullptr;
}

void SetJobParam(const char* key, const char* value, PARAM_KEY_SPERATOR_VALUE* table) {
    PARAM_KEY_SPERATOR_VALUE* row = findRow(key, table);
    if (row == nullptr) return;
    memset(row->value, 0, sizeof(row->value));
    copyBounded(row->value, sizeof(row->value), value);
    logMsg("SetJobParam:[%s , %s ]\n", row->key, loggedValue(*row));
}

void GetJobParam(const char* key, char** out, PARAM_KEY_SPERATOR_VALUE* table) {
    PARAM_KEY_SPERATOR_VALUE* row = findRow(key, table);
    if (row == nullptr) return;
    *out = row->value;
    logMsg("GetJobParam:[%s , %s ]\n", row->key, loggedValue(*row));
}

int rowForToken(const char* token, const PARAM_KEY_SPERATOR_VALUE* table) {
    for (int i = 0; i < PARAM_ROWS; i++) {
        if (strstr(token, table[i].key) != nullptr) return i;
    }
    return -1;
}

// Where a token's value starts: counted from the token's first character,
// not from where the key was found.
static size_t valueCut(const PARAM_KEY_SPERATOR_VALUE& row) {
    return strlen(row.key) + strlen(row.separator);
}

void SetJobParams(char* token, PARAM_KEY_SPERATOR_VALUE* table) {
    int index = rowForToken(token, table);
    if (index < 0) return;
    PARAM_KEY_SPERATOR_VALUE& row = table[index];
    logMsg("Key:%s , Length:%d\n", row.key, (int)strlen(row.key));
    size_t cut = valueCut(row);
    if (strlen(token) > cut) copyBounded(row.value, sizeof(row.value), token + cut);
    logMsg("Value:%s , Length:%d\n", loggedValue(row), (int)strlen(row.value));
}

// Copies the token at `start`, ended by a space or the text's end, into the
// zero-filled token buffer, cut at PARAM_TOKEN_SIZE - 1 characters. Returns
// where the next token starts, or nullptr after the text's last token.
static const char* nextToken(const char* start, char (&token)[PARAM_TOKEN_SIZE], size_t* kept) {
    const char* end = strchr(start, ' ');
    size_t len = end ? (size_t)(end - start) : strlen(start);
    *kept = utf8Cut(start, len, sizeof(token) - 1);
    memset(token, 0, sizeof(token));
    memcpy(token, start, *kept);
    return end ? end + 1 : nullptr;
}

void GetJobParamFromCups(const char* options, PARAM_KEY_SPERATOR_VALUE* table) {
    registerOptionSecrets(options, table);
    char token[PARAM_TOKEN_SIZE];
    size_t kept = 0;
    const char* next = options;
    while (next != nullptr && *next != '\0') {
        next = nextToken(next, token, &kept);
        logMsg("One_Param:%s , Len:%d\n", token, (int)kept);
        SetJobParams(token, table);
    }
}

// Appends `n` bytes of `text` to out[0..*len), never past capacity - 1
// characters. *needed counts what the text would take uncut.
static void appendBytes(char* out, size_t capacity, size_t* len, const char* text, size_t n,
                        size_t* needed = nullptr) {
    if (needed != nullptr) *needed += n;
    size_t room = capacity - 1 - *len;
    size_t kept = utf8Cut(text, n, room);
    memcpy(out + *len, text, kept);
    *len += kept;
    out[*len] = '\0';
}

static void append(char* out, size_t capacity, size_t* len, const char* text,
                   size_t* needed = nullptr) {
    appendBytes(out, capacity, len, text, strlen(text), needed);
}

// A value as the job block carries it: the printer splits the text at ", "
// and reads lines, so a comma or a control character a user put in a value
// (a title, a user name, an option, a credential) becomes a blank and can't
// add an entry of its own.
static void blankSeparators(const char* value, char (&out)[PARAM_VALUE_SIZE]) {
    copyBounded(out, sizeof(out), value);
    for (char* c = out; *c != '\0'; c++) {
        if (*c == ',' || (unsigned char)*c < 0x20 || *c == 0x7f) *c = ' ';
    }
}

size_t serializeJobParams(const PARAM_KEY_SPERATOR_VALUE* table, char* out, size_t capacity,
                          bool mask_secrets) {
    if (capacity == 0) return 0;
    size_t len = 0, needed = 0;
    out[0] = '\0';
    char value[PARAM_VALUE_SIZE];
    for (int i = 0; i < PARAM_ROWS; i++) {
        append(out, capacity, &len, table[i].key, &needed);
        append(out, capacity, &len, table[i].separator, &needed);
        blankSeparators(mask_secrets ? loggedValue(table[i]) : table[i].value, value);
        append(out, capacity, &len, value, &needed);
        append(out, capacity, &len, ", ", &needed);
    }
    return needed;
}

void BuildJobParams(char** out, PARAM_KEY_SPERATOR_VALUE* table) {
    size_t needed = serializeJobParams(table, *out, JOB_PARAMS_SIZE, false);
    if (needed > JOB_PARAMS_SIZE - 1) {
        logMsg("DEBUG: job parameters cut at %d characters\n", (int)(JOB_PARAMS_SIZE - 1));
    }
    char logged[JOB_PARAMS_SIZE];
    serializeJobParams(table, logged, sizeof(logged), true);
    logMsg("BuildJobParams:%s\n", logged);
}

void registerOptionSecrets(const char* options, const PARAM_KEY_SPERATOR_VALUE* table) {
    char token[PARAM_TOKEN_SIZE];
    size_t kept = 0;
    for (const char* start = options; start != nullptr && *start != '\0';) {
        const char* next = nextToken(start, token, &kept);
        std::string whole(start, next ? (size_t)(next - 1 - start) : strlen(start));
        start = next;
        // What follows the password's key, in the whole token and in the
        // part the table takes, and the value the token gives its row.
        size_t key_at = whole.find(PASSWORD_KEY);
        if (key_at == std::string::npos) continue;
        size_t value_at = key_at + strlen(PASSWORD_KEY) + 1;
        if (value_at < whole.size()) logSecret(whole.c_str() + value_at);
        if (value_at < kept) logSecret(token + value_at);
        int row = rowForToken(token, table);
        size_t cut = row >= 0 ? valueCut(table[row]) : 0;
        if (row >= 0 && kept > cut) {
            char stored[PARAM_VALUE_SIZE];
            copyBounded(stored, sizeof(stored), token + cut);
            logSecret(stored);
            logSecret(whole.c_str() + cut);
        }
    }
}

void writeJobBlock(FILE* out, const char* job_params, int32_t job_params_size) {
    fwrite(JOB_BLOCK_MAGIC, sizeof(JOB_BLOCK_MAGIC), 1, out);
    writeInt32LE(out, job_params_size);
    fwrite(job_params, 1, (size_t)job_params_size, out);
}
