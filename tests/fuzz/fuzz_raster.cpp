// Bytes as the raster stream of a job, through the page loop the filter
// runs, with the job's settings taken from the first byte and the encoder
// replaced by a stand-in.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "Utility/WorkDir.h"
#include "image/Jbig.h"
#include "stream/Job.h"
#include "stream/JobStart.h"
#include "stream/PageLoop.h"

namespace {

// Pages beyond 8 MiB of raster only measure the allocator and the disk.
bool pagesAreSmall(int fd) {
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (raster == nullptr) return false;
    cups_page_header2_t header;
    bool small = true;
    unsigned char row[65536];
    while (small && cupsRasterReadHeader2(raster, &header)) {
        uint64_t bytes = (uint64_t)header.cupsBytesPerLine * header.cupsHeight;
        small = bytes <= (8u << 20) && header.cupsBytesPerLine <= sizeof(row);
        for (unsigned y = 0; small && y < header.cupsHeight; y++) {
            if (cupsRasterReadPixels(raster, row, header.cupsBytesPerLine) == 0) break;
        }
    }
    cupsRasterClose(raster);
    return small;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setEncoderRunner(fakeEncoder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int fd = memfd_create("raster", MFD_CLOEXEC);
    if (fd < 0) return 0;
    bool written = write(fd, data + 1, size - 1) == (ssize_t)(size - 1);
    if (!written || lseek(fd, 0, SEEK_SET) != 0 || !pagesAreSmall(fd) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return 0;
    }

    Job job;
    openWorkDir(WORK_DIR);  // released, and emptied by the next input, with the job
    memcpy(job.table, tblDefParam, sizeof(job.table));
    uint8_t settings = data[0];
    job.collate = settings & 1;
    job.settings.duplex = (settings >> 1) & 3;
    if (job.settings.duplex == 3) job.settings.duplex = 0;
    job.settings.Flag_Page_A5 = job.settings.feed_edge =
        (job.settings.duplex == 0) && (settings & 8);
    job.copies = (settings >> 4) - 2;
    job.out = fopen("/dev/null", "wb");
    job.buff1 = (unsigned char*)malloc(DUPLEX_BUFFER_SIZE);
    job.buff2 = (unsigned char*)malloc(DUPLEX_BUFFER_SIZE);
    job.buff1_capacity = job.buff2_capacity = DUPLEX_BUFFER_SIZE;
    job.raster = openRasterInput(&job.input, fd);
    if (job.out && job.raster && cupsRasterReadHeader2(job.raster, &job.header)) {
        job.page_width_px = (int)(job.header.cupsBytesPerLine * 8);
        job.page_height_px = (int)job.header.cupsHeight;
        runPageLoop(&job);
    }
    if (job.out) fclose(job.out);
    releaseJob(&job);
    close(fd);
    return 0;
}
