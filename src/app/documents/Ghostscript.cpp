#include "app/documents/Ghostscript.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "Utility/ChildProcess.h"
#include "Utility/Clock.h"

// The raster pipe's size: about two pages at 600 dpi.
constexpr int GS_PIPE_BYTES = 1 << 20;

// How often the watchdog looks at Ghostscript.
constexpr int WATCH_MS = 200;

struct GsRun {
    pid_t pid = -1;  // also its process group; not reaped before waitGhostscript
    int pidfd = -1;  // -1 where the kernel gives none: the watchdog then only sleeps
    int messages_fd = -1;
    GsLimits limits;
    const std::atomic<int>* pages_sent = nullptr;
    std::thread watchdog;
    // The watchdog looks at the raster pipe only under the lock, so that it
    // never asks a descriptor number waitGhostscript closed and the server
    // gave to something else.
    std::mutex lock;
    int raster_fd = -1;
    // Written by the watchdog, read once it has ended.
    GsBound bound = GsBound::NONE;
    long limit = 0;
    long peak_vm_kib = 0;
};

// ---------------------------------------------------------------------------
// Starting it. posix_spawn can't set resource limits, and limits set after
// the start (prlimit) leave the document a moment without them: the child
// sets them itself between fork and exec. The server has other threads, so
// the child makes only async-signal-safe calls: everything it needs is made
// before the fork.

struct ChildPlan {
    const char* program;
    char* const* argv;
    int out_fd, err_fd;
    pid_t parent;
    int report_fd;  // the exec's failure goes back here
    struct rlimit memory, file, core, files;
    rlim_t fd_ceiling;  // closed one by one where close_range is missing
};

[[noreturn]] static void childFails(int report_fd) {
    int error = errno;
    ssize_t written = write(report_fd, &error, sizeof(error));
    (void)written;
    _exit(127);
}

[[noreturn]] static void runChild(const ChildPlan& plan) {
    // Handlers of the server must not run here, and SIGPIPE and the others it
    // ignores must not stay ignored in Ghostscript. A message log that is
    // full only loses messages: past RLIMIT_FSIZE writes fail rather than
    // kill.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) sigaction(sig, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &action, nullptr);
    // Killed with its whole group, and with the server's job thread.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != plan.parent) _exit(127);  // that thread's process already ended
    // The two descriptors may have any number, 0 to 2 included.
    int out = fcntl(plan.out_fd, F_DUPFD, 3);
    int err = fcntl(plan.err_fd, F_DUPFD, 3);
    int null = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || null < 0 || dup2(null, STDIN_FILENO) < 0 ||
        dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
        childFails(plan.report_fd);
    }
    // Not one of the server's descriptors (its sockets, other jobs' files)
    // reaches Ghostscript, whether or not it was opened close-on-exec.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (rlim_t fd = 3; fd < plan.fd_ceiling; fd++) {
            if ((int)fd != plan.report_fd) close((int)fd);
        }
    }
    if (setrlimit(RLIMIT_AS, &plan.memory) != 0 || setrlimit(RLIMIT_FSIZE, &plan.file) != 0 ||
        setrlimit(RLIMIT_CORE, &plan.core) != 0 || setrlimit(RLIMIT_NOFILE, &plan.files) != 0) {
        childFails(plan.report_fd);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.program, plan.argv, environ);
    childFails(plan.report_fd);
}

