#include "app/system/gate/Gate.h"

#include <cups/pwg.h>
#include <sys/socket.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "app/job/JobSettings.h"
#include "app/job/PageRanges.h"
#include "app/state/Config.h"
#include "app/state/Formats.h"
#include "app/system/gate/HttpHooks.h"
#include "app/system/gate/ServerOptions.h"

namespace {

// Who may do an operation.
enum class Who {
    Anyone,
    Owner,       // the job's owner or an administrator
    Subscriber,  // the subscription's owner or an administrator
    Admin,
};

struct Operation {
    ipp_op_t op;
    Who who;
};

// Every operation PAPPL 1.3.1 answers; any other it refuses itself.
constexpr Operation kOperations[] = {
    {IPP_OP_PRINT_JOB, Who::Anyone},
    {IPP_OP_VALIDATE_JOB, Who::Anyone},
    {IPP_OP_CREATE_JOB, Who::Anyone},
    {IPP_OP_GET_PRINTER_ATTRIBUTES, Who::Anyone},
    {IPP_OP_GET_PRINTER_SUPPORTED_VALUES, Who::Anyone},
    {IPP_OP_GET_JOBS, Who::Anyone},
    {IPP_OP_GET_JOB_ATTRIBUTES, Who::Anyone},
    {IPP_OP_CANCEL_MY_JOBS, Who::Anyone},
    {IPP_OP_IDENTIFY_PRINTER, Who::Anyone},  // with a message: Admin
    {IPP_OP_GET_PRINTERS, Who::Anyone},
    {IPP_OP_GET_SYSTEM_ATTRIBUTES, Who::Anyone},
    {IPP_OP_CUPS_GET_DEFAULT, Who::Anyone},
    {IPP_OP_CUPS_GET_PRINTERS, Who::Anyone},
    {IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, Who::Anyone},  // printer events only
    {IPP_OP_GET_SUBSCRIPTIONS, Who::Anyone},             // one's own only
    {IPP_OP_CANCEL_JOB, Who::Owner},
    {IPP_OP_CLOSE_JOB, Who::Owner},
    {IPP_OP_HOLD_JOB, Who::Owner},
    {IPP_OP_RELEASE_JOB, Who::Owner},
    {IPP_OP_SEND_DOCUMENT, Who::Owner},
    {IPP_OP_CREATE_JOB_SUBSCRIPTIONS, Who::Owner},
    {IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES, Who::Subscriber},
    {IPP_OP_RENEW_SUBSCRIPTION, Who::Subscriber},
    {IPP_OP_CANCEL_SUBSCRIPTION, Who::Subscriber},
    {IPP_OP_GET_NOTIFICATIONS, Who::Subscriber},
    {IPP_OP_CANCEL_CURRENT_JOB, Who::Admin},
    {IPP_OP_CANCEL_JOBS, Who::Admin},
    {IPP_OP_DISABLE_PRINTER, Who::Admin},
    {IPP_OP_ENABLE_PRINTER, Who::Admin},
    {IPP_OP_HOLD_NEW_JOBS, Who::Admin},
    {IPP_OP_RELEASE_HELD_NEW_JOBS, Who::Admin},
    {IPP_OP_PAUSE_PRINTER, Who::Admin},
    {IPP_OP_PAUSE_PRINTER_AFTER_CURRENT_JOB, Who::Admin},
    {IPP_OP_RESUME_PRINTER, Who::Admin},
    {IPP_OP_SET_PRINTER_ATTRIBUTES, Who::Admin},
    {IPP_OP_CREATE_PRINTER, Who::Admin},
    {IPP_OP_DELETE_PRINTER, Who::Admin},
    {IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS, Who::Admin},
    {IPP_OP_DISABLE_ALL_PRINTERS, Who::Admin},
    {IPP_OP_ENABLE_ALL_PRINTERS, Who::Admin},
    {IPP_OP_PAUSE_ALL_PRINTERS, Who::Admin},
    {IPP_OP_PAUSE_ALL_PRINTERS_AFTER_CURRENT_JOB, Who::Admin},
    {IPP_OP_RESUME_ALL_PRINTERS, Who::Admin},
    {IPP_OP_SET_SYSTEM_ATTRIBUTES, Who::Admin},
    {IPP_OP_SHUTDOWN_ALL_PRINTERS, Who::Admin},
    {IPP_OP_PAPPL_FIND_DEVICES, Who::Admin},  // it scans the network
    {IPP_OP_PAPPL_FIND_DRIVERS, Who::Admin},
};

// What the gate knows of the request being processed on this thread, so
// the per-job privacy PAPPL asks for while it answers costs one
// administrator check a request.
struct RequestContext {
    pappl_client_t* client = nullptr;
    std::string user;
    bool admin_known = false;
    bool admin = false;
    // The PWG size a job request named, before PAPPL drops one the printer
    // does not have; "?" for one PWG does not define.
    std::string paper;
};
thread_local RequestContext t_request;

// The server's gate: set once before the server answers.
const GateSetup* g_setup = nullptr;
pappl_system_t* g_system = nullptr;

// Which host each job still waiting came from, and how many subscriptions
// each user holds.
std::mutex g_books_lock;
std::map<pappl_job_t*, std::string> g_job_hosts;
std::set<pappl_subscription_t*> g_counted_subscriptions;
std::map<std::string, int> g_user_subscriptions;

GateAnswer refuse(ipp_status_t status, std::string message) {
    GateAnswer answer;
    answer.kind = GateAnswer::Ipp;
    answer.status = status;
    answer.message = std::move(message);
    return answer;
}

// A job template value the printer can't honour, returned to the client
// in the unsupported group.
GateAnswer refuseValue(ipp_attribute_t* attr, std::string message) {
    GateAnswer answer = refuse(IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, std::move(message));
    answer.unsupported = ippGetName(attr);
    return answer;
}

// The printer puts one page on each side of a sheet: PAPPL 1.3.1 takes
// any number-up and prints it 1-up.
GateAnswer checkNumberUp(ipp_t* request) {
    ipp_attribute_t* up = ippFindAttribute(request, "number-up", IPP_TAG_ZERO);
    if (up == nullptr || (ippGetValueTag(up) == IPP_TAG_INTEGER && ippGetCount(up) == 1 &&
                          ippGetInteger(up, 0) == 1)) {
        return GateAnswer{};
    }
    return refuseValue(up,
                       "This printer prints one page on each side of a sheet: number-up "
                       "takes 1 only.");
}

// Several page ranges, which PAPPL 1.3.1 refuses: checked here, PAPPL gets
// the one range covering them, and the job made from this request all of
// them.
GateAnswer checkPageRanges(ipp_t* request) {
    ipp_attribute_t* ranges = ippFindAttribute(request, "page-ranges", IPP_TAG_ZERO);
    // (Elsewhere than in the job group PAPPL takes none for the job.)
    if (ranges == nullptr || ippGetCount(ranges) < 2 || ippGetGroupTag(ranges) != IPP_TAG_JOB) {
        return GateAnswer{};
    }
    std::string fault = pageRangesFault(ranges);
    if (!fault.empty()) return refuseValue(ranges, "The job's " + fault + ".");
    std::vector<PageRange> all = pageRangesOf(ranges);
    putPageRanges(request, {PageRange{all.front().first, all.back().last}});
    setNextJobPageRanges(std::move(all));
    return GateAnswer{};
}

// The paper size a job request names, as libcups spells it (never the
// client's own text); empty for none.
std::string askedPaper(ipp_t* request) {
    // (PAPPL reads media-col first.)
    const char* name = nullptr;
    ipp_attribute_t* media = ippFindAttribute(request, "media", IPP_TAG_ZERO);
    ipp_attribute_t* col = ippFindAttribute(request, "media-col", IPP_TAG_BEGIN_COLLECTION);
    if (col == nullptr && media != nullptr) {
        name = ippGetString(media, 0, nullptr);
    } else if (col != nullptr) {
        ipp_t* members = ippGetCollection(col, 0);
        ipp_attribute_t* size_name = ippFindAttribute(members, "media-size-name", IPP_TAG_ZERO);
        ipp_t* size = ippGetCollection(ippFindAttribute(members, "media-size", IPP_TAG_ZERO), 0);
        if (size_name != nullptr) {
            name = ippGetString(size_name, 0, nullptr);
        } else if (size != nullptr) {
            pwg_media_t* known = pwgMediaForSize(
                ippGetInteger(ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER), 0),
                ippGetInteger(ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER), 0));
            return known != nullptr && strncmp(known->pwg, "custom_", 7) != 0 ? known->pwg : "?";
        }
    }
    if (name == nullptr) return "";
    pwg_media_t* known = pwgMediaForPWG(name);
    if (known == nullptr) known = pwgMediaForLegacy(name);
    return known != nullptr ? known->pwg : "?";
}

