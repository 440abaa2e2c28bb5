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
// File mode runs as root in folders that the gallery's users write, so nothing is ever done
// by a name twice. The photo is opened once, without following a link, and read through that
// descriptor; its EA folders are opened (or made) link-free beneath the photo's folder; an
// entry is written into a new temporary file inside the opened EA folder, handed to jpegtran
// or cp as an inherited descriptor, and renamed over the entry within that folder, so a link
// or a second name planted at the entry is replaced, never written through.
//
// Photos are untrusted input. Exiv2 reads each one in a child process bounded in CPU time and
// address space, and jpegtran and cp run under bounds of their own; a photo that hangs the
// parser or asks for more memory than the bounds allow ends with the mode's failure status
// and a log line. A preview whose frame declares more than PREVIEW_MAX_PIXELS pixels is
// neither turned nor stored. Bounds that the caller already set tighter are kept.

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <inttypes.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string>

#include <exiv2/exiv2.hpp>

#include "kavocore.h"
#include "kavosdk.h"
#include "preview_choice.h"

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
// A new entry is written under this name inside the EA folder first: the entry's name, the
// process id and a try count.
#define SZ_EA_TMP_FORMAT ".%s.%x.%d.tmp"
#define SZ_FD_PATH_FORMAT "/proc/self/fd/%d"

#define COPY_BUF_SIZE 4096
#define ANGLE_BUF_SIZE 4
#define FD_PATH_SIZE 32
// Names already taken are skipped; after this many the write-out gives up.
#define TMP_CREATE_TRIES 64
// Results of createTempPreview when no file was made.
#define TMP_OPEN_FAILED -1
#define TMP_WRITE_FAILED -2
// Result of childResult and runTool, and so of placeInEA besides 0 and -1: a bound or a
// signal stopped the child.
#define CHILD_STOPPED -2
#define PLACE_STOPPED CHILD_STOPPED
// Result of openEADir when a link stands in place of an EA folder.
#define EA_LINKED -2
// Result of writePreviewToEA for a preview over the pixel bound.
#define PREVIEW_REFUSED -2

// Bounds of the work one photo may cause. Exiv2 reads a RAW photo in well under a second;
// it maps the whole file, so its address space is the photo's size plus PARSE_AS_BYTES.
// jpegtran turns a frame of PREVIEW_MAX_PIXELS in a few seconds and about 600 MiB.
#define PARSE_CPU_SECONDS 20
#define PARSE_AS_BYTES (768ULL << 20)
#define TRANSFORM_CPU_SECONDS 60
#define TRANSFORM_AS_BYTES (1536ULL << 20)

// The sanitizers reserve terabytes of address space: under them only the CPU time is bounded.
#if defined(__SANITIZE_ADDRESS__)
#define BOUND_ADDRESS_SPACE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BOUND_ADDRESS_SPACE 0
#endif
#endif
#ifndef BOUND_ADDRESS_SPACE
#define BOUND_ADDRESS_SPACE 1
#endif

// The photo as opened once: its folder (file mode), itself, and the name Exiv2 reads it by.
struct Photo {
    const char *path;
    char dir[KAVO_PATH_SIZE];
    const char *leaf;  // last component, inside path
    int dirFd;
    int fd;
    struct stat st;
    char fdPath[FD_PATH_SIZE];
};

// The limits the program was started with; the bounds never loosen them.
static struct rlimit g_inheritedCpu;
static struct rlimit g_inheritedAs;

// ---- bounded work --------------------------------------------------------------------------

static void readInheritedLimits(void) {
    if (getrlimit(RLIMIT_CPU, &g_inheritedCpu) != 0) {
        g_inheritedCpu.rlim_cur = g_inheritedCpu.rlim_max = RLIM_INFINITY;
    }
    if (getrlimit(RLIMIT_AS, &g_inheritedAs) != 0) {
        g_inheritedAs.rlim_cur = g_inheritedAs.rlim_max = RLIM_INFINITY;
    }
}

#ifndef THUMBGRAB_UNBOUNDED
static rlim_t asLimit(uint64_t value) {
    if (value >= (uint64_t)RLIM_INFINITY) {
        return RLIM_INFINITY;
    }
    return (rlim_t)value;
}

static rlim_t lower(rlim_t a, rlim_t b) {
    if (a == RLIM_INFINITY) {
        return b;
    }
    if (b == RLIM_INFINITY) {
        return a;
    }
    return a < b ? a : b;
}

