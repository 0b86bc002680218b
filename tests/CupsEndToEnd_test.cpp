// Real documents rendered by CUPS's own raster producer with the shipped
// PPD, printed through the filter the way the scheduler runs it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "FilterRun.h"

namespace {

// A PDF no one here wrote: CUPS's test page, or the bzip2 manual.
std::string samplePdf(const std::string& name) {
    if (name == "testpage") return "/usr/share/cups/data/default-testpage.pdf";
    std::string path = std::string(QUELMOSS_BINARY_DIR) + "/scratch/bzip2-manual.pdf";
    std::string command = "zcat /usr/share/doc/bzip2/manual.pdf.gz > " + path;
    if (system(command.c_str()) != 0) return "";
    return path;
}

std::string renderWithCups(const std::string& pdf, const std::string& cups_options) {
    std::string raster = std::string(QUELMOSS_BINARY_DIR) + "/scratch/cups.ras";
    std::string command = "cupsfilter -p " + shippedPpdPath() + " -m application/vnd.cups-raster " +
                          cups_options + " " + pdf + " > " + raster + " 2>/dev/null";
    if (system(command.c_str()) != 0) return "";
    return readFile(raster);
}

// Which page each record should show: 1-based raster page, 0 for blank.
std::vector<int> expectedPages(int pages, int copies, bool collate, bool duplex) {
    std::vector<int> sheets;
    for (int p = 1; p <= pages; p++) sheets.push_back(p);
    if (duplex && pages % 2 == 1) sheets.push_back(0);
    if (copies < 1 || collate) copies = 1;
    std::vector<int> order;
    size_t group = duplex ? 2 : 1;
    for (size_t i = 0; i < sheets.size(); i += group) {
        for (int c = 0; c < copies; c++) {
            order.insert(order.end(), sheets.begin() + (long)i, sheets.begin() + (long)(i + group));
        }
    }
    return order;
}

struct CupsCase {
    const char* name;
    const char* pdf;
    const char* cups_options;  // for cupsfilter
    const char* options;       // the filter's options argument
    int copies;
    bool collate, duplex, turned;
};

TEST(CupsEndToEnd, EveryPageDecodesToWhatCupsRendered) {
    // clang-format off
    const CupsCase cases[] = {
        {"test page A4 600 dpi", "testpage", "", "", 1, false, false, false},
        {"manual Letter 1200 dpi", "manual", "-o page-ranges=1-2 -o PageSize=Letter -o Resolution=1200dpi",
         "PageSize=Letter Resolution=1200dpi", 1, false, false, false},
        {"manual duplex 2 copies", "manual", "-o page-ranges=1-3",
         "Duplex=DuplexTumble", 2, false, true, false},
        {"manual collated 3 copies", "manual", "-o page-ranges=2-3", "Collate=True", 3, true, false,
         false},
        {"manual A5 long edge first", "manual", "-o page-ranges=1-2 -o PageSize=A5",
         "PageSize=A5 FeedEdge=1", 1, false, false, true},
    };
    // clang-format on
    for (const CupsCase& c : cases) {
        std::string pdf = samplePdf(c.pdf);
        ASSERT_FALSE(pdf.empty());
        std::string raster = renderWithCups(pdf, c.cups_options);
        std::vector<Bitmap> pages = readRasterPages(raster);
        ASSERT_FALSE(pages.empty()) << c.name;

        FilterArgs args;
        args.as_cups = true;
        args.options = c.options;
        args.copies = std::to_string(c.copies);
        FilterResult r = runFilter(args, raster);
        EXPECT_EQ(r.exit_status, 0) << c.name << "\n" << r.log;
        EXPECT_EQ(r.log.find("ERROR:"), std::string::npos) << c.name;
        PrinterStream s = parseStream(r.out);
        ASSERT_TRUE(s.valid) << c.name << ": " << s.error;
        EXPECT_TRUE(checkPrinterStream(s, true).empty()) << c.name;

        std::vector<int> expected = expectedPages((int)pages.size(), c.copies, c.collate, c.duplex);
        ASSERT_EQ(s.records.size(), expected.size()) << c.name;
        for (size_t i = 0; i < expected.size(); i++) {
            JbigImage image;
            std::string error;
            ASSERT_TRUE(decodeJbigImage(s.records[i].data, &image, &error)) << c.name << error;
            Bitmap want;
            if (expected[i] == 0) {
                want = pages[0];
                want.width = (want.width + 7) / 8 * 8;
                want.rows.assign(want.rows.size(), '\0');
            } else {
                want = pages[(size_t)expected[i] - 1];
            }
            if (c.turned) want = turnedLeft(want);
            want = withoutPadding(want);
            EXPECT_EQ((int)image.width, want.width) << c.name << " record " << i + 1;
            EXPECT_EQ((int)image.height, want.height) << c.name << " record " << i + 1;
            EXPECT_TRUE(image.rows == want.rows) << c.name << " record " << i + 1;
        }
    }
}

}  // namespace
