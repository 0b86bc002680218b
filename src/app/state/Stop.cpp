#include "app/state/Stop.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {
volatile sig_atomic_t g_signal = 0;
std::atomic<time_t> g_since{0};
std::atomic<int> g_in_flight{0};
std::atomic<int> g_held{0};
}  // namespace

void noteStopSignal(int signal) { g_signal = signal; }

int stopSignal() { return g_signal; }

bool serverStopping() { return g_signal != 0; }

time_t startStopClock() {
    time_t expected = 0;
    g_since.compare_exchange_strong(expected, time(nullptr));
    return g_since.load();
}

time_t stopClockStart() { return g_since.load(); }

void jobInFlight() { ++g_in_flight; }

void jobLanded() { --g_in_flight; }

int jobsInFlight() { return g_in_flight.load(); }

void holdForRestart(pappl_job_t* job) {
    if (!serverStopping()) return;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Stopped at a page's end, printed again after the restart");
    ++g_held;
    for (;;) pause();
}

int jobsHeldForRestart() { return g_held.load(); }
