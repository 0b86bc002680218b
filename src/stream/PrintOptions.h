// Turning the job's print options and the PPD's marked choices into the
// settings the printer is sent and the flags that steer the page loop, and
// refusing duplex where the printer cannot do it.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>

#include "../JobParamsProc/JobParamsProc.h"

// Media classes as the duplex unit sees them.
enum MediaClass { MEDIA_PLAIN = 0, MEDIA_THIN = 1, MEDIA_THICK = 2 };

struct PrintSettings {
    int duplex = 0;        // 0 None, 1 DuplexNoTumble, 2 DuplexTumble
    int feed_edge = 0;     // 1 when FeedEdge "1" is marked
    int Flag_Page_A5 = 0;  // 1 when PageSize "A5" is marked
    int landscape = 0;     // 1 when Orientation "Landscape" is marked; logged only
    int media_class = 0;   // MediaClass
};

// A5 paper fed by its long edge: its pages are turned a quarter turn.
inline bool isA5L(const PrintSettings& s) { return s.Flag_Page_A5 == 1 && s.feed_edge == 1; }

// What the PPD says of the largest page the printer takes.
struct PaperLimit {
    double short_in = 0;   // the largest paper's shorter side, in inches; 0: no sizes
    double long_in = 0;    // its longer side (of the largest paper by that side)
    unsigned max_dpi = 0;  // the highest Resolution choice; 0: none
};

// The largest PaperDimension (custom size maximum included) and the
// highest Resolution of the PPD.
PaperLimit paperLimit(ppd_file_t* ppd);

// Resolves PageSize, InputSlot, Resolution, Duplex, FeedEdge, A5,
// Orientation and MediaType, in that order, from the options and a PPD whose
// defaults and job options are already marked.
void resolvePrintOptions(ppd_file_t* ppd, int num_options, cups_option_t* options,
                         PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* settings);

// Turns duplex off (flag and Duplex row) for the manual tray, media other
// than plain, A5L, and page sizes the duplex unit does not take.
void applyDuplexConstraints(PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* settings);
