// The watermark image store: one folder per user under the package's target folder.
//
// Built twice. The root build (KAVOPHOTO_WATERMARK_ROOT) copies images into a user's store
// with the user as owner, fixes owner and mode, and measures images; the user build creates a
// user's store folder and deletes an image. A letter of the other build fails with -1.
//
//   PROGRAM -c SOURCE USER NAME   copy SOURCE in as USER's image NAME     (root build)
//   PROGRAM -e IMAGE              print "WIDTH HEIGHT\n"                   (root build)
//   PROGRAM -o USER NAME          owner USER, group Lumora, mode 0660      (root build)
//   PROGRAM -d USER               create USER's store folder              (user build)
//   PROGRAM -r USER NAME          delete USER's image NAME                 (user build)
//
// Users own their folders in the store and may put links there. Everything beneath the store
// is therefore reached through descriptors: the store is opened, a user's folder is opened
// beneath it without following a link, and images are created, re-owned and removed relative
// to that opened folder; a link anywhere in the store is refused, never followed.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavofileop.h"

#ifdef KAVOPHOTO_WATERMARK_ROOT
#include <exiv2/exiv2.hpp>

#include <fstream>

#include "kavosdk.h"
#endif

// The root build logs its failures; the user build writes no messages, so the few checks the
// two builds share log only in the root build.
#ifdef KAVOPHOTO_WATERMARK_ROOT
#define SZ_SOURCE "kavophoto_watermark_util_root"
#define WATERMARK_LOGS true
#else
#define SZ_SOURCE "kavophoto_watermark_util"
#define WATERMARK_LOGS false
#endif
#define SZD_WATERMARK_STORE "/var/packages/Lumora/target/watermarks"
#define SZ_PACKAGE_ACCOUNT "Lumora"
#define SZ_EA_DIR "@eaDir"
#define WATERMARK_MODE 0660
// The sanitizers reserve terabytes of address space: under them only CPU time is bounded.
#if defined(__SANITIZE_ADDRESS__)
#define MEASURE_BOUND_AS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEASURE_BOUND_AS 0
#endif
#endif
#ifndef MEASURE_BOUND_AS
#define MEASURE_BOUND_AS 1
#endif
#define FD_PATH_FORMAT "/proc/self/fd/%d"
// Bounds of measuring one image (a hostile file must not hang or exhaust the tool): CPU
// seconds, and address space beyond the image's own size (Exiv2 maps the file).
#define MEASURE_CPU_SECONDS 20
#define MEASURE_AS_BYTES (768ULL << 20)

// USER and NAME become path components of the store: only a plain name may pass, so that no
// argument reaches outside its user's folder.
static bool isPlainName(const char *name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        strchr(name, '/') != nullptr) {
        if (WATERMARK_LOGS) {
            KAVOLOG(SZ_SOURCE, "Bad name [%s]", name);
        }
        return false;
    }
    return true;
}

// Opens the user's folder in the store, link-free. fd or -1 (errno set).
static int openUserDir(const char *user) {
    int storeFd = KAVOPathOpenRoot(SZD_WATERMARK_STORE);
    if (storeFd < 0) {
        return -1;
    }
    int fd = KAVOPathOpenAt(storeFd, user, O_RDONLY | O_DIRECTORY, 0);
    int err = errno;
    close(storeFd);
    errno = err;
    if (fd < 0 && WATERMARK_LOGS) {
        KAVOLOG(SZ_SOURCE, "Cannot open the store folder of [%s]: %m", user);
    }
    return fd;
}

#ifdef KAVOPHOTO_WATERMARK_ROOT

