#include "app/driver/PrinterPages.h"

// PAPPL's page draws every level as a bar, and an unknown one (-1) as an
// empty bar, which reads as a supply run out: a level the printer never
// reported is said so in words.
static bool suppliesPage(pappl_client_t* client, void* data) {
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

void addPrinterPages(pappl_printer_t* printer) {
    pappl_system_t* system = papplPrinterGetSystem(printer);
    char path[256];
    papplPrinterGetPath(printer, "supplies", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", suppliesPage, printer);
}