GateAnswer refuseHttp(http_status_t status) {
    GateAnswer answer;
    answer.kind = GateAnswer::Http;
    answer.http = status;
    return answer;
}

std::string peerHost(pappl_client_t* client) {
    char text[256];
    httpAddrString(httpGetAddress(papplClientGetHTTP(client)), text, sizeof(text));
    return text;
}

bool isLocalSocket(pappl_client_t* client) {
    return httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL;
}

bool isAdmin(pappl_client_t* client, http_status_t* refusal) {
    if (t_request.client == client && t_request.admin_known) {
        *refusal = t_request.admin ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
        return t_request.admin;
    }
    *refusal = administratorStatus(client, *g_setup->policy);
    bool admin = *refusal == HTTP_STATUS_CONTINUE;
    if (t_request.client == client) {
        t_request.admin_known = true;
        t_request.admin = admin;
    }
    return admin;
}

// The printer and job a request names, as PAPPL reads its target.
void requestTarget(ipp_t* request, pappl_printer_t** printer, pappl_job_t** job) {
    *printer = nullptr;
    *job = nullptr;
    ipp_attribute_t* uri = ippFindAttribute(request, "printer-uri", IPP_TAG_URI);
    if (uri == nullptr) uri = ippFindAttribute(request, "job-uri", IPP_TAG_URI);
    if (uri == nullptr) return;
    char scheme[32], userpass[32], host[256], resource[256];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, ippGetString(uri, 0, nullptr), scheme, sizeof(scheme),
                        userpass, sizeof(userpass), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK) {
        return;
    }
    *printer = papplSystemFindPrinter(g_system, resource, 0, nullptr);
    if (*printer == nullptr) return;
    int job_id = 0;
    const char* slash = strrchr(resource, '/');
    if (strcmp(ippGetName(uri), "job-uri") == 0 && slash != nullptr) {
        char* end = nullptr;
        long id = strtol(slash + 1, &end, 10);
        if (end != slash + 1 && *end == '\0' && id > 0 && id < INT_MAX) job_id = (int)id;
    } else {
        job_id = ippGetInteger(ippFindAttribute(request, "job-id", IPP_TAG_INTEGER), 0);
    }
    if (ippGetOperation(request) == IPP_OP_CREATE_JOB_SUBSCRIPTIONS && job_id == 0) {
        job_id = ippGetInteger(ippFindAttribute(request, "notify-job-id", IPP_TAG_INTEGER), 0);
    }
    if (job_id > 0) *job = papplPrinterFindJob(*printer, job_id);
}

