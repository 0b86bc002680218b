// Hostile or broken input: every case ends as stated, with a clear message,
// and touches nothing outside the working directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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
        {"garbage", [] { return runFilter(FilterArgs(), std::string(5000, '\x7f')); }, 0,
         "DEBUG: First page header is null \n", -1},
        // libcups itself refuses a header without pixels.
        {"zero width", [] { return withPages(FilterArgs(), {{0, 32, Pattern::White}}); }, 0,
         "DEBUG: First page header is null \n", -1},
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

// Cut the raster anywhere: what arrived is printed, the rest is white or
// missing, and the stream stays well-formed.
TEST(BadRaster, EveryTruncationEndsCleanly) {
    std::string raster = rasterBytes(kTwoPages);
    for (size_t cut = 0; cut < raster.size(); cut += 97) {
        FilterResult r = runFilter(FilterArgs(), raster.substr(0, cut));
        ASSERT_EQ(r.exit_status, 0) << "cut at " << cut;
        if (r.out.empty()) continue;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << "cut at " << cut << ": " << s.error;
        EXPECT_TRUE(checkPrinterStream(s, true).empty()) << "cut at " << cut;
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
         0, "DEBUG: job_params_size=1023 \n", 2},
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

}  // namespace
