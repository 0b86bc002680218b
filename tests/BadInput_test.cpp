// Hostile or broken input: every case ends as stated, with a clear message,
// and touches nothing outside the working directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>

#include "FilterRun.h"

namespace {

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

// What lies in /tmp besides the working directory: names and types only, as
// other programs may write their own files there meanwhile.
std::string tmpSnapshot() {
    std::vector<std::string> entries;
    DIR* dir = opendir("/tmp");
    while (struct dirent* e = dir ? readdir(dir) : nullptr) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "tarvelin") continue;
        if (name.rfind("quelmoss-tests-", 0) == 0) continue;  // the tests' own
        struct stat st;
        std::string path = "/tmp/" + name;
        if (lstat(path.c_str(), &st) != 0) continue;
        entries.push_back(name + " " + std::to_string(st.st_mode & S_IFMT));
    }
    if (dir) closedir(dir);
    std::sort(entries.begin(), entries.end());
    std::string all;
    for (const std::string& e : entries) all += e + "\n";
    return all;
}

std::string canaryDir() {
    std::string dir = scratchDir("canary");
    writeFile(dir + "/precious", "untouched");
    return dir;
}

struct BadCase {
    const char* name;
    std::function<FilterResult()> run;
    int exit_status;
    const char* log;  // a line the log must hold
    int records;      // page records on standard output; -1: no stream at all
};

void expectEnds(const BadCase& c, const std::string& canary) {
    std::string before = tmpSnapshot();
    std::string auth_before = readFile("/tmp/auth/auth_config");
    FilterResult r = c.run();
    EXPECT_EQ(r.exit_status, c.exit_status) << c.name << "\n" << r.log;
    EXPECT_TRUE(has(r.log, c.log)) << c.name << ": no \"" << c.log << "\"";
    if (c.records < 0) {
        EXPECT_EQ(r.out, "") << c.name;
    } else {
        PrinterStream s = parseStream(r.out);
        EXPECT_TRUE(s.valid) << c.name << ": " << s.error;
        EXPECT_EQ((int)s.records.size(), c.records) << c.name;
    }
    EXPECT_EQ(tmpSnapshot(), before) << c.name;
    EXPECT_EQ(readFile("/tmp/auth/auth_config"), auth_before) << c.name;
    EXPECT_EQ(readFile(canary + "/precious"), "untouched") << c.name;
}

FilterResult withPages(FilterArgs args, std::vector<RasterPage> pages) {
    return runFilterOnPages(args, pages);
}

const std::vector<RasterPage> kTwoPages = {{64, 32, Pattern::Checker}, {64, 33, Pattern::Noise}};

TEST(BadRaster, EndsCleanly) {
    std::string canary = canaryDir();
    // clang-format off
    const BadCase cases[] = {
        // Told apart: no input at all is no job; anything else that is not
        // raster is a damaged job, also after pages were printed.
        {"no bytes", [] { return runFilter(FilterArgs(), ""); }, 0,
         "DEBUG: First page header is null \n", -1},
        {"garbage", [] { return runFilter(FilterArgs(), std::string(5000, '\x7f')); }, 1,
         "ERROR: The input is not CUPS raster", -1},
        {"cut first header",
         [] { return runFilter(FilterArgs(), rasterBytes(kTwoPages).substr(0, 300)); }, 1,
         "ERROR: The raster's first page header is cut or damaged", -1},
        // libcups itself refuses a header without pixels.
        {"zero width", [] { return withPages(FilterArgs(), {{0, 32, Pattern::White}}); }, 1,
         "ERROR: The raster's first page header is cut or damaged", -1},
        {"zero height after page 1",
         [] { return withPages(FilterArgs(), {kTwoPages[0], {64, 0, Pattern::White}}); }, 1,
         "ERROR: The raster after page 1 is cut or damaged", 1},
        {"garbage after page 1",
         [] { return runFilter(FilterArgs(), rasterBytes({kTwoPages[0]}) + std::string(5000, 'x')); },
         1, "ERROR: The raster after page 1 is cut or damaged", 1},
        {"header of page 2 cut",
         [] {
             std::string one = rasterBytes({kTwoPages[0]});
             return runFilter(FilterArgs(), rasterBytes(kTwoPages).substr(0, one.size() + 100));
         },
         1, "ERROR: The raster after page 1 is cut or damaged", 1},
        {"2 bits per pixel", [] { return withPages(FilterArgs(), {{64, 8, Pattern::White, 2}}); },
         255, "ERROR: Unable to print page 1: it has 2 bits per pixel", 0},
        {"bytes per line too large",
         [] { return withPages(FilterArgs(), {{64, 8, Pattern::White, 1, 600, 9}}); }, 255,
         "do not match its width of 64 pixels", 0},
        {"page of 61 inches at 600 dpi",
         [] { return withPages(FilterArgs(), {{64, 32, Pattern::Checker}, {8, 36600, Pattern::White}}); },
         255, "is larger than any paper this printer takes", 1},
        {"60 inches only at an absurd resolution",
         [] { return withPages(FilterArgs(), {{150000, 1, Pattern::White, 1, 1000000}}); }, 255,
         "at 1200 x 1200 dpi (125.0 x 0.0 in) is larger than any paper", 0},
    };
    // clang-format on
    for (const BadCase& c : cases) expectEnds(c, canary);
}

