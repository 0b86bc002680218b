#include "app/job/AppJob.h"

#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "JobParamsProc/JobParamsProc.h"
#include "Utility/Log.h"
#include "app/device/SocketDevice.h"
#include "app/job/JobSettings.h"
#include "app/job/PageSetup.h"
#include "app/job/PpdText.h"
#include "app/state/Config.h"
#include "app/state/Stop.h"
#include "stream/JobStart.h"

// The core's log lines, each at its level in the job's log.
static void logLine(AppJob* app, const std::string& line) {
    static const struct {
        const char* word;
        pappl_loglevel_t level;
    } kWords[] = {{"ERROR: ", PAPPL_LOGLEVEL_ERROR},
                  {"WARNING: ", PAPPL_LOGLEVEL_WARN},
                  {"INFO: ", PAPPL_LOGLEVEL_INFO},
                  {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& word : kWords) {
        if (line.compare(0, strlen(word.word), word.word) == 0) {
            papplLogJob(app->job, word.level, "%s", line.c_str() + strlen(word.word));
            return;
        }
    }
    papplLogJob(app->job, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
}

// What the core did: a record sent counts its sheet sides, a warning or an
// error becomes the job's message.
static void eventSink(void* data, const JobEvent& event) {
    AppJob* app = static_cast<AppJob*>(data);
    switch (event.kind) {
        case JobEvent::RecordSent:
            app->impressions += event.impressions;
            ++app->pages_sent;
            papplJobSetImpressionsCompleted(app->job, event.impressions);
            break;
        case JobEvent::Warning:
        case JobEvent::Error: papplJobSetMessage(app->job, "%s", event.reason.c_str()); break;
    }
}

static void logSink(void* data, const char* text, size_t len) {
    AppJob* app = static_cast<AppJob*>(data);
    app->log_line.append(text, len);
    size_t start = 0;
    for (size_t end; (end = app->log_line.find('\n', start)) != std::string::npos;
         start = end + 1) {
        logLine(app, app->log_line.substr(start, end - start));
    }
    app->log_line.erase(0, start);
}

// A stopping server ends the stream at the next page, as a cancelled job does.
static bool cancelProbe(void* data) {
    return papplJobIsCanceled(static_cast<pappl_job_t*>(data)) || serverStopping();
}

// The printer stream: stdio's buffer, then the device, flushed with it so
// that a record reported sent has left the application. A failed write
// gives 0, which marks the stream in error: glibc counts a -1 from a cookie
// as a huge byte count when it writes a large block past its buffer, and
// then reads past the caller's data.
static ssize_t deviceWrite(void* cookie, const char* buffer, size_t size) {
    AppJob* app = static_cast<AppJob*>(cookie);
    if (papplDeviceWrite(app->device, buffer, size) < 0) {
        app->device_failed = true;
        errno = EIO;
        return 0;
    }
    papplDeviceFlush(app->device);
    return (ssize_t)size;
}

static std::string attributeText(pappl_job_t* job, const char* name) {
    ipp_attribute_t* attr = papplJobGetAttribute(job, name);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? value : "";
}

// The printer's feed-orientation-default, as the web page or
// Set-Printer-Attributes left it (PAPPL 1.3.1 looks for a vendor default
// among the job's attributes only).
static std::string printerFeedOrientation(pappl_printer_t* printer) {
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    const char* value = ippGetString(
        ippFindAttribute(attrs, "feed-orientation-default", IPP_TAG_KEYWORD), 0, nullptr);
    std::string feed = value ? value : "short-edge-first";
    ippDelete(attrs);
    return feed;
}

AppJob* newAppJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, int dpi) {
    AppJob* app = new AppJob;
    app->job = job;
    app->device = device;
    app->work_parent = appConfig().spool;
    app->context.log_sink = logSink;
    app->context.event_sink = eventSink;
    app->context.log_sink_data = app;
    app->context.event_sink_data = app;
    app->context.cancel_probe = cancelProbe;
    app->context.cancel_probe_data = job;
    cookie_io_functions_t io = {nullptr, deviceWrite, nullptr, nullptr};
    app->out = fopencookie(app, "w", io);
    if (app->out == nullptr) {
        delete app;
        return nullptr;
    }
    setvbuf(app->out, nullptr, _IOFBF, 64 * 1024);
    socketDeviceSetJob(device, job);
    jobInFlight();

    IppJobSettings s;
    s.media = options->media.size_name;
    s.source = options->media.source;
    s.type = options->media.type;
    s.sides = sidesKeyword(options->sides);
    s.resolution = dpi != 0 ? dpi : appJobResolution(job, options);
    const char* feed = cupsGetOption("feed-orientation", options->num_vendor, options->vendor);
    s.feed_orientation = feed ? feed : printerFeedOrientation(papplJobGetPrinter(job));
    // PAPPL 1.3.1 tells every client that collated copies are the default:
    // a job that does not say otherwise gets them, as a user of a page
    // printer expects sets of the document.
    std::string handling = attributeText(job, "multiple-document-handling");
    s.collate = handling == "separate-documents-uncollated-copies" ? COLLATE_NO : COLLATE_YES;
    app->job_uuid = attributeText(job, "job-uuid");
    app->originating_host = attributeText(job, "job-originating-host-name");
    s.time_at_creation = (long)papplJobGetTimeCreated(job);
    s.time_at_processing = (long)papplJobGetTimeProcessed(job);
    if (s.time_at_processing == 0) s.time_at_processing = (long)time(nullptr);
    app->options = filterOptions(s, &app->warning);

    app->job_id = std::to_string(papplJobGetID(job));
    const char* user = papplJobGetUsername(job);
    app->user = user ? user : "";
    const char* name = papplJobGetName(job);
    app->title = name ? name : "";
    app->copies = std::to_string(options->copies > 0 ? options->copies : 1);
    return app;
}

int runAppJob(AppJob* app, int raster_fd) {
    JobScope scope(&app->context);
    registerOptionSecrets(app->options.c_str(), tblDefParam);
    logMsg("DEBUG: job %s of %s, %s copies, options %s\n", app->job_id.c_str(), app->user.c_str(),
           app->copies.c_str(), app->options.c_str());
    if (!app->warning.empty()) logMsg("WARNING: %s\n", app->warning.c_str());
    JobRequest request;
    request.job_id = app->job_id.c_str();
    request.user = app->user.c_str();
    request.title = app->title.c_str();
    request.copies = app->copies.c_str();
    request.options = app->options.c_str();
    request.job_uuid = app->job_uuid.c_str();
    request.originating_host = app->originating_host.c_str();
    request.ppd_text = QUELMOSS_PPD_TEXT;
    request.work_dir = app->work_parent.c_str();
    request.private_work_dir = true;
    request.raster_fd = raster_fd;
    request.pages_in_memory = true;
    request.out = app->out;
    int status = runJob(request);
    if (!app->log_line.empty()) logSink(app, "\n", 1);
    return status;
}

void deleteAppJob(AppJob* app) {
    if (app == nullptr) return;
    if (app->out != nullptr) fclose(app->out);
    socketDeviceSetJob(app->device, nullptr);
    jobLanded();
    delete app;
    // What the job's pages freed goes back to the system between jobs.
    malloc_trim(0);
}