// The program as execvp would find it, found before the fork.
static std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr && path[0] != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat file;
        if (stat(candidate.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// A limit both soft and hard, so Ghostscript can't raise it; never above
// the hard limit the server has, which it could not give.
static struct rlimit fixedLimit(int resource, rlim_t value) {
    struct rlimit have;
    if (getrlimit(resource, &have) == 0 && have.rlim_max != RLIM_INFINITY &&
        have.rlim_max < value) {
        value = have.rlim_max;
    }
    return {value, value};
}

// Returns the child's pid, or -1 with errno set (the exec's own, when it
// failed).
static pid_t spawnLimited(const std::vector<std::string>& args, int out_fd, int err_fd,
                          const GsLimits& limits) {
    std::string program = findProgram(args[0]);
    if (program.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    ChildPlan plan;
    plan.program = program.c_str();
    plan.argv = argv.data();
    plan.out_fd = out_fd;
    plan.err_fd = err_fd;
    plan.parent = getpid();
    plan.report_fd = report[1];
    plan.memory = fixedLimit(RLIMIT_AS, limits.memory_bytes);
    plan.file = fixedLimit(RLIMIT_FSIZE, limits.file_bytes);
    plan.core = {0, 0};
    plan.files = fixedLimit(RLIMIT_NOFILE, limits.open_files);
    struct rlimit open_files = {1024, 1024};
    getrlimit(RLIMIT_NOFILE, &open_files);
    plan.fd_ceiling = open_files.rlim_cur == RLIM_INFINITY ? 65536 : open_files.rlim_cur;

    // No signal reaches the child before it has put the server's handlers
    // aside.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pid_t pid = fork();
    if (pid == 0) runChild(plan);
    int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        errno = fork_error;
        return -1;
    }
    int child_error = 0;
    ssize_t n;
    while ((n = read(report[0], &child_error, sizeof(child_error))) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n <= 0) return pid;  // the exec closed the pipe
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    errno = child_error;
    return -1;
}

// ---------------------------------------------------------------------------
// The watchdog.

// Processor seconds and peak address space from /proc; false once the
// process is gone.
static bool readUsage(pid_t pid, double* cpu_seconds, long* peak_vm_kib) {
    static const long kTicks = sysconf(_SC_CLK_TCK);
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    char text[1024];
    FILE* file = fopen(path, "re");
    if (file == nullptr) return false;
    size_t n = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    text[n] = '\0';
    // The name, in parentheses, may hold anything: the fields follow the last ')'.
    const char* fields = strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (fields == nullptr ||
        sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
               &system) != 2) {
        return false;
    }
    *cpu_seconds = (double)(user + system) / (double)kTicks;
    snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
    file = fopen(path, "re");
    if (file == nullptr) return false;
    char line[256];
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (sscanf(line, "VmPeak: %ld kB", peak_vm_kib) == 1) break;
    }
    fclose(file);
    return true;
}

// Whether the reader has at least half a pipe of raster unread: Ghostscript
// is then ahead of the printer, and the time is the printer's.
static bool printerBehind(GsRun* run) {
    std::lock_guard<std::mutex> hold(run->lock);
    if (run->raster_fd < 0) return false;
    int unread = 0;
    int capacity = fcntl(run->raster_fd, F_GETPIPE_SZ);
    return capacity > 0 && ioctl(run->raster_fd, FIONREAD, &unread) == 0 && unread >= capacity / 2;
}

