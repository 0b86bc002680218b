// Test support: runs the built filter as the CUPS scheduler would, reads
// the printer stream it wrote, decodes JBIG with JBIG-KIT's jbgtopbm and
// writes small PPDs. The filter's working directory and credentials file are
// fixed paths, so tests that run it are run one at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "RasterWriter.h"
#include "StreamReader.h"

// The built filter and the shipped PPD, copied where any user can run and
// read them when `for_others` (the build tree may not be).
std::string filterPath(bool for_others = false);
std::string shippedPpdPath(bool for_others = false);
std::string sourceDir();

// A fresh directory under the build tree for one test's files.
std::string scratchDir(const std::string& name);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

struct FilterResult {
    int exit_status = -1;  // 0..255, or 128 + signal
    std::string out;       // standard output: the printer stream
    std::string log;       // standard error
};

struct FilterArgs {
    std::string job = "7";
    std::string user = "alice";
    std::string title = "report.pdf";
    std::string copies = "1";
    std::string options = "";
    std::string file;            // the sixth argument; empty: none
    std::string run_as;          // a user to run the filter as, as the scheduler runs it as lp
    int umask = -1;              // the filter's umask; -1: the test's own
    bool closed_reader = false;  // standard output is a pipe nobody reads
    // Standard output is a pipe read this many KiB a second (0: a file);
    // what is read is kept, up to 64 MiB, the rest counted and dropped.
    int reader_kib_per_s = 0;
    bool own_group = false;              // the filter leads a process group, as under the scheduler
    std::string tmpdir;                  // $TMPDIR for the filter; empty: unset
    std::string stdout_file;             // standard output opened on this (e.g. /dev/full)
    std::string ppd = shippedPpdPath();  // empty: PPD unset
    std::string path_env;                // empty: the test's own PATH
    // Run as the scheduler does: through cups-exec, with only PATH (CUPS's
    // restricted one), PPD and CUPS_SERVERBIN in the environment.
    bool as_cups = false;
};

// Runs the filter with `input` as standard input.
FilterResult runFilter(const FilterArgs& args, const std::string& input);
// Runs the filter on raster pages written with libcupsimage.
FilterResult runFilterOnPages(const FilterArgs& args, const std::vector<RasterPage>& pages);
// Runs with an argument vector of any length (argv[0] included).
FilterResult runFilterArgv(const std::vector<std::string>& argv, const std::string& input);

// A filter started with standard input on a pipe, for feeding the raster
// piece by piece and signalling it at a known point.
struct RunningFilter {
    pid_t pid = -1;
    int input_fd = -1;
    std::string out_path, log_path;
};
RunningFilter startFilter(const FilterArgs& args);
void feed(RunningFilter* filter, const std::string& bytes);
// Waits (bounded) until the log holds `text`; false on timeout.
bool waitForLog(const RunningFilter& filter, const std::string& text);
FilterResult finishFilter(RunningFilter* filter);  // closes input, waits

// Writes a stand-in pbmtojbg into `dir` that records its arguments in
// dir/args, sets $last to its last argument (the JBIG file), then runs
// `body`. Returns a PATH that finds it first.
std::string standInEncoder(const std::string& dir, const std::string& body);

// A stand-in pbmtojbg in `dir` that runs the real one and keeps a copy of
// the PBM file it is given and the JBIG file it makes in dir/kept (the
// filter removes a page's files once the page is sent), and appends the
// number of files in /tmp/tarvelin at its start to dir/files. Returns a
// PATH that finds it first.
std::string keepingEncoder(const std::string& dir);

// The raster stream bytes of `pages`.
std::string rasterBytes(const std::vector<RasterPage>& pages);

// The stream as the inspector reads it.
using PrinterStream = PrinterStreamData;
inline PrinterStream parseStream(const std::string& bytes) { return readPrinterStream(bytes); }

struct Bitmap {
    int width = 0, height = 0;
    std::string rows;  // packed, (width + 7) / 8 bytes a row
};
// Decodes JBIG data with jbgtopbm; width 0 on failure.
Bitmap decodeJbig(const std::string& jbig);
// The pages of a CUPS raster stream, read with libcupsimage.
std::vector<Bitmap> readRasterPages(const std::string& raster);
// The bitmap turned a quarter turn counter-clockwise, the slow obvious way.
Bitmap turnedLeft(const Bitmap& bitmap);
// Clears the bits beyond the width in every row's last byte.
Bitmap withoutPadding(Bitmap bitmap);
Bitmap toBitmap(const RasterPage& page);

// A minimal PPD: each option "Name:Default:Choice1,Choice2,...".
std::string writePpd(const std::string& path, const std::vector<std::string>& options);

// The value of `key` in a job_params text, or "<none>".
std::string jobParam(const std::string& job_params, const std::string& key);