// Cut the raster anywhere: what arrived is printed, a page cut short prints
// white where rows are missing (and says so), a cut header ends the job as
// damaged, and the stream stays well-formed with its last record flagged.
TEST(BadRaster, EveryTruncationEndsCleanly) {
    std::string raster = rasterBytes(kTwoPages);
    size_t one = rasterBytes({kTwoPages[0]}).size();
    for (size_t cut = 0; cut < raster.size(); cut += 97) {
        FilterResult r = runFilter(FilterArgs(), raster.substr(0, cut));
        bool in_header = (cut > 0 && cut < 4 + 1796) || (cut > one && cut < one + 1796);
        ASSERT_EQ(r.exit_status, in_header ? 1 : 0) << "cut at " << cut << "\n" << r.log;
        EXPECT_EQ(has(r.log, "ERROR:"), in_header) << "cut at " << cut;
        if (r.out.empty()) continue;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << "cut at " << cut << ": " << s.error;
        EXPECT_TRUE(checkPrinterStream(s, true).empty()) << "cut at " << cut;
        EXPECT_EQ(has(r.log, "is cut short"), !in_header && cut != one) << "cut at " << cut;
    }
}

TEST(BadPpd, EndsCleanly) {
    std::string dir = scratchDir("bad-ppd");
    std::string canary = canaryDir();
    writeFile(dir + "/garbage.ppd", "this is not a PPD\n\x01\x02");
    writePpd(dir + "/empty.ppd", {});
    // clang-format off
    const BadCase cases[] = {
        {"malformed",
         [&] {
             FilterArgs a;
             a.ppd = dir + "/garbage.ppd";
             return withPages(a, kTwoPages);
         },
         1, "ERROR: Unable to open PPD file!\n", -1},
        {"a directory",
         [&] {
             FilterArgs a;
             a.ppd = dir;
             return withPages(a, kTwoPages);
         },
         1, "ERROR: Unable to open PPD file!\n", -1},
        // Without options the printer defaults stand, and thick media (no
        // plain paper marked) turns duplex off.
        {"no options at all",
         [&] {
             FilterArgs a;
             a.ppd = dir + "/empty.ppd";
             return withPages(a, kTwoPages);
         },
         0, "Cause of Duplex ON + No Plain", 2},
    };
    // clang-format on
    for (const BadCase& c : cases) expectEnds(c, canary);
}