// Bounds the calling process (a child about to do untrusted work): no core files, at most
// cpuSeconds of CPU time (SIGXCPU) and asBytes of address space. Only the soft limits are
// set, within the hard limits inherited, so that the outside programs started later can be
// given bounds of their own. 0 or -1.
static int applyBounds(uint64_t cpuSeconds, uint64_t asBytes) {
    struct rlimit none = {0, 0};
    struct rlimit cpu = g_inheritedCpu, as = g_inheritedAs;

    cpu.rlim_cur = lower((rlim_t)cpuSeconds, g_inheritedCpu.rlim_cur);
    as.rlim_cur = lower(asLimit(asBytes), g_inheritedAs.rlim_cur);
    if (setrlimit(RLIMIT_CORE, &none) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
        (BOUND_ADDRESS_SPACE && setrlimit(RLIMIT_AS, &as) != 0)) {
        KAVOLOG(SZ_SOURCE, "setrlimit failed: %m");
        return -1;
    }
    return 0;
}
#endif

// How a bounded child ended: 0 when it exited with 0, -1 when it exited otherwise, and
// CHILD_STOPPED (logged) when a bound or a signal stopped it.
static int childResult(pid_t pid, const char *what, const char *photoPath) {
    int status = 0;

    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            KAVOLOG(SZ_SOURCE, "waitpid failed: %m");
            return CHILD_STOPPED;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) == 0 ? 0 : -1;
    }
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)) {
        KAVOLOG(SZ_SOURCE, "%s %s stopped at its CPU time limit", what, photoPath);
    } else {
        KAVOLOG(SZ_SOURCE, "%s %s ended by signal %d", what, photoPath,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return CHILD_STOPPED;
}

// Runs jpegtran or cp under the transform bounds; the keepCount descriptors of keepFds are
// inherited by it. 0 when it exited with 0, -1 when it failed, CHILD_STOPPED (logged) when a
// bound or a signal stopped it.
static int runTool(char *const argv[], const int *keepFds, int keepCount, const char *photoPath) {
    pid_t pid = fork();
    if (pid < 0) {
        KAVOLOG(SZ_SOURCE, "fork failed: %m");
        return -1;
    }
    if (pid == 0) {
#ifndef THUMBGRAB_UNBOUNDED
        if (applyBounds(TRANSFORM_CPU_SECONDS, TRANSFORM_AS_BYTES) != 0) {
            _exit(127);
        }
#endif
        for (int i = 0; i < keepCount; i++) {
            if (fcntl(keepFds[i], F_SETFD, 0) != 0) {
                _exit(127);
            }
        }
        execv(argv[0], argv);
        _exit(127);
    }
    return childResult(pid, argv[0], photoPath);
}

// ---- the photo ---------------------------------------------------------------------------

// Splits the photo's path into its folder and its last component. 0 or -1.
static int splitPhotoPath(const char *path, Photo *photo) {
    const char *slash = strrchr(path, '/');
    const char *leaf = slash ? slash + 1 : path;

    if (leaf[0] == '\0' || strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0) {
        return -1;
    }
    photo->leaf = leaf;
    if (slash == nullptr) {
        return VLIBCStrCopy(photo->dir, sizeof(photo->dir), ".");
    }
    if (slash == path) {
        return VLIBCStrCopy(photo->dir, sizeof(photo->dir), "/");
    }
    return VLIBCStrPrintf(photo->dir, sizeof(photo->dir), "%.*s", (int)(slash - path), path);
}

// Opens the photo as a regular file, never blocking on a FIFO. In file mode the photo's
// folder is opened too and a link at the photo is refused; in stdout mode the user's own
// rights decide what may be read, so a link is followed. 0 or -1 (logged).
static int openPhoto(const char *path, bool fileMode, Photo *photo) {
    memset(photo, 0, sizeof(*photo));
    photo->path = path;
    photo->dirFd = -1;
    photo->fd = -1;

    if (fileMode) {
        if (splitPhotoPath(path, photo) != 0) {
            KAVOLOG(SZ_SOURCE, "Bad parameters.");
            return -1;
        }
        photo->dirFd = KAVOPathOpenRoot(photo->dir);
        if (photo->dirFd < 0) {
            KAVOLOG(SZ_SOURCE, "cannot open the folder of %s: %m", path);
            return -1;
        }
        photo->fd = KAVOFileOpenRegular(photo->dirFd, photo->leaf, O_RDONLY | O_NOFOLLOW, 0);
    } else {
        photo->fd = KAVOFileOpenRegular(AT_FDCWD, path, O_RDONLY, 0);
    }
    if (photo->fd < 0) {
        if (errno == ELOOP) {
            KAVOLOG(SZ_SOURCE, "photo is a link, refused: %s", path);
        } else if (errno == EINVAL) {
            KAVOLOG(SZ_SOURCE, "photo is not a regular file: %s", path);
        } else {
            KAVOLOG(SZ_SOURCE, "open photo fail[%s][%m]", path);
        }
        return -1;
    }
    if (fstat(photo->fd, &photo->st) != 0 ||
        VLIBCStrPrintf(photo->fdPath, sizeof(photo->fdPath), SZ_FD_PATH_FORMAT, photo->fd) != 0) {
        KAVOLOG(SZ_SOURCE, "open photo fail[%s][%m]", path);
        return -1;
    }
    return 0;
}

static void closePhoto(Photo *photo) {
    if (photo->fd >= 0) {
        close(photo->fd);
    }
    if (photo->dirFd >= 0) {
        close(photo->dirFd);
    }
}

// The photo mapped into memory for Exiv2 to read. Exiv2 given a path stats it through the C
// library, which in a build for a 32-bit CPU without 64-bit times fails with EOVERFLOW for a
// photo dated after January 2038; the mapping is made from our own descriptor instead. What
// cannot be mapped (empty, or larger than Exiv2's long size) is read through the descriptor's
// name as before.
struct PhotoMap {
    void *data;  // null: not mapped
    size_t size;
};

static PhotoMap mapPhoto(const Photo *photo) {
    PhotoMap map = {nullptr, 0};

    if (photo->st.st_size > 0 && (uint64_t)photo->st.st_size <= (uint64_t)LONG_MAX) {
        void *data = mmap(nullptr, (size_t)photo->st.st_size, PROT_READ, MAP_PRIVATE, photo->fd, 0);
        if (data != MAP_FAILED) {
            map.data = data;
            map.size = (size_t)photo->st.st_size;
        }
    }
    return map;
}

static void unmapPhoto(PhotoMap *map) {
    if (map->data != nullptr) {
        munmap(map->data, map->size);
    }
}

static Exiv2::Image::AutoPtr openImage(const Photo *photo, const PhotoMap *map) {
    if (map->data == nullptr) {
        return Exiv2::ImageFactory::open(photo->fdPath);
    }
    return Exiv2::ImageFactory::open((const Exiv2::byte *)map->data, (long)map->size);
}

// What a mode does with the photo's image once its metadata is read. 0 or -1.
typedef int (*ImageWork)(const Photo *photo, Exiv2::Image &image);

// Opens the photo with Exiv2, reads its metadata and hands the image to work, under a handler
// for the library's errors. File mode fails on them without a word; stdout mode (logErrors)
// logs the error's code. Running out of the memory bound is logged in both modes.
static int readPhoto(const Photo *photo, ImageWork work, bool logErrors) {
    PhotoMap map = mapPhoto(photo);
    int ret = -1;

    try {
        Exiv2::Image::AutoPtr image = openImage(photo, &map);
        image->readMetadata();
        ret = work(photo, *image);
    } catch (Exiv2::AnyError &e) {
        if (logErrors) {
            KAVOLOG(SZ_SOURCE, "Exiv2::AnyError, code = %d", e.code());
        }
    } catch (std::bad_alloc &) {
        KAVOLOG(SZ_SOURCE, "reading %s ran out of its memory bound", photo->path);
    } catch (std::exception &e) {
        if (logErrors) {
            KAVOLOG(SZ_SOURCE, "exception: %s", e.what());
        }
    }
    unmapPhoto(&map);
    return ret;
}

// Reads the photo as readPhoto does, in a child under the parser's bounds. 0 or -1.
static int runBounded(const Photo *photo, ImageWork work, bool logErrors) {
#ifdef THUMBGRAB_UNBOUNDED
    // The benchmark's build without bounds, to measure what they cost.
    return readPhoto(photo, work, logErrors);
#else
    pid_t pid = fork();
    if (pid < 0) {
        KAVOLOG(SZ_SOURCE, "fork failed: %m");
        return -1;
    }
    if (pid == 0) {
        int ret = -1;
        if (applyBounds(PARSE_CPU_SECONDS, PARSE_AS_BYTES + (uint64_t)photo->st.st_size) == 0) {
            ret = readPhoto(photo, work, logErrors);
        }
        _exit(ret == 0 ? 0 : 1);
    }
    return childResult(pid, "reading", photo->path) == 0 ? 0 : -1;
#endif
}

// ---- temporary previews ------------------------------------------------------------------

// Writes the preview to a new temporary file and returns its descriptor (read and write,
// positioned at the end) with the file's full name in path. The file is created exclusively,
// so a name that exists already (a file or a planted link) is never written through: the
// next number of the generator is tried instead. On failure nothing is left and the result is
// TMP_OPEN_FAILED or TMP_WRITE_FAILED.
static int createTempPreview(const Exiv2::PreviewImage &preview, char *path, size_t pathSize) {
    std::string extension = preview.extension();
    int fd = -1;

    for (int tries = 0; tries < TMP_CREATE_TRIES; tries++) {
        char name[KAVO_PATH_SIZE];
        if (VLIBCStrPrintf(name, sizeof(name), SZ_TMP_NAME_FORMAT, (unsigned int)getpid(),
                           (unsigned long)random()) < 0 ||
            VLIBCStrPrintf(path, pathSize, "%s%s", name, extension.c_str()) < 0) {
            KAVOLOG(SZ_SOURCE, "temporary name too long");
            return TMP_OPEN_FAILED;
        }
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "open thumb path fail[%s][%m]", path);
        return TMP_OPEN_FAILED;
    }
    if (KAVOFileWriteAll(fd, preview.pData(), preview.size()) < 0) {
        KAVOLOG(SZ_SOURCE, "write thumb path fail[%s][%m]", path);
        close(fd);
        unlink(path);
        return TMP_WRITE_FAILED;
    }
    return fd;
}

