#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FilterRun.h"
#include "stream/JobStart.h"

namespace {

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

std::string linesStartingWith(const std::string& log, const std::string& prefix) {
    std::string found;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.compare(at, prefix.size(), prefix) == 0) found += log.substr(at, end - at);
        at = end;
    }
    return found;
}

// Pages that differ in height, so every page makes a different JBIG file.
std::vector<RasterPage> distinctPages(int count) {
    std::vector<RasterPage> pages;
    for (int i = 0; i < count; i++) pages.push_back({64, 32u + (unsigned)i, Pattern::Checker});
    return pages;
}

// The m_page whose JBIG file, as the keeping encoder in `dir` kept it, holds
// these bytes, or 0.
int sourcePage(const std::string& data, const std::string& dir, int job_id = 7) {
    for (int n = 1; n <= 16; n++) {
        std::string path =
            dir + "/kept/" + std::to_string(job_id) + "-" + std::to_string(n) + ".jbg";
        if (access(path.c_str(), F_OK) == 0 && readFile(path) == data) return n;
    }
    return 0;
}

// Files of job `job_id` in the working directory.
int jobFilesLeft(int job_id = 7) {
    int left = 0;
    DIR* dir = opendir("/tmp/tarvelin");
    std::string a = std::to_string(job_id) + "_", b = std::to_string(job_id) + "-";
    while (struct dirent* entry = dir ? readdir(dir) : nullptr) {
        std::string name = entry->d_name;
        if (name.compare(0, a.size(), a) == 0 || name.compare(0, b.size(), b) == 0) left++;
    }
    if (dir) closedir(dir);
    return left;
}

// (first_page, last_page, page_no, the m_page the record was made from)
struct Expected {
    int first, last, page_no, source;
    bool operator==(const Expected& o) const {
        return first == o.first && last == o.last && page_no == o.page_no && source == o.source;
    }
};

std::ostream& operator<<(std::ostream& os, const Expected& e) {
    return os << "(" << e.first << "," << e.last << "," << e.page_no << ",page " << e.source << ")";
}

std::vector<Expected> recordsOf(const PrinterStream& s, const std::string& dir) {
    std::vector<Expected> got;
    for (const StreamRecord& r : s.records) {
        got.push_back({r.first_page, r.last_page, r.page_no, sourcePage(r.data, dir)});
    }
    return got;
}

struct OrderCase {
    const char* name;
    const char* options;
    const char* copies;
    int pages;
    std::vector<Expected> records;
};

