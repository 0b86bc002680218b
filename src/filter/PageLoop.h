// The road of one raster page: read, store as PBM, look ahead, turn (A5L),
// convert to JBIG, measure, build its header, emit; once per page until the
// input ends or the job is cancelled.
#pragma once

#include <cups/raster.h>

#include <cstddef>

#include "Job.h"

// Largest paper side the printer takes, in inches; a raster page beyond it
// is refused before anything is allocated for it.
constexpr unsigned MAX_PAPER_INCHES = 60;
// The highest resolution the limit is measured at; 0 dpi counts as 1200.
constexpr unsigned MAX_LIMIT_DPI = 2400;

// Whether the filter can store this raster page faithfully as packed PBM.
// When not, `why` says which value is wrong.
bool checkRasterPage(const cups_page_header2_t& header, char* why, size_t why_size);

// Runs the loop. Returns the filter's exit status: 0 when the input ended or
// the job was cancelled, -1 when a page could not be printed (records
// already written stay; nothing more is written).
int runPageLoop(Job* job);