// The caller is OWNER, or an administrator.
GateAnswer ownerOrAdmin(pappl_client_t* client, const char* owner) {
    if (owner != nullptr && t_request.user == owner) return GateAnswer{};
    http_status_t refusal;
    if (isAdmin(client, &refusal)) return GateAnswer{};
    // (An owner who is not authenticated learns nothing from a 401.)
    if (refusal == HTTP_STATUS_UPGRADE_REQUIRED) return refuseHttp(refusal);
    return refuse(IPP_STATUS_ERROR_NOT_AUTHORIZED,
                  "Only the owner or an administrator may do this.");
}

struct JobCount {
    const std::string* user;
    const std::string* host;
    int user_jobs = 0, host_jobs = 0, all_jobs = 0;
    std::set<pappl_job_t*> waiting;
};

void countJob(pappl_job_t* job, void* data) {
    JobCount* count = static_cast<JobCount*>(data);
    ipp_jstate_t state = papplJobGetState(job);
    if (state != IPP_JSTATE_PENDING && state != IPP_JSTATE_HELD) return;
    count->all_jobs++;
    const char* owner = papplJobGetUsername(job);
    if (owner != nullptr && *count->user == owner) count->user_jobs++;
    count->waiting.insert(job);
    auto host = g_job_hosts.find(job);
    if (host != g_job_hosts.end() && host->second == *count->host) count->host_jobs++;
}

