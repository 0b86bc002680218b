// quelmoss_bench: the filter's cost next to the floor it can't go below.
//
// For every job and print mode the filter is run on the job's raster, and,
// interleaved with it, the floor: reading the same raster with libcupsimage
// plus running the same pbmtojbg command on the same PBM files in a plain
// loop. Reports pages per second, wall and CPU time, the ratio filter /
// floor, the filter's peak resident memory, and how time grows with pages
// and resolution. Table on standard output, JSON into --out.
//
// Then the end to end figure of a real job (12 pages of a PDF at 600 dpi),
// as CUPS runs it: CUPS's raster producer (cupsfilter) alone, the filter
// alone on what it rendered, the same encoder commands back to back, and
// the producer piped into the filter, with the ratio pipeline / (producer
// + encoder back to back) and the time to the first page record.
//
//   quelmoss_bench --filter F --ppd P --work DIR [--out FILE] [--repeats N] [--quick]
//                  [--end-to-end-only]
#include <cjson/cJSON.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "RasterWriter.h"

extern char** environ;

namespace {

struct Settings {
    std::string filter, ppd, work, out;
    int repeats = 3;
    bool quick = false;
    bool end_to_end_only = false;
};

struct BenchJob {
    std::string name;
    std::string raster;  // path
    int pages = 0;
    int dpi = 600;
};

struct Mode {
    const char* name;
    const char* options;
    int copies;
};

const Mode kModes[] = {
    {"simplex", "", 1},
    {"simplex x3", "", 3},
    {"duplex", "Duplex=DuplexNoTumble", 1},
    {"duplex x3", "Duplex=DuplexNoTumble", 3},
};

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuSeconds(const rusage& u) {
    return (double)u.ru_utime.tv_sec + (double)u.ru_utime.tv_usec / 1e6 +
           (double)u.ru_stime.tv_sec + (double)u.ru_stime.tv_usec / 1e6;
}

long peakKiB(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = atol(line + 6);
    }
    fclose(f);
    return kib;
}

struct Run {
    double wall = 0, cpu = 0;  // cpu includes the children it waited for
    long peak_kib = 0;         // the process's own peak, sampled
    int status = -1;
};

