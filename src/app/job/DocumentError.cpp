#include "app/job/DocumentError.h"

#include <cstdarg>
#include <cstdio>

void documentError(pappl_job_t* job, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", text);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", text);
}