TEST(BadOptions, OddSpacingAndOverLongTextsAreTakenSafely) {
    std::string canary = canaryDir();
    // clang-format off
    const BadCase cases[] = {
        {"odd spacing",
         [] {
             FilterArgs a;
             a.options = "  PageSize=A5 \t  Duplex=DuplexNoTumble   ";
             return withPages(a, kTwoPages);
         },
         0, "SetJobParam:[PageSize , A5 ]", 2},
        {"over-long everything",
         [] {
             FilterArgs a;
             a.job = std::string(300, '9');
             a.user = std::string(70000, 'u');
             a.title = std::string(70000, '/');
             a.copies = std::string(500, '2');
             a.options = std::string(100000, 'x') + " PageSize=" + std::string(9000, 'p');
             return withPages(a, kTwoPages);
         },
         0, "DEBUG: job_params_size=1023 \n", 2 * 9999},
        {"separators only",
         [] {
             FilterArgs a;
             a.options = "= == , ,, =,= \"'";
             return withPages(a, kTwoPages);
         },
         0, "One_Param:== , Len:2", 2},
    };
    // clang-format on
    for (const BadCase& c : cases) expectEnds(c, canary);
}

class BadCredentials : public testing::Test {
   protected:
    void SetUp() override { mkdir("/tmp/auth", 0755); }
    void TearDown() override { unlink("/tmp/auth/auth_config"); }
};