// The account of a name (converted to its login spelling); null when there is none. A name
// that is no known spelling is looked up as given, but one too long for a login name is
// refused rather than cut, so that it cannot turn into another account's name.
static PKAVOUSER lookupUser(const char *name, int flag) {
    char login[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER user = nullptr;

    bool fits = KAVOUserLoginNameConvert(name, login, sizeof(login), flag) > 0 ||
                VLIBCStrCopy(login, sizeof(login), name) == 0;
    if (!fits || KAVOUserGet(login, &user) != 0) {
        KAVOLOG(SZ_SOURCE, "KAVOUserGet(%s) failed", fits ? login : name);
        return nullptr;
    }
    return user;
}

static int copyWatermark(const char *source, const char *userName, const char *name) {
    char dest[KAVO_PATH_SIZE];
    char eaDir[KAVO_PATH_SIZE];
    KAVOCOPY_OPT opt;

    {
        std::ifstream probe(source);
        if (!probe.is_open()) {
            KAVOLOG(SZ_SOURCE, "ifstream open failed: %s", source);
            return -1;
        }
    }
    PKAVOUSER user = lookupUser(userName, 1);
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_OVERWRITE] = 1;
    opt.opt[KAVO_COPY_SET_OWNER] = 1;
    opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
    if (user && user->uid != (uid_t)-1 && user->gid != (gid_t)-1) {
        opt.opt[KAVO_COPY_UID] = (int32_t)user->uid;
        opt.opt[KAVO_COPY_GID] = (int32_t)user->gid;
    }

    // The copy and the removal name the user's folder as opened here ("/proc/self/fd/N"),
    // so a link swapped in at the folder's name afterwards is not followed either. The copy
    // goes to a temporary name in that folder and is renamed over the image, so a link or a
    // second name planted at the image is replaced, not written through.
    int ret = -1;
    int dirFd = openUserDir(userName);
    if (dirFd >= 0) {
        if (VLIBCStrPrintf(dest, sizeof(dest), FD_PATH_FORMAT "/%s", dirFd, name) != 0 ||
            VLIBCStrPrintf(eaDir, sizeof(eaDir), FD_PATH_FORMAT "/%s", dirFd, SZ_EA_DIR) != 0) {
            KAVOLOG(SZ_SOURCE, "Path too long [%s/%s]", userName, name);
        } else {
            ret = KAVOCopyFileI(source, dest, &opt, -1, 0);
            // rm runs as a program of its own: it needs the descriptor.
            if (fcntl(dirFd, F_SETFD, 0) == 0) {
                VLIBCExec("/bin/rm", "-rf", eaDir, nullptr, nullptr);
            }
        }
        close(dirFd);
    }
    if (user) {
        KAVOUserFree(user);
    }
    return ret;
}

// Measures the image in a child bounded in CPU time and address space; a FIFO or other
// non-file is refused before Exiv2 could block on it.
static int printImageSize(const char *image) {
    char fdPath[32];
    struct stat st;
    int status = 0;

    int fd = KAVOFileOpenRegular(AT_FDCWD, image, O_RDONLY, 0);
    if (fd < 0 || fstat(fd, &st) != 0 ||
        VLIBCStrPrintf(fdPath, sizeof(fdPath), FD_PATH_FORMAT, fd) != 0) {
        KAVOLOG(SZ_SOURCE, "readMetadata failed: %s", image);
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    // Nothing buffered may be written twice, by the parent and by the child.
    (void)fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit core = {0, 0}, cpu, as;
        getrlimit(RLIMIT_CPU, &cpu);
        getrlimit(RLIMIT_AS, &as);
        if (cpu.rlim_cur == RLIM_INFINITY || cpu.rlim_cur > MEASURE_CPU_SECONDS) {
            cpu.rlim_cur = MEASURE_CPU_SECONDS;
        }
        uint64_t room = MEASURE_AS_BYTES + (uint64_t)st.st_size;
        if (MEASURE_BOUND_AS && (as.rlim_cur == RLIM_INFINITY || as.rlim_cur > room)) {
            as.rlim_cur = room >= (uint64_t)RLIM_INFINITY ? RLIM_INFINITY : (rlim_t)room;
        }
        if (cpu.rlim_cur > cpu.rlim_max) {
            cpu.rlim_cur = cpu.rlim_max;
        }
        if (as.rlim_cur > as.rlim_max) {
            as.rlim_cur = as.rlim_max;
        }
        if (setrlimit(RLIMIT_CORE, &core) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
            setrlimit(RLIMIT_AS, &as) != 0) {
            _exit(1);
        }
        try {
            Exiv2::Image::AutoPtr img = Exiv2::ImageFactory::open(fdPath);
            img->readMetadata();
            printf("%d %d\n", img->pixelWidth(), img->pixelHeight());
            _exit(fflush(stdout) == 0 ? 0 : 1);
        } catch (...) {
            _exit(1);
        }
    }
    close(fd);
    if (pid < 0) {
        KAVOLOG(SZ_SOURCE, "readMetadata failed: %s", image);
        return -1;
    }
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return 0;
    }
    if (WIFSIGNALED(status)) {
        KAVOLOG(SZ_SOURCE, "measuring %s stopped by signal %d", image, WTERMSIG(status));
    }
    KAVOLOG(SZ_SOURCE, "readMetadata failed: %s", image);
    return -1;
}

