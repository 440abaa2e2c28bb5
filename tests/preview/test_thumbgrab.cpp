// thumbgrab on a private appliance root, with real jpegtran and cp: which preview lands in
// which EA entry, how it is turned, what stdout mode sends and as whom it reads, the command
// line, and that temporary files in /tmp are never written through a planted link and never
// left behind.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "photos.h"

namespace {

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;
using lumora::test::Swapper;

const std::string kPhotoDir = "/volume1/photo";
const std::string kScratch = "/volume1/scratch";
const std::string kSmall = "KAVOPHOTO_THUMB_PREVIEW.jpg";
const std::string kLarge = "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg";
const std::string kUsage =
    "USAGE : thumbgrab file_full_path\n"
    "USAGE : thumbgrab file_full_path --stdout username\n";

class Thumbgrab : public ::testing::Test {
   protected:
    ApplianceRoot root;

    void SetUp() override {
        root.makeDir(kScratch, 0700);
        root.makeDir(kPhotoDir, 0777);
    }

    // No run leaves a temporary preview in /tmp (apart from what a test planted there).
    void TearDown() override {
        EXPECT_EQ(tmpEntries(), planted_) << "temporary files left in /tmp";
    }

    std::string jpeg(int w, int h, unsigned seed, bool noise = false) {
        return photos::jpeg(kScratch, w, h, seed, noise);
    }
    std::string rotated(const std::string &data, int angle) {
        return photos::rotated(kScratch, data, angle);
    }

    // A JPEG photo in the photo folder with the given EXIF.
    std::string jpegPhoto(const std::string &name, const std::string &data, int orientation,
                          const std::string &thumbnail, int makerNoteRotation = 0) {
        std::string path = kPhotoDir + "/" + name;
        root.writeFile(path, data);
        if (orientation != 0 || !thumbnail.empty() || makerNoteRotation != 0) {
            photos::setExif(path, orientation, thumbnail, makerNoteRotation);
        }
        return path;
    }
    std::string rawPhoto(const std::string &name, const std::vector<photos::RawPreview> &previews,
                         int orientation = 0) {
        std::string path = kPhotoDir + "/" + name;
        root.writeFile(path, photos::rawStandIn(previews, orientation));
        return path;
    }

    static std::string eaDir(const std::string &photo) {
        size_t slash = photo.rfind('/');
        return photo.substr(0, slash) + "/@eaDir/" + photo.substr(slash + 1);
    }
    static std::string entry(const std::string &photo, const std::string &name) {
        return eaDir(photo) + "/" + name;
    }

    RunResult grab(const std::string &photo) const {
        return root.run({program("thumbgrab"), photo});
    }
    RunResult grabStdout(const std::string &photo, const std::string &user) const {
        return root.run({program("thumbgrab"), photo, "--stdout", user});
    }

    bool loggedMatch(const std::string &pattern) const {
        std::regex re(pattern);
        for (const std::string &line : root.logLines()) {
            if (std::regex_search(line, re)) {
                return true;
            }
        }
        return false;
    }
    // Whether one log line holds every part: for lines whose wording is the program's own
    // business, only the stable parts (a path, an errno text) are looked for.
    bool loggedLineWith(std::initializer_list<std::string> parts) const {
        for (const std::string &line : root.logLines()) {
            bool all = true;
            for (const std::string &part : parts) {
                all = all && line.find(part) != std::string::npos;
            }
            if (all) {
                return true;
            }
        }
        return false;
    }