void countPrinterJobs(pappl_printer_t* printer, void* data) {
    papplPrinterIterateActiveJobs(printer, countJob, data, 1, 0);
}

// One more job from this caller, or why not.
GateAnswer roomForJob(pappl_client_t* client, pappl_printer_t* printer) {
    const GateLimits& limits = g_setup->limits;
    std::string host = peerHost(client);
    JobCount count;
    count.user = &t_request.user;
    count.host = &host;
    {
        std::lock_guard<std::mutex> hold(g_books_lock);
        papplSystemIteratePrinters(g_system, countPrinterJobs, &count);
        // Jobs no longer waiting leave the books.
        for (auto it = g_job_hosts.begin(); it != g_job_hosts.end();) {
            it = count.waiting.count(it->first) ? std::next(it) : g_job_hosts.erase(it);
        }
    }
    if (count.user_jobs >= limits.user_jobs) {
        return refuse(IPP_STATUS_ERROR_TOO_MANY_JOBS,
                      "You have " + std::to_string(count.user_jobs) +
                          " jobs waiting, the most one user may have.");
    }
    if (!isLocalSocket(client) && count.host_jobs >= limits.host_jobs) {
        return refuse(IPP_STATUS_ERROR_TOO_MANY_JOBS,
                      "Your host has " + std::to_string(count.host_jobs) +
                          " jobs waiting, the most one host may have.");
    }
    if (count.all_jobs >= limits.total_jobs) {
        return refuse(IPP_STATUS_ERROR_TOO_MANY_JOBS, "The server has " +
                                                          std::to_string(count.all_jobs) +
                                                          " jobs waiting, the most it takes.");
    }
    // The spool keeps its reserve after this document, where its size is
    // known; the largest document bounds the rest.
    struct statvfs disk;
    if (!appConfig().spool.empty() && statvfs(appConfig().spool.c_str(), &disk) == 0) {
        long long left = (long long)disk.f_bavail * (long long)disk.f_frsize;
        long long coming = httpGetLength2(papplClientGetHTTP(client));
        if (coming < 0) coming = 0;
        bool full = left - coming < limits.spool_reserve;
        if (printer != nullptr) {
            bool shown = (papplPrinterGetReasons(printer) & PAPPL_PREASON_SPOOL_AREA_FULL) != 0;
            if (full != shown) {
                papplPrinterSetReasons(printer, full ? PAPPL_PREASON_SPOOL_AREA_FULL : 0,
                                       full ? 0 : PAPPL_PREASON_SPOOL_AREA_FULL);
            }
        }
        if (full) {
            papplLog(g_system, PAPPL_LOGLEVEL_WARN,
                     "The spool %s has %lld MiB free: new jobs are refused until %lld MiB are",
                     appConfig().spool.c_str(), left >> 20, limits.spool_reserve >> 20);
            return refuse(IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS,
                          "The printer's spool is full; try again later.");
        }
    }
    return GateAnswer{};
}

bool hasJobEvents(ipp_t* request) {
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        const char* name = ippGetName(attr);
        if (ippGetGroupTag(attr) != IPP_TAG_SUBSCRIPTION || name == nullptr ||
            strcmp(name, "notify-events") != 0) {
            continue;
        }
        for (int i = 0; i < ippGetCount(attr); i++) {
            const char* event = ippGetString(attr, i, nullptr);
            if (event != nullptr && strncmp(event, "job-", 4) == 0) return true;
        }
    }
    return false;
}

bool hasSubscriptionGroup(ipp_t* request) {
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        if (ippGetGroupTag(attr) == IPP_TAG_SUBSCRIPTION) return true;
    }
    return false;
}

// The id of a job still waiting for its document.
void noteDocumentless(pappl_job_t* job, void* data) {
    if (papplJobGetFilename(job) == nullptr && papplJobGetState(job) <= IPP_JSTATE_HELD) {
        *static_cast<int*>(data) = papplJobGetID(job);
    }
}

