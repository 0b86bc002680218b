#include "DuplexPairing.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "../Utility/Log.h"
#include "PageEncoder.h"
#include "PageFiles.h"

void applyDuplexOddPageRule(Job* job, printer_header* header) {
    if (job->settings.duplex != 0 && job->no_more_pages && job->m_page % 2 == 1) {
        header->last_page = 0;
        job->need_extra_page = 1;
    }
}

// Copies a page into one duplex buffer; the stored magic is never touched.
static bool storePage(unsigned char** buffer, size_t* capacity, int64_t* len,
                      printer_header* stored, const printer_header& header,
                      const unsigned char* data, int64_t size) {
    if ((size_t)size > *capacity) {
        unsigned char* grown = (unsigned char*)realloc(*buffer, (size_t)size);
        if (grown == nullptr) return false;
        *buffer = grown;
        *capacity = (size_t)size;
    }
    if (size > 0) memcpy(*buffer, data, (size_t)size);
    *len = size;
    stored->last_page = header.last_page;
    stored->data_size = header.data_size;
    stored->page_no = header.page_no;
    stored->first_page = header.first_page;
    return true;
}

// Holds a page in buff1 (the front) or buff2 (the back).
static bool storeDuplexPage(Job* job, bool front, const printer_header& header,
                            const unsigned char* data, int64_t size) {
    if (front) {
        return storePage(&job->buff1, &job->buff1_capacity, &job->buff1_len, &job->buff1_header,
                         header, data, size);
    }
    return storePage(&job->buff2, &job->buff2_capacity, &job->buff2_len, &job->buff2_header, header,
                     data, size);
}

static PageResult noMemoryForPage(int m_page, int64_t size) {
    logMsg("ERROR: Unable to print page %d: no memory to hold its %ld bytes for duplex\n", m_page,
           (long)size);
    return PAGE_FAILED;
}

PageResult bufferDuplexPage(Job* job, const printer_header& header, const unsigned char* data,
                            int64_t size) {
    logMsg("DEBUG: m_page %d buff load collate %d duplex %d lastpage is %d\n", job->m_page,
           job->collate ? 1 : 0, job->settings.duplex, header.last_page);
    bool front = job->m_page % 2 == 1;
    if (!storeDuplexPage(job, front, header, data, size)) return noMemoryForPage(job->m_page, size);
    logMsg("DEBUG: m_page %d buff%d load \n", job->m_page, front ? 1 : 2);
    return PAGE_DONE;
}

// Collated: the printer makes the copies, so the blank back page closes
// the job whatever their number.
static PageResult writeCollatedBackPage(Job* job, printer_header* extra, const JbigPage& page) {
    logMsg("DEBUG: current lastpage is %d pageno %d\n", extra->last_page, job->m_page);
    extra->page_no = ++job->written_pages;
    writeRecordHeader(job->out, *extra, extra->last_page);
    logMsg("DEBUG: write page %d header done\n", extra->page_no);
    writeRecordData(job->out, page.data, (size_t)page.size);
    if (!recordSent(job->out, extra->page_no, impressionsPerRecord(*job))) return PAGE_UNWRITABLE;
    return PAGE_DONE;
}

PageResult addTrailingBackPage(Job* job) {
    job->m_page++;
    JbigPage page;
    PageResult result = encodeBlankPage(job, &page);
    if (result != PAGE_DONE) return result;
    printer_header extra;
    extra.page_no = job->m_page;
    extra.first_page = 0;
    extra.last_page = 1;
    logMsg("DEBUG: extra page %d lastpage to 1\n", job->m_page);
    extra.data_size = (int32_t)page.size;
    result = readJbig(job->m_page, &page);

    if (result == PAGE_DONE && !job->collate) {
        if (storePage(&job->buff2, &job->buff2_capacity, &job->buff2_len, &job->buff2_header, extra,
                      page.data, page.size)) {
            logMsg("DEBUG: extra_page m_page %d buff2 load lastpage is %d\n", job->m_page,
                   job->buff2_header.last_page);
        } else {
            result = noMemoryForPage(job->m_page, page.size);
        }
    } else if (result == PAGE_DONE) {
        result = writeCollatedBackPage(job, &extra, page);
        removePageFiles(*job, job->m_page);
    }
    releaseJbig(&page);
    if (result == PAGE_DONE) logMsg("DEBUG: print extra m_page %d write jbg done\n", job->m_page);
    return result;
}

