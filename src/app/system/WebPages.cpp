#include "app/system/WebPages.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/system/gate/JobHooks.h"

namespace {

const AccessPolicy* g_policy = nullptr;

// PAPPL's own pages, which show every button and every user's job names.
extern "C" void _papplSystemWebHome(pappl_client_t* client, pappl_system_t* system);
extern "C" void _papplPrinterWebHome(pappl_client_t* client, pappl_printer_t* printer);

WebVisitor visitorOf(pappl_client_t* client) {
    return g_policy != nullptr ? webVisitor(client, *g_policy) : WebVisitor{true, ""};
}

// PAPPL's text for ATTRIBUTE's VALUE in the visitor's language, as its own
// pages give it ("printer-state.3": Idle).
std::string localized(pappl_client_t* client, const char* attribute, int value) {
    char key[128];
    snprintf(key, sizeof(key), "%s.%d", attribute, value);
    const char* text = papplClientGetLocString(client, key);
    return text != key ? text : ippEnumString(attribute, value);
}

// The reasons PAPPL keeps, as printer-state-reasons names them.
const char* const kReasons[] = {"other",
                                "cover-open",
                                "input-tray-missing",
                                "marker-supply-empty",
                                "marker-supply-low",
                                "marker-waste-almost-full",
                                "marker-waste-full",
                                "media-empty",
                                "media-jam",
                                "media-low",
                                "media-needed",
                                "offline",
                                "spool-area-full",
                                "toner-empty",
                                "toner-low",
                                "door-open"};

// A printer's state, its jobs and what is wrong, and the way to its supplies.
void printerStatus(pappl_client_t* client, pappl_printer_t* printer, bool on_system_page) {
    char path[256];
    papplPrinterGetPath(printer, nullptr, path, sizeof(path));
    if (on_system_page) {
        papplClientHTMLPrintf(client, "          <h2 class=\"title\"><a href=\"%s/\">", path);
        papplClientHTMLEscape(client, papplPrinterGetName(printer), 0);
        papplClientHTMLPuts(client, "</a></h2>\n");
    } else {
        papplClientHTMLPrintf(client, "          <h1 class=\"title\">%s</h1>\n",
                              papplClientGetLocString(client, "Status"));
    }
    ipp_pstate_t state = papplPrinterGetState(printer);
    int jobs = papplPrinterGetNumberOfActiveJobs(printer);
    char jobs_text[256];
    papplLocFormatString(papplClientGetLoc(client), jobs_text, sizeof(jobs_text),
                         jobs == 1 ? "%d job" : "%d jobs", jobs);
    papplClientHTMLPrintf(client, "          <p><img class=\"%s\" src=\"%s/icon-md.png\">%s, %s",
                          ippEnumString("printer-state", (int)state), path,
                          localized(client, "printer-state", (int)state).c_str(), jobs_text);
    // (PAPPL stops a printer whose device does not open, with no reason.)
    pappl_preason_t reasons = papplPrinterGetReasons(printer);
    if (!printerOfflineMessage(printer).empty()) reasons |= PAPPL_PREASON_OFFLINE;
    for (size_t i = 0; i < sizeof(kReasons) / sizeof(kReasons[0]); i++) {
        if ((reasons & (1u << i)) == 0) continue;
        char key[128];
        snprintf(key, sizeof(key), "printer-state-reasons.%s", kReasons[i]);
        const char* text = papplClientGetLocString(client, key);
        papplClientHTMLPrintf(client, ", %s", text != key ? text : kReasons[i]);
    }
    papplClientHTMLPuts(client, ".</p>\n");
    std::string offline = printerOfflineMessage(printer);
    if (!offline.empty()) {
        papplClientHTMLPuts(client, "          <p>");
        papplClientHTMLEscape(client, offline.c_str(), 0);
        papplClientHTMLPuts(client, "</p>\n");
    }
    papplClientHTMLPrintf(
        client,
        "          <div class=\"btn\"><a class=\"btn\" href=\"%s/supplies\">%s</a>"
        "<br clear=\"all\"></div>\n",
        path, papplClientGetLocString(client, "Supplies"));
}

struct JobList {
    pappl_client_t* client;
    std::string user;
};

// One job's row: its name, owner and message only to its owner.
void jobRow(pappl_job_t* job, void* data) {
    JobList* list = static_cast<JobList*>(data);
    pappl_client_t* client = list->client;
    const char* owner = papplJobGetUsername(job);
    bool own = !list->user.empty() && owner != nullptr && list->user == owner;
    papplClientHTMLPrintf(client, "              <tr><td>%d</td><td>", papplJobGetID(job));
    if (own) papplClientHTMLEscape(client, papplJobGetName(job), 0);
    papplClientHTMLPuts(client, "</td><td>");
    if (own) papplClientHTMLEscape(client, owner, 0);
    int done = papplJobGetImpressionsCompleted(job), total = papplJobGetImpressions(job);
    if (total > 0) {
        papplClientHTMLPrintf(client, "</td><td>%d/%d</td><td>", done, total);
    } else {
        papplClientHTMLPrintf(client, "</td><td>%d</td><td>", done);
    }
    papplClientHTMLEscape(client, localized(client, "job-state", papplJobGetState(job)).c_str(), 0);
    const char* message = papplJobGetMessage(job);
    if (own && message != nullptr && message[0] != '\0') {
        papplClientHTMLPuts(client, ": ");
        papplClientHTMLEscape(client, message, 0);
    }
    papplClientHTMLPuts(client, "</td></tr>\n");
}

void jobTable(pappl_client_t* client, pappl_printer_t* printer, const WebVisitor& visitor) {
    papplClientHTMLPrintf(client, "          <h1 class=\"title\">%s</h1>\n",
                          papplClientGetLocString(client, "Jobs"));
    if (papplPrinterGetNumberOfJobs(printer) == 0) {
        papplClientHTMLPrintf(client, "          <p>%s</p>\n",
                              papplClientGetLocString(client, "No jobs in history."));
        return;
    }
    papplClientHTMLPrintf(
        client,
        "          <table class=\"list\" summary=\"Jobs\">\n"
        "            <thead>\n"
        "              <tr><th>%s</th><th>%s</th><th>%s</th><th>%s</th>"
        "<th>%s</th></tr>\n"
        "            </thead>\n"
        "            <tbody>\n",
        papplClientGetLocString(client, "Job #"), papplClientGetLocString(client, "Name"),
        papplClientGetLocString(client, "Owner"), papplClientGetLocString(client, "Pages"),
        papplClientGetLocString(client, "Status"));
    JobList list = {client, visitor.user};
    papplPrinterIterateAllJobs(printer, jobRow, &list, 1, 20);
    papplClientHTMLPuts(client,
                        "            </tbody>\n"
                        "          </table>\n");
}

// Another host's administrators sign in where the server has a PAM service
// for them; a local account is known without.
void signInOffer(pappl_client_t* client) {
    http_t* http = papplClientGetHTTP(client);
    if (g_policy == nullptr || g_policy->auth_service.empty() ||
        httpAddrFamily(httpGetAddress(http)) == AF_LOCAL ||
        httpAddrLocalhost(httpGetAddress(http))) {
        return;
    }
    papplClientHTMLPrintf(client, "          <p><a class=\"btn\" href=\"/signin\">%s</a></p>\n",
                          papplClientGetLocString(client, "Sign In"));
}

void visitorPrinter(pappl_printer_t* printer, void* data) {
    printerStatus(static_cast<pappl_client_t*>(data), printer, true);
}

bool systemHome(pappl_client_t* client, void* data) {
    pappl_system_t* system = static_cast<pappl_system_t*>(data);
    if (visitorOf(client).administrator) {
        _papplSystemWebHome(client, system);
        return true;
    }
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return false;
    papplClientHTMLHeader(client, nullptr, 0);
    papplClientHTMLPuts(client,
                        "    <div class=\"content\">\n"
                        "      <div class=\"row\">\n"
                        "        <div class=\"col-12\">\n");
    signInOffer(client);
    papplClientHTMLPrintf(client, "          <h1 class=\"title\">%s</h1>\n",
                          papplClientGetLocString(client, "Printers"));
    papplSystemIteratePrinters(system, visitorPrinter, client);
    papplClientHTMLPuts(client,
                        "        </div>\n"
                        "      </div>\n"
                        "    </div>\n");
    papplClientHTMLFooter(client);
    return true;
}

// The printer's forms (hold new jobs, the test page) are administrators',
// as are the names in its job list.
bool printerHome(pappl_client_t* client, void* data) {
    pappl_printer_t* printer = static_cast<pappl_printer_t*>(data);
    WebVisitor visitor = visitorOf(client);
    if (visitor.administrator || papplClientGetMethod(client) == HTTP_STATE_POST) {
        if (papplClientHTMLAuthorize(client)) _papplPrinterWebHome(client, printer);
        return true;
    }
    bool busy = papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING;
    papplClientHTMLPrinterHeader(client, printer, nullptr, busy ? 10 : 0, nullptr, nullptr);
    papplClientHTMLPuts(client,
                        "      <div class=\"row\">\n"
                        "        <div class=\"col-6\">\n");
    signInOffer(client);
    printerStatus(client, printer, false);
    papplClientHTMLPuts(client,
                        "        </div>\n"
                        "        <div class=\"col-6\">\n");
    jobTable(client, printer, visitor);
    papplClientHTMLPrinterFooter(client);
    return true;
}

// Asks another host for an administrator's credentials (PAM, over TLS),
// then shows the pages they open.
bool signIn(pappl_client_t* client, void*) {
    if (papplClientHTMLAuthorize(client)) {
        papplClientRespondRedirect(client, HTTP_STATUS_FOUND, "/");
    }
    return true;
}

}  // namespace

void installWebPages(pappl_system_t* system, const AccessPolicy* policy) {
    g_policy = policy;
    papplSystemAddResourceCallback(system, "/", "text/html", systemHome, system);
    if (!policy->auth_service.empty()) {
        papplSystemAddResourceCallback(system, "/signin", "text/html", signIn, system);
    }
}

void addPrinterPage(pappl_printer_t* printer) {
    char path[256];
    papplPrinterGetPath(printer, "", path, sizeof(path));  // (as PAPPL names it)
    // (PAPPL keeps the first page of a path, and adds its own after this.)
    papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", printerHome,
                                   printer);
}

bool isWebAdministrator(pappl_client_t* client) { return visitorOf(client).administrator; }

bool visitorMayOpen(const char* path) {
    // (The printers' supplies pages are everyone's; every other page PAPPL
    // links to changes something or shows the logs.)
    size_t length = path != nullptr ? strlen(path) : 0;
    return length > 9 && strcmp(path + length - 9, "/supplies") == 0;
}
