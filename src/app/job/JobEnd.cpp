#include "app/job/JobEnd.h"

#include "app/device/SocketDevice.h"
#include "app/job/AppJob.h"
#include "app/queue/Requeue.h"
#include "app/state/Stop.h"

// How a job ended on the printer: true when it printed (or was cancelled).
bool settleJob(pappl_job_t* job, const pappl_pr_options_t& settings, AppJob* app, int status) {
    holdForRestart(job);
    // What the printer did not take whole is not printed: a printer that
    // drops a short job has all of it in its socket's buffers.
    if (status == 0 && !app->device_failed && !papplJobIsCanceled(job) &&
        !socketDeviceDelivered(app->device)) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The printer did not take the whole stream");
        app->device_failed = true;
    }
    if (app->device_failed && !papplJobIsCanceled(job)) {
        if (canPrintAgain(job)) printAgain(job, settings);
        return false;
    }
    if (status == 0) printerTookStream(job);
    return status == 0;
}

// The job's impressions are the sides the core sent.
void settleImpressions(pappl_job_t* job, const AppJob* app) {
    papplJobSetImpressionsCompleted(job, app->impressions - papplJobGetImpressionsCompleted(job));
}