GateAnswer subscriber(pappl_client_t* client, ipp_t* request) {
    const char* name = ippGetOperation(request) == IPP_OP_GET_NOTIFICATIONS
                           ? "notify-subscription-ids"
                           : "notify-subscription-id";
    ipp_attribute_t* ids = ippFindAttribute(request, name, IPP_TAG_INTEGER);
    for (int i = 0; i < ippGetCount(ids); i++) {
        pappl_subscription_t* sub = papplSystemFindSubscription(g_system, ippGetInteger(ids, i));
        if (sub == nullptr) continue;  // (PAPPL says it is not found)
        GateAnswer answer = ownerOrAdmin(client, papplSubscriptionGetUsername(sub));
        if (answer.kind != GateAnswer::Pass) {
            if (answer.kind == GateAnswer::Ipp) answer.message = "Not your subscription.";
            return answer;
        }
    }
    return GateAnswer{};
}

// Adds the mimeMediaType NAME=VALUE at the end of REQUEST's operation
// group: PAPPL refuses a request whose groups are out of order, and
// libcups adds only at the end, after the job's attributes.
void addOperationAttribute(ipp_t* request, const char* name, const char* value) {
    ipp_t* later = ippNew();
    std::vector<ipp_attribute_t*> moved;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        if (moved.empty() && ippGetGroupTag(attr) == IPP_TAG_OPERATION) continue;
        if (ippGetName(attr) == nullptr) {
            ippAddSeparator(later);
        } else {
            ippCopyAttribute(later, attr, 0);
        }
        moved.push_back(attr);
    }
    for (ipp_attribute_t* attr : moved) ippDeleteAttribute(request, attr);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, name, nullptr, value);
    for (ipp_attribute_t* attr = ippFirstAttribute(later); attr != nullptr;
         attr = ippNextAttribute(later)) {
        if (ippGetName(attr) == nullptr) {
            ippAddSeparator(request);
        } else {
            ippCopyAttribute(request, attr, 0);
        }
    }
    ippDelete(later);
}

// Whether the document of the client's Print-Job, Send-Document or
// Validate-Job request is one the application prints, told by its
// document-format or, for application/octet-stream (or none), by its first
// bytes; false with `why` when it is not. Before PAPPL reads the document:
// PWG and Apple raster get their spooled type.
bool takeDocument(pappl_client_t* client, std::string* why) {
    ipp_t* request = papplClientGetRequest(client);
    if (request == nullptr) return true;
    ipp_attribute_t* attr = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
    const char* sent = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    const DocumentFormat* format = nullptr;
    if (sent == nullptr || strcmp(sent, "application/octet-stream") == 0) {
        char head[16] = {};
        ssize_t got = ippGetOperation(request) == IPP_OP_VALIDATE_JOB
                          ? 0
                          : httpPeek(papplClientGetHTTP(client), head, sizeof(head));
        // (A Send-Document may end a job with no document at all.)
        if (got <= 0) return true;
        format = documentFormatOf(head, (size_t)got);
        if (format == nullptr) {
            *why = std::string("The document is in no format this printer takes; it prints ") +
                   documentFormatNames() + ".";
            return false;
        }
    } else {
        format = findDocumentFormat(sent, false);
        if (format == nullptr) {
            *why = std::string("This printer does not print ") + sent + "; it prints " +
                   documentFormatNames() + ".";
            return false;
        }
    }
    if (format->reader != DocumentReader::Raster) return true;
    if (attr != nullptr) {
        ippSetString(request, &attr, 0, format->spooled);
    } else {
        addOperationAttribute(request, "document-format", format->spooled);
    }
    return true;
}

}  // namespace

bool isPrivateJobValue(const char* name) {
    static const char* const kPrivate[] = {"job-name",
                                           "job-originating-user-name",
                                           "job-originating-host-name",
                                           "document-name-supplied",
                                           "job-originating-user-uri",
                                           "job-name-supplied"};
    for (const char* hidden : kPrivate) {
        if (strcmp(name, hidden) == 0) return true;
    }
    return false;
}

bool readGateOptions(int num_options, cups_option_t* options, GateLimits* limits,
                     std::string* why) {
    const NumberOption kNumbers[] = {
        {"max-user-jobs", nullptr, &limits->user_jobs, 1, 100000},
        {"max-host-jobs", nullptr, &limits->host_jobs, 1, 100000},
        {"max-jobs", nullptr, &limits->total_jobs, 1, 100000},
        {"max-user-subscriptions", nullptr, &limits->user_subscriptions, 0, 10000},
        {"max-subscriptions", nullptr, &limits->subscriptions, 0, 10000},
        {"spool-reserve", &limits->spool_reserve, nullptr, 0, 1LL << 50},
    };
    return readNumberOptions(num_options, options, kNumbers, sizeof(kNumbers) / sizeof(kNumbers[0]),
                             why);
}

