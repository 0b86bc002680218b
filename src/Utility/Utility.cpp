#include "Utility.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool cancelGraceOver() {
    if (!jobCancelled()) return false;
    JobContext& context = jobContext();
    int64_t now = monotonicMs();
    if (context.cancelled_at_ms < 0) context.cancelled_at_ms = now;
    return now - context.cancelled_at_ms > CANCEL_GRACE_MS;
}

size_t utf8Cut(const char* text, size_t len, size_t max) {
    if (len <= max) return len;
    size_t kept = max;
    // A continuation byte (10xxxxxx) at the cut belongs to the character
    // the cut would split: that character goes whole.
    while (kept > 0 && ((unsigned char)text[kept] & 0xc0) == 0x80) kept--;
    return kept;
}

size_t copyBounded(char* dst, size_t capacity, const char* src) {
    size_t len = strlen(src);
    if (capacity > 0) {
        size_t kept = utf8Cut(src, len, capacity - 1);
        memcpy(dst, src, kept);
        dst[kept] = '\0';
    }
    return len;
}

int parseCopies(const char* text, bool* capped) {
    *capped = false;
    while (isspace((unsigned char)*text)) text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    int64_t value = 0;
    for (; isdigit((unsigned char)*text); text++) {
        value = value * 10 + (*text - '0');
        if (value > MAX_COPIES) {
            value = MAX_COPIES;
            *capped = !negative;
        }
    }
    return (int)(negative ? -value : value);
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

// Empties the directory `dir_fd`, which stays open.
static void emptyDirectory(int dir_fd) {
    int entries = dup(dir_fd);
    if (entries >= 0) removeEntries(entries);
}

// Copies `path` into `out` (`size` bytes) without its trailing '/'s (a
// trailing '/' would make lstat and open follow a link at the path).
static void copyWithoutTrailingSlashes(char* out, size_t size, const char* path) {
    size_t len = copyBounded(out, size, path);
    if (len >= size) len = size - 1;
    while (len > 1 && out[len - 1] == '/') out[--len] = '\0';
}

// Splits `path` at its last '/': its directory into `dir` ("/" for a file
// at the root, "." for a bare name) and its last component, returned.
// nullptr when the directory does not fit in `dir_size` bytes.
static const char* splitPath(const char* path, char* dir, size_t dir_size) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        copyBounded(dir, dir_size, ".");
        return path;
    }
    size_t len = slash == path ? 1 : (size_t)(slash - path);
    if (len >= dir_size) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(dir, path, len);
    dir[len] = '\0';
    return slash + 1;
}

const WorkDir& workDir() { return jobContext().work_dir; }

static const char* fileKind(mode_t mode) {
    if (S_ISLNK(mode)) return "link";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISREG(mode)) return "file";
    return "special file";
}

// The directory at `dir_path` (no trailing '/') opened, checked and made
// private, or -1 with the reason in `why`.
static int ownDirectory(const char* dir_path, char* why, size_t why_size) {
    struct stat st;
    // Twice: a non-directory removed here may be replaced again meanwhile.
    for (int attempt = 0; attempt < 2; attempt++) {
        if (lstat(dir_path, &st) == 0 && !S_ISDIR(st.st_mode)) {
            bool may_remove = geteuid() == 0 || st.st_uid == geteuid();
            if (!may_remove || unlink(dir_path) != 0) {
                snprintf(why, why_size, "it is a %s of user %u", fileKind(st.st_mode),
                         (unsigned)st.st_uid);
                return -1;
            }
        }
        if (mkdir(dir_path, 0700) != 0 && errno != EEXIST) {
            snprintf(why, why_size, "it can't be made: %s", strerror(errno));
            return -1;
        }
        int fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) continue;
        if (fd < 0) {
            snprintf(why, why_size, "it can't be opened: %s", strerror(errno));
            return -1;
        }
        if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
            snprintf(why, why_size, "it belongs to user %u", (unsigned)st.st_uid);
            close(fd);
            return -1;
        }
        // mkdir's mode passes through the umask; an old directory may be open.
        if ((st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0) {
            snprintf(why, why_size, "its mode can't be made 0700: %s", strerror(errno));
            close(fd);
            return -1;
        }
        return fd;
    }
    snprintf(why, why_size, "something other than a directory keeps appearing there");
    return -1;
}

