#include "PrintOptions.h"

#include <cstdio>
#include <cstring>

#include "../Utility/Log.h"

// The page sizes the printer knows, in the order the PPD is asked for them.
static const char* const kPageSizes[] = {
    "A4",        "A5", "B5", "16k",   "Letter", "Statement", "Legal",
    "Executive", "A6", "B6", "B5ISO", "BANK1",  "BANK2",
};

// The page sizes the duplex unit takes.
static const char* const kDuplexPageSizes[] = {"A4", "Letter", "A5", "B5", "B5ISO", "16k"};

static bool marked(ppd_file_t* ppd, const char* option, const char* choice) {
    return ppdIsMarked(ppd, option, choice) != 0;
}

static void resolvePageSize(ppd_file_t* ppd, int num_options, cups_option_t* options,
                            PARAM_KEY_SPERATOR_VALUE* table) {
    const char* value = cupsGetOption("PageSize", num_options, options);
    if (value != nullptr) {
        logMsg("DEBUG: option PageSize,value=%s\n", value);
        SetJobParam("PageSize", value, table);
        return;
    }
    for (const char* size : kPageSizes) {
        if (marked(ppd, "PageSize", size)) {
            logMsg("DEBUG: ppd PageSize,value=%s\n", size);
            SetJobParam("PageSize", size, table);
            return;
        }
    }
}

static void resolveInputSlot(ppd_file_t* ppd, int num_options, cups_option_t* options,
                             PARAM_KEY_SPERATOR_VALUE* table) {
    const char* value = cupsGetOption("InputSlot", num_options, options);
    if (value != nullptr) {
        logMsg("DEBUG: option PaperBox,value=%s\n", value);
        SetJobParam("InputSlot", value, table);
    }
    if (marked(ppd, "InputSlot", "ManualTray")) {
        SetJobParam("InputSlot", "ManualTray", table);
        logMsg("DEBUG: InputSlot is ManualTray.\n");
    } else {
        logMsg("DEBUG: InputSlot is Default(MainTray).\n");
    }
}

static void resolveResolution(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table) {
    if (marked(ppd, "Resolution", "1200dpi")) {
        SetJobParam("Resolution", "1200dpi", table);
        logMsg("DEBUG: Resolution is 1200dpi. \n");
    }
    logMsg("DEBUG: resX is default(600dpi).\n");
}

// Without a marked choice the printer's own default, tumble, applies.
static int resolveDuplex(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table) {
    static const char* const kChoices[] = {"None", "DuplexNoTumble", "DuplexTumble"};
    int duplex = 2;
    if (marked(ppd, "Duplex", "None")) {
        duplex = 0;
    } else if (marked(ppd, "Duplex", "DuplexNoTumble")) {
        duplex = 1;
    }
    SetJobParam("Duplex", kChoices[duplex], table);
    logMsg("DEBUG: duplex is %d \n", duplex);
    return duplex;
}

static int resolveMediaClass(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table) {
    int media_class = MEDIA_THICK;
    if (marked(ppd, "MediaType", "Plain") || marked(ppd, "MediaType", "Recycled")) {
        media_class = MEDIA_PLAIN;
        SetJobParam("MediaType", "Plain", table);
    } else if (marked(ppd, "MediaType", "Thin")) {
        media_class = MEDIA_THIN;
        SetJobParam("MediaType", "Thin", table);
    } else {
        SetJobParam("MediaType", "Thick", table);
    }
    logMsg("DEBUG: ppdIsMarked MediaType,value=%d\n", media_class);
    return media_class;
}

