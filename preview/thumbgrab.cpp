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

#define PATH_BUF_SIZE 4096
#define COPY_BUF_SIZE 4096
#define ANGLE_BUF_SIZE 4
#define FD_PATH_SIZE 32
// Names already taken are skipped; after this many the write-out gives up.
#define TMP_CREATE_TRIES 64
// Results of createTempPreview when no file was made.
#define TMP_OPEN_FAILED -1
#define TMP_WRITE_FAILED -2
// Results of placeInEA besides 0 and -1: a bound stopped the outside program.
#define PLACE_STOPPED -2
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
    const char *szPath;
    char szDir[PATH_BUF_SIZE];
    const char *szLeaf;  // last component, inside szPath
    int dirFd;
    int fd;
    struct stat st;
    char szFdPath[FD_PATH_SIZE];
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

// How a bounded child ended: 0 when it exited with 0, -1 when it exited otherwise, and -2
// (logged) when a bound or a signal stopped it.
static int childResult(pid_t pid, const char *szWhat, const char *szPhoto) {
    int status = 0;

    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            KAVOLOG(SZ_SOURCE, "waitpid failed: %m");
            return -2;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) == 0 ? 0 : -1;
    }
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)) {
        KAVOLOG(SZ_SOURCE, "%s %s stopped at its CPU time limit", szWhat, szPhoto);
    } else {
        KAVOLOG(SZ_SOURCE, "%s %s ended by signal %d", szWhat, szPhoto,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return -2;
}

// Runs work on the photo in a child under the parser's bounds. 0 or -1.
static int runBounded(int (*work)(const Photo *), const Photo *pPhoto) {
#ifdef THUMBGRAB_UNBOUNDED
    // The benchmark's build without bounds, to measure what they cost.
    return work(pPhoto);
#else
    pid_t pid = fork();
    if (pid < 0) {
        KAVOLOG(SZ_SOURCE, "fork failed: %m");
        return -1;
    }
    if (pid == 0) {
        int ret = -1;
        if (applyBounds(PARSE_CPU_SECONDS, PARSE_AS_BYTES + (uint64_t)pPhoto->st.st_size) == 0) {
            ret = work(pPhoto);
        }
        _exit(ret == 0 ? 0 : 1);
    }
    return childResult(pid, "reading", pPhoto->szPath) == 0 ? 0 : -1;
#endif
}

// Runs jpegtran or cp under the transform bounds; keepFds are inherited by it. 0 when it
// exited with 0, -1 when it failed, -2 (logged) when a bound or a signal stopped it.
static int runTool(char *const argv[], const int *keepFds, int nKeep, const char *szPhoto) {
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
        for (int i = 0; i < nKeep; i++) {
            if (fcntl(keepFds[i], F_SETFD, 0) != 0) {
                _exit(127);
            }
        }
        execv(argv[0], argv);
        _exit(127);
    }
    return childResult(pid, argv[0], szPhoto);
}

// ---- the photo ---------------------------------------------------------------------------

// Splits the photo's path into its folder and its last component. 0 or -1.
static int splitPhotoPath(const char *szPath, Photo *pPhoto) {
    const char *slash = strrchr(szPath, '/');
    const char *leaf = slash ? slash + 1 : szPath;

    if (leaf[0] == '\0' || strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0) {
        return -1;
    }
    pPhoto->szLeaf = leaf;
    if (slash == nullptr) {
        return VLIBCStrCopy(pPhoto->szDir, sizeof(pPhoto->szDir), ".");
    }
    if (slash == szPath) {
        return VLIBCStrCopy(pPhoto->szDir, sizeof(pPhoto->szDir), "/");
    }
    return VLIBCStrPrintf(pPhoto->szDir, sizeof(pPhoto->szDir), "%.*s", (int)(slash - szPath),
                          szPath);
}

