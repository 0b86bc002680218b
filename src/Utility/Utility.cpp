#include "Utility.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"

volatile sig_atomic_t cancel_job = 0;

size_t copyBounded(char* dst, size_t capacity, const char* src) {
    size_t len = strlen(src);
    if (capacity > 0) {
        size_t kept = len < capacity - 1 ? len : capacity - 1;
        memcpy(dst, src, kept);
        dst[kept] = '\0';
    }
    return len;
}

int mkdirs(const char* path) {
    char text[512];
    copyBounded(text, sizeof(text), path);
    size_t len = strlen(text);
    for (size_t i = 0; i < len; i++) {
        if (text[i] != '/' || i == 0) continue;
        text[i] = '\0';
        if (access(text, F_OK) != 0) mkdir(text, 0755);
        text[i] = '/';
    }
    if (len > 0 && access(text, F_OK) != 0) mkdir(text, 0755);
    struct stat st;
    return (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : 1;
}

// Removes every entry below the directory `dir_fd`, depth first. Entries are
// looked at with lstat semantics, so a symbolic link is removed itself and
// whatever it points to is never touched.
static void removeEntries(int dir_fd) {
    DIR* dir = fdopendir(dir_fd);
    if (dir == nullptr) {
        close(dir_fd);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) removeEntries(sub);
            unlinkat(dirfd(dir), name, AT_REMOVEDIR);
        } else {
            unlinkat(dirfd(dir), name, 0);
        }
    }
    closedir(dir);
}

int resetWorkDir(const char* path, int* lock_fd) {
    *lock_fd = -1;
    // A trailing '/' would make lstat and open follow a link at the path.
    char dir_path[512];
    copyBounded(dir_path, sizeof(dir_path), path);
    size_t len = strlen(dir_path);
    while (len > 1 && dir_path[len - 1] == '/') dir_path[--len] = '\0';

    struct stat st;
    if (lstat(dir_path, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(dir_path);
    mkdirs(dir_path);
    int fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        int entries = dup(fd);
        if (entries >= 0) removeEntries(entries);
    } else {
        logMsg("DEBUG: %s is in use by another job, its files are kept\n", path);
    }
    flock(fd, LOCK_SH);
    *lock_fd = fd;
    return 0;
}

void getDocumenName(const char* title, char** name) {
    logMsg("DEBUG: Enter getDocumenName!\n");
    char* buffer = *name;
    const char* slash = strrchr(title, '/');
    if (slash != nullptr) {
        copyBounded(buffer, DOC_NAME_SIZE, slash + 1);
        logMsg("DEBUG: getDocumenName:remove dir.\n");
    } else {
        copyBounded(buffer, DOC_NAME_SIZE, title);
        logMsg("DEBUG: getDocumenName:param not include dir.\n");
    }
    char* dot = strchr(buffer, '.');
    if (dot != nullptr) {
        logMsg("DEBUG: getDocumenName:find expanded flag.\n");
        char* blank = strchr(dot, ' ');
        if (blank != nullptr) {
            *blank = '\0';
            logMsg("DEBUG: getDocumenName:set DocName string terminal.\n");
        }
    }
    logMsg("DEBUG: Exit getDocumenName!\n");
}

// Reads the whole credentials file, or nothing. Only a regular file of at
// most AUTH_FILE_MAX bytes is read; O_NONBLOCK keeps a FIFO planted at the
// path from blocking the job. Returns a NUL-terminated heap text or nullptr.
static char* readAuthText(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (off_t)AUTH_FILE_MAX) {
        close(fd);
        return nullptr;
    }
    size_t size = (size_t)st.st_size;
    char* text = (char*)calloc(size + 1, 1);
    if (text == nullptr) {
        close(fd);
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
    close(fd);
    return text;
}

int getAuthInfoFrom(const char* path, char** auth_id, char** password) {
    logMsg("DEBUG: Enter getAuthInfo!\n");
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (off_t)AUTH_FILE_MAX) {
        logMsg("DEBUG: auth_file is not found!\n");
        return 0;
    }
    char* text = readAuthText(path);
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
    if (cJSON_IsString(id) && id->valuestring != nullptr) {
        logMsg("DEBUG: AuthID: %s\n", id->valuestring);
        copyBounded(*auth_id, AUTH_FIELD_SIZE, id->valuestring);
    }
    const cJSON* secret = cJSON_GetObjectItemCaseSensitive(root, "Password");
    if (cJSON_IsString(secret) && secret->valuestring != nullptr) {
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

FILE* createWorkFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) close(fd);
    return file;
}

void writeInt32LE(FILE* out, int32_t value) {
    uint32_t bits = (uint32_t)value;
    unsigned char bytes[4] = {(unsigned char)(bits & 0xff), (unsigned char)((bits >> 8) & 0xff),
                              (unsigned char)((bits >> 16) & 0xff),
                              (unsigned char)((bits >> 24) & 0xff)};
    fwrite(bytes, sizeof(bytes), 1, out);
}
