#include "app/state/StateFile.h"

#include <cups/ipp.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

// The loader reads lines into a 2048-byte buffer (cupsFileGets): the rest
// of a longer line comes back as a line of its own.
constexpr size_t LINE_LIMIT = 2047;
// PAPPL_MAX_SOURCE (pappl/printer.h): the media-col-readyN the loader reads.
constexpr long long MAX_SOURCE = 16;

struct Line {
    std::string text;
    size_t number;
    bool ended;  // by a line break: a file cut short ends without one
};

// Lines as cupsFileGets splits them: at LF, CR LF and a lone CR.
std::vector<Line> splitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        lines.push_back({text.substr(start, i - start), lines.size() + 1, true});
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back({text.substr(start), lines.size() + 1, false});
    return lines;
}

// Text from the file, fit for a log line: no control characters, and no
// more than SHOWN bytes of it.
std::string printable(const std::string& text, size_t shown = 60) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < shown; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    if (text.size() > shown) out += "...";
    return out;
}

bool same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool integer(const std::string& text, long long low, long long high, long long* value = nullptr) {
    size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 18) return false;
    for (size_t j = i; j < text.size(); j++) {
        if (text[j] < '0' || text[j] > '9') return false;
    }
    long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (value != nullptr) *value = parsed;
    return parsed >= low && parsed <= high;
}

// A line as the loader splits it: the directive, then the value after the
// first space.
struct Split {
    std::string directive, value;
    bool has_value;
};

Split split(const std::string& text) {
    size_t space = text.find(' ');
    if (space == std::string::npos) return {text, std::string(), false};
    return {text.substr(0, space), text.substr(space + 1), true};
}

struct Option {
    std::string name, value;
};

// name="value" pairs one space apart, as write_options writes them: every
// value quoted, with only \\ and \" escaped.
bool parseOptions(const std::string& text, std::vector<Option>* options, std::string* why) {
    size_t i = 0;
    while (i < text.size()) {
        if (!options->empty() && text[i++] != ' ') {
            *why = "its options are not one space apart";
            return false;
        }
        size_t start = i;
        while (i < text.size() &&
               ((text[i] >= 'a' && text[i] <= 'z') || text[i] == '-' || text[i] == '_')) {
            i++;
        }
        if (i == start || i + 1 >= text.size() || text[i] != '=' || text[i + 1] != '"') {
            *why = "an option is not name=\"value\"";
            return false;
        }
        Option option{text.substr(start, i - start), std::string()};
        for (i += 2; i < text.size() && text[i] != '"'; i++) {
            if (text[i] == '\\') {
                if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                    *why = "a value has an escape PAPPL does not write";
                    return false;
                }
                i++;
            }
            option.value += text[i];
        }
        if (i == text.size()) {
            *why = "a quoted value is not closed";
            return false;
        }
        i++;
        for (const Option& seen : *options) {
            if (same(seen.name, option.name.c_str())) {
                *why = "it has " + option.name + " twice";
                return false;
            }
        }
        options->push_back(option);
    }
    return true;
}

const Option* find(const std::vector<Option>& options, const char* name) {
    for (const Option& option : options) {
        if (same(option.name, name)) return &option;
    }
    return nullptr;
}

// Options only of the names KNOWN, those of INTEGERS with integer values.
bool knownOptions(const std::vector<Option>& options, const std::set<std::string>& known,
                  const std::set<std::string>& integers, std::string* why) {
    for (const Option& option : options) {
        if (known.count(option.name) == 0) {
            *why = "PAPPL writes no option " + printable(option.name) + " there";
            return false;
        }
        if (integers.count(option.name) && !integer(option.value, LLONG_MIN / 10, LLONG_MAX / 10)) {
            *why = "its " + option.name + " is not a number";
            return false;
        }
    }
    return true;
}

bool optionList(const Split& line, const std::set<std::string>& known,
                const std::set<std::string>& integers, std::string* why) {
    std::vector<Option> options;
    return parseOptions(line.value, &options, why) && knownOptions(options, known, integers, why);
}

const std::set<std::string> kContactOptions = {"name", "email", "telephone"};
const std::set<std::string> kMediaOptions = {
    "bottom", "left", "left-offset", "right",  "name", "width",   "length",
    "source", "top",  "top-offset",  "offset", "type", "tracking"};
