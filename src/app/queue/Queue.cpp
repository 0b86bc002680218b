#include "app/queue/Queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/state/Stop.h"

// How often a printer between jobs is looked at.
constexpr int KEEPER_INTERVAL_S = 2;

// ---------------------------------------------------------------------------
// Keeping the order.

namespace {

// What the queues keep across jobs; printers' jobs run on threads of their own.
struct Queues {
    std::mutex lock;
    // printer id: the jobs held back so that the oldest waiting job starts next
    std::map<int, std::set<int>> held_back;
    // printer id: the oldest waiting job the keeper last saw with no job printing
    std::map<int, int> idle_oldest;
    // printer ids with a job in a filter. PAPPL 1.3.1 can start a second job
    // of a printer while the first is starting.
    std::set<int> printing;
    std::condition_variable printing_changed;
};
Queues& g_queues = *new Queues;  // (never destroyed: jobs' threads outlive main)

struct Waiting {
    std::vector<int> pending;  // ids, in PAPPL's order
    std::vector<int> held;     // ids of held jobs
    bool printing = false;

    int oldestPending() const {
        return pending.empty() ? 0 : *std::min_element(pending.begin(), pending.end());
    }
};

void noteJob(pappl_job_t* job, void* data) {
    Waiting* waiting = static_cast<Waiting*>(data);
    switch (papplJobGetState(job)) {
        case IPP_JSTATE_PENDING: waiting->pending.push_back(papplJobGetID(job)); break;
        case IPP_JSTATE_HELD: waiting->held.push_back(papplJobGetID(job)); break;
        case IPP_JSTATE_PROCESSING: waiting->printing = true; break;
        default: break;
    }
}

Waiting waitingJobs(pappl_printer_t* printer) {
    Waiting waiting;
    papplPrinterIterateActiveJobs(printer, noteJob, &waiting, 1, 0);
    return waiting;
}

// The jobs of PRINTER this code holds back (a client's own holds are never
// touched).
std::set<int>& heldBack(pappl_printer_t* printer) {
    return g_queues.held_back[papplPrinterGetID(printer)];
}

void release(pappl_printer_t* printer, int id) {
    pappl_job_t* job = papplPrinterFindJob(printer, id);
    if (job == nullptr) return;
    papplJobSetMessage(job, "%s", "");
    papplJobRelease(job, nullptr);
}

// Holds back every waiting job but the oldest, and returns the oldest (0 for
// none) and whether it is one held back.
std::pair<int, bool> leaveOldest(pappl_printer_t* printer, const Waiting& waiting) {
    std::vector<int> hold;
    int oldest = waiting.oldestPending();
    bool oldest_held = false;
    {
        std::lock_guard<std::mutex> lock(g_queues.lock);
        std::set<int>& held = heldBack(printer);
        // Jobs released or cancelled by someone else are no longer ours.
        std::set<int> still;
        for (int id : waiting.held) {
            if (held.count(id)) still.insert(id);
        }
        held.swap(still);
        if (!held.empty() && (oldest == 0 || *held.begin() < oldest)) {
            oldest = *held.begin();
            oldest_held = true;
        }
        for (int id : waiting.pending) {
            if (id != oldest) {
                hold.push_back(id);
                held.insert(id);
            }
        }
        if (oldest_held) held.erase(oldest);
    }
    for (int id : hold) {
        pappl_job_t* job = papplPrinterFindJob(printer, id);
        if (job != nullptr && papplJobHold(job, nullptr, nullptr, 0)) {
            papplJobSetMessage(job, "Waiting for the printer's earlier jobs");
        } else {
            std::lock_guard<std::mutex> lock(g_queues.lock);
            heldBack(printer).erase(id);
        }
    }
    return {oldest, oldest_held};
}

bool keepQueues(pappl_system_t* system, void* data);

void keepQueue(pappl_printer_t* printer, void*) {
    if (serverStopping()) return;
    Waiting waiting = waitingJobs(printer);
    // A job PAPPL has just started is pending until its thread runs: only
    // a printer seen between jobs twice, with the same job waiting, is
    // idle, or the job would be started twice.
    int oldest_waiting = waiting.oldestPending();
    {
        std::lock_guard<std::mutex> lock(g_queues.lock);
        int& seen = g_queues.idle_oldest[papplPrinterGetID(printer)];
        bool settled = !waiting.printing && seen == oldest_waiting;
        seen = waiting.printing ? -1 : oldest_waiting;
        if (!settled) return;
    }
    std::pair<int, bool> oldest = leaveOldest(printer, waiting);
    // A paused printer starts nothing; its queue stays in order.
    if (oldest.first == 0 || papplPrinterGetState(printer) == IPP_PSTATE_STOPPED) {
        if (oldest.second) {
            std::lock_guard<std::mutex> lock(g_queues.lock);
            heldBack(printer).insert(oldest.first);
        }
        return;
    }
    // Releasing a job is PAPPL's one way, short of resuming the printer, to
    // have it look for a job to start.
    pappl_job_t* job = papplPrinterFindJob(printer, oldest.first);
    if (job == nullptr) return;
    if (!oldest.second) papplJobHold(job, nullptr, nullptr, 0);
    papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "Starting job %d, the oldest waiting.",
                    oldest.first);
    release(printer, oldest.first);
}

