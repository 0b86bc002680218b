// The printer's web pages the application serves in place of PAPPL 1.3.1's:
// PAPPL keeps the first page added at a path and adds its own after the
// printer's creation callback, so these, added by it, are the ones served.
#pragma once

#include <pappl/pappl.h>

void addPrinterPages(pappl_printer_t* printer);
