// The links of PAPPL 1.3.1's web pages, as each visitor may follow them
// (WebPages.h): PAPPL puts a link to every page of an administrator's on
// every page, and each answers anyone else with a bare refusal.
#include <pappl/pappl.h>

#include "app/system/WebPages.h"
#include "app/system/gate/Pappl131.h"

extern "C" {
// (private in 1.3.1: client-webif.c; the caller holds the links' lock)
void _papplClientHTMLPutLinks(pappl_client_t* client, cups_array_t* links, pappl_loptions_t which) {
    static const auto own =
        papplOwnFunction<void (*)(pappl_client_t*, cups_array_t*, pappl_loptions_t)>(
            "_papplClientHTMLPutLinks");
    if (isWebAdministrator(client)) {
        own(client, links, which);
        return;
    }
    cups_array_t* open = cupsArrayNew(nullptr, nullptr);
    for (int i = 0, count = cupsArrayCount(links); i < count; i++) {
        auto* link = static_cast<PapplLink*>(cupsArrayIndex(links, i));
        if (link != nullptr && visitorMayOpen(link->path_or_url)) cupsArrayAdd(open, link);
    }
    own(client, open, which);
    cupsArrayDelete(open);
}
}
