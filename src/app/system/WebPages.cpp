#include "app/system/WebPages.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/system/gate/JobHooks.h"
#include "app/system/gate/Pappl131.h"

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

// PAPPL's page draws every level as a bar, and an unknown one (-1) as an
// empty bar, which reads as a supply run out: a level the printer never
// reported is said so in words.
bool suppliesPage(pappl_client_t* client, void* data) {
    // (PAPPL's colours in pappl_supply_color_t's order, a plain gray for none.)
    static const char* const kColors[] = {"#CCC", "#222", "#0FF", "#777", "#0C0", "#7FF",
                                          "#CCC", "#FCF", "#F0F", "#F70", "#707", "#FF0"};
    auto* printer = static_cast<pappl_printer_t*>(data);
    pappl_supply_t supplies[32];
    int count = papplPrinterGetSupplies(printer, 32, supplies);
    if (count > 32) count = 32;
    papplClientHTMLPrinterHeader(client, printer, "Supplies", 0, nullptr, nullptr);
    papplClientHTMLPuts(client,
                        "          <table class=\"meter\" summary=\"Supplies\">\n"
                        "            <thead>\n"
                        "              <tr><th></th><td></td><td></td><td></td><td></td></tr>\n"
                        "            </thead>\n"
                        "            <tbody>\n");
    for (int i = 0; i < count; i++) {
        const pappl_supply_t& supply = supplies[i];
        papplClientHTMLPrintf(client, "<tr><th>%s</th><td colspan=\"4\">",
                              papplClientGetLocString(client, supply.description));
        if (supply.level < 0 || supply.level > 100) {
            papplClientHTMLPrintf(client, "<span class=\"unknown\">%s</span>",
                                  papplClientGetLocString(client, "Level not reported"));
        } else {
            int color = supply.color >= 0 && supply.color < 12 ? (int)supply.color : 0;
            papplClientHTMLPrintf(client,
                                  "<span class=\"bar\" style=\"background: %s; padding: 0px "
                                  "%.1f%%;\" title=\"%d%%\"></span><span class=\"bar\" "
                                  "style=\"background: transparent; padding: 0px %.1f%%;\" "
                                  "title=\"%d%%\"></span>",
                                  kColors[color], supply.level * 0.5, supply.level,
                                  50.0 - supply.level * 0.5, supply.level);
        }
        papplClientHTMLPuts(client, "</td></tr>\n");
    }
    papplClientHTMLPuts(client,
                        "            </tbody>\n"
                        "            <tfoot>\n"
                        "              <tr><th></th><td></td><td></td><td></td><td></td></tr>\n"
                        "            </tfoot>\n"
                        "          </table>\n");
    papplClientHTMLPrinterFooter(client);
    return true;
}

// PAPPL 1.3.1's media page leaves out the source named "manual", though it
// is in media-ready, and its form then empties that source's ready paper.
// While it draws or saves this printer's page, it is shown the manual tray
// under a name of the page's own, which its saving turns back.
constexpr const char* kManual = "manual";
constexpr const char* kManualOnPage = "manual-feed";
thread_local pappl_printer_t* t_media_page = nullptr;

extern "C" void _papplPrinterWebMedia(pappl_client_t* client, pappl_printer_t* printer);

bool mediaPage(pappl_client_t* client, void* data) {
    t_media_page = static_cast<pappl_printer_t*>(data);
    _papplPrinterWebMedia(client, t_media_page);
    t_media_page = nullptr;
    return true;
}

}  // namespace

extern "C" {
pappl_pr_driver_data_t* papplPrinterGetDriverData(pappl_printer_t* printer,
                                                  pappl_pr_driver_data_t* data) {
    static const auto own =
        papplOwnFunction<pappl_pr_driver_data_t* (*)(pappl_printer_t*, pappl_pr_driver_data_t*)>(
            "papplPrinterGetDriverData");
    pappl_pr_driver_data_t* got = own(printer, data);
    if (got == nullptr || printer == nullptr || printer != t_media_page) return got;
    for (int i = 0; i < got->num_source && i < PAPPL_MAX_SOURCE; i++) {
        if (got->source[i] != nullptr && strcmp(got->source[i], kManual) == 0) {
            got->source[i] = kManualOnPage;
        }
    }
    return got;
}

bool papplPrinterSetReadyMedia(pappl_printer_t* printer, int num_ready, pappl_media_col_t* ready) {
    static const auto own = papplOwnFunction<bool (*)(pappl_printer_t*, int, pappl_media_col_t*)>(
        "papplPrinterSetReadyMedia");
    if (printer == nullptr || printer != t_media_page || ready == nullptr || num_ready < 0 ||
        num_ready > PAPPL_MAX_SOURCE) {
        return own(printer, num_ready, ready);
    }
    pappl_media_col_t kept[PAPPL_MAX_SOURCE];
    for (int i = 0; i < num_ready; i++) {
        kept[i] = ready[i];
        if (strcmp(kept[i].source, kManualOnPage) == 0) {
            snprintf(kept[i].source, sizeof(kept[i].source), "%s", kManual);
        }
    }
    return own(printer, num_ready, kept);
}
}

void installWebPages(pappl_system_t* system, const AccessPolicy* policy) {
    g_policy = policy;
    papplSystemAddResourceCallback(system, "/", "text/html", systemHome, system);
    if (!policy->auth_service.empty()) {
        papplSystemAddResourceCallback(system, "/signin", "text/html", signIn, system);
    }
}

void addPrinterPages(pappl_printer_t* printer) {
    // (PAPPL keeps the first page of a path, and adds its own after this.)
    pappl_system_t* system = papplPrinterGetSystem(printer);
    char path[256];
    papplPrinterGetPath(printer, "", path, sizeof(path));  // (as PAPPL names it)
    papplSystemAddResourceCallback(system, path, "text/html", printerHome, printer);
    papplPrinterGetPath(printer, "supplies", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", suppliesPage, printer);
    papplPrinterGetPath(printer, "media", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", mediaPage, printer);
}

bool isWebAdministrator(pappl_client_t* client) { return visitorOf(client).administrator; }

bool visitorMayOpen(const char* path) {
    // (The printers' supplies pages are everyone's; every other page PAPPL
    // links to changes something or shows the logs.)
    size_t length = path != nullptr ? strlen(path) : 0;
    return length > 9 && strcmp(path + length - 9, "/supplies") == 0;
}