const std::set<std::string> kMediaIntegers = {"bottom", "left", "left-offset", "right", "width",
                                              "length", "top",  "top-offset",  "offset"};
const std::set<std::string> kJobOptions = {
    "id",      "name",       "username",  "format",      "filename",   "state", "state_reasons",
    "created", "processing", "completed", "impressions", "imcompleted"};
const std::set<std::string> kJobIntegers = {"id",          "state",      "state_reasons",
                                            "created",     "processing", "completed",
                                            "impressions", "imcompleted"};

enum class Kind { TEXT, INTEGER, FLAG, CONTACT, MEDIA, IMAGE_SIZE, RESOLUTION, VENDOR, JOB };

struct Directive {
    const char* name;
    Kind kind;
};

// What papplSystemSaveState writes, in the order it writes them.
const Directive kSystem[] = {
    {"DNSSDName", Kind::TEXT},
    {"Location", Kind::TEXT},
    {"Geolocation", Kind::TEXT},
    {"Organization", Kind::TEXT},
    {"OrganizationalUnit", Kind::TEXT},
    {"Contact", Kind::CONTACT},
    {"AdminGroup", Kind::TEXT},
    {"DefaultPrintGroup", Kind::TEXT},
    {"Password", Kind::TEXT},
    {"DefaultPrinterID", Kind::INTEGER},
    {"MaxImageSize", Kind::IMAGE_SIZE},
    {"NextPrinterID", Kind::INTEGER},
    {"UUID", Kind::TEXT},
};
const Directive kPrinter[] = {
    {"DNSSDName", Kind::TEXT},
    {"Location", Kind::TEXT},
    {"Geolocation", Kind::TEXT},
    {"Organization", Kind::TEXT},
    {"OrganizationalUnit", Kind::TEXT},
    {"Contact", Kind::CONTACT},
    {"HoldNewJobs", Kind::FLAG},
    {"PrintGroup", Kind::TEXT},
    {"MaxActiveJobs", Kind::INTEGER},
    {"MaxCompletedJobs", Kind::INTEGER},
    {"NextJobId", Kind::INTEGER},
    {"ImpressionsCompleted", Kind::INTEGER},
    {"identify-actions-default", Kind::TEXT},
    {"label-mode-configured", Kind::TEXT},
    {"label-tear-offset-configured", Kind::INTEGER},
    {"media-col-default", Kind::MEDIA},
    {"media-col-ready", Kind::MEDIA},  // with the source's number
    {"orientation-requested-default", Kind::TEXT},
    {"output-bin-default", Kind::TEXT},
    {"print-color-mode-default", Kind::TEXT},
    {"print-content-optimize-default", Kind::TEXT},
    {"print-darkness-default", Kind::INTEGER},
    {"print-quality-default", Kind::TEXT},
    {"print-scaling-default", Kind::TEXT},
    {"printer-darkness-configured", Kind::INTEGER},
    {"sides-default", Kind::TEXT},
    {"printer-resolution-default", Kind::RESOLUTION},
    {"", Kind::VENDOR},  // the driver's own xxx-default
    {"Job", Kind::JOB},
};
constexpr int MEDIA_READY_RANK = 16;
constexpr int VENDOR_RANK = 27;
constexpr int JOB_RANK = 28;

// The place of a printer directive in kPrinter, -1 for none; NUMBER is a
// media-col-readyN's N.
int printerRank(const std::string& name, long long* number) {
    for (int rank = 0; rank < (int)(sizeof(kPrinter) / sizeof(kPrinter[0])); rank++) {
        if (kPrinter[rank].name[0] != '\0' && same(name, kPrinter[rank].name)) {
            return rank == MEDIA_READY_RANK ? -1 : rank;
        }
    }
    if (strncasecmp(name.c_str(), "media-col-ready", 15) == 0) {
        return integer(name.substr(15), 0, MAX_SOURCE - 1, number) && name[15] != '-'
                   ? MEDIA_READY_RANK
                   : -1;
    }
    // (The loader reads any name with "-default" in it as one of these.)
    const std::string suffix = "-default";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        for (char c : name) {
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return -1;
        }
        return VENDOR_RANK;
    }
    return -1;
}

