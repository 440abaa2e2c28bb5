// thumbgrab: pulls an image that a photo carries out of it.
//
//   thumbgrab FILE                      stores a small preview of FILE, turned upright, as the
//                                       EA entry "KAVOPHOTO_THUMB_PREVIEW.jpg"; for RAW and other
//                                       non-ordinary photos also the largest embedded preview as
//                                       "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg".
//   thumbgrab FILE --stdout USERNAME    reads FILE with the rights of USERNAME and writes a small
//                                       preview to standard output behind a one-line header
//                                       naming the file it came from.
//
// Previews are written to a temporary file in /tmp first. File mode runs as root, so each
// temporary file is created exclusively (never through a link somebody planted at the name)
// and is removed again on every path.

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <string>

#include <exiv2/exiv2.hpp>

#include "kavocore.h"
#include "kavosdk.h"

#define SZ_SOURCE "kavophoto_extract_preview"
#define SZ_PROGRAM "thumbgrab"

#define SZF_JPEGTRAN "/usr/bin/jpegtran"
#define SZF_CP "/bin/cp"
#define SZ_THUMB_PREVIEW "KAVOPHOTO_THUMB_PREVIEW.jpg"
#define SZ_THUMB_LARGE_PREVIEW "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg"
#define SZ_OPT_STDOUT "--stdout"
// Process id and a number from random(), both in lower-case hexadecimal; the preview's
// extension (".jpg", ".tif", ...) is appended.
#define SZ_TMP_NAME_FORMAT "/tmp/thumb.%x.%lx"

#define PATH_BUF_SIZE 4096
#define COPY_BUF_SIZE 4096
#define ANGLE_BUF_SIZE 4
// A preview (or an ordinary photo) of at most this many bytes is small.
#define SMALL_LIMIT 102400
// A later preview replaces the current choice only when both its sides reach this.
#define MIN_SIDE 140
// Names already taken in /tmp are skipped; after this many the write-out gives up.
#define TMP_CREATE_TRIES 64
// Results of createTempPreview when no file was made.
#define TMP_OPEN_FAILED -1
#define TMP_WRITE_FAILED -2

enum {
    ROTATE_NONE = 0,
    ROTATE_90 = 1,
    ROTATE_180 = 2,
    ROTATE_270 = 3,
};

enum PreviewFilter {
    FILTER_OPEN,   // every preview
    FILTER_SMALL,  // previews of at most SMALL_LIMIT bytes
};

static const char *const rgszOrdinaryTypes[] = {
    "image/jpeg",
    "image/png",
    "image/gif",
    "image/x-ms-bmp",
};

// Consulted in this order when "Exif.Image.Orientation" says 1.
static const char *const rgszMakerNoteRotationKeys[] = {
    "Exif.Panasonic.Rotation",   "Exif.MinoltaCs5D.Rotation",    "Exif.MinoltaCs5D.Rotation2",
    "Exif.MinoltaCs7D.Rotation", "Exif.Sony1MltCsA100.Rotation", "Exif.Sony1Cs.Rotation",
    "Exif.Sony2Cs.Rotation",     "Exif.Sony1Cs2.Rotation",       "Exif.Sony2Cs2.Rotation",
};

static bool isOrdinaryType(const std::string &mimeType) {
    for (size_t i = 0; i < sizeof(rgszOrdinaryTypes) / sizeof(rgszOrdinaryTypes[0]); i++) {
        if (mimeType == rgszOrdinaryTypes[i]) {
            return true;
        }
    }
    return false;
}

