#include "WorkDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Clock.h"
#include "Log.h"
#include "Text.h"

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

const char* splitPath(const char* path, char* dir, size_t dir_size) {
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

const char* fileKind(mode_t mode) {
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
