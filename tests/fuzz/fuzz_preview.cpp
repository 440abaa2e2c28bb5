// Fuzz target: thumbgrab's choice of previews over what Exiv2 makes of a photo.
//
// Input: the bytes of a photo. Exiv2 opens it from memory (ISO base media files included);
// for each filter the chosen preview must be a candidate (an ordinary type, within the small
// limit for the small filter), none exactly when there is no candidate, the first candidate
// unless a later one is larger with both sides at least the minimum, and never beaten by a
// later one. The rotation must be a code 0-3, and the chosen preview's own frame is measured
// as the pixel bound does before anything is stored.
#include <stdint.h>
#include <stdlib.h>

#include <exiv2/exiv2.hpp>

#include "preview_choice.h"

static bool isCandidate(const Exiv2::PreviewProperties &props, PreviewFilter filter) {
    return isOrdinaryType(props.mimeType_) &&
           (filter == FILTER_OPEN || props.size_ <= PREVIEW_SMALL_LIMIT);
}

static uint64_t area(const Exiv2::PreviewProperties &props) {
    return (uint64_t)props.width_ * (uint64_t)props.height_;
}

static bool beats(const Exiv2::PreviewProperties &props, uint64_t choiceArea) {
    return area(props) > choiceArea && props.width_ >= PREVIEW_MIN_SIDE &&
           props.height_ >= PREVIEW_MIN_SIDE;
}

static void checkChoice(Exiv2::PreviewManager &manager, const Exiv2::PreviewPropertiesList &list,
                        PreviewFilter filter) {
    const Exiv2::PreviewProperties *choice = selectPreview(list, filter);
    size_t first = list.size(), chosen = list.size();

    for (size_t i = 0; i < list.size(); i++) {
        if (isCandidate(list[i], filter) && first == list.size()) {
            first = i;
        }
        if (choice == &list[i]) {
            chosen = i;
        }
    }
    if (first == list.size()) {
        if (choice != nullptr) {
            abort();
        }
        return;
    }
    if (chosen == list.size() || !isCandidate(list[chosen], filter)) {
        abort();
    }
    if (chosen != first && !beats(list[chosen], area(list[first]))) {
        abort();
    }
    for (size_t i = chosen + 1; i < list.size(); i++) {
        if (isCandidate(list[i], filter) && beats(list[i], area(list[chosen]))) {
            abort();
        }
    }
    Exiv2::PreviewImage preview = manager.getPreviewImage(*choice);
    uint64_t pixels = declaredPixels(preview.pData(), preview.size());
    (void)withinPixelBound(pixels, 1);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Exiv2::enableBMFF(true);
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    try {
        auto image = Exiv2::ImageFactory::open(data, (long)size);
        if (image.get() == nullptr) {
            return 0;
        }
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
        int rotation = getRotation(image->exifData());
        if (rotation < ROTATE_NONE || rotation > ROTATE_270) {
            abort();
        }
        checkChoice(manager, list, FILTER_OPEN);
        checkChoice(manager, list, FILTER_SMALL);
        (void)withinPixelBound((uint32_t)image->pixelWidth(), (uint32_t)image->pixelHeight());
    } catch (Exiv2::AnyError &) {
        // Photos the library rejects are no finding.
    } catch (std::exception &) {
        // Nor are its other errors.
    }
    return 0;
}
