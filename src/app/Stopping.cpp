#include "Stopping.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

#include "Driver.h"
#include "SocketDevice.h"

// The longest the stop waits for the jobs in flight to close their streams.
constexpr int STOP_WAIT_S = 8;

namespace {

volatile sig_atomic_t stop_signal = 0;
std::atomic<time_t> stop_time{0};

void onStopSignal(int signal) { stop_signal = signal; }

struct StopWatch {
    AppData* app;
    bool handlers_installed = false;
};

bool watchStop(pappl_system_t* system, void* data) {
    StopWatch* watch = static_cast<StopWatch*>(data);
    if (!watch->handlers_installed) {
        // PAPPL sets its own handlers as it starts to run, before timers.
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        watch->handlers_installed = true;
    }
    if (stop_signal == 0) return true;
    AppData* app = watch->app;
    time_t now = time(nullptr);
    if (stop_time == 0) {
        stop_time = now;
        socketDevicesStopping();
        papplLog(system, PAPPL_LOGLEVEL_INFO,
                 "Stopping (signal %d): the jobs printing end at their next page and are "
                 "printed again after the restart",
                 (int)stop_signal);
    }
    if (app->in_flight.load() > app->held_for_restart.load() && now - stop_time < STOP_WAIT_S) {
        return true;
    }
    if (!papplSystemSaveState(system, app->state_file.c_str())) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to %s",
                 app->state_file.c_str());
    }
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopped: %d job(s) are printed again after the restart",
             app->held_for_restart.load());
    // PAPPL's own shutdown waits for every queued job; the queued jobs are
    // kept in the saved state instead.
    _exit(0);
}

}  // namespace

void watchForStop(pappl_system_t* system, AppData* app) {
    static StopWatch watch;  // one per process: signals are
    watch.app = app;
    papplSystemAddTimerCallback(system, time(nullptr), 1, watchStop, &watch);
}

bool serverStopping() { return stop_signal != 0; }

void jobInFlight(AppData* app) { ++app->in_flight; }

void jobLanded(AppData* app) { --app->in_flight; }

void holdForRestart(pappl_job_t* job, AppData* app) {
    if (!serverStopping()) return;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Stopped at a page's end, printed again after the restart");
    ++app->held_for_restart;
    for (;;) pause();
}
