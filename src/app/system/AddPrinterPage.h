// The web interface's "Add Printer" page without DNS-SD: PAPPL 1.3.1's own
// page lists network printers through avahi and kills the server when
// avahi-daemon is not running. The page then tells the administrator how to
// add a printer instead.
#pragma once

#include <pappl/pappl.h>

// True when avahi-daemon answers.
bool dnssdAvailable();

// Takes the page's place, before the system runs (PAPPL keeps the first
// resource of a path).
void replaceAddPrinterPage(pappl_system_t* system);
