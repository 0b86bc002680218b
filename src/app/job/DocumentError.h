// A document that can't be printed as it is: the job's reasons say
// document-format-error, and its message and log say why, in one text.
#pragma once

#include <pappl/pappl.h>

void documentError(pappl_job_t* job, const char* format, ...) __attribute__((format(printf, 2, 3)));