// The back record's last_page: only the final copy of the last pair keeps 1,
// and a cancel makes it 1 where the job ends.
static int32_t backPageLastPage(Job* job) {
    int32_t last_page = job->buff2_header.last_page;
    if (job->copies_left >= 2 && last_page == 1) {
        logMsg("DEBUG: force lastpage to 0\n");
        last_page = 0;
    } else if (job->copies_left == 1 && last_page == 1) {
        logMsg("DEBUG: force lastpage to 1\n");
    }
    cancelMakesLast(job, job->m_page, &last_page);
    logMsg("DEBUG: current lastpage is %d,pageno is %d\n", last_page, job->m_page);
    return last_page;
}

// One copy of the pair. A cancel seen before a later copy's front makes
// that front the last record; the first copy's front is always followed by
// its back, so the sheet the job ends with has both sides.
static PageResult writePairOnce(Job* job, bool first_copy) {
    logMsg("DEBUG: -----------------------------print m_page %d collate %d duplex %d copies %d\n",
           job->m_page, job->collate ? 1 : 0, job->settings.duplex, job->copies_left);

    int32_t front_last = job->buff1_header.last_page;
    if (!first_copy) cancelMakesLast(job, job->m_page - 1, &front_last);
    job->buff1_header.page_no = ++job->written_pages;
    writeRecordHeader(job->out, job->buff1_header, front_last);
    logMsg("DEBUG: write page1 %d header done, m_page %d lastpage is %d\n",
           job->buff1_header.page_no, job->m_page - 1, front_last);
    writeRecordData(job->out, job->buff1, (size_t)job->buff1_len);
    logMsg("DEBUG: write page1 data done\n");
    if (!recordSent(job->out, job->buff1_header.page_no, impressionsPerRecord(*job))) {
        return PAGE_UNWRITABLE;
    }
    if (job->cancel_ended) return PAGE_DONE;

    logMsg("DEBUG: page2 lastpage is %d,copies %d,pageno is %d\n", job->buff2_header.last_page,
           job->copies_left, job->m_page);
    int32_t last_page = backPageLastPage(job);
    job->buff2_header.page_no = ++job->written_pages;
    writeRecordHeader(job->out, job->buff2_header, last_page);
    logMsg("DEBUG: write page2 %d header done, m_page %d lastpage is %d\n",
           job->buff2_header.page_no, job->m_page, last_page);
    writeRecordData(job->out, job->buff2, (size_t)job->buff2_len);
    logMsg("DEBUG: write page2 data done\n");
    if (!recordSent(job->out, job->buff2_header.page_no, impressionsPerRecord(*job))) {
        return PAGE_UNWRITABLE;
    }
    return PAGE_DONE;
}

PageResult writeDuplexPairs(Job* job) {
    if (job->collate || job->settings.duplex == 0) return PAGE_DONE;
    if (job->m_page % 2 == 1) {
        logMsg("DEBUG: not handle in even page %d, pass\n", job->m_page);
        return PAGE_DONE;
    }
    PageResult result = PAGE_DONE;
    bool first_copy = true;
    do {
        result = writePairOnce(job, first_copy);
        if (result != PAGE_DONE || job->cancel_ended) break;
        first_copy = false;
        job->copies_left--;
        logMsg("DEBUG: #####################write 2pages duplex done\n");
    } while (job->copies_left > 0);
    removePageFiles(*job, job->m_page - 1);
    removePageFiles(*job, job->m_page);
    return result;
}
