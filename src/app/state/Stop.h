// The server's stop, as every room sees it: the signal sets the flag, the
// stop's first tick starts the one clock every wait on a printer is bounded
// by, and the jobs in flight are counted so the stop knows when they have
// closed their streams.
#pragma once

#include <pappl/pappl.h>

#include <ctime>

// From the signal handler: the server is stopping (async-signal-safe).
void noteStopSignal(int signal);
// The signal that stops the server; 0 while it runs.
int stopSignal();
bool serverStopping();

// Starts the stop's clock, once; the time it started (0: not yet).
time_t startStopClock();
time_t stopClockStart();

// A job starts and ends its run through the core.
void jobInFlight();
void jobLanded();
int jobsInFlight();

// When the server is stopping, holds the calling job's thread until the
// process ends, so that the job is kept as printing and printed again after
// the restart; returns at once otherwise.
void holdForRestart(pappl_job_t* job);
int jobsHeldForRestart();
