#include "FilterRun.h"

#include <fcntl.h>
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

std::string filterPath() { return QUELMOSS_FILTER; }
std::string shippedPpdPath() { return std::string(QUELMOSS_SOURCE_DIR) + "/ppd/brivane_quelmoss.ppd"; }
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

static std::vector<std::string> argvFor(const FilterArgs& args) {
    std::vector<std::string> argv = {filterPath(), args.job,    args.user,
                                     args.title,   args.copies, args.options};
    if (args.with_file_argument) argv.push_back("/etc/hostname");
    return argv;
}

// Runs argv with stdin from `in_fd`, stdout and stderr to files.
static pid_t spawn(const std::vector<std::string>& argv, const std::string& ppd,
                   const std::string& path_env, int in_fd, const std::string& out_path,
                   const std::string& log_path) {
    // Opened here, not in the child, so no one reads an earlier run's log.
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = fork();
    if (pid != 0) {
        close(out);
        close(log);
        return pid;
    }
    dup2(in_fd, 0);
    dup2(out, 1);
    dup2(log, 2);
    if (ppd.empty()) {
        unsetenv("PPD");
    } else {
        setenv("PPD", ppd.c_str(), 1);
    }
    if (!path_env.empty()) setenv("PATH", path_env.c_str(), 1);
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
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -2;
}

static FilterResult runWith(const std::vector<std::string>& argv, const FilterArgs& args,
                            const std::string& input) {
    std::string dir = std::string(QUELMOSS_BINARY_DIR) + "/scratch";
    mkdir(dir.c_str(), 0755);
    std::string in_path = dir + "/run.in", out_path = dir + "/run.out", log_path = dir + "/run.log";
    writeFile(in_path, input);
    int in_fd = open(in_path.c_str(), O_RDONLY);
    pid_t pid = spawn(argv, args.ppd, args.path_env, in_fd, out_path, log_path);
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
    if (pipe(fds) != 0) abort();
    filter.pid = spawn(argvFor(args), args.ppd, args.path_env, fds[0], filter.out_path,
                       filter.log_path);
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
    std::string ppd = "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*LanguageVersion: English\n"
                      "*LanguageEncoding: ISOLatin1\n*ModelName: \"Test\"\n";
    for (const std::string& spec : options) {
        size_t c1 = spec.find(':'), c2 = spec.find(':', c1 + 1);
        std::string name = spec.substr(0, c1);
        std::string def = spec.substr(c1 + 1, c2 - c1 - 1);
        std::string choices = spec.substr(c2 + 1);
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
