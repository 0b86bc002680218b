#include "Clock.h"

#include <ctime>

#include "JobContext.h"

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool cancelGraceOver() {
    if (!jobCancelled()) return false;
    JobContext& context = jobContext();
    int64_t now = monotonicMs();
    if (context.cancelled_at_ms < 0) context.cancelled_at_ms = now;
    return now - context.cancelled_at_ms > CANCEL_GRACE_MS;
}
