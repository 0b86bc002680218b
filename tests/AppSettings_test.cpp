// What an IPP job's settings become for the page-stream core: the options
// text the filter would get from CUPS for the same job.
#include <gtest/gtest.h>

#include <string>

#include "app/job/JobSettings.h"

namespace {

struct SettingsRow {
    const char* name;
    IppJobSettings settings;
    const char* options;  // what the text starts with
    bool warns;
};

IppJobSettings job(const char* media, const char* source, const char* type, const char* sides,
                   int dpi, const char* feed, int collate) {
    IppJobSettings s;
    s.media = media;
    s.source = source;
    s.type = type;
    s.sides = sides;
    s.resolution = dpi;
    s.feed_orientation = feed;
    s.collate = collate;
    return s;
}

TEST(AppSettings, IppJobsBecomeTheFiltersOptions) {
    const SettingsRow rows[] = {
        {"defaults",
         job("iso_a4_210x297mm", "main", "stationery", "one-sided", 600, "short-edge-first",
             COLLATE_UNSAID),
         "PageSize=A4 InputSlot=MainTray MediaType=Plain Duplex=None Resolution=600dpi "
         "FeedEdge=0 date-time-at-creation=",
         false},
        {"A5 long edge first, manual, thin, 1200 dpi, collated",
         job("iso_a5_148x210mm", "manual", "stationery-lightweight", "two-sided-long-edge", 1200,
             "long-edge-first", COLLATE_YES),
         "PageSize=A5 InputSlot=ManualTray MediaType=Thin Duplex=DuplexNoTumble "
         "Resolution=1200dpi FeedEdge=1 Collate=True",
         false},
        {"bank slip, short edge, uncollated",
         job("om_bank-slip-short_100x150mm", "main", "stationery-heavyweight",
             "two-sided-short-edge", 600, "short-edge-first", COLLATE_NO),
         "PageSize=BANK2 InputSlot=MainTray MediaType=Thick Duplex=DuplexTumble "
         "Resolution=600dpi FeedEdge=0 noCollate",
         false},
        {"a size the printer has not",
         job("na_ledger_11x17in", "main", "stationery", "one-sided", 600, "short-edge-first",
             COLLATE_UNSAID),
         "InputSlot=MainTray", true},
    };
    for (const SettingsRow& row : rows) {
        std::string warning;
        std::string options = filterOptions(row.settings, &warning);
        EXPECT_EQ(options.rfind(row.options, 0), 0u) << row.name << ": " << options;
        EXPECT_EQ(!warning.empty(), row.warns) << row.name << ": " << warning;
    }
    // Every PPD size has a PWG name PAPPL can read, and back.
    for (const MediaSize& size : kMedia) EXPECT_EQ(mediaSize(size.pwg), &size) << size.ppd;
}

TEST(AppSettings, ResolutionFromPrinterResolutionElsePrintQuality) {
    const int rows[][3] = {{0, 3, 600},   {0, 4, 600},   {0, 5, 1200},   {1200, 3, 1200},
                           {600, 5, 600}, {300, 4, 600}, {2400, 4, 1200}};
    for (const auto& row : rows) {
        EXPECT_EQ(jobResolution(row[0], row[1]), row[2]) << row[0] << " dpi, quality " << row[1];
    }
}

}  // namespace