    // The names in a folder, without "." and "..", that contain the fragment.
    static std::vector<std::string> namesIn(const std::string &dir,
                                            const std::string &fragment = "") {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        if (d == nullptr) {
            return names;
        }
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && name.find(fragment) != std::string::npos) {
                names.push_back(name);
            }
        }
        closedir(d);
        return names;
    }

    // The names in /tmp that look like temporary previews.
    static std::vector<std::string> tmpEntries() {
        std::vector<std::string> names;
        for (const std::string &name : namesIn("/tmp")) {
            if (name.rfind("thumb.", 0) == 0) {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A racing account's decoys for a photo: a link to victim beside its EA entry, a link to
    // outside beside its EA folder and a link to another user's secret photo beside the photo.
    // The pairs that exchange each of the three names with its decoy.
    Swapper::Pairs plantDecoys(const std::string &photo, const std::string &victim,
                               const std::string &outside, const std::string &secret) {
        const std::string ea = eaDir(photo);
        const std::string entryLink = ea + "/decoy";
        const std::string dirLink =
            kPhotoDir + "/@eaDir/decoy-" + photo.substr(photo.rfind('/') + 1);
        const std::string photoLink = photo + ".decoy";
        root.makeDir(ea, 0777);
        root.writeFile(ea + "/" + kSmall, "old");
        EXPECT_EQ(symlink(victim.c_str(), entryLink.c_str()), 0);
        EXPECT_EQ(symlink(outside.c_str(), dirLink.c_str()), 0);
        EXPECT_EQ(symlink(secret.c_str(), photoLink.c_str()), 0);
        return {{ea + "/" + kSmall, entryLink}, {ea, dirLink}, {photo, photoLink}};
    }

    // Names in /tmp that a test put there itself.
    std::vector<std::string> planted_;
};

// ---- file mode: ordinary photos ---------------------------------------------------------

TEST_F(Thumbgrab, ExifThumbnailIsStoredAsItStands) {
    std::string thumb = jpeg(160, 128, 1);
    std::string photo = jpegPhoto("IMG_0001.JPG", jpeg(640, 480, 2), 1, thumb);
    // An entry from an earlier run is replaced.
    root.writeFile(entry(photo, kSmall), "stale");

    RunResult r = grab(photo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), thumb);
    EXPECT_EQ(photos::pixelSize(entry(photo, kSmall)), std::make_pair(160u, 128u));
    // An ordinary photo gets no large preview.
    EXPECT_FALSE(ApplianceRoot::exists(entry(photo, kLarge)));
}

TEST_F(Thumbgrab, PlantedLinksInTheEADirectoryAreNotFollowed) {
    std::string thumb = jpeg(160, 128, 11);
    root.writeFile("/volume1/victim", "keep", 0600);

    // A link at the entry itself is replaced by the preview; its target stays as it was.
    std::string upright = jpegPhoto("LINK_1.JPG", jpeg(640, 480, 12), 1, thumb);
    root.makeDir(eaDir(upright), 0777);
    ASSERT_EQ(symlink("/volume1/victim", entry(upright, kSmall).c_str()), 0);
    std::string turned = jpegPhoto("LINK_6.JPG", jpeg(640, 480, 13), 6, thumb);
    root.makeDir(eaDir(turned), 0777);
    ASSERT_EQ(symlink("/volume1/victim", entry(turned, kSmall).c_str()), 0);
    EXPECT_EQ(grab(upright).status, 0);
    EXPECT_EQ(grab(turned).status, 0);
    EXPECT_EQ(photos::readBytes(entry(upright, kSmall)), thumb);
    EXPECT_EQ(photos::pixelSize(entry(turned, kSmall)), std::make_pair(128u, 160u));

    // A link in place of the photo's EA folder: nothing is written through it.
    root.makeDir("/volume1/elsewhere", 0755);
    std::string linked = jpegPhoto("LINK_DIR.JPG", jpeg(640, 480, 14), 1, thumb);
    ASSERT_EQ(symlink("/volume1/elsewhere", eaDir(linked).c_str()), 0);
    grab(linked);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/elsewhere/" + kSmall));
    EXPECT_EQ(photos::readBytes("/volume1/victim"), "keep");

    // A link in place of the folder's "@eaDir": not even the photo's EA folder is made in it.
    root.makeDir(kPhotoDir + "/album", 0777);
    root.makeDir("/volume1/aside", 0755);
    ASSERT_EQ(symlink("/volume1/aside", (kPhotoDir + "/album/@eaDir").c_str()), 0);
    std::string inAlbum = jpegPhoto("album/LINK_EA.JPG", jpeg(640, 480, 15), 1, thumb);
    grab(inAlbum);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/aside/LINK_EA.JPG"));
    EXPECT_TRUE(loggedLineWith({"/volume1/photo/album/@eaDir/LINK_EA.JPG"}));
}

TEST_F(Thumbgrab, HardLinkedEAEntriesAreReplacedNotWrittenThrough) {
    std::string thumb = jpeg(160, 128, 16);
    root.writeFile("/volume1/other", "keep", 0600);

    // The entry is a second name of a file elsewhere, for a plain copy and for jpegtran.
    std::string upright = jpegPhoto("HARD_1.JPG", jpeg(640, 480, 17), 1, thumb);
    std::string turned = jpegPhoto("HARD_6.JPG", jpeg(640, 480, 18), 6, thumb);
    for (const std::string &photo : {upright, turned}) {
        root.makeDir(eaDir(photo), 0777);
        ASSERT_EQ(link("/volume1/other", entry(photo, kSmall).c_str()), 0);
    }
    EXPECT_EQ(grab(upright).status, 0);
    EXPECT_EQ(grab(turned).status, 0);
    EXPECT_EQ(photos::readBytes("/volume1/other"), "keep");
    EXPECT_EQ(photos::readBytes(entry(upright, kSmall)), thumb);
    EXPECT_EQ(photos::readBytes(entry(turned, kSmall)), rotated(thumb, 90));
    struct stat st;
    ASSERT_EQ(stat("/volume1/other", &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST_F(Thumbgrab, OrientationTurnsThePreviewUpright) {
    std::string thumb = jpeg(160, 128, 3);
    struct {
        int orientation;
        int angle;
        std::pair<uint32_t, uint32_t> size;
    } cases[] = {{3, 180, {160, 128}}, {6, 90, {128, 160}}, {8, 270, {128, 160}}};
    for (const auto &c : cases) {
        SCOPED_TRACE("orientation " + std::to_string(c.orientation));
        std::string photo = jpegPhoto("O" + std::to_string(c.orientation) + ".JPG",
                                      jpeg(320, 240, 4), c.orientation, thumb);
        RunResult r = grab(photo);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string stored = photos::readBytes(entry(photo, kSmall));
        EXPECT_EQ(stored, rotated(thumb, c.angle));
        EXPECT_NE(stored, thumb);
        EXPECT_EQ(photos::pixelSize(entry(photo, kSmall)), c.size);
    }
}

TEST_F(Thumbgrab, MakerNoteRotationCountsOnlyBehindOrientationOne) {
    std::string thumb = jpeg(160, 128, 5);
    struct {
        const char *name;
        int orientation;
        int makerNote;
        int angle;  // 0: a plain copy
    } cases[] = {
        // Orientation 1 and a maker note saying 6 or 8: the maker note turns it.
        {"MN6.JPG", 1, 6, 90},
        {"MN8.JPG", 1, 8, 270},
        // Orientation other than 1 wins over the maker note.
        {"MN3.JPG", 3, 6, 180},
        // Without an orientation tag the maker note is not consulted.
        {"MN0.JPG", 0, 6, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string photo = jpegPhoto(c.name, jpeg(320, 240, 6), c.orientation, thumb, c.makerNote);
        EXPECT_EQ(grab(photo).status, 0);
        EXPECT_EQ(photos::readBytes(entry(photo, kSmall)),
                  c.angle ? rotated(thumb, c.angle) : thumb);
        bool across = c.angle == 90 || c.angle == 270;
        EXPECT_EQ(photos::pixelSize(entry(photo, kSmall)),
                  across ? std::make_pair(128u, 160u) : std::make_pair(160u, 128u));
    }
}

TEST_F(Thumbgrab, SmallPhotoWithoutPreviewIsItsOwnPreview) {
    // Exactly at the limit: the photo itself, copied or turned.
    std::string plain = kPhotoDir + "/AT_LIMIT.JPG";
    root.writeFile(plain, photos::padJpeg(jpeg(320, 240, 7), 102400));
    RunResult r = grab(plain);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(photos::readBytes(entry(plain, kSmall)), photos::readBytes(plain));

    std::string turned = jpegPhoto("AT_LIMIT_6.JPG", jpeg(320, 240, 8), 6, "");
    root.writeFile(turned, photos::padJpeg(photos::readBytes(turned), 102400));
    ASSERT_EQ(photos::readBytes(turned).size(), 102400u);
    EXPECT_EQ(grab(turned).status, 0);
    EXPECT_EQ(photos::readBytes(entry(turned, kSmall)), rotated(photos::readBytes(turned), 90));
    EXPECT_EQ(photos::pixelSize(entry(turned, kSmall)), std::make_pair(240u, 320u));

    // One byte over: nothing is written and the run fails.
    std::string over = kPhotoDir + "/OVER.JPG";
    root.writeFile(over, photos::padJpeg(jpeg(320, 240, 7), 102401));
    r = grab(over);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(over)));
}

TEST_F(Thumbgrab, PngPhotoIsStoredUnderTheJpgName) {
    std::string small = kPhotoDir + "/small.png";
    std::string bytes = photos::png(48, 32, 1);
    root.writeFile(small, bytes);
    ASSERT_EQ(photos::mimeType(small), "image/png");
    EXPECT_EQ(grab(small).status, 0);
    EXPECT_EQ(photos::readBytes(entry(small, kSmall)), bytes);
    EXPECT_EQ(photos::pixelSize(entry(small, kSmall)), std::make_pair(48u, 32u));

    std::string large = kPhotoDir + "/large.png";
    root.writeFile(large, photos::png(200, 200, 2));  // about 120 kB
    EXPECT_EQ(grab(large).status, 255);
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(large)));
}

TEST_F(Thumbgrab, UnreadableImageFailsQuietly) {
    std::string photo = kPhotoDir + "/notes.JPG";
    root.writeFile(photo, "this is no image at all\n");
    RunResult r = grab(photo);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(photo)));
    EXPECT_FALSE(loggedMatch("kavophoto_extract_preview"));
}

