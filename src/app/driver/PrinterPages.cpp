#include "app/driver/PrinterPages.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// PAPPL's page draws every level as a bar, and an unknown one (-1) as an
// empty bar, which reads as a supply run out: a level the printer never
// reported is said so in words.
static bool suppliesPage(pappl_client_t* client, void* data) {
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
static thread_local pappl_printer_t* t_media_page = nullptr;

extern "C" void _papplPrinterWebMedia(pappl_client_t* client, pappl_printer_t* printer);

static bool mediaPage(pappl_client_t* client, void* data) {
    t_media_page = static_cast<pappl_printer_t*>(data);
    _papplPrinterWebMedia(client, t_media_page);
    t_media_page = nullptr;
    return true;
}

// The library's own definition of NAME, the program's being exported
// (system/gate/exports.list) so that PAPPL's library calls it.
static void* libraryOwn(const char* name) {
    void* own = dlsym(RTLD_NEXT, name);
    if (own == nullptr) abort();  // (not the PAPPL 1.3.1 the server checks it runs on)
    return own;
}

extern "C" {
pappl_pr_driver_data_t* papplPrinterGetDriverData(pappl_printer_t* printer,
                                                  pappl_pr_driver_data_t* data) {
    using Own = pappl_pr_driver_data_t* (*)(pappl_printer_t*, pappl_pr_driver_data_t*);
    static const auto own = reinterpret_cast<Own>(libraryOwn("papplPrinterGetDriverData"));
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
    using Own = bool (*)(pappl_printer_t*, int, pappl_media_col_t*);
    static const auto own = reinterpret_cast<Own>(libraryOwn("papplPrinterSetReadyMedia"));
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

void addPrinterPages(pappl_printer_t* printer) {
    pappl_system_t* system = papplPrinterGetSystem(printer);
    char path[256];
    papplPrinterGetPath(printer, "supplies", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", suppliesPage, printer);
    papplPrinterGetPath(printer, "media", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", mediaPage, printer);
}
