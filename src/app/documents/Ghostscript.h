// Ghostscript as the printer application runs it: never as root, in a
// process group of its own that ends with the server, within bounds of
// memory, files and descriptors set before it starts, and watched for the
// processor and wall-clock time it takes, which grow with the pages printed
// so that a long document prints while a document that only loops does not
// hold the printer.
#pragma once

#include <sys/resource.h>

#include <atomic>
#include <string>
#include <vector>

struct GsLimits {
    // Address space. Plain pages need 60 to 80 MiB at any resolution; the
    // most a document measured needs is 564 MiB: a Legal page scanned in
    // colour at 600 dpi as JPEG 2000, which is decoded whole.
    rlim_t memory_bytes = rlim_t(1024) << 20;
    // Ghostscript, its band list kept in memory, writes no file: this
    // bounds its messages.
    rlim_t file_bytes = rlim_t(1) << 20;
    rlim_t open_files = 64;  // 12 are enough
    // Processor time, per page the printer has been sent: a page at 1200 dpi
    // takes 0.1 s, one with thousands of transparent objects or a
    // page-sized scan up to 18 s. A document that loops on its first page
    // stops after the first allowance.
    int cpu_seconds = 30;
    int cpu_seconds_per_page = 20;
    // Wall-clock time, counted while the raster pipe is less than half full:
    // time Ghostscript waits for a slow or paused printer is not its own.
    // Twice the processor time, for two jobs sharing a processor.
    int wall_seconds = 60;
    int wall_seconds_per_page = 40;
};

// The bound Ghostscript passed, when it was stopped for one.
enum class GsBound { NONE, CPU_TIME, WALL_TIME, MEMORY };

struct GsOutcome {
    int status = 0;  // waitpid's
    GsBound bound = GsBound::NONE;
    long limit = 0;  // the bound passed: seconds, or MiB of memory
};

struct GsRun;

// Starts `args` (args[0] found on PATH, never through a shell) with the
// limits, standard input /dev/null, its output into a pipe of its own
// (ghostscriptRaster), its standard error into `messages_fd`, and a watchdog
// thread that kills its process group once it passes a time bound; the
// per-page allowances count `*pages_sent`, which must outlive the run.
// nullptr with errno set: EPERM when the caller's effective user is root.
GsRun* startGhostscript(const std::vector<std::string>& args, int messages_fd,
                        const GsLimits& limits, const std::atomic<int>* pages_sent);

// The pipe's read end, where the raster comes out.
int ghostscriptRaster(const GsRun* run);

// Closes the raster's read end (a Ghostscript still writing gets EPIPE),
// kills the process group first when `stop`, waits for Ghostscript and the
// watchdog, and frees the run. A failure after Ghostscript hit the memory
// bound is told from what it said into `messages_fd` and how it ended.
GsOutcome waitGhostscript(GsRun* run, bool stop);

// The message for a bound passed, as the job shows it.
std::string ghostscriptBoundMessage(const GsOutcome& outcome);