// A shared lock, waited for in steps so a cancelled job is not held up by
// a lock that is never released.
static bool takeSharedLock(int fd) {
    for (int waited = 0; waited <= WORK_DIR_LOCK_WAIT_MS && !jobCancelled(); waited += 20) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        usleep(20 * 1000);
    }
    return false;
}

// Whether a private directory may be made in `path`: a real directory of
// root or the filter's user that no one else may write to, or only with
// the sticky bit, so no one else can rename what is made there. Else `why`
// says why not.
static bool safeParent(const char* path, char* why, size_t why_size) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        snprintf(why, why_size, "it is not a real directory");
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        snprintf(why, why_size, "it belongs to user %u", (unsigned)st.st_uid);
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        snprintf(why, why_size, "others may write to it and it is not sticky");
    } else {
        close(fd);
        return true;
    }
    if (fd >= 0) close(fd);
    return false;
}

// Makes the job's private directory in `parent` (no trailing '/' needed).
static int makePrivateDirIn(const char* parent) {
    WorkDir& work_dir = jobContext().work_dir;
    char dir_path[WORK_PATH_SIZE];
    copyWithoutTrailingSlashes(dir_path, sizeof(dir_path), parent);
    if (snprintf(work_dir.path, sizeof(work_dir.path), "%s/brivane_quelmoss-XXXXXX", dir_path) >=
        (int)sizeof(work_dir.path) - 1) {
        snprintf(work_dir.path, sizeof(work_dir.path), "/tmp/brivane_quelmoss-XXXXXX");
    }
    if (mkdtemp(work_dir.path) == nullptr) {
        logMsg("ERROR: Unable to make a private working directory %s: %s\n", work_dir.path,
               strerror(errno));
        work_dir.path[0] = '\0';
        return 1;
    }
    work_dir.fd = open(work_dir.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (work_dir.fd < 0) {
        logMsg("ERROR: Unable to open the private working directory %s: %s\n", work_dir.path,
               strerror(errno));
        rmdir(work_dir.path);
        work_dir.path[0] = '\0';
        return 1;
    }
    strncat(work_dir.path, "/", sizeof(work_dir.path) - strlen(work_dir.path) - 1);
    work_dir.is_private = true;
    return 0;
}

// Makes the job's private directory under $TMPDIR when that is safe, else
// under /tmp; `where` tells the job log which, and why.
static int makePrivateDir(char* where, size_t where_size) {
    const char* tmp = getenv("TMPDIR");
    char why[96] = "";
    if (tmp != nullptr && tmp[0] == '/' && !safeParent(tmp, why, sizeof(why))) {
        snprintf(where, where_size, " ($TMPDIR %s is not used: %s)", tmp, why);
        tmp = "/tmp";
    }
    if (tmp == nullptr || tmp[0] != '/') tmp = "/tmp";
    return makePrivateDirIn(tmp);
}

int openPrivateWorkDir(const char* parent) {
    char why[96] = "";
    if (!safeParent(parent, why, sizeof(why))) {
        logMsg("ERROR: No working directory can be made in %s: %s\n", parent, why);
        return 1;
    }
    return makePrivateDirIn(parent);
}

int openWorkDir(const char* path) {
    WorkDir& work_dir = jobContext().work_dir;
    // One '/' is added back for the page file names.
    char dir_path[WORK_PATH_SIZE - 1];
    copyWithoutTrailingSlashes(dir_path, sizeof(dir_path), path);

    char why[160] = "";
    int fd = ownDirectory(dir_path, why, sizeof(why));
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            emptyDirectory(fd);
        } else {
            logMsg("DEBUG: %s is in use by another job, its files are kept\n", path);
        }
        if (takeSharedLock(fd) || jobCancelled()) {
            work_dir.fd = fd;
            work_dir.is_private = false;
            snprintf(work_dir.path, sizeof(work_dir.path), "%s/", dir_path);
            return 0;
        }
        snprintf(why, sizeof(why), "another process has held its lock for over %d s",
                 WORK_DIR_LOCK_WAIT_MS / 1000);
        close(fd);
    }
    char where[WORK_PATH_SIZE + 160] = "";
    if (makePrivateDir(where, sizeof(where)) != 0) return 1;
    logMsg("WARNING: Working directory %s is not used (%s); this job's files are in %s%s\n", path,
           why, work_dir.path, where);
    return 0;
}

