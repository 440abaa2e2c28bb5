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

#include <string>

#include "kavocore.h"
#include "kavofileop.h"
#include "kavorecycle.h"
#include "kavosdk.h"
#include "kavoshare.h"

#define SZ_SOURCE "kavophotoio"
#define SZ_HOME_SHARE "home"
#define SZ_TMP_DIR "/@tmp"
#define TIME_SUFFIX_SIZE 256
// How many numbered names a removal tries when its temporary name is taken.
#define TMP_NAME_TRIES 1000

#define PLATFORM_ERR VLIBCErrGet(), VLIBCErrorGetFile(), VLIBCErrorGetLine()

enum { MODE_ADD, MODE_ADD_RECURSIVE, MODE_DELETE, MODE_DELETE_RECURSIVE, MODE_MOVE };

// What the command line asks for, set by the option parser.
typedef struct _tag_KAVOPHOTOIO_ARGS {
    int mode;
    const char *indexPath;     // -a, -A, -d, -D, and the new place of -m
    const char *oldIndexPath;  // -m: the word right after its argument
    bool blocked;              // -b: run in the foreground
    bool copy;                 // -c: -m keeps the source
} KAVOPHOTOIO_ARGS;

// The share (or home) an item belongs to.
struct ItemShare {
    char name[KAVO_PATH_SIZE];
    char path[KAVO_PATH_SIZE];
};

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
        KAVOLOG(SZ_SOURCE, "Bad parameters.");
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
        KAVOLOG(SZ_SOURCE, "KAVOServiceHomePathCheck failed, path: [%s]", path);
    } else if (KAVOShareNamePathGet(path, shareName, nameSize, sharePath, pathSize) < 0) {
        KAVOLOG(SZ_SOURCE, "KAVOShareNamePathGet failed. path: [%s]. [0x%04X %s:%d]", path,
                PLATFORM_ERR);
    } else {
        ret = 0;
    }
    if (home) {
        KAVOHomeCheckResultFree(home);
    }
    return ret;
}

// RecycleGetShareNamePath into share, logged when it fails. 0 or -1.
static int findItemShare(const char *path, ItemShare *share) {
    if (RecycleGetShareNamePath(path, share->name, sizeof(share->name), share->path,
                                sizeof(share->path)) != 0) {
        KAVOLOG(SZ_SOURCE, "RecycleGetShareNamePath failed. path: [%s] ", path);
        return -1;
    }
    return 0;
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
            KAVOLOG(SZ_SOURCE, "Refused to %s the root of share [%s], path: [%s]", what, shareName,
                    path);
        } else {
            KAVOLOG(SZ_SOURCE, "Refused to %s [%s] beneath share [%s] ([%s]): %m", what, path,
                    shareName, sharePath);
        }
        return -1;
    }
    if (len > 0 && path[len - 1] == '/' &&
        (fstatat(fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))) {
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
        }
        KAVOLOG(SZ_SOURCE, "Refused to %s [%s]: not a folder of share [%s]: %m", what, path,
                shareName);
        close(fd);
        return -1;
    }
    return fd;
}

// ---- Deleting ------------------------------------------------------------------------------

