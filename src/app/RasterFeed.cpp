// Raster from PAPPL's callbacks (PWG and Apple raster streamed from the
// client, images rendered by PAPPL) handed to the page-stream core.
#include "RasterFeed.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "../Utility/Utility.h"
#include "AppJob.h"
#include "Driver.h"
#include "JobEnd.h"

// Raster from PAPPL's callbacks (PWG and Apple raster streamed from the
// client, images rendered by PAPPL): written as a CUPS raster stream into a
// socket the core reads on a thread of the job's own, so the core's road of
// a page (look-ahead, copies, duplex pairs, the last flag) is the filter's.

// The bytes of every line buffer PAPPL makes for streamed raster: a gray
// line 512 Ki pixels wide dithers into it.
constexpr unsigned PAPPL_LINE_BUFFER = 64 * 1024;

struct RasterFeed {
    AppJob* app = nullptr;
    int fds[2] = {-1, -1};  // the core reads [0], the callbacks write [1]
    cups_raster_t* writer = nullptr;
    std::thread core;
    int status = 0;
    unsigned pages = 0;
    bool image = false;     // PAPPL repeats an image for every copy; the core makes them
    bool skipping = false;  // a repeat, not fed
    unsigned bytes_per_line = 0;
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
    deleteAppJob(feed->app);
    delete feed;
}

static bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    RasterFeed* feed = new RasterFeed;
    const char* format = papplJobGetFormat(job);
    feed->image = format != nullptr &&
                  (strcmp(format, "image/jpeg") == 0 || strcmp(format, "image/png") == 0);
    feed->app = newAppJob(job, options, device, appData(job)->spool.c_str());
    if (feed->app == nullptr ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, feed->fds) != 0 ||
        (feed->writer = cupsRasterOpenIO(feedWrite, feed, CUPS_RASTER_WRITE)) == nullptr) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job: %s", strerror(errno));
        deleteFeed(feed);
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
        deleteFeed(feed);
        return false;
    }
    papplJobSetData(job, feed);
    return true;
}

static bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    feed->pages++;
    // PAPPL counts every page it starts; the core counts the sides printed.
    papplJobSetImpressionsCompleted(job, -1);
    feed->skipping = feed->image && feed->pages > 1;
    if (feed->skipping) return true;
    // Streamed raster: PAPPL sizes its line buffers from this header after
    // this call. Images were rendered to it already.
    if (!feed->image) setPageHeader(job, options);
    cups_page_header2_t header = options->header;
    feed->bytes_per_line = header.cupsBytesPerLine;
    // A core that ended early refuses the page; the job's end reports why.
    cupsRasterWriteHeader2(feed->writer, &header);
    // PAPPL 1.3.1 dithers a client's gray line, as wide as the client made
    // it, into a buffer as wide as this header says: a page wider than the
    // paper would overrun it. Its buffers are made wide enough for any page
    // a client can sensibly send; the core takes the paper's width of each
    // line.
    if (!feed->image && options->header.cupsBytesPerLine < PAPPL_LINE_BUFFER) {
        options->header.cupsBytesPerLine = PAPPL_LINE_BUFFER;
    }
    return true;
}

static bool writeLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned,
                      const unsigned char* line) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    if (feed->skipping) return true;
    cupsRasterWritePixels(feed->writer, const_cast<unsigned char*>(line), feed->bytes_per_line);
    return true;
}

static bool endPage(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    // The core holds the page until it knows whether another follows.
    return true;
}

static bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    cupsRasterClose(feed->writer);
    feed->writer = nullptr;
    closeFd(&feed->fds[1]);  // the end of the raster
    feed->core.join();
    settleImpressions(job, feed->app);
    bool ok = settleJob(job, *options, feed->app, feed->status, feed->image);
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
