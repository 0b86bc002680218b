// The filter's front end: its arguments, standard descriptors and signals,
// handed on to the page-stream core's job start.
#pragma once

#include "../stream/JobStart.h"

// SIGTERM handler: logs once and cancels the job bound to the main thread;
// the page loop then ends the job after the current page.
void sighandler(int signal_number);

// Runs the job the filter arguments (job user title copies options [file])
// and the PPD environment variable describe, raster from the named file or
// standard input to the printer stream on standard output. Returns the exit
// status: 1 for bad arguments or a closed standard output, else the job's.
int runFilter(int argc, char** argv);
