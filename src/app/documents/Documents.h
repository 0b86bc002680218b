// The documents PAPPL can't render as this printer needs, each read into
// the page-stream core: PDF by Ghostscript, JPEG and PNG decoded here and
// rendered by PAPPL at the job's resolution, PWG and Apple raster fed from
// their spooled file; and a raw job, which already is the printer's stream.
#pragma once

#include <pappl/pappl.h>

#include "app/state/Formats.h"

// PAPPL's MIME filter for documents read by READER.
pappl_mime_filter_cb_t documentFilter(DocumentReader reader);

// The driver's print-file callback.
bool printRawDocument(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
