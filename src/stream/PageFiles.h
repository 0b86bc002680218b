// The per-page files in the working directory and reading a page's JBIG
// file back for sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "../Utility/JobContext.h"
#include "Job.h"

// The working directory's path and the longest page file name.
constexpr size_t PAGE_PATH_SIZE = WORK_PATH_SIZE + 64;

// "<work dir>/<job>_<n>_gs.pbm": the raster page as packed PBM.
void pagePbmPath(char* path, int job_id, int n);
// "<work dir>/<job>_<n>_gs_rotated.pbm": the A5L page turned by -90 degrees.
void rotatedPbmPath(char* path, int job_id, int n);
// "<work dir>/<job>-<n>.jbg": what the encoder made of the page.
void pageJbgPath(char* path, int job_id, int n);

// Removes the page's files (PBM, turned PBM, JBIG), once nothing of the
// page is to be written any more.
void removePageFiles(const Job& job, int n);

// A page's JBIG data held for sending.
struct JbigPage {
    FILE* file = nullptr;  // while read from its file
    int64_t size = 0;
    unsigned char* data = nullptr;
};

// Opens the JBIG file and measures it, logging as "DEBUG: <label> <n> ...".
// On failure it logs why and returns PAGE_FAILED with nothing open.
PageResult measureJbig(const char* path, const char* label, int n, JbigPage* page);

// Reads the measured file whole, in one read (data already in memory stays);
// a short read leaves zeros.
// PAGE_FAILED when there is no memory for it.
PageResult readJbig(int n, JbigPage* page);

// Closes the file and frees the data.
void releaseJbig(JbigPage* page);
