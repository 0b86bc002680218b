// The printer's test page, printed from its web page: its settings, and the
// printable area drawn where it lies, with the margins named and shades of
// gray as the printer renders them. It is a PDF document, so it takes the
// road every PDF job takes, through the same core.
#pragma once

#include <pappl/pappl.h>

// The driver's test-page callback: the page written to a new file in the
// spool, whose path it returns in BUFFER (null when it can't be written).
const char* printTestPage(pappl_printer_t* printer, char* buffer, size_t size);
