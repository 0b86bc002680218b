#include "PageLoop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/Utility.h"
#include "../image/Jbig.h"
#include "../image/Rotate.h"
#include "DuplexPairing.h"
#include "PageFiles.h"

// The resolution at which the paper limit is measured.
static uint64_t limitDpi(unsigned dpi, const PaperLimit& limit) {
    unsigned highest = limit.max_dpi ? limit.max_dpi : MAX_LIMIT_DPI;
    if (dpi == 0) return limit.max_dpi ? limit.max_dpi : 1200;
    return dpi < highest ? dpi : highest;
}

// Whether the page, measured at x_dpi by y_dpi, fits the paper limit.
static bool fitsPaper(const cups_page_header2_t& h, const PaperLimit& limit, uint64_t x_dpi,
                      uint64_t y_dpi, char* why, size_t why_size) {
    double width_in = (double)h.cupsWidth / (double)x_dpi;
    double height_in = (double)h.cupsHeight / (double)y_dpi;
    double shorter = width_in < height_in ? width_in : height_in;
    double longer = width_in < height_in ? height_in : width_in;
    double max_short = MAX_PAPER_INCHES, max_long = MAX_PAPER_INCHES;
    if (limit.short_in > 0) {
        max_short = limit.short_in + PAPER_MARGIN_INCHES;
        max_long = limit.long_in + PAPER_MARGIN_INCHES;
    }
    if (shorter <= max_short && longer <= max_long) return true;
    snprintf(why, why_size,
             "%u x %u pixels at %" PRIu64 " x %" PRIu64
             " dpi (%.1f x %.1f in) is larger than any paper this printer takes (%.1f x %.1f in "
             "at most)",
             h.cupsWidth, h.cupsHeight, x_dpi, y_dpi, width_in, height_in, max_short, max_long);
    return false;
}

bool checkRasterPage(const cups_page_header2_t& h, const PaperLimit& limit, char* why,
                     size_t why_size) {
    if (h.cupsBitsPerPixel != 1) {
        snprintf(why, why_size, "it has %u bits per pixel, this printer takes 1",
                 h.cupsBitsPerPixel);
        return false;
    }
    if (h.cupsWidth == 0 || h.cupsHeight == 0) {
        snprintf(why, why_size, "it has no pixels (%u x %u)", h.cupsWidth, h.cupsHeight);
        return false;
    }
    if ((uint64_t)h.cupsBytesPerLine != ((uint64_t)h.cupsWidth + 7) / 8) {
        snprintf(why, why_size, "its %u bytes per line do not match its width of %u pixels",
                 h.cupsBytesPerLine, h.cupsWidth);
        return false;
    }
    uint64_t x_dpi = limitDpi(h.HWResolution[0], limit);
    uint64_t y_dpi = limitDpi(h.HWResolution[1], limit);
    if (!fitsPaper(h, limit, x_dpi, y_dpi, why, why_size)) return false;
    uint64_t bytes = (uint64_t)h.cupsHeight * h.cupsBytesPerLine;
    if (bytes > UINT32_MAX || h.cupsWidth > INT32_MAX || h.cupsHeight > INT32_MAX) {
        snprintf(why, why_size, "its %" PRIu64 " bytes of raster exceed one read", bytes);
        return false;
    }
    return true;
}

// Reads the page's pixels and stores them as "P4" PBM. Rows the raster did
// not deliver stay white.
static PageResult storeRasterPage(Job* job, int n, const char* pbm_path) {
    const cups_page_header2_t& h = job->header;
    unsigned bytes = h.cupsHeight * h.cupsBytesPerLine;
    unsigned char* pixels = (unsigned char*)calloc(bytes, 1);
    if (pixels == nullptr) {
        logMsg("ERROR: Unable to print page %d: no memory for %u bytes of raster\n", n, bytes);
        return PAGE_FAILED;
    }
    unsigned got = cupsRasterReadPixels(job->raster, pixels, bytes);
    logMsg("DEBUG: Page %d read %d pixels\n", n, (int)got);

    PageResult result = PAGE_FAILED;
    FILE* file = createWorkFile(pbm_path);
    if (file != nullptr) {
        fprintf(file, "P4\n%u %u\n", h.cupsWidth, h.cupsHeight);
        bool written = fwrite(pixels, 1, bytes, file) == bytes;
        if (fclose(file) == 0 && written) result = PAGE_DONE;
    }
    if (result != PAGE_DONE) {
        logMsg("ERROR: Unable to print page %d: can't store it in %s\n", n, pbm_path);
    }
    free(pixels);
    return result;
}

