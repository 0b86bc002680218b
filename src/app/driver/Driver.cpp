#include "app/driver/Driver.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/device/DeviceCheck.h"
#include "app/documents/Documents.h"
#include "app/driver/TestPage.h"
#include "app/job/JobSettings.h"
#include "app/job/RasterFeed.h"
#include "app/state/Config.h"
#include "app/state/Formats.h"

// PAPPL rates the printer at this many pages a minute.
constexpr int PAGES_PER_MINUTE = 20;
constexpr int MARGIN_HUNDREDTHS_MM = MARGIN_PT * 2540 / 72;

static const char* const kFeedOrientations[] = {"short-edge-first", "long-edge-first"};

static void identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
    // The printer has neither a display nor a sound the stream could reach.
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", message ? message : "");
}

bool driverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char*, pappl_pr_driver_data_t* d, ipp_t** driver_attrs, void*) {
    if (strcmp(driver_name, DRIVER_NAME) != 0) return false;
    std::string why;
    if (!deviceAllowed(appConfig().file_directory, device_uri, &why)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer not made for %s: %s", device_uri,
                 why.c_str());
        return false;
    }
    d->identify_cb = identify;
    d->testpage_cb = printTestPage;
    d->printfile_cb = printRawDocument;
    setRasterCallbacks(d);
    d->format = PRINTER_FORMAT;
    snprintf(d->make_and_model, sizeof(d->make_and_model), "%s", DRIVER_DESCRIPTION);
    d->ppm = PAGES_PER_MINUTE;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->has_supplies = true;
    d->orient_default = IPP_ORIENT_PORTRAIT;
    d->color_supported = PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_AUTO;
    d->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    d->content_default = PAPPL_CONTENT_AUTO;
    d->quality_default = IPP_QUALITY_NORMAL;
    d->scaling_default = PAPPL_SCALING_AUTO;
    // 8-bit gray only, so PAPPL hands a client's page header to the driver,
    // which checks it, and never dithers a client's line itself.
    d->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_8 | PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    d->duplex = PAPPL_DUPLEX_NORMAL;
    d->sides_supported =
        PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    d->num_resolution = 2;
    d->x_resolution[0] = d->y_resolution[0] = 600;
    d->x_resolution[1] = d->y_resolution[1] = 1200;
    d->x_default = d->y_default = 600;
    d->left_right = d->bottom_top = MARGIN_HUNDREDTHS_MM;
    d->num_media = (int)MEDIA_COUNT;
    for (size_t i = 0; i < MEDIA_COUNT; i++) d->media[i] = kMedia[i].pwg;
    d->num_source = (int)SOURCE_COUNT;
    for (size_t i = 0; i < SOURCE_COUNT; i++) d->source[i] = kSources[i].pwg;
    d->num_type = (int)TYPE_COUNT;
    for (size_t i = 0; i < TYPE_COUNT; i++) d->type[i] = kTypes[i].pwg;
    pappl_media_col_t a4 = {};
    snprintf(a4.size_name, sizeof(a4.size_name), "%s", kMedia[0].pwg);
    a4.size_width = 21000;
    a4.size_length = 29700;
    a4.left_margin = a4.right_margin = a4.top_margin = a4.bottom_margin = MARGIN_HUNDREDTHS_MM;
    snprintf(a4.type, sizeof(a4.type), "%s", kTypes[0].pwg);
    for (size_t i = 0; i < SOURCE_COUNT; i++) {
        d->media_ready[i] = a4;
        snprintf(d->media_ready[i].source, sizeof(d->media_ready[i].source), "%s", kSources[i].pwg);
    }
    d->media_default = d->media_ready[0];
    d->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    d->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    d->num_vendor = 1;
    d->vendor[0] = "feed-orientation";

    ipp_t* attrs = ippNew();
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "feed-orientation-supported", 2, nullptr,
                  kFeedOrientations);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "feed-orientation-default", nullptr,
                 kFeedOrientations[0]);
    static const char* const kOverrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported", 2, nullptr,
                  kOverrides);
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    // One page on each side of a sheet; other values are refused.
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-default", 1);
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "number-up-supported", 1);
    // Black only: there is no colour to render.
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
                 "auto");
    *driver_attrs = attrs;
    return true;
}

void printerCreated(pappl_printer_t* printer, void*) {
    // PAPPL 1.3.1 advertises a printer added while it runs only when the
    // web page added it: one added by IPP or a sub-command would be found
    // by no phone until a restart.
    char name[256];
    if (papplSystemIsRunning(papplPrinterGetSystem(printer)) &&
        papplPrinterGetDNSSDName(printer, name, sizeof(name)) != nullptr) {
        papplPrinterSetDNSSDName(printer, name);
    }
    // The stream carries no status back: the toner's level is not known.
    pappl_supply_t toner = {};
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    snprintf(toner.description, sizeof(toner.description), "Black Toner");
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER;
    papplPrinterSetSupplies(printer, 1, &toner);
}
