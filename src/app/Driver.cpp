#include "Driver.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "../Utility/Utility.h"
#include "AppJob.h"
#include "JobSettings.h"

// PAPPL rates the printer at this many pages a minute.
constexpr int PAGES_PER_MINUTE = 20;
// The PPD's imageable area leaves 12 points on every side.
constexpr int MARGIN_HUNDREDTHS_MM = 12 * 2540 / 72;
// The bytes of every line buffer PAPPL makes for streamed raster: a gray
// line 512 Ki pixels wide dithers into it.
constexpr unsigned PAPPL_LINE_BUFFER = 64 * 1024;
// What Ghostscript may say that is logged.
constexpr size_t GS_MESSAGE_MAX = 4096;

static const char* const kFeedOrientations[] = {"short-edge-first", "long-edge-first"};

static void identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
    // The printer has neither a display nor a sound the stream could reach.
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", message ? message : "");
}

// The page header a job's pages are rendered to: 1-bit black at the job's
// resolution, the paper's pixels counted from the PPD's size in points, as
// Ghostscript counts them for the filter.
static void setPageHeader(pappl_job_t* job, pappl_pr_options_t* options) {
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
    h.cupsWidth = (unsigned)((size->width_pt * dpi + 36) / 72);
    h.cupsHeight = (unsigned)((size->height_pt * dpi + 36) / 72);
    h.cupsBytesPerLine = (h.cupsWidth + 7) / 8;
}

static AppData* appData(pappl_job_t* job) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
    return static_cast<AppData*>(data.extension);
}

// ---------------------------------------------------------------------------
// A printer that dropped the connection: what it got is not a whole job, so
// a spooled document is printed again from its start, as a new job of the
// same user with the same settings. After MAX_REQUEUES drops in a row the
// job is given up.

constexpr int MAX_REQUEUES = 3;
static const char* const kSpooledFormats[] = {"application/pdf", "image/jpeg", "image/png"};

static void addOption(pappl_job_t* job, const char* name, int* count, cups_option_t** options) {
    ipp_attribute_t* attr = papplJobGetAttribute(job, name);
    char value[1024];
    if (attr != nullptr && ippAttributeString(attr, value, sizeof(value)) > 0) {
        *count = cupsAddOption(name, value, *count, options);
    }
}

// A job to queue again once the one that failed has ended: until then
// PAPPL keeps the dropped connection open for the printer's next job.
struct Requeue {
    pappl_printer_t* printer;
    const char* format;  // kept: one of kSpooledFormats
    const char* user;    // kept in AppData
    const char* name;    // kept in AppData
    std::string file;
    int count = 0;
    cups_option_t* options = nullptr;
};

static bool queueAgain(pappl_system_t*, void* data) {
    Requeue* again = static_cast<Requeue*>(data);
    pappl_job_t* job =
        papplJobCreateWithFile(again->printer, again->user, again->format, again->name,
                               again->count, again->options, again->file.c_str());
    if (job == nullptr) {
        papplLogPrinter(again->printer, PAPPL_LOGLEVEL_ERROR, "Unable to queue %s again",
                        again->name);
        unlink(again->file.c_str());
    }
    cupsFreeOptions(again->count, again->options);
    delete again;
    return false;  // once
}

