// The filter under an attacker or a careless caller: absurd copies, signals
// at any moment, encoders that hang, passwords and values built to slip
// past the rules, unsafe temporary directories, a printer that is gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "FilterRun.h"

namespace {

bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Every record the printer got, the last one flagged last.
void expectSoundEnd(const FilterResult& r, const std::string& name) {
    PrinterStream s = parseStream(r.out);
    ASSERT_TRUE(s.valid) << name << ": " << s.error;
    EXPECT_TRUE(checkPrinterStream(s, true).empty()) << name;
}

const std::vector<RasterPage> kPage = {{64, 32, Pattern::Checker}};

TEST(HostileCopies, AreBoundedAndSaySo) {
    // clang-format off
    const struct {
        const char* copies;
        size_t records;
        bool capped;
    } cases[] = {
        {"2147483648", 9999, true}, {"99999", 9999, true},
        {"9999", 9999, false},      {"-2147483649", 1, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.copies = c.copies;
        FilterResult r = runFilterOnPages(args, kPage);
        EXPECT_EQ(r.exit_status, 0) << c.copies;
        PrinterStream s = parseStream(r.out);
        EXPECT_EQ(s.records.size(), c.records) << c.copies;
        expectSoundEnd(r, c.copies);
        EXPECT_EQ(has(r.log, "WARNING: " + std::string(c.copies) + " copies were asked for; 9999"),
                  c.capped)
            << c.copies;
        EXPECT_EQ(jobParam(s.job_params, "copies"), c.capped ? "9999" : c.copies) << c.copies;
    }
}

// A cancel stops the copies too, within seconds, with the last record
// flagged, also when the printer takes the stream slowly.
TEST(HostileCancel, StopsManyCopiesAndFlagsTheLastRecord) {
    for (const char* options : {"Duplex=DuplexNoTumble", ""}) {
        FilterArgs args;
        args.copies = "9999";
        args.options = options;
        args.reader_kib_per_s = 8 * 1024;
        RunningFilter filter = startFilter(args);
        feed(&filter, rasterBytes({{600, 600, Pattern::Noise}, {600, 601, Pattern::Noise}}));
        close(filter.input_fd);  // the whole job is there
        filter.input_fd = -1;
        EXPECT_TRUE(waitForLog(filter, "PAGE: 20 1")) << options;
        auto signalled = std::chrono::steady_clock::now();
        kill(filter.pid, SIGTERM);
        FilterResult r = finishFilter(&filter);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
        EXPECT_EQ(r.exit_status, 0) << options;
        EXPECT_LT(seconds, 5.0) << options;
        expectSoundEnd(r, options);
        EXPECT_LT(parseStream(r.out).records.size(), 2000u) << options;
    }
}

// The scheduler cancels by signalling the filter's whole process group; the
// encoders have groups of their own, so the page in hand is finished and
// flagged last whenever the signal comes.
TEST(HostileCancel, GroupSignalAtAnyMomentEndsWithAFlaggedRecord) {
    std::vector<RasterPage> pages;
    for (unsigned i = 0; i < 6; i++) pages.push_back({900, 700 + i, Pattern::Noise});
    std::string raster = rasterBytes(pages);
    for (int moment = 0; moment < 12; moment++) {
        FilterArgs args;
        args.own_group = true;
        args.copies = "2";
        args.options = moment % 2 ? "Duplex=DuplexNoTumble" : "";
        RunningFilter filter = startFilter(args);
        ASSERT_TRUE(waitForLog(filter, "DEBUG: brivane_quelmoss version"));
        feed(&filter, raster);
        usleep((useconds_t)(moment * 25 * 1000));
        kill(-filter.pid, SIGTERM);
        FilterResult r = finishFilter(&filter);
        std::string name = "signal at " + std::to_string(moment * 25) + " ms";
        EXPECT_EQ(r.exit_status, 0) << name << "\n" << r.log;
        if (!parseStream(r.out).records.empty()) expectSoundEnd(r, name);
        EXPECT_FALSE(has(r.log, "ERROR:")) << name;
    }
}

// An encoder that never ends holds the job no longer than the cancel's
// grace period, and is not left running.
TEST(HostileCancel, HungEncoderIsStoppedAndNotLeftRunning) {
    std::string dir = scratchDir("hung-encoder");
    FilterArgs args;
    args.path_env = standInEncoder(dir, "echo $$ > " + dir + "/pid; exec sleep 1000");
    RunningFilter filter = startFilter(args);
    feed(&filter, rasterBytes(kPage));
    for (int i = 0; i < 500 && access((dir + "/pid").c_str(), F_OK) != 0; i++) usleep(10000);
    usleep(100 * 1000);
    kill(filter.pid, SIGTERM);
    FilterResult r = finishFilter(&filter);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(has(r.log, "stopped: the job was cancelled")) << r.log;
    pid_t encoder = (pid_t)std::stoi("0" + readFile(dir + "/pid"));
    ASSERT_GT(encoder, 0);
    EXPECT_NE(kill(encoder, 0), 0) << "the encoder is still running";
    EXPECT_TRUE(parseStream(r.out).valid);
}

// A password that holds other keys' names is masked all the same; the
// printer still gets what the options' rules give.
TEST(HostileValues, PasswordsHoldingKeyNamesNeverReachTheLog) {
    // clang-format off
    const struct {
        const char* options;
        const char* secret;
        const char* row;
        const char* value;  // what that row carries to the printer
    } cases[] = {
        {"AuthPassword=Secret4copies", "Secret4copies", "copies", "1"},
        {"AuthPassword=myAuthIDpw", "myAuthIDpw", "AuthID", "sword=myAuthIDpw"},
        {"PageSize=A4 AuthPassword=hunter2 Duplex=None", "hunter2", "AuthPassword", "hunter2"},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.options = c.options;
        FilterResult r = runFilterOnPages(args, kPage);
        EXPECT_FALSE(has(r.log, c.secret)) << c.options << "\n" << r.log;
        EXPECT_EQ(jobParam(parseStream(r.out).job_params, c.row), c.value) << c.options;
    }
}

// No user's value adds an entry to the job block.
TEST(HostileValues, AddNoEntryToTheJobBlock) {
    mkdir("/tmp/auth", 0755);
    writeFile("/tmp/auth/auth_config", R"({"AuthID":"bob, copies=500","Password":"pw"})");
    FilterArgs args;
    args.title = "report, AuthID=boss, AuthPassword=hunter2, copies=999";
    args.user = "eve, LoginName=admin";
    args.options = "job-uuid=u,HostName=evil InputSlot=Tray1,Duplex=DuplexTumble";
    FilterResult r = runFilterOnPages(args, kPage);
    unlink("/tmp/auth/auth_config");
    std::string text = parseStream(r.out).job_params;
    for (const char* key :
         {"AuthID", "AuthPassword", "copies", "LoginName", "HostName", "Duplex"}) {
        EXPECT_EQ(count(", " + text, std::string(", ") + key + "="), 1) << key << ": " << text;
    }
    EXPECT_EQ(jobParam(text, "AuthID"), "bob  copies=500");
}

// A private directory is made only where no one else can rename it.
TEST(HostileTmpdir, OnlyASafeTmpdirIsUsed) {
    (void)!system("rm -rf /tmp/tarvelin /tmp/quelmoss-tmpdirs");
    mkdir("/tmp/tarvelin", 0755);
    ASSERT_EQ(chown("/tmp/tarvelin", 65534, 65534), 0);  // nobody's: not used
    mkdir("/tmp/quelmoss-tmpdirs", 0755);
    mkdir("/tmp/quelmoss-tmpdirs/open", 0777);
    chmod("/tmp/quelmoss-tmpdirs/open", 0777);
    mkdir("/tmp/quelmoss-tmpdirs/own", 0700);
    // clang-format off
    const struct {
        const char* tmpdir;
        const char* files_in;
        const char* says;
    } cases[] = {
        {"/tmp/quelmoss-tmpdirs/open", "/tmp/brivane_quelmoss-",
         "($TMPDIR /tmp/quelmoss-tmpdirs/open is not used: others may write to it"},
        {"/tmp/quelmoss-tmpdirs/own", "/tmp/quelmoss-tmpdirs/own/brivane_quelmoss-", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.tmpdir = c.tmpdir;
        FilterResult r = runFilterOnPages(args, kPage);
        EXPECT_EQ(r.exit_status, 0) << c.tmpdir;
        EXPECT_TRUE(has(r.log, std::string("this job's files are in ") + c.files_in))
            << c.tmpdir << "\n"
            << r.log;
        EXPECT_TRUE(has(r.log, c.says)) << c.tmpdir;
    }
    (void)!system("rm -rf /tmp/tarvelin /tmp/quelmoss-tmpdirs");
}

// A raster "file" that is a FIFO nobody writes to can't hold the job up.
TEST(HostileInput, FifoWithoutWriterEndsTheJob) {
    std::string fifo = "/tmp/quelmoss-fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FilterArgs args;
    args.file = fifo;
    FilterResult r = runFilter(args, "");
    unlink(fifo.c_str());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(has(r.log, "DEBUG: First page header is null"));
}

// Page accounting counts only what reached the printer.
TEST(HostileOutput, NoPageLineForARecordThatWasNotWritten) {
    FilterArgs args;
    args.copies = "3";
    args.stdout_file = "/dev/full";
    FilterResult r = runFilterOnPages(args, kPage);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(has(r.log, "ERROR: Unable to write the printer stream"));
    EXPECT_FALSE(has(r.log, "PAGE:")) << r.log;
}

}  // namespace