TEST(RecordOrder, CopiesCollationAndDuplexGiveTheExpectedRecords) {
    const char* kDuplex = "Duplex=DuplexNoTumble";
    const char* kCollatedDuplex = "Duplex=DuplexNoTumble Collate=True";
    // clang-format off
    const OrderCase cases[] = {
        {"simplex uncollated 2 copies", "", "2", 2,
         {{1, 0, 1, 1}, {1, 0, 2, 1}, {0, 0, 3, 2}, {0, 1, 4, 2}}},
        {"simplex collated 2 copies", "Collate=True", "2", 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"one page 3 copies", "", "3", 1, {{1, 0, 1, 1}, {1, 0, 2, 1}, {1, 1, 3, 1}}},
        {"one page 1 copy", "", "1", 1, {{1, 1, 1, 1}}},
        {"copies 0", "", "0", 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"copies negative", "", "-4", 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"copies not a number", "", "many", 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"collated 3 copies", "Collate=True", "3", 3, {{1, 0, 1, 1}, {0, 0, 2, 2}, {0, 1, 3, 3}}},
        {"duplex odd 2 copies", kDuplex, "2", 3,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {1, 0, 3, 1}, {0, 0, 4, 2},
          {0, 0, 5, 3}, {0, 0, 6, 4}, {0, 0, 7, 3}, {0, 1, 8, 4}}},
        {"collated duplex odd", kCollatedDuplex, "1", 3,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {0, 0, 3, 3}, {0, 1, 4, 4}}},
        // The printer makes the copies: it must see where the job ends.
        {"collated duplex odd 2 copies", kCollatedDuplex, "2", 3,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {0, 0, 3, 3}, {0, 1, 4, 4}}},
        {"collated duplex odd 3 copies", kCollatedDuplex, "3", 1, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"duplex one page", kDuplex, "1", 1, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"duplex one page 3 copies", kDuplex, "3", 1,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {1, 0, 3, 1}, {0, 0, 4, 2}, {1, 0, 5, 1}, {0, 1, 6, 2}}},
        {"duplex even 2 copies", kDuplex, "2", 2,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {1, 0, 3, 1}, {0, 1, 4, 2}}},
        {"duplex even 4 pages", "Duplex=DuplexTumble", "1", 4,
         {{1, 0, 1, 1}, {0, 0, 2, 2}, {0, 0, 3, 3}, {0, 1, 4, 4}}},
        {"duplex copies 0", kDuplex, "0", 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
    };
    // clang-format on
    std::string dir = scratchDir("record-order");
    for (const OrderCase& c : cases) {
        FilterArgs args;
        args.options = c.options;
        args.copies = c.copies;
        args.path_env = keepingEncoder(dir);
        FilterResult r = runFilterOnPages(args, distinctPages(c.pages));
        EXPECT_EQ(r.exit_status, 0) << c.name;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.name << ": " << s.error;
        EXPECT_EQ(recordsOf(s, dir), c.records) << c.name;
        // The job block says who makes the copies.
        bool collated = strstr(c.options, "Collate=True") != nullptr;
        EXPECT_EQ(jobParam(s.job_params, "Collate"), collated ? "True" : "False") << c.name;
        EXPECT_EQ(jobFilesLeft(), 0) << c.name;
        // One "PAGE: n i" per record, in order; the printer makes collated
        // copies, so those records stand for `copies` impressions each.
        int copies = atoi(c.copies);
        int impressions = strstr(c.options, "Collate=True") && copies > 1 ? copies : 1;
        std::string page_lines;
        for (const Expected& e : c.records) {
            page_lines +=
                "PAGE: " + std::to_string(e.page_no) + " " + std::to_string(impressions) + "\n";
        }
        EXPECT_EQ(linesStartingWith(r.log, "PAGE: "), page_lines) << c.name;
    }
}

TEST(RecordOrder, ForcedLastPageIsLogged) {
    FilterArgs args;
    args.copies = "2";
    FilterResult r = runFilterOnPages(args, distinctPages(2));
    EXPECT_TRUE(has(r.log, "DEBUG: force lastpage to 0\n"));
    EXPECT_TRUE(has(r.log, "DEBUG: force lastpage to 1\n"));
    EXPECT_TRUE(has(r.log, "INFO: Printing page 2\n"));

    args.options = "Duplex=DuplexNoTumble Collate=True";
    r = runFilterOnPages(args, distinctPages(1));
    EXPECT_FALSE(has(r.log, "DEBUG: force extra lastpage"));
}

// A page's files go once its last record is written: a job never has more
// files on disk than pages in flight, and leaves none behind.
TEST(WorkingFiles, GoOnceTheirPageIsSentAndNeverPileUp) {
    const struct {
        const char* name;
        const char* options;
        size_t records;
    } cases[] = {{"simplex", "", 22},
                 {"duplex", "Duplex=DuplexNoTumble", 24},
                 {"collated duplex", "Duplex=DuplexNoTumble Collate=True", 12}};
    for (const auto& c : cases) {
        std::string dir = scratchDir("working-files");
        FilterArgs args;
        args.job = "31";
        args.copies = "2";
        args.options = c.options;
        args.path_env = keepingEncoder(dir);
        FilterResult r = runFilterOnPages(args, distinctPages(11));
        ASSERT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(parseStream(r.out).records.size(), c.records) << c.name;
        EXPECT_EQ(jobFilesLeft(31), 0) << c.name;
        int most = 0;
        std::stringstream counts(readFile(dir + "/files"));
        for (int n = 0; counts >> n;) most = n > most ? n : most;
        // At most 4 pages read ahead and a front page held, 2 files each.
        EXPECT_LE(most, 2 * (4 + 1) + 1) << c.name;
        // The encoder was given the page as stored.
        std::vector<unsigned char> rows = patternRows(distinctPages(3)[1]);
        EXPECT_EQ(readFile(dir + "/kept/31_2_gs.pbm"),
                  "P4\n64 33\n" + std::string(rows.begin(), rows.end()));
    }
}

