// Stopping the service (SIGTERM, SIGINT) with jobs in flight: every job
// printing ends its stream at the next page with a whole record flagged
// last, within seconds, and is printed again from its first page after the
// restart; queued jobs stay queued. (PAPPL would wait a minute for the jobs,
// and then end them as it could.)
#pragma once

#include <pappl/pappl.h>

struct AppData;

// Takes SIGTERM and SIGINT over from PAPPL once the server runs, and ends
// the process when the jobs in flight have stopped (or after a few seconds)
// with the state saved.
void watchForStop(pappl_system_t* system, AppData* app);

// Whether the server is stopping.
bool serverStopping();

// A job starts and ends its run through the core.
void jobInFlight(AppData* app);
void jobLanded(AppData* app);

// When the server is stopping, holds the calling job's thread until the
// process ends, so that the job is kept as printing and printed again after
// the restart; returns at once otherwise.
void holdForRestart(pappl_job_t* job, AppData* app);
