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

#include "app/documents/Documents.h"
#include "app/documents/Ghostscript.h"
#include "app/job/AppJob.h"
#include "app/job/DocumentError.h"
#include "app/job/JobSettings.h"
#include "app/job/PagePlacement.h"
#include "app/job/PageRanges.h"
#include "app/queue/Queue.h"
#include "app/state/Stop.h"

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

// Where each page goes on the sheet, as CUPS's own PDF filters place it for
// this printer's PPD, so that a document prints alike through a CUPS queue
// and here:
// - turn: the quarter turns the job asks (orientation-requested, as IPP
//   turns a page: landscape anticlockwise, reverse-landscape clockwise,
//   reverse-portrait a half), after the page's own /Rotate; a job that asks
//   none has a page that lies across the sheet turned a quarter clockwise,
//   as CUPS turns it (the PPD's LandscapeOrientation, Minus90, which is also
//   what a CUPS driverless queue's PPD means by saying none);
// - scale: fit puts the page inside the printable area, fill covers it and
//   crops, none keeps 100 % centred on the sheet; auto and auto-fit fit a
//   page more than 2 % larger than the sheet and otherwise keep it at 100 %.
// Ghostscript's page fitting knows only the whole sheet, so the procedure it
// calls to fit a page (looked up by name while each page is set up) is
// given here. It leaves the box on the stack and sets the page's matrix.
enum PlaceMode { PLACE_NONE = 0, PLACE_FIT = 1, PLACE_FILL = 2, PLACE_AUTO = 3 };

static int placeMode(pappl_scaling_t scaling) {
    if (scaling & PAPPL_SCALING_FILL) return PLACE_FILL;
    if (scaling & PAPPL_SCALING_FIT) return PLACE_FIT;
    if (scaling & PAPPL_SCALING_NONE) return PLACE_NONE;
    return PLACE_AUTO;  // auto, auto-fit
}

// Counter-clockwise quarter turns for orientation-requested; -1 for none
// asked.
static int quarterTurns(pappl_job_t* job, ipp_orient_t orientation) {
    if (papplJobGetAttribute(job, "orientation-requested") == nullptr) return -1;
    switch (orientation) {
        case IPP_ORIENT_LANDSCAPE: return 1;
        case IPP_ORIENT_REVERSE_PORTRAIT: return 2;
        case IPP_ORIENT_REVERSE_LANDSCAPE: return 3;
        default: return 0;
    }
}

// What the placing procedure tells of the first page it crops (one kept at
// 100 % larger than the sheet), in points: "\nQmCropped W H\n".
#define CROPPED_MARK "QmCropped"

static std::string placementProgram(int sheet_w, int sheet_h, int mode, int turns) {
    static const char kProgram[] =
        "<</.HWMargins [%d %d %d %d] /Margins [0 0]>> setpagedevice\n"
        "/QmW %d def /QmH %d def /QmM %d def /QmMode %d def /QmTurns %d def /QmSaid false def\n"
        "/NewPDF_FitPage {\n"
        "  12 dict begin\n"
        "  dup aload pop /y1 exch def /x1 exch def /y0 exch def /x0 exch def\n"
        "  /bw x1 x0 sub def /bh y1 y0 sub def\n"
        "  /r 0 def 2 index dup type /dicttype eq {\n"
        "    dup /Rotate known { /Rotate get dup type /integertype eq\n"
        "      1 index type /realtype eq or { cvi 90 idiv /r exch def } { pop } ifelse }\n"
        "    { pop } ifelse } { pop } ifelse\n"
        "  /t QmTurns dup 0 lt { pop 0 } if r sub 4 mod 4 add 4 mod def\n"
        "  /w bw def /h bh def t 2 mod 1 eq { /w bh def /h bw def } if\n"
        "  QmTurns 0 lt w h gt QmW QmH lt and w h lt QmW QmH gt and or and {\n"
        "    /t t 3 add 4 mod def /w h /h w def def } if\n"
        "  w 0 gt h 0 gt and {\n"
        "    /m QmMode def\n"
        "    m 3 eq { /m w 100 mul 102 div QmW gt h 100 mul 102 div QmH gt or\n"
        "      { 1 } { 0 } ifelse def } if\n"
        "    m 0 eq w QmW 1 add gt h QmH 1 add gt or and QmSaid not and {\n"
        "      (\\n" CROPPED_MARK
        " ) print w cvi =only ( ) print h cvi =only (\\n) print flush\n"
        "      /QmSaid true store } if\n"
        "    /pw QmW QmM 2 mul sub def /ph QmH QmM 2 mul sub def\n"
        "    m 0 eq { /s 1 def /tx QmW w sub 2 div def /ty QmH h sub 2 div def } {\n"
        "      /s pw w div ph h div 2 copy gt m 2 eq xor { exch } if pop def\n"
        "      /tx pw w s mul sub 2 div QmM add def /ty ph h s mul sub 2 div QmM add def\n"
        "    } ifelse\n"
        "    tx ty translate s s scale\n"
        "    t 1 eq { bh 0 translate 90 rotate } if\n"
        "    t 2 eq { bw bh translate 180 rotate } if\n"
        "    t 3 eq { 0 bw translate 270 rotate } if\n"
        "    x0 neg y0 neg translate\n"
        "  } if\n"
        "  end\n"
        "} bind def\n";
    char text[sizeof(kProgram) + 128];
    snprintf(text, sizeof(text), kProgram, MARGIN_PT, MARGIN_PT, MARGIN_PT, MARGIN_PT, sheet_w,
             sheet_h, MARGIN_PT, mode, turns);
    return text;
}