TEST(PageImages, EveryRecordDecodesToTheRasterPage) {
    std::vector<RasterPage> pages = {
        {803, 120, Pattern::Noise}, {17, 9, Pattern::Diagonal}, {640, 480, Pattern::Black}};
    FilterResult r = runFilterOnPages(FilterArgs(), pages);
    PrinterStream s = parseStream(r.out);
    ASSERT_EQ(s.records.size(), 3u);
    for (size_t i = 0; i < pages.size(); i++) {
        Bitmap b = decodeJbig(s.records[i].data);
        std::vector<unsigned char> rows = patternRows(pages[i]);
        EXPECT_EQ(b.width, (int)pages[i].width);
        EXPECT_EQ(b.height, (int)pages[i].height);
        // The encoder keeps padding bits as given; compare what is on paper.
        EXPECT_TRUE(b.rows == std::string(rows.begin(), rows.end()) ||
                    pages[i].pattern == Pattern::Black)
            << i;
    }
}

TEST(PageImages, A5PagesFedLongEdgeFirstAreTurned) {
    std::string dir = scratchDir("a5l");
    FilterArgs args;
    args.options = "PageSize=A5 FeedEdge=1";
    args.path_env = keepingEncoder(dir);
    RasterPage page = {50, 21, Pattern::Noise};
    FilterResult r = runFilterOnPages(args, {page});
    PrinterStream s = parseStream(r.out);
    ASSERT_EQ(s.records.size(), 1u);
    Bitmap b = decodeJbig(s.records[0].data);
    EXPECT_EQ(b.width, 21);
    EXPECT_EQ(b.height, 50);
    EXPECT_TRUE(b.rows == turnedLeft(toBitmap(page)).rows);
    EXPECT_TRUE(has(r.log, "DEBUG: A5L need rotate.[-90]DEBUG: pbmtojbg. width:[21], height:[50]"));
    EXPECT_EQ(access((dir + "/kept/7_1_gs_rotated.pbm").c_str(), F_OK), 0);
}

TEST(BlankBackPage, HasTheFirstPageSizeAndIsWhite) {
    FilterArgs args;
    args.options = "Duplex=DuplexNoTumble";
    std::vector<RasterPage> pages = {
        {61, 30, Pattern::Black}, {100, 50, Pattern::Checker}, {100, 50, Pattern::Checker}};
    FilterResult r = runFilterOnPages(args, pages);
    PrinterStream s = parseStream(r.out);
    ASSERT_EQ(s.records.size(), 4u);
    Bitmap blank = decodeJbig(s.records[3].data);
    EXPECT_EQ(blank.width, 64);
    EXPECT_EQ(blank.height, 30);
    EXPECT_EQ(blank.rows, std::string(8 * 30, '\0'));
    EXPECT_TRUE(has(r.log,
                    "DEBUG: extra file /tmp/tarvelin/7_4_gs.pbm not exists, ignore, create "
                    "a empty pbm file, cupsheight 30, width 64 bytesperline 8\n"));
}

TEST(LargePages, JbigLargerThanTheDuplexBuffersArrivesWhole) {
    std::string dir = scratchDir("large");
    FilterArgs args;
    args.path_env = keepingEncoder(dir);
    args.options = "Duplex=DuplexNoTumble";
    args.copies = "2";
    std::vector<RasterPage> pages = {{5600, 8400, Pattern::Noise}, {64, 32, Pattern::Checker}};
    FilterResult r = runFilterOnPages(args, pages);
    ASSERT_EQ(r.exit_status, 0);
    PrinterStream s = parseStream(r.out);
    ASSERT_EQ(s.records.size(), 4u);
    std::string jbig = readFile(dir + "/kept/7-1.jbg");
    ASSERT_GT(jbig.size(), 4u * 1024 * 1024);
    EXPECT_TRUE(s.records[0].data == jbig);
    EXPECT_TRUE(s.records[2].data == jbig);
}

