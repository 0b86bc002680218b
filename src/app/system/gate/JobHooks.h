// What JobHooks.cpp knows of a printer beyond PAPPL: why its device did not
// open, which PAPPL 1.3.1 shows as a pause.
#pragma once

#include <pappl/pappl.h>

#include <string>

// "The printer at ... does not answer (...); its jobs wait." while
// PRINTER's device does not open and no administrator paused it; else
// empty.
std::string printerOfflineMessage(pappl_printer_t* printer);