// Runs argv with stdin from `in` and stdout to /dev/null.
Run runProcess(const std::vector<std::string>& argv, const std::string& in,
               const std::vector<std::string>& env) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!in.empty()) posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (char** e = environ; *e; e++) envp.push_back(*e);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    Run run;
    double start = now();
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) return run;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage usage;
    for (;;) {
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        run.peak_kib = std::max(run.peak_kib, peakKiB(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.wall = now() - start;
    run.cpu = cpuSeconds(usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

Run runFilter(const Settings& s, const BenchJob& job, const Mode& mode) {
    return runProcess({s.filter, "1", "bench", job.name, std::to_string(mode.copies), mode.options},
                      job.raster, {"PPD=" + s.ppd});
}

// Reads every page of a raster file as the filter does; returns the page
// count. Reading the raster is part of the floor: the filter can't print a
// page it hasn't read. With `pbms`, each page is also stored as PBM in
// `dir`, as the filter stores it for its encoder, and a duplex job of odd
// length (`blank_back`) gets its blank back page.
int readRaster(const std::string& path, const std::string& dir = "",
               std::vector<std::string>* pbms = nullptr, bool blank_back = false) {
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    std::vector<unsigned char> pixels;
    int pages = 0, blank_width = 0, blank_height = 0;
    auto store = [&](unsigned width, unsigned height, const unsigned char* rows, size_t size) {
        std::string pbm = dir + "/" + std::to_string(pbms->size() + 1) + ".pbm";
        FILE* f = fopen(pbm.c_str(), "wb");
        if (f == nullptr) exit(1);
        fprintf(f, "P4\n%u %u\n", width, height);
        fwrite(rows, 1, size, f);
        fclose(f);
        pbms->push_back(pbm);
    };
    while (raster && cupsRasterReadHeader2(raster, &h)) {
        pixels.assign((size_t)h.cupsBytesPerLine * h.cupsHeight, 0);
        cupsRasterReadPixels(raster, pixels.data(), (unsigned)pixels.size());
        if (pages++ == 0) {
            blank_width = (int)h.cupsBytesPerLine * 8;
            blank_height = (int)h.cupsHeight;
        }
        if (pbms != nullptr) store(h.cupsWidth, h.cupsHeight, pixels.data(), pixels.size());
    }
    if (pbms != nullptr && blank_back && pages % 2 == 1) {
        pixels.assign((size_t)blank_width / 8 * blank_height, 0);
        store(blank_width, blank_height, pixels.data(), pixels.size());
    }
    if (raster) cupsRasterClose(raster);
    close(fd);
    return pages;
}

// The old filter's work, one step after the other: read and store every
// page, then run the encoder on each. *encoder_wall, when given, receives
// the encoder runs' part.
Run runFloor(const Settings& s, const BenchJob& job, const Mode& mode,
             double* encoder_wall = nullptr) {
    std::string dir = s.work + "/floor";
    mkdir(dir.c_str(), 0700);
    Run floor;
    std::vector<std::string> pbms;
    double start = now();
    readRaster(job.raster, dir, &pbms, strstr(mode.options, "Duplex") != nullptr);
    floor.wall = now() - start;
    floor.cpu = floor.wall;  // in-process and single-threaded
    double read_wall = floor.wall;
    for (const std::string& pbm : pbms) {
        FILE* f = fopen(pbm.c_str(), "rb");
        int w = 0, h = 0;
        if (!f || fscanf(f, "P4 %d %d", &w, &h) != 2) w = h = 0;
        if (f) fclose(f);
        std::string jbg = pbm + ".jbg";
        Run enc = runProcess({"pbmtojbg", "-q", "-x", std::to_string(w), "-y", std::to_string(h),
                              "-r", "-s", "128", "-o", "0", "-p", "8", "-m", "0", pbm, jbg},
                             "", {});
        floor.wall += enc.wall;
        floor.cpu += enc.cpu;
        unlink(jbg.c_str());
        unlink(pbm.c_str());
    }
    floor.status = 0;
    if (encoder_wall != nullptr) *encoder_wall = floor.wall - read_wall;
    return floor;
}

// The end to end figure, medians over the repeats.
struct EndToEnd {
    int pages = 0;
    double producer = 0;      // cupsfilter alone, raster to /dev/null
    double filter = 0;        // the filter alone on that raster
    double encoder = 0;       // the filter's encoder commands, back to back
    double pipeline = 0;      // cupsfilter | filter
    double first_record = 0;  // from the pipeline's start to its first page record
};

// Runs `command` with sh, its standard output read here; returns the wall
// time and, in *first_record, when the first byte after the job block came.
double timePipeline(const std::string& command, double* first_record) {
    int fds[2];
    if (pipe(fds) != 0) exit(1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    double start = now();
    pid_t pid;
    if (posix_spawnp(&pid, "sh", &fa, nullptr, const_cast<char**>(argv), environ) != 0) exit(1);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string head;  // the job block's 20 header bytes
    size_t total = 0, block_end = SIZE_MAX;
    *first_record = 0;
    char chunk[65536];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) {
        if (head.size() < 20) head.append(chunk, std::min((size_t)n, 20 - head.size()));
        if (head.size() == 20 && block_end == SIZE_MAX) {
            uint32_t len = (unsigned char)head[16] | (unsigned char)head[17] << 8 |
                           (unsigned char)head[18] << 16 | (uint32_t)(unsigned char)head[19] << 24;
            block_end = 20 + (size_t)len;
        }
        total += (size_t)n;
        if (*first_record == 0 && total > block_end) *first_record = now() - start;
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return now() - start;
}

EndToEnd measureEndToEnd(const Settings& s) {
    std::string manual = s.work + "/manual.pdf";
    std::string cmd = "zcat /usr/share/doc/bzip2/manual.pdf.gz > " + manual;
    if (system(cmd.c_str()) != 0) exit(1);
    std::string produce = "cupsfilter -p " + s.ppd +
                          " -m application/vnd.cups-raster -o page-ranges=1-12 " + manual +
                          " 2>/dev/null";
    std::string raster = s.work + "/end-to-end.ras";
    std::string filter = "PPD=" + s.ppd + " " + s.filter + " 1 bench manual.pdf 1 '' 2>/dev/null";
    if (system((produce + " > " + raster).c_str()) != 0) exit(1);
    BenchJob job{"end to end", raster, readRaster(raster), 600};
    std::vector<double> producer, alone, encoder, pipeline, first;
    for (int i = 0; i < s.repeats; i++) {
        double ignored = 0;
        producer.push_back(timePipeline(produce, &ignored));
        Run f = runFilter(s, job, kModes[0]);
        alone.push_back(f.wall);
        double encoder_wall = 0;  // one encoder at a time, as the old filter ran them
        runFloor(s, job, kModes[0], &encoder_wall);
        encoder.push_back(encoder_wall);
        double first_record = 0;
        pipeline.push_back(timePipeline(produce + " | " + filter, &first_record));
        first.push_back(first_record);
    }
    EndToEnd e;
    e.pages = job.pages;
    e.producer = median(producer);
    e.filter = median(alone);
    e.encoder = median(encoder);
    e.pipeline = median(pipeline);
    e.first_record = median(first);
    return e;
}

void reportEndToEnd(const EndToEnd& e, cJSON* root) {
    printf("\nEnd to end, %d pages of a PDF at 600 dpi (%ld processors online):\n", e.pages,
           sysconf(_SC_NPROCESSORS_ONLN));
    printf("  CUPS's raster producer alone       %7.3f s\n", e.producer);
    printf("  the filter alone on its raster     %7.3f s  (%.2f of the encoder back to back)\n",
           e.filter, e.filter / e.encoder);
    printf("  the encoder run back to back       %7.3f s\n", e.encoder);
    printf("  producer piped into the filter     %7.3f s\n", e.pipeline);
    printf("  pipeline / (producer + encoder)    %7.3f\n", e.pipeline / (e.producer + e.encoder));
    printf("  time to the first page record      %7.3f s\n", e.first_record);
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "job", "end to end");
    cJSON_AddNumberToObject(o, "pages", e.pages);
    cJSON_AddNumberToObject(o, "processors_online", (double)sysconf(_SC_NPROCESSORS_ONLN));
    cJSON_AddNumberToObject(o, "producer_s", e.producer);
    cJSON_AddNumberToObject(o, "filter_s", e.filter);
    cJSON_AddNumberToObject(o, "encoder_back_to_back_s", e.encoder);
    cJSON_AddNumberToObject(o, "pipeline_s", e.pipeline);
    cJSON_AddNumberToObject(o, "pipeline_ratio", e.pipeline / (e.producer + e.encoder));
    cJSON_AddNumberToObject(o, "filter_to_encoder_ratio", e.filter / e.encoder);
    cJSON_AddNumberToObject(o, "first_record_s", e.first_record);
    cJSON_AddItemToArray(root, o);
}

struct Result {
    std::string job, mode;
    int pages, dpi;
    double filter_wall, filter_cpu, floor_wall, floor_cpu;
    long peak_kib;
};

Result measure(const Settings& s, const BenchJob& job, const Mode& mode) {
    std::vector<double> fw, fc, lw, lc;
    long peak = 0;
    for (int i = 0; i < s.repeats; i++) {
        Run f = runFilter(s, job, mode);
        if (f.status != 0) {
            fprintf(stderr, "quelmoss_bench: filter failed (%d) on %s\n", f.status,
                    job.name.c_str());
            exit(1);
        }
        Run l = runFloor(s, job, mode);
        fw.push_back(f.wall);
        fc.push_back(f.cpu);
        lw.push_back(l.wall);
        lc.push_back(l.cpu);
        peak = std::max(peak, f.peak_kib);
    }
    return {job.name,   mode.name,  job.pages,  job.dpi, median(fw),
            median(fc), median(lw), median(lc), peak};
}

bool renderWithCups(const Settings& s, const std::string& input, const std::string& options,
                    const std::string& out) {
    std::string cmd = "cupsfilter -p " + s.ppd + " -m application/vnd.cups-raster " + options +
                      " " + input + " > " + out + " 2>/dev/null";
    return system(cmd.c_str()) == 0;
}

std::vector<BenchJob> prepareJobs(const Settings& s, const std::string& source_dir) {
    std::vector<BenchJob> jobs;
    std::string manual = s.work + "/manual.pdf";
    std::string cmd = "zcat /usr/share/doc/bzip2/manual.pdf.gz > " + manual;
    if (system(cmd.c_str()) != 0) exit(1);
    std::string text_pages = s.quick ? "1-3" : "1-10";
    for (int dpi : {600, 1200}) {
        std::string res = " -o Resolution=" + std::to_string(dpi) + "dpi";
        BenchJob text{"text " + std::to_string(dpi),
                      s.work + "/text-" + std::to_string(dpi) + ".ras", 0, dpi};
        BenchJob tone{"halftone " + std::to_string(dpi),
                      s.work + "/halftone-" + std::to_string(dpi) + ".ras", 0, dpi};
        if (!renderWithCups(s, manual, "-o page-ranges=" + text_pages + res, text.raster) ||
            !renderWithCups(s, source_dir + "/bench/halftone.ps", res, tone.raster)) {
            fprintf(stderr, "quelmoss_bench: cupsfilter failed\n");
            exit(1);
        }
        jobs.push_back(text);
        jobs.push_back(tone);
    }
    for (int pages : s.quick ? std::vector<int>{1, 10} : std::vector<int>{1, 10, 100}) {
        std::vector<RasterPage> list;
        for (int i = 0; i < pages; i++) {
            // A4 at 600 dpi, every page alike, so that time per page shows
            // what the page count alone costs.
            list.push_back({4958, 7016, Pattern::Checker});
        }
        BenchJob job{"synthetic " + std::to_string(pages),
                     s.work + "/synthetic-" + std::to_string(pages) + ".ras", pages, 600};
        if (!writeRasterFile(job.raster, list, true)) exit(1);
        jobs.push_back(job);
    }
    for (BenchJob& job : jobs) job.pages = readRaster(job.raster);
    return jobs;
}

void report(const std::vector<Result>& results, const EndToEnd& end_to_end, const Settings& s) {
    if (!results.empty()) {
        printf("%-14s %-10s %5s %8s %9s %9s %9s %9s %7s %9s\n", "job", "mode", "pages", "pages/s",
               "wall s", "cpu s", "floor s", "floor cpu", "ratio", "peak MiB");
    }
    cJSON* root = cJSON_CreateArray();
    for (const Result& r : results) {
        printf("%-14s %-10s %5d %8.2f %9.3f %9.3f %9.3f %9.3f %7.3f %9.1f\n", r.job.c_str(),
               r.mode.c_str(), r.pages, r.pages / r.filter_wall, r.filter_wall, r.filter_cpu,
               r.floor_wall, r.floor_cpu, r.filter_wall / r.floor_wall, r.peak_kib / 1024.0);
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "job", r.job.c_str());
        cJSON_AddStringToObject(o, "mode", r.mode.c_str());
        cJSON_AddNumberToObject(o, "pages", r.pages);
        cJSON_AddNumberToObject(o, "dpi", r.dpi);
        cJSON_AddNumberToObject(o, "pages_per_second", r.pages / r.filter_wall);
        cJSON_AddNumberToObject(o, "filter_wall_s", r.filter_wall);
        cJSON_AddNumberToObject(o, "filter_cpu_s", r.filter_cpu);
        cJSON_AddNumberToObject(o, "floor_wall_s", r.floor_wall);
        cJSON_AddNumberToObject(o, "floor_cpu_s", r.floor_cpu);
        cJSON_AddNumberToObject(o, "ratio", r.filter_wall / r.floor_wall);
        cJSON_AddNumberToObject(o, "peak_rss_kib", (double)r.peak_kib);
        cJSON_AddItemToArray(root, o);
    }
    auto find = [&](const std::string& job, const char* mode) -> const Result* {
        for (const Result& r : results)
            if (r.job == job && r.mode == mode) return &r;
        return nullptr;
    };
    if (!results.empty()) printf("\nGrowth (wall time per page, simplex):\n");
    const Result* one = find("synthetic 1", "simplex");
    for (const char* name : {"synthetic 10", "synthetic 100"}) {
        const Result* r = find(name, "simplex");
        if (one && r) {
            printf("  1 -> %-13s %.3f s -> %.3f s a page (x%.2f)\n", name + 10, one->filter_wall,
                   r->filter_wall / r->pages, (r->filter_wall / r->pages) / one->filter_wall);
        }
    }
    for (const char* kind : {"text", "halftone"}) {
        const Result* lo = find(std::string(kind) + " 600", "simplex");
        const Result* hi = find(std::string(kind) + " 1200", "simplex");
        if (lo && hi) {
            printf("  %-8s 600 -> 1200 dpi: x%.2f wall\n", kind, hi->filter_wall / lo->filter_wall);
        }
    }
    reportEndToEnd(end_to_end, root);
    if (!s.out.empty()) {
        char* text = cJSON_Print(root);
        FILE* f = fopen(s.out.c_str(), "w");
        if (f) {
            fprintf(f, "%s\n", text);
            fclose(f);
        }
        free(text);
        printf("\nResults also in %s\n", s.out.c_str());
    }
    cJSON_Delete(root);
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    std::string source_dir = ".";
    static const option kLong[] = {{"filter", required_argument, nullptr, 'f'},
                                   {"ppd", required_argument, nullptr, 'p'},
                                   {"work", required_argument, nullptr, 'w'},
                                   {"out", required_argument, nullptr, 'o'},
                                   {"source", required_argument, nullptr, 's'},
                                   {"repeats", required_argument, nullptr, 'r'},
                                   {"quick", no_argument, nullptr, 'q'},
                                   {"end-to-end-only", no_argument, nullptr, 'e'},
                                   {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'f': s.filter = optarg; break;
            case 'p': s.ppd = optarg; break;
            case 'w': s.work = optarg; break;
            case 'o': s.out = optarg; break;
            case 's': source_dir = optarg; break;
            case 'r': s.repeats = std::max(1, atoi(optarg)); break;
            case 'q': s.quick = true; break;
            case 'e': s.end_to_end_only = true; break;
            default: return 2;
        }
    }
    if (s.filter.empty() || s.ppd.empty() || s.work.empty()) {
        fprintf(stderr,
                "Usage: %s --filter F --ppd P --work DIR [--source DIR] [--out FILE] "
                "[--repeats N] [--quick]\n",
                argv[0]);
        return 2;
    }
    std::vector<BenchJob> jobs;
    if (!s.end_to_end_only) jobs = prepareJobs(s, source_dir);
    std::vector<Result> results;
    for (const BenchJob& job : jobs) {
        for (const Mode& mode : kModes) {
            if (s.quick && mode.copies > 1 && job.pages > 10) continue;
            results.push_back(measure(s, job, mode));
            fprintf(stderr, "  measured %s, %s\n", job.name.c_str(), mode.name);
        }
    }
    EndToEnd end_to_end = measureEndToEnd(s);
    report(results, end_to_end, s);
    return 0;
}
