#include "FilterRun.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

// Run by hand, the tests would use this machine's own /tmp/tarvelin and
// /tmp/auth, the filter's fixed paths: the binary first moves into a mount
// namespace whose /tmp is its own, as ctest runs it.
static const bool kInPrivateTmp = [] {
    const char* in = getenv("QUELMOSS_PRIVATE_TMP");
    if (in != nullptr && strcmp(in, "1") == 0) return true;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) abort();
    self[length] = '\0';
    std::vector<std::string> args = {"sh", QUELMOSS_SOURCE_DIR "/tests/private_tmp.sh",
                                     QUELMOSS_BINARY_DIR, self};
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string arg;
    for (bool program = true; std::getline(cmdline, arg, '\0'); program = false) {
        if (!program) args.push_back(arg);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execvp("sh", argv.data());
    perror("quelmoss_tests: sh tests/private_tmp.sh");
    _exit(1);
}();

// A world-readable copy under /tmp, made once per test process and removed
// at its end.
static std::string publicCopy(const std::string& path) {
    static std::string dir;
    if (dir.empty()) {
        char name[] = "/tmp/quelmoss-tests-XXXXXX";
        if (mkdtemp(name) == nullptr) abort();
        chmod(name, 0755);
        dir = name;
        static const std::string kRemove = "rm -rf '" + dir + "'";
        atexit([] { (void)!system(kRemove.c_str()); });
    }
    std::string copy = dir + "/" + path.substr(path.rfind('/') + 1);
    if (access(copy.c_str(), F_OK) != 0) {
        std::string command = "cp '" + path + "' '" + copy + "' && chmod a+rX '" + copy + "'";
        if (system(command.c_str()) != 0) abort();
    }
    return copy;
}

std::string filterPath(bool for_others) {
    return for_others ? publicCopy(QUELMOSS_FILTER) : QUELMOSS_FILTER;
}
std::string shippedPpdPath(bool for_others) {
    std::string ppd = std::string(QUELMOSS_BINARY_DIR) + "/brivane_quelmoss.ppd";
    return for_others ? publicCopy(ppd) : ppd;
}
std::string sourceDir() { return QUELMOSS_SOURCE_DIR; }

std::string scratchDir(const std::string& name) {
    std::string dir = std::string(QUELMOSS_BINARY_DIR) + "/scratch/" + name;
    std::string command = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    if (system(command.c_str()) != 0) abort();
    return dir;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

static const char* const kCupsExec = "/usr/lib/cups/daemon/cups-exec";
static const char* const kCupsPath = "/usr/lib/cups/filter:/usr/bin:/usr/sbin:/bin";

static std::vector<std::string> argvFor(const FilterArgs& args) {
    std::vector<std::string> argv = {filterPath(!args.run_as.empty()),
                                     args.job,
                                     args.user,
                                     args.title,
                                     args.copies,
                                     args.options};
    if (!args.file.empty()) argv.push_back(args.file);
    if (args.as_cups) {
        argv[0] = "brivane_quelmoss";
        argv.insert(argv.begin(), {kCupsExec, "-u", std::to_string(getuid()), "-g",
                                   std::to_string(getgid()), "none", filterPath()});
    }
    return argv;
}

static pid_t g_reader = -1;

// A reader of the filter's output at `kib_per_s`, into `out` (at most 64 MiB
// kept). Returns the pipe's write end for the filter.
static int slowReader(int kib_per_s, int out) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    g_reader = fork();
    if (g_reader == 0) {
        // Only its own ends: a copy of the filter's input would keep it open.
        for (int fd = 3; fd < 1024; fd++) {
            if (fd != fds[0] && fd != out) close(fd);
        }
        char buffer[1024];
        size_t kept = 0;
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
            if (kept + (size_t)n <= (64u << 20) && write(out, buffer, (size_t)n) == n) kept += n;
            usleep((useconds_t)(1000000 / kib_per_s));
        }
        _exit(0);
    }
    close(fds[0]);
    close(out);
    return fds[1];
}