// ---- file mode: RAW photos -----------------------------------------------------------------

TEST_F(Thumbgrab, RawGetsLargestAndSmallPreview) {
    std::string small = jpeg(160, 128, 10);
    std::string large = photos::padJpeg(jpeg(1024, 768, 11), 300000);
    // A TIFF preview, larger than both, is never taken.
    std::string photo = rawPhoto("DSC_0001.NEF", {{small}, {"", 1280, 960}, {large}});
    ASSERT_NE(photos::mimeType(photo), "image/jpeg");

    RunResult r = grab(photo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(photos::readBytes(entry(photo, kLarge)), large);
    EXPECT_EQ(photos::pixelSize(entry(photo, kLarge)), std::make_pair(1024u, 768u));
    EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), small);
    EXPECT_EQ(photos::pixelSize(entry(photo, kSmall)), std::make_pair(160u, 128u));
}

TEST_F(Thumbgrab, RawPreviewsAreTurnedUpright) {
    std::string small = jpeg(160, 128, 12);
    std::string large = photos::padJpeg(jpeg(1024, 768, 13), 250000);
    struct {
        const char *name;
        int orientation;
        int angle;
    } cases[] = {{"DSC_0006.NEF", 6, 90}, {"DSC_0003.NEF", 8, 270}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string photo = rawPhoto(c.name, {{small}, {large}}, c.orientation);
        EXPECT_EQ(grab(photo).status, 0);
        EXPECT_EQ(photos::readBytes(entry(photo, kLarge)), rotated(large, c.angle));
        EXPECT_EQ(photos::pixelSize(entry(photo, kLarge)), std::make_pair(768u, 1024u));
        EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), rotated(small, c.angle));
        EXPECT_EQ(photos::pixelSize(entry(photo, kSmall)), std::make_pair(128u, 160u));
    }
}

