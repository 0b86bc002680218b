// The application's own words on the web pages, in PAPPL's localisation:
// what the driver names (its vendor setting, the toner, the page's name for
// the manual tray), labels PAPPL 1.3.1 looks up under keys its strings lack
// (print-quality's keywords), the footer and the Add Printer page. The
// English text is the key; the other languages are built in.
#pragma once

#include <pappl/pappl.h>

// (Every web page needs a footer: PAPPL 1.3.1 fails on a page without one.)
#define QUELMOSS_FOOTER_HTML                                 \
    "Brivane Quelmoss printer application " QUELMOSS_VERSION \
    " &middot; pages sent as the printer's JBIG stream"

#define QUELMOSS_ADD_PRINTER_HTML                                                            \
    "Network printers are found through DNS-SD, and avahi-daemon was not running when this " \
    "server started. Add a printer with <code>quelmoss-printer-app add -d NAME -m "          \
    "brivane_quelmoss -v socket://HOST:9100</code>, or start avahi-daemon and restart this " \
    "server."

// Adds them to the system's localisations (English, German, French, Spanish).
void addWebStrings(pappl_system_t* system);
