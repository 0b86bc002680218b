#include "Jbig.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/Utility.h"
#include "Pbm.h"

extern char** environ;

static EncoderRunner current_runner = spawnEncoder;

EncoderRunner setEncoderRunner(EncoderRunner runner) {
    EncoderRunner previous = current_runner;
    current_runner = runner ? runner : spawnEncoder;
    return previous;
}

// Starts the real encoder; its standard output goes to standard error.
// Returns its pid, or -1 with errno set.
static pid_t startEncoder(char* const argv[]) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

static int waitEncoder(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int spawnEncoder(char* const argv[]) {
    pid_t pid = startEncoder(argv);
    return pid < 0 ? -1 : waitEncoder(pid);
}

// Says why the encoder run did not give a JBIG file, unless the job is being
// cancelled: the scheduler then stops the whole process group, and an
// encoder killed on the way is no failure of the page.
static void reportEncoderFailure(int status, int spawn_errno, const char* pbm_file) {
    if (cancel_job) {
        logMsg("DEBUG: encoder stopped by cancellation for %s\n", pbm_file);
    } else if (status == -1) {
        logMsg("ERROR: Unable to start the JBIG encoder pbmtojbg for %s: %s\n", pbm_file,
               strerror(spawn_errno));
    } else if (WIFSIGNALED(status)) {
        logMsg("ERROR: JBIG encoder pbmtojbg killed by signal %d while converting %s\n",
               WTERMSIG(status), pbm_file);
    } else {
        logMsg("ERROR: JBIG encoder pbmtojbg failed with status %d while converting %s\n",
               WEXITSTATUS(status), pbm_file);
    }
}

void startPbmtojbg(const char* pbm_file, const char* jbg_file, EncoderRun* run) {
    *run = EncoderRun();
    copyBounded(run->pbm_file, sizeof(run->pbm_file), pbm_file);
    copyBounded(run->jbg_file, sizeof(run->jbg_file), jbg_file);
    run->reported = true;  // until the encoder is under way
    // A JBIG file left from before must never pass for this conversion's,
    // and the encoder must write into a fresh private file, not through a
    // link or into a FIFO planted at the name.
    FILE* output = createWorkFile(jbg_file);
    if (output == nullptr) {
        logMsg("ERROR: Unable to create the JBIG file %s: %s\n", jbg_file, strerror(errno));
        return;
    }
    fclose(output);
    FILE* input = openWorkFile(pbm_file);
    if (input == nullptr) {
        perror("Error opening input file");
        unlink(jbg_file);
        return;
    }
    PbmHeader header;
    int bad_header = readPbmHeader(input, &header);
    fclose(input);
    if (bad_header) {
        unlink(jbg_file);
        logMsg("ERROR: Page file %s has no valid PBM size, not converted\n", pbm_file);
        return;
    }

    char command[512];
    memset(command, 0, sizeof(command));
    logMsg("DEBUG: pbmtojbg. width:[%d], height:[%d], pbm_file:[%s]", header.width, header.height,
           pbm_file);
    snprintf(command, sizeof(command), "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s",
             header.width, header.height, pbm_file, jbg_file);

    char width[16], height[16];
    snprintf(width, sizeof(width), "%d", header.width);
    snprintf(height, sizeof(height), "%d", header.height);
    const char* argv[] = {"pbmtojbg", "-q", "-x", width, "-y", height, "-r",     "-s",     "128",
                          "-o",       "0",  "-p", "8",   "-m", "0",    pbm_file, jbg_file, nullptr};
    char* const* args = const_cast<char* const*>(argv);
    run->reported = false;
    run->running = true;
    if (current_runner == spawnEncoder) {
        run->pid = startEncoder(args);
        if (run->pid < 0) {
            run->status = -1;
            run->start_errno = errno;
        }
    } else {
        run->status = current_runner(args);  // a stand-in runs to its end here
        run->start_errno = errno;
    }
    logMsg("DEBUG: pbmtojbg: %s\n", command);
}

void finishPbmtojbg(EncoderRun* run) {
    if (!run->running) return;
    run->running = false;
    if (run->pid > 0) {
        run->status = waitEncoder(run->pid);
        run->pid = -1;
    }
    int status = run->status;
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        unlink(run->jbg_file);
        reportEncoderFailure(status, run->start_errno, run->pbm_file);
    }
}

void stopPbmtojbg(EncoderRun* run) {
    if (!run->running) return;
    run->running = false;
    if (run->pid > 0) {
        kill(run->pid, SIGTERM);
        waitEncoder(run->pid);
        run->pid = -1;
    }
    unlink(run->jbg_file);
    logMsg("DEBUG: conversion of %s stopped, the job ends before its page\n", run->pbm_file);
}

void pbmtojbg(const char* pbm_file, const char* jbg_file) {
    EncoderRun run;
    startPbmtojbg(pbm_file, jbg_file, &run);
    finishPbmtojbg(&run);
}
