#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "FilterRun.h"

namespace {

const std::vector<RasterPage> kOnePage = {{64, 32, Pattern::Checker}};

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

TEST(FilterArguments, WrongCountPrintsUsageAndWritesNothing) {
    for (size_t count : {1u, 5u, 8u}) {
        std::vector<std::string> argv = {filterPath(), "1", "u", "t", "1", "", "f", "x"};
        argv.resize(count);
        FilterResult r = runFilterArgv(argv, rasterBytes(kOnePage));
        EXPECT_EQ(r.exit_status, 1) << count;
        EXPECT_EQ(r.out, "");
        std::string usage = "Usage: " + filterPath() + " job user title copies options [file]\n";
        EXPECT_TRUE(has(r.log, "DEBUG: brivane_quelmoss argv[0]=" + filterPath() + " \n"));
        EXPECT_EQ(r.log.find("DEBUG: brivane_quelmoss version " QUELMOSS_VERSION "\n"), 0u);
        EXPECT_EQ(r.log.substr(r.log.size() - usage.size()), usage) << r.log;
    }
}

TEST(FilterArguments, NamedFileHoldsThePagesElseStandardInput) {
    std::string file = scratchDir("named") + "/three.ras";
    writeFile(file, rasterBytes({{64, 32, Pattern::Checker}, {64, 33, Pattern::Noise}, {8, 8}}));
    // clang-format off
    const struct {
        const char* name;
        std::string file;
        std::string input;
        int exit_status;
        int records;  // -1: nothing on standard output
        const char* log;
    } cases[] = {
        {"file, empty standard input", file, "", 0, 3, "argv[6]="},
        {"file and standard input: the file wins", file, rasterBytes(kOnePage), 0, 3, "argv[6]="},
        {"no file", "", rasterBytes(kOnePage), 0, 1, "argv[5]="},
        {"missing file", file + ".gone", rasterBytes(kOnePage), 1, -1,
         "ERROR: Unable to open raster file "},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.file = c.file;
        FilterResult r = runFilter(args, c.input);
        EXPECT_EQ(r.exit_status, c.exit_status) << c.name;
        EXPECT_TRUE(has(r.log, c.log)) << c.name;
        int records = r.out.empty() ? -1 : (int)parseStream(r.out).records.size();
        EXPECT_EQ(records, c.records) << c.name;
    }
}

TEST(FilterStartup, NoUsablePpdEndsWithStatusOne) {
    for (std::string ppd : {std::string(), std::string("/nonexistent.ppd")}) {
        FilterArgs args;
        args.ppd = ppd;
        FilterResult r = runFilterOnPages(args, kOnePage);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.log, "ERROR: Unable to open PPD file!\n"));
    }
}

TEST(FilterStartup, InputWithoutPagesEndsCleanlyAfterResettingTheWorkDir) {
    for (std::string input : {std::string(), rasterBytes({})}) {
        mkdir("/tmp/tarvelin", 0755);
        writeFile("/tmp/tarvelin/old.jbg", "old");
        FilterResult r = runFilter(FilterArgs(), input);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.log, "DEBUG: First page header is null \n"));
        EXPECT_NE(access("/tmp/tarvelin", F_OK), -1);
        EXPECT_EQ(access("/tmp/tarvelin/old.jbg", F_OK), -1);
    }
}

TEST(JobBlock, HeadsTheStreamWithItsExactLength) {
    FilterArgs args;
    args.title = "/tmp/x/a.b z";
    args.copies = "3";
    FilterResult r = runFilterOnPages(args, kOnePage);
    ASSERT_EQ(r.out.compare(0, 16, std::string("rx7316_param\0\0\0\0", 16)), 0);
    PrinterStream s = parseStream(r.out);
    ASSERT_TRUE(s.valid) << s.error;
    EXPECT_EQ(s.job_params.find('\0'), std::string::npos);
    EXPECT_EQ(s.job_params.substr(s.job_params.size() - 2), ", ");
    EXPECT_EQ(r.out.compare(20 + s.job_params.size(), 6, "rx7316"), 0);
    EXPECT_EQ(jobParam(s.job_params, "DocName"), "a.b");
    EXPECT_EQ(jobParam(s.job_params, "copies"), "3");
    EXPECT_EQ(jobParam(s.job_params, "jobId"), "7");
    EXPECT_EQ(jobParam(s.job_params, "LoginName"), "alice");
    EXPECT_NE(jobParam(s.job_params, "HostName"), "");
    EXPECT_TRUE(
        has(r.log, "DEBUG: job_params_size=" + std::to_string(s.job_params.size()) + " \n"));
}