// Owner USER, group of the package account, mode 0660, changed on the image as opened
// beneath the user's folder. A link, a non-file or a file with a second name elsewhere is
// refused: the change would reach a file outside the store.
static int fixOwnership(const char *userName, const char *name) {
    int ret = -1;

    PKAVOUSER user = lookupUser(userName, 0);
    PKAVOUSER package = lookupUser(SZ_PACKAGE_ACCOUNT, 0);
    if (user && user->uid != (uid_t)-1 && package && package->gid != (gid_t)-1) {
        int dirFd = openUserDir(userName);
        int fd = dirFd < 0 ? -1 : KAVOFileOpenRegular(dirFd, name, O_RDONLY | O_NOFOLLOW, 0);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 1) {
            if (fchown(fd, user->uid, package->gid) == 0 && fchmod(fd, WATERMARK_MODE) == 0) {
                ret = 0;
            }
        } else if (dirFd >= 0) {
            KAVOLOG(SZ_SOURCE, "Refused [%s/%s]: not a file of its own", userName, name);
        }
        if (fd >= 0) {
            close(fd);
        }
        if (dirFd >= 0) {
            close(dirFd);
        }
    }
    if (user) {
        KAVOUserFree(user);
    }
    if (package) {
        KAVOUserFree(package);
    }
    return ret;
}

#else  // the user build

// Makes the user's folder in the store (and the store when it is missing); an existing
// folder is fine, a link at the user's name is refused.
static int createUserStore(const char *userName) {
    int storeFd = KAVOPathOpenRoot(SZD_WATERMARK_STORE);
    if (storeFd < 0 && errno == ENOENT &&
        KAVOFSMkdirP(SZD_WATERMARK_STORE, 0, 0, -1, -1, -1) == 0) {
        storeFd = KAVOPathOpenRoot(SZD_WATERMARK_STORE);
    }
    if (storeFd < 0) {
        return -1;
    }
    int ret = 0;
    if (mkdirat(storeFd, userName, 0777) != 0) {
        int fd =
            errno == EEXIST ? KAVOPathOpenAt(storeFd, userName, O_RDONLY | O_DIRECTORY, 0) : -1;
        ret = fd >= 0 ? 0 : -1;
        if (fd >= 0) {
            close(fd);
        }
    }
    close(storeFd);
    return ret;
}

static int removeWatermark(const char *userName, const char *name) {
    int dirFd = openUserDir(userName);
    if (dirFd < 0) {
        return -1;
    }
    int ret = unlinkat(dirFd, name, 0);
    close(dirFd);
    return ret;
}

#endif

// The arguments each letter of this build takes: how many at least, and from which one on they
// name an entry of the store (a user or an image), which must then be a plain name.
static bool argumentsFit(char letter, int count, char **args) {
    static const struct {
        char letter;
        int count;
        int firstName;
    } letters[] = {
#ifdef KAVOPHOTO_WATERMARK_ROOT
        {'c', 3, 1},
        {'e', 1, 1},
        {'o', 2, 0},
#else
        {'d', 1, 0},
        {'r', 2, 0},
#endif
    };

    for (const auto &l : letters) {
        if (l.letter != letter) {
            continue;
        }
        if (count < l.count) {
            return false;
        }
        for (int i = l.firstName; i < l.count; i++) {
            if (!isPlainName(args[i])) {
                return false;
            }
        }
        return true;
    }
    return false;
}

int main(int argc, char **argv) {
    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    // Only the second character of the first argument selects the operation.
    if (argc < 2 || strlen(argv[1]) < 2 || !argumentsFit(argv[1][1], argc - 2, argv + 2)) {
        return -1;
    }
    char **args = argv + 2;

#ifdef KAVOPHOTO_WATERMARK_ROOT
    // Canon CR3 and HEIF-family images are ISO base media files, which Exiv2 reads only once
    // its BMFF reader is switched on.
    Exiv2::enableBMFF(true);
#endif
    switch (argv[1][1]) {
#ifdef KAVOPHOTO_WATERMARK_ROOT
        case 'c':
            return copyWatermark(args[0], args[1], args[2]);
        case 'e':
            return printImageSize(args[0]);
        case 'o':
            return fixOwnership(args[0], args[1]);
#else
        case 'd':
            return createUserStore(args[0]);
        case 'r':
            return removeWatermark(args[0], args[1]);
#endif
        default:
            return -1;
    }
}
