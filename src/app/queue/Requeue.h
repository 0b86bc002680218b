// A printer that dropped the connection: what it got is not a whole job, so
// a spooled document is printed again from its start, as a new job of the
// same user with the same settings. After a few drops in a row the job is
// given up.
#pragma once

#include <pappl/pappl.h>

// Whether JOB's document was spooled, so that it can be read again.
bool canPrintAgain(pappl_job_t* job);

// Queues JOB's document again with its SETTINGS as a new job, once JOB has
// ended; the job's message says so, or why not.
void printAgain(pappl_job_t* job, const pappl_pr_options_t& settings);

// The printer took JOB's whole stream: it is online, and a drop starts its
// count again.
void printerTookStream(pappl_job_t* job);
