// Writes the seed photos of fuzz_preview into a folder: the kinds of photo the preview tests
// build (JPEGs with EXIF thumbnails and orientations, a maker-note rotation, an XMP thumbnail,
// PNGs, TIFF-based RAW stand-ins with several previews, CR3-shaped files), kept small.
//   fuzz_preview_seeds FOLDER
#include <stdio.h>

#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "photos.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    photos::enableBmff();
    try {
        std::string small = photos::jpeg(dir, 48, 32, 1);
        std::string other = photos::jpeg(dir, 160, 144, 2);
        int n = 0;
        auto put = [&](const std::string &name, const std::string &data) {
            photos::writeBytes(dir + "/" + std::to_string(n++) + "-" + name, data);
        };
        for (int orientation : {0, 1, 3, 6, 8}) {
            std::string path = dir + "/work.jpg";
            photos::writeBytes(path, photos::jpeg(dir, 64, 48, 3));
            photos::setExif(path, orientation, small, orientation == 1 ? 6 : 0);
            put("exif.jpg", photos::readBytes(path));
        }
        std::string path = dir + "/work.jpg";
        photos::writeBytes(path, photos::jpeg(dir, 64, 48, 4));
        photos::setXmpThumbnail(path, small, 4294967295u, 60000);
        put("xmp.jpg", photos::readBytes(path));
        (void)std::remove(path.c_str());
        put("claim.jpg", photos::claimDimensions(small, 20000, 20000));
        put("small.png", photos::png(16, 8, 1));
        put("raw.tif", photos::rawStandIn({{small}, {"", 8, 8}, {other}}, 6, 256));
        put("raw1.tif", photos::rawStandIn({{other}}, 0, 256));
        photos::Cr3 cr3;
        cr3.thumbnail = small;
        cr3.thumbWidth = 48;
        cr3.thumbHeight = 32;
        cr3.preview = other;
        cr3.previewWidth = 160;
        cr3.previewHeight = 144;
        cr3.orientation = 8;
        put("image.cr3", photos::cr3(cr3));
        cr3.hdrPreview = small;
        put("hdr.cr3", photos::cr3(cr3));
    } catch (std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