// A wrong camera clock or a restored archive dates photos after January 2038.
TEST_F(Thumbgrab, PhotosDatedAfter2038GetTheirPreviews) {
    std::string small = jpeg(160, 128, 16);
    std::string large = photos::padJpeg(jpeg(1024, 768, 17), 200000);
    std::string raw = rawPhoto("DSC_2040.NEF", {{small}, {large}});
    std::string plain = jpegPhoto("IMG_2040.JPG", jpeg(640, 480, 18), 0, small);
    for (const std::string &photo : {raw, plain}) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = 2208988800;  // 2040-01-01
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
        RunResult r = grab(photo);
        EXPECT_EQ(r.status, 0) << photo << ": " << r.err;
        EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), small) << photo;
    }
    EXPECT_EQ(photos::readBytes(entry(raw, kLarge)), large);
}

TEST_F(Thumbgrab, RawWithOnlyBigPreviewsKeepsTheLargeOneAndFails) {
    std::string a = photos::padJpeg(jpeg(640, 480, 14), 120000);
    std::string b = photos::padJpeg(jpeg(800, 608, 15), 200000);
    std::string photo = rawPhoto("BIG.NEF", {{a}, {b}});

    RunResult r = grab(photo);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(photos::readBytes(entry(photo, kLarge)), b);
    EXPECT_FALSE(ApplianceRoot::exists(entry(photo, kSmall)));
}

TEST_F(Thumbgrab, RawWithoutUsablePreviewWritesNothing) {
    std::string photo = rawPhoto("TIFFONLY.NEF", {{"", 320, 240}});
    EXPECT_EQ(grab(photo).status, 255);
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(photo)));
}

// ---- file mode: ISO base media photos (CR3, HEIF) -------------------------------------------

TEST_F(Thumbgrab, IsoMediaPhotosGetTheirPreviewsByTheSameRules) {
    photos::enableBmff();
    std::string thumb = jpeg(160, 120, 100);
    std::string big = photos::padJpeg(jpeg(1620, 1080, 101), 400000);
    std::string modest = jpeg(640, 480, 102);
    struct Case {
        const char *name;
        photos::Cr3 shape;
        const std::string *large, *small;
        int angle;
    } cases[] = {
        // The preview is over the small limit: it is the large entry, the thumbnail the small.
        {"upright", {thumb, 160, 120, big, 1620, 1080, "", 1}, &big, &thumb, 0},
        {"orientation 6", {thumb, 160, 120, big, 1620, 1080, "", 6}, &big, &thumb, 90},
        {"orientation 8", {thumb, 160, 120, big, 1620, 1080, "", 8}, &big, &thumb, 270},
        // A preview within the limit and larger in area wins both entries.
        {"small preview", {thumb, 160, 120, modest, 640, 480, "", 0}, &modest, &modest, 0},
        // The HDR preview is no ordinary image type: never chosen, however large.
        {"HDR preview", {thumb, 160, 120, big, 1620, 1080, modest, 0}, &big, &thumb, 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string photo = kPhotoDir + "/IMG_" + std::to_string(n++) + ".CR3";
        root.writeFile(photo, photos::cr3(c.shape));
        ASSERT_EQ(photos::mimeType(photo), "image/x-canon-cr3");
        RunResult r = grab(photo);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string wantLarge = c.angle ? rotated(*c.large, c.angle) : *c.large;
        std::string wantSmall = c.angle ? rotated(*c.small, c.angle) : *c.small;
        EXPECT_EQ(photos::readBytes(entry(photo, kLarge)) == wantLarge, true);
        EXPECT_EQ(photos::readBytes(entry(photo, kSmall)) == wantSmall, true);
    }

    // A HEIF photo's EXIF thumbnail is both its previews, turned upright.
    std::string heic = kPhotoDir + "/IMG_0001.HEIC";
    root.writeFile(heic, photos::heif(thumb, 6));
    ASSERT_EQ(photos::mimeType(heic), "image/heic");
    EXPECT_EQ(grab(heic).status, 0);
    EXPECT_TRUE(photos::readBytes(entry(heic, kLarge)) == rotated(thumb, 90));
    EXPECT_TRUE(photos::readBytes(entry(heic, kSmall)) == rotated(thumb, 90));

    // Stdout mode sends the thumbnail as it stands.
    root.addUser("alice");
    std::string photo = kPhotoDir + "/IMG_0.CR3";
    RunResult r = grabStdout(photo, "alice");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.substr(r.out.find('\n') + 1) == thumb);
}