// ---- EA placement --------------------------------------------------------------------------

// Opens the photo's EA folder eaDir ("<folder>/@eaDir/<photo>") from the photo's opened
// folder, making the missing parts. fd, EA_LINKED (logged) when a link stands in place of
// "@eaDir" or of the photo's EA folder, or -1 (logged) when it cannot be made.
static int openEADir(const Photo *photo, const char *eaDir) {
    int eaFd = KAVOEADirOpenAt(photo->dirFd, photo->leaf, 1);

    if (eaFd >= 0) {
        return eaFd;
    }
    // Nothing, not even a folder, is made through a link.
    if (errno == ELOOP) {
        KAVOLOG(SZ_SOURCE, "ea dir is not a folder of its own: %s", eaDir);
        return EA_LINKED;
    }
    KAVOLOG(SZ_SOURCE, "Make ea dir path error. eaDir path: %s", eaDir);
    return -1;
}

// Finds the place of the photo's EA entry: the EA folder, opened (and made when missing) into
// eaDir's name, and the entry's path in dest. The folder's fd, or -1 (logged).
static int openEAPlace(const Photo *photo, const char *entry, char *eaDir, size_t eaDirSize,
                       char *dest, size_t destSize) {
    if (photo == nullptr || photo->path == nullptr) {
        KAVOLOG(SZ_SOURCE, "Bad parameters.");
    } else if (KAVOEADirPath(0, photo->path, eaDir, eaDirSize) != 0) {
        KAVOLOG(SZ_SOURCE, "Get ea dir path error. file path: %s", photo->path);
    } else {
        int eaFd = openEADir(photo, eaDir);
        if (eaFd == EA_LINKED) {
            return -1;
        }
        // The entry's own name is checked by the platform: one name inside the EA folder.
        if (eaFd >= 0 && KAVOEAPath(0, photo->path, entry, dest, destSize, 0) >= 0) {
            return eaFd;
        }
        if (eaFd >= 0) {
            close(eaFd);
        }
    }
    // Callers look for this text whichever step failed: kept as they expect it.
    KAVOLOG(SZ_SOURCE, "GetEADirPath failed: %s[0x%04X %s:%d]",
            photo != nullptr && photo->path != nullptr ? photo->path : "", VLIBCErrGet(),
            VLIBCErrorGetFile() ? VLIBCErrorGetFile() : "", VLIBCErrorGetLine());
    return -1;
}

