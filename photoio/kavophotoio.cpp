// kavophotoio: the file-system side of index changes. Deletes an indexed file or folder
// through its share's recycle bin, or else through the temporary folder and a forced removal
// with its EA data, and moves files and folders. Forks unless told to block.
//
// It runs as root over shares and homes that users write, so every item is reached beneath
// the root of its share (or home) without following a link: the folder holding it is opened
// once, and the item is renamed, removed or copied relative to that folder, its EA data
// through the same folder. A path through a link or leaving its root by ".." is refused.
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

#define LOG(fmt, ...) KAVOLOG(SZ_SOURCE, fmt, ##__VA_ARGS__)
#define PLATFORM_ERR VLIBCErrGet(), VLIBCErrorGetFile(), VLIBCErrorGetLine()

enum { MODE_ADD, MODE_ADD_RECURSIVE, MODE_DELETE, MODE_DELETE_RECURSIVE, MODE_MOVE };

// Set by the option parser.
static int g_mode = MODE_ADD;
static const char *g_indexPath = nullptr;
static const char *g_oldIndexPath = nullptr;
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
    PKAVOHOME_CHECK_RESULT home = nullptr;
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

// Opens the folder that holds the item path beneath its share (or home) root, without
// following a link on the way, and gives the item's name in leaf. A path that ends in "/" names
// a folder through its last component, which must then be a folder itself, not a link. The
// share's own folder (or the home) is never an item. Folder fd, or -1 after logging why.
static int openItemParent(const char *path, const char *what, const char *shareName,
                          const char *sharePath, char *leaf, size_t leafSize) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    size_t len = strlen(path);
    int fd = KAVOPathOpenParent(sharePath, path, leaf, leafSize);

    if (fd < 0) {
        if (errno == EINVAL) {
            LOG("Refused to %s the root of share [%s], path: [%s]", what, shareName, path);
        } else {
            LOG("Refused to %s [%s] beneath share [%s] ([%s]): %m", what, path, shareName,
                sharePath);
        }
        return -1;
    }
    if (len > 0 && path[len - 1] == '/' &&
        (fstatat(fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))) {
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
        }
        LOG("Refused to %s [%s]: not a folder of share [%s]: %m", what, path, shareName);
        close(fd);
        return -1;
    }
    return fd;
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
    char leaf[PATH_BUF];
    int parent = openItemParent(path, "delete", shareName, sharePath, leaf, sizeof(leaf));
    if (parent < 0) {
        return -1;
    }
    close(parent);
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

