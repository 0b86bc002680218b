#include "app/documents/Documents.h"

bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);
bool imageFilter(pappl_job_t* job, pappl_device_t* device, void* data);
bool rasterFilter(pappl_job_t* job, pappl_device_t* device, void* data);

pappl_mime_filter_cb_t documentFilter(DocumentReader reader) {
    switch (reader) {
        case DocumentReader::Pdf: return pdfFilter;
        case DocumentReader::Jpeg:
        case DocumentReader::Png: return imageFilter;
        case DocumentReader::Raster: return rasterFilter;
        case DocumentReader::Raw: break;
    }
    return nullptr;  // the driver's own
}
