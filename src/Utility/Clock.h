// The job's clock: monotonic milliseconds, and the grace a cancelled job
// has to finish the page in hand.
#pragma once

#include <cstdint>

// How long a cancelled job may still take over the page in hand: a producer
// or an encoder that does not finish by then is not waited for.
constexpr int64_t CANCEL_GRACE_MS = 5000;

// Milliseconds of a clock that never goes back.
int64_t monotonicMs();

// Whether the job was cancelled more than CANCEL_GRACE_MS ago (counted from
// the first time this was asked after the cancel).
bool cancelGraceOver();