// Runs argv with stdin from `in_fd`, stdout and stderr to files.
static pid_t spawn(const std::vector<std::string>& argv, const FilterArgs& args, int in_fd,
                   const std::string& out_path, const std::string& log_path) {
    // Opened here, not in the child, so no one reads an earlier run's log.
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!args.stdout_file.empty()) {
        close(out);
        out = open(args.stdout_file.c_str(), O_WRONLY);
    }
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (args.reader_kib_per_s > 0) out = slowReader(args.reader_kib_per_s, out);
    if (args.closed_reader) {
        int fds[2];
        if (pipe(fds) != 0) abort();
        close(fds[0]);  // gone before the filter starts
        close(out);
        out = fds[1];
    }
    pid_t pid = fork();
    if (pid != 0) {
        close(out);
        close(log);
        return pid;
    }
    if (args.own_group) setpgid(0, 0);
    dup2(in_fd, 0);
    dup2(out, 1);
    dup2(log, 2);
    if (args.umask >= 0) umask((mode_t)args.umask);
    if (!args.run_as.empty()) {
        struct passwd* user = getpwnam(args.run_as.c_str());
        if (user == nullptr || setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 ||
            setuid(user->pw_uid) != 0) {
            _exit(126);
        }
    }
    const std::string& ppd = args.ppd;
    const std::string& path_env = args.path_env;
    if (argv[0] == kCupsExec) {
        clearenv();
        setenv("PATH", kCupsPath, 1);
        setenv("CUPS_SERVERBIN", "/usr/lib/cups", 1);
    }
    if (ppd.empty()) {
        unsetenv("PPD");
    } else {
        setenv("PPD", ppd.c_str(), 1);
    }
    if (!path_env.empty()) setenv("PATH", path_env.c_str(), 1);
    if (args.tmpdir.empty()) {
        unsetenv("TMPDIR");
    } else {
        setenv("TMPDIR", args.tmpdir.c_str(), 1);
    }
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
}

static int waitStatus(pid_t pid) {
    int status = 0;
    // Bounded: a filter that hangs fails the test instead of the whole run.
    for (int i = 0; i < 6000; i++) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (g_reader > 0) waitpid(g_reader, nullptr, 0);
            g_reader = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    if (g_reader > 0) waitpid(g_reader, nullptr, 0);
    g_reader = -1;
    return -2;
}

static FilterResult runWith(const std::vector<std::string>& argv, const FilterArgs& args,
                            const std::string& input) {
    std::string dir = std::string(QUELMOSS_BINARY_DIR) + "/scratch";
    mkdir(dir.c_str(), 0755);
    std::string in_path = dir + "/run.in", out_path = dir + "/run.out", log_path = dir + "/run.log";
    writeFile(in_path, input);
    int in_fd = open(in_path.c_str(), O_RDONLY);
    pid_t pid = spawn(argv, args, in_fd, out_path, log_path);
    close(in_fd);
    FilterResult result;
    result.exit_status = waitStatus(pid);
    result.out = readFile(out_path);
    result.log = readFile(log_path);
    return result;
}

FilterResult runFilter(const FilterArgs& args, const std::string& input) {
    return runWith(argvFor(args), args, input);
}

FilterResult runFilterOnPages(const FilterArgs& args, const std::vector<RasterPage>& pages) {
    return runFilter(args, rasterBytes(pages));
}

FilterResult runFilterArgv(const std::vector<std::string>& argv, const std::string& input) {
    return runWith(argv, FilterArgs(), input);
}

RunningFilter startFilter(const FilterArgs& args) {
    RunningFilter filter;
    std::string dir = std::string(QUELMOSS_BINARY_DIR) + "/scratch";
    mkdir(dir.c_str(), 0755);
    filter.out_path = dir + "/live.out";
    filter.log_path = dir + "/live.log";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) abort();  // no child may hold the write end
    filter.pid = spawn(argvFor(args), args, fds[0], filter.out_path, filter.log_path);
    close(fds[0]);
    filter.input_fd = fds[1];
    return filter;
}

void feed(RunningFilter* filter, const std::string& bytes) {
    signal(SIGPIPE, SIG_IGN);  // the filter may rightly stop reading early
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(filter->input_fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += (size_t)n;
    }
}

