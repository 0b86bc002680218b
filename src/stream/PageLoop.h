// The road of one raster page: read, store (as PBM, or in memory), look ahead,
// turn (A5L), convert to JBIG, measure, build its header, emit; once per page
// until the input ends or the job is cancelled.
#pragma once

#include <cups/raster.h>

#include <cstddef>

#include "Job.h"

// A raster page may be as large as the PPD's largest paper plus this, in
// inches, on either side (its shorter side against the paper's shorter).
constexpr double PAPER_MARGIN_INCHES = 1;
// Without paper sizes in the PPD: the largest side, in inches, and the
// highest resolution it is measured at; 0 dpi then counts as 1200.
constexpr unsigned MAX_PAPER_INCHES = 60;
constexpr unsigned MAX_LIMIT_DPI = 2400;

// Whether the filter can store this raster page faithfully as packed PBM
// and the printer can take it. The page's size is measured at its
// resolution, counted as at most the PPD's highest (and as that when the
// header says 0), so neither a few header bytes nor an absurd resolution
// make the filter allocate and write gigabytes. When not, `why` says which
// value is wrong.
bool checkRasterPage(const cups_page_header2_t& header, const PaperLimit& limit, char* why,
                     size_t why_size);

// Runs the loop. Returns the filter's exit status: 0 when the input ended or
// the job was cancelled, -1 when a page could not be printed (records
// already written stay; nothing more is written), 1 when the printer stream
// can no longer be written.
int runPageLoop(Job* job);
