#include "app/system/ServerUser.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static const char* const STATE_DIR = "/var/lib/quelmoss-printer-app";
static const char* const RUNTIME_DIR = "/run/quelmoss-printer-app";
static const char* const ROOT_SOCKET = "/run/quelmoss-printer-app.sock";
// The state file of releases that ran as root.
static const char* const OLD_STATE_FILE = "/var/lib/quelmoss-printer-app.state";

bool isServerCommand(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-') {
            // Short options take a value (-o name=value, -d printer ...).
            if (argv[i][1] != '-' && argv[i][1] != '\0' && argv[i][2] == '\0') i++;
            continue;
        }
        return strcmp(argv[i], "server") == 0;
    }
    return false;
}

static gid_t groupId(const char* name) {
    struct group* group = getgrnam(name);
    return group ? group->gr_gid : (gid_t)-1;
}

// Makes DIR (if missing) a real directory of uid:gid with MODE; never
// follows a link planted there.
static bool ownDirectory(const char* dir, uid_t uid, gid_t gid, mode_t mode, std::string* why) {
    if (mkdir(dir, mode) != 0 && errno != EEXIST) {
        *why = std::string("can't make ") + dir + ": " + strerror(errno);
        return false;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && fchown(fd, uid, gid) == 0 && fchmod(fd, mode) == 0;
    if (!ok) *why = std::string(dir) + " can't be made the server's: " + strerror(errno);
    if (fd >= 0) close(fd);
    return ok;
}

static bool becomeServiceUser(ServerPaths* paths, std::string* why) {
    struct passwd* user = getpwnam(SERVICE_USER);
    if (user == nullptr) {
        *why = std::string("it does not serve as root, and the system user ") + SERVICE_USER +
               " it runs as does not exist (the package makes it)";
        return false;
    }
    uid_t uid = user->pw_uid;
    gid_t gid = user->pw_gid;
    gid_t admins = groupId(ADMIN_GROUP);
    if (!ownDirectory(STATE_DIR, uid, gid, 0700, why) ||
        !ownDirectory(RUNTIME_DIR, uid, admins != (gid_t)-1 ? admins : gid, 0750, why)) {
        return false;
    }
    paths->state_file = std::string(STATE_DIR) + "/" + APP_NAME + ".state";
    struct stat old;
    if (lstat(OLD_STATE_FILE, &old) == 0 && S_ISREG(old.st_mode) &&
        access(paths->state_file.c_str(), F_OK) != 0 &&
        rename(OLD_STATE_FILE, paths->state_file.c_str()) == 0) {
        if (chown(paths->state_file.c_str(), uid, gid) != 0) {
            *why = paths->state_file + " can't be made the server's: " + strerror(errno);
            return false;
        }
    }
    paths->spool = std::string(STATE_DIR) + "/spool";
    paths->runtime = RUNTIME_DIR;
    unlink(ROOT_SOCKET);
    if (symlink("quelmoss-printer-app/control.sock", ROOT_SOCKET) != 0) {
        *why = std::string("can't make ") + ROOT_SOCKET + ": " + strerror(errno);
        return false;
    }
    // USB printers are the lp group's.
    gid_t groups[1] = {groupId("lp")};
    int count = groups[0] != (gid_t)-1 ? 1 : 0;
    if (setgroups((size_t)count, groups) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0 || getuid() != uid || geteuid() != uid) {
        *why = std::string("can't become ") + SERVICE_USER + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool prepareServer(ServerPaths* paths, std::string* why) {
    // Job files, page files and the state are the server's alone.
    umask(077);
    if (geteuid() == 0) {
        if (!becomeServiceUser(paths, why)) return false;
        setenv("HOME", STATE_DIR, 1);
    } else {
        const char* state = getenv("STATE_DIRECTORY");
        const char* runtime = getenv("RUNTIME_DIRECTORY");
        if (runtime != nullptr && runtime[0] == '/') paths->runtime = runtime;
        if (state != nullptr && state[0] == '/') {
            paths->state_file = std::string(state) + "/" + APP_NAME + ".state";
            paths->spool = std::string(state) + "/spool";
            setenv("HOME", state, 1);
        }
    }
    if (!paths->runtime.empty()) setenv("TMPDIR", paths->runtime.c_str(), 1);
    return true;
}

void linkControlSocket(const ServerPaths& paths) {
    if (paths.runtime.empty()) return;
    std::string link = paths.runtime + "/control.sock";
    std::string target = std::string(APP_NAME) + std::to_string(getuid()) + ".sock";
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "%s: can't link %s: %s\n", APP_NAME, link.c_str(), strerror(errno));
    }
}
