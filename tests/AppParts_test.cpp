// The printer application's parts that need no server: the format table,
// which devices a printer may have, where a client's page lands, and which
// page ranges are printed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/device/DeviceCheck.h"
#include "app/job/PagePlacement.h"
#include "app/job/PageRanges.h"
#include "app/state/Formats.h"

namespace {

// What a client or the submit sub-command sends as page ranges: only sound
// ones print, and Ghostscript's page list is made of their numbers alone.
TEST(PageRanges, TakesAscendingRangesApartAndMakesThePageListOfThemAlone) {
    const struct {
        const char* text;
        const char* list;  // empty: refused
    } cases[] = {
        {"1-2,5-6", "1-2,5-6"},
        {"1,3", "1,3"},
        {"2-", "2-"},
        {"1-1,3-3,7-", "1,3,7-"},
        {"5-6,1-2", ""},       // not ascending
        {"1-3,3-4", ""},       // overlapping
        {"0-2", ""},           // no page 0
        {"3-2", ""},           // empty
        {"1-2,,4", ""},        // no range
        {"1-2 ;id", ""},       // anything else
        {"1,2147483648", ""},  // past INT_MAX
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pageListText(parsePageRanges(c.text)), c.list) << c.text;
    }
    std::string many;
    for (int i = 1; i <= MAX_PAGE_RANGES + 1; i++) many += std::to_string(2 * i) + ",";
    many.pop_back();
    EXPECT_TRUE(parsePageRanges(many.c_str()).empty());

    ipp_t* request = ippNew();
    const int firsts[] = {1, 5}, lasts[] = {2, 6};
    ipp_attribute_t* two = ippAddRanges(request, IPP_TAG_JOB, "page-ranges", 2, firsts, lasts);
    EXPECT_EQ(pageRangesFault(two), "");
    std::vector<PageRange> ranges = pageRangesOf(two);
    for (unsigned page = 1; page <= 7; page++) {
        EXPECT_EQ(pageSelected(ranges, page), page <= 2 || page == 5 || page == 6) << page;
    }
    const int back_firsts[] = {5, 1}, back_lasts[] = {6, 2};
    ipp_attribute_t* back =
        ippAddRanges(request, IPP_TAG_JOB, "page-ranges-back", 2, back_firsts, back_lasts);
    EXPECT_NE(pageRangesFault(back).find("ascending"), std::string::npos);
    EXPECT_TRUE(pageRangesOf(back).empty());
    ipp_attribute_t* numbers = ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "n", 3);
    EXPECT_NE(pageRangesFault(numbers), "");
    ippDelete(request);
}

TEST(FormatTable, NamesEachDocumentOnceAndTellsRasterByItsFirstBytes) {
    const struct {
        const char* type;
        bool spooled;
        const char* found_spooled;  // null: no row
    } cases[] = {
        {"application/pdf", false, "application/pdf"},
        {"image/pwg-raster", false, "image/x-spooled-pwg-raster"},
        {"image/x-spooled-urf", true, "image/x-spooled-urf"},
        {"image/x-spooled-urf", false, nullptr},  // not a type a client sends
        {"text/plain", false, nullptr},
        {nullptr, false, nullptr},
    };
    for (const auto& c : cases) {
        const DocumentFormat* found = findDocumentFormat(c.type, c.spooled);
        EXPECT_STREQ(found ? found->spooled : nullptr, c.found_spooled) << (c.type ? c.type : "");
    }
    for (size_t i = 0; i < kDocumentFormatCount; i++) {
        const DocumentFormat& f = kDocumentFormats[i];
        EXPECT_EQ(documentFormatOf(f.magic, f.magic_size), &f) << f.sent;
        for (size_t j = 0; j < i; j++) EXPECT_STRNE(f.spooled, kDocumentFormats[j].spooled);
    }
    // Told by their first bytes, as PAPPL tells them; the rest is no format.
    const struct {
        const char* head;
        const char* sent;
    } heads[] = {{"%PDF-1.7\n", "application/pdf"},  {"RaS2PwgR", "image/pwg-raster"},
                 {"UNIRAST\0\0\0\0\1", "image/urf"}, {"UNIRAS", nullptr},  // cut short
                 {"%!PS-Adobe-3.0", nullptr},        {"Dear printer,", nullptr}};
    for (const auto& h : heads) {
        size_t size = strncmp(h.head, "UNIRAST", 7) == 0 ? 12 : strlen(h.head);
        const DocumentFormat* found = documentFormatOf(h.head, size);
        EXPECT_STREQ(found ? found->sent : nullptr, h.sent) << h.head;
    }
}

