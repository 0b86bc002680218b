// Raster from PAPPL's callbacks (PWG and Apple raster streamed from the
// client, images rendered by PAPPL) handed to the page-stream core.
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
#include "app/job/JobEnd.h"
#include "app/job/JobSettings.h"
#include "app/job/PageSetup.h"
#include "stream/PageLoop.h"

// Raster from PAPPL's callbacks (PWG and Apple raster streamed from the
// client, images rendered by PAPPL): written as a CUPS raster stream into a
// socket the core reads on a thread of the job's own, so the core's road of
// a page (look-ahead, copies, duplex pairs, the last flag) is the filter's.

struct RasterFeed {
    AppJob* app = nullptr;
    int fds[2] = {-1, -1};  // the core reads [0], the callbacks write [1]
    cups_raster_t* writer = nullptr;
    std::thread core;
    bool core_started = false;
    int status = 0;
    unsigned pages = 0;
    bool image = false;     // PAPPL repeats an image for every copy; the core makes them
    bool skipping = false;  // a repeat, not fed
    // Streamed raster: the client's page, dithered here onto the paper.
    cups_page_header2_t client = {};
    // What the core gets: the paper's printable area, as CUPS renders pages
    // for the filter, which starts `left` and `top` pixels into the sheet
    // the lines come in.
    cups_page_header2_t page = {};
    unsigned left = 0, top = 0;
    std::vector<unsigned char> line;
    unsigned rows = 0;  // of the printable area, fed so far
    unsigned dpi = 0;   // of the job's first page
};

// The printable area of the sheet `sheet` describes, with the PPD's margins
// counted in pixels as Ghostscript counts them for a CUPS queue.
static void usePrintableArea(RasterFeed* feed, const cups_page_header2_t& sheet) {
    const unsigned x_dpi = sheet.HWResolution[0], y_dpi = sheet.HWResolution[1];
    feed->page = sheet;
    feed->page.cupsWidth = pointsToPixels((int)sheet.PageSize[0] - 2 * MARGIN_PT, x_dpi);
    feed->page.cupsHeight = pointsToPixels((int)sheet.PageSize[1] - 2 * MARGIN_PT, y_dpi);
    feed->page.cupsBytesPerLine = (feed->page.cupsWidth + 7) / 8;
    feed->left = (unsigned)(MARGIN_PT * x_dpi / 72);
    feed->top = (unsigned)(MARGIN_PT * y_dpi / 72);
}

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
    const char* format = papplJobGetFormat(job);
    feed->image = format != nullptr &&
                  (strcmp(format, "image/jpeg") == 0 || strcmp(format, "image/png") == 0);
    // A client's raster starts the core at its first page, whose resolution
    // the job then has.
    if (feed->image && !startCore(feed, job, options, device, 0)) {
        deleteFeed(feed);
        return false;
    }
    papplJobSetData(job, feed);
    return true;
}

// The largest page a client may send: the printer's largest paper plus an
// inch on every side at its highest resolution, as the filter takes pages.
static PaperLimit printerLimit() {
    PaperLimit limit;
    for (const MediaSize& size : kMedia) {
        limit.short_in = std::max(limit.short_in, std::min(size.width_pt, size.height_pt) / 72.0);
        limit.long_in = std::max(limit.long_in, std::max(size.width_pt, size.height_pt) / 72.0);
    }
    limit.max_dpi = 1200;
    return limit;
}

// Why the client's page can't be printed, or empty. PAPPL hands the
// driver a client's 8-bit page header as it came, and never dithers it
// itself (the driver's pages are 8-bit): a page it did not hand over is the
// header PAPPL made, meaning the client's page has fewer bits.
static std::string refusal(const cups_page_header2_t& client, const cups_page_header2_t& made,
                           unsigned job_dpi) {
    char why[256];
    if (memcmp(&client, &made, sizeof(client)) == 0 || client.cupsBitsPerPixel != 8 ||
        client.cupsBitsPerColor != 8 ||
        (client.cupsColorSpace != CUPS_CSPACE_SW && client.cupsColorSpace != CUPS_CSPACE_W &&
         client.cupsColorSpace != CUPS_CSPACE_K)) {
        return "its pages are not 8-bit gray, which is what the printer application takes";
    }
    if (client.HWResolution[0] != client.HWResolution[1] ||
        (client.HWResolution[0] != 600 && client.HWResolution[0] != 1200)) {
        snprintf(why, sizeof(why), "its pages are at %ux%u dpi; the printer prints at 600 or 1200",
                 client.HWResolution[0], client.HWResolution[1]);
        return why;
    }
    if (job_dpi != 0 && client.HWResolution[0] != job_dpi) {
        snprintf(why, sizeof(why), "its pages change resolution from %u to %u dpi", job_dpi,
                 client.HWResolution[0]);
        return why;
    }
    if (client.cupsBytesPerLine != client.cupsWidth) {
        return "its lines are not as long as its width";
    }
    // Measured as the 1-bit page it becomes.
    static const PaperLimit kLimit = printerLimit();
    cups_page_header2_t bitmap = client;
    bitmap.cupsBitsPerPixel = bitmap.cupsBitsPerColor = 1;
    bitmap.cupsBytesPerLine = (client.cupsWidth + 7) / 8;
    return checkRasterPage(bitmap, kLimit, why, sizeof(why)) ? "" : why;
}

