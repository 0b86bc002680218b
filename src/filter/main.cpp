// brivane_quelmoss: CUPS filter from 1-bit CUPS raster to the printer's
// JBIG page stream.
//
//   brivane_quelmoss job user title copies options [file]
//
// Raster from the named file or else standard input, PPD named by $PPD,
// printer stream on standard output, job log on standard error.
#include "../Utility/JobContext.h"
#include "JobSetup.h"

int main(int argc, char** argv) {
    JobContext context;
    JobScope scope(&context);
    return runFilter(argc, argv);
}