TEST(JobBlock, OverLongValuesAreCutAndTheLengthStillMatches) {
    FilterArgs args;
    args.user = std::string(4000, 'u');
    args.title = std::string(4000, 't');
    args.options = "job-uuid=" + std::string(3000, 'j') + " number-up=" + std::string(600, 'n');
    FilterResult r = runFilterOnPages(args, kOnePage);
    EXPECT_EQ(r.exit_status, 0);
    PrinterStream s = parseStream(r.out);
    ASSERT_TRUE(s.valid) << s.error;
    EXPECT_EQ(s.job_params.size(), 1023u);
    EXPECT_EQ(jobParam(s.job_params, "number-up"), std::string(255, 'n'));
    EXPECT_EQ(s.records.size(), 1u);
}

struct OptionCase {
    std::string options;
    std::vector<std::pair<std::string, std::string>> rows;
    std::vector<std::string> lines;   // log lines that must appear
    std::vector<std::string> absent;  // log lines that must not
};

TEST(OptionResolution, ShippedPpdAndOptionsGiveTheExpectedSettings) {
    // Each refusal: its log line whole, and a warning on a line of its own
    // that the scheduler shows the user.
    auto refused = [](const std::string& cause, const std::string& why) {
        return "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + " + cause +
               ". \nWARNING: Printing one-sided: the printer can't print two-sided " + why + "\n";
    };
    const std::string kManual = refused("ManualTray", "from the manual tray");
    const std::string kNoPlain = refused("No Plain", "on media other than plain or recycled paper");
    const std::string kA5L = refused("A5L", "on A5 fed long edge first");
    const std::string kSize = "Cause of Duplex ON + Unsupport Media Size";
    // clang-format off
    const OptionCase cases[] = {
        {"", {{"PageSize", "A4"}, {"Duplex", "None"}, {"MediaType", "Plain"}},
         {"DEBUG: ppd PageSize,value=A4\n", "DEBUG: duplex is 0 \n",
          "DEBUG: Verify the Params Constraint. \n"},
         {"Verifying Duplex Constraint"}},
        {"PageSize=A6", {{"PageSize", "A6"}}, {"DEBUG: option PageSize,value=A6\n"},
         {"DEBUG: ppd PageSize"}},
        {"Duplex=DuplexNoTumble MediaType=Thick", {{"Duplex", "None"}, {"MediaType", "Thick"}},
         {"DEBUG: duplex is 1 \n", kNoPlain}, {}},
        {"Duplex=DuplexTumble InputSlot=ManualTray MediaType=Thin",
         {{"Duplex", "None"}, {"InputSlot", "ManualTray"}, {"MediaType", "Thin"}},
         {kManual, "DEBUG: InputSlot is ManualTray.\n"},
         {kNoPlain}},
        {"Duplex=DuplexNoTumble PageSize=A5 FeedEdge=1", {{"Duplex", "None"}, {"FeedEdge", "1"}},
         {kA5L, "DEBUG: ppdIsMarked Flag_Page_A5,value=1\n"}, {"DEBUG: PageSize:"}},
        {"Duplex=DuplexNoTumble PageSize=A5", {{"Duplex", "DuplexNoTumble"}, {"FeedEdge", "0"}},
         {"DEBUG: PageSize:A5. \n"}, {kA5L, "WARNING:"}},
        {"Duplex=DuplexTumble PageSize=A6", {{"Duplex", "None"}},
         {"DEBUG: PageSize:A6. \n", refused("Unsupport Media Size", "on page size A6")}, {}},
        {"Duplex=DuplexTumble MediaType=Recycled", {{"Duplex", "DuplexTumble"}, {"MediaType", "Plain"}},
         {"DEBUG: ppdIsMarked MediaType,value=0\n"}, {kSize}},
        {"InputSlot=Tray9", {{"InputSlot", "Tray9"}},
         {"DEBUG: option PaperBox,value=Tray9\n", "DEBUG: InputSlot is Default(MainTray).\n"}, {}},
        {"Resolution=1200dpi", {{"Resolution", "1200dpi"}, {"resX", "600dpi"}, {"resY", "600dpi"}},
         {"DEBUG: Resolution is 1200dpi. \n", "DEBUG: resX is default(600dpi).\n"}, {}},
        {"Duplex=DuplexTumble PageSize=BANK1", {{"PageSize", "CUS_1"}, {"Duplex", "None"}},
         {"DEBUG: PageSize:CUS_1. \n", refused("Unsupport Media Size", "on page size CUS_1")}, {}},
        // The shipped PPD offers no Orientation: it would have no effect.
        {"Orientation=Landscape", {}, {"DEBUG: ppdIsMarked Orientation,value=0\n"}, {}},
    };
    // clang-format on
    for (const OptionCase& c : cases) {
        FilterArgs args;
        args.options = c.options;
        FilterResult r = runFilterOnPages(args, kOnePage);
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.options << ": " << s.error;
        for (const auto& row : c.rows) {
            EXPECT_EQ(jobParam(s.job_params, row.first), row.second) << c.options;
        }
        for (const std::string& line : c.lines) EXPECT_TRUE(has(r.log, line)) << c.options << line;
        for (const std::string& line : c.absent)
            EXPECT_FALSE(has(r.log, line)) << c.options << line;
    }
}