bool waitForLog(const RunningFilter& filter, const std::string& text) {
    for (int i = 0; i < 3000; i++) {
        if (readFile(filter.log_path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

FilterResult finishFilter(RunningFilter* filter) {
    if (filter->input_fd >= 0) close(filter->input_fd);
    filter->input_fd = -1;
    FilterResult result;
    result.exit_status = waitStatus(filter->pid);
    result.out = readFile(filter->out_path);
    result.log = readFile(filter->log_path);
    return result;
}

std::string standInEncoder(const std::string& dir, const std::string& body) {
    writeFile(dir + "/pbmtojbg",
              "#!/bin/sh\necho \"$@\" > " + dir + "/args\nfor last; do :; done\n" + body + "\n");
    chmod((dir + "/pbmtojbg").c_str(), 0755);
    return dir + ":" + getenv("PATH");
}

std::string keepingEncoder(const std::string& dir) {
    mkdir((dir + "/kept").c_str(), 0777);
    chmod((dir + "/kept").c_str(), 0777);
    return standInEncoder(dir, "ls /tmp/tarvelin | wc -l >> " + dir +
                                   "/files; /usr/bin/pbmtojbg \"$@\" || exit $?; cp \"${15}\" "
                                   "\"$last\" " +
                                   dir + "/kept/");
}

std::string rasterBytes(const std::vector<RasterPage>& pages) {
    std::string path = std::string(QUELMOSS_BINARY_DIR) + "/scratch/pages.ras";
    mkdir((std::string(QUELMOSS_BINARY_DIR) + "/scratch").c_str(), 0755);
    if (!writeRasterFile(path, pages)) abort();
    return readFile(path);
}

Bitmap decodeJbig(const std::string& jbig) {
    std::string dir = std::string(QUELMOSS_BINARY_DIR) + "/scratch";
    mkdir(dir.c_str(), 0755);
    std::string in = dir + "/decode.jbg", out = dir + "/decode.pbm";
    writeFile(in, jbig);
    unlink(out.c_str());
    Bitmap bitmap;
    std::string command = "jbgtopbm '" + in + "' '" + out + "' 2>/dev/null";
    if (system(command.c_str()) != 0) return bitmap;
    std::string pbm = readFile(out);
    int width = 0, height = 0, consumed = 0;
    if (sscanf(pbm.c_str(), "P4 %d %d%n", &width, &height, &consumed) != 2) return bitmap;
    bitmap.width = width;
    bitmap.height = height;
    bitmap.rows = pbm.substr((size_t)consumed + 1);
    return bitmap;
}

std::string writePpd(const std::string& path, const std::vector<std::string>& options) {
    std::string ppd =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*LanguageVersion: English\n"
        "*LanguageEncoding: ISOLatin1\n*ModelName: \"Test\"\n";
    for (const std::string& option : options) {
        size_t c1 = option.find(':'), c2 = option.find(':', c1 + 1);
        std::string name = option.substr(0, c1);
        std::string def = option.substr(c1 + 1, c2 - c1 - 1);
        std::string choices = option.substr(c2 + 1);
        ppd += "*OpenUI *" + name + ": PickOne\n*Default" + name + ": " + def + "\n";
        std::stringstream list(choices);
        std::string choice;
        while (std::getline(list, choice, ',')) ppd += "*" + name + " " + choice + ": \"\"\n";
        ppd += "*CloseUI: *" + name + "\n";
    }
    writeFile(path, ppd);
    return path;
}

std::string jobParam(const std::string& job_params, const std::string& key) {
    std::string needle = key + "=";
    size_t at = 0;
    while ((at = job_params.find(needle, at)) != std::string::npos) {
        if (at == 0 || (at >= 2 && job_params.compare(at - 2, 2, ", ") == 0)) {
            size_t start = at + needle.size();
            size_t end = job_params.find(", ", start);
            return job_params.substr(start, end - start);
        }
        at++;
    }
    return "<none>";
}

std::vector<Bitmap> readRasterPages(const std::string& raster) {
    std::string path = std::string(QUELMOSS_BINARY_DIR) + "/scratch/read.ras";
    writeFile(path, raster);
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* stream = cupsRasterOpen(fd, CUPS_RASTER_READ);
    std::vector<Bitmap> pages;
    cups_page_header2_t header;
    while (stream && cupsRasterReadHeader2(stream, &header)) {
        Bitmap page;
        page.width = (int)header.cupsWidth;
        page.height = (int)header.cupsHeight;
        page.rows.assign((size_t)header.cupsBytesPerLine * header.cupsHeight, '\0');
        cupsRasterReadPixels(stream, (unsigned char*)&page.rows[0], (unsigned)page.rows.size());
        pages.push_back(page);
    }
    if (stream) cupsRasterClose(stream);
    close(fd);
    return pages;
}

Bitmap turnedLeft(const Bitmap& src) {
    Bitmap dst;
    dst.width = src.height;
    dst.height = src.width;
    size_t ss = ((size_t)src.width + 7) / 8, ds = ((size_t)dst.width + 7) / 8;
    dst.rows.assign(ds * (size_t)dst.height, '\0');
    for (int y = 0; y < src.height; y++) {
        for (int x = 0; x < src.width; x++) {
            if ((unsigned char)src.rows[(size_t)y * ss + (size_t)x / 8] & (0x80 >> (x % 8))) {
                dst.rows[(size_t)(src.width - 1 - x) * ds + (size_t)y / 8] |=
                    (char)(0x80 >> (y % 8));
            }
        }
    }
    return dst;
}

Bitmap withoutPadding(Bitmap bitmap) {
    size_t row_bytes = ((size_t)bitmap.width + 7) / 8;
    int used = bitmap.width % 8;
    if (used == 0 || row_bytes == 0) return bitmap;
    unsigned char mask = (unsigned char)(0xff << (8 - used));
    for (int y = 0; y < bitmap.height; y++) {
        bitmap.rows[(size_t)y * row_bytes + row_bytes - 1] &= (char)mask;
    }
    return bitmap;
}

Bitmap toBitmap(const RasterPage& page) {
    std::vector<unsigned char> rows = patternRows(page);
    Bitmap bitmap;
    bitmap.width = (int)page.width;
    bitmap.height = (int)page.height;
    bitmap.rows.assign(rows.begin(), rows.end());
    return bitmap;
}
