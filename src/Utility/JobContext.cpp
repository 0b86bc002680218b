#include "JobContext.h"

static thread_local JobContext* bound_context = nullptr;

JobScope::JobScope(JobContext* context) : previous_(bound_context) { bound_context = context; }

JobScope::~JobScope() { bound_context = previous_; }

JobContext& jobContext() {
    thread_local JobContext own;
    return bound_context != nullptr ? *bound_context : own;
}