// Where SIGTERM comes decides the page the job ends with; what one page at
// a time printed is printed. The raster is fed in two parts: `cut` bytes,
// then, once page `wait_page`'s encoder has started and 0.2 s more have
// passed, SIGTERM, then the rest. The encoder of page `hold` waits until
// after the signal.
TEST(Cancellation, EndsWithThePageInHandAsOnePageAtATimeDid) {
    enum Cut { AFTER_PAGE_1, HALF_PAGE_2, AFTER_PAGE_2, ALL };
    const char* kDuplex = "Duplex=DuplexNoTumble";
    // clang-format off
    const struct {
        const char* name;
        const char* options;
        Cut cut;
        int wait_page, hold;
        std::vector<Expected> records;
    } cases[] = {
        {"waiting for page 2", "", AFTER_PAGE_1, 1, 0, {{1, 1, 1, 1}}},
        {"waiting for page 3", "", AFTER_PAGE_2, 2, 0, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"page 2 half sent", "", HALF_PAGE_2, 1, 1, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"page 2 half sent, duplex", kDuplex, HALF_PAGE_2, 1, 1, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"page 2 encoding, page 3 read", "", ALL, 2, 2, {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"duplex odd page, waiting for page 2", kDuplex, AFTER_PAGE_1, 1, 0,
         {{1, 0, 1, 1}, {0, 1, 2, 2}}},
        {"duplex even page, waiting for page 3", kDuplex, AFTER_PAGE_2, 2, 0,
         {{1, 0, 1, 1}, {0, 1, 2, 2}}},
    };
    // clang-format on
    std::vector<RasterPage> pages = distinctPages(4);
    std::string full = rasterBytes(pages);
    size_t one = rasterBytes({pages[0]}).size(), two = rasterBytes({pages[0], pages[1]}).size();
    for (const auto& c : cases) {
        std::string dir = scratchDir("cancel");
        mkdir((dir + "/kept").c_str(), 0777);
        FilterArgs args;
        args.options = c.options;
        args.path_env = standInEncoder(
            dir, "touch " + dir + "/started-${last##*-}; case \"$last\" in *-" +
                     std::to_string(c.hold) + ".jbg) while [ ! -e " + dir +
                     "/go ]; do sleep 0.02; done;; esac; /usr/bin/pbmtojbg \"$@\" || exit; cp "
                     "\"$last\" " +
                     dir + "/kept/");
        size_t cut = c.cut == AFTER_PAGE_1   ? one
                     : c.cut == HALF_PAGE_2  ? two - 10  // in its last rows
                     : c.cut == AFTER_PAGE_2 ? two
                                             : full.size();
        RunningFilter filter = startFilter(args);
        feed(&filter, full.substr(0, cut));
        std::string started = dir + "/started-" + std::to_string(c.wait_page) + ".jbg";
        for (int i = 0; i < 500 && access(started.c_str(), F_OK) != 0; i++) usleep(10 * 1000);
        usleep(200 * 1000);
        kill(filter.pid, SIGTERM);
        EXPECT_TRUE(waitForLog(filter, "SIGTERM")) << c.name;
        writeFile(dir + "/go", "");
        feed(&filter, full.substr(cut));
        FilterResult r = finishFilter(&filter);
        EXPECT_EQ(r.exit_status, 0) << c.name;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.name << ": " << s.error;
        EXPECT_EQ(recordsOf(s, dir), c.records) << c.name << "\n" << r.log;
        EXPECT_TRUE(has(r.log, "is last page,")) << c.name;
        // Pages never printed leave no line and no file.
        EXPECT_FALSE(has(r.log, "INFO: Printing page 3")) << c.name;
        EXPECT_EQ(jobFilesLeft(), 0) << c.name;
    }
}

TEST(FailedPages, EndTheJobWithStatus255AndKeepEarlierRecords) {
    std::string dir = scratchDir("failing-encoder");
    mkdir((dir + "/slow").c_str(), 0755);
    // clang-format off
    const struct {
        const char* name;
        std::string path;
        size_t records;
        const char* error;
    } cases[] = {
        {"no encoder on PATH", dir + "/empty", 0, "ERROR: Unable to start the JBIG encoder"},
        // What the encoder says stands among its page's lines, as a value.
        {"encoder fails on page 2",
         standInEncoder(dir, "case \"$last\" in *-2.jbg) echo \"pbmtojbg: cannot write $last\" >&2; "
                        "exit 1;; esac; exec /usr/bin/pbmtojbg \"$@\""),
         1, "7_2_gs.pbm]pbmtojbg: cannot write /tmp/tarvelin/7-2.jbg\\nDEBUG: pbmtojbg: pbmtojbg -q"},
        // The next page is converting meanwhile: it is stopped, not printed.
        {"encoder fails on page 2 while page 3 converts",
         standInEncoder(dir + "/slow", "case \"$last\" in *-2.jbg) sleep 0.3; exit 3;; "
                        "*-3.jbg) sleep 2;; esac; exec /usr/bin/pbmtojbg \"$@\""),
         1, "ERROR: JBIG encoder pbmtojbg failed with status 3"},
    };
    // clang-format on
    mkdir((dir + "/empty").c_str(), 0755);
    for (const auto& c : cases) {
        FilterArgs args;
        args.path_env = c.path;
        FilterResult r = runFilterOnPages(args, distinctPages(4));
        EXPECT_EQ(r.exit_status, 255) << c.name;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.name << ": " << s.error;
        EXPECT_EQ(s.records.size(), c.records) << c.name;
        EXPECT_TRUE(has(r.log, c.error)) << c.name << "\n" << r.log;
        EXPECT_EQ(jobFilesLeft(), 0) << c.name;
        // A page never printed leaves no line.
        EXPECT_FALSE(has(r.log, "INFO: Printing page 3")) << c.name;
        EXPECT_FALSE(has(r.log, "INFO: Printing page 4")) << c.name;
    }
}

// A shell function for stand-in encoders: writes a 32-bit big-endian integer.
const char* const kBe32 =
    "be32() { printf \"\\\\$(printf %o $(($1>>24&255)))\\\\$(printf %o $(($1>>16&255)))"
    "\\\\$(printf %o $(($1>>8&255)))\\\\$(printf %o $(($1&255)))\"; }; ";

// A stand-in that writes just a JBIG header (BIH) for a page W x H.
std::string headerOnly(const char* width, const char* height) {
    return std::string(kBe32) + "{ printf '\\000\\000\\001\\000'; be32 " + width + "; be32 " +
           height + "; be32 128; printf '\\000\\000\\000\\010'; } > \"$last\"";
}

// Only a JBIG image of the page's size, no larger than it could be, is sent.
TEST(FailedPages, WhatIsNotAJbigImageOfThePageIsNotSent) {
    // clang-format off
    const struct {
        const char* name;
        std::string body;
        const char* why;
    } cases[] = {
        {"empty", ": > \"$last\"", "too short for a JBIG header"},
        {"garbage", "head -c 1000 /dev/urandom > \"$last\"", "not a one-plane image"},
        {"another size", headerOnly("$5", "$3"), "not a one-plane image of the page's size"},
        {"1.5 GB for a small page", "/usr/bin/pbmtojbg \"$@\"; truncate -s 1500M \"$last\"",
         "larger than the page could need"},
    };
    // clang-format on
    for (const auto& c : cases) {
        FilterArgs args;
        args.path_env = standInEncoder(scratchDir("bad-jbig"), c.body);
        FilterResult r = runFilterOnPages(args, distinctPages(1));
        EXPECT_EQ(r.exit_status, 255) << c.name;
        PrinterStream s = parseStream(r.out);
        EXPECT_TRUE(s.valid) << c.name;
        EXPECT_EQ(s.records.size(), 0u) << c.name;
        EXPECT_TRUE(has(r.log, "ERROR: JBIG encoder pbmtojbg gave nothing to print")) << c.name;
        EXPECT_TRUE(has(r.log, c.why)) << c.name << "\n" << r.log;
        EXPECT_EQ(jobFilesLeft(), 0) << c.name;
    }
}

TEST(RefusedRasterPages, AreNamedAndEndTheJobBeforeAnythingOfThemIsWritten) {
    // clang-format off
    const struct {
        const char* name;
        RasterPage page;
        const char* reason;
    } cases[] = {
        {"8 bits per pixel", {64, 32, Pattern::White, 8}, "8 bits per pixel"},
        {"bytes per line too small", {64, 32, Pattern::White, 1, 600, 4}, "bytes per line"},
        {"wider than any paper", {40000, 2, Pattern::White, 1, 600}, "larger than any paper"},
        {"taller at 0 dpi", {8, 80000, Pattern::White, 1, 0}, "larger than any paper"},
        {"Legal plus more than an inch at 1200 dpi", {8, 18100, Pattern::White, 1, 1200},
         "(0.0 x 15.1 in) is larger than any paper this printer takes (9.5 x 15.0 in at most)"},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::vector<RasterPage> pages = {{64, 32, Pattern::Checker}, c.page};
        FilterResult r = runFilterOnPages(FilterArgs(), pages);
        EXPECT_EQ(r.exit_status, 255) << c.name;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.name << ": " << s.error;
        ASSERT_EQ(s.records.size(), 1u) << c.name;
        EXPECT_TRUE(has(r.log, std::string("ERROR: Unable to print page 2: ")));
        EXPECT_TRUE(has(r.log, c.reason)) << c.name << "\n" << r.log;
        EXPECT_EQ(access("/tmp/tarvelin/7_2_gs.pbm", F_OK), -1) << c.name;
    }
}

// The largest paper of the shipped PPD, Legal, at its highest resolution,
// either way round.
TEST(RefusedRasterPages, LegalAt1200DpiIsNotRefused) {
    FilterArgs args;
    args.path_env = standInEncoder(scratchDir("legal"), headerOnly("$3", "$5"));
    std::vector<RasterPage> pages = {{10200, 16800, Pattern::White, 1, 1200},
                                     {16800, 10200, Pattern::White, 1, 1200}};
    FilterResult r = runFilterOnPages(args, pages);
    EXPECT_EQ(r.exit_status, 0) << r.log;
    EXPECT_EQ(parseStream(r.out).records.size(), 2u);
}

TEST(ShortRaster, MissingRowsAreStoredWhite) {
    std::string dir = scratchDir("short");
    FilterArgs args;
    args.path_env = keepingEncoder(dir);
    std::string bytes = rasterBytes({{64, 32, Pattern::Black}});
    FilterResult r = runFilter(args, bytes.substr(0, bytes.size() - 8 * 20));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(has(r.log, "WARNING: Page 1 is cut short: 12 of its 32 rows arrived"));
    EXPECT_EQ(parseStream(r.out).records.size(), 1u);
    std::string pbm = readFile(dir + "/kept/7_1_gs.pbm");
    std::string header = "P4\n64 32\n";
    ASSERT_EQ(pbm.size(), header.size() + 8 * 32);
    EXPECT_EQ(pbm.substr(header.size(), 8 * 12), std::string(8 * 12, '\xff'));
    EXPECT_EQ(pbm.substr(header.size() + 8 * 12), std::string(8 * 20, '\0'));
}

}  // namespace