TEST(OptionResolution, PpdWithoutDuplexOptionMeansTumbleAndCustomSizesAreMapped) {
    std::string dir = scratchDir("ppd");
    FilterArgs args;
    args.ppd = writePpd(dir + "/no-duplex.ppd", {"PageSize:A4:A4,A5", "MediaType:Plain:Plain"});
    FilterResult r = runFilterOnPages(args, kOnePage);
    PrinterStream s = parseStream(r.out);
    EXPECT_EQ(jobParam(s.job_params, "Duplex"), "DuplexTumble");
    EXPECT_TRUE(has(r.log, "DEBUG: duplex is 2 \n"));

    args.ppd = writePpd(dir + "/bank2.ppd", {"PageSize:BANK2:A4,BANK2", "Duplex:None:None",
                                             "Orientation:Landscape:Portrait,Landscape"});
    r = runFilterOnPages(args, kOnePage);
    s = parseStream(r.out);
    EXPECT_EQ(jobParam(s.job_params, "PageSize"), "CUS_2");
    EXPECT_TRUE(has(r.log, "DEBUG: ppd PageSize,value=BANK2\n"));
    EXPECT_TRUE(has(r.log, "DEBUG: ppdIsMarked Orientation,value=1\n"));
}

TEST(Collation, PpdAndSchedulerSpellingsAndTheQueueDefault) {
    std::string collating = writePpd(scratchDir("collate") + "/collate.ppd",
                                     {"Collate:True:True,False", "Duplex:None:None"});
    const char* kCollated = "multiple-document-handling=separate-documents-collated-copies";
    const char* kUncollated = "multiple-document-handling=separate-documents-uncollated-copies";
    // clang-format off
    const struct {
        std::string options;
        int collate;
        std::string ppd;  // empty: the shipped one
    } cases[] = {
        {"noCollate Collate=True", 0, ""}, {"Collate=True", 1, ""}, {"Collate=False", 1, ""},
        {"collate", 1, ""},                {"", 0, ""},           {"nocollate collate", 0, ""},
        {"recollate", 0, ""},              {kCollated, 1, ""},
        {std::string(kUncollated) + " Collate=True", 0, ""},
        {"", 1, collating},                {"nocollate", 0, collating},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.options = c.options;
        if (!c.ppd.empty()) args.ppd = c.ppd;
        FilterResult r = runFilterOnPages(args, kOnePage);
        EXPECT_TRUE(has(r.log, "DEBUG: collate is " + std::to_string(c.collate) + "\n"))
            << c.options;
        // The printer is told who makes the copies.
        EXPECT_EQ(jobParam(parseStream(r.out).job_params, "Collate"), c.collate ? "True" : "False")
            << c.options;
    }
}

