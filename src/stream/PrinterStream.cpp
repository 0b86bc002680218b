#include "PrinterStream.h"

#include <cerrno>
#include <cstring>

#include "../Utility/Log.h"
#include "../Utility/Text.h"

printer_header::printer_header() : first_page(0), last_page(0), data_size(0), page_no(1) {
    memset(magic, 0, sizeof(magic));
    memcpy(magic, "rx7316_printer", 14);
}

void writeRecordHeader(FILE* out, const printer_header& header, int32_t last_page) {
    fwrite(header.magic, sizeof(header.magic), 1, out);
    writeInt32LE(out, header.first_page);
    writeInt32LE(out, last_page);
    writeInt32LE(out, header.data_size);
    writeInt32LE(out, header.page_no);
}

void writeRecordData(FILE* out, const unsigned char* data, size_t size) {
    if (size > 0) fwrite(data, 1, size, out);
}

bool recordSent(FILE* out, int32_t page_no, int impressions) {
    if (fflush(out) != 0 || ferror(out)) {
        if (!jobCancelled())
            logMsg("ERROR: Unable to write the printer stream: %s\n", strerror(errno));
        return false;
    }
    logMsg("PAGE: %d %d\n", page_no, impressions);
    JobEvent event;
    event.page = page_no;
    event.impressions = impressions;
    jobEvent(event);
    return true;
}
