// kavophotoio: the file-system side of index changes. Deletes an indexed file or folder
// through its share's recycle bin, or else through the temporary folder and a forced removal
// with its EA data, and moves files and folders. Forks unless told to block.
//
//   kavophotoio [-b] [-c] -a|-A|-d|-D PATH
//   kavophotoio [-b] [-c] -m NEWPATH OLDPATH
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavofileop.h"
#include "kavorecycle.h"
#include "kavosdk.h"
#include "kavoshare.h"

#define SZ_SOURCE "kavophotoio"
#define SZ_HOME_SHARE "home"
#define SZ_TMP_DIR "/@tmp"
#define PATH_BUF 4096
#define TIME_SUFFIX_BUF 256
// How many numbered names a removal tries when its temporary name is taken.
#define TMP_NAME_TRIES 1000

#define LOG(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, SZ_SOURCE, __LINE__, ##__VA_ARGS__)
#define PLATFORM_ERR VLIBCErrGet(), VLIBCErrorGetFile(), VLIBCErrorGetLine()

enum { MODE_ADD, MODE_ADD_RECURSIVE, MODE_DELETE, MODE_DELETE_RECURSIVE, MODE_MOVE };

// Set by the option parser.
static int g_mode = MODE_ADD;
static const char *g_indexPath = NULL;
static const char *g_oldIndexPath = NULL;
static bool g_blocked = false;
static bool g_copy = false;

static void printUsage(const char *argv0) {
    VLIBCPrintBanner(argv0);
    puts("Usage:");
    printf("\tEx: %s [options] [index path] {old index path}\n", argv0);
    puts("Options:");
    puts("\tb: blocked running, do not fork");
    puts("\ta: adding type of indexing");
    puts("\tA: recursive adding type of indexing");
    puts("\td: deleting type of indexing");
    puts("\tD: recursive deleting type of indexing");
    puts("\tm: move type of indexing");
}

// ---- Where an item belongs -----------------------------------------------------------------

// The share holding the path: "home" with the real home root for a path in a user's home,
// else the share of the path. 0 or -1.
static int RecycleGetShareNamePath(const char *path, char *shareName, size_t nameSize,
                                   char *sharePath, size_t pathSize) {
    PKAVOHOME_CHECK_RESULT home = NULL;
    char real[PATH_MAX];
    int ret = -1;

    if (!path) {
        LOG("Bad parameters.");
        return -1;
    }
    int check = KAVOServiceHomePathCheck(path, 1, 1, &home);
    if (check == 1) {
        const char *root = realpath(home->szHomePath, real) ? real : home->szHomePath;
        if (VLIBCStrCopy(shareName, nameSize, SZ_HOME_SHARE) == 0 &&
            VLIBCStrCopy(sharePath, pathSize, root) == 0) {
            ret = 0;
        }
    } else if (check != 0) {
        LOG("KAVOServiceHomePathCheck failed, path: [%s]", path);
    } else if (KAVOShareNamePathGet(path, shareName, nameSize, sharePath, pathSize) < 0) {
        LOG("KAVOShareNamePathGet failed. path: [%s]. [0x%04X %s:%d]", path, PLATFORM_ERR);
    } else {
        ret = 0;
    }
    if (home) {
        KAVOHomeCheckResultFree(home);
    }
    return ret;
}

// The place of an item with every link above it resolved: its folder through realpath, its
// last component as it stands (a link is itself the item). A path that ends in "/", "." or ".."
// names a folder through that last component, so it is resolved whole. false when it cannot be.
static bool resolveItem(const char *path, char *out, size_t size) {
    char dir[PATH_BUF];
    char real[PATH_MAX];
    const char *base = strrchr(path, '/');

    if (!base) {
        return false;
    }
    base++;
    if (base[0] == '\0' || strcmp(base, ".") == 0 || strcmp(base, "..") == 0) {
        return realpath(path, real) && VLIBCStrCopy(out, size, real) == 0;
    }
    size_t dirLen = (size_t)(base - path);
    if (dirLen >= sizeof(dir)) {
        return false;
    }
    memcpy(dir, path, dirLen);
    dir[dirLen] = '\0';
    if (!realpath(dir, real)) {
        return false;
    }
    return VLIBCStrPrintf(out, size, "%s/%s", strcmp(real, "/") == 0 ? "" : real, base) == 0;
}

