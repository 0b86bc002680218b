#include "StreamReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "FilterRun.h"

namespace {

std::string goodStream() {
    FilterArgs args;
    args.copies = "2";
    return runFilterOnPages(args, {{64, 32, Pattern::Checker}, {64, 33, Pattern::Noise}}).out;
}

void setInt32(std::string* bytes, size_t at, int32_t value) {
    for (int i = 0; i < 4; i++) (*bytes)[at + (size_t)i] = (char)((uint32_t)value >> (8 * i));
}

TEST(StreamReader, AcceptsWhatTheFilterWrites) {
    PrinterStreamData s = readPrinterStream(goodStream());
    ASSERT_TRUE(s.valid) << s.error;
    EXPECT_EQ(s.records.size(), 4u);
    EXPECT_TRUE(checkPrinterStream(s, true).empty());
    auto settings = jobSettings(s.job_params);
    ASSERT_EQ(settings.size(), 23u);
    EXPECT_EQ(settings[16], std::make_pair(std::string("copies"), std::string("2")));
}

// Every cut of a good stream short of a record boundary is reported, never
// read past.
TEST(StreamReader, EveryTruncationIsCaught) {
    std::string bytes = goodStream();
    PrinterStreamData full = readPrinterStream(bytes);
    std::vector<size_t> ends = {20 + full.job_params.size()};
    for (const StreamRecord& r : full.records) ends.push_back(r.offset + 32 + r.data.size());
    for (size_t cut = 0; cut < bytes.size(); cut++) {
        PrinterStreamData s = readPrinterStream(bytes.substr(0, cut));
        bool boundary = std::find(ends.begin(), ends.end(), cut) != ends.end();
        EXPECT_EQ(s.valid, boundary) << "cut at " << cut << ": " << s.error;
        if (boundary && cut < bytes.size()) {
            EXPECT_FALSE(checkPrinterStream(s, true).empty()) << "cut at " << cut;
        }
    }
}

TEST(StreamReader, NamesBrokenRules) {
    std::string bytes = goodStream();
    PrinterStreamData s = readPrinterStream(bytes);
    const size_t r2 = s.records[1].offset, r3 = s.records[2].offset, r4 = s.records[3].offset;
    // clang-format off
    const struct {
        const char* name;
        size_t at;
        int32_t value;
        const char* problem;
    } cases[] = {
        {"page_no gap", r3 + 28, 9, "record 3 has page_no 9"},
        {"early last page", r2 + 20, 1, "has last_page 1 before the end"},
        {"no last page", r4 + 20, 0, "0 records have last_page 1"},
        {"first_page on another page", r3 + 16, 1, "no copy of the first page"},
        {"job block length", 16, 100000, "claims 100000 bytes"},
        {"negative data size", r2 + 24, -5, "data_size -5"},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::string damaged = bytes;
        setInt32(&damaged, c.at, c.value);
        PrinterStreamData d = readPrinterStream(damaged);
        std::string all = d.error;
        for (const std::string& p :
             d.valid ? checkPrinterStream(d, true) : std::vector<std::string>()) {
            all += "|" + p;
        }
        EXPECT_NE(all.find(c.problem), std::string::npos) << c.name << ": " << all;
    }
    std::string bad_magic = bytes;
    bad_magic[r2 + 3] = 'X';
    EXPECT_NE(readPrinterStream(bad_magic).error.find("bad magic"), std::string::npos);
}

TEST(StreamReader, UnfinishedJobsNeedNoLastPage) {
    std::string bytes = goodStream();
    PrinterStreamData s = readPrinterStream(bytes);
    setInt32(&bytes, s.records[3].offset + 20, 0);
    PrinterStreamData d = readPrinterStream(bytes);
    EXPECT_FALSE(checkPrinterStream(d, true).empty());
    EXPECT_TRUE(checkPrinterStream(d, false).empty());
}

TEST(Inspector, ValidatesPrintsAndWritesPreviews) {
    std::string dir = scratchDir("inspector");
    writeFile(dir + "/good.prn", goodStream());
    std::string tool = std::string(QUELMOSS_BINARY_DIR) + "/quelmoss-inspect";
    std::string run = tool + " --png " + dir + "/png " + dir + "/good.prn > " + dir + "/table";
    EXPECT_EQ(system(run.c_str()), 0);
    std::string table = readFile(dir + "/table");
    EXPECT_NE(table.find("Page records: 4"), std::string::npos) << table;
    EXPECT_NE(table.find("64 x 33"), std::string::npos) << table;
    std::string png = readFile(dir + "/png/page-004.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x40\0\0\0\x21", 8));  // 64 x 33

    run = tool + " --json " + dir + "/good.prn > " + dir + "/json";
    EXPECT_EQ(system(run.c_str()), 0);
    EXPECT_NE(readFile(dir + "/json").find("\"valid\":\ttrue"), std::string::npos);

    writeFile(dir + "/cut.prn", readFile(dir + "/good.prn").substr(0, 500));
    run = tool + " " + dir + "/cut.prn > /dev/null 2> " + dir + "/err";
    EXPECT_EQ(WEXITSTATUS(system(run.c_str())), 1);
    EXPECT_NE(readFile(dir + "/err").find("malformed stream"), std::string::npos);

    // Two jobs on one connection (a banner page, two documents): each is
    // reported; a cut in the second still fails the whole stream.
    std::string two = goodStream() + goodStream();
    writeFile(dir + "/two.prn", two);
    run = tool + " --png " + dir + "/png " + dir + "/two.prn > " + dir + "/table";
    EXPECT_EQ(system(run.c_str()), 0);
    table = readFile(dir + "/table");
    EXPECT_NE(table.find("== job-2\n"), std::string::npos) << table;
    EXPECT_EQ(access((dir + "/png/job-2-page-004.png").c_str(), F_OK), 0);
    writeFile(dir + "/two-cut.prn", two.substr(0, two.size() - 10));
    run = tool + " " + dir + "/two-cut.prn > /dev/null 2> " + dir + "/err";
    EXPECT_EQ(WEXITSTATUS(system(run.c_str())), 1);
    EXPECT_NE(readFile(dir + "/err").find("job-2: malformed stream"), std::string::npos);

    // Asked for help, it answers on standard output; a wrong option is a
    // usage error.
    EXPECT_EQ(system((tool + " --help > " + dir + "/help").c_str()), 0);
    EXPECT_EQ(readFile(dir + "/help").rfind("Usage: ", 0), 0u);
    EXPECT_EQ(WEXITSTATUS(system((tool + " --bogus 2> /dev/null").c_str())), 2);
}

}  // namespace