bool keepQueues(pappl_system_t* system, void* data) {
    papplSystemIteratePrinters(system, keepQueue, data);
    return true;
}

}  // namespace

namespace {

void noteStarted(pappl_job_t* job, void* data) {
    int* oldest = static_cast<int*>(data);
    int id = papplJobGetID(job);
    if (papplJobGetState(job) == IPP_JSTATE_PROCESSING && (*oldest == 0 || id < *oldest)) {
        *oldest = id;
    }
}

// The oldest of the printer's jobs PAPPL has started.
int oldestStarted(pappl_printer_t* printer) {
    int oldest = 0;
    papplPrinterIterateActiveJobs(printer, noteStarted, &oldest, 1, 0);
    return oldest;
}

}  // namespace

QueueTurn::QueueTurn(pappl_job_t* job) : job_(job) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    int printer_id = papplPrinterGetID(printer);
    int id = papplJobGetID(job);
    // Of two jobs started at once the older goes first.
    for (;;) {
        int oldest = oldestStarted(printer);
        std::unique_lock<std::mutex> lock(g_queues.lock);
        if (g_queues.printing.count(printer_id) == 0 && (oldest == 0 || oldest >= id)) {
            g_queues.printing.insert(printer_id);
            return;
        }
        g_queues.printing_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
}

QueueTurn::~QueueTurn() {
    pappl_printer_t* printer = papplJobGetPrinter(job_);
    std::pair<int, bool> oldest = leaveOldest(printer, waitingJobs(printer));
    // PAPPL starts it as soon as this job has ended.
    if (oldest.second) release(printer, oldest.first);
    std::lock_guard<std::mutex> lock(g_queues.lock);
    g_queues.printing.erase(papplPrinterGetID(printer));
    g_queues.printing_changed.notify_all();
}

void startQueueKeeper(pappl_system_t* system) {
    papplSystemAddTimerCallback(system, time(nullptr) + 1, KEEPER_INTERVAL_S, keepQueues, nullptr);
}

// ---------------------------------------------------------------------------
// Recovering after the server stopped.

namespace {

// One "name="value"" pair of a state file's Job line, as PAPPL writes them.
struct Field {
    std::string name, value;
};

bool parseFields(const std::string& text, std::vector<Field>* fields) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') i++;
        if (i == text.size()) break;
        size_t equals = text.find('=', i);
        if (equals == std::string::npos || equals + 1 >= text.size() || text[equals + 1] != '"') {
            return false;
        }
        Field field;
        field.name = text.substr(i, equals - i);
        size_t j = equals + 2;
        for (; j < text.size() && text[j] != '"'; j++) {
            if (text[j] == '\\' && j + 1 < text.size()) j++;
            field.value += text[j];
        }
        if (j == text.size()) return false;
        fields->push_back(field);
        i = j + 1;
    }
    return true;
}

std::string writeFields(const std::vector<Field>& fields) {
    std::string line = "Job";
    for (const Field& field : fields) {
        line += " " + field.name + "=\"";
        for (char c : field.value) {
            if (c == '\\' || c == '"') line += '\\';
            line += c;
        }
        line += '"';
    }
    return line;
}

std::string* fieldOf(std::vector<Field>& fields, const char* name) {
    for (Field& field : fields) {
        if (field.name == name) return &field.value;
    }
    return nullptr;
}

// What PAPPL gives a job it reads back from its state before it reads the
// job's saved attributes, which hold them too: a client that asks for the
// job would get each twice.
const char* const kMadeOnLoading[] = {
    "job-name", "job-originating-user-name", "job-id", "job-uri", "job-uuid", "job-printer-uri"};

void dropMadeOnLoading(pappl_system_t* system, int dir_fd, const char* name) {
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    ipp_t* attrs = ippNew();
    bool read = ippReadFile(fd, attrs) == IPP_STATE_DATA;
    close(fd);
    bool changed = false;
    for (const char* made : kMadeOnLoading) {
        while (ipp_attribute_t* attr = ippFindAttribute(attrs, made, IPP_TAG_ZERO)) {
            ippDeleteAttribute(attrs, attr);
            changed = true;
        }
    }
    std::string temp = std::string(name) + ".recovering";
    if (read && changed) {
        fd = openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                    0600);
        bool written = fd >= 0 && ippWriteFile(fd, attrs) == IPP_STATE_DATA;
        if (fd >= 0) close(fd);
        if (!written || renameat(dir_fd, temp.c_str(), dir_fd, name) != 0) {
            unlinkat(dir_fd, temp.c_str(), 0);
            papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to tidy the saved attributes %s", name);
        }
    }
    ippDelete(attrs);
}

