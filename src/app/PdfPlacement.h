// Where Ghostscript puts a PDF page on the paper: the job's print-scaling
// as Ghostscript's switches, and the printer's margins as a clip, all with
// -dSAFER in force.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

struct PdfPlacement {
    // Switches, before the output file: -dPDFFitPage when the page is
    // scaled to the paper.
    std::vector<std::string> switches;
    // PostScript run before the document (after -c): sets the device's
    // hardware margins, so nothing is drawn inside the printer's margins.
    // It opens no file and changes no permission.
    std::string setup;
};

// The placement for print-scaling `scaling` (PAPPL's bit) on paper whose
// margins, in hundredths of millimetres, are the larger of the job's media
// and the printer's driver data.
//   fit, auto, auto-fit: the page scaled to the paper, its aspect kept;
//   fill: as fit (Ghostscript has no switch that scales a page to cover the
//         paper, and PostScript that would scale it must know the page);
//   none: at 100 %, its lower left corner at the paper's.
PdfPlacement pdfPlacement(pappl_scaling_t scaling, const pappl_media_col_t& media,
                          const pappl_pr_driver_data_t& driver);
