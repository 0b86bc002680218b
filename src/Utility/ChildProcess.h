// Child processes of a job: started in a process group of their own,
// without a shell.
#pragma once

#include <sys/types.h>

// How spawnInOwnGroup wires a child: a descriptor given (>= 0) becomes its
// standard output or error; with stdin_null its standard input is
// /dev/null; the rest are the caller's.
struct ChildIo {
    bool stdin_null = false;
    int out = -1;
    int err = -1;
    // SIGTERM stays blocked in the child: a cancel sent to the caller's group
    // while the child is being started (before it has left the group) can't
    // kill it; the caller stops it with SIGKILL. Else the child starts with
    // no signal blocked.
    bool block_sigterm = false;
};

// Starts argv[0] (found through the command search path, never a shell) in
// a process group of its own, with SIGPIPE and SIGTERM at their defaults.
// Returns its pid, or -1 with errno set.
pid_t spawnInOwnGroup(char* const argv[], const ChildIo& io);

// Closes *fd when it is open and marks it closed (-1).
void closeFd(int* fd);