static bool refuseJob(pappl_job_t* job, const std::string& why) {
    documentError(job, "The raster can't be printed: %s", why.c_str());
    return false;
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
    if (!feed->image) {
        // Checked before PAPPL allocates a line of it.
        pappl_pr_options_t* made = papplJobCreatePrintOptions(job, 1, false);
        std::string why =
            made ? refusal(options->header, made->header, feed->dpi) : "there is no memory";
        papplJobDeletePrintOptions(made);
        if (!why.empty()) return refuseJob(job, why);
        feed->client = options->header;
        feed->dpi = feed->client.HWResolution[0];
        if (!feed->core_started && !startCore(feed, job, options, device, (int)feed->dpi)) {
            return false;
        }
        setPageHeader(job, options);
        usePrintableArea(feed, options->header);
        // PAPPL hands over the client's lines as they came.
        options->header = feed->client;
    } else {
        usePrintableArea(feed, options->header);
    }
    feed->line.assign(feed->page.cupsBytesPerLine, 0);
    feed->rows = 0;
    // A core that ended early refuses the page; the job's end reports why.
    cupsRasterWriteHeader2(feed->writer, &feed->page);
    return true;
}

// The printable part of a line of the client's 8-bit gray, dithered as
// PAPPL dithers the sheet.
static void ditherLine(RasterFeed* feed, const pappl_pr_options_t& options, unsigned y,
                       const unsigned char* gray) {
    std::fill(feed->line.begin(), feed->line.end(), 0);
    const unsigned char* dither = options.dither[y & 15];
    bool ink_is_high = feed->client.cupsColorSpace == CUPS_CSPACE_K;
    for (unsigned x = 0; x < feed->page.cupsWidth; x++) {
        unsigned sheet_x = x + feed->left;
        if (sheet_x >= feed->client.cupsWidth) break;
        unsigned char threshold = dither[sheet_x & 15];
        bool black = ink_is_high ? gray[sheet_x] > threshold : gray[sheet_x] <= threshold;
        if (black) feed->line[x / 8] |= (unsigned char)(0x80 >> (x & 7));
    }
}

// The printable part of a 1-bit line of the sheet.
static void cropLine(RasterFeed* feed, const unsigned char* bits, unsigned sheet_width) {
    std::fill(feed->line.begin(), feed->line.end(), 0);
    const unsigned shift = feed->left & 7;
    const unsigned char* from = bits + feed->left / 8;
    const unsigned width =
        std::min(feed->page.cupsWidth, sheet_width > feed->left ? sheet_width - feed->left : 0);
    const unsigned bytes = (width + 7) / 8;
    const unsigned sheet_bytes = (sheet_width + 7) / 8 - feed->left / 8;
    for (unsigned i = 0; i < bytes; i++) {
        unsigned next = i + 1 < sheet_bytes ? from[i + 1] : 0;
        feed->line[i] = (unsigned char)((from[i] << shift) | (next >> (8 - shift)));
    }
    // The last byte keeps no bits of the margin beyond the area.
    if (width & 7) feed->line[bytes - 1] &= (unsigned char)(0xff << (8 - (width & 7)));
}

static bool writeLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y,
                      const unsigned char* line) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    if (feed->skipping || y < feed->top || feed->rows >= feed->page.cupsHeight) return true;
    if (feed->image) {
        cropLine(feed, line, options->header.cupsWidth);
    } else {
        ditherLine(feed, *options, y, line);
    }
    cupsRasterWritePixels(feed->writer, feed->line.data(), feed->page.cupsBytesPerLine);
    feed->rows++;
    return true;
}

static bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr || feed->skipping) return true;
    // A client's page shorter than the paper ends in white. The core holds
    // the page until it knows whether another follows.
    std::fill(feed->line.begin(), feed->line.end(), 0);
    for (; feed->rows < feed->page.cupsHeight; feed->rows++) {
        cupsRasterWritePixels(feed->writer, feed->line.data(), feed->page.cupsBytesPerLine);
    }
    return true;
}

static bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    if (!feed->core_started) {
        // Refused before its first page: nothing reached the printer.
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
