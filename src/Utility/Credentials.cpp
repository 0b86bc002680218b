#include "Credentials.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "Text.h"
#include "WorkDir.h"

// Owned by root or the filter's user, and writable by no one else.
static bool trustedOwner(const struct stat& st) {
    return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

static void untrusted(const char* path, const char* what, const char* name, const struct stat& st) {
    logMsg("WARNING: Credentials in %s not used: %s %s %s\n", path, what, name,
           (st.st_mode & (S_IWGRP | S_IWOTH)) ? "is writable by group or others"
                                              : "belongs to another user");
}

// Opens the credentials file only when it and its directory can be trusted:
// the directory a real one, the file a regular one reached without a link,
// both owned by root or the filter's user and writable by no one else.
// Returns the descriptor, or -1 after its log line ("DEBUG: auth_file is
// not found!" when there simply is none, else one "WARNING: " line).
static int openTrustedAuthFile(const char* path) {
    char dir_path[WORK_PATH_SIZE] = "";
    const char* name = splitPath(path, dir_path, sizeof(dir_path));
    int dir_fd = name ? open(dir_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (dir_fd < 0) {
        if (errno == ENOENT) {
            logMsg("DEBUG: auth_file is not found!\n");
        } else {
            logMsg("WARNING: Credentials in %s not used: %s is not a real directory (%s)\n", path,
                   dir_path, strerror(errno));
        }
        return -1;
    }
    struct stat st = {};
    int fd = -1;
    if (fstat(dir_fd, &st) != 0 || !trustedOwner(st)) {
        untrusted(path, "its directory", dir_path, st);
    } else if ((fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno == ENOENT) {
            logMsg("DEBUG: auth_file is not found!\n");
        } else {
            logMsg(
                "WARNING: Credentials in %s not used: it can't be opened without following a "
                "link (%s)\n",
                path, strerror(errno));
        }
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        logMsg("WARNING: Credentials in %s not used: it is a %s, not a regular file\n", path,
               fileKind(st.st_mode));
        close(fd);
        fd = -1;
    } else if (!trustedOwner(st)) {
        untrusted(path, "the file", name, st);
        close(fd);
        fd = -1;
    } else if (st.st_size > (off_t)AUTH_FILE_MAX) {
        logMsg("DEBUG: auth_file is not found!\n");
        close(fd);
        fd = -1;
    }
    close(dir_fd);
    return fd;
}

// Reads the whole credentials file, or nothing. Returns a NUL-terminated
// heap text or nullptr.
static char* readAuthText(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return nullptr;
    size_t size = (size_t)st.st_size;
    char* text = (char*)calloc(size + 1, 1);
    if (text == nullptr) {
        logMsg("DEBUG: Error allocating memory\n");
        return nullptr;
    }
    logMsg("DEBUG: create  json_string!\n");
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    return text;
}

static bool hasControlCharacter(const cJSON* item) {
    if (!cJSON_IsString(item) || item->valuestring == nullptr) return false;
    for (const char* c = item->valuestring; *c != '\0'; c++) {
        if ((unsigned char)*c < 0x20 || *c == 0x7f) return true;
    }
    return false;
}

int getAuthInfoFrom(const char* path, char** auth_id, char** password) {
    logMsg("DEBUG: Enter getAuthInfo!\n");
    int fd = openTrustedAuthFile(path);
    if (fd < 0) return 0;
    char* text = readAuthText(fd);
    close(fd);
    if (text == nullptr) {
        logMsg("DEBUG: Exit  getAuthInfo with error!\n");
        return 0;
    }
    cJSON* root = cJSON_Parse(text);
    free(text);
    if (root == nullptr) {
        logMsg("DEBUG: Error parsing JSON\n");
        logMsg("DEBUG: Exit  getAuthInfo with error!\n");
        return 0;
    }
    logMsg("DEBUG: Parse  json_string!\n");
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(root, "AuthID");
    const cJSON* secret = cJSON_GetObjectItemCaseSensitive(root, "Password");
    // Such a value would break the job block's text and the log's lines.
    if (hasControlCharacter(id) || hasControlCharacter(secret)) {
        logMsg("WARNING: Credentials in %s not used: %s holds a control character\n", path,
               hasControlCharacter(id) ? "AuthID" : "Password");
        cJSON_Delete(root);
        return 0;
    }
    if (cJSON_IsString(id) && id->valuestring != nullptr) {
        logMsg("DEBUG: AuthID: %s\n", id->valuestring);
        copyBounded(*auth_id, AUTH_FIELD_SIZE, id->valuestring);
    }
    if (cJSON_IsString(secret) && secret->valuestring != nullptr) {
        logSecret(secret->valuestring);
        logMsg("DEBUG: Password: %s\n", maskedSecret(secret->valuestring));
        copyBounded(*password, AUTH_FIELD_SIZE, secret->valuestring);
    }
    cJSON_Delete(root);
    logMsg("DEBUG: Exit  getAuthInfo!\n");
    return 1;
}

int getAuthInfo(char** auth_id, char** password) {
    return getAuthInfoFrom(AUTH_FILE, auth_id, password);
}