// Opens the photo as a regular file, never blocking on a FIFO. In file mode the photo's
// folder is opened too and a link at the photo is refused; in stdout mode the user's own
// rights decide what may be read, so a link is followed. 0 or -1 (logged).
static int openPhoto(const char *szPath, bool fileMode, Photo *pPhoto) {
    memset(pPhoto, 0, sizeof(*pPhoto));
    pPhoto->szPath = szPath;
    pPhoto->dirFd = -1;
    pPhoto->fd = -1;

    if (fileMode) {
        if (splitPhotoPath(szPath, pPhoto) != 0) {
            KAVOLOG(SZ_SOURCE, "Bad parameters.");
            return -1;
        }
        pPhoto->dirFd = KAVOPathOpenRoot(pPhoto->szDir);
        if (pPhoto->dirFd < 0) {
            KAVOLOG(SZ_SOURCE, "cannot open the folder of %s: %m", szPath);
            return -1;
        }
        pPhoto->fd = KAVOFileOpenRegular(pPhoto->dirFd, pPhoto->szLeaf, O_RDONLY | O_NOFOLLOW, 0);
    } else {
        pPhoto->fd = KAVOFileOpenRegular(AT_FDCWD, szPath, O_RDONLY, 0);
    }
    if (pPhoto->fd < 0) {
        if (errno == ELOOP) {
            KAVOLOG(SZ_SOURCE, "photo is a link, refused: %s", szPath);
        } else if (errno == EINVAL) {
            KAVOLOG(SZ_SOURCE, "photo is not a regular file: %s", szPath);
        } else {
            KAVOLOG(SZ_SOURCE, "open photo fail[%s][%m]", szPath);
        }
        return -1;
    }
    if (fstat(pPhoto->fd, &pPhoto->st) != 0 ||
        VLIBCStrPrintf(pPhoto->szFdPath, sizeof(pPhoto->szFdPath), SZ_FD_PATH_FORMAT, pPhoto->fd) !=
            0) {
        KAVOLOG(SZ_SOURCE, "open photo fail[%s][%m]", szPath);
        return -1;
    }
    return 0;
}

static void closePhoto(Photo *pPhoto) {
    if (pPhoto->fd >= 0) {
        close(pPhoto->fd);
    }
    if (pPhoto->dirFd >= 0) {
        close(pPhoto->dirFd);
    }
}

// ---- temporary previews ------------------------------------------------------------------

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

// ---- EA placement --------------------------------------------------------------------------

// Opens the photo's EA folder szEADir ("<folder>/@eaDir/<photo>") from the photo's opened
// folder, making the missing parts. fd, EA_LINKED (logged) when a link stands in place of
// "@eaDir" or of the photo's EA folder, or -1 (logged) when it cannot be made.
static int openEADir(const Photo *pPhoto, const char *szEADir) {
    int eaFd = KAVOEADirOpenAt(pPhoto->dirFd, pPhoto->szLeaf, 1);

    if (eaFd >= 0) {
        return eaFd;
    }
    // Nothing, not even a folder, is made through a link.
    if (errno == ELOOP) {
        KAVOLOG(SZ_SOURCE, "ea dir is not a folder of its own: %s", szEADir);
        return EA_LINKED;
    }
    KAVOLOG(SZ_SOURCE, "Make ea dir path error. eaDir path: %s", szEADir);
    return -1;
}

