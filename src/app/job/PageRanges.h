// A job's page-ranges. PAPPL 1.3.1 takes one range only; the gate checks
// several and hands PAPPL the one range covering them, and the job that
// request makes gets them all back as it is made, so its attributes, the
// state and every answer hold what the client asked. Ghostscript gets them
// as a page list made from the checked numbers alone; raster skips the
// pages outside them.
#pragma once

#include <cups/ipp.h>
#include <pappl/pappl.h>

#include <string>
#include <vector>

struct PageRange {
    int first, last;
};

// More ranges than a person marks in a document.
constexpr int MAX_PAGE_RANGES = 64;

// Why page-ranges of more than one value can't be printed, or empty: each
// must be a range 1..INT_MAX, the ranges ascending and apart, at most
// MAX_PAGE_RANGES of them.
std::string pageRangesFault(ipp_attribute_t* attr);

// The ranges of ATTR; empty when it is none or has a fault.
std::vector<PageRange> pageRangesOf(ipp_attribute_t* attr);

// The ranges of the text "1-2,5,7-" as the submit sub-command takes them;
// empty unless it is sound.
std::vector<PageRange> parsePageRanges(const char* text);

// The job's ranges; empty: every page.
std::vector<PageRange> jobPageRanges(pappl_job_t* job);

// Whether PAGE (1-based) is printed; every page for no ranges.
bool pageSelected(const std::vector<PageRange>& ranges, unsigned page);

// Ghostscript's -sPageList value: "1-2,5-6".
std::string pageListText(const std::vector<PageRange>& ranges);

// Puts RANGES in ATTRS as its page-ranges, where the one it has stands
// (else in the job group).
void putPageRanges(ipp_t* attrs, const std::vector<PageRange>& ranges);

// The ranges the next job made on this thread gets (from its request or
// its queueing again); empty for none. givePageRanges puts them into the
// attributes the job is made from.
void setNextJobPageRanges(std::vector<PageRange> ranges);
void givePageRanges(ipp_t* attrs);
