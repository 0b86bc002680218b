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
#include "app/job/PpdText.h"
#include "app/queue/Requeue.h"
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

const char* sidesKeyword(pappl_sides_t sides) {
    if (sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE) return "two-sided-long-edge";
    if (sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE) return "two-sided-short-edge";
    return "one-sided";
}

int appJobResolution(pappl_job_t* job, const pappl_pr_options_t* options) {
    ipp_attribute_t* asked = papplJobGetAttribute(job, "printer-resolution");
    int dpi = 0;
    if (asked != nullptr) {
        int y = 0;
        ipp_res_t units;
        dpi = ippGetResolution(asked, 0, &y, &units);
        if (units == IPP_RES_PER_CM) dpi = dpi * 254 / 100;
    } else if (papplJobGetAttribute(job, "print-quality") == nullptr) {
        // The printer's printer-resolution-default (PAPPL 1.3.1 takes the
        // job's resolution from print-quality alone), when it is not the
        // driver's own: print-quality-default decides then.
        pappl_pr_driver_data_t driver;
        papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
        if (driver.x_default != driver.x_resolution[0]) dpi = driver.x_default;
    }
    return jobResolution(dpi, (int)options->print_quality);
}

void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options) {
    int dpi = appJobResolution(job, options);
    options->printer_resolution[0] = options->printer_resolution[1] = dpi;
    const MediaSize* size = mediaSize(options->media.size_name);
    if (size == nullptr) size = &kMedia[0];
    pwg_media_t media = {};
    media.pwg = size->pwg;
    media.width = size->width_pt * 2540 / 72;
    media.length = size->height_pt * 2540 / 72;
    const char* sides = sidesKeyword(options->sides);
    cups_page_header2_t& h = options->header;
    cupsRasterInitPWGHeader(&h, &media, "black_1", dpi, dpi, sides, "normal");
    h.PageSize[0] = (unsigned)size->width_pt;
    h.PageSize[1] = (unsigned)size->height_pt;
    // Rounded, as Ghostscript rounds them.
    h.cupsWidth = pointsToPixels(size->width_pt, (unsigned)dpi);
    h.cupsHeight = pointsToPixels(size->height_pt, (unsigned)dpi);
    h.cupsBytesPerLine = (h.cupsWidth + 7) / 8;
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

void deleteAppJob(AppJob* app) {
    if (app == nullptr) return;
    if (app->out != nullptr) fclose(app->out);
    socketDeviceSetJob(app->device, nullptr);
    jobLanded();
    delete app;
    // What the job's pages freed goes back to the system between jobs.
    malloc_trim(0);
}