// Creates a new, empty temporary entry in the EA folder, exclusively. fd or -1.
static int createTempEntry(int eaFd, const char *szEntry, mode_t mode, char *szName,
                           size_t cbName) {
    for (int tries = 0; tries < TMP_CREATE_TRIES; tries++) {
        if (VLIBCStrPrintf(szName, cbName, SZ_EA_TMP_FORMAT, szEntry, (unsigned int)getpid(),
                           tries) != 0) {
            return -1;
        }
        int fd = openat(eaFd, szName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Stores the data of srcFd as the photo's EA entry szEntry: turned by jpegtran when the
// rotation asks for it, else copied by cp. A new entry gets the mode given (less the umask).
// 0 also when the outside program failed (logged, the old entry kept); -1 when the entry
// cannot be placed; PLACE_STOPPED when a bound stopped the outside program.
static int placeInEA(const Photo *pPhoto, int srcFd, mode_t mode, int rotation,
                     const char *szEntry) {
    char szEADir[PATH_BUF_SIZE];
    char szDest[PATH_BUF_SIZE];
    char szTmp[PATH_BUF_SIZE];
    char szSrcFd[FD_PATH_SIZE];
    char szDstFd[FD_PATH_SIZE];
    int eaFd = -1, tmpFd = -1, ret = -1;

    if (pPhoto == nullptr || pPhoto->szPath == nullptr) {
        KAVOLOG(SZ_SOURCE, "Bad parameters.");
        goto Err;
    }
    if (KAVOEADirPath(0, pPhoto->szPath, szEADir, sizeof(szEADir)) != 0) {
        KAVOLOG(SZ_SOURCE, "Get ea dir path error. file path: %s", pPhoto->szPath);
        goto Err;
    }
    eaFd = openEADir(pPhoto, szEADir);
    if (eaFd == EA_LINKED) {
        return -1;
    }
    if (eaFd < 0) {
        goto Err;
    }
    // The entry's own name is checked by the platform: one name inside the EA folder.
    if (KAVOEAPath(0, pPhoto->szPath, szEntry, szDest, sizeof(szDest), 0) < 0) {
        close(eaFd);
        goto Err;
    }
    tmpFd = createTempEntry(eaFd, szEntry, mode, szTmp, sizeof(szTmp));
    if (tmpFd < 0) {
        KAVOLOG(SZ_SOURCE, "cannot create an entry in %s: %m", szEADir);
        close(eaFd);
        return -1;
    }
    if (VLIBCStrPrintf(szSrcFd, sizeof(szSrcFd), SZ_FD_PATH_FORMAT, srcFd) != 0 ||
        VLIBCStrPrintf(szDstFd, sizeof(szDstFd), SZ_FD_PATH_FORMAT, tmpFd) != 0) {
        goto Done;
    }
    {
        int keep[2] = {srcFd, tmpFd};
        int result;
        if (rotation & 3) {
            char szAngle[ANGLE_BUF_SIZE];
            char szJpegtran[] = SZF_JPEGTRAN;
            char szTrim[] = "-trim";
            char szRotate[] = "-rotate";
            char szOutfile[] = "-outfile";

            snprintf(szAngle, sizeof(szAngle), "%d", (rotation & 3) * 90);
            char *const argv[] = {szJpegtran, szTrim,  szRotate, szAngle,
                                  szOutfile,  szDstFd, szSrcFd,  nullptr};
            result = runTool(argv, keep, 2, pPhoto->szPath);
        } else {
            char szCp[] = SZF_CP;
            char *const argv[] = {szCp, szSrcFd, szDstFd, nullptr};
            result = runTool(argv, keep, 2, pPhoto->szPath);
        }
        if (result == -2) {
            ret = PLACE_STOPPED;
            goto Done;
        }
        if (result != 0) {
            KAVOLOG(SZ_SOURCE, "%s failed for %s", (rotation & 3) ? SZF_JPEGTRAN : SZF_CP, szDest);
            ret = 0;
            goto Done;
        }
    }
    // The new entry replaces whatever stands at the name (a file, a link, a second name of
    // a file elsewhere) without writing through it.
    if (renameat(eaFd, szTmp, eaFd, szEntry) != 0) {
        KAVOLOG(SZ_SOURCE, "cannot store ea entry %s: %m", szDest);
        goto Done;
    }
    close(tmpFd);
    close(eaFd);
    return 0;

Done:
    if (unlinkat(eaFd, szTmp, 0) != 0) {
        KAVOLOG(SZ_SOURCE, "cannot remove %s/%s: %m", szEADir, szTmp);
    }
    close(tmpFd);
    close(eaFd);
    return ret;

Err:
    KAVOLOG(SZ_SOURCE, "GetEADirPath failed: %s[0x%04X %s:%d]",
            pPhoto && pPhoto->szPath ? pPhoto->szPath : "", VLIBCErrGet(),
            VLIBCErrorGetFile() ? VLIBCErrorGetFile() : "", VLIBCErrorGetLine());
    return -1;
}

// ---- file mode -----------------------------------------------------------------------------

// Writes the preview to a temporary file, stores that as the EA entry and removes it again.
// PREVIEW_REFUSED (logged) for a preview over the pixel bound; -1 when the temporary file
// cannot be made or a bound stopped the outside program; otherwise the placement's result is
// not examined.
static int writePreviewToEA(const Photo *pPhoto, const Exiv2::PreviewImage &preview, int rotation,
                            const char *szEntry) {
    char szTmp[PATH_BUF_SIZE];
    uint64_t pixels = declaredPixels(preview.pData(), preview.size());

    if (pixels > PREVIEW_MAX_PIXELS) {
        KAVOLOG(SZ_SOURCE, "preview of %s declares %" PRIu64 " pixels, more than %llu: not stored",
                pPhoto->szPath, pixels, PREVIEW_MAX_PIXELS);
        return PREVIEW_REFUSED;
    }
    srand((unsigned int)time(nullptr));
    int fd = createTempPreview(preview, szTmp, sizeof(szTmp));
    if (fd < 0) {
        return -1;
    }
    int placed = placeInEA(pPhoto, fd, 0666, rotation, szEntry);
    close(fd);
    unlink(szTmp);
    return placed == PLACE_STOPPED ? -1 : 0;
}

// The photo mapped into memory for Exiv2 to read. Exiv2 given a path stats it through the C
// library, which in a build for a 32-bit CPU without 64-bit times fails with EOVERFLOW for a
// photo dated after January 2038; the mapping is made from our own descriptor instead. What
// cannot be mapped (empty, or larger than Exiv2's long size) is read through the descriptor's
// name as before.
struct PhotoMap {
    void *pData;  // NULL: not mapped
    size_t cbData;
};

static PhotoMap mapPhoto(const Photo *pPhoto) {
    PhotoMap map = {nullptr, 0};

    if (pPhoto->st.st_size > 0 && (uint64_t)pPhoto->st.st_size <= (uint64_t)LONG_MAX) {
        void *p = mmap(nullptr, (size_t)pPhoto->st.st_size, PROT_READ, MAP_PRIVATE, pPhoto->fd, 0);
        if (p != MAP_FAILED) {
            map.pData = p;
            map.cbData = (size_t)pPhoto->st.st_size;
        }
    }
    return map;
}

static void unmapPhoto(PhotoMap *pMap) {
    if (pMap->pData != nullptr) {
        munmap(pMap->pData, pMap->cbData);
    }
}

static Exiv2::Image::AutoPtr openImage(const Photo *pPhoto, const PhotoMap *pMap) {
    if (pMap->pData == nullptr) {
        return Exiv2::ImageFactory::open(pPhoto->szFdPath);
    }
    return Exiv2::ImageFactory::open((const Exiv2::byte *)pMap->pData, (long)pMap->cbData);
}

static int storePreviews(const Photo *pPhoto, const PhotoMap *pMap) {
    try {
        Exiv2::Image::AutoPtr image = openImage(pPhoto, pMap);
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
        std::string mimeType = image->mimeType();
        int rotation = getRotation(image->exifData());
        const Exiv2::PreviewProperties *pChoice;

        if (!isOrdinaryType(mimeType)) {
            pChoice = selectPreview(list, FILTER_OPEN);
            if (pChoice != nullptr) {
                Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
                // A refused large preview still leaves the small one to do.
                if (writePreviewToEA(pPhoto, preview, rotation, SZ_THUMB_LARGE_PREVIEW) == -1) {
                    return -1;
                }
            }
        }

        pChoice = selectPreview(list, FILTER_SMALL);
        if (pChoice != nullptr) {
            Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
            return writePreviewToEA(pPhoto, preview, rotation, SZ_THUMB_PREVIEW) == 0 ? 0 : -1;
        }

        if (isOrdinaryType(mimeType) && pPhoto->st.st_size <= (off_t)PREVIEW_SMALL_LIMIT) {
            if (!withinPixelBound((uint32_t)image->pixelWidth(), (uint32_t)image->pixelHeight())) {
                KAVOLOG(SZ_SOURCE, "photo %s declares %dx%d pixels, more than %llu: not stored",
                        pPhoto->szPath, image->pixelWidth(), image->pixelHeight(),
                        PREVIEW_MAX_PIXELS);
                return -1;
            }
            // A copy of the photo itself is no more readable than the photo.
            mode_t mode = pPhoto->st.st_mode & 0777;
            if (placeInEA(pPhoto, pPhoto->fd, mode, rotation, SZ_THUMB_PREVIEW) == PLACE_STOPPED) {
                return -1;
            }
            return 0;
        }
        return -1;
    } catch (Exiv2::AnyError &) {
        return -1;
    } catch (std::bad_alloc &) {
        KAVOLOG(SZ_SOURCE, "reading %s ran out of its memory bound", pPhoto->szPath);
        return -1;
    } catch (std::exception &) {
        return -1;
    }
}

static int fileMode(const Photo *pPhoto) {
    PhotoMap map = mapPhoto(pPhoto);
    int ret = storePreviews(pPhoto, &map);

    unmapPhoto(&map);
    return ret;
}

// ---- stdout mode ---------------------------------------------------------------------------

// Takes on the user's identity for everything that follows: effective group, the user's
// groups and effective user. The real user id stays 0.
static int becomeUser(const char *szUser) {
    char szLogin[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER pUser = nullptr;
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
    if (szLogin[0] == '\0' || KAVOUserGet(szLogin, &pUser) != 0 || pUser == nullptr) {
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
static int sendSmallPreviewOf(const Photo *pPhoto, const PhotoMap *pMap) {
    try {
        Exiv2::Image::AutoPtr image = openImage(pPhoto, pMap);
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        Exiv2::PreviewPropertiesList list = manager.getPreviewProperties();
        const Exiv2::PreviewProperties *pChoice = selectPreview(list, FILTER_SMALL);

        if (pChoice != nullptr) {
            Exiv2::PreviewImage preview = manager.getPreviewImage(*pChoice);
            return streamPreview(preview);
        }
        if (!isOrdinaryType(image->mimeType())) {
            return -1;
        }
        if (lseek(pPhoto->fd, 0, SEEK_SET) != 0) {
            return streamFile(-1, pPhoto->szPath);
        }
        return streamFile(pPhoto->fd, pPhoto->szPath);
    } catch (Exiv2::AnyError &e) {
        KAVOLOG(SZ_SOURCE, "Exiv2::AnyError, code = %d", e.code());
        return -1;
    } catch (std::bad_alloc &) {
        KAVOLOG(SZ_SOURCE, "reading %s ran out of its memory bound", pPhoto->szPath);
        return -1;
    } catch (std::exception &e) {
        KAVOLOG(SZ_SOURCE, "exception: %s", e.what());
        return -1;
    }
}

static int sendSmallPreview(const Photo *pPhoto) {
    PhotoMap map = mapPhoto(pPhoto);
    int ret = sendSmallPreviewOf(pPhoto, &map);

    unmapPhoto(&map);
    return ret;
}

static int stdoutMode(const char *szPhoto, const char *szUser) {
    Photo photo;
    int ret = -1;

    if (szPhoto == nullptr || szPhoto[0] == '\0' || szUser == nullptr || szUser[0] == '\0') {
        KAVOLOG(SZ_SOURCE, "error");
        return -1;
    }
    if (becomeUser(szUser) < 0) {
        return -1;
    }
    if (openPhoto(szPhoto, false, &photo) == 0) {
        ret = runBounded(sendSmallPreview, &photo);
    }
    closePhoto(&photo);

    // The work is done: end with the identity the run started with (the real user is root
    // throughout), so that whatever inspects the process as it exits sees plain root.
    if (seteuid(0) != 0 || setegid(0) != 0) {
        // Nothing is left to do with the user's rights; the exit status stands.
    }
    return ret;
}

static int fileModeOn(const char *szPhoto) {
    Photo photo;
    int ret = -1;

    if (openPhoto(szPhoto, true, &photo) == 0) {
        ret = runBounded(fileMode, &photo);
    }
    closePhoto(&photo);
    return ret;
}

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
        KAVOLOG(SZ_SOURCE, "File doesn't exists: %s\n", argv[1]);
        return -1;
    }
    close(fd);

    // RAW and HEIF-family photos in ISO base media files (CR3, HEIC, AVIF) are read by
    // Exiv2's BMFF reader only once it is switched on.
    Exiv2::enableBMFF(true);
    readInheritedLimits();
    fflush(stdout);

    if (argc == 2) {
        return fileModeOn(argv[1]);
    }
    if (strcmp(argv[2], SZ_OPT_STDOUT) == 0) {
        return stdoutMode(argv[1], argv[3]);
    }
    return 0;
}
