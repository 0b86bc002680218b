#include "PageEncoder.h"

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "../Utility/Log.h"
#include "../Utility/WorkDir.h"
#include "../image/Jbig.h"
#include "../image/Rotate.h"

PageResult storePage(Job* job, PendingPage* page, unsigned char* pixels) {
    const cups_page_header2_t& h = job->header;
    if (job->pages_in_memory) {
        page->bitmap = pixels;
        return PAGE_DONE;
    }
    char pbm_path[PAGE_PATH_SIZE];
    pagePbmPath(pbm_path, job->job_id, page->n);
    size_t bytes = (size_t)h.cupsHeight * h.cupsBytesPerLine;
    PageResult result = PAGE_FAILED;
    FILE* file = createWorkFile(pbm_path);
    if (file != nullptr) {
        fprintf(file, "P4\n%u %u\n", h.cupsWidth, h.cupsHeight);
        bool written = fwrite(pixels, 1, bytes, file) == bytes;
        if (fclose(file) == 0 && written) result = PAGE_DONE;
    }
    if (result != PAGE_DONE) {
        logMsg("ERROR: Unable to print page %d: can't store it in %s\n", page->n, pbm_path);
    }
    free(pixels);
    return result;
}

// Pages of the job whose encoding is still under way.
static int pagesEncoding(const Job& job) {
    int n = 0;
    for (int i = 0; i < job.ahead_count; i++) {
        const PendingPage& p = job.ahead[(job.ahead_first + i) % MAX_PAGES_AHEAD];
        struct pollfd done = {bitmapEncodingFd(&p.encoder), POLLIN, 0};
        if (done.fd >= 0 && poll(&done, 1, 0) == 0) n++;
    }
    return n;
}

// A page is cut into two runs of stripes on two threads while fewer of the
// job's pages than processors are encoding (the first and last pages of a
// job, a job of few pages); otherwise the pages themselves keep the
// processors busy.
static int stripeRuns(const Job& job) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return pagesEncoding(job) + 1 < online ? 2 : 1;
}

// In memory: the A5L turn gives a new bitmap, then the encoder starts on
// it. The page's header is still the one read last.
static void startInMemory(Job* job, PendingPage* page) {
    unsigned char* bits = page->bitmap;
    page->bitmap = nullptr;
    int width = (int)job->header.cupsWidth, height = (int)job->header.cupsHeight;
    if (isA5L(job->settings)) {
        unsigned char* turned = rotateBitmap(bits, width, height, -90);
        logMsg("DEBUG: A5L need rotate.[-90]");
        free(bits);
        if (turned == nullptr) {
            logMsg("ERROR: Unable to print page %d: no memory to turn it\n", page->n);
            page->started = ENCODE_FAILED;
            return;
        }
        bits = turned;
        std::swap(width, height);
    }
    char name[32];
    snprintf(name, sizeof(name), "page %d", page->n);
    page->started =
        startBitmapEncoding(bits, width, height, name, &page->encoder, stripeRuns(*job));
}

void startPageEncoding(Job* job, PendingPage* page) {
    if (job->pages_in_memory) {
        startInMemory(job, page);
        return;
    }
    char pbm[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, page->n);
    if (isA5L(job->settings)) {
        char rotated[PAGE_PATH_SIZE];
        rotatedPbmPath(rotated, job->job_id, page->n);
        rotatePbm(pbm, rotated, -90);
        logMsg("DEBUG: A5L need rotate.[-90]");
        memcpy(pbm, rotated, sizeof(pbm));
    }
    char jbg[PAGE_PATH_SIZE];
    pageJbgPath(jbg, job->job_id, page->n);
    page->started = startPbmtojbg(pbm, jbg, &page->encoder);
}

// The JBIG data an encoding in memory gave, measured as a file would be.
static PageResult collectInMemory(EncoderRun* run, const char* label, int n, JbigPage* jbig) {
    *jbig = JbigPage();
    if (finishBitmapEncoding(run, &jbig->data, &jbig->size) != ENCODED) {
        logMsg("ERROR: Unable to print %s %d: its JBIG data was not made\n", label, n);
        return PAGE_FAILED;
    }
    logMsg("DEBUG: %s %d jbg size: %ld \n", label, n, (long)jbig->size);
    // The record's size field is a signed 32-bit integer.
    if (jbig->size > INT32_MAX) {
        logMsg("ERROR: Unable to print %s %d: its JBIG size %ld can't be sent\n", label, n,
               (long)jbig->size);
        releaseJbig(jbig);
        return PAGE_FAILED;
    }
    return PAGE_DONE;
}

PageResult collectPageEncoding(Job* job, PendingPage* page, JbigPage* jbig) {
    if (job->pages_in_memory) return collectInMemory(&page->encoder, "page", job->m_page, jbig);
    if (page->started == ENCODED && finishPbmtojbg(&page->encoder) == ENCODE_STOPPED) {
        removePageFiles(*job, page->n);
        return PAGE_CANCELLED;
    }
    return measureJbig(page->encoder.jbg_file, "page", job->m_page, jbig);
}

void dropPageEncoding(Job* job, PendingPage* page) {
    stopPbmtojbg(&page->encoder);
    free(page->bitmap);
    page->bitmap = nullptr;
    removePageFiles(*job, page->n);
}

// A white page of the first page's size, whose width is a whole number of
// bytes.
static void makeBlankPbm(const Job& job, const char* path) {
    int width = job.page_width_px;
    int height = job.page_height_px;
    logMsg(
        "DEBUG: extra file %s not exists, ignore, create a empty pbm file, cupsheight %d, width "
        "%d bytesperline %d\n",
        path, height, width, width / 8);
    FILE* file = createWorkFile(path);
    if (file == nullptr) return;  // the missing JBIG file ends the job
    fprintf(file, "P4\n%d %d\n", width, height);
    static const unsigned char kWhite[64 * 1024] = {};
    uint64_t left = (uint64_t)(width / 8) * (uint64_t)height;
    while (left > 0) {
        size_t chunk = left < sizeof(kWhite) ? (size_t)left : sizeof(kWhite);
        if (fwrite(kWhite, 1, chunk, file) != chunk) break;
        left -= chunk;
    }
    fclose(file);
}

PageResult encodeBlankPage(Job* job, JbigPage* jbig) {
    if (job->pages_in_memory) {
        int width = job->page_width_px, height = job->page_height_px;
        unsigned char* white = (unsigned char*)calloc((size_t)(width / 8) * (size_t)height, 1);
        EncoderRun run;
        if (white != nullptr) startBitmapEncoding(white, width, height, "the back page", &run);
        return collectInMemory(&run, "extra page", job->m_page, jbig);
    }
    char pbm[PAGE_PATH_SIZE], jbg[PAGE_PATH_SIZE];
    pagePbmPath(pbm, job->job_id, job->m_page);
    makeBlankPbm(*job, pbm);
    pageJbgPath(jbg, job->job_id, job->m_page);
    if (pbmtojbg(pbm, jbg) == ENCODE_STOPPED) return PAGE_CANCELLED;
    return measureJbig(jbg, "extra page", job->m_page, jbig);
}