class CredentialsFile : public testing::Test {
   protected:
    void SetUp() override { mkdir("/tmp/auth", 0755); }
    void TearDown() override { unlink("/tmp/auth/auth_config"); }
};

TEST_F(CredentialsFile, ReachThePrinterButNeverTheLog) {
    writeFile("/tmp/auth/auth_config", R"({"AuthID":"id42","Password":"pa55"})");
    FilterArgs args;
    FilterResult r = runFilterOnPages(args, kOnePage);
    PrinterStream s = parseStream(r.out);
    EXPECT_EQ(jobParam(s.job_params, "AuthID"), "id42");
    EXPECT_EQ(jobParam(s.job_params, "AuthPassword"), "pa55");
    EXPECT_FALSE(has(r.log, "pa55")) << r.log;
    EXPECT_TRUE(has(r.log, "DEBUG: AuthID: id42\n"));
}

TEST_F(CredentialsFile, InvalidFileLeavesTheOptionsValues) {
    writeFile("/tmp/auth/auth_config", "{\"AuthID\":");
    FilterArgs args;
    args.options = "AuthID=fromoptions";
    FilterResult r = runFilterOnPages(args, kOnePage);
    EXPECT_EQ(r.exit_status, 0);
    PrinterStream s = parseStream(r.out);
    EXPECT_EQ(jobParam(s.job_params, "AuthID"), "fromoptions");
    EXPECT_EQ(jobParam(s.job_params, "AuthPassword"), "");
}

TEST_F(CredentialsFile, FifoDoesNotBlockTheJob) {
    ASSERT_EQ(mkfifo("/tmp/auth/auth_config", 0600), 0);
    FilterResult r = runFilterOnPages(FilterArgs(), kOnePage);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(has(r.log, "WARNING: Credentials in /tmp/auth/auth_config not used: it is a FIFO"));
}

TEST(WorkDirReset, LinkPlantedAtTheWorkDirIsReplacedNotFollowed) {
    std::string dir = scratchDir("planted");
    writeFile(dir + "/victim", "keep me");
    (void)!system("rm -rf /tmp/tarvelin");
    ASSERT_EQ(symlink(dir.c_str(), "/tmp/tarvelin"), 0);
    FilterResult r = runFilterOnPages(FilterArgs(), kOnePage);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(readFile(dir + "/victim"), "keep me");
    struct stat st;
    ASSERT_EQ(lstat("/tmp/tarvelin", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(access((dir + "/7_1_gs.pbm").c_str(), F_OK), -1);
}

TEST(Cancellation, SigtermDuringStartupGivesTheJobBlockOnly) {
    RunningFilter filter = startFilter(FilterArgs());
    ASSERT_TRUE(waitForLog(filter, "BuildJobParams:"));
    kill(filter.pid, SIGTERM);
    ASSERT_TRUE(waitForLog(filter, "SIGTERM"));
    feed(&filter, rasterBytes(kOnePage));
    FilterResult r = finishFilter(&filter);
    EXPECT_EQ(r.exit_status, 0);
    PrinterStream s = parseStream(r.out);
    ASSERT_TRUE(s.valid) << s.error;
    EXPECT_EQ(s.records.size(), 0u);
}

}  // namespace
