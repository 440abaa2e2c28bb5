#include "preview_choice.h"

#include <limits.h>

static const char *const ordinaryTypes[] = {
    "image/jpeg",
    "image/png",
    "image/gif",
    "image/x-ms-bmp",
};

// Consulted in this order when "Exif.Image.Orientation" says 1.
static const char *const makerNoteRotationKeys[] = {
    "Exif.Panasonic.Rotation",   "Exif.MinoltaCs5D.Rotation",    "Exif.MinoltaCs5D.Rotation2",
    "Exif.MinoltaCs7D.Rotation", "Exif.Sony1MltCsA100.Rotation", "Exif.Sony1Cs.Rotation",
    "Exif.Sony2Cs.Rotation",     "Exif.Sony1Cs2.Rotation",       "Exif.Sony2Cs2.Rotation",
};

bool isOrdinaryType(const std::string &mimeType) {
    for (size_t i = 0; i < sizeof(ordinaryTypes) / sizeof(ordinaryTypes[0]); i++) {
        if (mimeType == ordinaryTypes[i]) {
            return true;
        }
    }
    return false;
}

// The first candidate is taken whatever its size; a later one replaces it only when it is
// strictly larger in area and at least PREVIEW_MIN_SIDE pixels on both sides. Areas are
// compared as unsigned 64-bit products, which hold any two 32-bit sides: a 32-bit product
// wraps and would rank a huge preview as tiny.
const Exiv2::PreviewProperties *selectPreview(const Exiv2::PreviewPropertiesList &list,
                                              PreviewFilter filter) {
    const Exiv2::PreviewProperties *choice = nullptr;
    uint64_t choiceArea = 0;

    for (size_t i = 0; i < list.size(); i++) {
        const Exiv2::PreviewProperties &props = list[i];
        if (!isOrdinaryType(props.mimeType_)) {
            continue;
        }
        if (filter == FILTER_SMALL && props.size_ > PREVIEW_SMALL_LIMIT) {
            continue;
        }
        uint64_t area = (uint64_t)props.width_ * (uint64_t)props.height_;
        if (choice == nullptr) {
            choice = &props;
            choiceArea = area;
            continue;
        }
        if (area > choiceArea && props.width_ >= PREVIEW_MIN_SIDE &&
            props.height_ >= PREVIEW_MIN_SIDE) {
            choice = &props;
            choiceArea = area;
        }
    }
    return choice;
}

static int rotationFromText(const std::string &value) {
    if (value == "6") {
        return ROTATE_90;
    }
    if (value == "3") {
        return ROTATE_180;
    }
    if (value == "8") {
        return ROTATE_270;
    }
    return ROTATE_NONE;
}

// "Exif.Image.Orientation" decides; only when it says 1 do the maker-note keys get a say, and
// without it there is no rotation at all.
int getRotation(const Exiv2::ExifData &exifData) {
    Exiv2::ExifData::const_iterator it = exifData.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (it == exifData.end()) {
        return ROTATE_NONE;
    }
    std::string value = it->toString();
    if (value != "1") {
        return rotationFromText(value);
    }

    for (size_t i = 0; i < sizeof(makerNoteRotationKeys) / sizeof(makerNoteRotationKeys[0]); i++) {
        try {
            Exiv2::ExifData::const_iterator mn =
                exifData.findKey(Exiv2::ExifKey(makerNoteRotationKeys[i]));
            if (mn != exifData.end()) {
                return rotationFromText(mn->toString());
            }
        } catch (Exiv2::AnyError &) {
            // A key this library does not know: try the next one.
        }
    }
    return ROTATE_NONE;
}

uint64_t declaredPixels(const Exiv2::byte *data, size_t size) {
    if (data == nullptr || size == 0 || size > (size_t)LONG_MAX) {
        return 0;
    }
    try {
        // Only the readers of the ordinary types look at the bytes: a preview that claims to
        // be a JPEG but holds a video must not reach the video readers.
        int type = Exiv2::ImageFactory::getType(data, (long)size);
        if (type != Exiv2::ImageType::jpeg && type != Exiv2::ImageType::png &&
            type != Exiv2::ImageType::gif && type != Exiv2::ImageType::bmp) {
            return 0;
        }
        auto image = Exiv2::ImageFactory::open(data, (long)size);
        if (image.get() == nullptr) {
            return 0;
        }
        image->readMetadata();
        int w = image->pixelWidth(), h = image->pixelHeight();
        if (w <= 0 || h <= 0) {
            return 0;
        }
        return (uint64_t)(uint32_t)w * (uint64_t)(uint32_t)h;
    } catch (Exiv2::AnyError &) {
        return 0;
    } catch (std::exception &) {
        return 0;
    }
}

bool withinPixelBound(uint64_t width, uint64_t height) {
    if (width > 0xffffffffULL || height > 0xffffffffULL) {
        return false;
    }
    return width * height <= PREVIEW_MAX_PIXELS;
}
