#include "ChildProcess.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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
