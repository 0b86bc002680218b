#include "Jbig.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../Utility/ChildProcess.h"
#include "../Utility/Clock.h"
#include "../Utility/Log.h"
#include "../Utility/Text.h"
#include "../Utility/WorkDir.h"
#include "JbigEncoder.h"
#include "Pbm.h"

EncoderRunner setEncoderRunner(EncoderRunner runner) {
    EncoderRunner previous = jobContext().encoder_runner;
    jobContext().encoder_runner = runner;
    return previous;
}

// Starts the real encoder in a process group of its own, so a cancel sent
// to the filter's group leaves the page in hand to finish; standard output
// and error into `messages_fd`.
static pid_t startEncoder(char* const argv[], int messages_fd) {
    ChildIo io;
    io.out = messages_fd >= 0 ? messages_fd : STDERR_FILENO;
    io.err = messages_fd;
    io.block_sigterm = true;
    return spawnInOwnGroup(argv, io);
}

// Kills the encoder's whole process group (a stand-in's children too) and
// collects it.
static void killEncoder(EncoderRun* run) {
    kill(-run->pid, SIGKILL);
    kill(run->pid, SIGKILL);
    while (waitpid(run->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    run->pid = -1;
}

enum WaitEnd { WAIT_EXITED, WAIT_TIMED_OUT, WAIT_CANCELLED };

// Waits for the encoder to end, but not past its deadline nor, once the job
// is cancelled, past the cancel's grace period; then it is killed.
static WaitEnd waitEncoder(EncoderRun* run) {
    int pidfd = (int)syscall(SYS_pidfd_open, run->pid, 0);
    WaitEnd end = WAIT_EXITED;
    while (true) {
        pid_t done = waitpid(run->pid, &run->status, WNOHANG);
        if (done == run->pid || (done < 0 && errno != EINTR)) {
            if (done < 0) run->status = -1;
            run->pid = -1;
            break;
        }
        int64_t left = run->deadline_ms - monotonicMs();
        if (left <= 0 || cancelGraceOver()) {
            end = left <= 0 ? WAIT_TIMED_OUT : WAIT_CANCELLED;
            killEncoder(run);
            break;
        }
        int step = left < 100 ? (int)left : 100;
        if (pidfd >= 0) {
            struct pollfd exited = {pidfd, POLLIN, 0};
            poll(&exited, 1, step);
        } else {
            usleep(2000);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return end;
}

// What the encoder wrote on its standard error and output, as a value of
// the page's log lines, where it stood when the encoder wrote straight to
// the job log.
static void logEncoderMessages(EncoderRun* run) {
    if (run->messages_fd < 0) return;
    char text[ENCODER_MESSAGE_MAX + 1];
    ssize_t n = pread(run->messages_fd, text, ENCODER_MESSAGE_MAX, 0);
    close(run->messages_fd);
    run->messages_fd = -1;
    if (n <= 0) return;
    text[n] = '\0';
    logMsg("%s", text);
}

// An encoder's output is trusted only when it starts with a JBIG header
// (BIH) of one plane naming the page's width and height, and is no larger
// than the page could need. Returns the reason when not.
static const char* badJbigFile(const EncoderRun& run) {
    FILE* file = openWorkFile(run.jbg_file);
    if (file == nullptr) return "it made no JBIG file";
    struct stat st;
    unsigned char bih[20];
    const char* why = nullptr;
    if (fstat(fileno(file), &st) != 0 || st.st_size > maxJbigSize(run.pbm_size)) {
        why = "its JBIG file is larger than the page could need";
    } else if (fread(bih, 1, sizeof(bih), file) != sizeof(bih)) {
        why = "its JBIG file is too short for a JBIG header";
    } else {
        auto be32 = [&](int at) {
            return (uint32_t)bih[at] << 24 | (uint32_t)bih[at + 1] << 16 |
                   (uint32_t)bih[at + 2] << 8 | bih[at + 3];
        };
        if (bih[2] != 1 || be32(4) != (uint32_t)run.width || be32(8) != (uint32_t)run.height) {
            why = "its JBIG file is not a one-plane image of the page's size";
        }
    }
    fclose(file);
    return why;
}

// ---------------------------------------------------------------------------
// In memory.

// How much the encoder threads yield to the producer.
constexpr int ENCODER_NICENESS = 5;

// A page encoded on a thread of its own, and its second run of stripes on
// another when it is cut in two.
struct BitmapEncode {
    pthread_t thread;
    unsigned char* bits = nullptr;  // freed once encoded
    unsigned width = 0, height = 0;
    int runs = 1;  // runs of stripes it may be cut into: 1 or 2
    JbigBytes out;
    int done_fd = -1;  // an eventfd, counted up once the encoding has ended
};

// The lower run of stripes of a page cut in two.
struct StripeRun {
    const BitmapEncode* page;
    uint32_t first;
    JbigBytes out;
};

static void yieldToProducer() {
    // The producer feeds the encoders: when both want a processor it goes
    // first, so pages keep coming and the last ones encode side by side
    // rather than one after another. (On Linux the niceness is the
    // thread's own.)
    errno = 0;
    if (nice(ENCODER_NICENESS) == -1 && errno != 0) {
        // Encoded at the producer's priority then.
    }
}

static void* encodeLowerRun(void* data) {
    StripeRun* run = static_cast<StripeRun*>(data);
    yieldToProducer();
    const BitmapEncode* page = run->page;
    encodeJbigStripes(page->bits, page->width, page->height, run->first,
                      jbigStripeCount(page->height), &run->out);
    return nullptr;
}

// Each stripe is coded on its own, so the two runs of a page cut at a
// stripe edge give, joined behind one header, the page's own bytes.
static void encodePage(BitmapEncode* task) {
    unsigned char header[JBIG_HEADER_SIZE];
    writeJbigHeader(header, task->width, task->height);
    if (!appendJbigBytes(&task->out, header, sizeof(header))) return;
    uint32_t stripes = jbigStripeCount(task->height);
    uint32_t cut = task->runs > 1 ? balancedStripeCut(task->bits, task->width, task->height) : 0;
    StripeRun lower{task, cut, JbigBytes()};
    lower.out.limit = task->out.limit;
    pthread_t helper;
    if (cut == 0 || pthread_create(&helper, nullptr, encodeLowerRun, &lower) != 0) {
        encodeJbigStripes(task->bits, task->width, task->height, 0, stripes, &task->out);
        return;
    }
    encodeJbigStripes(task->bits, task->width, task->height, 0, cut, &task->out);
    pthread_join(helper, nullptr);
    if (lower.out.failure != nullptr && task->out.failure == nullptr) {
        task->out.failure = lower.out.failure;
    }
    appendJbigBytes(&task->out, lower.out.data, lower.out.size);
    free(lower.out.data);
}

static void* encodeBitmap(void* data) {
    BitmapEncode* task = static_cast<BitmapEncode*>(data);
    yieldToProducer();
    encodePage(task);
    free(task->bits);
    task->bits = nullptr;
    uint64_t one = 1;
    if (write(task->done_fd, &one, sizeof(one)) < 0) {
        // The waiter joins the thread anyway; it only wakes later.
    }
    return nullptr;
}

// Waits for the thread (a page's encoding is short and can't be stopped
// halfway) and takes its task off the run.
static BitmapEncode* joinBitmapEncoding(EncoderRun* run) {
    BitmapEncode* task = run->in_memory;
    run->in_memory = nullptr;
    pthread_join(task->thread, nullptr);
    close(task->done_fd);
    return task;
}

int bitmapEncodingFd(const EncoderRun* run) {
    return run->running && run->in_memory != nullptr ? run->in_memory->done_fd : -1;
}

EncoderOutcome startBitmapEncoding(unsigned char* bits, int width, int height, const char* name,
                                   EncoderRun* run, int runs) {
    *run = EncoderRun();
    copyBounded(run->pbm_file, sizeof(run->pbm_file), name);
    BitmapEncode* task = new BitmapEncode;
    task->bits = bits;
    task->width = (unsigned)width;
    task->height = (unsigned)height;
    task->runs = runs > 1 ? 2 : 1;
    task->out.limit = (size_t)maxJbigSize((int64_t)pbmRowBytes(width) * height);
    logMsg("DEBUG: encoding %s (%d x %d) in memory\n", name, width, height);
    task->done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int error = task->done_fd < 0 ? errno : 0;
    if (error == 0) error = pthread_create(&task->thread, nullptr, encodeBitmap, task);
    if (error != 0) {
        logMsg("ERROR: Unable to start encoding %s: %s\n", name, strerror(error));
        if (task->done_fd >= 0) close(task->done_fd);
        free(bits);
        delete task;
        return ENCODE_FAILED;
    }
    run->in_memory = task;
    run->running = true;
    return ENCODED;
}

EncoderOutcome finishBitmapEncoding(EncoderRun* run, unsigned char** jbig, int64_t* size) {
    *jbig = nullptr;
    *size = 0;
    if (!run->running || run->in_memory == nullptr) return ENCODE_FAILED;
    run->running = false;
    BitmapEncode* task = joinBitmapEncoding(run);
    const char* failure = task->out.failure;
    if (failure == nullptr && task->out.size == 0) failure = "it gave no JBIG data";
    if (failure != nullptr) {
        logMsg("ERROR: The JBIG encoding of %s failed: %s\n", run->pbm_file, failure);
        free(task->out.data);
    } else {
        *jbig = task->out.data;
        *size = (int64_t)task->out.size;
    }
    delete task;
    return failure == nullptr ? ENCODED : ENCODE_FAILED;
}

// ---------------------------------------------------------------------------

// The conversion gave nothing to send: no JBIG file stays behind.
static EncoderOutcome encoderFailed(EncoderRun* run) {
    unlink(run->jbg_file);
    return ENCODE_FAILED;
}

EncoderOutcome startPbmtojbg(const char* pbm_file, const char* jbg_file, EncoderRun* run) {
    *run = EncoderRun();
    copyBounded(run->pbm_file, sizeof(run->pbm_file), pbm_file);
    copyBounded(run->jbg_file, sizeof(run->jbg_file), jbg_file);
    // A JBIG file left from before must never pass for this conversion's,
    // and the encoder must write into a fresh private file, not through a
    // link or into a FIFO planted at the name (it opens the file itself).
    FILE* output = createWorkFile(jbg_file);
    if (output == nullptr) {
        logMsg("ERROR: Unable to create the JBIG file %s: %s\n", jbg_file, strerror(errno));
        return ENCODE_FAILED;
    }
    fclose(output);
    FILE* input = openWorkFile(pbm_file);
    if (input == nullptr) {
        perror("Error opening input file");
        unlink(jbg_file);
        return ENCODE_FAILED;
    }
    PbmHeader header;
    int bad_header = readPbmHeader(input, &header);
    struct stat st;
    run->pbm_size = fstat(fileno(input), &st) == 0 ? (int64_t)st.st_size : 0;
    fclose(input);
    if (bad_header) {
        unlink(jbg_file);
        logMsg("ERROR: Page file %s has no valid PBM size, not converted\n", pbm_file);
        return ENCODE_FAILED;
    }
    run->width = header.width;
    run->height = header.height;
    run->deadline_ms =
        monotonicMs() + ENCODER_TIMEOUT_MS +
        ENCODER_TIMEOUT_MS_PER_MEGAPIXEL * ((int64_t)header.width * header.height) / 1000000;

    logMsg("DEBUG: pbmtojbg. width:[%d], height:[%d], pbm_file:[%s]", header.width, header.height,
           pbm_file);
    snprintf(run->command, sizeof(run->command),
             "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s", header.width, header.height,
             pbm_file, jbg_file);

    char width[16], height[16];
    snprintf(width, sizeof(width), "%d", header.width);
    snprintf(height, sizeof(height), "%d", header.height);
    const char* argv[] = {"pbmtojbg", "-q", "-x", width, "-y", height, "-r",     "-s",     "128",
                          "-o",       "0",  "-p", "8",   "-m", "0",    pbm_file, jbg_file, nullptr};
    char* const* args = const_cast<char* const*>(argv);
    run->running = true;
    EncoderRunner runner = jobContext().encoder_runner;
    if (runner == nullptr) {
        run->messages_fd = memfd_create("pbmtojbg-messages", MFD_CLOEXEC);
        run->pid = startEncoder(args, run->messages_fd);
        if (run->pid < 0) {
            run->status = -1;
            run->start_errno = errno;
        }
    } else {
        run->status = runner(args);  // a stand-in runs to its end here
        run->start_errno = errno;
    }
    return ENCODED;
}

EncoderOutcome finishPbmtojbg(EncoderRun* run) {
    if (!run->running) return ENCODE_FAILED;
    run->running = false;
    WaitEnd end = run->pid > 0 ? waitEncoder(run) : WAIT_EXITED;
    logEncoderMessages(run);
    logMsg("DEBUG: pbmtojbg: %s\n", run->command);
    if (end == WAIT_CANCELLED) {
        unlink(run->jbg_file);
        logMsg("DEBUG: conversion of %s stopped: the job was cancelled\n", run->pbm_file);
        return ENCODE_STOPPED;
    }
    const char* pbm = run->pbm_file;
    if (end == WAIT_TIMED_OUT) {
        logMsg(
            "ERROR: JBIG encoder pbmtojbg did not finish in time while converting %s; it was "
            "stopped\n",
            pbm);
        return encoderFailed(run);
    }
    int status = run->status;
    if (status == -1) {
        logMsg("ERROR: Unable to start the JBIG encoder pbmtojbg for %s: %s\n", pbm,
               strerror(run->start_errno));
        return encoderFailed(run);
    }
    if (WIFSIGNALED(status)) {
        logMsg("ERROR: JBIG encoder pbmtojbg killed by signal %d while converting %s\n",
               WTERMSIG(status), pbm);
        return encoderFailed(run);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        logMsg("ERROR: JBIG encoder pbmtojbg failed with status %d while converting %s\n",
               WEXITSTATUS(status), pbm);
        return encoderFailed(run);
    }
    const char* bad = badJbigFile(*run);
    if (bad != nullptr) {
        logMsg("ERROR: JBIG encoder pbmtojbg gave nothing to print for %s: %s\n", pbm, bad);
        return encoderFailed(run);
    }
    return ENCODED;
}

void stopPbmtojbg(EncoderRun* run) {
    if (run->messages_fd >= 0) close(run->messages_fd);
    run->messages_fd = -1;
    if (!run->running) return;
    run->running = false;
    if (run->in_memory != nullptr) {
        BitmapEncode* task = joinBitmapEncoding(run);
        free(task->out.data);
        delete task;
        return;
    }
    if (run->pid > 0) killEncoder(run);
    unlink(run->jbg_file);
}

EncoderOutcome pbmtojbg(const char* pbm_file, const char* jbg_file) {
    EncoderRun run;
    if (startPbmtojbg(pbm_file, jbg_file, &run) != ENCODED) return ENCODE_FAILED;
    return finishPbmtojbg(&run);
}
