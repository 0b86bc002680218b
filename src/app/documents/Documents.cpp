#include "app/documents/Documents.h"

#include <cstring>

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

bool takeDocument(pappl_client_t* client, std::string* why) {
    ipp_t* request = papplClientGetRequest(client);
    if (request == nullptr) return true;
    ipp_attribute_t* attr = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
    const char* sent = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    const DocumentFormat* format = nullptr;
    if (sent == nullptr || strcmp(sent, "application/octet-stream") == 0) {
        char head[16] = {};
        ssize_t got = ippGetOperation(request) == IPP_OP_VALIDATE_JOB
                          ? 0
                          : httpPeek(papplClientGetHTTP(client), head, sizeof(head));
        // (A Send-Document may end a job with no document at all.)
        if (got <= 0) return true;
        format = documentFormatOf(head, (size_t)got);
        if (format == nullptr) {
            *why = std::string("The document is in no format this printer takes; it prints ") +
                   documentFormatNames() + ".";
            return false;
        }
    } else {
        format = findDocumentFormat(sent, false);
        if (format == nullptr) {
            *why = std::string("This printer does not print ") + sent + "; it prints " +
                   documentFormatNames() + ".";
            return false;
        }
    }
    if (format->reader != DocumentReader::Raster) return true;
    if (attr != nullptr) {
        ippSetString(request, &attr, 0, format->spooled);
    } else {
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     format->spooled);
    }
    return true;
}
