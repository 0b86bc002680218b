// PDF documents: Ghostscript renders the pages as 1-bit raster, which the
// core reads as the filter reads CUPS's.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../Utility/Utility.h"
#include "AppJob.h"
#include "Documents.h"
#include "Driver.h"
#include "JobEnd.h"

// What Ghostscript may say that is logged.
constexpr size_t GS_MESSAGE_MAX = 4096;

// PDF: Ghostscript renders the pages as 1-bit raster, which the core reads
// as the filter reads CUPS's. No shell; the document is an argument.

// Starts Ghostscript in a process group of its own, its raster into
// `out_fd`, its messages into `messages_fd`.
static pid_t startGhostscript(const std::vector<std::string>& args, int out_fd, int messages_fd) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ChildIo io;
    io.stdin_null = true;
    io.out = out_fd;
    io.err = messages_fd;
    return spawnInOwnGroup(argv.data(), io);
}

static std::vector<std::string> ghostscriptArgs(const pappl_pr_options_t& options,
                                                const char* file) {
    const cups_page_header2_t& h = options.header;
    std::vector<std::string> args = {
        "gs",
        "-q",
        "-sstdout=%stderr",  // its messages never mix with the raster
        "-dSAFER",
        "-dBATCH",
        "-dNOPAUSE",
        "-dNOINTERPOLATE",
        "-sDEVICE=pwgraster",
        "-dcupsColorSpace=3",
        "-dcupsBitsPerColor=1",
        "-r" + std::to_string(h.HWResolution[0]) + "x" + std::to_string(h.HWResolution[1]),
        "-dDEVICEWIDTHPOINTS=" + std::to_string(h.PageSize[0]),
        "-dDEVICEHEIGHTPOINTS=" + std::to_string(h.PageSize[1]),
        "-dFIXEDMEDIA",
        "-dPDFFitPage",
    };
    if (options.first_page > 1) args.push_back("-dFirstPage=" + std::to_string(options.first_page));
    if (options.last_page > 0 && options.last_page < (unsigned)INT32_MAX) {
        args.push_back("-dLastPage=" + std::to_string(options.last_page));
    }
    args.push_back("-sOutputFile=%stdout");
    args.push_back("-f");
    args.push_back(file);
    return args;
}

// What Ghostscript said, in the job's log.
static void logMessages(pappl_job_t* job, int fd) {
    char text[GS_MESSAGE_MAX + 1];
    ssize_t n = pread(fd, text, GS_MESSAGE_MAX, 0);
    if (n <= 0) return;
    text[n] = '\0';
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "gs: %s", line);
    }
}

bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data) {
    AppData* app_data = static_cast<AppData*>(data);
    // The page count is unknown; more than one keeps the printer's sides.
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, INT32_MAX, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    AppJob* app = newAppJob(job, options, device, app_data->spool.c_str());
    int raster[2] = {-1, -1};
    int messages = memfd_create("gs-messages", MFD_CLOEXEC);
    bool ok = false;
    pid_t gs = -1;
    if (app != nullptr && messages >= 0 && pipe2(raster, O_CLOEXEC) == 0) {
        gs = startGhostscript(ghostscriptArgs(*options, papplJobGetFilename(job)), raster[1],
                              messages);
        closeFd(&raster[1]);
        if (gs < 0) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run Ghostscript: %s",
                        strerror(errno));
            papplJobSetMessage(job, "Ghostscript, which renders PDF, can't be run");
        }
    }
    if (gs > 0) {
        int status = runAppJob(app, raster[0]);
        closeFd(&raster[0]);  // a Ghostscript still writing gets EPIPE
        int gs_status = 0;
        if (status != 0 || papplJobIsCanceled(job)) kill(-gs, SIGKILL);
        while (waitpid(gs, &gs_status, 0) < 0 && errno == EINTR) {
        }
        logMessages(job, messages);
        settleImpressions(job, app);
        // Ghostscript gets over much damage, and may then render nothing.
        bool rendered = WIFEXITED(gs_status) && WEXITSTATUS(gs_status) == 0 && app->impressions > 0;
        if (!rendered && !papplJobIsCanceled(job) && !app->device_failed) {
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
            papplJobSetMessage(job, "The PDF document is damaged: %s",
                               app->impressions > 0 ? "it could not be read to its end"
                                                    : "no page of it could be read");
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript failed (status %d)", gs_status);
        }
        ok = settleJob(job, *options, app, status, true) && (rendered || papplJobIsCanceled(job));
    }
    closeFd(&raster[0]);
    closeFd(&raster[1]);
    if (messages >= 0) close(messages);
    deleteAppJob(app);
    papplJobDeletePrintOptions(options);
    return ok;
}
