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
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavofileop.h"

#ifdef KAVOPHOTO_WATERMARK_ROOT
#include <exiv2/exiv2.hpp>

#include <fstream>

#include "kavosdk.h"
#endif

#define SZ_SOURCE "kavophoto_watermark_util_root"
#define SZD_WATERMARK_STORE "/var/packages/Lumora/target/watermarks"
#define SZ_PACKAGE_ACCOUNT "Lumora"
#define SZ_EA_DIR "@eaDir"
#define WATERMARK_MODE 0660
#define PATH_BUF 4096

#ifdef KAVOPHOTO_WATERMARK_ROOT
#define LOG(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, SZ_SOURCE, __LINE__, ##__VA_ARGS__)
#else
#define LOG(fmt, ...) \
    do {              \
    } while (0)
#endif

// USER and NAME become path components of the store: only a plain name may pass, so that no
// argument reaches outside its user's folder.
static bool isPlainName(const char *name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        strchr(name, '/') != NULL) {
        LOG("Bad name [%s]", name);
        return false;
    }
    return true;
}

// store + "/" + user [+ "/" + name]. 0 or -1 (too long).
static int storePath(char *buf, size_t size, const char *user, const char *name) {
    if (name) {
        return VLIBCStrPrintf(buf, size, "%s/%s/%s", SZD_WATERMARK_STORE, user, name);
    }
    return VLIBCStrPrintf(buf, size, "%s/%s", SZD_WATERMARK_STORE, user);
}

#ifdef KAVOPHOTO_WATERMARK_ROOT

// The account of a name (converted to its login spelling); null when there is none.
static PKAVOUSER lookupUser(const char *name, int flag) {
    char login[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER user = NULL;

    if (KAVOUserLoginNameConvert(name, login, sizeof(login), flag) <= 0) {
        snprintf(login, sizeof(login), "%s", name);
    }
    if (KAVOUserGet(login, &user) != 0) {
        LOG("KAVOUserGet(%s) failed", login);
        return NULL;
    }
    return user;
}

static int copyWatermark(const char *source, const char *userName, const char *name) {
    char dest[PATH_BUF];
    char eaDir[PATH_BUF];
    KAVOCOPY_OPT opt;

    {
        std::ifstream probe(source);
        if (!probe.is_open()) {
            LOG("ifstream open failed: %s", source);
            return -1;
        }
    }
    if (storePath(dest, sizeof(dest), userName, name) != 0 ||
        storePath(eaDir, sizeof(eaDir), userName, SZ_EA_DIR) != 0) {
        LOG("Path too long [%s/%s]", userName, name);
        return -1;
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
    int ret = KAVOCopyFileI(source, dest, &opt, -1, 0);
    VLIBCExec("/bin/rm", "-rf", eaDir, NULL, NULL);
    if (user) {
        KAVOUserFree(user);
    }
    return ret;
}

static int printImageSize(const char *image) {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    try {
        Exiv2::Image::AutoPtr img = Exiv2::ImageFactory::open(image);
        img->readMetadata();
        printf("%d %d\n", img->pixelWidth(), img->pixelHeight());
        fflush(stdout);
        return 0;
    } catch (...) {
        LOG("readMetadata failed: %s", image);
        return -1;
    }
}

// Owner USER, group of the package account, mode 0660. The image is opened without following
// a link, so a link planted in the store cannot hand another file to the user.
static int fixOwnership(const char *userName, const char *name) {
    char path[PATH_BUF];
    int ret = -1;

    PKAVOUSER user = lookupUser(userName, 0);
    PKAVOUSER package = lookupUser(SZ_PACKAGE_ACCOUNT, 0);
    if (user && user->uid != (uid_t)-1 && package && package->gid != (gid_t)-1 &&
        storePath(path, sizeof(path), userName, name) == 0) {
        int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            if (fchown(fd, user->uid, package->gid) == 0 && fchmod(fd, WATERMARK_MODE) == 0) {
                ret = 0;
            }
            close(fd);
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

static int createUserStore(const char *userName) {
    char dir[PATH_BUF];

    if (storePath(dir, sizeof(dir), userName, NULL) != 0) {
        return -1;
    }
    return KAVOFSMkdirP(dir, 0, 0, -1, -1, -1);
}

static int removeWatermark(const char *userName, const char *name) {
    char path[PATH_BUF];

    if (storePath(path, sizeof(path), userName, name) != 0) {
        return -1;
    }
    return unlink(path);
}

#endif

int main(int argc, char **argv) {
    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (argc < 2 || strlen(argv[1]) < 2) {
        return -1;
    }
    int nargs = argc - 2;
    char **args = argv + 2;

    switch (argv[1][1]) {
#ifdef KAVOPHOTO_WATERMARK_ROOT
        case 'c':
            if (nargs < 3 || !isPlainName(args[1]) || !isPlainName(args[2])) {
                return -1;
            }
            return copyWatermark(args[0], args[1], args[2]);
        case 'e':
            if (nargs < 1) {
                return -1;
            }
            return printImageSize(args[0]);
        case 'o':
            if (nargs < 2 || !isPlainName(args[0]) || !isPlainName(args[1])) {
                return -1;
            }
            return fixOwnership(args[0], args[1]);
#else
        case 'd':
            if (nargs < 1 || !isPlainName(args[0])) {
                return -1;
            }
            return createUserStore(args[0]);
        case 'r':
            if (nargs < 2 || !isPlainName(args[0]) || !isPlainName(args[1])) {
                return -1;
            }
            return removeWatermark(args[0], args[1]);
#endif
        default:
            return -1;
    }
}
