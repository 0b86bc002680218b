#include "RasterInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../Utility/Clock.h"
#include "../Utility/JobContext.h"

// How often a wait for the producer looks at the cancel flag.
constexpr int POLL_STEP_MS = 100;

// Reads more from the input into its buffer, waiting as long as the producer
// takes, but no longer than a cancelled job's grace period. False at the end
// of the input, when given up, or on a read error.
static bool fill(RasterInput* input) {
    while (!input->at_end) {
        if (cancelGraceOver() || (jobCancelled() && input->look_ahead)) {
            input->gave_up = true;
            return false;
        }
        if (!input->nonblocking) {
            struct pollfd wait = {input->fd, POLLIN, 0};
            int ready = poll(&wait, 1, POLL_STEP_MS);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
        }
        ssize_t n = read(input->fd, input->buffer, sizeof(input->buffer));
        if (n < 0 && errno == EAGAIN) {
            struct pollfd wait = {input->fd, POLLIN, 0};
            poll(&wait, 1, POLL_STEP_MS);
            continue;
        }
        if (n > 0) {
            input->start = 0;
            input->end = (size_t)n;
            return true;
        }
        if (n == 0) {
            input->at_end = true;
        } else if (errno != EINTR && errno != EAGAIN) {
            input->read_errno = errno;
            return false;
        }
    }
    return false;
}

// Adds what the input holds now, without waiting, after the bytes not yet
// handed over.
static void topUp(RasterInput* input) {
    memmove(input->buffer, input->buffer + input->start, input->end - input->start);
    input->end -= input->start;
    input->start = 0;
    struct pollfd wait = {input->fd, POLLIN, 0};
    if (!input->nonblocking && poll(&wait, 1, 0) <= 0) return;
    ssize_t n = read(input->fd, input->buffer + input->end, sizeof(input->buffer) - input->end);
    if (n > 0) input->end += (size_t)n;
    if (n == 0) input->at_end = true;
}

static bool isDirect(const RasterInput& input, const unsigned char* at) {
    return input.direct_start != nullptr && at >= input.direct_start && at < input.direct_end;
}

// libcups fills its own buffer with reads of its buffer's size, never less
// than this; every other read asks for exactly what it needs.
constexpr size_t LIBCUPS_BUFFER_MIN = 65536;
// A header cut at the end of the input is shorter than this.
constexpr size_t HEADER_GUARD = sizeof(cups_page_header2_t);

static ssize_t readRaster(void* context, unsigned char* out, size_t length) {
    RasterInput* input = (RasterInput*)context;
    if (input->start == input->end && !fill(input)) return input->read_errno ? -1 : 0;
    if (length >= LIBCUPS_BUFFER_MIN && !isDirect(*input, out)) {
        if (input->end - input->start <= HEADER_GUARD && !input->at_end) topUp(input);
        size_t held = input->end - input->start;
        length = held > HEADER_GUARD ? held - HEADER_GUARD : 1;
    }
    size_t n = input->end - input->start;
    if (n > length) n = length;
    memcpy(out, input->buffer + input->start, n);
    input->start += n;
    input->delivered += n;
    return (ssize_t)n;
}

cups_raster_t* openRasterInput(RasterInput* input, int fd) {
    input->fd = fd;
    int flags = fcntl(fd, F_GETFL);
    input->nonblocking = flags != -1 && (flags & O_NONBLOCK) != 0;
    return cupsRasterOpenIO(readRaster, input, CUPS_RASTER_READ);
}

void setDirectRead(RasterInput* input, const void* start, size_t size) {
    input->direct_start = (const unsigned char*)start;
    input->direct_end = input->direct_start + size;
}

bool rasterWaiting(RasterInput* input) {
    if (input->start < input->end || input->at_end) return true;
    struct pollfd wait = {input->fd, POLLIN, 0};
    return poll(&wait, 1, 0) > 0;
}

bool rasterDamaged(RasterInput* input, uint64_t delivered_before) {
    if (input->gave_up) return false;
    if (input->delivered != delivered_before || input->read_errno != 0) return true;
    return input->start < input->end || fill(input);
}
