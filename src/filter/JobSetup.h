// The filter's front end: its arguments, standard descriptors and signals,
// handed on to the page-stream core's job start.
#pragma once

#include "../stream/JobStart.h"

// SIGTERM handler: logs once and cancels the job bound to the main thread;
// the page loop then ends the job after the current page.
void sighandler(int signal_number);

// Sets the job up from the filter arguments (job user title copies options
// [file]) and the PPD environment variable. Returns true when the page loop
// should run; false when the job ends here, with *exit_status set
// (1: bad arguments, no buffers, no PPD, no working directory or a raster
// file that can't be opened; 0: no page in the input).
bool setupJob(int argc, char** argv, Job* job, int* exit_status);
