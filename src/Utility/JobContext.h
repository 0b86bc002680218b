// What belongs to one print job rather than to the process: where its log
// lines go and what they must hide, whether it was cancelled, its working
// directory. The filter runs one job; the printer application runs several
// at once, each on a thread of its own, so every job's code reaches its own
// context through the thread it runs on and never through a global.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the job's code tells a host besides its log: a record the printer
// was sent, a warning, an error with its reason. The filter has no host to
// tell and logs the same as control lines (PAGE:, WARNING:, ERROR:).
struct JobEvent {
    enum Kind { RecordSent, Warning, Error } kind = RecordSent;
    int page = 0;         // RecordSent: the record's page number
    int impressions = 0;  // RecordSent: the sheet sides it printed
    std::string reason;   // Warning, Error: the log line's text after its word
};

// Where a job's events go, as they happen.
using JobEventSink = void (*)(void* data, const JobEvent& event);

// Lines held back: the page loop reads pages ahead of the one it sends, and
// holds their lines (and events) until their turn, so the job log still
// tells the road of one page after the other.
struct HeldLog {
    char* text = nullptr;
    size_t len = 0;
    size_t capacity = 0;
    bool starts_control = false;  // its first message is a control message
    std::vector<JobEvent> events;
};

// Where a job's log text goes: `len` bytes, one or more whole messages.
using LogSink = void (*)(void* data, const char* text, size_t len);

// The working directory a job's page files are kept in, once opened.
constexpr size_t WORK_PATH_SIZE = 512;
struct WorkDir {
    char path[WORK_PATH_SIZE] = {};  // ends in '/'; page file names are appended
    int fd = -1;                     // the directory as checked; holds the job's shared lock
    bool is_private = false;         // made for this job alone, removed when it ends
};

// The seam where a stand-in encoder can be put: argv[0] is the program.
// It runs to its end and returns the waitpid status, or -1 when it could
// not start (errno set).
using EncoderRunner = int (*)(char* const argv[]);

struct JobContext {
    // The job log: standard error unless a sink is set.
    LogSink log_sink = nullptr;
    void* log_sink_data = nullptr;
    HeldLog* held_log = nullptr;        // lines go here instead, while set
    bool line_open = false;             // the last text written did not end a line
    std::vector<std::string> secrets;   // longest first
    JobEventSink event_sink = nullptr;  // none: events are only logged
    void* event_sink_data = nullptr;

    // Set once, from a signal handler or another thread; never cleared.
    std::atomic<bool> cancelled{false};
    // Asked as well, where a host keeps the job's cancel state itself.
    bool (*cancel_probe)(void* data) = nullptr;
    void* cancel_probe_data = nullptr;
    int64_t cancelled_at_ms = -1;  // when the job's code first saw it

    WorkDir work_dir;
    EncoderRunner encoder_runner = nullptr;  // nullptr: the real encoder
};

// The context of the job this thread works for: the one bound last, else
// one of the thread's own.
JobContext& jobContext();

// Binds `context` to this thread for the scope's life.
class JobScope {
   public:
    explicit JobScope(JobContext* context);
    ~JobScope();
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;

   private:
    JobContext* previous_;
};

// Whether this thread's job was cancelled.
inline bool jobCancelled() {
    JobContext& context = jobContext();
    if (context.cancelled.load(std::memory_order_relaxed)) return true;
    if (context.cancel_probe == nullptr || !context.cancel_probe(context.cancel_probe_data)) {
        return false;
    }
    context.cancelled.store(true);
    return true;
}