// Queues the job again; says so in its message either way.
static void requeue(pappl_job_t* job, const pappl_pr_options_t& settings, AppData* app_data) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    int drops;
    {
        std::lock_guard<std::mutex> lock(app_data->lock);
        drops = ++app_data->drops[papplPrinterGetID(printer)];
    }
    if (drops > MAX_REQUEUES) {
        papplJobSetMessage(job, "The printer dropped the connection %d times in a row", drops);
        return;
    }
    // The new job's document: a second name of this job's file in the
    // spool, which the new job removes when it ends.
    Requeue* again = new Requeue;
    again->printer = printer;
    again->file = std::string(papplJobGetFilename(job)) + ".again";
    if (link(papplJobGetFilename(job), again->file.c_str()) != 0) {
        papplJobSetMessage(job, "The printer dropped the connection");
        delete again;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(app_data->lock);
        again->user = app_data->kept_names.insert(papplJobGetUsername(job)).first->c_str();
        const char* name = papplJobGetName(job);
        again->name = app_data->kept_names.insert(name ? name : "untitled").first->c_str();
    }
    again->format = kSpooledFormats[0];
    for (const char* format : kSpooledFormats) {
        if (strcmp(format, papplJobGetFormat(job)) == 0) again->format = format;
    }
    for (const char* option : {"copies", "sides", "print-quality", "printer-resolution",
                               "multiple-document-handling", "feed-orientation", "page-ranges"}) {
        addOption(job, option, &again->count, &again->options);
    }
    again->count = cupsAddOption("media", settings.media.size_name, again->count, &again->options);
    again->count =
        cupsAddOption("media-source", settings.media.source, again->count, &again->options);
    again->count = cupsAddOption("media-type", settings.media.type, again->count, &again->options);
    papplSystemAddTimerCallback(papplPrinterGetSystem(printer), time(nullptr) + 1, 0, queueAgain,
                                again);
    papplJobSetMessage(job, "The printer dropped the connection; the job is printed again");
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Printer dropped the connection, the job is queued again");
}

// The printer took the whole stream: it is online, and a drop starts its
// count again.
static void streamSent(pappl_job_t* job, AppData* app_data) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    std::lock_guard<std::mutex> lock(app_data->lock);
    app_data->drops[papplPrinterGetID(printer)] = 0;
}

// How a job ended on the printer: true when it printed (or was cancelled).
static bool settleJob(pappl_job_t* job, const pappl_pr_options_t& settings, AppJob* app, int status,
                      bool spooled) {
    AppData* app_data = appData(job);
    if (app->device_failed && !papplJobIsCanceled(job)) {
        if (spooled) requeue(job, settings, app_data);
        return false;
    }
    if (status == 0) streamSent(job, app_data);
    return status == 0;
}

// ---------------------------------------------------------------------------
// Raster from PAPPL's callbacks (PWG and Apple raster streamed from the
// client, images rendered by PAPPL): written as a CUPS raster stream into a
// socket the core reads on a thread of the job's own, so the core's road of
// a page (look-ahead, copies, duplex pairs, the last flag) is the filter's.

struct RasterFeed {
    AppJob* app = nullptr;
    int fds[2] = {-1, -1};  // the core reads [0], the callbacks write [1]
    cups_raster_t* writer = nullptr;
    std::thread core;
    int status = 0;
    unsigned pages = 0;
    bool image = false;     // PAPPL repeats an image for every copy; the core makes them
    bool skipping = false;  // a repeat, not fed
    unsigned bytes_per_line = 0;
};

static ssize_t feedWrite(void* context, unsigned char* buffer, size_t bytes) {
    RasterFeed* feed = static_cast<RasterFeed*>(context);
    size_t sent = 0;
    while (sent < bytes) {
        ssize_t n = send(feed->fds[1], buffer + sent, bytes - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;  // the core has ended
        sent += (size_t)n;
    }
    return (ssize_t)bytes;
}

static void closeFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Closes what the feed holds and frees it with its job's adapter.
static void deleteFeed(RasterFeed* feed) {
    if (feed->writer != nullptr) cupsRasterClose(feed->writer);
    closeFd(&feed->fds[0]);
    closeFd(&feed->fds[1]);
    deleteAppJob(feed->app);
    delete feed;
}

static bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    RasterFeed* feed = new RasterFeed;
    const char* format = papplJobGetFormat(job);
    feed->image = format != nullptr &&
                  (strcmp(format, "image/jpeg") == 0 || strcmp(format, "image/png") == 0);
    feed->app = newAppJob(job, options, device, appData(job)->spool.c_str());
    if (feed->app == nullptr ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, feed->fds) != 0 ||
        (feed->writer = cupsRasterOpenIO(feedWrite, feed, CUPS_RASTER_WRITE)) == nullptr) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job: %s", strerror(errno));
        deleteFeed(feed);
        return false;
    }
    try {
        feed->core = std::thread([feed]() {
            feed->status = runAppJob(feed->app, feed->fds[0]);
            // Whatever PAPPL still sends is not read any more.
            shutdown(feed->fds[0], SHUT_RD);
        });
    } catch (const std::system_error& error) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start the job: %s", error.what());
        deleteFeed(feed);
        return false;
    }
    papplJobSetData(job, feed);
    return true;
}

static bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    feed->pages++;
    // PAPPL counts every page it starts; the core counts the sides printed.
    papplJobSetImpressionsCompleted(job, -1);
    feed->skipping = feed->image && feed->pages > 1;
    if (feed->skipping) return true;
    // Streamed raster: PAPPL sizes its line buffers from this header after
    // this call. Images were rendered to it already.
    if (!feed->image) setPageHeader(job, options);
    cups_page_header2_t header = options->header;
    feed->bytes_per_line = header.cupsBytesPerLine;
    // A core that ended early refuses the page; the job's end reports why.
    cupsRasterWriteHeader2(feed->writer, &header);
    // PAPPL 1.3.1 dithers a client's gray line, as wide as the client made
    // it, into a buffer as wide as this header says: a page wider than the
    // paper would overrun it. Its buffers are made wide enough for any page
    // a client can sensibly send; the core takes the paper's width of each
    // line.
    if (!feed->image && options->header.cupsBytesPerLine < PAPPL_LINE_BUFFER) {
        options->header.cupsBytesPerLine = PAPPL_LINE_BUFFER;
    }
    return true;
}

static bool writeLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned,
                      const unsigned char* line) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    if (feed->skipping) return true;
    cupsRasterWritePixels(feed->writer, const_cast<unsigned char*>(line), feed->bytes_per_line);
    return true;
}

static bool endPage(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    // The core holds the page until it knows whether another follows.
    return true;
}

// The job's impressions are the sides the core sent.
static void settleImpressions(pappl_job_t* job, const AppJob* app) {
    papplJobSetImpressionsCompleted(job, app->impressions - papplJobGetImpressionsCompleted(job));
}

static bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*) {
    RasterFeed* feed = static_cast<RasterFeed*>(papplJobGetData(job));
    if (feed == nullptr) return false;
    cupsRasterClose(feed->writer);
    feed->writer = nullptr;
    closeFd(&feed->fds[1]);  // the end of the raster
    feed->core.join();
    settleImpressions(job, feed->app);
    bool ok = settleJob(job, *options, feed->app, feed->status, feed->image);
    deleteFeed(feed);
    papplJobSetData(job, nullptr);
    return ok;
}

// A raw job already is the printer's stream.
static bool printRaw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
    int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the job's file: %s",
                    strerror(errno));
        return false;
    }
    char buffer[65536];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(fd, buffer, sizeof(buffer))) > 0) {
        ok = papplDeviceWrite(device, buffer, (size_t)n) >= 0;
    }
    close(fd);
    papplJobSetImpressions(job, 1);
    if (ok) papplJobSetImpressionsCompleted(job, 1);
    return ok;
}

// ---------------------------------------------------------------------------
// PDF: Ghostscript renders the pages as 1-bit raster, which the core reads
// as the filter reads CUPS's. No shell; the document is an argument.

// Starts Ghostscript in a process group of its own, its raster into
// `out_fd`, its messages into `messages_fd`.
static pid_t startGhostscript(const std::vector<std::string>& args, int out_fd, int messages_fd) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ChildIo io;
    io.stdin_null = true;
    io.out = out_fd;
    io.err = messages_fd;
    return spawnInOwnGroup(argv.data(), io);
}