// Whether LINE's value is one PAPPL writes for KIND; WHY if not.
bool goodValue(Kind kind, const Split& line, std::string* why) {
    switch (kind) {
        case Kind::TEXT:
        case Kind::VENDOR: return true;
        case Kind::INTEGER:
            if (line.has_value && integer(line.value, INT_MIN, INT_MAX)) return true;
            *why = "its value is not a number";
            return false;
        case Kind::FLAG:
            if (!line.has_value) return true;
            *why = "it has a value PAPPL does not write";
            return false;
        case Kind::CONTACT: return optionList(line, kContactOptions, {}, why);
        case Kind::MEDIA: return optionList(line, kMediaOptions, kMediaIntegers, why);
        case Kind::IMAGE_SIZE: {
            Split rest = split(line.value);
            Split last = split(rest.value);
            if (line.has_value && integer(rest.directive, 0, LLONG_MAX / 10) &&
                integer(last.directive, INT_MIN, INT_MAX) &&
                integer(last.value, INT_MIN, INT_MAX)) {
                return true;
            }
            *why = "its value is not three numbers";
            return false;
        }
        case Kind::RESOLUTION: {
            size_t x = line.value.find('x');
            size_t dpi = line.value.size() >= 3 ? line.value.size() - 3 : 0;
            if (x != std::string::npos && line.value.compare(dpi, 3, "dpi") == 0 && x < dpi &&
                integer(line.value.substr(0, x), 0, INT_MAX) &&
                integer(line.value.substr(x + 1, dpi - x - 1), 0, INT_MAX)) {
                return true;
            }
            *why = "its value is not NxNdpi";
            return false;
        }
        case Kind::JOB: break;
    }
    return true;
}

// What is wrong with any line: "" for nothing.
std::string lineDamage(const Line& line) {
    if (!line.ended) return "the file ends inside it (cut short)";
    if (line.text.empty()) return "an empty line";
    if (line.text.find('\0') != std::string::npos) return "it holds a NUL byte";
    return "";
}

struct Repairing {
    Repairing(const std::vector<Line>& all, const std::string& dir) : lines(all), spool(dir) {}
    const std::vector<Line>& lines;
    const std::string& spool;
    StateRepair out;
    // After a damaged line the text may run on, "</Printer>" and all: the
    // printer block that starts next is not trusted.
    bool suspicious = false;
    long long next_printer_id = -1;
    // Every printer's id and name, to drop each of two that share one: which
    // is the one PAPPL wrote is not known.
    std::multiset<std::string> printer_ids, printer_names;

    void keep(const std::string& text) {
        out.text += text;
        out.text += '\n';
    }
    void drop(const Line& line, const std::string& why) {
        out.dropped.push_back("line " + std::to_string(line.number) + " \"" + printable(line.text) +
                              "\": " + why);
    }
};

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    return text;
}