void closeWorkDir() {
    WorkDir& work_dir = jobContext().work_dir;
    if (work_dir.fd >= 0 && work_dir.is_private) {
        emptyDirectory(work_dir.fd);
        rmdir(work_dir.path);
    }
    if (work_dir.fd >= 0) close(work_dir.fd);
    work_dir = WorkDir();
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

// The directory descriptor a page file's name is taken relative to: the
// working directory's own when `path` lies in it, else its parent opened
// now (tools and tests). *name is the last component; *owned says whether
// the caller closes the descriptor.
static int pageFileDir(const char* path, const char** name, bool* owned) {
    WorkDir& work_dir = jobContext().work_dir;
    size_t dir_len = strlen(work_dir.path);
    if (work_dir.fd >= 0 && dir_len > 0 && strncmp(path, work_dir.path, dir_len) == 0 &&
        strchr(path + dir_len, '/') == nullptr) {
        *name = path + dir_len;
        *owned = false;
        return work_dir.fd;
    }
    *owned = true;
    char dir_path[WORK_PATH_SIZE];
    *name = splitPath(path, dir_path, sizeof(dir_path));
    return *name ? open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
}

static FILE* openPageFile(const char* path, bool create) {
    const char* name = nullptr;
    bool owned = false;
    int dir_fd = pageFileDir(path, &name, &owned);
    if (dir_fd < 0) return nullptr;
    int fd;
    if (create) {
        unlinkat(dir_fd, name, 0);
        fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } else {
        fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd);
            fd = -1;
            errno = EINVAL;
        }
    }
    int saved_errno = errno;
    if (owned) close(dir_fd);
    FILE* file = fd >= 0 ? fdopen(fd, create ? "wb" : "rb") : nullptr;
    if (fd >= 0 && file == nullptr) {
        saved_errno = errno;
        close(fd);
    }
    errno = saved_errno;
    return file;
}

FILE* createWorkFile(const char* path) { return openPageFile(path, true); }

FILE* openWorkFile(const char* path) { return openPageFile(path, false); }

void writeInt32LE(FILE* out, int32_t value) {
    uint32_t bits = (uint32_t)value;
    unsigned char bytes[4] = {(unsigned char)(bits & 0xff), (unsigned char)((bits >> 8) & 0xff),
                              (unsigned char)((bits >> 16) & 0xff),
                              (unsigned char)((bits >> 24) & 0xff)};
    fwrite(bytes, sizeof(bytes), 1, out);
}

extern char** environ;

void closeFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

pid_t spawnInOwnGroup(char* const argv[], const ChildIo& io) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (io.stdin_null) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (io.out >= 0) posix_spawn_file_actions_adddup2(&actions, io.out, STDOUT_FILENO);
    if (io.err >= 0) posix_spawn_file_actions_adddup2(&actions, io.err, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t mask;
    sigemptyset(&mask);
    if (io.block_sigterm) {
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        sigaddset(&mask, SIGTERM);
    }
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}
