// A job cancelled in the moment between PAPPL 1.3.1 giving it a thread and
// that thread marking it processing is finished as a waiting job (its
// document removed), then started all the same: the filter would open a
// file that is gone. Such a cancel waits until the job is processing, when
// PAPPL cancels it as a printing job: the filter sees it, ends its stream
// with a whole record and the document is removed after.
#include <pappl/pappl.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "Pappl131.h"

namespace {
std::mutex g_starting_lock;
std::set<pappl_job_t*> g_starting;  // given a thread, not yet processing

bool starting(pappl_job_t* job) {
    std::lock_guard<std::mutex> hold(g_starting_lock);
    return g_starting.count(job) != 0;
}
}  // namespace

extern "C" {
void* _papplJobProcess(pappl_job_t* job) {
    static const auto own = papplOwnFunction<void* (*)(pappl_job_t*)>("_papplJobProcess");
    {
        std::lock_guard<std::mutex> hold(g_starting_lock);
        g_starting.insert(job);
    }
    // (PAPPL marks it processing first thing; the thread is the job's
    // until it is finished.)
    void* result = own(job);
    std::lock_guard<std::mutex> hold(g_starting_lock);
    g_starting.erase(job);
    return result;
}

void papplJobCancel(pappl_job_t* job) {
    static const auto own = papplOwnFunction<void (*)(pappl_job_t*)>("papplJobCancel");
    // At most 5 s: a thread that has not started by then is not coming.
    for (int waited = 0; job != nullptr && waited < 5000 && starting(job) &&
                         papplJobGetState(job) == IPP_JSTATE_PENDING;
         waited++) {
        usleep(1000);
    }
    own(job);
}
}
