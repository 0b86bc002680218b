// quelmoss-printer-app: an IPP Everywhere printer application for the
// Brivane Quelmoss, so phones, Windows, macOS and CUPS print to it with no
// driver. It sends the printer the stream the CUPS filter sends, made by
// the same page-stream core.
//
//   quelmoss-printer-app server [-o name=value ...]
//   quelmoss-printer-app add -d NAME -m brivane_quelmoss -v socket://HOST:9100
//   quelmoss-printer-app SUB-COMMAND ...   (PAPPL's: printers, jobs, submit ...)
#include <malloc.h>

#include "app/system/Server.h"

int main(int argc, char** argv) {
    // Page bitmaps (16 MB at 1200 dpi) are allocated and freed on the jobs'
    // and encoders' threads, each new. In an arena a thread, every arena
    // would keep some freed pages resident (80 MB after a few jobs at
    // 1200 dpi); in one, the next page reuses them, and each job's end gives
    // the rest back.
    mallopt(M_ARENA_MAX, 1);
    return serverMain(argc, argv);
}