// A5L pages are turned before conversion; the turned file is converted then.
// The encoder runs on while the loop reads on.
static void startConversion(Job* job, PendingPage* page) {
    char pbm[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, page->n);
    if (isA5L(job->settings)) {
        char rotated[PAGE_PATH_SIZE];
        rotatedPbmPath(rotated, job->job_id, page->n);
        rotatePbm(pbm, rotated, -90);
        logMsg("DEBUG: A5L need rotate.[-90]");
        memcpy(pbm, rotated, sizeof(pbm));
    }
    char jbg[PAGE_PATH_SIZE];
    pageJbgPath(jbg, job->job_id, page->n);
    startPbmtojbg(pbm, jbg, &page->encoder);
}

// The i-th page read ahead, 0 being the oldest.
static PendingPage& pageAhead(Job* job, int i) {
    return job->ahead[(job->ahead_first + i) % MAX_PAGES_AHEAD];
}

// Takes the oldest page read ahead off the ring.
static PendingPage popPageAhead(Job* job) {
    PendingPage page = pageAhead(job, 0);
    job->ahead_first = (job->ahead_first + 1) % MAX_PAGES_AHEAD;
    job->ahead_count--;
    return page;
}

// Pages read ahead of the one being sent are not printed once the job ends
// before them: their encoders are stopped, their files left as they are.
static void stopPagesAhead(Job* job) {
    while (job->ahead_count > 0) {
        PendingPage page = popPageAhead(job);
        releaseHeldLog(&page.log);
        stopPbmtojbg(&page.encoder);
    }
}

static printer_header buildPageHeader(Job* job, const JbigPage& page) {
    printer_header header;
    header.page_no = job->m_page;
    if (job->raster_page == 1) header.first_page = 1;
    if (cancel_job) {
        job->no_more_pages = 1;
        logMsg("DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n",
               job->raster_page, job->m_page);
        stopPagesAhead(job);
    }
    header.last_page = job->no_more_pages;
    applyDuplexOddPageRule(job, &header);
    header.data_size = (int32_t)page.size;
    return header;
}

static void writeRecord(Job* job, const printer_header& header, int32_t last_page,
                        const JbigPage& page) {
    writeRecordHeader(job->out, header, last_page);
    logMsg("DEBUG: write page %d header done\n", header.page_no);
    writeRecordData(job->out, page.data, (size_t)page.size);
    logMsg("DEBUG: write page data done\n");
    logPageWritten(header.page_no, impressionsPerRecord(*job));
}

// Collated: each page once; the printer makes the copies.
static void emitCollated(Job* job, printer_header* header, const JbigPage& page) {
    logMsg("DEBUG: print m_page %d collate %d duplex %d copies %d\n", job->m_page,
           job->collate ? 1 : 0, job->settings.duplex, job->copies_left);
    header->page_no = ++job->written_pages;
    logMsg("DEBUG: current lastpage is %d pageno is %d\n", header->last_page, job->m_page);
    writeRecord(job, *header, header->last_page, page);
}

// Uncollated simplex: every copy of the page from the same buffer; on the
// last page only the final copy says last_page 1.
static void emitCopies(Job* job, printer_header* header, const JbigPage& page) {
    logMsg("DEBUG: m_page %d buff load collate %d duplex %d \n", job->m_page, job->collate ? 1 : 0,
           job->settings.duplex);
    do {
        logMsg("DEBUG: print m_page %d collate %d duplex %d copies %d\n", job->m_page,
               job->collate ? 1 : 0, job->settings.duplex, job->copies_left);
        if (job->copies_left >= 2 && job->no_more_pages == 1) {
            logMsg("DEBUG: force lastpage to 0\n");
            header->last_page = 0;
        }
        if (job->copies_left == 1 && job->no_more_pages == 1) {
            logMsg("DEBUG: force lastpage to 1\n");
            header->last_page = 1;
        }
        header->page_no = ++job->written_pages;
        logMsg("DEBUG: current lastpage is %d pageno is %d\n", header->last_page, job->m_page);
        writeRecord(job, *header, header->last_page, page);
        job->copies_left--;
    } while (job->copies_left > 0);
}

static PageResult emitPage(Job* job, printer_header* header, const JbigPage& page) {
    if (!job->collate && job->settings.duplex != 0) {
        return bufferDuplexPage(job, *header, page.data, page.size);
    }
    if (job->collate) {
        emitCollated(job, header, page);
    } else {
        emitCopies(job, header, page);
    }
    return PAGE_DONE;
}

// Logs the page's start, checks, stores and starts converting it.
static void readAndConvert(Job* job, PendingPage* page) {
    const cups_page_header2_t& h = job->header;
    logMsg("DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n", page->n,
           (int)h.cupsWidth, (int)h.cupsHeight, (int)h.cupsBytesPerLine);
    logMsg("INFO: Printing page %d\n", page->n);
    char why[200];
    if (!checkRasterPage(h, job->paper_limit, why, sizeof(why))) {
        logMsg("ERROR: Unable to print page %d: %s\n", page->n, why);
        page->read = PAGE_FAILED;
        return;
    }
    char pbm[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, page->n);
    if (storeRasterPage(job, page->n, pbm) != PAGE_DONE) {
        page->read = PAGE_FAILED;
        return;
    }
    logMsg("DEBUG: page %d handleImg done,pring m_page=%d begin\n", page->n, page->n);
    startConversion(job, page);
}