TEST_F(BadCredentials, JobGoesOnWithoutThem) {
    std::string canary = canaryDir();
    // clang-format off
    const struct {
        const char* name;
        std::string contents;
        const char* log;
    } cases[] = {
        {"not JSON", "AuthID=x", "DEBUG: Error parsing JSON\n"},
        {"huge", "{\"AuthID\":\"" + std::string(200000, 'a') + "\"}", "auth_file is not found"},
        {"non-string members", "{\"AuthID\":[1],\"Password\":{}}", "DEBUG: Exit  getAuthInfo!\n"},
        {"empty", "", "DEBUG: Error parsing JSON\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        writeFile("/tmp/auth/auth_config", c.contents);
        BadCase bad = {c.name, [] { return withPages(FilterArgs(), kTwoPages); }, 0, c.log, 2};
        expectEnds(bad, canary);
    }
}

TEST(BadFiles, LinkPlantedAtAPageFileIsReplacedNotFollowed) {
    std::string canary = canaryDir();
    // Another job holds the directory, so this one can't empty it.
    mkdir("/tmp/tarvelin", 0755);
    int other_job = open("/tmp/tarvelin", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(other_job, LOCK_SH), 0);
    unlink("/tmp/tarvelin/7_1_gs.pbm");
    ASSERT_EQ(symlink((canary + "/precious").c_str(), "/tmp/tarvelin/7_1_gs.pbm"), 0);
    BadCase c = {"link at the page file", [] { return withPages(FilterArgs(), kTwoPages); }, 0,
                 "INFO: Printing page 2\n", 2};
    expectEnds(c, canary);
    close(other_job);
}

TEST(BadEncoder, CrashingEncoderEndsTheJob) {
    std::string path = standInEncoder(scratchDir("crashing-encoder"), "kill -SEGV $$");
    std::string canary = canaryDir();
    BadCase c = {"encoder crashes",
                 [&] {
                     FilterArgs a;
                     a.path_env = path;
                     return withPages(a, kTwoPages);
                 },
                 255, "ERROR: JBIG encoder pbmtojbg killed by signal 11", 0};
    expectEnds(c, canary);
}

TEST(BadOutput, ClosedOrFullOutputIsAnError) {
    std::string raster = rasterBytes(kTwoPages);
    writeFile(scratchDir("output") + "/in.ras", raster);
    std::string in = std::string(QUELMOSS_BINARY_DIR) + "/scratch/output/in.ras";
    std::string filter = "PPD=" + shippedPpdPath() + " " + filterPath() + " 1 u t 1 '' < " + in;
    int closed = system((filter + " >&- 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(closed), 1);
    int full = system((filter + " > /dev/full 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(full), 1);
    int no_input = system((filter + " <&- > /dev/null 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(no_input), 0);
}

// The filter as the scheduler runs it (user lp) on a machine where another
// user (nobody) got to the fixed paths first.
uid_t uidOf(const char* user) {
    struct passwd* pw = getpwnam(user);
    return pw ? pw->pw_uid : 0;
}

FilterResult runAsLp(FilterArgs args = FilterArgs()) {
    args.run_as = "lp";
    args.ppd = shippedPpdPath(true);
    return runFilterOnPages(args, kTwoPages);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(SharedMachine, ForeignWorkingDirectoryIsLeftAloneAndAPrivateOneUsed) {
    (void)!system("rm -rf /tmp/tarvelin");
    ASSERT_EQ(mkdir("/tmp/tarvelin", 0777), 0);
    chmod("/tmp/tarvelin", 0777);
    writeFile("/tmp/tarvelin/7_1_gs.pbm", "planted by nobody");
    ASSERT_EQ(chown("/tmp/tarvelin", uidOf("nobody"), 0), 0);
    ASSERT_EQ(chown("/tmp/tarvelin/7_1_gs.pbm", uidOf("nobody"), 0), 0);
    std::string before = tmpSnapshot();

    FilterResult r = runAsLp();
    EXPECT_EQ(r.exit_status, 0) << r.log;
    EXPECT_EQ(parseStream(r.out).records.size(), 2u);
    EXPECT_TRUE(
        has(r.log, "WARNING: Working directory /tmp/tarvelin/ is not used (it belongs to user " +
                       std::to_string(uidOf("nobody")) +
                       "); this job's files are in /tmp/brivane_quelmoss-"))
        << r.log;
    EXPECT_EQ(readFile("/tmp/tarvelin/7_1_gs.pbm"), "planted by nobody");
    EXPECT_EQ(access("/tmp/tarvelin/7-1.jbg", F_OK), -1);
    EXPECT_EQ(tmpSnapshot(), before) << "the private directory is left behind";
}

TEST(SharedMachine, OwnWorkingDirectoryAndPageFilesArePrivateWhateverTheUmask) {
    // clang-format off
    const struct {
        const char* name;
        int dir_mode;  // -1: no directory yet
    } cases[] = {
        {"made under umask 022", -1},
        {"left 0777 by an earlier job", 0777},
    };
    // clang-format on
    for (const auto& c : cases) {
        (void)!system("rm -rf /tmp/tarvelin");
        if (c.dir_mode >= 0) {
            ASSERT_EQ(mkdir("/tmp/tarvelin", 0700), 0);
            chmod("/tmp/tarvelin", (mode_t)c.dir_mode);
            ASSERT_EQ(chown("/tmp/tarvelin", uidOf("lp"), 0), 0);
        }
        // The encoder, where lp can run it, notes the modes of the page
        // files it is given: they are gone once the job ends.
        std::string encoder = "/tmp/quelmoss-modes";
        (void)!system(("rm -rf " + encoder).c_str());
        mkdir(encoder.c_str(), 0777);
        chmod(encoder.c_str(), 0777);
        FilterArgs args;
        args.umask = 022;
        args.path_env = standInEncoder(encoder, "stat -c %a \"${15}\" \"$last\" >> " + encoder +
                                                    "/modes; exec /usr/bin/pbmtojbg \"$@\"");
        FilterResult r = runAsLp(args);
        EXPECT_EQ(r.exit_status, 0) << c.name << "\n" << r.log;
        EXPECT_FALSE(has(r.log, "WARNING:")) << c.name;
        EXPECT_EQ(modeOf("/tmp/tarvelin"), 0700u) << c.name;
        EXPECT_EQ(readFile(encoder + "/modes"), "600\n600\n600\n600\n") << c.name;
    }
    (void)!system("rm -rf /tmp/tarvelin");
}

class SharedCredentials : public testing::Test {
   protected:
    void SetUp() override {
        // (lp runs the jobs: a working directory root's filter made before
        // is not theirs.)
        (void)!system("rm -rf /tmp/tarvelin");
        mkdir("/tmp/auth", 0755);
        auth_mode_ = modeOf("/tmp/auth");
        chmod("/tmp/auth", 0755);
    }
    void TearDown() override {
        unlink("/tmp/auth/auth_config");
        chmod("/tmp/auth", auth_mode_);
    }
    mode_t auth_mode_ = 0755;
};

TEST_F(SharedCredentials, OnlyATrustedFileIsUsed) {
    std::string elsewhere = scratchDir("credentials") + "/elsewhere";
    writeFile(elsewhere, R"({"AuthID":"fromlink"})");
    // clang-format off
    const struct {
        const char* name;
        std::function<void()> prepare;
        const char* warning;  // nullptr: the credentials are used
    } cases[] = {
        {"trusted", [] {}, nullptr},
        {"foreign owner", [] { (void)!chown("/tmp/auth/auth_config", uidOf("nobody"), 0); },
         "the file auth_config belongs to another user"},
        {"writable directory", [] { chmod("/tmp/auth", 0777); },
         "its directory /tmp/auth is writable by group or others"},
        {"link", [&] {
             unlink("/tmp/auth/auth_config");
             (void)!symlink(elsewhere.c_str(), "/tmp/auth/auth_config");
         }, "it can't be opened without following a link"},
        {"control character", [] {
             writeFile("/tmp/auth/auth_config",
                       "{\"AuthID\":\"x\\nSTATE: +media-empty-error\\nPPD: DefaultPageSize=Letter\"}");
         }, "AuthID holds a control character"},
    };
    // clang-format on
    for (const auto& c : cases) {
        writeFile("/tmp/auth/auth_config", R"({"AuthID":"id42","Password":"pa55"})");
        chmod("/tmp/auth/auth_config", 0644);
        chmod("/tmp/auth", 0755);
        c.prepare();
        FilterResult r = runAsLp();
        EXPECT_EQ(r.exit_status, 0) << c.name;
        std::string id = jobParam(parseStream(r.out).job_params, "AuthID");
        if (c.warning == nullptr) {
            EXPECT_EQ(id, "id42") << c.name << "\n" << r.log;
            EXPECT_FALSE(has(r.log, "WARNING:")) << c.name << "\n" << r.log;
        } else {
            EXPECT_EQ(id, "") << c.name;
            EXPECT_TRUE(
                has(r.log, std::string("WARNING: Credentials in /tmp/auth/auth_config not used: ") +
                               c.warning))
                << c.name << "\n"
                << r.log;
        }
        unlink("/tmp/auth/auth_config");
    }
}

// No value can start a log line of its own that the scheduler would read as
// a control message.
TEST(SharedMachine, ValuesCannotInjectControlMessages) {
    std::string dir = scratchDir("injection");
    const std::string kInjected =
        "\nSTATE: +media-empty-error\nPPD: DefaultPageSize=Letter\nATTR: x=y\r\n";
    FilterArgs args;
    args.title = "report" + kInjected + ".pdf";
    args.user = "mallory" + kInjected;
    args.options = "PageSize=A4" + kInjected + "AuthPassword=pw Duplex=" + kInjected;
    args.file = dir + "/job" + kInjected + ".ras";
    writeFile(args.file, rasterBytes(kTwoPages));
    FilterResult r = runFilter(args, "");
    EXPECT_EQ(r.exit_status, 0) << r.log;
    EXPECT_EQ(parseStream(r.out).records.size(), 2u);
    std::istringstream lines(r.log);
    std::string line;
    while (std::getline(lines, line)) {
        for (const char* prefix : {"STATE:", "PPD:", "ATTR:"}) {
            EXPECT_NE(line.rfind(prefix, 0), 0u) << line;
        }
    }
    EXPECT_TRUE(has(r.log, "argv[3]=report\\nSTATE: +media-empty-error\\nPPD: "));
    EXPECT_FALSE(has(r.log, "\r"));
}

TEST(BadOutput, ClosedReaderEndsTheJobAtOnce) {
    FilterArgs args;
    args.closed_reader = true;
    std::vector<RasterPage> pages(8, RasterPage{64, 32, Pattern::Noise});
    FilterResult r = runFilterOnPages(args, pages);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(has(r.log, "ERROR: Unable to write the printer stream: Broken pipe\n")) << r.log;
    EXPECT_FALSE(has(r.log, "INFO: Printing page 3\n"));
}

}  // namespace
