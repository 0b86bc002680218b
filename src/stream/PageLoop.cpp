#include "PageLoop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "../Utility/Clock.h"
#include "../Utility/Log.h"
#include "../image/Jbig.h"
#include "DuplexPairing.h"
#include "PageEncoder.h"
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

// Reads the page's pixels row by row and stores them. Rows the raster did
// not deliver stay white.
static PageResult storeRasterPage(Job* job, PendingPage* page) {
    const cups_page_header2_t& h = job->header;
    int n = page->n;
    unsigned bytes = h.cupsHeight * h.cupsBytesPerLine;
    unsigned char* pixels = (unsigned char*)calloc(bytes, 1);
    if (pixels == nullptr) {
        logMsg("ERROR: Unable to print page %d: no memory for %u bytes of raster\n", n, bytes);
        return PAGE_FAILED;
    }
    setDirectRead(&job->input, pixels, bytes);
    unsigned rows = 0;
    while (rows < h.cupsHeight &&
           cupsRasterReadPixels(job->raster, pixels + (size_t)rows * h.cupsBytesPerLine,
                                h.cupsBytesPerLine) == h.cupsBytesPerLine) {
        rows++;
    }
    setDirectRead(&job->input, nullptr, 0);
    if (job->input.gave_up) {
        logMsg("DEBUG: page %d not printed: the job was cancelled while it arrived\n", n);
        free(pixels);
        return PAGE_CANCELLED;
    }
    logMsg("DEBUG: Page %d read %d pixels\n", n, (int)(rows * h.cupsBytesPerLine));
    if (rows < h.cupsHeight) {
        logMsg("WARNING: Page %d is cut short: %u of its %u rows arrived, the rest prints white\n",
               n, rows, h.cupsHeight);
    }
    return storePage(job, page, pixels);
}

// The i-th page read ahead, 0 being the oldest.
static PendingPage& pageAhead(Job* job, int i) {
    return job->ahead[(job->ahead_first + i) % MAX_PAGES_AHEAD];
}

// Takes the oldest page read ahead off the ring.
static PendingPage popPageAhead(Job* job) {
    // (The slot is left holding nothing: its encoder is the page's now.)
    PendingPage page = std::move(pageAhead(job, 0));
    pageAhead(job, 0) = PendingPage();
    job->ahead_first = (job->ahead_first + 1) % MAX_PAGES_AHEAD;
    job->ahead_count--;
    return page;
}

// A page that will not be printed: its encoder stopped, its lines and its
// files gone.
static void dropPage(Job* job, PendingPage* page) {
    dropPageEncoding(job, page);
    discardHeldLog(&page->log);
}

// Pages read ahead that the job ends before are not printed.
static void dropPagesAhead(Job* job) {
    int dropped = job->ahead_count;
    while (job->ahead_count > 0) {
        PendingPage page = popPageAhead(job);
        dropPage(job, &page);
    }
    if (dropped > 0) logMsg("DEBUG: %d pages read ahead were not printed\n", dropped);
}

// The cancel's page, once SIGTERM is seen: `n` is the page being read or
// sent then. Pages read ahead of it stop converting at once.
static void noteCancel(Job* job, int n) {
    if (!jobCancelled() || job->cancel_page != 0) return;
    job->cancel_page = n;
    for (int i = 0; i < job->ahead_count; i++) {
        if (pageAhead(job, i).n > n) stopPbmtojbg(&pageAhead(job, i).encoder);
    }
}

// A cancel seen between pages ends the job with the oldest page not yet
// wholly sent; with none read, with the next page, whose header is in hand,
// so that the printer still gets a record flagged last.
static void settleCancel(Job* job) {
    if (!jobCancelled() || job->cancel_page != 0) return;
    if (job->ahead_count > 0) {
        noteCancel(job, pageAhead(job, 0).n);
    } else if (job->header_read && !job->input_ended) {
        noteCancel(job, job->pages_read + 1);
    } else {
        noteCancel(job, job->pages_read);
    }
}

bool cancelMakesLast(Job* job, int shown, int32_t* last_page) {
    noteCancel(job, job->m_page);
    if (job->cancel_page == 0 || (job->m_page < job->cancel_page && !cancelGraceOver())) {
        return false;
    }
    logMsg("DEBUG: cancel job, page %d is the last printed\n", shown);
    *last_page = 1;
    job->cancel_ended = true;
    return true;
}

