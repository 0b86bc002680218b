// quelmoss-inspect: checks a printer stream written by brivane_quelmoss and
// shows what it holds.
//
//   quelmoss-inspect [--json] [--png DIR] [--unfinished] [FILE]
//   quelmoss-inspect --version
//
// Reads FILE or standard input: one job, or several one after another as a
// printer connection may carry them (a banner page, several documents).
// Prints each job's settings and one line per page record; every page is
// decoded to check its JBIG data, and with --png written as
// DIR/page-NNN.png (DIR/job-J-page-NNN.png for the jobs of a longer stream). --unfinished accepts a
// cancelled job, which has no record with last_page 1. Exit status: 0 for a sound stream, 1 for a
// malformed one or broken rules (each named on standard error), 2 for bad
// usage or unreadable input.
#include <cjson/cJSON.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "StreamReader.h"

namespace {

// The settings as shown: a password stays off the screen and out of logs.
std::vector<std::pair<std::string, std::string>> shownSettings(const std::string& job_params) {
    std::vector<std::pair<std::string, std::string>> settings = jobSettings(job_params);
    for (auto& setting : settings) {
        if (setting.first == "AuthPassword" && !setting.second.empty()) setting.second = "********";
    }
    return settings;
}

struct Options {
    bool json = false;
    bool finished = true;
    std::string png_dir;
    std::string input;  // empty: standard input
};

bool readInput(const std::string& path, std::string* bytes) {
    FILE* file = path.empty() ? stdin : fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes->append(chunk, n);
    bool ok = !ferror(file);
    if (file != stdin) fclose(file);
    return ok;
}

struct PageView {
    JbigImage image;
    std::string error;  // empty when the page decoded
};

std::vector<PageView> decodePages(const PrinterStreamData& stream, const Options& options,
                                  const std::string& png_prefix,
                                  std::vector<std::string>* problems) {
    std::vector<PageView> views(stream.records.size());
    for (size_t i = 0; i < stream.records.size(); i++) {
        PageView& view = views[i];
        std::string name = "record " + std::to_string(i + 1);
        if (!decodeJbigImage(stream.records[i].data, &view.image, &view.error)) {
            problems->push_back(name + ": JBIG data does not decode: " + view.error);
            continue;
        }
        if (options.png_dir.empty()) continue;
        char file[32];
        snprintf(file, sizeof(file), "page-%03zu.png", i + 1);
        std::string error;
        if (!writePngPreview(options.png_dir + "/" + png_prefix + file, view.image, &error)) {
            problems->push_back(name + ": " + error);
        }
    }
    return views;
}

void printTable(const PrinterStreamData& stream, const std::vector<PageView>& views) {
    printf("Job settings (%zu bytes):\n", stream.job_params.size());
    for (const auto& setting : shownSettings(stream.job_params)) {
        printf("  %-27s %s\n", setting.first.c_str(), setting.second.c_str());
    }
    printf("\nPage records: %zu\n", stream.records.size());
    printf("  %7s %5s %4s %10s %10s  %s\n", "page_no", "first", "last", "data_size", "offset",
           "image (pixels)");
    for (size_t i = 0; i < stream.records.size(); i++) {
        const StreamRecord& r = stream.records[i];
        std::string image = views[i].error.empty() ? std::to_string(views[i].image.width) + " x " +
                                                         std::to_string(views[i].image.height)
                                                   : "undecodable";
        printf("  %7d %5d %4d %10d %10zu  %s\n", r.page_no, r.first_page, r.last_page, r.data_size,
               r.offset, image.c_str());
    }
}

cJSON* jobJson(const PrinterStreamData& stream, const std::vector<PageView>& views,
               const std::vector<std::string>& problems) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddBoolToObject(root, "valid", stream.valid && problems.empty());
    cJSON* settings = cJSON_AddObjectToObject(root, "job_settings");
    for (const auto& setting : shownSettings(stream.job_params)) {
        cJSON_AddStringToObject(settings, setting.first.c_str(), setting.second.c_str());
    }
    cJSON* records = cJSON_AddArrayToObject(root, "records");
    for (size_t i = 0; i < stream.records.size(); i++) {
        const StreamRecord& r = stream.records[i];
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "page_no", r.page_no);
        cJSON_AddNumberToObject(item, "first_page", r.first_page);
        cJSON_AddNumberToObject(item, "last_page", r.last_page);
        cJSON_AddNumberToObject(item, "data_size", r.data_size);
        cJSON_AddNumberToObject(item, "offset", (double)r.offset);
        cJSON_AddNumberToObject(item, "width", (double)views[i].image.width);
        cJSON_AddNumberToObject(item, "height", (double)views[i].image.height);
        cJSON_AddItemToArray(records, item);
    }
    cJSON* list = cJSON_AddArrayToObject(root, "problems");
    if (!stream.valid) cJSON_AddItemToArray(list, cJSON_CreateString(stream.error.c_str()));
    for (const std::string& p : problems) cJSON_AddItemToArray(list, cJSON_CreateString(p.c_str()));
    return root;
}

