// How a job ended on the printer: the impressions it counts, and whether it
// printed, was cancelled, or is printed again because the printer dropped
// the connection.
#pragma once

#include <pappl/pappl.h>

struct AppJob;

// The job's impressions are the sides the core sent.
void settleImpressions(pappl_job_t* job, const AppJob* app);

// True when the job printed (or was cancelled). A spooled job whose printer
// dropped the connection is queued again as a new job of the same user and
// settings; `status` is the core's exit status.
bool settleJob(pappl_job_t* job, const pappl_pr_options_t& settings, AppJob* app, int status);
