#include "JobStart.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../Utility/Credentials.h"
#include "../Utility/Log.h"
#include "../Utility/Text.h"
#include "../Utility/WorkDir.h"
#include "PageLoop.h"

// The command-line values; later writes to a row win over earlier ones.
static void takeCommandLine(const JobRequest& request, Job* job) {
    job->job_id = atoi(request.job_id);
    memcpy(job->table, tblDefParam, sizeof(job->table));
    GetJobParamFromCups(request.options, job->table);
    SetJobParam("jobId", request.job_id, job->table);
    SetJobParam("LoginName", request.user, job->table);

    char doc_name[DOC_NAME_SIZE];
    memset(doc_name, 0, sizeof(doc_name));
    char* doc_name_ptr = doc_name;
    getDocumenName(request.title, &doc_name_ptr);
    SetJobParam("DocName", doc_name, job->table);
    SetJobParam("copies", request.copies, job->table);

    char host[65];
    memset(host, 0, sizeof(host));
    gethostname(host, sizeof(host) - 1);
    logMsg("HostName: %s\n", host);
    SetJobParam("HostName", host, job->table);
}

namespace {
enum Collation { COLLATION_UNSAID, COLLATION_NO, COLLATION_YES };
}  // namespace

// Whether the options text holds `word` as a whole blank-separated token.
static bool hasToken(const char* options, const char* word) {
    size_t len = strlen(word);
    for (const char* at = strstr(options, word); at != nullptr; at = strstr(at + 1, word)) {
        bool starts = at == options || at[-1] == ' ';
        bool ends = at[len] == '\0' || at[len] == ' ';
        if (starts && ends) return true;
    }
    return false;
}

// The PPD spellings count by their presence alone, as the print dialogs send
// them; the scheduler's own spellings (the bare words from collate=true and
// collate=false, and the IPP keyword) count as well. A "no" form wins.
static Collation askedCollation(const char* options) {
    if (strstr(options, "noCollate") != nullptr || hasToken(options, "nocollate") ||
        hasToken(options, "multiple-document-handling=separate-documents-uncollated-copies")) {
        logMsg("DEBUG: option nocollate found\n");
        return COLLATION_NO;
    }
    if (strstr(options, "Collate") != nullptr || hasToken(options, "collate") ||
        hasToken(options, "multiple-document-handling=separate-documents-collated-copies")) {
        logMsg("DEBUG: option collate found\n");
        return COLLATION_YES;
    }
    return COLLATION_UNSAID;
}

static bool allocateDuplexBuffers(Job* job) {
    job->buff1 = (unsigned char*)malloc(DUPLEX_BUFFER_SIZE);
    job->buff2 = (unsigned char*)malloc(DUPLEX_BUFFER_SIZE);
    if (job->buff1 == nullptr || job->buff2 == nullptr) return false;
    job->buff1_capacity = job->buff2_capacity = DUPLEX_BUFFER_SIZE;
    return true;
}