// Creates a new, empty temporary entry in the EA folder, exclusively. fd or -1.
static int createTempEntry(int eaFd, const char *entry, mode_t mode, char *name, size_t nameSize) {
    for (int tries = 0; tries < TMP_CREATE_TRIES; tries++) {
        if (VLIBCStrPrintf(name, nameSize, SZ_EA_TMP_FORMAT, entry, (unsigned int)getpid(),
                           tries) != 0) {
            return -1;
        }
        int fd = openat(eaFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Runs jpegtran to turn src by angle into dst, or cp to copy it when angle is null; src and
// dst are the /proc names of the two descriptors in keep. As runTool.
static int transform(char *src, char *dst, char *angle, const int keep[2], const char *photoPath) {
    if (angle != nullptr) {
        char jpegtran[] = SZF_JPEGTRAN;
        char trimOpt[] = "-trim";
        char rotateOpt[] = "-rotate";
        char outfileOpt[] = "-outfile";
        char *const argv[] = {jpegtran, trimOpt, rotateOpt, angle, outfileOpt, dst, src, nullptr};
        return runTool(argv, keep, 2, photoPath);
    }
    char cp[] = SZF_CP;
    char *const argv[] = {cp, src, dst, nullptr};
    return runTool(argv, keep, 2, photoPath);
}

// Stores the data of srcFd as the photo's EA entry: turned by jpegtran when the rotation asks
// for it, else copied by cp. A new entry gets the mode given (less the umask). 0 also when the
// outside program failed (logged, the old entry kept); -1 when the entry cannot be placed;
// PLACE_STOPPED when a bound stopped the outside program.
static int placeInEA(const Photo *photo, int srcFd, mode_t mode, int rotation, const char *entry) {
    char eaDir[KAVO_PATH_SIZE];
    char dest[KAVO_PATH_SIZE];
    char tmpName[KAVO_PATH_SIZE];
    char srcFdPath[FD_PATH_SIZE];
    char dstFdPath[FD_PATH_SIZE];
    char angle[ANGLE_BUF_SIZE];
    int keep[2];
    int tmpFd = -1;
    int ret = -1;

    int eaFd = openEAPlace(photo, entry, eaDir, sizeof(eaDir), dest, sizeof(dest));
    if (eaFd < 0) {
        return -1;
    }
    tmpFd = createTempEntry(eaFd, entry, mode, tmpName, sizeof(tmpName));
    if (tmpFd < 0) {
        KAVOLOG(SZ_SOURCE, "cannot create an entry in %s: %m", eaDir);
        goto out;
    }
    if (VLIBCStrPrintf(srcFdPath, sizeof(srcFdPath), SZ_FD_PATH_FORMAT, srcFd) != 0 ||
        VLIBCStrPrintf(dstFdPath, sizeof(dstFdPath), SZ_FD_PATH_FORMAT, tmpFd) != 0 ||
        VLIBCStrPrintf(angle, sizeof(angle), "%d", (rotation & 3) * 90) != 0) {
        KAVOLOG(SZ_SOURCE, "cannot name the files for %s", dest);
        goto out;
    }
    keep[0] = srcFd;
    keep[1] = tmpFd;
    ret = transform(srcFdPath, dstFdPath, (rotation & 3) ? angle : nullptr, keep, photo->path);
    if (ret == CHILD_STOPPED) {
        goto out;
    }
    if (ret != 0) {
        KAVOLOG(SZ_SOURCE, "%s failed for %s", (rotation & 3) ? SZF_JPEGTRAN : SZF_CP, dest);
        ret = 0;
        goto out;
    }
    // The new entry replaces whatever stands at the name (a file, a link, a second name of
    // a file elsewhere) without writing through it.
    if (renameat(eaFd, tmpName, eaFd, entry) != 0) {
        KAVOLOG(SZ_SOURCE, "cannot store ea entry %s: %m", dest);
        ret = -1;
        goto out;
    }
    tmpName[0] = '\0';  // stored under the entry's name: nothing to remove

out:
    if (tmpFd >= 0) {
        if (tmpName[0] != '\0' && unlinkat(eaFd, tmpName, 0) != 0) {
            KAVOLOG(SZ_SOURCE, "cannot remove %s/%s: %m", eaDir, tmpName);
        }
        close(tmpFd);
    }
    close(eaFd);
    return ret;
}

// ---- file mode -----------------------------------------------------------------------------

// Writes the preview to a temporary file, stores that as the EA entry and removes it again.
// PREVIEW_REFUSED (logged) for a preview over the pixel bound; -1 when the temporary file
// cannot be made or a bound stopped the outside program; otherwise the placement's result is
// not examined.
static int writePreviewToEA(const Photo *photo, const Exiv2::PreviewImage &preview, int rotation,
                            const char *entry) {
    char tmpPath[KAVO_PATH_SIZE];
    uint64_t pixels = declaredPixels(preview.pData(), preview.size());

    if (pixels > PREVIEW_MAX_PIXELS) {
        KAVOLOG(SZ_SOURCE, "preview of %s declares %" PRIu64 " pixels, more than %llu: not stored",
                photo->path, pixels, PREVIEW_MAX_PIXELS);
        return PREVIEW_REFUSED;
    }
    srand((unsigned int)time(nullptr));
    int fd = createTempPreview(preview, tmpPath, sizeof(tmpPath));
    if (fd < 0) {
        return -1;
    }
    int placed = placeInEA(photo, fd, 0666, rotation, entry);
    close(fd);
    unlink(tmpPath);
    return placed == PLACE_STOPPED ? -1 : 0;
}

// For a RAW or other non-ordinary photo the largest preview, and for every photo a small one
// (an ordinary small photo is its own), stored as its EA entries.
static int storePreviews(const Photo *photo, Exiv2::Image &image) {
    Exiv2::PreviewManager manager(image);
    Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
    std::string mimeType = image.mimeType();
    int rotation = getRotation(image.exifData());
    const Exiv2::PreviewProperties *choice;

    if (!isOrdinaryType(mimeType)) {
        choice = selectPreview(list, FILTER_OPEN);
        if (choice != nullptr) {
            Exiv2::PreviewImage preview = manager.getPreviewImage(*choice);
            // A refused large preview still leaves the small one to do.
            if (writePreviewToEA(photo, preview, rotation, SZ_THUMB_LARGE_PREVIEW) == -1) {
                return -1;
            }
        }
    }

    choice = selectPreview(list, FILTER_SMALL);
    if (choice != nullptr) {
        Exiv2::PreviewImage preview = manager.getPreviewImage(*choice);
        return writePreviewToEA(photo, preview, rotation, SZ_THUMB_PREVIEW) == 0 ? 0 : -1;
    }

    if (isOrdinaryType(mimeType) && photo->st.st_size <= (off_t)PREVIEW_SMALL_LIMIT) {
        if (!withinPixelBound((uint32_t)image.pixelWidth(), (uint32_t)image.pixelHeight())) {
            KAVOLOG(SZ_SOURCE, "photo %s declares %dx%d pixels, more than %llu: not stored",
                    photo->path, image.pixelWidth(), image.pixelHeight(), PREVIEW_MAX_PIXELS);
            return -1;
        }
        // A copy of the photo itself is no more readable than the photo.
        mode_t mode = photo->st.st_mode & 0777;
        if (placeInEA(photo, photo->fd, mode, rotation, SZ_THUMB_PREVIEW) == PLACE_STOPPED) {
            return -1;
        }
        return 0;
    }
    return -1;
}

static int fileMode(const char *photoPath) {
    Photo photo;
    int ret = -1;

    if (openPhoto(photoPath, true, &photo) == 0) {
        ret = runBounded(&photo, storePreviews, false);
    }
    closePhoto(&photo);
    return ret;
}

// ---- stdout mode ---------------------------------------------------------------------------

// Takes on the user's identity for everything that follows: effective group, the user's
// groups and effective user. The real user id stays 0.
static int becomeUser(const char *userName) {
    char login[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER account = nullptr;
    uid_t uid;
    gid_t gid;

    if (setuid(0) != 0) {
        // Not fatal by itself: the identity changes below report what cannot be done.
    }
    if (KAVOUserLoginNameConvert(userName, login, sizeof(login)) <= 0) {
        // A name too long for the buffer is no account's name: let the lookup fail.
        if (VLIBCStrCopy(login, sizeof(login), userName) < 0) {
            login[0] = '\0';
        }
    }
    if (login[0] == '\0' || KAVOUserGet(login, &account) != 0 || account == nullptr) {
        KAVOLOG(SZ_SOURCE, "KAVOUserGet failed.");
        return -1;
    }
    uid = account->uid;
    gid = account->gid;
    KAVOUserFree(account);

    if (setegid(gid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to setegid [%d]: %m", (int)gid);
        return -1;
    }
    if (initgroups(userName, gid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to initgroups [%s]: %m", userName);
        return -1;
    }
    if (seteuid(uid) == -1) {
        KAVOLOG(SZ_SOURCE, "Failed to seteuid [%d]: %m", (int)uid);
        return -1;
    }
    return 0;
}

// Writes "header\n" and then the bytes of fd from where it stands, through one buffer; a
// negative fd sends the header alone. Reading stops at the end or at a read error; -1 only
// when standard output fails.
static int streamFile(int fd, const char *header) {
    char buf[COPY_BUF_SIZE];

    if (KAVOFileWriteAll(STDOUT_FILENO, header, strlen(header)) < 0 ||
        KAVOFileWriteAll(STDOUT_FILENO, "\n", 1) < 0) {
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
        if (KAVOFileWriteAll(STDOUT_FILENO, buf, (size_t)n) < 0) {
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
    char tmpPath[KAVO_PATH_SIZE];
    int ret;

    int fd = createTempPreview(preview, tmpPath, sizeof(tmpPath));
    if (fd == TMP_OPEN_FAILED) {
        return 0;
    }
    if (fd < 0) {
        return -1;
    }
    if (unlink(tmpPath) != 0) {
        KAVOLOG(SZ_SOURCE, "unlink error: %m");
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        KAVOLOG(SZ_SOURCE, "open thumb path fail[%s][%m]", tmpPath);
        close(fd);
        return 0;
    }
    ret = streamFile(fd, tmpPath);
    close(fd);
    return ret;
}

// With the user's rights: the small preview, or else an ordinary photo itself, whatever its
// size and without turning it.
static int sendSmallPreview(const Photo *photo, Exiv2::Image &image) {
    Exiv2::PreviewManager manager(image);
    Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
    const Exiv2::PreviewProperties *choice = selectPreview(list, FILTER_SMALL);

    if (choice != nullptr) {
        Exiv2::PreviewImage preview = manager.getPreviewImage(*choice);
        return streamPreview(preview);
    }
    if (!isOrdinaryType(image.mimeType())) {
        return -1;
    }
    if (lseek(photo->fd, 0, SEEK_SET) != 0) {
        return streamFile(-1, photo->path);
    }
    return streamFile(photo->fd, photo->path);
}

static int stdoutMode(const char *photoPath, const char *userName) {
    Photo photo;
    int ret = -1;

    if (photoPath == nullptr || photoPath[0] == '\0' || userName == nullptr ||
        userName[0] == '\0') {
        KAVOLOG(SZ_SOURCE, "error");
        return -1;
    }
    if (becomeUser(userName) < 0) {
        return -1;
    }
    if (openPhoto(photoPath, false, &photo) == 0) {
        ret = runBounded(&photo, sendSmallPreview, true);
    }
    closePhoto(&photo);

    // The work is done: end with the identity the run started with (the real user is root
    // throughout), so that whatever inspects the process as it exits sees plain root.
    if (seteuid(0) != 0 || setegid(0) != 0) {
        // Nothing is left to do with the user's rights; the exit status stands.
    }
    return ret;
}

// The space before the colon is kept as callers expect it.
static void usage(void) {
    printf("USAGE : " SZ_PROGRAM " file_full_path\n");
    printf("USAGE : " SZ_PROGRAM " file_full_path " SZ_OPT_STDOUT " username\n");
}

int main(int argc, char **argv) {
    int fd;

    openlog(SZ_PROGRAM, LOG_PID, LOG_USER);

    if (argc != 2 && argc != 4) {
        usage();
        return -1;
    }

    // FILE must open for reading; a FIFO must not hang the program here.
    fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // "exists" is kept as callers expect it.
        KAVOLOG(SZ_SOURCE, "File doesn't exists: %s", argv[1]);
        return -1;
    }
    close(fd);

    // RAW and HEIF-family photos in ISO base media files (CR3, HEIC, AVIF) are read by
    // Exiv2's BMFF reader only once it is switched on.
    Exiv2::enableBMFF(true);
    readInheritedLimits();
    // Nothing buffered may be written twice by the children forked below.
    (void)fflush(stdout);

    if (argc == 2) {
        return fileMode(argv[1]);
    }
    if (strcmp(argv[2], SZ_OPT_STDOUT) == 0) {
        return stdoutMode(argv[1], argv[3]);
    }
    return 0;
}