TEST_F(Thumbgrab, PreviewSelectionRules) {
    struct Case {
        const char *name;
        std::vector<photos::RawPreview> previews;
        size_t expected;  // index of the preview both entries must hold
    };
    std::string p160 = jpeg(160, 120, 20), p640 = jpeg(640, 480, 21);
    std::string p100 = jpeg(100, 100, 22), p130 = jpeg(130, 200, 23);
    std::string p200 = jpeg(200, 150, 24), p150 = jpeg(150, 200, 25);
    std::string p300 = jpeg(300, 120, 29), p140 = jpeg(140, 140, 30);
    std::string p80 = jpeg(80, 60, 26);
    std::vector<Case> cases = {
        {"larger later preview replaces", {{p160}, {p640}}, 1},
        {"narrow later preview does not", {{p100}, {p130}}, 0},
        {"low later preview does not", {{p100}, {p300}}, 0},
        {"140 pixels on both sides is enough", {{p100}, {p140}}, 1},
        {"equal areas keep the first", {{p200}, {p150}}, 0},
        {"small first candidate stays", {{p80}, {"", 640, 480}}, 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string photo = rawPhoto("SEL_" + std::to_string(n++) + ".NEF", c.previews);
        EXPECT_EQ(grab(photo).status, 0);
        const std::string &want = c.previews[c.expected].jpeg;
        EXPECT_EQ(photos::readBytes(entry(photo, kLarge)), want);
        EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), want);
    }
}

// Preview sides are 32-bit: their product is compared without wrapping. An XMP thumbnail can
// claim any size; one claiming 4294967295 pixels a side is larger than a 200 x 200 thumbnail.
TEST_F(Thumbgrab, PreviewAreasOfHugeSidesDoNotWrap) {
    std::string exifThumb = jpeg(200, 200, 32);
    std::string xmpThumb = jpeg(64, 64, 33);
    std::string photo = jpegPhoto("XMP_HUGE.JPG", jpeg(640, 480, 34), 1, exifThumb);
    photos::setXmpThumbnail(photo, xmpThumb, 4294967295u, 4294967295u);

    EXPECT_EQ(grab(photo).status, 0);
    EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), xmpThumb);

    // A claim of 60000 a side (over 32 bits as an area) still loses to nothing smaller.
    std::string modest = jpegPhoto("XMP_BIG.JPG", jpeg(640, 480, 35), 1, exifThumb);
    photos::setXmpThumbnail(modest, xmpThumb, 60000, 60000);
    EXPECT_EQ(grab(modest).status, 0);
    EXPECT_EQ(photos::readBytes(entry(modest, kSmall)), xmpThumb);
}

TEST_F(Thumbgrab, EADirectoryFailureIsLoggedAndTheRunCarriesOn) {
    std::string photo = jpegPhoto("IMG_0002.JPG", jpeg(320, 240, 30), 1, jpeg(160, 128, 31));
    // A plain file where the EA directories should go.
    root.writeFile(kPhotoDir + "/@eaDir", "in the way");

    RunResult r = grab(photo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        loggedMatch("^kavophoto_extract_preview:[0-9]+ Make ea dir path error\\. eaDir "
                    "path: /volume1/photo/@eaDir/IMG_0002\\.JPG$"));
    EXPECT_TRUE(
        loggedMatch("^kavophoto_extract_preview:[0-9]+ GetEADirPath failed: "
                    "/volume1/photo/IMG_0002\\.JPG\\[0x[0-9A-F]{4,} .*:[0-9]+\\]$"));
}

