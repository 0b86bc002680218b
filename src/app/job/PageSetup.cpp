#include "app/job/PageSetup.h"

#include "app/job/JobSettings.h"

const char* sidesKeyword(pappl_sides_t sides) {
    if (sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE) return "two-sided-long-edge";
    if (sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE) return "two-sided-short-edge";
    return "one-sided";
}

int appJobResolution(pappl_job_t* job, const pappl_pr_options_t* options) {
    ipp_attribute_t* asked = papplJobGetAttribute(job, "printer-resolution");
    int dpi = 0;
    if (asked != nullptr) {
        int y = 0;
        ipp_res_t units;
        dpi = ippGetResolution(asked, 0, &y, &units);
        if (units == IPP_RES_PER_CM) dpi = dpi * 254 / 100;
    } else if (papplJobGetAttribute(job, "print-quality") == nullptr) {
        // The printer's printer-resolution-default (PAPPL 1.3.1 takes the
        // job's resolution from print-quality alone), when it is not the
        // driver's own: print-quality-default decides then.
        pappl_pr_driver_data_t driver;
        papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
        if (driver.x_default != driver.x_resolution[0]) dpi = driver.x_default;
    }
    return jobResolution(dpi, (int)options->print_quality);
}

void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options) {
    int dpi = appJobResolution(job, options);
    options->printer_resolution[0] = options->printer_resolution[1] = dpi;
    const MediaSize* size = mediaSize(options->media.size_name);
    if (size == nullptr) size = &kMedia[0];
    pwg_media_t media = {};
    media.pwg = size->pwg;
    media.width = size->width_pt * 2540 / 72;
    media.length = size->height_pt * 2540 / 72;
    const char* sides = sidesKeyword(options->sides);
    cups_page_header2_t& h = options->header;
    cupsRasterInitPWGHeader(&h, &media, "black_1", dpi, dpi, sides, "normal");
    h.PageSize[0] = (unsigned)size->width_pt;
    h.PageSize[1] = (unsigned)size->height_pt;
    // Rounded, as Ghostscript rounds them.
    h.cupsWidth = pointsToPixels(size->width_pt, (unsigned)dpi);
    h.cupsHeight = pointsToPixels(size->height_pt, (unsigned)dpi);
    h.cupsBytesPerLine = (h.cupsWidth + 7) / 8;
}
