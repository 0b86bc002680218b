// How a job ended on the printer, and a job printed again after the printer
// dropped the connection.
#include "JobEnd.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "AppJob.h"
#include "Documents.h"
#include "Driver.h"
#include "SocketDevice.h"
#include "Stopping.h"

// ---------------------------------------------------------------------------
// A printer that dropped the connection: what it got is not a whole job, so
// a spooled document is printed again from its start, as a new job of the
// same user with the same settings. After MAX_REQUEUES drops in a row the
// job is given up.

constexpr int MAX_REQUEUES = 3;
static const char* const kSpooledFormats[] = {"application/pdf", "image/jpeg", "image/png",
                                              SPOOLED_PWG_RASTER, SPOOLED_APPLE_RASTER};

// The job's format as kept in kSpooledFormats, or null for a document
// that was not spooled (streamed raster) and can't be read again.
static const char* spooledFormat(pappl_job_t* job) {
    const char* format = papplJobGetFormat(job);
    for (const char* spooled : kSpooledFormats) {
        if (format != nullptr && strcmp(spooled, format) == 0) return spooled;
    }
    return nullptr;
}

static void addOption(pappl_job_t* job, const char* name, int* count, cups_option_t** options) {
    ipp_attribute_t* attr = papplJobGetAttribute(job, name);
    char value[1024];
    if (attr != nullptr && ippAttributeString(attr, value, sizeof(value)) > 0) {
        *count = cupsAddOption(name, value, *count, options);
    }
}

// A job to queue again once the one that failed has ended: until then
// PAPPL keeps the dropped connection open for the printer's next job.
struct Requeue {
    pappl_printer_t* printer;
    const char* format;  // kept: one of kSpooledFormats
    const char* user;    // kept in AppData
    const char* name;    // kept in AppData
    std::string file;
    int count = 0;
    cups_option_t* options = nullptr;
};

static bool queueAgain(pappl_system_t*, void* data) {
    Requeue* again = static_cast<Requeue*>(data);
    pappl_job_t* job =
        papplJobCreateWithFile(again->printer, again->user, again->format, again->name,
                               again->count, again->options, again->file.c_str());
    if (job == nullptr) {
        papplLogPrinter(again->printer, PAPPL_LOGLEVEL_ERROR, "Unable to queue %s again",
                        again->name);
        unlink(again->file.c_str());
    }
    cupsFreeOptions(again->count, again->options);
    delete again;
    return false;  // once
}

// Queues the job again; says so in its message either way.
static void requeue(pappl_job_t* job, const pappl_pr_options_t& settings, AppData* app_data) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    int drops;
    {
        std::lock_guard<std::mutex> lock(app_data->lock);
        drops = ++app_data->drops[papplPrinterGetID(printer)];
    }
    if (drops > MAX_REQUEUES) {
        papplJobSetMessage(job, "The printer dropped the connection %d times in a row", drops);
        return;
    }
    // The new job's document: a second name of this job's file in the
    // spool, which the new job removes when it ends.
    Requeue* again = new Requeue;
    again->printer = printer;
    again->file = std::string(papplJobGetFilename(job)) + ".again";
    if (link(papplJobGetFilename(job), again->file.c_str()) != 0) {
        papplJobSetMessage(job, "The printer dropped the connection");
        delete again;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(app_data->lock);
        again->user = app_data->kept_names.insert(papplJobGetUsername(job)).first->c_str();
        const char* name = papplJobGetName(job);
        again->name = app_data->kept_names.insert(name ? name : "untitled").first->c_str();
    }
    again->format = spooledFormat(job);
    for (const char* option : {"copies", "sides", "print-quality", "printer-resolution",
                               "multiple-document-handling", "feed-orientation", "page-ranges"}) {
        addOption(job, option, &again->count, &again->options);
    }
    again->count = cupsAddOption("media", settings.media.size_name, again->count, &again->options);
    again->count =
        cupsAddOption("media-source", settings.media.source, again->count, &again->options);
    again->count = cupsAddOption("media-type", settings.media.type, again->count, &again->options);
    papplSystemAddTimerCallback(papplPrinterGetSystem(printer), time(nullptr) + 1, 0, queueAgain,
                                again);
    papplJobSetMessage(job, "The printer dropped the connection; the job is printed again");
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Printer dropped the connection, the job is queued again");
}

// The printer took the whole stream: it is online, and a drop starts its
// count again.
static void streamSent(pappl_job_t* job, AppData* app_data) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    std::lock_guard<std::mutex> lock(app_data->lock);
    app_data->drops[papplPrinterGetID(printer)] = 0;
}

// How a job ended on the printer: true when it printed (or was cancelled).
bool settleJob(pappl_job_t* job, const pappl_pr_options_t& settings, AppJob* app, int status) {
    AppData* app_data = appData(job);
    holdForRestart(job, app_data);
    // What the printer did not take whole is not printed: a printer that
    // drops a short job has all of it in its socket's buffers.
    if (status == 0 && !app->device_failed && !papplJobIsCanceled(job) &&
        !socketDeviceDelivered(app->device)) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The printer did not take the whole stream");
        app->device_failed = true;
    }
    if (app->device_failed && !papplJobIsCanceled(job)) {
        if (spooledFormat(job) != nullptr) requeue(job, settings, app_data);
        return false;
    }
    if (status == 0) streamSent(job, app_data);
    return status == 0;
}

// The job's impressions are the sides the core sent.
void settleImpressions(pappl_job_t* job, const AppJob* app) {
    papplJobSetImpressionsCompleted(job, app->impressions - papplJobGetImpressionsCompleted(job));
}
