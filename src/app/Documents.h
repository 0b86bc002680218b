// MIME filters from the documents PAPPL can't render as this printer needs
// to the printer's stream; `data` is the AppData.
#pragma once

#include <pappl/pappl.h>

// PDF, rendered by Ghostscript.
bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);
// JPEG and PNG, decoded here and rendered by PAPPL at the job's resolution.
bool imageFilter(pappl_job_t* job, pappl_device_t* device, void* data);
// PWG and Apple raster, spooled under these types.
constexpr const char* SPOOLED_PWG_RASTER = "image/x-spooled-pwg-raster";
constexpr const char* SPOOLED_APPLE_RASTER = "image/x-spooled-urf";
bool rasterFilter(pappl_job_t* job, pappl_device_t* device, void* data);
// Gives a Print-Job or Send-Document request that brings PWG or Apple
// raster the spooled type, before PAPPL reads its document.
void spoolRasterDocument(pappl_client_t* client);