// -1 failure, 0 the share's recycle bin is off, 1 the item is in the recycle bin.
static int RecycleDelete(const char *path, const char *shareName, const char *sharePath) {
    char prefix[KAVO_PATH_SIZE];
    char leaf[KAVO_PATH_SIZE];
    struct stat st;
    int on = 0;
    int adminOnly = 0;

    if (!path || !shareName || !sharePath) {
        KAVOLOG(SZ_SOURCE, "Bad parameters.");
        return -1;
    }
    if (stat(path, &st) != 0) {
        KAVOLOG(SZ_SOURCE, "stat failed, path: [%s].", path);
        return -1;
    }
    bool isDir = S_ISDIR(st.st_mode);
    if (KAVORecycleStatusGet(shareName, &on) < 0) {
        KAVOLOG(SZ_SOURCE, "KAVORecycleStatusGet failed. share:[%s] [0x%04X %s:%d]", shareName,
                PLATFORM_ERR);
        return -1;
    }
    if (!on) {
        return 0;
    }
    if (KAVORecycleAdminOnlyStatusGet(shareName, &adminOnly) < 0) {
        KAVOLOG(SZ_SOURCE,
                "KAVORecycleAdminOnlyStatusGet failed. share:[%s] Disable it. [0x%04X %s:%d]",
                shareName, PLATFORM_ERR);
        return -1;
    }
    if (VLIBCStrPrintf(prefix, sizeof(prefix), "%s/", sharePath) != 0 ||
        strncmp(path, prefix, strlen(prefix)) != 0) {
        KAVOLOG(SZ_SOURCE, "Path is not begin with share, path: [%s], share: [%s].", path,
                sharePath);
        return -1;
    }
    const char *relPath = path + strlen(prefix);
    if (relPath[0] == '\0') {
        KAVOLOG(SZ_SOURCE, "Format of relative path is wrong, path: [%s].", path);
        return -1;
    }
    // Only an item reached beneath the share's root, without a link, goes to the recycle bin.
    int parent = openItemParent(path, "delete", shareName, sharePath, leaf, sizeof(leaf));
    if (parent < 0) {
        return -1;
    }
    close(parent);
    int ret = isDir ? KAVORecycleRmDirWithSharePath(sharePath, relPath, 0, adminOnly)
                    : KAVORecycleUnlinkFileWithSharePath(sharePath, relPath, 0, adminOnly);
    if (ret < 0) {
        // Folders too are reported under the file call's name: kept as callers expect it.
        KAVOLOG(SZ_SOURCE,
                "KAVORecycleUnlinkFileWithSharePath failed. share_path:[%s] rpath:[%s] "
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
    for (int attempt = 0; attempt < TMP_NAME_TRIES; ++attempt) {
        int len = attempt == 0 ? snprintf(target, size, "%s%s", leaf, suffix)
                               : snprintf(target, size, "%s%s.%d", leaf, suffix, attempt);
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
    char target[KAVO_PATH_SIZE];

    if (VLIBCStrPrintf(target, sizeof(target), "/proc/%d/fd/%d/%s", (int)getpid(), dir, name) !=
        0) {
        KAVOLOG(SZ_SOURCE, "Failed: tmp path is too long");
        return -1;
    }
    int status = VLIBCExec("/bin/rm", "-rf", "--one-file-system", target, nullptr);
    if (status != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to remove [%s]: /bin/rm exit status %d", shown, status);
        return -1;
    }
    return 0;
}

// Removes the item leaf of the folder parent (path as given) through the temporary folder of
// its share's volume, then its EA data.
static int TmpDirCheckAndMakeAndRemove(const char *path, int parent, const char *leaf) {
    char tmpDir[KAVO_PATH_SIZE];
    char target[KAVO_PATH_SIZE];
    char suffix[TIME_SUFFIX_SIZE];

    if (!path) {
        return -1;
    }
    if (KAVOShareBinPathGet(path, tmpDir, sizeof(tmpDir)) < 0) {
        KAVOLOG(SZ_SOURCE, "Fail to get share bin path from path [%s]", path);
        return -1;
    }
    size_t baseLen = strlen(tmpDir);
    if (baseLen + strlen(SZ_TMP_DIR) > KAVO_PATH_SIZE - 1) {
        KAVOLOG(SZ_SOURCE, "Failed: tmp path is too long");
        return -1;
    }
    int tmp = KAVOShareTmpDirOpen(tmpDir);
    strcat(tmpDir, SZ_TMP_DIR);
    if (tmp < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to mkdir [%s], errno=%d/%m", tmpDir, errno);
        return -1;
    }
    if (VLIBCStrPrintf(suffix, sizeof(suffix), ".%lld", (long long)time(nullptr)) != 0 ||
        strlen(tmpDir) + 1 + strlen(leaf) + strlen(suffix) > KAVO_PATH_SIZE - 1) {
        KAVOLOG(SZ_SOURCE, "Failed: tmp path is too long");
        close(tmp);
        return -1;
    }
    int ret = -1;
    if (moveToTmp(parent, leaf, tmp, suffix, target, sizeof(target)) == 0) {
        ret = forceRemove(tmp, target, (std::string(tmpDir) + "/" + target).c_str());
    } else if (errno == EXDEV) {
        // The temporary folder lies on another file system: removed where it is.
        ret = forceRemove(parent, leaf, path);
    } else {
        KAVOLOG(SZ_SOURCE, "Failed to rename [%s->%s/%s], errno=%d/%m", path, tmpDir, target,
                errno);
    }
    close(tmp);
    if (ret != 0) {
        return -1;
    }
    KAVOEA_REMOVE_OPT opt = {1, 0};
    if (KAVOEARemoveAt(parent, leaf, &opt) < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to remove the EA data of [%s]: %m", path);
        return -1;
    }
    return 0;
}

// Both deletions once the item is known to exist: into the recycle bin when the share has it
// on, else through the temporary folder.
static int deleteItem(const char *path) {
    ItemShare share;

    if (findItemShare(path, &share) != 0) {
        return -1;
    }
    int ret = RecycleDelete(path, share.name, share.path);
    if (ret == -1) {
        // Names the share lookup although the recycle step failed: kept as callers expect it.
        KAVOLOG(SZ_SOURCE,
                "RecycleGetShareNamePath failed. path: [%s], share name: [%s], share path: [%s] ",
                path, share.name, share.path);
        return -1;
    }
    if (ret == 1) {
        return 0;
    }
    char leaf[KAVO_PATH_SIZE];
    int parent = openItemParent(path, "delete", share.name, share.path, leaf, sizeof(leaf));
    if (parent < 0) {
        return -1;
    }
    ret = TmpDirCheckAndMakeAndRemove(path, parent, leaf);
    close(parent);
    if (ret != 0) {
        // "-D" reports its failure under "-d"'s name too: kept as callers expect it.
        KAVOLOG(SZ_SOURCE,
                "cbDeleteIndex: TmpDirCheckAndMakeAndRemove: fail to move %s to tmp dir!", path);
        return -1;
    }
    return 0;
}

// ---- The five operations ---------------------------------------------------------------------

// Every mode but "-D" needs its index path, and all of them report a missing one in the words
// of the recursive add: the text is kept as callers expect it.
static bool hasIndexPath(const KAVOPHOTOIO_ARGS *args) {
    if (!args->indexPath) {
        KAVOLOG(SZ_SOURCE, "cbAddRecursiveIndex: incorrect parameters!");
        return false;
    }
    return true;
}

static int cbAddIndex(const KAVOPHOTOIO_ARGS *args) {
    return hasIndexPath(args) ? 0 : -1;
}

static int cbAddRecursiveIndex(const KAVOPHOTOIO_ARGS *args) {
    return hasIndexPath(args) ? 0 : -1;
}

static int cbDeleteIndex(const KAVOPHOTOIO_ARGS *args) {
    if (!hasIndexPath(args)) {
        return -1;
    }
    if (VLIBCFileExist(args->indexPath) != 1 && VLIBCFileCheckDir(args->indexPath) != 1) {
        KAVOLOG(SZ_SOURCE, "cbDeleteIndex: %s is not file or folder!", args->indexPath);
        return -1;
    }
    return deleteItem(args->indexPath);
}

// Like cbDeleteIndex, for a folder only; a missing path fails without a message.
static int cbDeleteRecursive(const KAVOPHOTOIO_ARGS *args) {
    const char *path = args->indexPath;

    if (!path) {
        return -1;
    }
    if (VLIBCFileCheckDir(path) != 1) {
        KAVOLOG(SZ_SOURCE, "cbDeleteRecursive: %s does not exist!", path);
        return -1;
    }
    return deleteItem(path);
}

// Opens the folder holding a path of a move beneath its share (or home) root. fd or -1.
static int openMoveParent(const char *path, char *leaf, size_t leafSize) {
    ItemShare share;

    if (findItemShare(path, &share) != 0) {
        return -1;
    }
    return openItemParent(path, "move", share.name, share.path, leaf, leafSize);
}

static int cbMoveIndex(const KAVOPHOTOIO_ARGS *args) {
    const char *oldPath = args->oldIndexPath;
    const char *newPath = args->indexPath;
    KAVOCOPY_OPT opt;
    char oldLeaf[KAVO_PATH_SIZE];
    char newLeaf[KAVO_PATH_SIZE];

    if (!oldPath || !newPath) {
        return -1;
    }
    bool isFile = VLIBCFileExist(oldPath) == 1;
    if (!isFile && VLIBCFileCheckDir(oldPath) != 1) {
        KAVOLOG(SZ_SOURCE, "cbMoveIndex: %s is not file or folder!", oldPath);
        return -1;
    }
    int oldDir = openMoveParent(oldPath, oldLeaf, sizeof(oldLeaf));
    if (oldDir < 0) {
        return -1;
    }
    int newDir = openMoveParent(newPath, newLeaf, sizeof(newLeaf));
    if (newDir < 0) {
        close(oldDir);
        return -1;
    }
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_OVERWRITE] = 1;
    opt.opt[KAVO_COPY_REMOVE_SRC] = args->copy ? 0 : 1;
    opt.opt[KAVO_COPY_WITH_EA] = 1;
    opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
    int ret = 0;
    if (isFile) {
        if (KAVOFileCopyAt(oldDir, oldLeaf, newDir, newLeaf, &opt) < 0) {
            // Names KAVOFileCopy and a move, new path first: kept as callers expect it.
            KAVOLOG(SZ_SOURCE, "cbMoveIndex: KAVOFileCopy: fail to move! (%s) (%s)", newPath,
                    oldPath);
            ret = -1;
        }
    } else if (KAVOFileCopyDirectoryAt(oldDir, oldLeaf, newDir, newLeaf, &opt) < 0) {
        KAVOLOG(SZ_SOURCE, "cbMoveIndex: KAVOFileCopyDirectory: fail to move! (%s) (%s)", newPath,
                oldPath);
        ret = -1;
    }
    close(oldDir);
    close(newDir);
    return ret;
}

// The operation of the mode. 0 or -1.
static int runOperation(const KAVOPHOTOIO_ARGS *args) {
    switch (args->mode) {
        case MODE_ADD:
            return cbAddIndex(args);
        case MODE_ADD_RECURSIVE:
            return cbAddRecursiveIndex(args);
        case MODE_DELETE:
            return cbDeleteIndex(args);
        case MODE_DELETE_RECURSIVE:
            return cbDeleteRecursive(args);
        case MODE_MOVE:
            return cbMoveIndex(args);
        default:
            return -1;
    }
}

// ---- main ------------------------------------------------------------------------------------

// The mode an option selects, or -1 for an option that selects none.
static int modeOfOption(int opt) {
    static const struct {
        int option;
        int mode;
    } modes[] = {{'a', MODE_ADD},
                 {'A', MODE_ADD_RECURSIVE},
                 {'d', MODE_DELETE},
                 {'D', MODE_DELETE_RECURSIVE},
                 {'m', MODE_MOVE}};

    for (const auto &m : modes) {
        if (m.option == opt) {
            return m.mode;
        }
    }
    return -1;
}

// Fills args from the command line. 0, or -1 after printing the usage text.
static int parseOptions(int argc, char **argv, KAVOPHOTOIO_ARGS *args) {
    int opt;

    while ((opt = getopt(argc, argv, "bca:A:d:D:m:h")) != -1) {
        int mode = modeOfOption(opt);
        if (opt == 'b') {
            args->blocked = true;
        } else if (opt == 'c') {
            args->copy = true;
        } else if (mode < 0) {
            printUsage(argv[0]);
            return -1;
        } else {
            // A later mode option replaces an earlier one, mode and path.
            args->mode = mode;
            args->indexPath = optarg;
            if (mode == MODE_MOVE) {
                args->oldIndexPath = optind < argc ? argv[optind] : nullptr;
            }
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    KAVOPHOTOIO_ARGS args = {MODE_ADD, nullptr, nullptr, false, false};

    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (parseOptions(argc, argv, &args) != 0) {
        return -1;
    }
    if (args.blocked) {
        return runOperation(&args);
    }
    // Nothing buffered may be written twice, by the parent and by the child.
    (void)fflush(stdout);
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
        KAVOLOG(SZ_SOURCE, "Failed to detach the standard streams: %m");
        return -1;
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
    setsid();
    return runOperation(&args);
}