// A PPD given as text is read from an anonymous file, as libcups reads
// files.
static ppd_file_t* openPpdText(const char* text) {
    int fd = memfd_create("ppd", MFD_CLOEXEC);
    size_t len = strlen(text);
    if (fd < 0 || write(fd, text, len) != (ssize_t)len || lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    cups_file_t* file = cupsFileOpenFd(fd, "r");
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    ppd_file_t* ppd = ppdOpen2(file);
    cupsFileClose(file);
    return ppd;
}

static bool openPpd(const JobRequest& request, Job* job) {
    job->num_options = cupsParseOptions(request.options, 0, &job->options);
    if (request.ppd_text != nullptr) {
        job->ppd = openPpdText(request.ppd_text);
    } else {
        job->ppd = request.ppd_path ? ppdOpenFile(request.ppd_path) : nullptr;
    }
    if (job->ppd == nullptr) return false;
    ppdMarkDefaults(job->ppd);
    cupsMarkOptions(job->ppd, job->num_options, job->options);
    return true;
}

static void mapCustomPageSizes(PARAM_KEY_SPERATOR_VALUE* table) {
    char* size = nullptr;
    GetJobParam("PageSize", &size, table);
    if (size != nullptr && strcmp(size, "BANK1") == 0) SetJobParam("PageSize", "CUS_1", table);
    if (size != nullptr && strcmp(size, "BANK2") == 0) SetJobParam("PageSize", "CUS_2", table);
}

static void takeCredentials(PARAM_KEY_SPERATOR_VALUE* table) {
    char auth_id[AUTH_FIELD_SIZE];
    char password[AUTH_FIELD_SIZE];
    memset(auth_id, 0, sizeof(auth_id));
    memset(password, 0, sizeof(password));
    char* auth_id_ptr = auth_id;
    char* password_ptr = password;
    if (getAuthInfo(&auth_id_ptr, &password_ptr) == 1) {
        SetJobParam("AuthID", auth_id, table);
        SetJobParam("AuthPassword", password, table);
    }
    memset(password, 0, sizeof(password));
}

// The job block, once, right after the first page header was read.
static void writeJobSettings(Job* job) {
    int32_t job_params_size = (int32_t)strlen(job->job_params);
    writeJobBlock(job->out, job->job_params, job_params_size);
    char logged[JOB_PARAMS_SIZE];
    serializeJobParams(job->table, logged, sizeof(logged), true);
    logMsg("DEBUG: job_params=%s \n", logged);
    logMsg("DEBUG: job_params_size=%d \n", job_params_size);
}

bool startJob(const JobRequest& request, Job* job, int* exit_status) {
    *exit_status = 1;
    job->out = request.out;
    takeCommandLine(request, job);
    Collation collation = askedCollation(request.options);
    job->collate = collation == COLLATION_YES;
    if (collation != COLLATION_UNSAID) logMsg("DEBUG: collate is %d\n", job->collate ? 1 : 0);

    if (!allocateDuplexBuffers(job)) {
        logMsg("Buff1 or Buff2 malloc failed\n");
        return false;
    }
    if (!openPpd(request, job)) {
        logMsg("ERROR: Unable to open PPD file!\n");
        return false;
    }
    if (collation == COLLATION_UNSAID) {
        // The queue's default, as the administrator set it.
        job->collate = ppdIsMarked(job->ppd, "Collate", "True") != 0;
        logMsg("DEBUG: collate is %d\n", job->collate ? 1 : 0);
    }
    // The printer makes the copies of a collated job: it must be told so.
    SetJobParam("Collate", job->collate ? "True" : "False", job->table);
    resolvePrintOptions(job->ppd, job->num_options, job->options, job->table, &job->settings);
    job->paper_limit = paperLimit(job->ppd);
    bool capped = false;
    job->copies = parseCopies(request.copies, &capped);
    logMsg("DEBUG: input copies is %d \n", job->copies);
    if (capped) {
        logMsg("WARNING: %s copies were asked for; %d are printed, the most this printer takes\n",
               request.copies, MAX_COPIES);
        SetJobParam("copies", std::to_string(MAX_COPIES).c_str(), job->table);
    } else {
        SetJobParam("copies", request.copies, job->table);
    }
    mapCustomPageSizes(job->table);
    if (request.job_uuid != nullptr) SetJobParam("job-uuid", request.job_uuid, job->table);
    if (request.originating_host != nullptr) {
        SetJobParam("job-originating-host-name", request.originating_host, job->table);
    }
    takeCredentials(job->table);
    applyDuplexConstraints(job->table, &job->settings);
    char* job_params = job->job_params;
    BuildJobParams(&job_params, job->table);

    // Pages kept in memory need no working directory.
    job->pages_in_memory = request.pages_in_memory;
    if (!job->pages_in_memory) {
        int opened = request.private_work_dir ? openPrivateWorkDir(request.work_dir)
                                              : openWorkDir(request.work_dir);
        if (opened != 0) return false;
    }
    job->raster_page = 1;
    job->m_page = 0;
    job->written_pages = 0;

    // A named file holds the pages (the scheduler then gives no standard
    // input); without one they come on standard input. A FIFO without a
    // writer must not hold the job up.
    int input = request.raster_fd;
    if (request.raster_file != nullptr) {
        job->input_fd = input = open(request.raster_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (input < 0) {
            logMsg("ERROR: Unable to open raster file %s: %s\n", request.raster_file,
                   strerror(errno));
            return false;
        }
    }
    job->raster = openRasterInput(&job->input, input);
    uint64_t before = job->input.delivered;
    if (job->raster == nullptr && before > 0) {
        logMsg("ERROR: The input is not CUPS raster: nothing can be printed\n");
        return false;
    }
    if (job->raster == nullptr || cupsRasterReadHeader2(job->raster, &job->header) == 0) {
        if (job->raster != nullptr && rasterDamaged(&job->input, before)) {
            logMsg(
                "ERROR: The raster's first page header is cut or damaged: nothing can be "
                "printed\n");
            return false;
        }
        logMsg("DEBUG: First page header is null \n");
        *exit_status = 0;
        return false;
    }
    writeJobSettings(job);
    job->no_more_pages = 0;
    job->need_extra_page = 0;
    job->page_width_px = (int)(job->header.cupsBytesPerLine * 8);
    job->page_height_px = (int)job->header.cupsHeight;
    return true;
}

void releaseJob(Job* job) {
    if (job->raster != nullptr) cupsRasterClose(job->raster);
    if (job->input_fd >= 0) close(job->input_fd);
    job->input_fd = -1;
    if (job->ppd != nullptr) ppdClose(job->ppd);
    cupsFreeOptions(job->num_options, job->options);
    free(job->buff1);
    free(job->buff2);
    closeWorkDir();
    job->raster = nullptr;
    job->ppd = nullptr;
    job->options = nullptr;
    job->num_options = 0;
    job->buff1 = job->buff2 = nullptr;
}

int runJob(const JobRequest& request) {
    Job job;
    int status = 0;
    if (startJob(request, &job, &status)) status = runPageLoop(&job);
    releaseJob(&job);
    // A lost printer connection must not pass for a printed job.
    if (request.out != nullptr && (fflush(request.out) != 0 || ferror(request.out)) &&
        !jobCancelled() && status == 0) {
        logMsg("ERROR: Unable to write the printer stream: %s\n", strerror(errno));
        status = 1;
    }
    return status;
}
