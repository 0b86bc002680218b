// The program's own sub-commands (submit, add, modify) are clients of the
// server like any other and their requests pass the same gate. PAPPL 1.3.1
// builds them in _papplMainloopAddOptions, which adds "page-ranges" once as
// a range and again, as a boolean, from job-creation-attributes-supported:
// a request the gate refuses as ambiguous. The later copy of a name is the
// library's slip, so it goes before the request leaves.
//
// A sub-command that can't reach the server would have PAPPL start a
// private one as whoever ran it, and then say "Unable to start server" ten
// seconds later. It says at once why instead: no server runs, or the
// server's socket is for root and the lpadmin group only.
//
// And "status" says the printer's reasons apart from its date.
#include <pappl/pappl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/job/PageRanges.h"
#include "app/system/ServerUser.h"
#include "app/system/gate/Pappl131.h"

namespace {
void dropRepeatedAttributes(ipp_t* request) {
    std::set<std::pair<ipp_tag_t, std::string>> seen;
    std::vector<ipp_attribute_t*> repeated;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        const char* name = ippGetName(attr);
        if (name != nullptr && !seen.emplace(ippGetGroupTag(attr), name).second)
            repeated.push_back(attr);
    }
    for (ipp_attribute_t* attr : repeated) ippDeleteAttribute(request, attr);
}

const char* socketPath(const char* base_name, char* buffer, size_t size) {
    static const auto own = papplOwnFunction<char* (*)(const char*, uid_t, char*, size_t)>(
        "_papplMainloopGetServerPath");
    return own(base_name, 0, buffer, size);
}

// Why the server's socket can't be reached; AUTO_START: whether the
// sub-command needs a server (status says "not running" itself).
void explainNoServer(const char* base_name, bool auto_start) {
    char path[1024];
    socketPath(base_name, path, sizeof(path));
    if (access(path, R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        fprintf(stderr,
                "%s: only root and members of the %s group may use this sub-command (the "
                "server's socket %s is theirs)\n",
                base_name, ADMIN_GROUP, path);
    } else if (auto_start) {
        fprintf(stderr, "%s: no server is running (%s server, or the %s service)\n", base_name,
                base_name, base_name);
    }
}

ipp_t* askFor(http_t* http, const char* name, ipp_op_t op, const char* const* attrs, int count) {
    char uri[1024], resource[1024];
    ipp_t* request = ippNewRequest(op);
    if (name != nullptr) {
        snprintf(resource, sizeof(resource), "/ipp/print/%s", name);
        httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0,
                        resource);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    } else {
        snprintf(resource, sizeof(resource), "/ipp/system");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                     "ipp://localhost/ipp/system");
    }
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", count,
                  nullptr, attrs);
    return cupsDoRequest(http, request, resource);
}
}  // namespace

extern "C" {
// (private in 1.3.1: mainloop-private.h; its count is an int with CUPS 2.4)
void _papplMainloopAddOptions(ipp_t* request, int num_options, cups_option_t* options,
                              ipp_t* supported) {
    static const auto own =
        papplOwnFunction<void (*)(ipp_t*, int, cups_option_t*, ipp_t*)>("_papplMainloopAddOptions");
    own(request, num_options, options, supported);
    dropRepeatedAttributes(request);
    // It reads "1-2,5-6" as 1-2: a list is put in whole (a job queued again
    // also comes this way).
    const char* list = cupsGetOption("page-ranges", num_options, options);
    std::vector<PageRange> ranges = list ? parsePageRanges(list) : std::vector<PageRange>();
    if (ranges.size() > 1) putPageRanges(request, ranges);
}

http_t* _papplMainloopConnect(const char* base_name, bool auto_start) {
    static const auto own =
        papplOwnFunction<http_t* (*)(const char*, bool)>("_papplMainloopConnect");
    http_t* http = own(base_name, false);
    if (http == nullptr) explainNoServer(base_name, auto_start);
    return http;
}

// "Running, stopped since DATE: paused." for the system, or the printer
// named by -d.
int _papplMainloopShowStatus(const char* base_name, int num_options, cups_option_t* options) {
    const char* uri = cupsGetOption("printer-uri", num_options, options);
    const char* name = cupsGetOption("printer-name", num_options, options);
    http_t* http;
    if (uri != nullptr) {
        static const auto connect =
            papplOwnFunction<http_t* (*)(const char*, const char*, char*, size_t)>(
                "_papplMainloopConnectURI");
        char resource[1024];
        if ((http = connect(base_name, uri, resource, sizeof(resource))) == nullptr) return 1;
        name = nullptr;
        const char* slash = strrchr(resource, '/');
        if (slash != nullptr && strncmp(resource, "/ipp/print/", 11) == 0) name = slash + 1;
    } else if ((http = _papplMainloopConnect(base_name, false)) == nullptr) {
        puts("Server is not running.");
        return 0;
    }
    const char* kind = name != nullptr ? "printer" : "system";
    std::string state_name = std::string(kind) + "-state";
    std::string time_name = state_name + "-change-date-time";
    std::string reasons_name = state_name + "-reasons";
    const char* attrs[] = {state_name.c_str(), time_name.c_str(), reasons_name.c_str()};
    ipp_t* response = askFor(
        http, name, name ? IPP_OP_GET_PRINTER_ATTRIBUTES : IPP_OP_GET_SYSTEM_ATTRIBUTES, attrs, 3);
    httpClose(http);
    if (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
        fprintf(stderr, "%s: %s\n", base_name, cupsLastErrorString());
        ippDelete(response);
        return 1;
    }
    static const char* const kStates[] = {"idle", "processing jobs", "stopped"};
    int state = ippGetInteger(ippFindAttribute(response, state_name.c_str(), IPP_TAG_ENUM), 0);
    if (state < IPP_PSTATE_IDLE || state > IPP_PSTATE_STOPPED) state = IPP_PSTATE_IDLE;
    time_t since =
        ippDateToTime(ippGetDate(ippFindAttribute(response, time_name.c_str(), IPP_TAG_DATE), 0));
    std::string reasons;
    ipp_attribute_t* attr = ippFindAttribute(response, reasons_name.c_str(), IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(attr); i++) {
        const char* reason = ippGetString(attr, i, nullptr);
        if (reason == nullptr || strcmp(reason, "none") == 0) continue;
        reasons += (reasons.empty() ? ": " : ", ") + std::string(reason);
    }
    char date[256];
    printf("Running, %s since %s%s.\n", kStates[state - IPP_PSTATE_IDLE],
           httpGetDateString2(since, date, sizeof(date)), reasons.c_str());
    ippDelete(response);
    return 0;
}
}
