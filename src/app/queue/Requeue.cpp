#include "app/queue/Requeue.h"

#include <unistd.h>

#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "app/state/Formats.h"

// Drops in a row after which the job is given up.
constexpr int MAX_REQUEUES = 3;

namespace {
// What the queue keeps across jobs, on the printers' threads.
std::mutex g_lock;
std::map<int, int> g_drops;  // printer id: connections dropped in a row
// The user and job names of jobs queued again: PAPPL keeps the pointers
// a job is created with for the job's life.
std::set<std::string> g_kept_names;
}  // namespace

// The job's format as the format table keeps it, or null for a document
// that was not spooled (streamed raster) and can't be read again.
static const char* spooledFormat(pappl_job_t* job) {
    const DocumentFormat* format = findDocumentFormat(papplJobGetFormat(job), true);
    return format ? format->spooled : nullptr;
}

bool canPrintAgain(pappl_job_t* job) { return spooledFormat(job) != nullptr; }

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
    const char* format;  // kept: the format table's
    const char* user;    // kept in g_kept_names
    const char* name;    // kept in g_kept_names
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
void printAgain(pappl_job_t* job, const pappl_pr_options_t& settings) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    int drops;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        drops = ++g_drops[papplPrinterGetID(printer)];
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
        std::lock_guard<std::mutex> lock(g_lock);
        again->user = g_kept_names.insert(papplJobGetUsername(job)).first->c_str();
        const char* name = papplJobGetName(job);
        again->name = g_kept_names.insert(name ? name : "untitled").first->c_str();
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
void printerTookStream(pappl_job_t* job) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    std::lock_guard<std::mutex> lock(g_lock);
    g_drops[papplPrinterGetID(printer)] = 0;
}