// The first candidate is taken whatever its size; a later one replaces it only when it is
// strictly larger in area and at least MIN_SIDE pixels on both sides. Areas are compared as
// unsigned 64-bit products, which hold any two 32-bit sides: a 32-bit product wraps and would
// rank a huge preview as tiny (and a signed 64-bit one still overflows on sides near 2^32).
static const Exiv2::PreviewProperties *selectPreview(const Exiv2::PreviewPropertiesList &list,
                                                     PreviewFilter filter) {
    const Exiv2::PreviewProperties *pChoice = NULL;
    uint64_t choiceArea = 0;

    for (size_t i = 0; i < list.size(); i++) {
        const Exiv2::PreviewProperties &props = list[i];
        if (!isOrdinaryType(props.mimeType_)) {
            continue;
        }
        if (filter == FILTER_SMALL && props.size_ > SMALL_LIMIT) {
            continue;
        }
        uint64_t area = (uint64_t)props.width_ * (uint64_t)props.height_;
        if (pChoice == NULL) {
            pChoice = &props;
            choiceArea = area;
            continue;
        }
        if (area > choiceArea && props.width_ >= MIN_SIDE && props.height_ >= MIN_SIDE) {
            pChoice = &props;
            choiceArea = area;
        }
    }
    return pChoice;
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

// The rotation that turns the photo upright. "Exif.Image.Orientation" decides; only when it
// says 1 do the maker-note keys get a say, and without it there is no rotation at all. The
// photo is already open with its metadata read, so its EXIF data is looked at directly
// instead of parsing the file a second time.
static int getRotation(const Exiv2::ExifData &exifData) {
    Exiv2::ExifData::const_iterator it = exifData.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (it == exifData.end()) {
        return ROTATE_NONE;
    }
    std::string value = it->toString();
    if (value != "1") {
        return rotationFromText(value);
    }

    for (size_t i = 0; i < sizeof(rgszMakerNoteRotationKeys) / sizeof(rgszMakerNoteRotationKeys[0]);
         i++) {
        try {
            Exiv2::ExifData::const_iterator mn =
                exifData.findKey(Exiv2::ExifKey(rgszMakerNoteRotationKeys[i]));
            if (mn != exifData.end()) {
                return rotationFromText(mn->toString());
            }
        } catch (Exiv2::AnyError &) {
            // A key this library does not know: try the next one.
        }
    }
    return ROTATE_NONE;
}

static int writeAll(int fd, const void *pData, size_t size) {
    const unsigned char *p = (const unsigned char *)pData;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

// Writes the preview to a new temporary file and returns its descriptor (read and write,
// positioned at the end) with the file's full name in szPath. The file is created
// exclusively, so a name that exists already (a file or a planted link) is never written
// through: the next number of the generator is tried instead. On failure nothing is left
// and the result is TMP_OPEN_FAILED or TMP_WRITE_FAILED.
static int createTempPreview(const Exiv2::PreviewImage &preview, char *szPath, size_t cbPath) {
    std::string extension = preview.extension();
    int fd = -1;

    for (int tries = 0; tries < TMP_CREATE_TRIES; tries++) {
        char szName[PATH_BUF_SIZE];
        if (VLIBCStrPrintf(szName, sizeof(szName), SZ_TMP_NAME_FORMAT, (unsigned int)getpid(),
                           (unsigned long)random()) < 0 ||
            VLIBCStrPrintf(szPath, cbPath, "%s%s", szName, extension.c_str()) < 0) {
            KAVOLOG(SZ_SOURCE, "temporary name too long");
            return TMP_OPEN_FAILED;
        }
        fd = open(szPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "open thumb path fail[%s][%m]", szPath);
        return TMP_OPEN_FAILED;
    }
    if (writeAll(fd, preview.pData(), preview.size()) < 0) {
        KAVOLOG(SZ_SOURCE, "write thumb path fail[%s][%m]", szPath);
        close(fd);
        unlink(szPath);
        return TMP_WRITE_FAILED;
    }
    return fd;
}

// The "@eaDir" folder that holds the photo's EA folder; false when there is none.
static bool eaParentOf(const char *szEADir, char *szParent, size_t size) {
    if (VLIBCStrCopy(szParent, size, szEADir) != 0) {
        return false;
    }
    char *slash = strrchr(szParent, '/');
    if (slash == NULL || slash == szParent) {
        return false;
    }
    *slash = '\0';
    return true;
}

// True when the photo's EA folder and the "@eaDir" above it are real folders, not links.
static bool isRealEADir(const char *szEADir) {
    char szParent[PATH_BUF_SIZE];
    struct stat st;

    return eaParentOf(szEADir, szParent, sizeof(szParent)) && lstat(szParent, &st) == 0 &&
           S_ISDIR(st.st_mode) && lstat(szEADir, &st) == 0 && S_ISDIR(st.st_mode);
}

// True when the "@eaDir" that holds the photo's EA folder is a symbolic link.
static bool isLinkedEAParent(const char *szEADir) {
    char szParent[PATH_BUF_SIZE];
    struct stat st;

    return eaParentOf(szEADir, szParent, sizeof(szParent)) && lstat(szParent, &st) == 0 &&
           S_ISLNK(st.st_mode);
}

// Stores szSource as the photo's EA entry szEntry: through jpegtran when it must be turned,
// else as a plain copy. Whether the outside program succeeded is not examined.
static int placeInEA(const char *szSource, const char *szPhoto, int rotation, const char *szEntry) {
    char szEADir[PATH_BUF_SIZE];
    char szDest[PATH_BUF_SIZE];
    struct stat st;

    if (szPhoto == NULL) {
        KAVOLOG(SZ_SOURCE, "Bad parameters.");
        goto Err;
    }
    if (KAVOEADirPath(0, szPhoto, szEADir, sizeof(szEADir)) != 0) {
        KAVOLOG(SZ_SOURCE, "Get ea dir path error. file path: %s", szPhoto);
        goto Err;
    }
    // Nothing, not even a folder, is made through a link planted in place of "@eaDir".
    if (isLinkedEAParent(szEADir)) {
        KAVOLOG(SZ_SOURCE, "ea dir is not a folder of its own: %s", szEADir);
        return -1;
    }
    if (stat(szEADir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (KAVOEAMKDir(1, szEADir) != 0) {
            KAVOLOG(SZ_SOURCE, "Make ea dir path error. eaDir path: %s", szEADir);
            goto Err;
        }
    }
    if (KAVOEAPath(0, szPhoto, szEntry, szDest, sizeof(szDest), 0) < 0) {
        goto Err;
    }
    // The photo's folder may be writable by its users, and the copy runs as root: never write
    // through a link planted at the EA folders or at the entry itself.
    if (!isRealEADir(szEADir)) {
        KAVOLOG(SZ_SOURCE, "ea dir is not a folder of its own: %s", szEADir);
        return -1;
    }
    // A second name of the entry's file (a hard link) may be anywhere: copying over it would
    // change that file too. Such an entry is removed and made afresh, like a link.
    if (lstat(szDest, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_nlink > 1) &&
        unlink(szDest) != 0) {
        KAVOLOG(SZ_SOURCE, "cannot replace ea entry %s: %m", szDest);
        return -1;
    }

    if (rotation & 3) {
        char szAngle[ANGLE_BUF_SIZE];
        char szJpegtran[] = SZF_JPEGTRAN;
        char szTrim[] = "-trim";
        char szRotate[] = "-rotate";
        char szOutfile[] = "-outfile";
        char szSrc[PATH_BUF_SIZE];

        snprintf(szAngle, sizeof(szAngle), "%d", (rotation & 3) * 90);
        if (VLIBCStrCopy(szSrc, sizeof(szSrc), szSource) < 0) {
            goto Err;
        }
        char *const argv[] = {szJpegtran, szTrim, szRotate, szAngle,
                              szOutfile,  szDest, szSrc,    NULL};
        VLIBCExecv(SZF_JPEGTRAN, argv, 1);
    } else {
        VLIBCExec(SZF_CP, szSource, szDest, NULL, NULL);
    }
    return 0;

Err:
    KAVOLOG(SZ_SOURCE, "GetEADirPath failed: %s[0x%04X %s:%d]", szPhoto ? szPhoto : "",
            VLIBCErrGet(), VLIBCErrorGetFile() ? VLIBCErrorGetFile() : "", VLIBCErrorGetLine());
    return -1;
}

// Writes the preview to a temporary file, stores that as the EA entry and removes it again.
// -1 only when the temporary file cannot be made; the placement's result is not examined.
static int writePreviewToEA(const char *szPhoto, const Exiv2::PreviewImage &preview, int rotation,
                            const char *szEntry) {
    char szTmp[PATH_BUF_SIZE];

    srand((unsigned int)time(NULL));
    int fd = createTempPreview(preview, szTmp, sizeof(szTmp));
    if (fd < 0) {
        return -1;
    }
    close(fd);
    placeInEA(szTmp, szPhoto, rotation, szEntry);
    unlink(szTmp);
    return 0;
}

// The photo mapped into memory for Exiv2 to read. Exiv2 given a path stats it through the C
// library, which in a build for a 32-bit CPU without 64-bit times fails with EOVERFLOW for a
// photo dated after January 2038; the mapping is made from our own descriptor instead. What
// cannot be mapped (missing, unreadable, not a regular file, empty) is left to Exiv2's own
// open, which reports it as before.
typedef struct {
    void *pData;  // NULL: not mapped
    size_t cbData;
} PHOTO_MAP;

static void mapPhoto(const char *szPhoto, PHOTO_MAP *pMap) {
    struct stat st;

    pMap->pData = NULL;
    pMap->cbData = 0;
    int fd = KAVOFileOpenRegular(AT_FDCWD, szPhoto, O_RDONLY, 0);
    if (fd < 0) {
        return;
    }
    // Exiv2 takes the size as a long.
    if (fstat(fd, &st) == 0 && st.st_size > 0 && (uint64_t)st.st_size <= (uint64_t)LONG_MAX) {
        void *p = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            pMap->pData = p;
            pMap->cbData = (size_t)st.st_size;
        }
    }
    close(fd);
}

static void unmapPhoto(PHOTO_MAP *pMap) {
    if (pMap->pData != NULL) {
        munmap(pMap->pData, pMap->cbData);
    }
}

static Exiv2::Image::AutoPtr openImage(const char *szPhoto, const PHOTO_MAP *pMap) {
    if (pMap->pData == NULL) {
        return Exiv2::ImageFactory::open(szPhoto);
    }
    return Exiv2::ImageFactory::open((const Exiv2::byte *)pMap->pData, (long)pMap->cbData);
}

static int storePreviews(const char *szPhoto, const PHOTO_MAP *pMap) {
    try {
        Exiv2::Image::AutoPtr image = openImage(szPhoto, pMap);
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
        std::string mimeType = image->mimeType();
        int rotation = getRotation(image->exifData());
        const Exiv2::PreviewProperties *pChoice;
        struct stat st;

        if (!isOrdinaryType(mimeType)) {
            pChoice = selectPreview(list, FILTER_OPEN);
            if (pChoice != NULL) {
                Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
                if (writePreviewToEA(szPhoto, preview, rotation, SZ_THUMB_LARGE_PREVIEW) < 0) {
                    return -1;
                }
            }
        }

        pChoice = selectPreview(list, FILTER_SMALL);
        if (pChoice != NULL) {
            Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
            if (writePreviewToEA(szPhoto, preview, rotation, SZ_THUMB_PREVIEW) < 0) {
                return -1;
            }
            return 0;
        }

        if (stat(szPhoto, &st) != 0) {
            return 0;
        }
        if (isOrdinaryType(mimeType) && st.st_size <= (off_t)SMALL_LIMIT) {
            placeInEA(szPhoto, szPhoto, rotation, SZ_THUMB_PREVIEW);
            return 0;
        }
        return -1;
    } catch (Exiv2::AnyError &) {
        return -1;
    } catch (std::exception &) {
        return -1;
    }
}

static int fileMode(const char *szPhoto) {
    PHOTO_MAP map;

    mapPhoto(szPhoto, &map);
    int ret = storePreviews(szPhoto, &map);
    unmapPhoto(&map);
    return ret;
}

// Takes on the user's identity for everything that follows: effective group, the user's
// groups and effective user. The real user id stays 0.
static int becomeUser(const char *szUser) {
    char szLogin[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER pUser = NULL;
    uid_t uid;
    gid_t gid;

    if (setuid(0) != 0) {
        // Not fatal by itself: the identity changes below report what cannot be done.
    }
    if (KAVOUserLoginNameConvert(szUser, szLogin, sizeof(szLogin)) <= 0) {
        // A name too long for the buffer is no account's name: let the lookup fail.
        if (VLIBCStrCopy(szLogin, sizeof(szLogin), szUser) < 0) {
            szLogin[0] = '\0';
        }
    }
    if (szLogin[0] == '\0' || KAVOUserGet(szLogin, &pUser) != 0 || pUser == NULL) {
        KAVOLOG(SZ_SOURCE, "KAVOUserGet failed.\n");
        return -1;
    }
    uid = pUser->uid;
    gid = pUser->gid;
    KAVOUserFree(pUser);

    if (setegid(gid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to setegid [%d]: %s", (int)gid, strerror(errno));
        return -1;
    }
    if (initgroups(szUser, gid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to initgroups [%s]: %s", szUser, strerror(errno));
        return -1;
    }
    if (seteuid(uid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to seteuid [%d]: %s", (int)uid, strerror(errno));
        return -1;
    }
    return 0;
}

// Writes "szHeader\n" and then the bytes of fd from where it stands, through one buffer.
// Reading stops at the end or at a read error; -1 only when standard output fails.
static int streamFile(int fd, const char *szHeader) {
    char buf[COPY_BUF_SIZE];

    if (writeAll(STDOUT_FILENO, szHeader, strlen(szHeader)) < 0 ||
        writeAll(STDOUT_FILENO, "\n", 1) < 0) {
        KAVOLOG(SZ_SOURCE, "write to stdout failed: %m");
        return -1;
    }
    if (fd < 0) {
        return 0;
    }
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (writeAll(STDOUT_FILENO, buf, (size_t)n) < 0) {
            KAVOLOG(SZ_SOURCE, "write to stdout failed: %m");
            return -1;
        }
    }
    return 0;
}

// Sends the small preview: written to a temporary file, which is removed before streaming
// starts so that nothing stays behind even if the reader goes away mid-stream. A temporary
// file that cannot be created means no output and success; one that cannot be written in
// full (a full /tmp) is a failure.
static int streamPreview(const Exiv2::PreviewImage &preview) {
    char szTmp[PATH_BUF_SIZE];
    int ret;

    int fd = createTempPreview(preview, szTmp, sizeof(szTmp));
    if (fd == TMP_OPEN_FAILED) {
        return 0;
    }
    if (fd < 0) {
        return -1;
    }
    if (unlink(szTmp) != 0) {
        KAVOLOG(SZ_SOURCE, "unlink error: %s", strerror(errno));
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        KAVOLOG(SZ_SOURCE, "open thumb path fail[%s][%m]", szTmp);
        close(fd);
        return 0;
    }
    ret = streamFile(fd, szTmp);
    close(fd);
    return ret;
}

// With the user's rights: the small preview, or else an ordinary photo itself, whatever its
// size and without turning it.
static int sendSmallPreviewOf(const char *szPhoto, const PHOTO_MAP *pMap) {
    try {
        Exiv2::Image::AutoPtr image = openImage(szPhoto, pMap);
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
        const Exiv2::PreviewProperties *pChoice = selectPreview(list, FILTER_SMALL);
        struct stat st;

        if (pChoice != NULL) {
            Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
            return streamPreview(preview);
        }

        if (stat(szPhoto, &st) != 0) {
            return 0;
        }
        if (!isOrdinaryType(image->mimeType())) {
            return -1;
        }
        int fd = open(szPhoto, O_RDONLY | O_CLOEXEC);
        int ret = streamFile(fd, szPhoto);
        if (fd >= 0) {
            close(fd);
        }
        return ret;
    } catch (Exiv2::AnyError &e) {
        KAVOLOG(SZ_SOURCE, "Exiv2::AnyError, code = %d", e.code());
        return -1;
    } catch (std::exception &e) {
        KAVOLOG(SZ_SOURCE, "exception: %s", e.what());
        return -1;
    }
}

static int sendSmallPreview(const char *szPhoto) {
    PHOTO_MAP map;

    mapPhoto(szPhoto, &map);
    int ret = sendSmallPreviewOf(szPhoto, &map);
    unmapPhoto(&map);
    return ret;
}

static int stdoutMode(const char *szPhoto, const char *szUser) {
    int ret;

    if (szPhoto == NULL || szPhoto[0] == '\0' || szUser == NULL || szUser[0] == '\0') {
        KAVOLOG(SZ_SOURCE, "error");
        return -1;
    }
    if (becomeUser(szUser) < 0) {
        return -1;
    }
    ret = sendSmallPreview(szPhoto);

    // The work is done: end with the identity the run started with (the real user is root
    // throughout), so that whatever inspects the process as it exits sees plain root.
    if (seteuid(0) != 0 || setegid(0) != 0) {
        // Nothing is left to do with the user's rights; the exit status stands.
    }
    return ret;
}

static void usage(void) {
    printf("USAGE : " SZ_PROGRAM " file_full_path\n");
    printf("USAGE : " SZ_PROGRAM " file_full_path " SZ_OPT_STDOUT " username\n");
}

int main(int argc, char **argv) {
    FILE *fp;

    openlog(SZ_PROGRAM, LOG_PID, LOG_USER);

    if (argc != 2 && argc != 4) {
        usage();
        return -1;
    }

    fp = fopen(argv[1], "r");
    if (fp == NULL) {
        KAVOLOG(SZ_SOURCE, "File doesn't exists: %s\n", argv[1]);
        return -1;
    }
    fclose(fp);

    if (argc == 2) {
        return fileMode(argv[1]);
    }
    if (strcmp(argv[2], SZ_OPT_STDOUT) == 0) {
        return stdoutMode(argv[1], argv[3]);
    }
    return 0;
}
