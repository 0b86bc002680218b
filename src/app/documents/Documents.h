// The documents PAPPL can't render as this printer needs, each read into
// the page-stream core: PDF by Ghostscript, JPEG and PNG decoded here and
// rendered by PAPPL at the job's resolution, PWG and Apple raster fed from
// their spooled file; and a raw job, which already is the printer's stream.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "app/state/Formats.h"

// PAPPL's MIME filter for documents read by READER.
pappl_mime_filter_cb_t documentFilter(DocumentReader reader);

// Whether the document of the client's Print-Job, Send-Document or
// Validate-Job request is one the application prints, told by its
// document-format or, for application/octet-stream (or none), by its first
// bytes; false with `why` when it is not. Before PAPPL reads the document:
// PWG and Apple raster get their spooled type.
bool takeDocument(pappl_client_t* client, std::string* why);

// The driver's print-file callback.
bool printRawDocument(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
