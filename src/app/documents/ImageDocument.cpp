// JPEG and PNG documents, decoded here and rendered by PAPPL.
#include <png.h>

#include <csetjmp>
#include <cstdio>
// (jpeglib.h needs stdio first)
#include <jpeglib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/documents/Documents.h"
#include "app/documents/Exif.h"
#include "app/job/AppJob.h"
#include "app/job/DocumentError.h"
#include "app/queue/Queue.h"

// JPEG and PNG: decoded here and rendered by PAPPL, at the job's resolution
// rather than PAPPL's reading of print-quality.

struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

static void jpegFailed(j_common_ptr info) {
    JpegError* error = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    longjmp(error->jump, 1);
}

// The largest image PAPPL's own filters would take.
struct ImageLimit {
    size_t bytes;
    int width, height;
};

static const char* tooLarge(const ImageLimit& limit, unsigned width, unsigned height) {
    if (width == 0 || height == 0) return "it has no pixels";
    if (width > (unsigned)limit.width || height > (unsigned)limit.height ||
        (size_t)width * height > limit.bytes) {
        return "it is larger than the printer application takes";
    }
    return nullptr;
}

// The orientation the first EXIF segment the decoder kept gives.
static int jpegOrientation(const jpeg_decompress_struct& info) {
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1) continue;
        int orientation = exifOrientation(marker->data, marker->data_length);
        if (orientation != EXIF_UPRIGHT) return orientation;
    }
    return EXIF_UPRIGHT;
}

// Decodes the JPEG file as gray into *pixels, turned upright as its EXIF
// orientation says; false with `why` set. (The decoder's errors return here
// through longjmp: nothing of this frame is changed between setjmp and the
// decoding.)
static bool readJpeg(const char* path, const ImageLimit& limit, std::vector<unsigned char>* pixels,
                     int* width, int* height, std::string* why) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        *why = strerror(errno);
        return false;
    }
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFailed;
    if (setjmp(error.jump)) {
        *why = error.message;
        jpeg_destroy_decompress(&info);
        fclose(file);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    // EXIF segments are kept whole (at most 64 KiB each, as the format bounds them).
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&info);
    const int orientation = jpegOrientation(info);
    // PAPPL gets the upright image: its sides are the ones bounded.
    const bool swap = exifSwapsSides(orientation);
    const char* refused = tooLarge(limit, swap ? info.output_height : info.output_width,
                                   swap ? info.output_width : info.output_height);
    if (refused == nullptr) {
        jpeg_start_decompress(&info);
        pixels->resize((size_t)info.output_width * info.output_height);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels->data() + (size_t)info.output_scanline * info.output_width;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        *width = (int)info.output_width;
        *height = (int)info.output_height;
    } else {
        *why = refused;
    }
    jpeg_destroy_decompress(&info);
    fclose(file);
    if (refused != nullptr) return false;
    makeUpright(orientation, pixels, width, height);
    return true;
}

static bool readPng(const char* path, const ImageLimit& limit, std::vector<unsigned char>* pixels,
                    int* width, int* height, std::string* why) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path) == 0) {
        *why = image.message;
        return false;
    }
    const char* refused = tooLarge(limit, image.width, image.height);
    if (refused != nullptr) {
        *why = refused;
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    pixels->resize(PNG_IMAGE_SIZE(image));
    png_color white = {255, 255, 255};
    if (png_image_finish_read(&image, &white, pixels->data(), 0, nullptr) == 0) {
        *why = image.message;
        png_image_free(&image);
        return false;
    }
    *width = (int)image.width;
    *height = (int)image.height;
    return true;
}

// Keeps the middle of the gray image, as much of it as has the shape of
// `area_w` x `area_h`.
static void cropToShape(std::vector<unsigned char>* pixels, int* width, int* height, long area_w,
                        long area_h) {
    const long w = (long)*width, h = (long)*height;
    long keep_w = w, keep_h = h;
    if (w * area_h > h * area_w) {
        keep_w = std::max(1L, h * area_w / area_h);
    } else {
        keep_h = std::max(1L, w * area_h / area_w);
    }
    const long x0 = (w - keep_w) / 2, y0 = (h - keep_h) / 2;
    unsigned char* p = pixels->data();
    for (long y = 0; y < keep_h; y++) {
        memmove(p + y * keep_w, p + (y + y0) * w + x0, (size_t)keep_w);
    }
    pixels->resize((size_t)(keep_w * keep_h));
    *width = (int)keep_w;
    *height = (int)keep_h;
}

// PAPPL 1.3.1 fills the whole sheet for print-scaling=fill, the printer's
// margins included. The image is cut here to the shape of the printable
// area instead, which PAPPL's fit then fills. The orientation is chosen as
// PAPPL would choose it, since it decides that shape.
static void fillWithinMargins(pappl_pr_options_t* options, std::vector<unsigned char>* pixels,
                              int* width, int* height) {
    if (options->print_scaling != PAPPL_SCALING_FILL) return;
    const cups_page_header2_t& h = options->header;
    const pappl_media_col_t& m = options->media;
    long area_w = (long)h.cupsWidth -
                  ((long)m.left_margin + m.right_margin) * options->printer_resolution[0] / 2540;
    long area_h = (long)h.cupsHeight -
                  ((long)m.bottom_margin + m.top_margin) * options->printer_resolution[1] / 2540;
    if (area_w <= 0 || area_h <= 0) return;  // PAPPL refuses the media itself
    if (options->orientation_requested == IPP_ORIENT_NONE) {
        bool turn = *width > *height && h.cupsWidth < h.cupsHeight;
        options->orientation_requested = turn ? IPP_ORIENT_LANDSCAPE : IPP_ORIENT_PORTRAIT;
    }
    if (options->orientation_requested == IPP_ORIENT_LANDSCAPE ||
        options->orientation_requested == IPP_ORIENT_REVERSE_LANDSCAPE) {
        std::swap(area_w, area_h);
    }
    cropToShape(pixels, width, height, area_w, area_h);
    options->print_scaling = PAPPL_SCALING_FIT;
}

bool imageFilter(pappl_job_t* job, pappl_device_t* device, void*) {
    QueueTurn turn(job);
    const DocumentFormat* format = findDocumentFormat(papplJobGetFormat(job), true);
    ImageLimit limit;
    limit.bytes = papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)),
                                             &limit.width, &limit.height);
    int width = 0, height = 0;
    std::string why;
    std::vector<unsigned char> pixels;
    bool read = false;
    try {
        read = format != nullptr && format->reader == DocumentReader::Png
                   ? readPng(papplJobGetFilename(job), limit, &pixels, &width, &height, &why)
                   : readJpeg(papplJobGetFilename(job), limit, &pixels, &width, &height, &why);
    } catch (const std::bad_alloc&) {
        why = "there is no memory for it";
    }
    if (!read) {
        documentError(job, "The image can't be printed: %s", why.c_str());
        return false;
    }
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
    if (options == nullptr) return false;
    setPageHeader(job, options);
    // The printer's portrait default is for documents; a photo the job does
    // not turn itself is turned by PAPPL to fill the sheet, a landscape
    // photo across a portrait page.
    if (papplJobGetAttribute(job, "orientation-requested") == nullptr) {
        options->orientation_requested = IPP_ORIENT_NONE;
    }
    fillWithinMargins(options, &pixels, &width, &height);
    bool ok = papplJobFilterImage(job, device, options, pixels.data(), width, height, 1, 0, true);
    papplJobDeletePrintOptions(options);
    return ok;
}