static std::vector<std::string> ghostscriptArgs(const pappl_pr_options_t& options,
                                                const char* file) {
    const cups_page_header2_t& h = options.header;
    std::vector<std::string> args = {
        "gs",
        "-q",
        "-sstdout=%stderr",  // its messages never mix with the raster
        "-dSAFER",
        "-dBATCH",
        "-dNOPAUSE",
        "-dNOINTERPOLATE",
        "-sDEVICE=pwgraster",
        "-dcupsColorSpace=3",
        "-dcupsBitsPerColor=1",
        "-r" + std::to_string(h.HWResolution[0]) + "x" + std::to_string(h.HWResolution[1]),
        "-dDEVICEWIDTHPOINTS=" + std::to_string(h.PageSize[0]),
        "-dDEVICEHEIGHTPOINTS=" + std::to_string(h.PageSize[1]),
        "-dFIXEDMEDIA",
        "-dPDFFitPage",
    };
    if (options.first_page > 1) args.push_back("-dFirstPage=" + std::to_string(options.first_page));
    if (options.last_page > 0 && options.last_page < (unsigned)INT32_MAX) {
        args.push_back("-dLastPage=" + std::to_string(options.last_page));
    }
    args.push_back("-sOutputFile=%stdout");
    args.push_back("-f");
    args.push_back(file);
    return args;
}

// What Ghostscript said, in the job's log.
static void logMessages(pappl_job_t* job, int fd) {
    char text[GS_MESSAGE_MAX + 1];
    ssize_t n = pread(fd, text, GS_MESSAGE_MAX, 0);
    if (n <= 0) return;
    text[n] = '\0';
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "gs: %s", line);
    }
}

bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data) {
    AppData* app_data = static_cast<AppData*>(data);
    // The page count is unknown; more than one keeps the printer's sides.
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, INT32_MAX, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    AppJob* app = newAppJob(job, options, device, app_data->spool.c_str());
    int raster[2] = {-1, -1};
    int messages = memfd_create("gs-messages", MFD_CLOEXEC);
    bool ok = false;
    pid_t gs = -1;
    if (app != nullptr && messages >= 0 && pipe2(raster, O_CLOEXEC) == 0) {
        gs = startGhostscript(ghostscriptArgs(*options, papplJobGetFilename(job)), raster[1],
                              messages);
        closeFd(&raster[1]);
        if (gs < 0) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run Ghostscript: %s",
                        strerror(errno));
            papplJobSetMessage(job, "Ghostscript, which renders PDF, can't be run");
        }
    }
    if (gs > 0) {
        int status = runAppJob(app, raster[0]);
        closeFd(&raster[0]);  // a Ghostscript still writing gets EPIPE
        int gs_status = 0;
        if (status != 0 || papplJobIsCanceled(job)) kill(-gs, SIGKILL);
        while (waitpid(gs, &gs_status, 0) < 0 && errno == EINTR) {
        }
        logMessages(job, messages);
        settleImpressions(job, app);
        // Ghostscript gets over much damage, and may then render nothing.
        bool rendered = WIFEXITED(gs_status) && WEXITSTATUS(gs_status) == 0 && app->impressions > 0;
        if (!rendered && !papplJobIsCanceled(job) && !app->device_failed) {
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
            papplJobSetMessage(job, "The PDF document is damaged: %s",
                               app->impressions > 0 ? "it could not be read to its end"
                                                    : "no page of it could be read");
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript failed (status %d)", gs_status);
        }
        ok = settleJob(job, *options, app, status, true) && (rendered || papplJobIsCanceled(job));
    }
    closeFd(&raster[0]);
    closeFd(&raster[1]);
    if (messages >= 0) close(messages);
    deleteAppJob(app);
    papplJobDeletePrintOptions(options);
    return ok;
}

// ---------------------------------------------------------------------------
// JPEG and PNG: decoded here and rendered by PAPPL, at the job's resolution
// rather than PAPPL's reading of print-quality.

struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

static void jpegFailed(j_common_ptr info) {
    JpegError* error = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    longjmp(error->jump, 1);
}

// The largest image PAPPL's own filters would take.
struct ImageLimit {
    size_t bytes;
    int width, height;
};