static printer_header buildPageHeader(Job* job, const JbigPage& page) {
    printer_header header;
    header.page_no = job->m_page;
    if (job->raster_page == 1) header.first_page = 1;
    noteCancel(job, job->raster_page);
    if (job->cancel_page == job->raster_page) {
        job->no_more_pages = 1;
        logMsg("DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n",
               job->raster_page, job->m_page);
    }
    header.last_page = job->no_more_pages;
    applyDuplexOddPageRule(job, &header);
    header.data_size = (int32_t)page.size;
    return header;
}

static PageResult writeRecord(Job* job, const printer_header& header, int32_t last_page,
                              const JbigPage& page) {
    writeRecordHeader(job->out, header, last_page);
    logMsg("DEBUG: write page %d header done\n", header.page_no);
    writeRecordData(job->out, page.data, (size_t)page.size);
    logMsg("DEBUG: write page data done\n");
    if (!recordSent(job->out, header.page_no, impressionsPerRecord(*job))) return PAGE_UNWRITABLE;
    return PAGE_DONE;
}

// Collated: each page once; the printer makes the copies.
static PageResult emitCollated(Job* job, printer_header* header, const JbigPage& page) {
    logMsg("DEBUG: print m_page %d collate %d duplex %d copies %d\n", job->m_page,
           job->collate ? 1 : 0, job->settings.duplex, job->copies_left);
    // An odd last page of a duplex job hands the flag to its blank back.
    if (job->need_extra_page == 0) cancelMakesLast(job, job->m_page, &header->last_page);
    header->page_no = ++job->written_pages;
    logMsg("DEBUG: current lastpage is %d pageno is %d\n", header->last_page, job->m_page);
    return writeRecord(job, *header, header->last_page, page);
}

// Uncollated simplex: every copy of the page from the same buffer; on the
// last page only the final copy says last_page 1.
static PageResult emitCopies(Job* job, printer_header* header, const JbigPage& page) {
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
        cancelMakesLast(job, job->m_page, &header->last_page);
        header->page_no = ++job->written_pages;
        logMsg("DEBUG: current lastpage is %d pageno is %d\n", header->last_page, job->m_page);
        PageResult result = writeRecord(job, *header, header->last_page, page);
        if (result != PAGE_DONE || job->cancel_ended) return result;
        job->copies_left--;
    } while (job->copies_left > 0);
    return PAGE_DONE;
}

static PageResult emitPage(Job* job, printer_header* header, const JbigPage& page) {
    if (!job->collate && job->settings.duplex != 0) {
        return bufferDuplexPage(job, *header, page.data, page.size);
    }
    PageResult result =
        job->collate ? emitCollated(job, header, page) : emitCopies(job, header, page);
    removePageFiles(*job, job->m_page);
    return result;
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
    page->read = storeRasterPage(job, page);
    if (page->read != PAGE_DONE) return;
    logMsg("DEBUG: page %d handleImg done,pring m_page=%d begin\n", page->n, page->n);
    startPageEncoding(job, page);
}

// Reads the raster page whose header was read last, stores it and starts
// its conversion. Refusals count when the page's turn comes; so do the
// page's log lines when an earlier page is still to be sent. A cancel that
// comes while the page arrives makes it the job's last.
static void readRasterPage(Job* job, PendingPage* page, bool hold_log) {
    *page = PendingPage();
    page->n = ++job->pages_read;
    job->header_read = false;
    if (hold_log) holdLog(&page->log);
    readAndConvert(job, page);
    holdLog(nullptr);
    noteCancel(job, page->n);
}

// Reads the header after the newest page: it tells whether that page is
// the job's last, or that the raster is damaged.
static void readLookAhead(Job* job) {
    PendingPage& newest = pageAhead(job, job->ahead_count - 1);
    uint64_t before = job->input.delivered;
    job->input.look_ahead = true;
    job->header_read = cupsRasterReadHeader2(job->raster, &job->header) != 0;
    job->input.look_ahead = false;
    if (!job->header_read && rasterDamaged(&job->input, before)) {
        logMsg("ERROR: The raster after page %d is cut or damaged: no further page can be read\n",
               newest.n);
        job->input_damaged = true;
    }
    newest.last = !job->header_read;
    job->input_ended = newest.last;
    noteCancel(job, newest.n);
}

