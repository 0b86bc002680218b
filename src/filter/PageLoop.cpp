#include "PageLoop.h"

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
static PageResult storeRasterPage(Job* job, const char* pbm_path) {
    const cups_page_header2_t& h = job->header;
    unsigned bytes = h.cupsHeight * h.cupsBytesPerLine;
    unsigned char* pixels = (unsigned char*)calloc(bytes, 1);
    if (pixels == nullptr) {
        logMsg("ERROR: Unable to print page %d: no memory for %u bytes of raster\n",
               job->raster_page, bytes);
        return PAGE_FAILED;
    }
    unsigned got = cupsRasterReadPixels(job->raster, pixels, bytes);
    logMsg("DEBUG: Page %d read %d pixels\n", job->raster_page, (int)got);

    PageResult result = PAGE_FAILED;
    FILE* file = createWorkFile(pbm_path);
    if (file != nullptr) {
        fprintf(file, "P4\n%u %u\n", h.cupsWidth, h.cupsHeight);
        bool written = fwrite(pixels, 1, bytes, file) == bytes;
        if (fclose(file) == 0 && written) result = PAGE_DONE;
    }
    if (result != PAGE_DONE) {
        logMsg("ERROR: Unable to print page %d: can't store it in %s\n", job->raster_page,
               pbm_path);
    }
    free(pixels);
    return result;
}

// A5L pages are turned before conversion; the turned file is converted then.
static void convertPage(Job* job, char* jbg_path) {
    char pbm[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, job->m_page);
    if (isA5L(job->settings)) {
        char rotated[PAGE_PATH_SIZE];
        rotatedPbmPath(rotated, job->job_id, job->m_page);
        rotatePbm(pbm, rotated, -90);
        logMsg("DEBUG: A5L need rotate.[-90]");
        memcpy(pbm, rotated, sizeof(pbm));
    }
    pageJbgPath(jbg_path, job->job_id, job->m_page);
    pbmtojbg(pbm, jbg_path);
}

static printer_header buildPageHeader(Job* job, const JbigPage& page) {
    printer_header header;
    header.page_no = job->m_page;
    if (job->raster_page == 1) header.first_page = 1;
    if (cancel_job) {
        job->no_more_pages = 1;
        logMsg("DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n",
               job->raster_page, job->m_page);
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

static PageResult printRasterPage(Job* job) {
    const cups_page_header2_t& h = job->header;
    logMsg("DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n",
           job->raster_page, (int)h.cupsWidth, (int)h.cupsHeight, (int)h.cupsBytesPerLine);
    logMsg("INFO: Printing page %d\n", job->raster_page);
    char why[200];
    if (!checkRasterPage(h, job->paper_limit, why, sizeof(why))) {
        logMsg("ERROR: Unable to print page %d: %s\n", job->raster_page, why);
        return PAGE_FAILED;
    }

    // Read the pixels and store them.
    char pbm[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, job->raster_page);
    if (storeRasterPage(job, pbm) != PAGE_DONE) return PAGE_FAILED;
    job->copies_left = job->copies;

    // Look ahead: is this the job's last page?
    if (cupsRasterReadHeader2(job->raster, &job->header) == 0) job->no_more_pages = 1;
    job->m_page++;
    logMsg("DEBUG: page %d handleImg done,pring m_page=%d begin\n", job->raster_page, job->m_page);

    // Convert and measure.
    char jbg[PAGE_PATH_SIZE];
    convertPage(job, jbg);
    JbigPage page;
    PageResult result = measureJbig(jbg, "page", job->m_page, &page);
    if (result != PAGE_DONE) return result;

    // Build the record's header, then emit.
    printer_header header = buildPageHeader(job, page);
    result = readJbig(job->m_page, &page);
    if (result == PAGE_DONE) result = emitPage(job, &header, page);
    if (result == PAGE_DONE) logMsg("DEBUG: print m_page %d write jbg done\n", job->m_page);
    releaseJbig(&page);
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

// Whether what was written so far reached the printer's side of the pipe;
// a closed reader or a full disk must end the job now, not after every
// remaining page was converted for nothing.
static bool streamStillWritable(Job* job) {
    if (fflush(job->out) == 0 && !ferror(job->out)) return true;
    if (!cancel_job) logMsg("ERROR: Unable to write the printer stream: %s\n", strerror(errno));
    return false;
}

int runPageLoop(Job* job) {
    while (job->no_more_pages == 0 && cancel_job == 0) {
        PageResult result = printRasterPage(job);
        if (result == PAGE_FAILED) return -1;
        if (result == PAGE_CANCELLED) return 0;
        if (!streamStillWritable(job)) return cancel_job ? 0 : 1;
    }
    return 0;
}
