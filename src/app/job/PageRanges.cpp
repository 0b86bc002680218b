#include "app/job/PageRanges.h"

#include <climits>

namespace {
thread_local std::vector<PageRange> t_next_job;
}

// Why RANGES can't be printed, or empty.
static std::string rangesFault(const std::vector<PageRange>& ranges) {
    if (ranges.size() > (size_t)MAX_PAGE_RANGES) {
        return "page-ranges takes at most " + std::to_string(MAX_PAGE_RANGES) + " ranges";
    }
    int before = 0;
    for (const PageRange& range : ranges) {
        std::string shown = std::to_string(range.first) + "-" + std::to_string(range.last);
        if (range.first < 1 || range.last < range.first) {
            return "page-ranges has a range that is no pages (" + shown + ")";
        }
        if (range.first <= before) {
            return "page-ranges must be in ascending order and apart: " + shown +
                   " comes after page " + std::to_string(before);
        }
        before = range.last;
    }
    return "";
}

// The values of ATTR, unchecked; false when it holds no ranges or too many
// to look at.
static bool readRanges(ipp_attribute_t* attr, std::vector<PageRange>* ranges) {
    int count = ippGetCount(attr);
    if (ippGetValueTag(attr) != IPP_TAG_RANGE || count < 1) return false;
    for (int i = 0; i < count && i <= MAX_PAGE_RANGES; i++) {
        PageRange range;
        range.first = ippGetRange(attr, i, &range.last);
        ranges->push_back(range);
    }
    return true;
}

std::string pageRangesFault(ipp_attribute_t* attr) {
    std::vector<PageRange> ranges;
    if (!readRanges(attr, &ranges)) return "page-ranges takes ranges of pages";
    return rangesFault(ranges);
}

std::vector<PageRange> pageRangesOf(ipp_attribute_t* attr) {
    std::vector<PageRange> ranges;
    if (attr == nullptr || !readRanges(attr, &ranges) || !rangesFault(ranges).empty()) {
        ranges.clear();
    }
    return ranges;
}

// A page number of TEXT at *AT: digits only, 1..INT_MAX.
static bool pageNumber(const char* text, size_t* at, int* number) {
    long long value = 0;
    size_t start = *at;
    while (text[*at] >= '0' && text[*at] <= '9') {
        value = value * 10 + (text[*at] - '0');
        if (value > INT_MAX) return false;
        ++*at;
    }
    *number = (int)value;
    return *at > start;
}

std::vector<PageRange> parsePageRanges(const char* text) {
    std::vector<PageRange> ranges;
    size_t at = 0;
    for (;;) {
        PageRange range;
        if (ranges.size() > (size_t)MAX_PAGE_RANGES || !pageNumber(text, &at, &range.first)) {
            return {};
        }
        range.last = range.first;
        if (text[at] == '-') {
            at++;
            if (!pageNumber(text, &at, &range.last)) range.last = INT_MAX;
        }
        ranges.push_back(range);
        if (text[at] == '\0') break;
        if (text[at++] != ',') return {};
    }
    if (!rangesFault(ranges).empty()) ranges.clear();
    return ranges;
}

std::vector<PageRange> jobPageRanges(pappl_job_t* job) {
    return pageRangesOf(papplJobGetAttribute(job, "page-ranges"));
}

bool pageSelected(const std::vector<PageRange>& ranges, unsigned page) {
    if (ranges.empty()) return true;
    for (const PageRange& range : ranges) {
        if (page >= (unsigned)range.first && page <= (unsigned)range.last) return true;
    }
    return false;
}

std::string pageListText(const std::vector<PageRange>& ranges) {
    std::string text;
    for (const PageRange& range : ranges) {
        if (!text.empty()) text += ',';
        text += std::to_string(range.first);
        // (An open end: to the document's last page.)
        if (range.last == INT_MAX) {
            text += '-';
        } else if (range.last != range.first) {
            text += '-' + std::to_string(range.last);
        }
    }
    return text;
}

void setNextJobPageRanges(std::vector<PageRange> ranges) { t_next_job = std::move(ranges); }

void putPageRanges(ipp_t* attrs, const std::vector<PageRange>& ranges) {
    // In its place: libcups writes no request whose groups come out of
    // order, and the submit sub-command adds operation attributes after.
    ipp_attribute_t* attr = ippFindAttribute(attrs, "page-ranges", IPP_TAG_ZERO);
    if (attr != nullptr && ippGetValueTag(attr) != IPP_TAG_RANGE) {
        ippDeleteAttribute(attrs, attr);
        attr = nullptr;
    }
    if (ranges.empty()) return;
    if (attr == nullptr) {
        ippAddRange(attrs, IPP_TAG_JOB, "page-ranges", ranges[0].first, ranges[0].last);
        attr = ippFindAttribute(attrs, "page-ranges", IPP_TAG_RANGE);
    } else if (ippGetCount(attr) > 1) {
        // (From the front: libcups 2.4 refuses to delete the last value.)
        ippDeleteValues(attrs, &attr, 0, ippGetCount(attr) - 1);
    }
    for (size_t i = 0; i < ranges.size(); i++) {
        ippSetRange(attrs, &attr, (int)i, ranges[i].first, ranges[i].last);
    }
}

void givePageRanges(ipp_t* attrs) {
    if (t_next_job.empty() || attrs == nullptr) return;
    putPageRanges(attrs, t_next_job);
    t_next_job.clear();
}
