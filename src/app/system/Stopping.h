// Stopping the service (SIGTERM, SIGINT) with jobs in flight: every job
// printing ends its stream at the next page with a whole record flagged
// last, within seconds, and is printed again from its first page after the
// restart; queued jobs stay queued. (PAPPL would wait a minute for the jobs,
// and then end them as it could.)
#pragma once

#include <pappl/pappl.h>

// Takes SIGTERM and SIGINT over from PAPPL once the server runs, and ends
// the process when the jobs in flight have stopped (or after a few seconds)
// with the state saved in STATE_FILE, which must outlive the server.
void watchForStop(pappl_system_t* system, const char* state_file);
