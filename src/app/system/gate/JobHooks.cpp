// PAPPL 1.3.1 gives a job a thread and the thread then marks it processing.
// A cancel in between finishes it as a waiting job (its document removed),
// and the thread prints it all the same, from a file that is gone. So a
// thread looks at its job first, under the same lock as every cancel: a job
// no longer waiting is left as it is, and a cancel of a job whose thread has
// looked waits until the job is processing, when PAPPL cancels it as a
// printing job: the filter sees it, ends its stream with a whole record and
// the document is removed after.
//
// A printer whose device does not open is stopped by PAPPL, which then
// tells every client "paused" and "Stopped.", as if an administrator had
// paused it. It shows "offline" and what the device said instead, until
// the device opens or an administrator does pause it.
//
// A printer's attributes carry the printer-id it has, even before a
// restart.
#include "app/system/gate/JobHooks.h"

#include <pappl/pappl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "app/job/PageRanges.h"
#include "app/state/Formats.h"
#include "app/system/gate/Pappl131.h"

namespace {
std::mutex g_starting_lock;         // held by every cancel
std::set<pappl_job_t*> g_starting;  // their threads have looked at them

// True while one of these jobs (JOB, or any of PRINTER's) has a thread that
// has not yet marked it processing. The caller holds g_starting_lock.
bool starting(pappl_job_t* job, pappl_printer_t* printer) {
    for (pappl_job_t* each : g_starting) {
        if ((each == job || papplJobGetPrinter(each) == printer) &&
            papplJobGetState(each) == IPP_JSTATE_PENDING) {
            return true;
        }
    }
    return false;
}

// At most 5 s: PAPPL marks the job processing as its thread starts.
void waitUntilProcessing(std::unique_lock<std::mutex>& hold, pappl_job_t* job,
                         pappl_printer_t* printer) {
    for (int waited = 0; waited < 5000 && starting(job, printer); waited++) {
        hold.unlock();
        usleep(1000);
        hold.lock();
    }
}

thread_local pappl_job_t* t_job = nullptr;  // the job this thread processes

// (Never destroyed: the clients' threads outlive main.)
std::mutex& g_offline_lock = *new std::mutex;
// By printer id: a printer deleted leaves its place in memory to the next.
auto& g_offline = *new std::map<int, std::string>;  // why its device did not open
auto& g_paused = *new std::set<int>;                // by an administrator

// The device's own error as it opens, kept for the printer's message, then
// logged as PAPPL would. (The device keeps the callback for its later
// errors too, so it can take nothing that lives on the opener's stack.)
thread_local std::string t_device_error;
void keepDeviceError(const char* message, void* data) {
    t_device_error = message ? message : "";
    papplLogDevice(message, data);
}

// PAPPL's "paused" (or "none", once an administrator resumed it) becomes
// "offline", given once.
void showOffline(ipp_t* ipp) {
    ipp_attribute_t* reasons = ippFindAttribute(ipp, "printer-state-reasons", IPP_TAG_KEYWORD);
    int slot = -1;
    bool offline = false;
    for (int i = 0; i < ippGetCount(reasons); i++) {
        const char* reason = ippGetString(reasons, i, nullptr);
        if (reason == nullptr) continue;
        if (strcmp(reason, "offline") == 0) offline = true;
        if (slot < 0 && (strcmp(reason, "paused") == 0 || strcmp(reason, "none") == 0)) slot = i;
    }
    if (slot < 0) return;
    if (offline) {
        ippDeleteValues(ipp, &reasons, slot, 1);
    } else {
        ippSetString(ipp, &reasons, slot, "offline");
    }
}
}  // namespace

std::string printerOfflineMessage(pappl_printer_t* printer) {
    std::lock_guard<std::mutex> hold(g_offline_lock);
    int id = papplPrinterGetID(printer);
    auto offline = g_offline.find(id);
    return offline != g_offline.end() && g_paused.count(id) == 0 ? offline->second : "";
}