// The highest job id of each printer id among PAPPL's spooled files
// ("pPPPPPjJJJJJJJJJ-..."), and the working directories killed jobs of
// earlier versions, which stored their pages as files, left.
std::map<int, int> spooledIds(pappl_system_t* system, const std::string& spool) {
    std::map<int, int> highest;
    int dir_fd = open(spool.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) return highest;
    DIR* dir = fdopendir(dir_fd);
    if (dir == nullptr) {
        close(dir_fd);
        return highest;
    }
    while (dirent* entry = readdir(dir)) {
        int printer_id = 0, job_id = 0;
        if (sscanf(entry->d_name, "p%5dj%9d-", &printer_id, &job_id) == 2 && job_id > 0) {
            highest[printer_id] = std::max(highest[printer_id], job_id);
            size_t length = strlen(entry->d_name);
            if (length > 4 && strcmp(entry->d_name + length - 4, ".ipp") == 0) {
                dropMadeOnLoading(system, dir_fd, entry->d_name);
            }
        } else if (strncmp(entry->d_name, "brivane_quelmoss-", 17) == 0) {
            int work =
                openat(dir_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (work < 0) continue;
            DIR* files = fdopendir(work);
            if (files == nullptr) {
                close(work);
                continue;
            }
            while (dirent* file = readdir(files)) {
                if (file->d_name[0] != '.') unlinkat(work, file->d_name, 0);
            }
            closedir(files);
            if (unlinkat(dir_fd, entry->d_name, AT_REMOVEDIR) == 0) {
                papplLog(system, PAPPL_LOGLEVEL_INFO,
                         "Removed the page files a stopped job left in %s/%s", spool.c_str(),
                         entry->d_name);
            }
        }
    }
    closedir(dir);
    return highest;
}

}  // namespace

void recoverQueue(pappl_system_t* system, const std::string& state_file, const std::string& spool) {
    std::map<int, int> highest = spooledIds(system, spool);
    std::ifstream in(state_file);
    if (!in) return;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    in.close();

    // First the highest job id each printer's block names.
    int printer_id = 0;
    for (const std::string& line : lines) {
        if (line.compare(0, 13, "<Printer id=\"") == 0) {
            printer_id = atoi(line.c_str() + 13);
        } else if (line.compare(0, 4, "Job ") == 0) {
            std::vector<Field> fields;
            std::string* id =
                parseFields(line.substr(4), &fields) ? fieldOf(fields, "id") : nullptr;
            if (id != nullptr)
                highest[printer_id] = std::max(highest[printer_id], atoi(id->c_str()));
        }
    }

    bool changed = false;
    bool holding_new_jobs = false;
    printer_id = 0;
    for (std::string& line : lines) {
        if (line.compare(0, 13, "<Printer id=\"") == 0) {
            printer_id = atoi(line.c_str() + 13);
            holding_new_jobs = false;
        } else if (line == "HoldNewJobs") {
            holding_new_jobs = true;
        } else if (line.compare(0, 10, "NextJobId ") == 0) {
            int next = atoi(line.c_str() + 10);
            if (next <= highest[printer_id]) {
                line = "NextJobId " + std::to_string(highest[printer_id] + 1);
                changed = true;
            }
        } else if (line.compare(0, 4, "Job ") == 0) {
            std::vector<Field> fields;
            if (!parseFields(line.substr(4), &fields)) continue;
            std::string before = writeFields(fields);
            // PAPPL stops reading the jobs at one without a format (a job
            // cancelled before its document came).
            if (fieldOf(fields, "format") == nullptr) {
                fields.push_back({"format", "application/octet-stream"});
            }
            std::string* state = fieldOf(fields, "state");
            std::string* reasons = fieldOf(fields, "state_reasons");
            long reason_bits = reasons ? strtol(reasons->c_str(), nullptr, 10) : 0;
            bool has_file = fieldOf(fields, "filename") != nullptr;
            if (state != nullptr && has_file &&
                (*state == "5" || (*state == "4" && !holding_new_jobs &&
                                   (reason_bits & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) == 0))) {
                papplLog(system, PAPPL_LOGLEVEL_INFO, "Job %s is printed again from its start",
                         fieldOf(fields, "id") ? fieldOf(fields, "id")->c_str() : "?");
                *state = "3";
                fields.erase(std::remove_if(fields.begin(), fields.end(),
                                            [](const Field& f) { return f.name == "processing"; }),
                             fields.end());
            }
            std::string after = writeFields(fields);
            if (after != before) {
                line = after;
                changed = true;
            }
        }
    }
    if (!changed) return;
    std::string temp = state_file + ".recovering";
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const std::string& line : lines) out << line << '\n';
        if (!out.flush()) {
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to write %s", temp.c_str());
            unlink(temp.c_str());
            return;
        }
    }
    chmod(temp.c_str(), 0600);
    if (rename(temp.c_str(), state_file.c_str()) != 0) unlink(temp.c_str());
}
