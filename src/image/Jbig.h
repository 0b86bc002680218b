// Conversion of a page to JBIG with the printer's fixed options: a packed
// PBM file by JBIG-KIT's pbmtojbg encoder, run as its own process, or a
// bitmap in memory by the application's own encoder (JbigEncoder.h) on a
// thread, giving the same bytes. A
// conversion can run while the caller does other work (the page loop reads
// the next page meanwhile) and is collected when its JBIG data is needed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "../Utility/JobContext.h"

// Installs `runner` (EncoderRunner) for this thread's job (nullptr restores
// the real encoder, started with posix_spawnp and collected later); returns
// the previous one. The fuzz harness puts a stand-in here.
EncoderRunner setEncoderRunner(EncoderRunner runner);

constexpr size_t ENCODER_PATH_SIZE = 1024;
constexpr size_t ENCODER_COMMAND_SIZE = 512;
// What the encoder may say on standard error and output that is logged.
constexpr size_t ENCODER_MESSAGE_MAX = 4096;
// An encoder still running this long after its start, plus this much a
// megapixel of its page, has hung: it is stopped and the page fails.
constexpr int64_t ENCODER_TIMEOUT_MS = 30000;
constexpr int64_t ENCODER_TIMEOUT_MS_PER_MEGAPIXEL = 1000;
// The largest JBIG file an encoder may make of a PBM file of `pbm_size`
// bytes: JBIG-KIT's arithmetic coder makes random noise about 5 % larger
// than its bitmap; a quarter and 64 KiB more is far beyond any real page.
inline int64_t maxJbigSize(int64_t pbm_size) { return pbm_size + pbm_size / 4 + 64 * 1024; }

// How a conversion ended.
enum EncoderOutcome {
    ENCODED,         // the JBIG file is there and is a JBIG image of the page
    ENCODE_FAILED,   // no JBIG file; an "ERROR: " line said why
    ENCODE_STOPPED,  // stopped because the cancelled job could wait no longer
};

struct BitmapEncode;

// One conversion, from its start to its collection.
struct EncoderRun {
    pid_t pid = -1;                         // the encoder while it runs; its own process group
    bool running = false;                   // started and not yet collected
    int status = 0;                         // waitpid status; -1: it could not start
    int start_errno = 0;                    // why it could not start
    int messages_fd = -1;                   // what it writes on standard error and output
    int width = 0, height = 0;              // of the page, from its PBM header
    int64_t pbm_size = 0;                   // bytes of the PBM file
    int64_t deadline_ms = 0;                // when it counts as hung
    char pbm_file[ENCODER_PATH_SIZE] = {};  // or, in memory, the name of what is encoded
    char jbg_file[ENCODER_PATH_SIZE] = {};
    char command[ENCODER_COMMAND_SIZE] = {};
    BitmapEncode* in_memory = nullptr;  // the thread encoding a bitmap in memory
};

// Starts converting `pbm_file` into `jbg_file` with
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 PBM JBG
// where W and H come from the PBM header, and logs the start of the
// command's line. The JBIG file is created afresh first,
// so the encoder never writes through something planted at its name.
// Returns at once. ENCODE_FAILED (already logged) when it could not be
// started.
EncoderOutcome startPbmtojbg(const char* pbm_file, const char* jbg_file, EncoderRun* run);

// Waits for the conversion, then logs what the encoder said and the rest of
// the command's line. A conversion that fails, hangs, or leaves anything but
// a JBIG image of the page's size (no larger than maxJbigSize) leaves no
// JBIG file behind and is ENCODE_FAILED with an
// "ERROR: " line. Once the job is cancelled it is waited for only until the
// cancel's grace period is over (ENCODE_STOPPED).
EncoderOutcome finishPbmtojbg(EncoderRun* run);

// Stops a conversion whose page will not be printed: the encoder's process
// group is killed and collected, and its JBIG file removed; an encoding in
// memory is waited for and its data freed. Logs nothing.
void stopPbmtojbg(EncoderRun* run);

// startPbmtojbg, then finishPbmtojbg.
EncoderOutcome pbmtojbg(const char* pbm_file, const char* jbg_file);

// Starts encoding the packed bitmap `bits` (rows of (width + 7) / 8 bytes),
// which it takes over and frees, on a thread of its own: the bytes pbmtojbg
// makes of the same page. `name` (e.g. "page 3") names it in the log. With
// `runs` 2 the page is cut into two runs of stripes with about as much to
// code each, encoded on two threads (for when fewer pages than processors
// are encoding). Returns at once; ENCODE_FAILED (logged) when the thread
// could not start.
EncoderOutcome startBitmapEncoding(unsigned char* bits, int width, int height, const char* name,
                                   EncoderRun* run, int runs = 1);

// Waits for the encoding (a page's encoding is short and is not stopped
// halfway, so a cancel waits for it). ENCODED: *jbig (to be freed) holds
// *size bytes, no more than maxJbigSize of the bitmap. ENCODE_FAILED, with
// an "ERROR: " line, when memory ran out or the data would be larger.
EncoderOutcome finishBitmapEncoding(EncoderRun* run, unsigned char** jbig, int64_t* size);

// While an encoding in memory runs: a descriptor that polls readable once it
// has ended, so a caller can wait for it and for other input at once; -1
// for any other conversion.
int bitmapEncodingFd(const EncoderRun* run);
