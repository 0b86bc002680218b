// Everything a job does before its first page, for either front end: the
// job's settings from the options, the command line, the PPD and the
// credentials file, the working directory, the raster input and the job
// block that heads the printer stream.
#pragma once

#include <cstdio>

#include "Job.h"

// What a front end hands the core: the values a CUPS filter gets on its
// command line (job user title copies options), the printer's PPD, where
// the raster comes from and where the printer stream goes.
struct JobRequest {
    const char* job_id = "";
    const char* user = "";
    const char* title = "";
    const char* copies = "1";
    const char* options = "";
    // Identity values a printer application's client chose: set as the
    // values of their own rows, never read as options. Null: from options.
    const char* job_uuid = nullptr;
    const char* originating_host = nullptr;
    const char* ppd_path = nullptr;  // the PPD's file, or
    const char* ppd_text = nullptr;  // its text
    // The shared working directory, or, with private_work_dir, the
    // directory a directory of the job's own is made in; none is opened
    // for a job whose pages stay in memory.
    const char* work_dir = nullptr;
    bool private_work_dir = false;
    const char* raster_file = nullptr;  // else raster_fd is read
    int raster_fd = -1;
    // Pages stay in memory and are encoded with libjbig on threads of this
    // process, with the encoder's options, rather than stored as files for
    // the encoder program: for a host that runs many jobs, where a process
    // and two files a page cost more than the encoding.
    bool pages_in_memory = false;
    FILE* out = nullptr;
};

// Starts the job. Returns true when the page loop should run; false when
// the job ends here, with *exit_status set (1: no buffers, no PPD, no
// working directory or a raster file that can't be opened or read; 0: no
// page in the input). The option secrets are registered by the caller,
// before it logs anything.
bool startJob(const JobRequest& request, Job* job, int* exit_status);

// Releases the PPD, the options, the raster stream, the buffers and the
// working directory.
void releaseJob(Job* job);

// The whole job: start, page loop, release; a printer stream that could not
// be written to its end fails a job that would else pass. Returns the
// filter's exit status.
int runJob(const JobRequest& request);
