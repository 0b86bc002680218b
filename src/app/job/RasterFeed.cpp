#include "app/job/RasterFeed.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Utility/ChildProcess.h"
#include "app/job/AppJob.h"
#include "app/job/DocumentError.h"
#include "app/job/JobSettings.h"
#include "app/job/PagePlacement.h"
#include "app/job/PageRanges.h"
#include "app/state/Formats.h"

// The raster is written as a CUPS raster stream into a socket the core
// reads on a thread of the job's own, so the core's road of a page
// (look-ahead, copies, duplex pairs, the last flag) is the filter's.
struct RasterFeed {
    AppJob* app = nullptr;
    int fds[2] = {-1, -1};  // the core reads [0], the callbacks write [1]
    cups_raster_t* writer = nullptr;
    std::thread core;
    bool core_started = false;
    int status = 0;
    unsigned pages = 0;
    unsigned fed = 0;      // pages the core got
    bool failed = false;   // a page refused, or the core not started
    bool cropped = false;  // a page larger than the paper, said once
    // The job's page-ranges, as a PDF's (empty: every page); an image is
    // one page.
    std::vector<PageRange> ranges;
    bool image = false;     // PAPPL repeats an image for every copy; the core makes them
    bool skipping = false;  // a repeat, not fed
    // Streamed raster: the client's page, dithered here onto the paper.
    cups_page_header2_t client = {};
    // What the core gets: the paper's printable area, as CUPS renders pages
    // for the filter.
    PrintableArea area;
    std::vector<unsigned char> line;
    unsigned rows = 0;  // of the printable area, fed so far
    unsigned dpi = 0;   // of the job's first page
};

static ssize_t feedWrite(void* context, unsigned char* buffer, size_t bytes) {
    RasterFeed* feed = static_cast<RasterFeed*>(context);
    size_t sent = 0;
    while (sent < bytes) {
        ssize_t n = send(feed->fds[1], buffer + sent, bytes - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;  // the core has ended
        sent += (size_t)n;
    }
    return (ssize_t)bytes;
}

// Closes what the feed holds and frees it with its job's adapter.
static void deleteFeed(RasterFeed* feed) {
    if (feed->writer != nullptr) cupsRasterClose(feed->writer);
    closeFd(&feed->fds[0]);
    closeFd(&feed->fds[1]);
    if (feed->core.joinable()) feed->core.join();
    deleteAppJob(feed->app);
    delete feed;
}

// Starts the core on the feed's socket; `dpi` 0 takes the job's resolution.
static bool startCore(RasterFeed* feed, pappl_job_t* job, pappl_pr_options_t* options,
                      pappl_device_t* device, int dpi) {
    feed->app = newAppJob(job, options, device, dpi);
    if (feed->app == nullptr ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, feed->fds) != 0 ||
        (feed->writer = cupsRasterOpenIO(feedWrite, feed, CUPS_RASTER_WRITE)) == nullptr) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job: %s", strerror(errno));
        return false;
    }
    try {
        feed->core = std::thread([feed]() {
            feed->status = runAppJob(feed->app, feed->fds[0]);
            // Whatever PAPPL still sends is not read any more.
            shutdown(feed->fds[0], SHUT_RD);
        });
    } catch (const std::system_error& error) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job: %s", error.what());
        return false;
    }
    feed->core_started = true;
    return true;
}

static bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    RasterFeed* feed = new RasterFeed;
    const DocumentFormat* format = findDocumentFormat(papplJobGetFormat(job), true);
    feed->image = format != nullptr &&
                  (format->reader == DocumentReader::Jpeg || format->reader == DocumentReader::Png);
    // A client's raster starts the core at its first page, whose resolution
    // the job then has.
    if (feed->image && !startCore(feed, job, options, device, 0)) {
        deleteFeed(feed);
        return false;
    }
    feed->ranges = jobPageRanges(job);
    papplJobSetData(job, feed);
    return true;
}

// A job whose page-ranges left nothing to print.
static void noPageSelected(pappl_job_t* job, const RasterFeed* feed) {
    unsigned pages = feed->image ? 1 : feed->pages;
    documentError(job, "page-ranges %s selects none of the document's %u page%s",
                  pageListText(feed->ranges).c_str(), pages, pages == 1 ? "" : "s");
}

static bool refuseJob(pappl_job_t* job, const std::string& why) {
    documentError(job, "The raster can't be printed: %s", why.c_str());
    return false;
}