// Reads pages ahead, each one converting while the next is read: the
// look-ahead header of the newest page, then further pages, as long as
// there is room and the raster is already there. It waits for the raster
// only when nothing else can be done meanwhile: no page read, or only the
// newest one, which can't be sent before its look-ahead. Once cancelled, no
// page after the one the job ends with is read.
static void readAhead(Job* job, int limit) {
    while (!job->input_ended) {
        settleCancel(job);
        bool cancelled = job->cancel_page != 0;
        if (!job->header_read) {
            PendingPage& newest = pageAhead(job, job->ahead_count - 1);
            if (cancelled && newest.n >= job->cancel_page) {
                newest.last = true;
                return;
            }
            if (job->ahead_count > 1 && !rasterWaiting(&job->input)) return;
            readLookAhead(job);
            continue;
        }
        if (cancelled && job->pages_read >= job->cancel_page) return;
        if (job->ahead_count >= limit) return;
        if (job->ahead_count > 0 && !rasterWaiting(&job->input)) return;
        PendingPage* page = &pageAhead(job, job->ahead_count);
        job->ahead_count++;
        readRasterPage(job, page, job->ahead_count > 1);
        if (page->read != PAGE_DONE) job->input_ended = true;
    }
}

// While the oldest page encodes in memory, raster that arrives meanwhile is
// read and its pages start encoding beside it, rather than waiting for the
// oldest page's turn: the producer and every processor keep working. (A
// page the encoder program converts is waited for as it always was.)
static void readWhileOldestEncodes(Job* job, int limit) {
    while (job->ahead_count > 0 && !job->input_ended && job->cancel_page == 0) {
        int done_fd = bitmapEncodingFd(&pageAhead(job, 0).encoder);
        bool room = !job->header_read || job->ahead_count < limit;
        if (done_fd < 0 || !room) return;
        if (!rasterWaiting(&job->input)) {
            struct pollfd ready[2] = {{done_fd, POLLIN, 0}, {job->input.fd, POLLIN, 0}};
            if (poll(ready, 2, 100) < 0 && errno != EINTR) return;
            if (ready[0].revents != 0) return;
            settleCancel(job);
            continue;
        }
        int pages_read = job->pages_read;
        bool header_read = job->header_read;
        readAhead(job, limit);
        if (job->pages_read == pages_read && job->header_read == header_read) return;
    }
}

// The rest of the road of the oldest page read (its held lines were
// written when its turn came): its conversion collected, measured, its header built and its records
// emitted.
static PageResult printOldestPage(Job* job) {
    PendingPage page = popPageAhead(job);
    if (page.read != PAGE_DONE) {
        removePageFiles(*job, page.n);
        return page.read;
    }
    job->raster_page = page.n;
    job->m_page = page.n;
    job->no_more_pages = page.last ? 1 : 0;
    job->copies_left = job->copies;
    noteCancel(job, page.n);

    // Collect the conversion and measure.
    JbigPage jbig;
    PageResult result = collectPageEncoding(job, &page, &jbig);
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
    if (job->need_extra_page == 1 && !job->cancel_ended) {
        result = addTrailingBackPage(job);
        if (result != PAGE_DONE) return result;
    }
    return writeDuplexPairs(job);
}

// At most one page read ahead a processor, and never many: each holds its
// page (a file, or its bitmap in memory) and an encoder. Pages in memory
// get one more, read while the others encode.
static int pagesAhead(const Job& job) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) online = 1;
    if (job.pages_in_memory) online++;
    return online < MAX_PAGES_AHEAD ? (int)online : MAX_PAGES_AHEAD;
}

static int exitStatus(PageResult result) {
    switch (result) {
        case PAGE_FAILED: return -1;
        case PAGE_UNWRITABLE: return jobCancelled() ? 0 : 1;
        default: return 0;
    }
}

int runPageLoop(Job* job) {
    // Cancelled while the job was set up: the job block alone.
    if (jobCancelled()) return 0;
    int limit = pagesAhead(*job);
    int status = 0;
    while (true) {
        readAhead(job, limit);
        readWhileOldestEncodes(job, limit);
        settleCancel(job);
        if (job->ahead_count == 0) break;
        if (job->cancel_page != 0 && pageAhead(job, 0).n > job->cancel_page) break;
        PageResult result = printOldestPage(job);
        if (result != PAGE_DONE) {
            status = exitStatus(result);
            break;
        }
        if (job->no_more_pages != 0 || job->cancel_ended) break;
        // The next page's turn: what it logged while read ahead comes now,
        // before its look-ahead may wait for the producer.
        if (job->ahead_count > 0) releaseHeldLog(&pageAhead(job, 0).log);
    }
    dropPagesAhead(job);
    // Whatever ended the job, none of its page files stay behind.
    int from = job->m_page > 1 ? job->m_page - 1 : 1;
    int to = (job->pages_read > job->m_page ? job->pages_read : job->m_page) + 1;
    for (int n = from; n <= to; n++) removePageFiles(*job, n);
    if (status == 0 && job->input_damaged) status = 1;
    return status;
}
