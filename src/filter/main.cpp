// brivane_quelmoss: CUPS filter from 1-bit CUPS raster to the printer's
// JBIG page stream.
//
//   brivane_quelmoss job user title copies options [file]
//
// Raster from the named file or else standard input, PPD named by $PPD,
// printer stream on standard output, job log on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/Utility.h"
#include "../stream/PageLoop.h"
#include "JobSetup.h"

int main(int argc, char** argv) {
    JobContext context;
    JobScope scope(&context);
    Job job;
    int status = 0;
    if (setupJob(argc, argv, &job, &status)) status = runPageLoop(&job);
    releaseJob(&job);
    // A lost printer connection must not pass for a printed job.
    if ((fflush(stdout) != 0 || ferror(stdout)) && !jobCancelled() && status == 0) {
        logMsg("ERROR: Unable to write the printer stream: %s\n", strerror(errno));
        status = 1;
    }
    return status;
}