// Deleting a share's own folder (or a user's home) would take every item in it, and a path
// that leaves its share through ".." or a link may name another share or home: whatever the
// recycle bin says, only an item that lies inside the share it was found in is deleted.
static bool itemInsideShare(const char *path, const char *shareName, const char *sharePath) {
    char item[PATH_BUF];
    char share[PATH_MAX];

    if (!realpath(sharePath, share) && VLIBCStrCopy(share, sizeof(share), sharePath) != 0) {
        return false;
    }
    if (!resolveItem(path, item, sizeof(item))) {
        LOG("Refused to delete [%s]: cannot resolve it. %m", path);
        return false;
    }
    size_t len = strcmp(share, "/") == 0 ? 0 : strlen(share);
    if (strcmp(item, share) == 0) {
        LOG("Refused to delete the root of share [%s], path: [%s]", shareName, path);
        return false;
    }
    if (strncmp(item, share, len) != 0 || item[len] != '/' || item[len + 1] == '\0') {
        LOG("Refused to delete [%s]: it lies outside share [%s] ([%s])", path, shareName, share);
        return false;
    }
    return true;
}

// ---- Deleting ------------------------------------------------------------------------------

// -1 failure, 0 the share's recycle bin is off, 1 the item is in the recycle bin.
static int RecycleDelete(const char *path, const char *shareName, const char *sharePath) {
    char prefix[PATH_BUF];
    struct stat st;
    int on = 0;
    int adminOnly = 0;

    if (!path || !shareName || !sharePath) {
        LOG("Bad parameters.");
        return -1;
    }
    if (stat(path, &st) != 0) {
        LOG("stat failed, path: [%s].", path);
        return -1;
    }
    bool isDir = S_ISDIR(st.st_mode);
    if (KAVORecycleStatusGet(shareName, &on) < 0) {
        LOG("KAVORecycleStatusGet failed. share:[%s] [0x%04X %s:%d]", shareName, PLATFORM_ERR);
        return -1;
    }
    if (!on) {
        return 0;
    }
    if (KAVORecycleAdminOnlyStatusGet(shareName, &adminOnly) < 0) {
        LOG("KAVORecycleAdminOnlyStatusGet failed. share:[%s] Disable it. [0x%04X %s:%d]",
            shareName, PLATFORM_ERR);
        return -1;
    }
    if (VLIBCStrPrintf(prefix, sizeof(prefix), "%s/", sharePath) != 0 ||
        strncmp(path, prefix, strlen(prefix)) != 0) {
        LOG("Path is not begin with share, path: [%s], share: [%s].", path, sharePath);
        return -1;
    }
    const char *relPath = path + strlen(prefix);
    if (relPath[0] == '\0') {
        LOG("Format of relative path is wrong, path: [%s].", path);
        return -1;
    }
    if (!itemInsideShare(path, shareName, sharePath)) {
        return -1;
    }
    int ret = isDir ? KAVORecycleRmDirWithSharePath(sharePath, relPath, 0, adminOnly)
                    : KAVORecycleUnlinkFileWithSharePath(sharePath, relPath, 0, adminOnly);
    if (ret < 0) {
        LOG("KAVORecycleUnlinkFileWithSharePath failed. share_path:[%s] rpath:[%s] "
            "[0x%04X %s:%d]",
            sharePath, relPath, PLATFORM_ERR);
        return -1;
    }
    return 1;
}

