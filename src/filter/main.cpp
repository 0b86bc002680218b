// brivane_quelmoss: CUPS filter from 1-bit CUPS raster to the printer's
// JBIG page stream.
//
//   brivane_quelmoss job user title copies options [file]
//
// Raster on standard input, PPD named by $PPD, printer stream on standard
// output, job log on standard error.
#include <cstdio>

#include "JobSetup.h"
#include "PageLoop.h"

int main(int argc, char** argv) {
    Job job;
    int status = 0;
    if (setupJob(argc, argv, &job, &status)) status = runPageLoop(&job);
    releaseJob(&job);
    fflush(stdout);
    return status;
}