// Moves the item leaf of the folder parent to a name of its own in the temporary folder tmp:
// its name and the time, with a number added when an item of the same name went there within
// the same second. The rename never replaces anything. 0 with the name in target, -1 with
// errno set.
static int moveToTmp(int parent, const char *leaf, int tmp, const char *suffix, char *target,
                     size_t size) {
    for (int n = 0; n < TMP_NAME_TRIES; ++n) {
        int len = n == 0 ? snprintf(target, size, "%s%s", leaf, suffix)
                         : snprintf(target, size, "%s%s.%d", leaf, suffix, n);
        if (len < 0 || (size_t)len >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (renameat2(parent, leaf, tmp, target, RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno == EINVAL) {
            // A file system without no-replace renames: test the name first.
            struct stat st;
            if (fstatat(tmp, target, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                continue;
            }
            return renameat(parent, leaf, tmp, target);
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Removes name of the open folder dir with "/bin/rm", reaching it through the descriptor so
// that no name above it is looked up again, never leaving the item's file system. Any status
// but 0 is a failure.
static int forceRemove(int dir, const char *name, const char *shown) {
    char target[PATH_BUF];

    if (VLIBCStrPrintf(target, sizeof(target), "/proc/%d/fd/%d/%s", (int)getpid(), dir, name) !=
        0) {
        LOG("Failed: tmp path is too long");
        return -1;
    }
    int status = VLIBCExec("/bin/rm", "-rf", "--one-file-system", target, nullptr);
    if (status != 0) {
        LOG("Failed to remove [%s]: /bin/rm exit status %d", shown, status);
        return -1;
    }
    return 0;
}

// Removes the item leaf of the folder parent (path as given) through the temporary folder of
// its share's volume, then its EA data.
static int TmpDirCheckAndMakeAndRemove(const char *path, int parent, const char *leaf) {
    char tmpDir[PATH_BUF];
    char target[PATH_BUF];
    char shown[PATH_BUF];
    char suffix[TIME_SUFFIX_BUF];

    if (!path) {
        return -1;
    }
    if (KAVOShareBinPathGet(path, tmpDir, sizeof(tmpDir)) < 0) {
        LOG("Fail to get share bin path from path [%s]", path);
        return -1;
    }
    size_t baseLen = strlen(tmpDir);
    if (baseLen + strlen(SZ_TMP_DIR) > PATH_BUF - 1) {
        LOG("Failed: tmp path is too long");
        return -1;
    }
    int tmp = KAVOShareTmpDirOpen(tmpDir);
    strcat(tmpDir, SZ_TMP_DIR);
    if (tmp < 0) {
        LOG("Failed to mkdir [%s], errno=%d/%m", tmpDir, errno);
        return -1;
    }
    snprintf(suffix, sizeof(suffix), ".%lld", (long long)time(nullptr));
    if (strlen(tmpDir) + 1 + strlen(leaf) + strlen(suffix) > PATH_BUF - 1) {
        LOG("Failed: tmp path is too long");
        close(tmp);
        return -1;
    }
    int ret = -1;
    if (moveToTmp(parent, leaf, tmp, suffix, target, sizeof(target)) == 0) {
        if (VLIBCStrPrintf(shown, sizeof(shown), "%s/%s", tmpDir, target) != 0) {
            VLIBCStrCopy(shown, sizeof(shown), target);
        }
        ret = forceRemove(tmp, target, shown);
    } else if (errno == EXDEV) {
        // The temporary folder lies on another file system: removed where it is.
        ret = forceRemove(parent, leaf, path);
    } else {
        LOG("Failed to rename [%s->%s/%s], errno=%d/%m", path, tmpDir, target, errno);
    }
    close(tmp);
    if (ret != 0) {
        return -1;
    }
    KAVOEA_REMOVE_OPT opt = {1, 0};
    if (KAVOEARemoveAt(parent, leaf, &opt) < 0) {
        LOG("Failed to remove the EA data of [%s]: %m", path);
        return -1;
    }
    return 0;
}

// The steps shared by both deletions once the item is known to exist.
static int deleteItem(const char *path) {
    char shareName[PATH_BUF];
    char sharePath[PATH_BUF];
    char leaf[PATH_BUF];

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
    int parent = openItemParent(path, "delete", shareName, sharePath, leaf, sizeof(leaf));
    if (parent < 0) {
        return -1;
    }
    ret = TmpDirCheckAndMakeAndRemove(path, parent, leaf);
    close(parent);
    if (ret != 0) {
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

// Opens the folder holding a path of a move beneath its share (or home) root. fd or -1.
static int openMoveParent(const char *path, char *leaf, size_t leafSize) {
    char shareName[PATH_BUF];
    char sharePath[PATH_BUF];

    if (RecycleGetShareNamePath(path, shareName, sizeof(shareName), sharePath, sizeof(sharePath)) !=
        0) {
        LOG("RecycleGetShareNamePath failed. path: [%s] ", path);
        return -1;
    }
    return openItemParent(path, "move", shareName, sharePath, leaf, leafSize);
}

static int cbMoveIndex(void) {
    KAVOCOPY_OPT opt;
    char oldLeaf[PATH_BUF];
    char newLeaf[PATH_BUF];

    if (!g_oldIndexPath || !g_indexPath) {
        return -1;
    }
    bool isFile = VLIBCFileExist(g_oldIndexPath) == 1;
    if (!isFile && VLIBCFileCheckDir(g_oldIndexPath) != 1) {
        LOG("cbMoveIndex: %s is not file or folder!", g_oldIndexPath);
        return -1;
    }
    int oldDir = openMoveParent(g_oldIndexPath, oldLeaf, sizeof(oldLeaf));
    if (oldDir < 0) {
        return -1;
    }
    int newDir = openMoveParent(g_indexPath, newLeaf, sizeof(newLeaf));
    if (newDir < 0) {
        close(oldDir);
        return -1;
    }
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_OVERWRITE] = 1;
    opt.opt[KAVO_COPY_REMOVE_SRC] = g_copy ? 0 : 1;
    opt.opt[KAVO_COPY_WITH_EA] = 1;
    opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
    int ret = 0;
    if (isFile) {
        if (KAVOFileCopyAt(oldDir, oldLeaf, newDir, newLeaf, &opt) < 0) {
            LOG("cbMoveIndex: KAVOFileCopy: fail to move! (%s) (%s)", g_indexPath, g_oldIndexPath);
            ret = -1;
        }
    } else if (KAVOFileCopyDirectoryAt(oldDir, oldLeaf, newDir, newLeaf, &opt) < 0) {
        LOG("cbMoveIndex: KAVOFileCopyDirectory: fail to move! (%s) (%s)", g_indexPath,
            g_oldIndexPath);
        ret = -1;
    }
    close(oldDir);
    close(newDir);
    return ret;
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
                g_oldIndexPath = optind < argc ? argv[optind] : nullptr;
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
    // The caller reads the parent's output to its end: the child keeps none of its streams.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
        dup2(null, STDERR_FILENO) < 0) {
        LOG("Failed to detach the standard streams: %m");
        return -1;
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
    setsid();
    return g_operations[g_mode]();
}
