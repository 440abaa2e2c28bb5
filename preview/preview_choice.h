// Which embedded previews of a photo thumbgrab stores, and how it turns them: the choice among
// Exiv2's preview list, the rotation read from the photo's metadata, and the pixel bound that
// keeps a preview claiming an enormous frame away from jpegtran and out of the EA folder.
// Shared by thumbgrab and its fuzz target; no I/O of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include <exiv2/exiv2.hpp>

// A preview (or an ordinary photo) of at most this many bytes is small.
#define PREVIEW_SMALL_LIMIT 102400
// A later preview replaces the current choice only when both its sides reach this.
#define PREVIEW_MIN_SIDE 140
// The most pixels a preview (or a photo stored as its own preview) may declare: 100
// megapixels, above every embedded preview a camera makes. Turning such a frame takes
// jpegtran about 6 bytes of memory per pixel; anything above is refused, never stored.
#define PREVIEW_MAX_PIXELS 100000000ULL

enum {
    ROTATE_NONE = 0,
    ROTATE_90 = 1,
    ROTATE_180 = 2,
    ROTATE_270 = 3,
};

enum PreviewFilter {
    FILTER_OPEN,   // every preview
    FILTER_SMALL,  // previews of at most PREVIEW_SMALL_LIMIT bytes
};

// True for "image/jpeg", "image/png", "image/gif" and "image/x-ms-bmp".
bool isOrdinaryType(const std::string &mimeType);
// The preview the filter picks from the list, or null (see the .cpp for the rule).
const Exiv2::PreviewProperties *selectPreview(const Exiv2::PreviewPropertiesList &list,
                                              PreviewFilter filter);
// The rotation code that turns the photo upright, from its EXIF data.
int getRotation(const Exiv2::ExifData &exifData);
// The pixel count an image's own bytes declare (its frame header as Exiv2 reads it); 0 when
// they are no JPEG, PNG, GIF or BMP that Exiv2 can read.
uint64_t declaredPixels(const Exiv2::byte *data, size_t size);
// True when a frame of width x height pixels is within PREVIEW_MAX_PIXELS.
bool withinPixelBound(uint64_t width, uint64_t height);