// The file PAPPL's papplJobOpenFile names for the job: SPOOL/pPPPPPjJJJJJJJJJ-name.ext.
bool jobFile(const std::string& path, long long printer_id, long long job_id,
             const std::string& spool) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "p%05lldj%09lld-", printer_id, job_id);
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || (!spool.empty() && path.compare(0, slash, spool) != 0) ||
        path.compare(slash + 1, strlen(prefix), prefix) != 0) {
        return false;
    }
    std::string rest = path.substr(slash + 1 + strlen(prefix));
    size_t dot = rest.rfind('.');
    if (dot == std::string::npos || dot == rest.size() - 1) return false;
    for (size_t i = 0; i < rest.size(); i++) {
        char c = rest[i];
        bool name_char = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!(name_char || i == dot) || (i > dot && !(c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

struct Printer {
    long long id = 0;
    std::string name;
    bool damaged = false;  // its settings after this are not trusted
    // Text written into a damaged line may run on, "</Printer>" and all, up
    // to that line's closing quote. A job line PAPPL wrote ends that: text
    // inside a quoted value has every quote escaped, and a job line holds
    // eight.
    bool running_on = false;
    int rank = -1;
    long long last_ready = -1;
    std::set<std::string> vendor;
    long long next_job_id = -1;
    std::set<long long> jobs;
};

// Whether LINE is a job line as PAPPL writes it, with the options it can't
// do without: no text written into a quoted value can be one.
bool writtenJob(const Split& line) {
    std::vector<Option> options;
    std::string why;
    if (!same(line.directive, "Job") || !parseOptions(line.value, &options, &why)) return false;
    for (const char* needed : {"id", "name", "username", "format"}) {
        if (find(options, needed) == nullptr) return false;
    }
    return true;
}

// Why the job line must go ("" to keep it); DAMAGED when the line is not one
// PAPPL writes, rather than a job it can't load.
std::string jobProblem(const Split& line, Printer* printer, const std::string& spool, bool* damaged,
                       long long* id_out) {
    std::vector<Option> options;
    std::string why;
    *damaged = !parseOptions(line.value, &options, &why) ||
               !knownOptions(options, kJobOptions, kJobIntegers, &why);
    if (*damaged) return why;
    for (const char* needed : {"id", "name", "username", "format"}) {
        if (find(options, needed) == nullptr) {
            return std::string("it has no ") + needed + " (PAPPL stops reading jobs at it)";
        }
    }
    long long id = 0;
    if (!integer(find(options, "id")->value, 1, INT_MAX, &id)) return "its id is not above 0";
    if (printer->next_job_id >= 0 && id >= printer->next_job_id) {
        return "its id is not below the printer's NextJobId";
    }
    if (!printer->jobs.insert(id).second) return "its id is the id of another job";
    *id_out = id;
    const Option* state = find(options, "state");
    if (state != nullptr && !integer(state->value, IPP_JSTATE_PENDING, IPP_JSTATE_COMPLETED)) {
        printer->jobs.erase(id);
        return "its state is none IPP has";
    }
    const Option* file = find(options, "filename");
    if (file != nullptr && !jobFile(file->value, printer->id, id, spool)) {
        printer->jobs.erase(id);
        return "its file is not one PAPPL names for it in the spool directory";
    }
    return "";
}

// The options of a printer block's first line, as write_options writes
// them: <Printer did= driver= id= name= uri=>; false with WHY.
bool printerHeader(const Line& header, std::vector<Option>* options, std::string* why) {
    Split head = split(header.text);
    *why = lineDamage(header);
    if (!why->empty()) return false;
    const std::string& value = head.value;
    if (!head.has_value || value.empty() || value.back() != '>') {
        *why = "it does not end in \">\"";
        return false;
    }
    if (!parseOptions(value.substr(0, value.size() - 1), options, why) ||
        !knownOptions(*options, {"did", "driver", "id", "name", "uri"}, {"id"}, why)) {
        return false;
    }
    if (options->size() != 5) {
        *why = "it lacks one of did, driver, id, name and uri";
        return false;
    }
    return true;
}

// The printer block starting at lines[start]; the index after it.
size_t printerBlock(Repairing* r, size_t start) {
    const std::vector<Line>& lines = r->lines;
    size_t end = start + 1;
    while (end < lines.size() && !same(split(lines[end].text).directive, "</Printer>")) end++;
    const Line& header = lines[start];
    std::vector<Option> options;
    std::string why;
    bool damaged = !printerHeader(header, &options, &why);
    Printer printer;
    std::string whole;  // why the whole block goes
    if (r->suspicious) {
        whole = "it starts where a damaged line before it may run on";
    } else if (damaged) {
        whole = why;
    } else if (!integer(find(options, "id")->value, 1, INT_MAX, &printer.id)) {
        whole = "its id is not above 0";
    } else if (r->next_printer_id >= 0 && printer.id >= r->next_printer_id) {
        whole = "its id is not below NextPrinterID";
    } else if (r->printer_ids.count(std::to_string(printer.id)) > 1) {
        whole = "its id is another printer's too";
    } else if ((printer.name = find(options, "name")->value).empty()) {
        whole = "it has no name";
    } else if (r->printer_names.count(lower(printer.name)) > 1) {
        whole = "its name is another printer's too";
    } else if (header.text.size() > LINE_LIMIT) {
        whole = "its first line is longer than PAPPL reads";
    }
    if (!whole.empty()) {
        size_t last = end < lines.size() ? end : lines.size() - 1;
        r->out.dropped.push_back("lines " + std::to_string(header.number) + "-" +
                                 std::to_string(lines[last].number) + " \"" +
                                 printable(header.text) + "\": the printer and its jobs: " + whole);
        // A block dropped for being suspect ends the suspicion; one dropped
        // for damage in it starts one.
        r->suspicious = damaged && !r->suspicious;
        return end + 1;
    }
    r->keep(header.text);

    const std::string what = "printer " + printable(printer.name) + ": ";
    for (size_t i = start + 1; i < end; i++) {
        const Line& line = lines[i];
        Split parsed = split(line.text);
        long long number = -1;
        why = lineDamage(line);
        int rank = why.empty() ? printerRank(parsed.directive, &number) : -1;
        if (why.empty() && rank < 0) {
            why = same(parsed.directive, "<Printer") ? "a printer inside a printer"
                                                     : "PAPPL writes no such line";
        }
        bool in_order =
            rank > printer.rank || (rank == JOB_RANK && printer.rank == JOB_RANK) ||
            (rank == MEDIA_READY_RANK && printer.rank == rank && number > printer.last_ready) ||
            (rank == VENDOR_RANK && printer.rank == rank &&
             printer.vendor.count(parsed.directive) == 0);
        if (why.empty() && !in_order) why = "PAPPL does not write it there";
        if (why.empty() && rank == JOB_RANK) {
            printer.rank = JOB_RANK;
            bool bad_line = false;
            long long id = 0;
            if (!parsed.has_value) {
                why = "a job line with nothing in it";
                bad_line = true;
            } else {
                why = jobProblem(parsed, &printer, r->spool, &bad_line, &id);
            }
            if (why.empty() && line.text.size() > LINE_LIMIT) {
                why = "longer than PAPPL reads";
                printer.jobs.erase(id);
            } else if (why.empty()) {
                printer.running_on = false;
                r->keep(line.text);
                continue;
            }
            r->drop(line, what + (bad_line ? "" : "the job: ") + why);
            printer.damaged = printer.damaged || bad_line;
            printer.running_on = bad_line || (printer.running_on && !writtenJob(parsed));
            continue;
        }
        if (why.empty()) goodValue(kPrinter[rank].kind, parsed, &why);
        if (!why.empty()) {
            r->drop(line, what + why);
            printer.damaged = printer.running_on = true;
        } else if (printer.damaged) {
            r->drop(line, what + "a setting after a damaged line may be text written into it");
        } else if (line.text.size() > LINE_LIMIT) {
            r->drop(line, what + "longer than PAPPL reads");
        } else {
            printer.rank = rank;
            if (rank == MEDIA_READY_RANK) printer.last_ready = number;
            if (rank == VENDOR_RANK) printer.vendor.insert(parsed.directive);
            if (same(parsed.directive, "NextJobId")) {
                integer(parsed.value, INT_MIN, INT_MAX, &printer.next_job_id);
            }
            r->keep(line.text);
        }
    }
    if (end == lines.size()) {
        r->out.dropped.push_back(what + "the file ends inside its block (closed)");
    } else if (lines[end].text != "</Printer>" || !lineDamage(lines[end]).empty()) {
        why = lineDamage(lines[end]);
        r->drop(lines[end], what + (why.empty() ? "its end has more on its line" : why));
        printer.running_on = true;
    }
    r->keep("</Printer>");
    r->suspicious = printer.running_on;
    return end + 1;
}

}  // namespace

StateRepair repairState(const std::string& text, const std::string& spool) {
    std::vector<Line> lines = splitLines(text);
    Repairing r(lines, spool);
    for (const Line& line : lines) {
        std::vector<Option> options;
        std::string why;
        if (same(split(line.text).directive, "<Printer") && printerHeader(line, &options, &why)) {
            long long id = 0;
            integer(find(options, "id")->value, LLONG_MIN / 10, LLONG_MAX / 10, &id);
            r.printer_ids.insert(std::to_string(id));
            r.printer_names.insert(lower(find(options, "name")->value));
        }
    }
    int rank = -1;
    bool printers = false;
    for (size_t i = 0; i < lines.size();) {
        const Line& line = lines[i];
        Split parsed = split(line.text);
        if (same(parsed.directive, "<Printer")) {
            printers = true;
            i = printerBlock(&r, i);
            continue;
        }
        i++;
        std::string why = lineDamage(line);
        int found = -1;
        for (int at = 0; why.empty() && at < (int)(sizeof(kSystem) / sizeof(kSystem[0])); at++) {
            if (same(parsed.directive, kSystem[at].name)) found = at;
        }
        if (why.empty() && found < 0) why = "PAPPL writes no such line";
        if (why.empty() && (printers || found <= rank)) why = "PAPPL does not write it there";
        if (why.empty()) goodValue(kSystem[found].kind, parsed, &why);
        if (!why.empty()) {
            r.drop(line, why);
            // A printer's jobs and end after an end that came early are
            // PAPPL's own text: they carry nothing on.
            if (writtenJob(parsed)) {
                r.suspicious = false;
            } else if (line.text != "</Printer>") {
                r.suspicious = true;
            }
        } else if (r.suspicious) {
            r.drop(line, "a setting after a damaged line may be text written into it");
        } else if (line.text.size() > LINE_LIMIT) {
            r.drop(line, "longer than PAPPL reads");
        } else {
            rank = found;
            if (same(parsed.directive, "NextPrinterID")) {
                integer(parsed.value, INT_MIN, INT_MAX, &r.next_printer_id);
            }
            r.keep(line.text);
        }
    }
    if (r.out.dropped.empty() && r.out.text != text) {
        r.out.dropped.push_back("its line ends are written as PAPPL writes them");
    }
    return r.out;
}

namespace {

// Writes DATA to NAME in DIR_FD through a temporary file beside it, so NAME
// is the old file or the whole new one, even after a crash.
bool replaceFile(int dir_fd, const std::string& name, const std::string& data) {
    std::string temp = name + ".writing";
    unlinkat(dir_fd, temp.c_str(), 0);
    int fd =
        openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) == 0;
    if (!ok) unlinkat(dir_fd, temp.c_str(), 0);
    return ok;
}

}  // namespace

StatePreparation prepareStateFile(const std::string& path, const std::string& spool) {
    StatePreparation prepared;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        // (Without its directory there is no state to read.)
        if (errno != ENOENT) {
            prepared.load = false;
            prepared.dropped.push_back(printable(dir, PATH_MAX) +
                                       " can't be read: " + strerror(errno));
        }
        return prepared;
    }
    // (O_NONBLOCK: opening a FIFO waits for no writer.)
    int fd =
        openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int open_error = errno;
    std::string refused;
    std::string original;
    struct stat info;
    if (fd < 0 && open_error == ENOENT) {
        close(dir_fd);
        return prepared;
    } else if (fd < 0) {
        refused = open_error == ELOOP ? "it is a link" : strerror(open_error);
    } else if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        refused = "it is not a regular file";
    } else if ((unsigned long long)info.st_size > STATE_FILE_LIMIT) {
        refused = "it is larger than " + std::to_string(STATE_FILE_LIMIT >> 20) + " MiB";
    } else {
        char buffer[65536];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) refused = std::string("it can't be read: ") + strerror(errno);
            if (n <= 0) break;
            original.append(buffer, (size_t)n);
            if (original.size() > STATE_FILE_LIMIT) {
                refused = "it is larger than " + std::to_string(STATE_FILE_LIMIT >> 20) + " MiB";
                break;
            }
        }
    }
    if (fd >= 0) close(fd);
    const std::string damaged = name + ".damaged";
    if (!refused.empty()) {
        prepared.load = false;
        bool moved = renameat(dir_fd, name.c_str(), dir_fd, damaged.c_str()) == 0;
        prepared.dropped.push_back(
            printable(path, PATH_MAX) + " is refused (" + refused + ")" +
            (moved ? ", moved to " + printable(dir + "/" + damaged, PATH_MAX) : "") +
            "; the server starts with no printers");
        close(dir_fd);
        return prepared;
    }
    StateRepair repair = repairState(original, spool);
    prepared.dropped = repair.dropped;
    if (repair.text != original) {
        if (replaceFile(dir_fd, damaged, original) && replaceFile(dir_fd, name, repair.text)) {
            fsync(dir_fd);
            prepared.dropped.push_back("the file as it was is kept as " +
                                       printable(dir + "/" + damaged, PATH_MAX));
        } else {
            prepared.load = false;
            prepared.dropped.push_back(printable(path, PATH_MAX) + " can't be repaired (" +
                                       strerror(errno) + "): the server starts with no printers");
        }
    }
    close(dir_fd);
    return prepared;
}