namespace {

// The scheduler cancels a job by signalling the whole process group, so the
// encoder may die with the filter's job: that is no failed page.
// Pages are read and converted ahead of the page being sent; the stream
// and the meaning of cancellation stay as if one page were done at a time.
TEST(ReadAhead, EncoderFinishingAfterTheNextPageWasReadKeepsTheRecordOrder) {
    std::string dir = scratchDir("slow-first");
    FilterArgs args;
    args.copies = "2";
    // Page 1's encoder waits (bounded) until page 2's has started.
    args.path_env =
        standInEncoder(dir, "case \"$last\" in *-1.jbg) for i in $(seq 100); do [ -e \"" + dir +
                                "/started-2\" ] && echo yes > \"" + dir +
                                "/overlap\" && break; sleep 0.02; done;; "
                                "*-2.jbg) touch \"" +
                                dir +
                                "/started-2\";; esac; /usr/bin/pbmtojbg \"$@\" || exit; "
                                "cp \"$last\" " +
                                dir + "/kept/");
    mkdir((dir + "/kept").c_str(), 0777);
    FilterResult r = runFilterOnPages(args, distinctPages(3));
    EXPECT_EQ(r.exit_status, 0);
    std::vector<Expected> want = {{1, 0, 1, 1}, {1, 0, 2, 1}, {0, 0, 3, 2},
                                  {0, 0, 4, 2}, {0, 0, 5, 3}, {0, 1, 6, 3}};
    EXPECT_EQ(recordsOf(parseStream(r.out), dir), want);
    // The log still tells one page after the other.
    EXPECT_LT(r.log.find("DEBUG: print m_page 1 write jbg done\n"),
              r.log.find("INFO: Printing page 2\n"));
    if (sysconf(_SC_NPROCESSORS_ONLN) > 1) {
        EXPECT_EQ(readFile(dir + "/overlap"), "yes\n") << "page 2 did not convert beside page 1";
    }
}

TEST(ReadAhead, SigtermWhileTwoPagesConvertEndsWithTheOlder) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "one page converts at a time here";
    std::string dir = scratchDir("two-converting");
    mkdir((dir + "/kept").c_str(), 0777);
    FilterArgs args;
    args.path_env =
        standInEncoder(dir, "touch \"" + dir + "/started-${last##*-}\"; while [ ! -e \"" + dir +
                                "/go\" ]; do sleep 0.02; done; "
                                "/usr/bin/pbmtojbg \"$@\" || exit; cp \"$last\" " +
                                dir + "/kept/");
    RunningFilter filter = startFilter(args);
    feed(&filter, rasterBytes(distinctPages(3)));
    auto started = [&](int n) {
        return access((dir + "/started-" + std::to_string(n) + ".jbg").c_str(), F_OK) == 0;
    };
    for (int i = 0; i < 500 && !(started(1) && started(2)); i++) usleep(10 * 1000);
    ASSERT_TRUE(started(1) && started(2));
    kill(filter.pid, SIGTERM);
    ASSERT_TRUE(waitForLog(filter, "SIGTERM"));
    writeFile(dir + "/go", "");
    FilterResult r = finishFilter(&filter);
    EXPECT_EQ(r.exit_status, 0);
    std::vector<Expected> want = {{1, 1, 1, 1}};
    EXPECT_EQ(recordsOf(parseStream(r.out), dir), want);
    EXPECT_FALSE(has(r.log, "INFO: Printing page 2")) << "page 2 was logged";
    EXPECT_TRUE(has(r.log, "DEBUG: 1 pages read ahead were not printed\n"));
    EXPECT_EQ(jobFilesLeft(), 0);
}

}  // namespace

