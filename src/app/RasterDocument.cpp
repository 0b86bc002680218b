// PWG and Apple raster, spooled like every other document and fed to the
// driver's raster callbacks from the file, as PAPPL feeds them from a
// client's connection.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "Documents.h"
#include "Driver.h"
#include "Queue.h"

// PAPPL takes PWG and Apple raster only as it arrives, one job of a printer
// at a time (a second gets "busy"), and gives the rest of the request no
// bound. Named by these types the same documents are spooled and queued.
static const struct {
    const char* sent;
    const char* spooled;
    const char magic[9];  // its first 8 bytes
} kRasterTypes[] = {{"image/pwg-raster", SPOOLED_PWG_RASTER, "RaS2PwgR"},
                    {"image/urf", SPOOLED_APPLE_RASTER, "UNIRAST"}};

void spoolRasterDocument(pappl_client_t* client) {
    ipp_t* request = papplClientGetRequest(client);
    if (request == nullptr) return;
    ipp_attribute_t* format = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
    const char* sent = format ? ippGetString(format, 0, nullptr) : nullptr;
    const char* spooled = nullptr;
    if (sent == nullptr || strcmp(sent, "application/octet-stream") == 0) {
        // What PAPPL would find the document to be.
        char head[8] = {};
        if (httpPeek(papplClientGetHTTP(client), head, sizeof(head)) == (ssize_t)sizeof(head)) {
            for (const auto& type : kRasterTypes) {
                if (memcmp(head, type.magic, sizeof(head)) == 0) spooled = type.spooled;
            }
        }
    } else {
        for (const auto& type : kRasterTypes) {
            if (strcmp(sent, type.sent) == 0) spooled = type.spooled;
        }
    }
    if (spooled == nullptr) return;
    if (format != nullptr) {
        ippSetString(request, &format, 0, spooled);
    } else {
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     spooled);
    }
}

static bool readRaster(pappl_job_t* job, pappl_device_t* device, cups_raster_t* raster,
                       const pappl_pr_driver_data_t& driver) {
    cups_page_header2_t header;
    if (!cupsRasterReadHeader2(raster, &header)) {
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "The raster can't be printed: it has no page that can be read");
        return false;
    }
    unsigned total = header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount];
    if (total > 0) papplJobSetImpressions(job, (int)total);
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, total, false);
    if (options == nullptr) return false;
    bool ok = driver.rstartjob_cb(job, options, device);
    std::vector<unsigned char> pixels;
    for (unsigned page = 1; ok && !papplJobIsCanceled(job); page++) {
        // The driver checks the client's page before a line of it is read.
        options->header = header;
        if (!driver.rstartpage_cb(job, options, device, page)) {
            ok = false;
            break;
        }
        pixels.resize(header.cupsBytesPerLine);
        unsigned y = 0;
        for (; y < header.cupsHeight && !papplJobIsCanceled(job); y++) {
            if (cupsRasterReadPixels(raster, pixels.data(), header.cupsBytesPerLine) == 0) break;
            driver.rwriteline_cb(job, options, device, y, pixels.data());
        }
        driver.rendpage_cb(job, options, device, page);
        if (y < header.cupsHeight && !papplJobIsCanceled(job)) {
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
            papplJobSetMessage(job, "The raster is cut short on page %u", page);
            ok = false;
        }
        if (!cupsRasterReadHeader2(raster, &header)) break;
    }
    // The job's end writes what the core holds back: also after a failure.
    ok = driver.rendjob_cb(job, options, device) && ok;
    papplJobDeletePrintOptions(options);
    return ok;
}

bool rasterFilter(pappl_job_t* job, pappl_device_t* device, void*) {
    QueueTurn turn(job);
    int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplJobSetMessage(job, "The job's document can't be read: %s", strerror(errno));
        return false;
    }
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    bool ok = false;
    if (raster == nullptr) {
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "The raster can't be printed: it is not PWG or Apple raster");
    } else {
        pappl_pr_driver_data_t driver;
        papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
        try {
            ok = readRaster(job, device, raster, driver);
        } catch (const std::bad_alloc&) {
            papplJobSetMessage(job, "The raster can't be printed: there is no memory for it");
        }
        cupsRasterClose(raster);
    }
    close(fd);
    return ok;
}