// ---- what root opens and writes: descriptors only ----------------------------------------

TEST_F(Thumbgrab, PhotosThatAreLinksOrNoFilesAreRefused) {
    root.addUser("alice");
    root.makeDir(kPhotoDir + "/alice", 0700, root.uidOf("alice"), root.gidOf("alice"));
    std::string secret = jpegPhoto("alice/SECRET.JPG", jpeg(320, 240, 110), 1, jpeg(160, 128, 111));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);

    // A link to another user's private photo: no preview of it lands beside the link.
    std::string stolen = kPhotoDir + "/STOLEN.JPG";
    ASSERT_EQ(symlink(secret.c_str(), stolen.c_str()), 0);
    RunResult r = grab(stolen);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists(kPhotoDir + "/@eaDir"));
    EXPECT_TRUE(loggedLineWith({stolen}));

    // A FIFO named like a photo ends the run in either mode instead of hanging it.
    std::string fifo = kPhotoDir + "/PIPE.JPG";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    EXPECT_EQ(grab(fifo).status, 255);
    EXPECT_EQ(grabStdout(fifo, "alice").status, 255);
    EXPECT_TRUE(loggedLineWith({fifo}));
}

// While thumbgrab runs again and again, a swapper exchanges (rename exchange) the EA entry,
// the photo's EA folder and the photo itself with links to places outside the photo's
// folder. No run may write through any of them.
TEST_F(Thumbgrab, SwappedInLinksAreNeverWrittenThrough) {
    const std::string victim = "/volume1/victim", outside = "/volume1/outside";
    root.writeFile(victim, "keep", 0600);
    root.makeDir(outside, 0755);
    root.addUser("alice");
    root.makeDir(kPhotoDir + "/alice", 0700, root.uidOf("alice"), root.gidOf("alice"));
    std::string secret = jpegPhoto("alice/SECRET.JPG", jpeg(320, 240, 120), 1, jpeg(160, 128, 121));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);

    std::string thumb = jpeg(160, 128, 122);
    std::vector<std::string> photosRun = {jpegPhoto("SWAP_1.JPG", jpeg(320, 240, 123), 1, thumb),
                                          jpegPhoto("SWAP_6.JPG", jpeg(320, 240, 124), 6, thumb)};
    Swapper::Pairs pairs;
    for (const std::string &photo : photosRun) {
        Swapper::Pairs decoys = plantDecoys(photo, victim, outside, secret);
        pairs.insert(pairs.end(), decoys.begin(), decoys.end());
    }

    int stored = 0;
    {
        Swapper swapper(pairs);
        for (int i = 0; i < 15; i++) {
            for (const std::string &photo : photosRun) {
                stored += grab(photo).status == 0;
            }
        }
    }

    EXPECT_GT(stored, 0);
    EXPECT_EQ(ApplianceRoot::readFile(victim), "keep");
    struct stat st;
    ASSERT_EQ(lstat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(namesIn(outside), std::vector<std::string>{}) << "written into " << outside;
    // The secret photo got no preview anywhere, and no temporary entry is left behind.
    EXPECT_FALSE(ApplianceRoot::exists(kPhotoDir + "/alice/@eaDir"));
    for (const auto &pair : pairs) {
        EXPECT_EQ(namesIn(pair.first, ".tmp"), std::vector<std::string>{}) << pair.first;
        EXPECT_EQ(namesIn(pair.second, ".tmp"), std::vector<std::string>{}) << pair.second;
    }
}

// ---- bounded work --------------------------------------------------------------------------

TEST_F(Thumbgrab, HostilePhotosEndWithFailureNotWithTheCaller) {
    // A tiny JPEG declaring 20000 x 20000 pixels with orientation 6: never handed to jpegtran.
    std::string bomb =
        jpegPhoto("BOMB.JPG", photos::claimDimensions(jpeg(16, 16, 130), 20000, 20000), 6, "");
    ASSERT_LT(photos::readBytes(bomb).size(), 102400u);
    RunResult r = grab(bomb);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(bomb)));
    EXPECT_TRUE(loggedLineWith({bomb, "20000x20000"}));

    // A RAW preview whose frame declares 60000 x 60000: chosen, but neither entry is stored.
    std::string raw =
        rawPhoto("BOMB.NEF", {{photos::claimDimensions(jpeg(64, 64, 131), 60000, 60000)}});
    r = grab(raw);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists(entry(raw, kLarge)));
    EXPECT_FALSE(ApplianceRoot::exists(entry(raw, kSmall)));
    EXPECT_TRUE(loggedLineWith({raw, "3600000000"}));

    // An 80-byte QuickTime file whose sample table claims billions of entries keeps the
    // parser busy for hours; under a CPU limit of one second both modes end with 255.
    std::string movie = kPhotoDir + "/HANG.MOV";
    std::string qt(
        "\0\0\0\x14"
        "ftypqt  \0\0\0\0qt  \0\0\0\xbc"
        "stts\0\0\0\0\xe6\x4c\x1d\xa6",
        36);
    root.writeFile(movie, qt + std::string(44, '\0'), 0644);
    root.addUser("alice");
    std::string bounded = "/volume1/scratch/bounded";
    root.writeFile(bounded, "#!/bin/sh\nulimit -t 1\nexec " + program("thumbgrab") + " \"$@\"\n",
                   0755);
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{bounded, movie},
          std::vector<std::string>{bounded, movie, "--stdout", "alice"}}) {
        SCOPED_TRACE(argv.size());
        root.clearLog();
        r = root.run(argv);
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(loggedLineWith({movie, "CPU time"}));
    }
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(movie)));
}