TEST(DeviceCheck, FilesOnlyBelowTheDirectoryAndThroughNoLink) {
    char dir_template[] = "/tmp/device-check-XXXXXX";
    std::string dir = mkdtemp(dir_template);
    ASSERT_EQ(mkdir((dir + "/out").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/etc", (dir + "/out/etc").c_str()), 0);
    const struct {
        const char* uri;  // $D: the file directory
        const char* dir;
        bool allowed;
    } cases[] = {
        {"socket://10.0.0.7:9100", "", true},
        {"ipps://printer.local/ipp/print", "", true},
        {"file://$D/out/page.jbg", "", false},
        {"file://$D/out/page.jbg", "$D/out", true},
        {"file://$D/outside/page.jbg", "$D/out", false},
        {"file://$D/out/../../etc/passwd", "$D/out", false},
        {"file://$D/out/etc/passwd", "$D/out", false},
        {"file:relative", "$D/out", false},
    };
    auto expand = [&](std::string text) {
        for (size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir);
        return text;
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(deviceAllowed(expand(c.dir), expand(c.uri).c_str(), &why), c.allowed)
            << c.uri << " below '" << c.dir << "': " << why;
        EXPECT_EQ(why.empty(), c.allowed) << c.uri;
    }
    unlink((dir + "/out/etc").c_str());
    rmdir((dir + "/out").c_str());
    rmdir(dir.c_str());
}

// A sheet of 96 x 48 points at 600 dpi: the area is 72 x 24 points, 100
// pixels in from the left and top.
cups_page_header2_t sheet(cups_cspace_t space = CUPS_CSPACE_SW) {
    cups_page_header2_t h = {};
    h.PageSize[0] = 96;
    h.PageSize[1] = 48;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.cupsWidth = 800;
    h.cupsHeight = 400;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = 800;
    h.cupsColorSpace = space;
    return h;
}

TEST(PagePlacement, TheAreaIsTheSheetLessItsMarginsCroppedAndDitheredToTheBit) {
    PrintableArea area = printableArea(sheet());
    EXPECT_EQ(area.page.cupsWidth, 600u);
    EXPECT_EQ(area.page.cupsHeight, 200u);
    EXPECT_EQ(area.page.cupsBytesPerLine, 75u);
    EXPECT_EQ(area.left, 100u);
    EXPECT_EQ(area.top, 100u);

    // A 1-bit sheet line black from pixel 104 to 111 and at its last
    // pixel: the area starts at 100, so its bits 4..11 are black, and the
    // sheet's margin on the right never reaches the area.
    std::vector<unsigned char> bits(100, 0), line(75, 0xaa);
    bits[13] = 0xff;  // pixels 104..111
    bits[99] = 0x01;  // pixel 799, in the right margin
    cropLine(area, bits.data(), 800, line.data());
    std::vector<unsigned char> expected(75, 0);
    expected[0] = 0x0f;
    expected[1] = 0xf0;
    EXPECT_EQ(line, expected);
    // A sheet narrower than the area leaves the rest white.
    cropLine(area, bits.data(), 108, line.data());
    expected[1] = 0;
    expected[0] = 0x0f;
    EXPECT_EQ(line, expected);

    // Gray 0 is black in sGray and white in K; the threshold decides the rest.
    unsigned char row[16];
    memset(row, 128, sizeof(row));
    std::vector<unsigned char> gray(800, 0);
    gray[100] = 200;
    const struct {
        cups_cspace_t space;
        unsigned char first, second;  // the area's first two bytes
    } cases[] = {{CUPS_CSPACE_SW, 0x7f, 0xff}, {CUPS_CSPACE_K, 0x80, 0x00}};
    for (const auto& c : cases) {
        ditherLine(area, sheet(c.space), row, gray.data(), line.data());
        EXPECT_EQ(line[0], c.first) << c.space;
        EXPECT_EQ(line[1], c.second) << c.space;
    }
}

TEST(PagePlacement, ClientPagesThePrinterCannotTakeAreRefusedWithTheReason) {
    cups_page_header2_t made = sheet();
    made.cupsInteger[0] = 1;  // PAPPL's own header differs from any client's
    const struct {
        const char* name;
        void (*change)(cups_page_header2_t*);
        unsigned job_dpi;
        const char* reason;  // empty: printed
    } cases[] = {
        {"8-bit gray", [](cups_page_header2_t*) {}, 0, ""},
        {"1-bit", [](cups_page_header2_t* h) { h->cupsBitsPerPixel = h->cupsBitsPerColor = 1; }, 0,
         "not 8-bit gray"},
        {"RGB", [](cups_page_header2_t* h) { h->cupsColorSpace = CUPS_CSPACE_SRGB; }, 0,
         "not 8-bit gray"},
        {"300 dpi", [](cups_page_header2_t* h) { h->HWResolution[0] = h->HWResolution[1] = 300; },
         0, "at 300x300 dpi"},
        {"resolution changes", [](cups_page_header2_t*) {}, 1200, "change resolution from 1200"},
        {"short lines", [](cups_page_header2_t* h) { h->cupsBytesPerLine = 799; }, 0,
         "not as long as its width"},
        {"a mile long", [](cups_page_header2_t* h) { h->cupsHeight = 600 * 63360; }, 0,
         "larger than any paper"},
    };
    for (const auto& c : cases) {
        cups_page_header2_t client = sheet();
        c.change(&client);
        std::string why = clientPageRefusal(client, made, c.job_dpi);
        if (c.reason[0] == '\0') {
            EXPECT_EQ(why, "") << c.name;
        } else {
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        }
    }
    EXPECT_NE(clientPageRefusal(made, made, 0), "") << "a page PAPPL did not hand over";
}

}  // namespace
