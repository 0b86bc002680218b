#include "StreamReader.h"

extern "C" {
#include <jbig.h>
}
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static const std::string kJobMagic("rx7316_param\0\0\0\0", 16);
static const std::string kPageMagic("rx7316_printer\0\0", 16);

static int32_t int32At(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | (unsigned char)bytes[at + (size_t)i];
    return (int32_t)v;
}

static PrinterStreamData malformed(PrinterStreamData stream, const std::string& why) {
    stream.valid = false;
    stream.error = why;
    return stream;
}

PrinterStreamData readPrinterJob(const std::string& bytes, size_t* at_io) {
    PrinterStreamData stream;
    size_t start = *at_io;
    std::string job = start == 0 ? "" : "job at offset " + std::to_string(start) + ": ";
    if (bytes.size() <= start) return malformed(stream, "the stream is empty");
    if (bytes.size() - start < 20) {
        return malformed(stream, job + "the stream ends inside the job block header");
    }
    if (bytes.compare(start, 16, kJobMagic) != 0) {
        return malformed(stream, job + "the stream does not start with the job block magic");
    }
    int32_t size = int32At(bytes, start + 16);
    if (size < 0 || (uint64_t)size > bytes.size() - start - 20) {
        return malformed(stream, job + "the job block claims " + std::to_string(size) +
                                     " bytes of settings, the stream has " +
                                     std::to_string(bytes.size() - start - 20));
    }
    stream.job_params = bytes.substr(start + 20, (size_t)size);
    size_t at = start + 20 + (size_t)size;
    while (at < bytes.size() && bytes.compare(at, 16, kJobMagic) != 0) {
        std::string where = "record " + std::to_string(stream.records.size() + 1) + " at offset " +
                            std::to_string(at);
        if (bytes.size() - at < 32) return malformed(stream, where + ": header cut short");
        if (bytes.compare(at, 16, kPageMagic) != 0) return malformed(stream, where + ": bad magic");
        StreamRecord record;
        record.offset = at;
        record.first_page = int32At(bytes, at + 16);
        record.last_page = int32At(bytes, at + 20);
        record.data_size = int32At(bytes, at + 24);
        record.page_no = int32At(bytes, at + 28);
        at += 32;
        if (record.data_size < 0 || (uint64_t)record.data_size > bytes.size() - at) {
            return malformed(stream, where + ": data_size " + std::to_string(record.data_size) +
                                         " runs past the end of the stream");
        }
        record.data = bytes.substr(at, (size_t)record.data_size);
        at += (size_t)record.data_size;
        stream.records.push_back(std::move(record));
    }
    *at_io = at;
    stream.valid = true;
    return stream;
}

PrinterStreamData readPrinterStream(const std::string& bytes) {
    size_t at = 0;
    PrinterStreamData stream = readPrinterJob(bytes, &at);
    if (stream.valid && at < bytes.size()) {
        return malformed(stream, "a further job starts at offset " + std::to_string(at));
    }
    return stream;
}

std::vector<PrinterStreamData> readPrinterJobs(const std::string& bytes) {
    std::vector<PrinterStreamData> jobs;
    size_t at = 0;
    do {
        jobs.push_back(readPrinterJob(bytes, &at));
    } while (jobs.back().valid && at < bytes.size());
    return jobs;
}

std::vector<std::string> checkPrinterStream(const PrinterStreamData& stream, bool finished) {
    std::vector<std::string> problems;
    const std::vector<StreamRecord>& records = stream.records;
    int last_pages = 0;
    for (size_t i = 0; i < records.size(); i++) {
        const StreamRecord& r = records[i];
        std::string name = "record " + std::to_string(i + 1);
        if (r.page_no != (int32_t)(i + 1)) {
            problems.push_back(name + " has page_no " + std::to_string(r.page_no));
        }
        if (r.first_page != 0 && r.first_page != 1) {
            problems.push_back(name + " has first_page " + std::to_string(r.first_page));
        }
        if (r.last_page != 0 && r.last_page != 1) {
            problems.push_back(name + " has last_page " + std::to_string(r.last_page));
        }
        if (i == 0 && r.first_page != 1) problems.push_back("record 1 lacks first_page 1");
        if (i > 0 && r.first_page == 1 && r.data != records[0].data) {
            problems.push_back(name + " has first_page 1 but is no copy of the first page");
        }
        if (r.last_page == 1) {
            last_pages++;
            if (i + 1 != records.size())
                problems.push_back(name + " has last_page 1 before the end");
        }
    }
    if (finished && last_pages != 1) {
        problems.push_back(std::to_string(last_pages) + " records have last_page 1, want 1");
    }
    return problems;
}

std::vector<std::pair<std::string, std::string>> jobSettings(const std::string& job_params) {
    std::vector<std::pair<std::string, std::string>> settings;
    size_t at = 0;
    while (at < job_params.size()) {
        size_t end = job_params.find(", ", at);
        if (end == std::string::npos) end = job_params.size();
        std::string entry = job_params.substr(at, end - at);
        size_t equals = entry.find('=');
        settings.emplace_back(entry.substr(0, equals),
                              equals == std::string::npos ? "" : entry.substr(equals + 1));
        at = end + 2;
    }
    return settings;
}

bool decodeJbigImage(const std::string& data, JbigImage* image, std::string* error) {
    struct jbg_dec_state state;
    jbg_dec_init(&state);
    // Nothing the printer takes is larger than 60 inches at 1200 dpi.
    jbg_dec_maxsize(&state, 72000, 72000);
    std::string copy = data;
    size_t used = 0;
    int rc = jbg_dec_in(&state, (unsigned char*)copy.data(), copy.size(), &used);
    bool ok = (rc == JBG_EOK || rc == JBG_EOK_INTR);
    if (ok) {
        image->width = jbg_dec_getwidth(&state);
        image->height = jbg_dec_getheight(&state);
        size_t bytes = (image->width + 7) / 8 * image->height;
        image->rows.assign((const char*)jbg_dec_getimage(&state, 0), bytes);
    } else {
        *error = rc == JBG_EAGAIN ? "JBIG data ends early" : jbg_strerror(rc);
    }
    jbg_dec_free(&state);
    return ok;
}

bool writePngPreview(const std::string& path, const JbigImage& image, std::string* error) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "can't create " + path + ": " + strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = png != nullptr && info != nullptr;
    if (ok && setjmp(png_jmpbuf(png))) {
        ok = false;
    } else if (ok) {
        png_init_io(png, file);
        png_set_IHDR(png, info, (png_uint_32)image.width, (png_uint_32)image.height, 1,
                     PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_set_invert_mono(png);  // PBM and JBIG: 1 is black; PNG grey: 0 is black
        size_t row_bytes = (image.width + 7) / 8;
        for (unsigned long y = 0; y < image.height; y++) {
            png_write_row(png, (png_const_bytep)image.rows.data() + y * row_bytes);
        }
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) ok = false;
    if (!ok) *error = "writing " + path + " failed";
    return ok;
}
