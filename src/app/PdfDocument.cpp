// PDF documents: Ghostscript renders the pages as 1-bit raster, which the
// core reads as the filter reads CUPS's.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AppJob.h"
#include "Documents.h"
#include "Driver.h"
#include "Ghostscript.h"
#include "JobEnd.h"
#include "Queue.h"
#include "Stopping.h"

// What Ghostscript may say that is logged.
constexpr size_t GS_MESSAGE_MAX = 4096;

// PDF: Ghostscript renders the pages as 1-bit raster, which the core reads
// as the filter reads CUPS's. No shell; the document is an argument.

// Only a PDF goes to Ghostscript: it runs anything else labelled PDF as
// PostScript, a language in which a document may loop or grow for ever.
static bool startsAsPdf(const char* file) {
    static const char kMagic[] = "%PDF-";
    char head[sizeof(kMagic) - 1];
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t got = 0;
    while (got < sizeof(head)) {
        ssize_t n = read(fd, head + got, sizeof(head) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(fd);
    return got == sizeof(head) && memcmp(head, kMagic, sizeof(head)) == 0;
}

// Ghostscript's command line. print-scaling: fit, auto and auto-fit scale
// the page to the paper, its aspect kept; none prints it at 100 % from the
// paper's lower left corner. Ghostscript has no switch that scales a page to
// cover the paper, so fill is printed as fit. A fitted page reaches the
// paper's edges: the pwgraster device neither clips to hardware margins nor
// offsets the page, so the printer's margins are not kept clear here.
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
        // Its band list in memory, not in files: within the memory bound,
        // with no file to grow, nothing left in /tmp.
        "-sBandListStorage=memory",
        "-dcupsColorSpace=3",
        "-dcupsBitsPerColor=1",
        "-r" + std::to_string(h.HWResolution[0]) + "x" + std::to_string(h.HWResolution[1]),
        "-dDEVICEWIDTHPOINTS=" + std::to_string(h.PageSize[0]),
        "-dDEVICEHEIGHTPOINTS=" + std::to_string(h.PageSize[1]),
        "-dFIXEDMEDIA",
    };
    if (options.print_scaling != PAPPL_SCALING_NONE) args.push_back("-dPDFFitPage");
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

// Says why Ghostscript did not start.
static void notStarted(pappl_job_t* job, int error) {
    if (error == EPERM) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript is not run as root");
        papplJobSetMessage(job, "PDF is not rendered while the server runs as root");
        return;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run Ghostscript: %s", strerror(error));
    papplJobSetMessage(job, "Ghostscript, which renders PDF, can't be run");
}

bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data) {
    QueueTurn turn(job);
    AppData* app_data = static_cast<AppData*>(data);
    const char* file = papplJobGetFilename(job);
    if (!startsAsPdf(file)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                    "The document sent as PDF does not start with %%PDF-");
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "The document is not a PDF document");
        return false;
    }
    // The page count is unknown; more than one keeps the printer's sides.
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, INT32_MAX, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    AppJob* app = newAppJob(job, options, device, app_data->spool.c_str());
    int messages = memfd_create("gs-messages", MFD_CLOEXEC);
    GsRun* gs = nullptr;
    if (app != nullptr && messages >= 0) {
        gs = startGhostscript(ghostscriptArgs(*options, file), messages, GsLimits(),
                              &app->pages_sent);
        if (gs == nullptr) notStarted(job, errno);
    }
    bool ok = false;
    if (gs != nullptr) {
        int status = runAppJob(app, ghostscriptRaster(gs));
        GsOutcome end =
            waitGhostscript(gs, status != 0 || papplJobIsCanceled(job) || serverStopping());
        logMessages(job, messages);
        settleImpressions(job, app);
        // Ghostscript gets over much damage, and may then render nothing.
        bool rendered = end.bound == GsBound::NONE && WIFEXITED(end.status) &&
                        WEXITSTATUS(end.status) == 0 && app->impressions > 0;
        if (!rendered && !papplJobIsCanceled(job) && !app->device_failed) {
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
            if (end.bound != GsBound::NONE) {
                std::string why = ghostscriptBoundMessage(end);
                papplJobSetMessage(job, "%s", why.c_str());
                papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
            } else {
                papplJobSetMessage(job, "The PDF document is damaged: %s",
                                   app->impressions > 0 ? "it could not be read to its end"
                                                        : "no page of it could be read");
                papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript failed (status %d)",
                            end.status);
            }
        }
        ok = settleJob(job, *options, app, status) && (rendered || papplJobIsCanceled(job));
    }
    if (messages >= 0) close(messages);
    deleteAppJob(app);
    papplJobDeletePrintOptions(options);
    return ok;
}
