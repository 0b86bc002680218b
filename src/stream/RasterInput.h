// The raster input as libcups's raster reader sees it: bytes handed over by
// a reader of the filter's own, so that
//  - a wait for the producer never outlasts a cancelled job's grace period,
//  - libcups never holds the last bytes of the input before it reads them,
//    so a header that can't be read tells a clean end (no byte left) from a
//    cut or damaged stream (bytes left, or a header libcups refused),
//  - the loop can ask whether raster is waiting without blocking.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>

constexpr size_t RASTER_BUFFER_SIZE = 64 * 1024;

struct RasterInput {
    int fd = -1;
    // Where libcups reads into its caller's memory (a page's pixels). Reads
    // there, and every read of an exact length, get all that is there. A
    // fill of libcups's own buffer gets only bytes that are followed by a
    // page header's worth more, and one byte at a time at the very end, so a
    // header cut at the end of the input is never taken before it is read.
    const unsigned char* direct_start = nullptr;
    const unsigned char* direct_end = nullptr;
    uint64_t delivered = 0;   // bytes handed to libcups
    bool at_end = false;      // the input has ended
    bool gave_up = false;     // a cancelled job stopped waiting for it
    bool look_ahead = false;  // a cancel ends the wait at once: the page in hand is the last
    int read_errno = 0;       // a read failed with this
    // Reads never wait: they are tried before any poll, since a FIFO without
    // a writer is at its end yet never polls ready.
    bool nonblocking = false;
    unsigned char buffer[RASTER_BUFFER_SIZE];
    size_t start = 0, end = 0;  // bytes read from fd, not yet handed over
};

// Opens libcups's reader on `input`, which reads `fd`. nullptr when the
// input is empty or not a raster stream (rasterInputRefused tells which).
cups_raster_t* openRasterInput(RasterInput* input, int fd);

// libcups reads a page's pixels into `start` .. `start + size`.
void setDirectRead(RasterInput* input, const void* start, size_t size);

// Whether bytes are there to be read now, without waiting.
bool rasterWaiting(RasterInput* input);

// After a read of a header failed with `delivered_before` bytes handed over
// before it: whether the stream is damaged (bytes were taken for the header,
// libcups refused it, or bytes still follow) rather than at its end.
bool rasterDamaged(RasterInput* input, uint64_t delivered_before);