// A client's page larger than the paper loses what lies past the paper's
// right and bottom edges: the job still prints, and its message says so.
static void tellCropped(pappl_job_t* job, RasterFeed* feed, const cups_page_header2_t& sheet) {
    const cups_page_header2_t& page = feed->client;
    unsigned x_dpi = page.HWResolution[0], y_dpi = page.HWResolution[1];
    // (A pixel or two of rounding is no crop.)
    unsigned width = pointsToPixels((int)sheet.PageSize[0], x_dpi) + 2;
    unsigned height = pointsToPixels((int)sheet.PageSize[1], y_dpi) + 2;
    if (x_dpi == 0 || y_dpi == 0 || (page.cupsWidth <= width && page.cupsHeight <= height)) {
        return;
    }
    feed->cropped = true;
    auto mm = [](unsigned length, unsigned per_inch) {
        return (unsigned)(((unsigned long long)length * 254 + per_inch * 5) / (per_inch * 10));
    };
    papplJobSetMessage(job, "%s",
                       croppedPageMessage(feed->pages, mm(page.cupsWidth, x_dpi),
                                          mm(page.cupsHeight, y_dpi), sheet)
                           .c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page %u cropped to the paper", feed->pages);
}

static bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                      unsigned) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    feed->pages++;
    // PAPPL counts every page it starts; the core counts the sides printed.
    papplJobSetImpressionsCompleted(job, -1);
    feed->skipping = feed->image && feed->pages > 1;
    if (feed->skipping) return true;
    if (feed->image && !pageSelected(feed->ranges, 1)) {
        feed->skipping = true;
        return true;
    }
    if (!feed->image) {
        // Checked before PAPPL allocates a line of it.
        pappl_pr_options_t* made = papplJobCreatePrintOptions(job, 1, false);
        std::string why = made ? clientPageRefusal(options->header, made->header, feed->dpi)
                               : "there is no memory";
        papplJobDeletePrintOptions(made);
        if (!why.empty()) {
            feed->failed = true;
            return refuseJob(job, why);
        }
        feed->client = options->header;
        feed->dpi = feed->client.HWResolution[0];
        // A page outside the job's ranges is read past, once checked.
        feed->skipping = !pageSelected(feed->ranges, feed->pages);
        if (feed->skipping) return true;
        if (!feed->core_started && !startCore(feed, job, options, device, (int)feed->dpi)) {
            feed->failed = true;
            return false;
        }
        setPageHeader(job, options);
        if (!feed->cropped) tellCropped(job, feed, options->header);
        feed->area = printableArea(options->header);
        // PAPPL hands over the client's lines as they came.
        options->header = feed->client;
    } else {
        feed->area = printableArea(options->header);
    }
    feed->line.assign(feed->area.page.cupsBytesPerLine, 0);
    feed->rows = 0;
    feed->fed++;
    // A core that ended early refuses the page; the job's end reports why.
    cupsRasterWriteHeader2(feed->writer, &feed->area.page);
    return true;
}

static bool writeLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y,
                      const unsigned char* line) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    const PrintableArea& area = feed->area;
    if (feed->skipping || y < area.top || feed->rows >= area.page.cupsHeight) return true;
    if (feed->image) {
        cropLine(area, line, options->header.cupsWidth, feed->line.data());
    } else {
        ditherLine(area, feed->client, options->dither[y & 15], line, feed->line.data());
    }
    cupsRasterWritePixels(feed->writer, feed->line.data(), area.page.cupsBytesPerLine);
    feed->rows++;
    return true;
}

static bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr || feed->skipping) return true;
    // A client's page shorter than the paper ends in white. The core holds
    // the page until it knows whether another follows.
    std::fill(feed->line.begin(), feed->line.end(), 0);
    for (; feed->rows < feed->area.page.cupsHeight; feed->rows++) {
        cupsRasterWritePixels(feed->writer, feed->line.data(), feed->area.page.cupsBytesPerLine);
    }
    return true;
}

static bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    bool none_selected = feed->fed == 0 && !feed->ranges.empty() && feed->pages > 0 &&
                         !feed->failed && !papplJobIsCanceled(job);
    if (!feed->core_started) {
        // Refused before its first page, or no page selected: nothing
        // reached the printer.
        if (none_selected) noPageSelected(job, feed);
        deleteFeed(feed);
        papplJobSetData(job, nullptr);
        return false;
    }
    cupsRasterClose(feed->writer);
    feed->writer = nullptr;
    closeFd(&feed->fds[1]);  // the end of the raster
    feed->core.join();
    settleImpressions(job, feed->app);
    bool ok = settleJob(job, *options, feed->app, feed->status);
    if (none_selected) {
        noPageSelected(job, feed);
        ok = false;
    }
    deleteFeed(feed);
    papplJobSetData(job, nullptr);
    return ok;
}

void setRasterCallbacks(pappl_pr_driver_data_t* d) {
    d->rstartjob_cb = startJob;
    d->rstartpage_cb = startPage;
    d->rwriteline_cb = writeLine;
    d->rendpage_cb = endPage;
    d->rendjob_cb = endJob;
}