// ---- temporary files ---------------------------------------------------------------------

// The temporary names are predictable (process id, and the generator seeded with the time),
// so links planted at them must never be written through, in either mode. A wrapper plants
// the links under its own process id and then becomes the program.
TEST_F(Thumbgrab, PlantedLinksAtTemporaryNamesAreNotFollowed) {
    const std::string victim = "/volume1/victim";
    root.writeFile(victim, "precious\n", 0644);
    std::string small = jpeg(160, 128, 40);
    std::string large = photos::padJpeg(jpeg(640, 480, 41), 150000);
    std::string photo = rawPhoto("LINKED.NEF", {{small}, {large}});
    root.addUser("alice");

    std::vector<unsigned> seeds;
    time_t now = time(nullptr);
    for (time_t t = now - 2; t <= now + 60; t++) {
        seeds.push_back((unsigned)t);
    }
    seeds.push_back(1);  // stdout mode uses the generator unseeded

    std::string wrapper = "/volume1/scratch/plant";
    root.writeFile(wrapper,
                   "#!/bin/sh\n"
                   "pid=$(printf %x $$)\n"
                   "for n in $(/bin/cat /volume1/scratch/names); do\n"
                   "  /bin/ln -s " +
                       victim +
                       " /tmp/thumb.$pid.$n.jpg || exit 99\n"
                       "done\n"
                       "exec " +
                       program("thumbgrab") + " \"$@\"\n",
                   0755);
    // The generator's first numbers for each seed; the wrapper adds its own process id.
    std::string randomParts;
    for (unsigned seed : seeds) {
        srandom(seed);
        for (int i = 0; i < 3; i++) {
            char part[32];
            snprintf(part, sizeof(part), "%lx", (unsigned long)random());
            randomParts += std::string(part) + "\n";
        }
    }
    root.writeFile("/volume1/scratch/names", randomParts);

    RunResult r = root.run({wrapper, photo});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ApplianceRoot::readFile(victim), "precious\n");
    EXPECT_EQ(photos::readBytes(entry(photo, kLarge)), large);
    EXPECT_EQ(photos::readBytes(entry(photo, kSmall)), small);

    r = root.run({wrapper, photo, "--stdout", "alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ApplianceRoot::readFile(victim), "precious\n");
    std::regex header("^/tmp/thumb\\.[0-9a-f]+\\.[0-9a-f]+\\.jpg\n");
    EXPECT_TRUE(std::regex_search(r.out, header));
    size_t nl = r.out.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(r.out.substr(nl + 1), small);

    // The links are somebody else's: left where they are, still links. Nothing else remains.
    size_t links = 0;
    for (const std::string &name : tmpEntries()) {
        struct stat st;
        ASSERT_EQ(lstat(("/tmp/" + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << name;
        planted_.push_back(name);
        links++;
    }
    EXPECT_EQ(links, 2 * 3 * seeds.size());
}

// ---- stdout mode ---------------------------------------------------------------------------

TEST_F(Thumbgrab, StdoutSendsTheSmallPreviewUnturned) {
    root.addUser("alice");
    std::string thumb = jpeg(160, 128, 50);
    std::string photo = jpegPhoto("IMG_0050.JPG", jpeg(640, 480, 51), 6, thumb);

    RunResult r = grabStdout(photo, "alice");
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.out, m, std::regex("^(/tmp/thumb\\.[0-9a-f]+\\.[0-9a-f]+\\.jpg)\n")))
        << r.out.substr(0, 80);
    EXPECT_EQ(r.out.substr(m.length(0)), thumb);
    EXPECT_FALSE(ApplianceRoot::exists(m.str(1)));
    // Stdout mode stores nothing.
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(photo)));
}

