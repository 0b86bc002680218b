// Where a client's page lands on the paper: the printable area the core
// gets, as CUPS renders pages for the filter, and how a line of the sheet
// PAPPL hands over becomes a line of that area; and which pages of a
// client can't be printed at all.
#pragma once

#include <cups/raster.h>

#include <string>

// The printable area of a sheet: its page header, and where it starts in
// the sheet's lines.
struct PrintableArea {
    cups_page_header2_t page = {};
    unsigned left = 0, top = 0;  // pixels into the sheet
};

// The area of the sheet SHEET describes, with the PPD's margins counted in
// pixels as Ghostscript counts them for a CUPS queue.
PrintableArea printableArea(const cups_page_header2_t& sheet);

// The printable part of a line of the client's 8-bit gray (CLIENT its
// page), dithered with the row of PAPPL's matrix the line is on, as PAPPL
// dithers a sheet; LINE holds the area's bytes per line.
void ditherLine(const PrintableArea& area, const cups_page_header2_t& client,
                const unsigned char dither_row[16], const unsigned char* gray, unsigned char* line);

// The printable part of a 1-bit line of a sheet SHEET_WIDTH pixels wide.
void cropLine(const PrintableArea& area, const unsigned char* bits, unsigned sheet_width,
              unsigned char* line);

// Why the client's page (CLIENT, as PAPPL hands it over, where MADE is the
// header PAPPL makes for the job) can't be printed, or empty. JOB_DPI is
// the job's resolution so far (0: its first page).
std::string clientPageRefusal(const cups_page_header2_t& client, const cups_page_header2_t& made,
                              unsigned job_dpi);

// The job's message for a page larger than the paper SHEET describes, which
// prints cropped: "Page 1 is 210 x 297 mm, larger than the A5 paper (148 x
// 210 mm): it is cropped to the paper." PAGE 0: a page not counted.
std::string croppedPageMessage(unsigned page, unsigned width_mm, unsigned height_mm,
                               const cups_page_header2_t& sheet);
