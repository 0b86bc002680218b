// The printers' queues as people expect them: jobs print in the order they
// were accepted, and queued jobs outlive the server.
//
// PAPPL starts the newest pending job of a printer, and only when something
// asks it to. So when a job ends, the younger waiting jobs are held back
// (their message says why) and only the oldest is left to start; each job's
// end lets the next one go. A job that was printing when the server died is
// printed again from its first page.
#pragma once

#include <pappl/pappl.h>

#include <string>

// Before PAPPL reads its state: a job that was printing (or held back) is
// pending again, a job without a format no longer stops the reading of the
// jobs after it, every printer's next job id moves past the ids its spooled
// files use, and the working directories a killed job left in SPOOL go.
void recoverQueue(pappl_system_t* system, const std::string& state_file, const std::string& spool);

// A job's turn on its printer, for as long as its filter runs: it waits
// while another job of the printer is in a filter (PAPPL 1.3.1 may start a
// second one while the first starts), and at its end, before PAPPL looks
// for the next job, only the printer's oldest waiting job is left to start.
class QueueTurn {
   public:
    explicit QueueTurn(pappl_job_t* job);
    ~QueueTurn();
    QueueTurn(const QueueTurn&) = delete;
    QueueTurn& operator=(const QueueTurn&) = delete;

   private:
    pappl_job_t* job_;
};

// Every few seconds, a printer with no job printing starts its oldest
// waiting job: after a restart, and after the printer is resumed.
void startQueueKeeper(pappl_system_t* system);