void installGate(pappl_system_t* system, const GateSetup* setup) {
    g_system = system;
    g_setup = setup;
    papplSystemSetMaxSubscriptions(system, (size_t)setup->limits.subscriptions);
}

GateAnswer gateRequest(pappl_client_t* client) {
    t_request = RequestContext{};
    setNextJobPageRanges({});
    ipp_t* request = papplClientGetRequest(client);
    if (g_setup == nullptr || request == nullptr) return GateAnswer{};
    t_request.client = client;
    http_t* http = papplClientGetHTTP(client);
    bool local_socket = isLocalSocket(client);
    if (local_socket) {
        t_request.admin_known = true;
        t_request.admin = true;
    }
    // Other hosts switch to TLS before anything else.
    if (g_setup->tls_required && !local_socket && !httpAddrLocalhost(httpGetAddress(http)) &&
        !httpIsEncrypted(http)) {
        return refuseHttp(HTTP_STATUS_UPGRADE_REQUIRED);
    }
    if (!hostNamesThisServer(client)) return refuseHttp(HTTP_STATUS_BAD_REQUEST);
    RequestVerdict verdict = checkRequest(request, g_setup->request);
    if (verdict.status != IPP_STATUS_OK) return refuse(verdict.status, verdict.message);
    t_request.user = requestingUser(client);

    ipp_op_t op = ippGetOperation(request);
    Who who = Who::Anyone;
    for (const Operation& known : kOperations) {
        if (known.op == op) who = known.who;
    }
    if (op == IPP_OP_IDENTIFY_PRINTER && ippFindAttribute(request, "message", IPP_TAG_ZERO)) {
        who = Who::Admin;
    }
    pappl_printer_t* printer = nullptr;
    pappl_job_t* job = nullptr;
    requestTarget(request, &printer, &job);
    GateAnswer answer;
    switch (who) {
        case Who::Anyone: break;
        case Who::Owner:
            // (A job PAPPL can't find is PAPPL's to answer.)
            if (job != nullptr) answer = ownerOrAdmin(client, papplJobGetUsername(job));
            break;
        case Who::Subscriber: answer = subscriber(client, request); break;
        case Who::Admin: {
            http_status_t refusal;
            if (!isAdmin(client, &refusal)) answer = refuseHttp(refusal);
            break;
        }
    }
    if (answer.kind != GateAnswer::Pass) return answer;

    http_status_t refusal;
    switch (op) {
        case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
            // Job events on the printer would carry every user's job names.
            if (hasJobEvents(request) && !isAdmin(client, &refusal)) {
                return refuse(IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                              "Only administrators may follow every job; follow a job of "
                              "yours with Create-Job-Subscriptions.");
            }
            break;
        case IPP_OP_GET_SUBSCRIPTIONS:
            if (!isAdmin(client, &refusal)) {
                ipp_attribute_t* mine = ippFindAttribute(request, "my-subscriptions", IPP_TAG_ZERO);
                if (mine != nullptr) ippDeleteAttribute(request, mine);
                ippAddBoolean(request, IPP_TAG_OPERATION, "my-subscriptions", 1);
            }
            break;
        default: break;
    }
    // PAPPL 1.3.1 starts a released job that has no document yet, and the
    // server dies on it.
    if (op == IPP_OP_RELEASE_JOB && job != nullptr && papplJobGetFilename(job) == nullptr) {
        return refuse(IPP_STATUS_ERROR_NOT_POSSIBLE,
                      "The job has no document yet: send it with Send-Document first.");
    }
    if (op == IPP_OP_RELEASE_HELD_NEW_JOBS && printer != nullptr) {
        int waiting = 0;
        papplPrinterIterateActiveJobs(printer, noteDocumentless, &waiting, 1, 0);
        if (waiting != 0) {
            return refuse(IPP_STATUS_ERROR_NOT_POSSIBLE,
                          "Job " + std::to_string(waiting) +
                              " is still waiting for its document; release the jobs once it "
                              "has it.");
        }
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_VALIDATE_JOB) {
        answer = checkNumberUp(request);
        if (answer.kind == GateAnswer::Pass) answer = checkPageRanges(request);
        if (answer.kind != GateAnswer::Pass) return answer;
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB) {
        t_request.paper = askedPaper(request);
        answer = roomForJob(client, printer);
        if (answer.kind != GateAnswer::Pass) return answer;
    }
    if ((op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB ||
         op == IPP_OP_CREATE_JOB_SUBSCRIPTIONS || op == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS ||
         op == IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS) &&
        hasSubscriptionGroup(request)) {
        std::string why;
        if (!subscriptionAllowed(t_request.user.c_str(), &why)) {
            return refuse(IPP_STATUS_ERROR_TOO_MANY_SUBSCRIPTIONS, why);
        }
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT) {
        if (httpGetLength2(http) > g_setup->max_document) {
            return refuse(IPP_STATUS_ERROR_REQUEST_ENTITY, "The document is larger than " +
                                                               sizeText(g_setup->max_document) +
                                                               ", the most this server takes.");
        }
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT || op == IPP_OP_VALIDATE_JOB) {
        // The one place before PAPPL takes a document.
        std::string why;
        if (!takeDocument(client, &why)) {
            return refuse(IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED, why);
        }
    }
    return GateAnswer{};
}

