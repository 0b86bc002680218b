#include "app/system/Stopping.h"

#include <unistd.h>

#include <csignal>
#include <ctime>

#include "app/state/Stop.h"

// The longest the stop waits for the jobs in flight to close their streams.
constexpr int STOP_WAIT_S = 8;

namespace {

struct StopWatch {
    const char* state_file = nullptr;
    bool handlers_installed = false;
};

bool watchStop(pappl_system_t* system, void* data) {
    StopWatch* watch = static_cast<StopWatch*>(data);
    if (!watch->handlers_installed) {
        // PAPPL sets its own handlers as it starts to run, before timers.
        struct sigaction action = {};
        action.sa_handler = noteStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        watch->handlers_installed = true;
    }
    if (!serverStopping()) return true;
    time_t now = time(nullptr);
    if (stopClockStart() == 0) {
        startStopClock();
        papplLog(system, PAPPL_LOGLEVEL_INFO,
                 "Stopping (signal %d): the jobs printing end at their next page and are "
                 "printed again after the restart",
                 stopSignal());
    }
    if (jobsInFlight() > jobsHeldForRestart() && now - stopClockStart() < STOP_WAIT_S) {
        return true;
    }
    if (!papplSystemSaveState(system, watch->state_file)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to %s", watch->state_file);
    }
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopped: %d job(s) are printed again after the restart",
             jobsHeldForRestart());
    // PAPPL's own shutdown waits for every queued job; the queued jobs are
    // kept in the saved state instead.
    _exit(0);
}

}  // namespace

void watchForStop(pappl_system_t* system, const char* state_file) {
    static StopWatch watch;  // one per process: signals are
    watch.state_file = state_file;
    papplSystemAddTimerCallback(system, time(nullptr), 1, watchStop, &watch);
}
