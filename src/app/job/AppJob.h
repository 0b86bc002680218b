// One PAPPL job on its way through the page-stream core: its context (its
// log goes to the job's log and state, its cancel is PAPPL's), its printer
// stream on the job's device, and the filter's inputs made from the job.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "Utility/JobContext.h"

struct AppJob {
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    JobContext context;
    FILE* out = nullptr;  // the printer stream, written to the device

    // The filter's command line.
    std::string job_id, user, title, copies, options;
    std::string job_uuid, originating_host;  // the client's, for their own rows
    std::string work_parent;                 // the private working directories go here

    std::string log_line;        // log text not yet ended by a line end
    std::string warning;         // said before the job started
    int impressions = 0;         // sheet sides the printer was sent
    bool device_failed = false;  // the printer refused the stream or dropped the connection
    // Pages the core sent, counted on its thread and read by Ghostscript's watchdog.
    std::atomic<int> pages_sent{0};
};

// Makes the job's inputs from PAPPL's job, options and printer defaults;
// nullptr without memory or a stream to the device. `dpi`, when not 0, is
// the resolution the client's raster has, which the job then prints at.
AppJob* newAppJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  int dpi = 0);

// Runs the core on the raster read from `raster_fd`, on this thread, with
// the job's context bound. Returns the filter's exit status.
int runAppJob(AppJob* app, int raster_fd);

// Closes the stream (flushing what is left to the device) and frees the job.
void deleteAppJob(AppJob* app);