pappl_client_t* currentGateClient() { return t_request.client; }

void endGateRequest() {
    t_request = RequestContext{};
    setNextJobPageRanges({});
}

bool maySeePrivateValues(pappl_client_t* client, pappl_job_t* job) {
    if (t_request.client != client) {
        t_request = RequestContext{};
        t_request.client = client;
        t_request.user = requestingUser(client);
    }
    const char* owner = papplJobGetUsername(job);
    if (owner != nullptr && t_request.user == owner) return true;
    http_status_t refusal;
    return isAdmin(client, &refusal);
}

void jobCreated(pappl_client_t* client, pappl_job_t* job) {
    std::lock_guard<std::mutex> hold(g_books_lock);
    if (client == nullptr) {
        g_job_hosts.erase(job);
    } else {
        g_job_hosts[job] = peerHost(client);
    }
}

void tellPaperSubstituted(pappl_job_t* job) {
    // A paper PAPPL kept is one the printer has.
    if (t_request.client == nullptr || t_request.paper.empty() ||
        papplJobGetAttribute(job, "media-col") != nullptr ||
        papplJobGetAttribute(job, "media") != nullptr) {
        return;
    }
    // The job then has the printer's default, as its page header takes it.
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    const MediaSize* used = mediaSize(driver.media_default.size_name);
    if (used == nullptr) used = &kMedia[0];
    if (t_request.paper == used->pwg) return;
    std::string asked =
        t_request.paper == "?" ? "a paper size PWG does not define" : t_request.paper;
    papplJobSetMessage(job, "The printer has no %s paper: the job prints on %s (%s).",
                       asked.c_str(), used->ppd, used->pwg);
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Paper %s asked, %s used", asked.c_str(), used->pwg);
}

bool subscriptionAllowed(const char* username, std::string* why) {
    if (g_setup == nullptr) return true;
    std::lock_guard<std::mutex> hold(g_books_lock);
    auto held = g_user_subscriptions.find(username ? username : "");
    if (held != g_user_subscriptions.end() && held->second >= g_setup->limits.user_subscriptions) {
        *why = "You have " + std::to_string(held->second) +
               " subscriptions, the most one user may have.";
        return false;
    }
    return true;
}

void subscriptionCreated(pappl_subscription_t* subscription) {
    const char* user = papplSubscriptionGetUsername(subscription);
    std::lock_guard<std::mutex> hold(g_books_lock);
    if (g_counted_subscriptions.insert(subscription).second) {
        g_user_subscriptions[user ? user : ""]++;
    }
}

void subscriptionDeleted(pappl_subscription_t* subscription) {
    const char* user = papplSubscriptionGetUsername(subscription);
    std::lock_guard<std::mutex> hold(g_books_lock);
    // (PAPPL also deletes subscriptions it could not add, never counted.)
    if (g_counted_subscriptions.erase(subscription) == 0) return;
    auto held = g_user_subscriptions.find(user ? user : "");
    if (held != g_user_subscriptions.end() && --held->second <= 0) g_user_subscriptions.erase(held);
}