// Reads the raster page whose header was read last, stores it and starts
// its conversion. Refusals count when the page's turn comes; so do the
// page's log lines when an earlier page is still to be sent.
static void readRasterPage(Job* job, PendingPage* page, bool hold_log) {
    *page = PendingPage();
    page->n = ++job->pages_read;
    job->header_read = false;
    if (hold_log) holdLog(&page->log);
    readAndConvert(job, page);
    holdLog(nullptr);
}

// Whether raster data is waiting, so reading it now blocks no longer than
// the producer takes to finish what it is writing.
static bool inputWaiting(const Job& job) {
    struct pollfd input = {job.raster_fd, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
}

// Reads pages ahead, each one converting while the next is read: the
// look-ahead header of the newest page, then further pages, as long as
// there is room and the raster is already there. It waits for the raster
// only when nothing else can be done meanwhile: no page read, or only the
// newest one, which can't be sent before its look-ahead.
static void readAhead(Job* job, int limit) {
    while (!job->input_ended && !cancel_job) {
        bool others_waiting = job->ahead_count > 1;
        if (!job->header_read) {
            if (others_waiting && !inputWaiting(*job)) return;
            PendingPage& newest = pageAhead(job, job->ahead_count - 1);
            job->header_read = cupsRasterReadHeader2(job->raster, &job->header) != 0;
            newest.last = !job->header_read;
            job->input_ended = newest.last;
            continue;
        }
        if (job->ahead_count >= limit) return;
        if (job->ahead_count > 0 && !inputWaiting(*job)) return;
        PendingPage* page = &pageAhead(job, job->ahead_count);
        job->ahead_count++;
        readRasterPage(job, page, job->ahead_count > 1);
        if (page->read != PAGE_DONE) job->input_ended = true;
    }
}

// The rest of the road of the oldest page read: its conversion collected,
// measured, its header built and its records emitted.
static PageResult printOldestPage(Job* job) {
    PendingPage page = popPageAhead(job);
    if (page.read != PAGE_DONE) return page.read;
    job->raster_page = page.n;
    job->m_page = page.n;
    job->no_more_pages = page.last ? 1 : 0;
    job->copies_left = job->copies;

    // Collect the conversion and measure.
    finishPbmtojbg(&page.encoder);
    JbigPage jbig;
    PageResult result = measureJbig(page.encoder.jbg_file, "page", job->m_page, &jbig);
    if (result != PAGE_DONE) return result;

    // Build the record's header, then emit.
    printer_header header = buildPageHeader(job, jbig);
    result = readJbig(job->m_page, &jbig);
    if (result == PAGE_DONE) result = emitPage(job, &header, jbig);
    if (result == PAGE_DONE) logMsg("DEBUG: print m_page %d write jbg done\n", job->m_page);
    releaseJbig(&jbig);
    if (result != PAGE_DONE) return result;
    job->raster_page++;

    // Duplex: close an odd job with a blank back, then write a full pair.
    if (job->need_extra_page == 1) {
        result = addTrailingBackPage(job);
        if (result != PAGE_DONE) return result;
    }
    writeDuplexPairs(job);
    return PAGE_DONE;
}

// At most one page read ahead a processor, and never many: each holds a
// page file on disk and an encoder in memory.
static int pagesAhead() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) return 1;
    return online < MAX_PAGES_AHEAD ? (int)online : MAX_PAGES_AHEAD;
}

// Whether what was written so far reached the printer's side of the pipe;
// a closed reader or a full disk must end the job now, not after every
// remaining page was converted for nothing.
static bool streamStillWritable(Job* job) {
    if (fflush(job->out) == 0 && !ferror(job->out)) return true;
    if (!cancel_job) logMsg("ERROR: Unable to write the printer stream: %s\n", strerror(errno));
    return false;
}

int runPageLoop(Job* job) {
    int limit = pagesAhead();
    int status = 0;
    while (true) {
        readAhead(job, limit);
        if (job->ahead_count == 0) break;
        PageResult result = printOldestPage(job);
        if (result != PAGE_DONE) {
            status = result == PAGE_FAILED ? -1 : 0;
            break;
        }
        if (!streamStillWritable(job)) {
            status = cancel_job ? 0 : 1;
            break;
        }
        if (job->no_more_pages != 0 || cancel_job != 0) break;
        // The next page's turn: what it logged while read ahead.
        if (job->ahead_count > 0) releaseHeldLog(&pageAhead(job, 0).log);
    }
    stopPagesAhead(job);
    return status;
}
