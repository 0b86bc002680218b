#include "app/system/AddPrinterPage.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include "app/system/WebStrings.h"

bool dnssdAvailable() {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr) return false;
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                           nullptr, nullptr, &error);
    bool running = client != nullptr && avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING;
    if (client != nullptr) avahi_client_free(client);
    avahi_simple_poll_free(poll);
    return running;
}

static bool addPrinterPage(pappl_client_t* client, void*) {
    if (!papplClientHTMLAuthorize(client)) return true;
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return false;
    papplClientHTMLHeader(client, "Add Printer", 0);
    papplClientHTMLPrintf(client,
                          "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">\n"
                          "<h1 class=\"title\">%s</h1>\n<p>",
                          papplClientGetLocString(client, "Add Printer"));
    // (HTML of its own: not escaped.)
    papplClientHTMLPuts(client, papplClientGetLocString(client, QUELMOSS_ADD_PRINTER_HTML));
    papplClientHTMLPuts(client, "</p>\n</div></div></div>\n");
    papplClientHTMLFooter(client);
    return true;
}

void replaceAddPrinterPage(pappl_system_t* system) {
    papplSystemAddResourceCallback(system, "/addprinter", "text/html", addPrinterPage, nullptr);
}