extern "C" {
void* _papplJobProcess(pappl_job_t* job) {
    static const auto own = papplOwnFunction<void* (*)(pappl_job_t*)>("_papplJobProcess");
    static const auto cancel = papplOwnFunction<void (*)(pappl_job_t*)>("papplJobCancel");
    static const auto checkJobs =
        papplOwnFunction<void (*)(pappl_printer_t*)>("_papplPrinterCheckJobs");
    bool waiting;
    {
        std::lock_guard<std::mutex> hold(g_starting_lock);
        waiting = papplJobGetState(job) == IPP_JSTATE_PENDING;
        if (waiting && papplJobGetFilename(job) == nullptr) {
            cancel(job);  // (not a state PAPPL makes: nothing to print)
            waiting = false;
        }
        if (waiting) g_starting.insert(job);
    }
    if (!waiting) {
        // Cancelled or held before this thread ran: the printer's next job
        // is started as PAPPL would after this one.
        checkJobs(papplJobGetPrinter(job));
        return nullptr;
    }
    // (The thread is the job's until it is finished.)
    t_job = job;
    void* result = own(job);
    t_job = nullptr;
    std::lock_guard<std::mutex> hold(g_starting_lock);
    g_starting.erase(job);
    return result;
}

// (PAPPL holds the printer's lock here: nothing of it is asked but its id,
// which takes none.)
pappl_device_t* papplDeviceOpen(const char* device_uri, const char* name,
                                pappl_deverror_cb_t err_cb, void* err_data) {
    static const auto own =
        papplOwnFunction<pappl_device_t* (*)(const char*, const char*, pappl_deverror_cb_t, void*)>(
            "papplDeviceOpen");
    pappl_printer_t* printer = papplJobGetPrinter(t_job);
    if (printer == nullptr || err_cb != papplLogDevice)
        return own(device_uri, name, err_cb, err_data);
    t_device_error.clear();
    pappl_device_t* device = own(device_uri, name, keepDeviceError, err_data);
    std::lock_guard<std::mutex> hold(g_offline_lock);
    if (device != nullptr) {
        g_offline.erase(papplPrinterGetID(printer));
    } else {
        std::string why = t_device_error.empty() ? "it can't be opened" : t_device_error;
        g_offline[papplPrinterGetID(printer)] = std::string("The printer at ") +
                                                (device_uri ? device_uri : "?") +
                                                " does not answer (" + why + "); its jobs wait.";
    }
    return device;
}

void papplPrinterPause(pappl_printer_t* printer) {
    static const auto own = papplOwnFunction<void (*)(pappl_printer_t*)>("papplPrinterPause");
    {
        std::lock_guard<std::mutex> hold(g_offline_lock);
        g_paused.insert(papplPrinterGetID(printer));
    }
    own(printer);
}

void papplPrinterResume(pappl_printer_t* printer) {
    static const auto own = papplOwnFunction<void (*)(pappl_printer_t*)>("papplPrinterResume");
    {
        std::lock_guard<std::mutex> hold(g_offline_lock);
        g_paused.erase(papplPrinterGetID(printer));
    }
    own(printer);
}

// (private in 1.3.1: printer-private.h; the caller holds the printer's lock)
void _papplPrinterCopyAttributesNoLock(pappl_printer_t* printer, pappl_client_t* client,
                                       cups_array_t* ra, const char* format) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_printer_t*, pappl_client_t*, cups_array_t*, const char*)>(
            "_papplPrinterCopyAttributesNoLock");
    std::string message = printerOfflineMessage(printer);
    if (client == nullptr) {
        own(printer, client, ra, format);
        return;
    }
    // This printer's attributes alone (Get-Printers puts several in one
    // response), mended, then added to the response.
    PapplClientHead* head = clientHead(client);
    ipp_t* response = head->response;
    head->response = ippNew();
    own(printer, client, ra, format);
    if (!message.empty()) {
        showOffline(head->response);
        ipp_attribute_t* text =
            ippFindAttribute(head->response, "printer-state-message", IPP_TAG_TEXT);
        if (text != nullptr) ippSetString(head->response, &text, 0, message.c_str());
    }
    // PAPPL 1.3.1 gives a printer added while it runs printer-id 0 until a
    // restart, so the sub-commands that name a printer by its id can't.
    ipp_attribute_t* id = ippFindAttribute(head->response, "printer-id", IPP_TAG_INTEGER);
    if (id != nullptr) ippSetInteger(head->response, &id, 0, papplPrinterGetID(printer));
    // It says one page range; the gate takes several.
    ipp_attribute_t* ranges =
        ippFindAttribute(head->response, "max-page-ranges-supported", IPP_TAG_INTEGER);
    if (ranges != nullptr) ippSetInteger(head->response, &ranges, 0, MAX_PAGE_RANGES);
    for (ipp_attribute_t* attr = ippFirstAttribute(head->response); attr != nullptr;
         attr = ippNextAttribute(head->response)) {
        ippCopyAttribute(response, attr, 0);
    }
    ippDelete(head->response);
    head->response = response;
}

void papplJobCancel(pappl_job_t* job) {
    static const auto own = papplOwnFunction<void (*)(pappl_job_t*)>("papplJobCancel");
    std::unique_lock<std::mutex> hold(g_starting_lock);
    waitUntilProcessing(hold, job, nullptr);
    own(job);
}

// PWG and Apple raster spooled under their own types are printed by a
// filter whose target PAPPL does not look for, so that it does not list
// those types as formats a client may send (attributes, DNS-SD, device id).
void* _papplSystemFindMIMEFilter(pappl_system_t* system, const char* source, const char* target) {
    static const auto own = papplOwnFunction<void* (*)(pappl_system_t*, const char*, const char*)>(
        "_papplSystemFindMIMEFilter");
    void* filter = own(system, source, target);
    const DocumentFormat* format = findDocumentFormat(source, true);
    if (filter == nullptr && format != nullptr && format->reader == DocumentReader::Raster) {
        filter = own(system, source, SPOOLED_RASTER_FILTER_TARGET);
    }
    return filter;
}

void papplPrinterCancelAllJobs(pappl_printer_t* printer) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_printer_t*)>("papplPrinterCancelAllJobs");
    std::unique_lock<std::mutex> hold(g_starting_lock);
    waitUntilProcessing(hold, nullptr, printer);
    own(printer);
}
}
