// Everything the filter does before the first page: arguments, signals, the
// job's settings from the options, the command line, the PPD and the
// credentials file, the working directory, the raster input and the job
// block that heads the printer stream.
#pragma once

#include "Job.h"

// SIGTERM handler: logs once and sets cancel_job; the page loop then ends
// the job after the current page.
void sighandler(int signal_number);

// Sets the job up from the filter arguments (job user title copies options
// [file]) and the PPD environment variable. Returns true when the page loop
// should run; false when the job ends here, with *exit_status set
// (1: bad arguments, no buffers, no PPD, no working directory or a raster
// file that can't be opened; 0: no page in the input).
bool setupJob(int argc, char** argv, Job* job, int* exit_status);