// Ghostscript's command line. The cups device renders the printable area
// only, as it does for the filter behind a CUPS queue: the raster's size
// and the page's place on it are the filter's.
static std::vector<std::string> ghostscriptArgs(pappl_job_t* job, const pappl_pr_options_t& options,
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
        "-dNOMEDIAATTRS",
        "-sDEVICE=cups",
        // Its band list in memory, not in files: within the memory bound,
        // with no file to grow, nothing left in /tmp.
        "-sBandListStorage=memory",
        "-dcupsColorSpace=3",
        "-dcupsBitsPerColor=1",
        "-r" + std::to_string(h.HWResolution[0]) + "x" + std::to_string(h.HWResolution[1]),
        "-dDEVICEWIDTHPOINTS=" + std::to_string(h.PageSize[0]),
        "-dDEVICEHEIGHTPOINTS=" + std::to_string(h.PageSize[1]),
        "-dFIXEDMEDIA",
        // Every page through the placing procedure below.
        "-dPDFFitPage",
    };
    // Several ranges as a page list of the checked numbers alone; PAPPL
    // gives one.
    std::vector<PageRange> ranges = jobPageRanges(job);
    if (ranges.size() > 1) {
        args.push_back("-sPageList=" + pageListText(ranges));
    } else {
        if (options.first_page > 1) {
            args.push_back("-dFirstPage=" + std::to_string(options.first_page));
        }
        if (options.last_page > 0 && options.last_page < (unsigned)INT32_MAX) {
            args.push_back("-dLastPage=" + std::to_string(options.last_page));
        }
    }
    args.push_back("-sOutputFile=%stdout");
    args.push_back("-c");
    args.push_back(placementProgram((int)h.PageSize[0], (int)h.PageSize[1],
                                    placeMode(options.print_scaling),
                                    quarterTurns(job, options.orientation_requested)));
    args.push_back("-f");
    args.push_back(file);
    return args;
}

// Whether the job prints some of the pages only.
static bool pagesChosen(pappl_job_t* job, const pappl_pr_options_t& options) {
    return options.first_page > 1 || jobPageRanges(job).size() > 1;
}

// The job's message for a page Ghostscript cropped, from what it said; the
// numbers alone are read.
static void tellCropped(pappl_job_t* job, int fd, const cups_page_header2_t& sheet) {
    char text[GS_MESSAGE_MAX + 1];
    ssize_t n = pread(fd, text, GS_MESSAGE_MAX, 0);
    if (n <= 0) return;
    text[n] = '\0';
    const char* mark = strstr(text, "\n" CROPPED_MARK " ");
    unsigned width = 0, height = 0;
    if (mark == nullptr || sscanf(mark, "\n" CROPPED_MARK " %u %u", &width, &height) != 2 ||
        width > 14400 || height > 14400) {
        return;
    }
    auto mm = [](unsigned points) { return (points * 254 + 360) / 720; };
    papplJobSetMessage(job, "%s", croppedPageMessage(0, mm(width), mm(height), sheet).c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "A page cropped to the paper");
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

bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void*) {
    QueueTurn turn(job);
    const char* file = papplJobGetFilename(job);
    if (!startsAsPdf(file)) {
        documentError(job, "The document is not a PDF document: it does not start with %%PDF-");
        return false;
    }
    // The page count is unknown; more than one keeps the printer's sides.
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, INT32_MAX, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    AppJob* app = newAppJob(job, options, device);
    int messages = memfd_create("gs-messages", MFD_CLOEXEC);
    GsRun* gs = nullptr;
    if (app != nullptr && messages >= 0) {
        gs = startGhostscript(ghostscriptArgs(job, *options, file), messages, GsLimits(),
                              &app->pages_sent);
        if (gs == nullptr) notStarted(job, errno);
    }
    bool ok = false;
    if (gs != nullptr) {
        int status = runAppJob(app, ghostscriptRaster(gs));
        GsOutcome end =
            waitGhostscript(gs, status != 0 || papplJobIsCanceled(job) || serverStopping());
        logMessages(job, messages);
        tellCropped(job, messages, options->header);
        settleImpressions(job, app);
        // Ghostscript gets over much damage, and may then render nothing.
        bool rendered = end.bound == GsBound::NONE && WIFEXITED(end.status) &&
                        WEXITSTATUS(end.status) == 0 && app->impressions > 0;
        if (!rendered && !papplJobIsCanceled(job) && !app->device_failed) {
            if (end.bound != GsBound::NONE) {
                documentError(job, "%s", ghostscriptBoundMessage(end).c_str());
            } else if (app->impressions == 0 && WIFEXITED(end.status) &&
                       WEXITSTATUS(end.status) == 0 && pagesChosen(job, *options)) {
                documentError(job, "page-ranges selects no page of the document");
            } else {
                papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript failed (status %d)",
                            end.status);
                documentError(job, "The PDF document is damaged: %s",
                              app->impressions > 0 ? "it could not be read to its end"
                                                   : "no page of it could be read");
            }
        }
        ok = settleJob(job, *options, app, status) && (rendered || papplJobIsCanceled(job));
    }
    if (messages >= 0) close(messages);
    deleteAppJob(app);
    papplJobDeletePrintOptions(options);
    return ok;
}
