// MIME filters from the documents PAPPL can't render as this printer needs
// to the printer's stream; `data` is the AppData.
#pragma once

#include <pappl/pappl.h>

// PDF, rendered by Ghostscript.
bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);
// JPEG and PNG, decoded here and rendered by PAPPL at the job's resolution.
bool imageFilter(pappl_job_t* job, pappl_device_t* device, void* data);