TEST_F(Thumbgrab, StdoutSendsAnOrdinaryPhotoWithoutPreviewWhole) {
    root.addUser("alice");
    std::string photo = kPhotoDir + "/BIG.JPG";
    std::string bytes = jpeg(512, 512, 52, true);
    ASSERT_GT(bytes.size(), 102400u);  // no size limit in this mode
    root.writeFile(photo, bytes);

    RunResult r = grabStdout(photo, "alice");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, photo + "\n" + bytes);
}

TEST_F(Thumbgrab, StdoutOnRawPhotos) {
    root.addUser("alice");
    std::string small = jpeg(160, 128, 53);
    std::string large = photos::padJpeg(jpeg(640, 480, 54), 150000);
    std::string photo = rawPhoto("RAW.NEF", {{small}, {large}}, 6);

    RunResult r = grabStdout(photo, "alice");
    EXPECT_EQ(r.status, 0) << r.err;
    size_t nl = r.out.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(r.out.substr(nl + 1), small);

    // Only previews over the limit and a photo that is no ordinary image: nothing to send.
    std::string big = rawPhoto("RAWBIG.NEF", {{large}});
    r = grabStdout(big, "alice");
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Thumbgrab, StdoutReadsWithTheUsersRights) {
    root.addUser("alice");
    root.addUser("bob");
    root.addUser("carol");
    root.addGroup("family", 0, {"carol"});
    root.makeDir(kPhotoDir + "/alice", 0755, root.uidOf("alice"), root.gidOf("alice"));
    std::string thumb = jpeg(160, 128, 60);
    std::string photo = jpegPhoto("alice/PRIVATE.JPG", jpeg(320, 240, 61), 1, thumb);
    ASSERT_EQ(chown(photo.c_str(), root.uidOf("alice"), root.gidOf("family")), 0);
    ASSERT_EQ(chmod(photo.c_str(), 0640), 0);

    // Only alice and the group may read it; bob gets nothing.
    RunResult r = grabStdout(photo, "bob");
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(loggedLineWith({photo, "Permission denied"}));

    // alice as the owner, carol through her supplementary group, and the owner's account
    // again under a name of another case.
    for (const char *user : {"alice", "carol", "ALICE"}) {
        SCOPED_TRACE(user);
        r = grabStdout(photo, user);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), thumb);
    }
}

TEST_F(Thumbgrab, StdoutWithoutAUsableUserFails) {
    std::string photo = jpegPhoto("IMG_0070.JPG", jpeg(320, 240, 70), 1, jpeg(160, 128, 71));

    RunResult r = grabStdout(photo, "nobody-here");
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(loggedMatch("^kavophoto_extract_preview:[0-9]+ KAVOUserGet failed\\.\\n?$"));

    root.clearLog();
    r = grabStdout(photo, "");
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(loggedMatch("^kavophoto_extract_preview:[0-9]+ error$"));
}

// ---- command line -----------------------------------------------------------------------

TEST_F(Thumbgrab, WrongArgumentCountPrintsUsage) {
    std::vector<std::vector<std::string>> lines = {
        {program("thumbgrab")},
        {program("thumbgrab"), "/volume1/photo/a.jpg", "--stdout"},
        {program("thumbgrab"), "/volume1/photo/a.jpg", "--stdout", "alice", "extra"},
    };
    for (const auto &argv : lines) {
        SCOPED_TRACE(std::to_string(argv.size() - 1) + " arguments");
        RunResult r = root.run(argv);
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(r.out, kUsage);
    }
}

TEST_F(Thumbgrab, MissingFileIsLogged) {
    const std::string missing = kPhotoDir + "/gone.jpg";
    const std::string pattern =
        "^kavophoto_extract_preview:[0-9]+ File doesn't exists: /volume1/photo/gone\\.jpg\\n?$";
    std::vector<std::vector<std::string>> lines = {
        {program("thumbgrab"), missing},
        {program("thumbgrab"), missing, "--stdout", "alice"},
        {program("thumbgrab"), missing, "--other", "x"},
    };
    for (const auto &argv : lines) {
        SCOPED_TRACE(argv.size() - 1);
        root.clearLog();
        RunResult r = root.run(argv);
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(loggedMatch(pattern));
    }
    // Logged under the program's own name.
    bool ident = false;
    for (const std::string &line : root.logLinesWithIdent()) {
        ident = ident || line.rfind("thumbgrab: kavophoto_extract_preview:", 0) == 0;
    }
    EXPECT_TRUE(ident);
}

TEST_F(Thumbgrab, ThreeArgumentsWithoutStdoutDoNothing) {
    std::string photo = jpegPhoto("IMG_0080.JPG", jpeg(320, 240, 80), 6, jpeg(160, 128, 81));
    RunResult r = root.run({program("thumbgrab"), photo, "--stdin", "alice"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(ApplianceRoot::exists(eaDir(photo)));
}

}  // namespace
