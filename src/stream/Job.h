// Everything one print job owns for its life: its settings, the raster
// input, the page-loop counters and the duplex buffers.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>
#include <cstdio>

#include "../JobParamsProc/JobParamsProc.h"
#include "../Utility/Log.h"
#include "../image/Jbig.h"
#include "PrintOptions.h"
#include "PrinterStream.h"
#include "RasterInput.h"

// Start size of each duplex buffer; a buffer grows for a larger page.
constexpr size_t DUPLEX_BUFFER_SIZE = 4 * 1024 * 1024;

// The most pages read ahead of the page being sent, each one converting;
// fewer on a machine with fewer processors online.
constexpr int MAX_PAGES_AHEAD = 4;

// How the handling of one page ended.
enum PageResult {
    PAGE_DONE,        // records written or buffered; the loop goes on
    PAGE_FAILED,      // the job can't go on: exit status 255
    PAGE_CANCELLED,   // the cancelled job could not wait for the page: exit 0
    PAGE_UNWRITABLE,  // the printer stream can no longer be written: exit 1
};

// A raster page read and stored, its conversion under way.
struct PendingPage {
    int n = 0;                        // its raster_page and m_page
    PageResult read = PAGE_DONE;      // else refused, not stored or given up (already said)
    bool last = false;                // the look-ahead found no page after it
    unsigned char* bitmap = nullptr;  // kept in memory until its conversion starts
    EncoderRun encoder;
    EncoderOutcome started = ENCODE_FAILED;  // ENCODED while its conversion runs
    HeldLog log;                             // its lines, until its turn comes
};

struct Job {
    // Settings, final once the job block is written.
    int job_id = 0;
    bool collate = false;
    int copies = 0;
    PrintSettings settings;
    PaperLimit paper_limit;  // raster pages beyond it are refused
    PARAM_KEY_SPERATOR_VALUE table[PARAM_ROWS];
    char job_params[JOB_PARAMS_SIZE] = {};  // the table serialised for the job block

    // Inputs and output.
    ppd_file_t* ppd = nullptr;
    int num_options = 0;
    cups_option_t* options = nullptr;
    int input_fd = -1;  // the named raster file, when one was given
    RasterInput input;  // what libcups reads the raster from
    cups_raster_t* raster = nullptr;
    cups_page_header2_t header;  // the page being read, then the look-ahead
    FILE* out = stdout;
    bool pages_in_memory = false;  // no page file: bitmaps encoded in memory

    // Size of the blank back page: the first page's bytes per line × 8 by
    // its height.
    int page_width_px = 0;
    int page_height_px = 0;

    // Page-loop state.
    int raster_page = 1;      // raster page being processed
    int m_page = 0;           // pages converted, the blank back page included
    int written_pages = 0;    // page records written; the next record's page_no - 1
    int no_more_pages = 0;    // the current page is the job's last
    int need_extra_page = 0;  // a blank back page must close this duplex job
    int copies_left = 0;

    // Cancellation: the raster page the job ends with, decided when SIGTERM
    // is first seen (0 before); once a record was flagged last for it,
    // nothing more is written.
    int cancel_page = 0;
    bool cancel_ended = false;
    bool input_damaged = false;  // a header could not be read while bytes remained

    // Reading ahead: pages read and converting, oldest first, in a ring.
    PendingPage ahead[MAX_PAGES_AHEAD];
    int ahead_first = 0;
    int ahead_count = 0;
    int pages_read = 0;        // raster pages read so far
    bool header_read = true;   // `header` holds the header of the page to read next
    bool input_ended = false;  // no page is to be read any more

    // Duplex pairing: the front page (odd m_page) and the back page.
    unsigned char* buff1 = nullptr;
    unsigned char* buff2 = nullptr;
    size_t buff1_capacity = 0;
    size_t buff2_capacity = 0;
    int64_t buff1_len = -1;
    int64_t buff2_len = -1;
    printer_header buff1_header;
    printer_header buff2_header;
};

// Impressions one record stands for: the printer makes the copies of a
// collated job, the filter those of any other.
inline int impressionsPerRecord(const Job& job) {
    return job.collate && job.copies > 1 ? job.copies : 1;
}

// Whether the cancel makes the record about to be written (of raster page
// `shown`, while m_page is sent) the job's last: then *last_page becomes 1,
// and nothing may follow it. Once SIGTERM was seen, m_page is the page the
// job ends with unless an earlier point decided another; a page before it
// ends the job only when it can't be finished within the grace period.
bool cancelMakesLast(Job* job, int shown, int32_t* last_page);
