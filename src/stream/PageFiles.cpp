#include "PageFiles.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/WorkDir.h"

static void formatPath(char* path, const char* format, int job_id, int n) {
    memset(path, 0, PAGE_PATH_SIZE);
    snprintf(path, PAGE_PATH_SIZE, format, workDir().path, job_id, n);
}

void pagePbmPath(char* path, int job_id, int n) { formatPath(path, "%s%d_%d_gs.pbm", job_id, n); }

void rotatedPbmPath(char* path, int job_id, int n) {
    formatPath(path, "%s%d_%d_gs_rotated.pbm", job_id, n);
}

void pageJbgPath(char* path, int job_id, int n) { formatPath(path, "%s%d-%d.jbg", job_id, n); }

void removePageFiles(const Job& job, int n) {
    // Pages kept in memory leave no file.
    if (job.pages_in_memory) return;
    int job_id = job.job_id;
    char path[PAGE_PATH_SIZE];
    pagePbmPath(path, job_id, n);
    unlink(path);
    rotatedPbmPath(path, job_id, n);
    unlink(path);
    pageJbgPath(path, job_id, n);
    unlink(path);
}

PageResult measureJbig(const char* path, const char* label, int n, JbigPage* page) {
    page->file = openWorkFile(path);
    if (page->file == nullptr) {
        logMsg("ERROR: Unable to print %s %d: its JBIG file %s was not made\n", label, n, path);
        return PAGE_FAILED;
    }
    if (fseeko(page->file, 0, SEEK_END) != 0) {
        logMsg("DEBUG: %s %d fseek end failed\n", label, n);
        releaseJbig(page);
        return PAGE_FAILED;
    }
    page->size = (int64_t)ftello(page->file);
    logMsg("DEBUG: %s %d jbg file size: %ld \n", label, n, (long)page->size);
    if (page->size == -1) logMsg("DEBUG: %s %d ftell failed \n", label, n);
    if (fseeko(page->file, 0, SEEK_SET) != 0) {
        logMsg("DEBUG: %s %d fseek begin failed\n", label, n);
        releaseJbig(page);
        return PAGE_FAILED;
    }
    // The record's size field is a signed 32-bit integer.
    if (page->size < 0 || page->size > INT32_MAX) {
        logMsg("ERROR: Unable to print %s %d: its JBIG size %ld can't be sent\n", label, n,
               (long)page->size);
        releaseJbig(page);
        return PAGE_FAILED;
    }
    return PAGE_DONE;
}

PageResult readJbig(int n, JbigPage* page) {
    if (page->size == 0 || page->data != nullptr) return PAGE_DONE;  // in memory already
    page->data = (unsigned char*)calloc((size_t)page->size, 1);
    if (page->data == nullptr) {
        logMsg("ERROR: Unable to print page %d: no memory for %ld bytes of JBIG data\n", n,
               (long)page->size);
        return PAGE_FAILED;
    }
    size_t got = fread(page->data, 1, (size_t)page->size, page->file);
    (void)got;  // a short read leaves zeros; the record still states the full size
    return PAGE_DONE;
}

void releaseJbig(JbigPage* page) {
    if (page->file != nullptr) fclose(page->file);
    free(page->data);
    page->file = nullptr;
    page->data = nullptr;
}
