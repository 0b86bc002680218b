#include "app/job/JobSettings.h"

#include <cstring>

const MediaSize kMedia[MEDIA_COUNT] = {
    {"iso_a4_210x297mm", "A4", 595, 842},
    {"iso_a5_148x210mm", "A5", 420, 595},
    {"jis_b5_182x257mm", "B5", 516, 729},
    {"iso_b5_176x250mm", "B5ISO", 499, 709},
    {"om_16k_195x270mm", "16k", 553, 765},
    {"na_letter_8.5x11in", "Letter", 612, 792},
    {"na_invoice_5.5x8.5in", "Statement", 396, 612},
    {"na_legal_8.5x14in", "Legal", 612, 1008},
    {"na_executive_7.25x10.5in", "Executive", 522, 756},
    {"iso_a6_105x148mm", "A6", 297, 420},
    {"jis_b6_128x182mm", "B6", 363, 516},
    {"om_bank-slip-long_100x200mm", "BANK1", 283, 567},
    {"om_bank-slip-short_100x150mm", "BANK2", 283, 425},
};

const MediaSize* mediaSize(const char* pwg) {
    for (const MediaSize& size : kMedia) {
        if (strcmp(size.pwg, pwg) == 0) return &size;
    }
    return nullptr;
}

const MediaName kSources[SOURCE_COUNT] = {{"main", "MainTray"}, {"manual", "ManualTray"}};

const MediaName kTypes[TYPE_COUNT] = {
    {"stationery", "Plain"},
    {"stationery-recycled", "Recycled"},
    {"stationery-lightweight", "Thin"},
    {"stationery-heavyweight", "Thick"},
};

const char* ppdChoice(const MediaName* table, size_t count, const char* ipp) {
    for (size_t i = 0; i < count; i++) {
        if (strcmp(table[i].pwg, ipp) == 0) return table[i].ppd;
    }
    return nullptr;
}

int jobResolution(int asked_dpi, int print_quality) {
    if (asked_dpi > 0) return asked_dpi >= 1200 ? 1200 : 600;
    return print_quality == 5 ? 1200 : 600;
}

// The filter splits its options text at blanks: a value never holds one.
static std::string word(const std::string& value) {
    std::string out;
    for (char c : value) out += (c == ' ' || c == '\t' || (unsigned char)c < 0x20) ? '_' : c;
    return out;
}

std::string filterOptions(const IppJobSettings& s, std::string* warning) {
    std::string options;
    auto add = [&](const char* key, const std::string& value) {
        if (!options.empty()) options += ' ';
        options += key;
        options += '=';
        options += word(value);
    };
    warning->clear();
    const MediaSize* size = mediaSize(s.media.c_str());
    if (size != nullptr) {
        add("PageSize", size->ppd);
    } else {
        *warning = "media " + s.media + " is not this printer's; the printer's default is used";
    }
    const char* source = ppdChoice(kSources, SOURCE_COUNT, s.source.c_str());
    if (source != nullptr) add("InputSlot", source);
    const char* type = ppdChoice(kTypes, TYPE_COUNT, s.type.c_str());
    if (type != nullptr) add("MediaType", type);
    if (s.sides == "two-sided-long-edge") {
        add("Duplex", "DuplexNoTumble");
    } else if (s.sides == "two-sided-short-edge") {
        add("Duplex", "DuplexTumble");
    } else {
        add("Duplex", "None");
    }
    add("Resolution", s.resolution >= 1200 ? "1200dpi" : "600dpi");
    add("FeedEdge", s.feed_orientation == "long-edge-first" ? "1" : "0");
    // The filter takes the PPD's spellings by their presence alone.
    if (s.collate == COLLATE_YES) options += " Collate=True";
    if (s.collate == COLLATE_NO) options += " noCollate";
    // What the CUPS scheduler adds for every job; it leaves the dateTime
    // forms empty. (The job's uuid and host are the client's words: they go
    // to their rows as values, never through the options.)
    add("date-time-at-creation", "");
    add("date-time-at-processing", "");
    add("time-at-creation", std::to_string(s.time_at_creation));
    add("time-at-processing", std::to_string(s.time_at_processing));
    return options;
}