// Checks and shows one job; returns whether it is sound. `label` names the
// job among several ("" for a stream of one).
bool inspectJob(const PrinterStreamData& stream, const Options& options, const std::string& label,
                cJSON* json_jobs) {
    std::vector<std::string> problems;
    std::vector<PageView> views =
        decodePages(stream, options, label.empty() ? "" : label + "-", &problems);
    if (stream.valid) {
        std::vector<std::string> rules = checkPrinterStream(stream, options.finished);
        problems.insert(problems.end(), rules.begin(), rules.end());
    }
    if (options.json) {
        cJSON_AddItemToArray(json_jobs, jobJson(stream, views, problems));
    } else if (stream.valid) {
        if (!label.empty()) printf("== %s\n", label.c_str());
        printTable(stream, views);
    }
    std::string prefix = label.empty() ? "quelmoss-inspect: " : "quelmoss-inspect: " + label + ": ";
    if (!stream.valid)
        fprintf(stderr, "%smalformed stream: %s\n", prefix.c_str(), stream.error.c_str());
    for (const std::string& p : problems) fprintf(stderr, "%s%s\n", prefix.c_str(), p.c_str());
    return stream.valid && problems.empty();
}

int usage(const char* program, FILE* out, int status) {
    fprintf(out,
            "Usage: %s [--json] [--png DIR] [--unfinished] [FILE]\n"
            "Checks a printer stream (FILE or standard input), prints its job settings and one\n"
            "line per page record, and decodes every page.\n"
            "  --json        the same as JSON\n"
            "  --png DIR     also write each page as DIR/page-NNN.png (job-N-page-NNN.png\n"
            "                for the jobs of a longer stream)\n"
            "  --unfinished  accept a cancelled job, whose last record is not flagged last\n"
            "  --version     print the version\n"
            "Exit status: 0 for a sound stream, 1 for a malformed one, 2 for a usage error.\n",
            program);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    static const struct option kLong[] = {
        {"json", no_argument, nullptr, 'j'},       {"png", required_argument, nullptr, 'p'},
        {"unfinished", no_argument, nullptr, 'u'}, {"version", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'j': options.json = true; break;
            case 'p': options.png_dir = optarg; break;
            case 'u': options.finished = false; break;
            case 'v': printf("quelmoss-inspect %s\n", QUELMOSS_VERSION); return 0;
            case 'h': return usage(argv[0], stdout, 0);
            default: return usage(argv[0], stderr, 2);
        }
    }
    if (argc - optind > 1) return usage(argv[0], stderr, 2);
    if (optind < argc) options.input = argv[optind];
    if (!options.png_dir.empty()) mkdir(options.png_dir.c_str(), 0755);

    std::string bytes;
    if (!readInput(options.input, &bytes)) {
        fprintf(stderr, "quelmoss-inspect: can't read %s\n",
                options.input.empty() ? "standard input" : options.input.c_str());
        return 2;
    }
    std::vector<PrinterStreamData> jobs = readPrinterJobs(bytes);
    cJSON* json_jobs = cJSON_CreateArray();
    bool sound = true;
    for (size_t i = 0; i < jobs.size(); i++) {
        if (i > 0 && !options.json) printf("\n");
        std::string label = jobs.size() > 1 ? "job-" + std::to_string(i + 1) : "";
        sound = inspectJob(jobs[i], options, label, json_jobs) && sound;
    }
    if (options.json) {
        // A stream of one job is shown as that job; several as a list.
        cJSON* shown = jobs.size() > 1 ? json_jobs : cJSON_GetArrayItem(json_jobs, 0);
        char* text = cJSON_Print(shown);
        printf("%s\n", text);
        free(text);
    }
    cJSON_Delete(json_jobs);
    return sound ? 0 : 1;
}
