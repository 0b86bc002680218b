// Quarter and half turns of a packed PBM file or bitmap, for pages that the printer
// takes short edge first (A5 fed by its long edge: the A5L case).
#pragma once

// Reads the PBM file at `input`, turns it by `angle` degrees (-90, the turn
// the filter uses: counter-clockwise; also 90 and 180) and writes the
// result as a new packed PBM file at `output`. Returns 0 when the output
// was written, 1 on any failure (no output is created for an input that is
// missing, not "P4", has unusable sizes, or an unsupported angle).
// A raster shorter than its header promises is turned as if the missing
// rows were white; bits beyond the width never reach the output.
int rotatePbm(const char* input, const char* output, int angle);

// The same turn of a packed bitmap in memory (rows of (width + 7) / 8
// bytes): a new bitmap, to be freed, of height x width pixels for a quarter
// turn; nullptr without memory or for an unsupported angle.
unsigned char* rotateBitmap(const unsigned char* bits, int width, int height, int angle);