static const char* tooLarge(const ImageLimit& limit, unsigned width, unsigned height) {
    if (width == 0 || height == 0) return "it has no pixels";
    if (width > (unsigned)limit.width || height > (unsigned)limit.height ||
        (size_t)width * height > limit.bytes) {
        return "it is larger than the printer application takes";
    }
    return nullptr;
}

// Decodes the JPEG file as gray into *pixels; false with `why` set. (The
// decoder's errors return here through longjmp: nothing of this frame is
// changed between setjmp and the decoding.)
static bool readJpeg(const char* path, const ImageLimit& limit, std::vector<unsigned char>* pixels,
                     int* width, int* height, std::string* why) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        *why = strerror(errno);
        return false;
    }
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFailed;
    if (setjmp(error.jump)) {
        *why = error.message;
        jpeg_destroy_decompress(&info);
        fclose(file);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&info);
    const char* refused = tooLarge(limit, info.output_width, info.output_height);
    if (refused == nullptr) {
        jpeg_start_decompress(&info);
        pixels->resize((size_t)info.output_width * info.output_height);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels->data() + (size_t)info.output_scanline * info.output_width;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        *width = (int)info.output_width;
        *height = (int)info.output_height;
    } else {
        *why = refused;
    }
    jpeg_destroy_decompress(&info);
    fclose(file);
    return refused == nullptr;
}

static bool readPng(const char* path, const ImageLimit& limit, std::vector<unsigned char>* pixels,
                    int* width, int* height, std::string* why) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path) == 0) {
        *why = image.message;
        return false;
    }
    const char* refused = tooLarge(limit, image.width, image.height);
    if (refused != nullptr) {
        *why = refused;
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    pixels->resize(PNG_IMAGE_SIZE(image));
    png_color white = {255, 255, 255};
    if (png_image_finish_read(&image, &white, pixels->data(), 0, nullptr) == 0) {
        *why = image.message;
        png_image_free(&image);
        return false;
    }
    *width = (int)image.width;
    *height = (int)image.height;
    return true;
}

bool imageFilter(pappl_job_t* job, pappl_device_t* device, void*) {
    const char* format = papplJobGetFormat(job);
    ImageLimit limit;
    limit.bytes = papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)),
                                             &limit.width, &limit.height);
    int width = 0, height = 0;
    std::string why;
    std::vector<unsigned char> pixels;
    bool read = false;
    try {
        read = strcmp(format, "image/png") == 0
                   ? readPng(papplJobGetFilename(job), limit, &pixels, &width, &height, &why)
                   : readJpeg(papplJobGetFilename(job), limit, &pixels, &width, &height, &why);
    } catch (const std::bad_alloc&) {
        why = "there is no memory for it";
    }
    if (!read) {
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "The image can't be printed: %s", why.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The image can't be printed: %s", why.c_str());
        return false;
    }
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    bool ok = papplJobFilterImage(job, device, options, pixels.data(), width, height, 1, 0, true);
    papplJobDeletePrintOptions(options);
    return ok;
}

// ---------------------------------------------------------------------------
// The driver.

bool driverCallback(pappl_system_t*, const char* driver_name, const char*, const char*,
                    pappl_pr_driver_data_t* d, ipp_t** driver_attrs, void* data) {
    if (strcmp(driver_name, DRIVER_NAME) != 0) return false;
    d->extension = data;
    d->identify_cb = identify;
    d->printfile_cb = printRaw;
    d->rstartjob_cb = startJob;
    d->rstartpage_cb = startPage;
    d->rwriteline_cb = writeLine;
    d->rendpage_cb = endPage;
    d->rendjob_cb = endJob;
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
    d->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8 |
                      PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    d->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
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
    // Black only: there is no colour to render.
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
                 "auto");
    *driver_attrs = attrs;
    return true;
}

void printerCreated(pappl_printer_t* printer, void*) {
    // The stream carries no status back: the toner's level is not known.
    pappl_supply_t toner = {};
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    snprintf(toner.description, sizeof(toner.description), "Black Toner");
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER;
    papplPrinterSetSupplies(printer, 1, &toner);
}
