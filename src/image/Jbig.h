// Conversion of a packed PBM file to JBIG by JBIG-KIT's pbmtojbg encoder,
// run as its own process with the printer's fixed options.
#pragma once

// The seam where the encoder process is run: argv[0] is the program, found
// through PATH. Returns the waitpid status, or -1 when it could not start
// (errno set). Tests and the fuzz harness put a stand-in here.
using EncoderRunner = int (*)(char* const argv[]);

// The real runner: posix_spawnp, then waitpid. The encoder's standard
// output goes to standard error, so nothing it prints can reach the printer.
int spawnEncoder(char* const argv[]);

// Installs `runner` (nullptr restores spawnEncoder); returns the previous one.
EncoderRunner setEncoderRunner(EncoderRunner runner);

// Converts `pbm_file` into `jbg_file` with
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 PBM JBG
// where W and H come from the PBM header. When the input can't be read, or
// the encoder can't start, fails or dies, no JBIG file is left behind, and
// an "ERROR: " line names the page file unless the job is being cancelled.
// The caller finds out by the JBIG file being missing.
void pbmtojbg(const char* pbm_file, const char* jbg_file);