namespace {

// Several queues may use the filter at once; they share its working
// directory, and no job may delete the pages of another.
TEST(ConcurrentJobs, BothStreamsAreCompleteAndNoPageFileStays) {
    std::vector<RasterPage> pages_a = {
        {300, 200, Pattern::Noise}, {300, 201, Pattern::Checker}, {300, 202, Pattern::Diagonal}};
    std::vector<RasterPage> pages_b = {
        {120, 90, Pattern::Checker}, {120, 91, Pattern::Noise}, {120, 92, Pattern::Black}};
    std::vector<RasterPage> head_a(pages_a.begin(), pages_a.begin() + 1);
    std::string full_a = rasterBytes(pages_a), first_a = rasterBytes(head_a);

    FilterArgs a;
    a.job = "41";
    RunningFilter running = startFilter(a);
    feed(&running, first_a);
    ASSERT_TRUE(waitForLog(running, "DEBUG: Page 1 read"));

    FilterArgs b;
    b.job = "42";
    b.copies = "2";
    FilterResult rb = runFilterOnPages(b, pages_b);
    EXPECT_TRUE(has(rb.log, "is in use by another job, its files are kept"));

    feed(&running, full_a.substr(first_a.size()));
    FilterResult ra = finishFilter(&running);

    const struct {
        FilterResult* result;
        std::vector<RasterPage>* pages;
        size_t copies;
    } jobs[] = {{&ra, &pages_a, 1}, {&rb, &pages_b, 2}};
    for (const auto& job : jobs) {
        EXPECT_EQ(job.result->exit_status, 0);
        PrinterStream s = parseStream(job.result->out);
        ASSERT_TRUE(s.valid) << s.error;
        ASSERT_EQ(s.records.size(), job.pages->size() * job.copies);
        for (size_t i = 0; i < s.records.size(); i++) {
            Bitmap b = decodeJbig(s.records[i].data);
            EXPECT_TRUE(b.rows == toBitmap((*job.pages)[i / job.copies]).rows) << i;
        }
    }
    EXPECT_EQ(jobFilesLeft(41), 0);
    EXPECT_EQ(jobFilesLeft(42), 0);

    FilterArgs c;
    c.job = "43";
    FilterResult rc = runFilterOnPages(c, distinctPages(1));
    EXPECT_FALSE(has(rc.log, "in use by another job"));
    EXPECT_EQ(rc.exit_status, 0);
    EXPECT_EQ(jobFilesLeft(43), 0);
}

// A job that keeps its pages in memory (as the printer application's jobs
// do) writes the filter's records byte for byte, copies, duplex backs and
// A5L turns included, and makes no page file.
TEST(InMemoryPages, GiveTheFiltersRecordsWithoutPageFiles) {
    const struct {
        const char* options;
        const char* copies;
        std::vector<RasterPage> pages;
        // The raster comes through a pipe in pieces, as Ghostscript gives
        // it, so pages arrive while earlier ones encode.
        bool piped;
    } cases[] = {
        {"", "2", {{803, 120, Pattern::Noise}, {17, 9, Pattern::Diagonal}}, false},
        {"Duplex=DuplexNoTumble",
         "2",
         {{61, 30, Pattern::Black}, {100, 50, Pattern::Checker}, {100, 50, Pattern::Noise}},
         false},
        {"Duplex=DuplexNoTumble Collate=True", "3", {{640, 129, Pattern::Corners}}, false},
        {"PageSize=A5 FeedEdge=1",
         "1",
         {{50, 21, Pattern::Noise}, {64, 30, Pattern::Checker}},
         false},
        {"", "1", std::vector<RasterPage>(4, {2400, 1600, Pattern::Noise}), true},
        {"Duplex=DuplexNoTumble",
         "2",
         {{1600, 900, Pattern::Noise}, {1600, 901, Pattern::Checker}, {1600, 902, Pattern::Noise}},
         true},
    };
    std::string dir = scratchDir("in-memory-job");
    for (const auto& c : cases) {
        FilterArgs args;
        args.options = c.options;
        args.copies = c.copies;
        FilterResult by_filter = runFilterOnPages(args, c.pages);

        std::string raster = dir + "/job.ras", work = dir + "/work";
        ASSERT_TRUE(writeRasterFile(raster, c.pages));
        mkdir(work.c_str(), 0700);
        FILE* out = tmpfile();
        JobRequest request;
        request.job_id = "7";
        request.user = "alice";
        request.title = "report.pdf";
        request.copies = c.copies;
        request.options = c.options;
        std::string ppd = shippedPpdPath();
        request.ppd_path = ppd.c_str();
        request.work_dir = work.c_str();
        request.private_work_dir = true;
        request.raster_file = raster.c_str();
        request.out = out;
        request.pages_in_memory = true;
        int feed[2] = {-1, -1};
        std::thread feeder;
        if (c.piped) {
            ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
            request.raster_file = nullptr;
            request.raster_fd = feed[0];
            // Each page's bytes at once, then a pause, as a renderer gives
            // them: what comes in a pause is read beside the encoding.
            size_t page_bytes = rasterBytes({c.pages[0]}).size();
            feeder = std::thread([&feed, page_bytes, bytes = readFile(raster)] {
                signal(SIGPIPE, SIG_IGN);  // the job may rightly stop reading
                for (size_t at = 0; at < bytes.size(); at += page_bytes) {
                    size_t n = std::min(bytes.size() - at, page_bytes);
                    if (write(feed[1], bytes.data() + at, n) != (ssize_t)n) break;
                    usleep(5000);
                }
                close(feed[1]);
            });
        }
        // The host is told of every record as the filter logs it.
        std::string told;
        jobContext().event_sink = [](void* data, const JobEvent& event) {
            if (event.kind != JobEvent::RecordSent) return;
            *static_cast<std::string*>(data) += "PAGE: " + std::to_string(event.page) + " " +
                                                std::to_string(event.impressions) + "\n";
        };
        jobContext().event_sink_data = &told;
        testing::internal::CaptureStderr();
        int status = runJob(request);
        jobContext().event_sink = nullptr;
        if (c.piped) {
            close(feed[0]);
            feeder.join();
        }
        std::string log = testing::internal::GetCapturedStderr();
        std::string bytes(16 << 20, '\0');
        rewind(out);
        bytes.resize(fread(&bytes[0], 1, bytes.size(), out));
        fclose(out);

        EXPECT_EQ(status, by_filter.exit_status) << c.options;
        PrinterStream a = parseStream(by_filter.out), b = parseStream(bytes);
        ASSERT_TRUE(a.valid && b.valid) << c.options << b.error;
        ASSERT_EQ(a.records.size(), b.records.size()) << c.options;
        for (size_t i = 0; i < a.records.size(); i++) {
            const StreamRecord &x = a.records[i], &y = b.records[i];
            EXPECT_TRUE(x.first_page == y.first_page && x.last_page == y.last_page &&
                        x.page_no == y.page_no && x.data == y.data)
                << c.options << ", record " << i;
        }
        EXPECT_EQ(linesStartingWith(log, "PAGE: "), linesStartingWith(by_filter.log, "PAGE: "));
        EXPECT_EQ(told, linesStartingWith(by_filter.log, "PAGE: ")) << c.options;
        EXPECT_FALSE(has(log, ".pbm") || has(log, ".jbg") || has(log, "pbmtojbg")) << log;
        EXPECT_EQ(rmdir(work.c_str()), 0) << "files left in the working directory";
    }
}

}  // namespace
