// One PAPPL job on its way through the page-stream core, from its start to
// its end: the page header its pages are rendered to, its context (its log
// goes to the job's log and state, its cancel is PAPPL's), its printer
// stream on the job's device, the filter's inputs made from the job, and how
// it ended on the printer (printed, cancelled, or printed again because the
// printer dropped the connection).
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

// The IPP keyword of PAPPL's sides value.
const char* sidesKeyword(pappl_sides_t sides);

// The resolution PAPPL's page header must have for this job.
int appJobResolution(pappl_job_t* job, const pappl_pr_options_t* options);

// The page header a job's pages are rendered to: 1-bit black at the job's
// resolution, the paper's pixels counted from the PPD's size in points, as
// Ghostscript counts them for the filter.
void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options);

// Makes the job's inputs from PAPPL's job, options and printer defaults;
// nullptr without memory or a stream to the device. `dpi`, when not 0, is
// the resolution the client's raster has, which the job then prints at.
AppJob* newAppJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  int dpi = 0);

// Runs the core on the raster read from `raster_fd`, on this thread, with
// the job's context bound. Returns the filter's exit status.
int runAppJob(AppJob* app, int raster_fd);

// The job's impressions are the sides the core sent.
void settleImpressions(pappl_job_t* job, const AppJob* app);

// True when the job printed (or was cancelled). A spooled job whose printer
// dropped the connection is queued again as a new job of the same user and
// settings; `status` is the core's exit status.
bool settleJob(pappl_job_t* job, const pappl_pr_options_t& settings, AppJob* app, int status);

// Closes the stream (flushing what is left to the device) and frees the job.
void deleteAppJob(AppJob* app);
