// A photo's EXIF orientation, and the turn that makes its pixels upright.
// Cameras store the sensor's rows as they came and say in the APP1 segment
// how the picture is meant to be seen; printed as stored, a portrait photo
// taken with the camera turned lies on its side.
#pragma once

#include <cstddef>
#include <vector>

// EXIF orientations (TIFF tag 0x0112): how the stored rows are to be shown.
enum ExifOrientation {
    EXIF_UPRIGHT = 1,
    EXIF_MIRRORED = 2,           // left and right swapped
    EXIF_UPSIDE_DOWN = 3,        // turned 180 degrees
    EXIF_FLIPPED = 4,            // top and bottom swapped
    EXIF_TRANSPOSED = 5,         // mirrored across the main diagonal
    EXIF_TURN_CLOCKWISE = 6,     // to be turned 90 degrees clockwise
    EXIF_TRANSVERSE = 7,         // mirrored across the other diagonal
    EXIF_TURN_ANTICLOCKWISE = 8  // to be turned 90 degrees anticlockwise
};

// The orientation an APP1 segment's payload (the bytes after its length:
// "Exif\0\0", then a TIFF header in either byte order and IFD0) gives its
// image: 1 to 8, or EXIF_UPRIGHT when it is not EXIF, names none, names
// one outside 1..8, or any offset in it points outside `size` bytes.
int exifOrientation(const unsigned char* data, size_t size);

// Whether the upright image has width and height swapped (5 to 8).
bool exifSwapsSides(int orientation);

// Turns the 8-bit gray `pixels` of a `width` x `height` image stored with
// `orientation` upright, updating width and height (swapped for 5 to 8).
// The pixels must hold width * height bytes; orientations outside 2..8
// leave them as they are. Throws std::bad_alloc.
void makeUpright(int orientation, std::vector<unsigned char>* pixels, int* width, int* height);
