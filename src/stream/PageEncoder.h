// Where the page loop hands a page to the encoder and takes its JBIG data
// back. The filter stores each page as a PBM file in the working directory,
// has pbmtojbg convert it into a JBIG file and reads that back; a job that
// keeps its pages in memory (the printer application's, which runs many
// jobs in one process) hands the bitmap to the application's own encoder on
// a thread (two while the job has processors to spare) and sends the bytes
// it returns, with no page file at all. Both give the same bytes,
// so the records are the same whichever way a page went.
#pragma once

#include "Job.h"
#include "PageFiles.h"

// Stores raster page `page->n`, whose packed rows `pixels` it takes over:
// as its PBM file (freed then), or kept with the page. PAGE_FAILED, logged,
// when the file can't be written.
PageResult storePage(Job* job, PendingPage* page, unsigned char* pixels);

// Starts converting the stored page, turned first when the printer takes
// the paper short edge first (A5L); the conversion runs on meanwhile.
void startPageEncoding(Job* job, PendingPage* page);

// Collects the page's conversion and measures its JBIG data, logging as
// the filter always has. PAGE_CANCELLED when the cancelled job could not
// wait for it, PAGE_FAILED (logged) when there is nothing to send.
PageResult collectPageEncoding(Job* job, PendingPage* page, JbigPage* jbig);

// Stops the conversion of a page that will not be printed and removes
// whatever it left.
void dropPageEncoding(Job* job, PendingPage* page);

// Makes and converts the white back page (m_page, the first page's size)
// that closes an odd duplex job, and measures it as "extra page".
PageResult encodeBlankPage(Job* job, JbigPage* jbig);
