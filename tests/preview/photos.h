// Test photos built from nothing: baseline JPEGs (through cjpeg), PNGs, EXIF orientation,
// thumbnails and maker-note rotation (through Exiv2), and a TIFF-based file that stands for a
// RAW photo with several embedded previews.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace photos {

// Binary PPM of w x h pixels: a smooth pattern, or noise (which compresses badly).
std::string ppm(int w, int h, unsigned seed, bool noise);
// Baseline JPEG bytes of a w x h image (4:2:0 sampling, quality 75), made with cjpeg;
// scratch is a folder for the intermediate files (removed again).
std::string jpeg(const std::string &scratch, int w, int h, unsigned seed, bool noise = false);
// The JPEG with comment segments inserted before its scan so that it is exactly size bytes.
std::string padJpeg(const std::string &jpeg, size_t size);
// The JPEG with its frame header claiming w x h pixels (header-only trick: the scan is left).
std::string claimDimensions(const std::string &jpeg, uint32_t w, uint32_t h);
// PNG bytes of a w x h RGB image (stored, uncompressed deflate blocks).
std::string png(int w, int h, unsigned seed);

// Writes EXIF into an existing JPEG file with Exiv2: orientation (0: no tag), a JPEG
// thumbnail (empty: none), and a Panasonic maker note carrying a rotation (0: none).
void setExif(const std::string &path, int orientation, const std::string &thumbnail,
             int makerNoteRotation = 0);

// Adds an XMP thumbnail (JPEG data, base64 in the XMP packet) that claims width x height
// pixels to an existing JPEG file, with Exiv2.
void setXmpThumbnail(const std::string &path, const std::string &jpeg, uint32_t width,
                     uint32_t height);

// An embedded preview of the RAW stand-in: JPEG bytes, or (tiffWidth > 0) an uncompressed
// grey TIFF strip of tiffWidth x tiffHeight pixels.
struct RawPreview {
    std::string jpeg;
    uint32_t tiffWidth = 0;
    uint32_t tiffHeight = 0;
};
// Little-endian TIFF: IFD0 is the "sensor data" (rawBytes of grey pixels, orientation when
// not 0), each preview sits in its own sub-IFD marked as a reduced image (at most four).
std::string rawStandIn(const std::vector<RawPreview> &previews, int orientation,
                       size_t rawBytes = 4096);

// A Canon CR3-shaped ISO base media file: "ftyp" (brand "crx "), a "moov" holding Canon's
// metadata box with CMT1 (IFD0: orientation when not 0), CMT2 (Exif: the pixel size) and a
// THMB thumbnail, a Canon preview box holding a PRVW preview, and an "mdat" standing for the
// sensor data. A PRVW marked HDR (version 1) is added when hdrPreview is not empty.
struct Cr3 {
    std::string thumbnail;  // JPEG, with its sides
    uint16_t thumbWidth = 0, thumbHeight = 0;
    std::string preview;
    uint16_t previewWidth = 0, previewHeight = 0;
    std::string hdrPreview;
    int orientation = 0;
    uint32_t width = 6000, height = 4000;
};
std::string cr3(const Cr3 &shape);
// A HEIF-shaped ISO base media file (brand "heic"): a "meta" box whose item list names an
// Exif item, located by "iloc" in an "mdat"; the Exif item holds IFD0 (orientation when not
// 0) and IFD1 with a JPEG thumbnail.
std::string heif(const std::string &thumbnail, int orientation);
// Enables Exiv2's reader of ISO base media files (CR3, HEIF) in the calling process.
void enableBmff();

// Pixel width and height of an image file as Exiv2 reads them.
std::pair<uint32_t, uint32_t> pixelSize(const std::string &path);
// The MIME type Exiv2 reports for a file.
std::string mimeType(const std::string &path);

// What jpegtran makes of the bytes when rotating by angle with "-trim".
std::string rotated(const std::string &scratch, const std::string &jpeg, int angle);

void writeBytes(const std::string &path, const std::string &data);
std::string readBytes(const std::string &path);
// Runs a program (no shell) with standard output to outPath ("" leaves it alone); status.
int runTool(const std::vector<std::string> &argv, const std::string &outPath = "");

}  // namespace photos
