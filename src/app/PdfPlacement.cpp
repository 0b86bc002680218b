#include "PdfPlacement.h"

#include <algorithm>
#include <cstdio>
#include <string>

// A margin in points, written without the locale's decimal sign, which
// PostScript would not read.
static std::string points(int hundredths_mm) {
    long centi_points = ((long)hundredths_mm * 7200 + 1270) / 2540;
    char text[32];
    snprintf(text, sizeof(text), "%ld.%02ld", centi_points / 100, centi_points % 100);
    return text;
}

PdfPlacement pdfPlacement(pappl_scaling_t scaling, const pappl_media_col_t& media,
                          const pappl_pr_driver_data_t& driver) {
    PdfPlacement placement;
    if (scaling != PAPPL_SCALING_NONE) placement.switches.push_back("-dPDFFitPage");
    // A job's media-col may ask for smaller margins than the printer has.
    int left = std::max(media.left_margin, driver.left_right);
    int right = std::max(media.right_margin, driver.left_right);
    int bottom = std::max(media.bottom_margin, driver.bottom_top);
    int top = std::max(media.top_margin, driver.bottom_top);
    placement.setup = "<< /.HWMargins [" + points(left) + " " + points(bottom) + " " +
                      points(right) + " " + points(top) + "] >> setpagedevice";
    return placement;
}