static bool exited(const GsRun* run) {
    siginfo_t info = {};
    if (waitid(P_PID, (id_t)run->pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    return info.si_pid == run->pid;
}

static void watch(GsRun* run) {
    const GsLimits& limits = run->limits;
    int64_t last = monotonicMs();
    int64_t own_ms = 0;  // wall-clock time Ghostscript is to answer for
    for (;;) {
        struct pollfd ended = {run->pidfd, POLLIN, 0};
        poll(&ended, run->pidfd >= 0 ? 1 : 0, WATCH_MS);
        if (exited(run)) return;
        int64_t now = monotonicMs();
        if (!printerBehind(run)) own_ms += now - last;
        last = now;
        double cpu = 0;
        if (!readUsage(run->pid, &cpu, &run->peak_vm_kib)) continue;
        int pages = run->pages_sent->load();
        long cpu_limit = limits.cpu_seconds + (long)limits.cpu_seconds_per_page * pages;
        long wall_limit = limits.wall_seconds + (long)limits.wall_seconds_per_page * pages;
        if (cpu > (double)cpu_limit) {
            run->bound = GsBound::CPU_TIME;
            run->limit = cpu_limit;
        } else if (own_ms > wall_limit * 1000) {
            run->bound = GsBound::WALL_TIME;
            run->limit = wall_limit;
        } else {
            continue;
        }
        // Not yet reaped, so the group is still Ghostscript's.
        kill(-run->pid, SIGKILL);
        return;
    }
}

GsRun* startGhostscript(const std::vector<std::string>& args, int messages_fd,
                        const GsLimits& limits, const std::atomic<int>* pages_sent) {
    // Whatever a document makes Ghostscript do, it does without root.
    if (geteuid() == 0) {
        errno = EPERM;
        return nullptr;
    }
    int raster[2];
    if (args.empty() || pipe2(raster, O_CLOEXEC) != 0) return nullptr;
    // Ghostscript renders the next pages while the core encodes earlier
    // ones, instead of waiting on a 64 KiB pipe (a page at 600 dpi is
    // 0.44 MB). The most an unprivileged process may have; a smaller pipe
    // only costs speed.
    fcntl(raster[1], F_SETPIPE_SZ, GS_PIPE_BYTES);
    pid_t pid = spawnLimited(args, raster[1], messages_fd, limits);
    int spawn_error = errno;
    close(raster[1]);
    if (pid < 0) {
        close(raster[0]);
        errno = spawn_error;
        return nullptr;
    }
    GsRun* run = new GsRun;
    run->pid = pid;
    // (Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage.)
    run->pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    run->messages_fd = messages_fd;
    run->limits = limits;
    run->pages_sent = pages_sent;
    run->raster_fd = raster[0];
    try {
        run->watchdog = std::thread(watch, run);
    } catch (const std::system_error& error) {
        // Unwatched, it does not run.
        kill(-pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (run->pidfd >= 0) close(run->pidfd);
        close(run->raster_fd);
        delete run;
        errno = error.code().value();
        return nullptr;
    }
    return run;
}

int ghostscriptRaster(const GsRun* run) { return run->raster_fd; }

// Whether Ghostscript said it ran out of memory.
static bool saidVmError(const GsRun* run) {
    struct stat messages;
    if (fstat(run->messages_fd, &messages) != 0 || messages.st_size <= 0) return false;
    std::string text((size_t)messages.st_size, '\0');
    ssize_t n = pread(run->messages_fd, &text[0], text.size(), 0);
    if (n <= 0) return false;
    text.resize((size_t)n);
    return text.find("VMerror") != std::string::npos;
}

// A failure after Ghostscript hit the memory bound: its PostScript side
// says VMerror; a part that can't get memory may also crash it, which
// counts when it had reached half the bound. A document whose one large
// allocation fails is mostly rendered without that object, with no failure
// to tell.
static bool ranOutOfMemory(const GsRun* run, int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
    if (saidVmError(run)) return true;
    if (!WIFSIGNALED(status)) return false;
    int sig = WTERMSIG(status);
    bool crashed = sig == SIGSEGV || sig == SIGBUS || sig == SIGABRT || sig == SIGKILL;
    return crashed && (rlim_t)run->peak_vm_kib * 1024 >= run->limits.memory_bytes / 2;
}

GsOutcome waitGhostscript(GsRun* run, bool stop) {
    {
        std::lock_guard<std::mutex> hold(run->lock);
        closeFd(&run->raster_fd);
    }
    if (stop) kill(-run->pid, SIGKILL);
    run->watchdog.join();  // it ends when Ghostscript does
    GsOutcome outcome;
    while (waitpid(run->pid, &outcome.status, 0) < 0 && errno == EINTR) {
    }
    outcome.bound = run->bound;
    outcome.limit = run->limit;
    if (!stop && outcome.bound == GsBound::NONE && ranOutOfMemory(run, outcome.status)) {
        outcome.bound = GsBound::MEMORY;
        outcome.limit = (long)(run->limits.memory_bytes >> 20);
    }
    if (run->pidfd >= 0) close(run->pidfd);
    delete run;
    return outcome;
}

std::string ghostscriptBoundMessage(const GsOutcome& outcome) {
    std::string limit = std::to_string(outcome.limit);
    switch (outcome.bound) {
        case GsBound::CPU_TIME:
            return "Ghostscript used more than " + limit + " s of processor time";
        case GsBound::WALL_TIME: return "Ghostscript took longer than " + limit + " s";
        case GsBound::MEMORY: return "Ghostscript needed more than " + limit + " MiB of memory";
        case GsBound::NONE: break;
    }
    return "";
}
