// What an IPP job asks of the printer, turned into what the filter gets from
// CUPS: the options text of a filter's command line, in the PPD's names.
// The printer application then starts the same job the filter would.
#pragma once

#include <cstddef>
#include <string>

// An IPP keyword and the PPD's choice for it.
struct MediaName {
    const char* pwg;
    const char* ppd;
};

// The printer's paper: the PPD's PageSize names with their PWG names and
// the PPD's size in points, which the pages are rendered at, as CUPS
// renders them for the filter.
struct MediaSize {
    const char* pwg;
    const char* ppd;
    int width_pt;
    int height_pt;
};
constexpr size_t MEDIA_COUNT = 13;
// The PPD's imageable area leaves this many points on every side of each.
constexpr int MARGIN_PT = 12;
// Points as pixels at `dpi`, rounded as Ghostscript rounds a page's size.
constexpr unsigned pointsToPixels(int points, unsigned dpi) {
    return (unsigned)(((unsigned)points * dpi + 36) / 72);
}
extern const MediaSize kMedia[MEDIA_COUNT];
const MediaSize* mediaSize(const char* pwg);

// Trays and paper types.
constexpr size_t SOURCE_COUNT = 2;
extern const MediaName kSources[SOURCE_COUNT];
constexpr size_t TYPE_COUNT = 4;
extern const MediaName kTypes[TYPE_COUNT];

// The PPD's choice for an IPP keyword of `table`, or nullptr.
const char* ppdChoice(const MediaName* table, size_t count, const char* ipp);

enum Collation { COLLATE_UNSAID = -1, COLLATE_NO = 0, COLLATE_YES = 1 };

// One IPP job's settings, as PAPPL resolved them from the job and the
// printer's defaults.
struct IppJobSettings {
    std::string media;             // PWG size name
    std::string source;            // media-source
    std::string type;              // media-type
    std::string sides;             // one-sided, two-sided-long-edge, two-sided-short-edge
    int resolution = 600;          // dots per inch
    std::string feed_orientation;  // short-edge-first, long-edge-first
    int collate = COLLATE_UNSAID;  // multiple-document-handling
    // The fields the CUPS scheduler gives a filter about the job.
    long time_at_creation = 0;
    long time_at_processing = 0;
};

// The resolution a job prints at: its printer-resolution when it names one
// (1200 dpi or else 600), else 1200 dpi for print-quality high (5) only.
int jobResolution(int asked_dpi, int print_quality);

// The options text for the job's filter; `warning` says what the printer
// can't do as asked (empty when it can).
std::string filterOptions(const IppJobSettings& settings, std::string* warning);
