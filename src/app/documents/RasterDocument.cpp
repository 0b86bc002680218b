// PWG and Apple raster, spooled like every other document and fed to the
// driver's raster callbacks from the file, as PAPPL feeds them from a
// client's connection.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "app/documents/Documents.h"
#include "app/job/DocumentError.h"
#include "app/queue/Queue.h"

static bool readRaster(pappl_job_t* job, pappl_device_t* device, cups_raster_t* raster,
                       const pappl_pr_driver_data_t& driver) {
    cups_page_header2_t header;
    if (!cupsRasterReadHeader2(raster, &header)) {
        documentError(job, "The raster can't be printed: it has no page that can be read");
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
            documentError(job, "The raster is cut short on page %u", page);
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
        documentError(job, "The raster can't be printed: it is not PWG or Apple raster");
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