// Moves the item to a name of its own in the temporary folder: its name and the time, with a
// number added when an item of the same name went there within the same second. The rename
// never replaces anything. 0 with the name in target, -1 with errno set.
static int moveToTmp(const char *path, const char *tmpDir, const char *component,
                     const char *suffix, char *target, size_t size) {
    for (int n = 0; n < TMP_NAME_TRIES; ++n) {
        int len = n == 0 ? snprintf(target, size, "%s%s%s", tmpDir, component, suffix)
                         : snprintf(target, size, "%s%s%s.%d", tmpDir, component, suffix, n);
        if (len < 0 || (size_t)len >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (renameat2(AT_FDCWD, path, AT_FDCWD, target, RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno == EINVAL) {
            // A file system without no-replace renames: test the name first.
            struct stat st;
            if (lstat(target, &st) == 0) {
                continue;
            }
            return rename(path, target);
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Removes the item through the temporary folder of its share's volume, then its EA data.
static int TmpDirCheckAndMakeAndRemove(const char *path) {
    char tmpDir[PATH_BUF];
    char target[PATH_BUF];
    char suffix[TIME_SUFFIX_BUF];
    struct stat st;

    if (!path) {
        return -1;
    }
    if (KAVOShareBinPathGet(path, tmpDir, sizeof(tmpDir)) < 0) {
        LOG("Fail to get share bin path from path [%s]", path);
        return -1;
    }
    if (strlen(tmpDir) + strlen(SZ_TMP_DIR) > PATH_BUF - 1) {
        LOG("Failed: tmp path is too long");
        return -1;
    }
    strcat(tmpDir, SZ_TMP_DIR);
    if (stat(tmpDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (mkdir(tmpDir, 0777) != 0) {
            LOG("Failed to mkdir [%s], errno=%d/%m", tmpDir, errno);
            return -1;
        }
    }
    const char *component = strrchr(path, '/');
    if (!component) {
        return -1;
    }
    snprintf(suffix, sizeof(suffix), ".%lld", (long long)time(NULL));
    if (strlen(tmpDir) + strlen(component) + strlen(suffix) > PATH_BUF - 1) {
        LOG("Failed: tmp path is too long");
        return -1;
    }
    const char *removePath = target;
    if (moveToTmp(path, tmpDir, component, suffix, target, sizeof(target)) != 0) {
        if (errno != EXDEV) {
            LOG("Failed to rename [%s->%s], errno=%d/%m", path, target, errno);
            return -1;
        }
        removePath = path;  // another file system: remove it where it is
    }
    if (VLIBCExec("/bin/rm", "-rf", removePath, NULL, NULL) < 0) {
        return -1;
    }
    KAVOEA_REMOVE_OPT opt = {1, 0};
    if (KAVOEARemove(path, -1, &opt) < 0) {
        return -1;
    }
    return 0;
}

// The steps shared by both deletions once the item is known to exist.
static int deleteItem(const char *path) {
    char shareName[PATH_BUF];
    char sharePath[PATH_BUF];

    if (RecycleGetShareNamePath(path, shareName, sizeof(shareName), sharePath, sizeof(sharePath)) !=
        0) {
        LOG("RecycleGetShareNamePath failed. path: [%s] ", path);
        return -1;
    }
    int ret = RecycleDelete(path, shareName, sharePath);
    if (ret == -1) {
        LOG("RecycleGetShareNamePath failed. path: [%s], share name: [%s], share path: [%s] ", path,
            shareName, sharePath);
        return -1;
    }
    if (ret == 1) {
        return 0;
    }
    if (!itemInsideShare(path, shareName, sharePath)) {
        return -1;
    }
    if (TmpDirCheckAndMakeAndRemove(path) != 0) {
        LOG("cbDeleteIndex: TmpDirCheckAndMakeAndRemove: fail to move %s to tmp dir!", path);
        return -1;
    }
    return 0;
}

// ---- The five operations ---------------------------------------------------------------------

static int cbAddIndex(void) {
    if (!g_indexPath) {
        LOG("cbAddRecursiveIndex: incorrect parameters!");
        return -1;
    }
    return 0;
}

static int cbAddRecursiveIndex(void) {
    if (!g_indexPath) {
        LOG("cbAddRecursiveIndex: incorrect parameters!");
        return -1;
    }
    return 0;
}

static int cbDeleteIndex(void) {
    if (!g_indexPath) {
        LOG("cbAddRecursiveIndex: incorrect parameters!");
        return -1;
    }
    if (VLIBCFileExist(g_indexPath) != 1 && VLIBCFileCheckDir(g_indexPath) != 1) {
        LOG("cbDeleteIndex: %s is not file or folder!", g_indexPath);
        return -1;
    }
    return deleteItem(g_indexPath);
}

static int cbDeleteRecursive(void) {
    if (!g_indexPath) {
        return -1;
    }
    if (VLIBCFileCheckDir(g_indexPath) != 1) {
        LOG("cbDeleteRecursive: %s does not exist!", g_indexPath);
        return -1;
    }
    return deleteItem(g_indexPath);
}

static int cbMoveIndex(void) {
    KAVOCOPY_OPT opt;

    if (!g_oldIndexPath || !g_indexPath) {
        return -1;
    }
    bool isFile = VLIBCFileExist(g_oldIndexPath) == 1;
    if (!isFile && VLIBCFileCheckDir(g_oldIndexPath) != 1) {
        LOG("cbMoveIndex: %s is not file or folder!", g_oldIndexPath);
        return -1;
    }
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_OVERWRITE] = 1;
    opt.opt[KAVO_COPY_REMOVE_SRC] = g_copy ? 0 : 1;
    opt.opt[KAVO_COPY_WITH_EA] = 1;
    opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
    if (isFile) {
        if (KAVOFileCopy(g_oldIndexPath, g_indexPath, &opt) < 0) {
            LOG("cbMoveIndex: KAVOFileCopy: fail to move! (%s) (%s)", g_indexPath, g_oldIndexPath);
            return -1;
        }
    } else if (KAVOFileCopyDirectory(g_oldIndexPath, g_indexPath, &opt) < 0) {
        LOG("cbMoveIndex: KAVOFileCopyDirectory: fail to move! (%s) (%s)", g_indexPath,
            g_oldIndexPath);
        return -1;
    }
    return 0;
}

static int (*const g_operations[])(void) = {cbAddIndex, cbAddRecursiveIndex, cbDeleteIndex,
                                            cbDeleteRecursive, cbMoveIndex};

// ---- main ------------------------------------------------------------------------------------

static void setMode(int mode, const char *path) {
    g_mode = mode;
    g_indexPath = path;
}

// 0, or -1 after printing the usage text.
static int parseOptions(int argc, char **argv) {
    int opt;

    while ((opt = getopt(argc, argv, "bca:A:d:D:m:h")) != -1) {
        switch (opt) {
            case 'b':
                g_blocked = true;
                break;
            case 'c':
                g_copy = true;
                break;
            case 'a':
                setMode(MODE_ADD, optarg);
                break;
            case 'A':
                setMode(MODE_ADD_RECURSIVE, optarg);
                break;
            case 'd':
                setMode(MODE_DELETE, optarg);
                break;
            case 'D':
                setMode(MODE_DELETE_RECURSIVE, optarg);
                break;
            case 'm':
                setMode(MODE_MOVE, optarg);
                g_oldIndexPath = optind < argc ? argv[optind] : NULL;
                break;
            default:
                printUsage(argv[0]);
                return -1;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (parseOptions(argc, argv) != 0) {
        return -1;
    }
    if (g_blocked) {
        return g_operations[g_mode]();
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid > 0) {
        return 0;
    }
    return g_operations[g_mode]();
}
