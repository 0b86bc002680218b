// Duplex jobs reach the printer as sheets: a front page, then its back.
// Uncollated duplex pages are held in buff1 (odd m_page) and buff2 (even
// m_page) and written as a pair once per copy; a duplex job that ends on an
// odd page gets a blank back page.
#pragma once

#include "Job.h"

// Called right after the header's last_page was set from no_more_pages: an
// odd last page of a duplex job is not the last sheet side, so it hands the
// last_page flag on to a blank back page.
void applyDuplexOddPageRule(Job* job, printer_header* header);

// Holds an uncollated duplex page by the parity of m_page, growing the buffer
// for a page larger than it. Writes nothing. PAGE_FAILED without memory.
PageResult bufferDuplexPage(Job* job, const printer_header& header, const unsigned char* data,
                            int64_t size);

// Makes, converts and holds (uncollated) or writes (collated) the blank back
// page; adds 1 to m_page.
PageResult addTrailingBackPage(Job* job);

// After an even m_page of an uncollated duplex job, writes the held pair once
// per copy (fewer when cancelled), then removes both pages' files.
PageResult writeDuplexPairs(Job* job);