void resolvePrintOptions(ppd_file_t* ppd, int num_options, cups_option_t* options,
                         PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* settings) {
    resolvePageSize(ppd, num_options, options, table);
    resolveInputSlot(ppd, num_options, options, table);
    resolveResolution(ppd, table);
    settings->duplex = resolveDuplex(ppd, table);

    settings->feed_edge = marked(ppd, "FeedEdge", "1") ? 1 : 0;
    if (settings->feed_edge) SetJobParam("FeedEdge", "1", table);
    logMsg("DEBUG: ppdIsMarked FeedEdge,value=%d\n", settings->feed_edge);

    settings->Flag_Page_A5 = marked(ppd, "PageSize", "A5") ? 1 : 0;
    logMsg("DEBUG: ppdIsMarked Flag_Page_A5,value=%d\n", settings->Flag_Page_A5);

    settings->landscape = marked(ppd, "Orientation", "Landscape") ? 1 : 0;
    logMsg("DEBUG: ppdIsMarked Orientation,value=%d\n", settings->landscape);

    settings->media_class = resolveMediaClass(ppd, table);
}

static bool isDuplexPageSize(const char* size) {
    for (const char* allowed : kDuplexPageSizes) {
        if (strcmp(size, allowed) == 0) return true;
    }
    return false;
}

// The log line of the first rule that forbids duplex, or nullptr; *why
// names the rule for the user, with the page size in `size_text`.
static const char* duplexRefusal(PARAM_KEY_SPERATOR_VALUE* table, const PrintSettings& s,
                                 const char** why, char* size_text, size_t size_text_size) {
    char* slot = nullptr;
    GetJobParam("InputSlot", &slot, table);
    if (slot != nullptr && strcmp(slot, "ManualTray") == 0) {
        *why = "from the manual tray";
        return "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n";
    }
    if (s.media_class != MEDIA_PLAIN) {
        *why = "on media other than plain or recycled paper";
        return "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n";
    }
    if (isA5L(s)) {
        *why = "on A5 fed long edge first";
        return "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n";
    }
    char* size = nullptr;
    GetJobParam("PageSize", &size, table);
    logMsg("DEBUG: PageSize:%s. \n", size ? size : "");
    if (size == nullptr || !isDuplexPageSize(size)) {
        snprintf(size_text, size_text_size, "on page size %s", size ? size : "(none)");
        *why = size_text;
        return "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n";
    }
    return nullptr;
}

void applyDuplexConstraints(PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* settings) {
    logMsg("DEBUG: Verify the Params Constraint. \n");
    if (settings->duplex == 0) return;
    logMsg("DEBUG: Verifying Duplex Constraint... \n");
    const char* why = "";
    char size_text[PARAM_VALUE_SIZE + 32];
    const char* refusal = duplexRefusal(table, *settings, &why, size_text, sizeof(size_text));
    if (refusal == nullptr) return;
    logText(refusal);
    logMsg("WARNING: Printing one-sided: the printer can't print two-sided %s\n", why);
    settings->duplex = 0;
    SetJobParam("Duplex", "None", table);
}

PaperLimit paperLimit(ppd_file_t* ppd) {
    PaperLimit limit;
    auto take = [&](double width_pt, double length_pt) {
        double shorter = width_pt < length_pt ? width_pt : length_pt;
        double longer = width_pt < length_pt ? length_pt : width_pt;
        if (shorter / 72 > limit.short_in) limit.short_in = shorter / 72;
        if (longer / 72 > limit.long_in) limit.long_in = longer / 72;
    };
    for (int i = 0; i < ppd->num_sizes; i++) {
        if (strcmp(ppd->sizes[i].name, "Custom") != 0)
            take(ppd->sizes[i].width, ppd->sizes[i].length);
    }
    if (ppd->variable_sizes) take(ppd->custom_max[0], ppd->custom_max[1]);

    ppd_option_t* resolution = ppdFindOption(ppd, "Resolution");
    for (int i = 0; resolution != nullptr && i < resolution->num_choices; i++) {
        unsigned x = 0, y = 0;
        int found = sscanf(resolution->choices[i].choice, "%ux%u", &x, &y);
        if (found == 1) y = x;
        if (found >= 1 && x > limit.max_dpi) limit.max_dpi = x;
        if (found >= 1 && y > limit.max_dpi) limit.max_dpi = y;
    }
    return limit;
}
