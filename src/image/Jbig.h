// Conversion of a packed PBM file to JBIG by JBIG-KIT's pbmtojbg encoder,
// run as its own process with the printer's fixed options. A conversion can
// run while the caller does other work (the page loop reads the next page
// meanwhile) and is collected when its JBIG file is needed.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The seam where a stand-in encoder can be put: argv[0] is the program.
// It runs to its end and returns the waitpid status, or -1 when it could
// not start (errno set). Tests and the fuzz harness put a stand-in here;
// the real encoder is started with posix_spawnp and collected later.
using EncoderRunner = int (*)(char* const argv[]);

// Runs the real encoder to its end: posix_spawnp, then waitpid. The
// encoder's standard output goes to standard error, so nothing it prints
// can reach the printer.
int spawnEncoder(char* const argv[]);

// Installs `runner` (nullptr restores spawnEncoder); returns the previous one.
EncoderRunner setEncoderRunner(EncoderRunner runner);

constexpr size_t ENCODER_PATH_SIZE = 1024;

// One conversion, from its start to its collection.
struct EncoderRun {
    pid_t pid = -1;         // the encoder while it runs
    bool running = false;   // started and not yet collected
    int status = 0;         // waitpid status; -1: it could not start
    int start_errno = 0;    // why it could not start
    bool reported = false;  // it failed before it started, already logged
    char pbm_file[ENCODER_PATH_SIZE] = {};
    char jbg_file[ENCODER_PATH_SIZE] = {};
};

// Starts converting `pbm_file` into `jbg_file` with
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 PBM JBG
// where W and H come from the PBM header, and logs the command. The JBIG
// file is created afresh first, so the encoder never writes through
// something planted at its name. Returns at once.
void startPbmtojbg(const char* pbm_file, const char* jbg_file, EncoderRun* run);

// Waits for the conversion. When the input can't be read, or the encoder
// can't start, fails or dies, no JBIG file is left behind, and an "ERROR: "
// line names the page file unless the job is being cancelled. The caller
// finds out by the JBIG file being missing.
void finishPbmtojbg(EncoderRun* run);

// Stops a conversion whose page will not be printed: the encoder is ended
// and collected, and its JBIG file removed, as for a page never converted.
void stopPbmtojbg(EncoderRun* run);

// startPbmtojbg, then finishPbmtojbg.
void pbmtojbg(const char* pbm_file, const char* jbg_file);
