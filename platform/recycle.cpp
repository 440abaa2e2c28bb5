// libkavorecycle: the recycle bin of a share.
//
// An item "a/b/c.jpg" of the share at S goes to "S/#recycle/a/b/c.jpg"; missing folders on
// the way are made like their counterparts in the share (mode and owner). An item already in
// the bin keeps its place and the newcomer takes the first free numbered name: "c (1).jpg",
// "c (2).jpg", ... (a folder is numbered after its whole name). A folder on the way that is
// blocked in the bin by a file or a link of the same name is numbered the same way, so an
// earlier file "album" never blocks later deletes below a folder "album". The item's EA data
// goes along.
//
// Everything is reached from the share root by descriptors without following a link: the
// item's folder through the trusted-root primitive, the bin and its folders by *at calls with
// O_NOFOLLOW; the item is renamed from its opened folder into the opened bin folder.
//
// Relative paths are taken component by component: empty and "." components are dropped, ".."
// is refused, and a path that names the share itself (or its bin) is refused.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "kavofileop.h"
#include "kavorecycle.h"
#include "kavosdk.h"
#include "kavoshare.h"

#define RECYCLE_NUMBER_MAX 100000
#define SZ_HOME_SHARE_NAME "home"
#define SZ_ADMIN_GROUP "administrators"
#define GR_BUF_SIZE 16384
#define DIR_FLAGS (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)

// ---- Settings --------------------------------------------------------------------------------

// The share whose settings apply: user homes follow the "homes" share.
static const char *settingsShare(const char *name) {
    return strcmp(name, SZ_HOME_SHARE_NAME) == 0 ? SZ_HOMES_SHARE : name;
}

static int readShareFlags(const char *shareName, int *on, int adminOnly) {
    PKAVOSHARE share = nullptr;

    if (shareName == nullptr || shareName[0] == '\0' || on == nullptr ||
        strlen(shareName) >= KAVO_PATH_SIZE) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (KAVOShareGet(settingsShare(shareName), &share) != 0) {
        return -1;
    }
    *on = adminOnly ? share->blRecycleBinAdminOnly : share->blRecycleBin;
    KAVOShareFree(share);
    return 0;
}

int KAVORecycleStatusGet(const char *shareName, int *on) {
    return readShareFlags(shareName, on, 0);
}

int KAVORecycleAdminOnlyStatusGet(const char *shareName, int *adminOnly) {
    return readShareFlags(shareName, adminOnly, 1);
}

// ---- Paths -----------------------------------------------------------------------------------

// The share path without trailing slashes into buf. 0 or -1.
static int shareRoot(const char *sharePath, char *buf, size_t size) {
    size_t len;

    if (sharePath == nullptr || sharePath[0] != '/' || VLIBCStrCopy(buf, size, sharePath) != 0) {
        return -1;
    }
    len = strlen(buf);
    while (len > 1 && buf[len - 1] == '/') {
        len--;
    }
    buf[len] = '\0';
    return 0;
}

// The relative path with empty and "." components dropped. -1 for "..", for nothing left,
// and for the bin itself.
static int normalizeRel(const char *rel, char *buf, size_t size) {
    const char *p = rel;
    size_t used = 0;

    if (rel == nullptr || size == 0) {
        return -1;
    }
    buf[0] = '\0';
    while (*p != '\0') {
        const char *end = strchr(p, '/');
        size_t len = end == nullptr ? strlen(p) : (size_t)(end - p);
        if (len == 2 && p[0] == '.' && p[1] == '.') {
            return -1;
        }
        if (len > 0 && !(len == 1 && p[0] == '.')) {
            if (used + (used > 0 ? 1 : 0) + len >= size) {
                return -1;
            }
            if (used > 0) {
                buf[used++] = '/';
            }
            memcpy(buf + used, p, len);
            used += len;
            buf[used] = '\0';
        }
        p += len;
        while (*p == '/') {
            p++;
        }
    }
    if (used == 0 || strcmp(buf, SZ_RECYCLE_DIR) == 0) {
        return -1;
    }
    return 0;
}

// An item of a share, as the callers name it: the share's root and the item's path below it.
struct Item {
    char root[KAVO_PATH_SIZE];
    char rel[KAVO_PATH_SIZE];  // normalised
};

// Checks and normalises the arguments (the item's whole path must fit a path too) and opens
// the share's root. fd or -1.
static int openItem(const char *sharePath, const char *relPath, Item *item) {
    char src[KAVO_PATH_SIZE];

    if (sharePath == nullptr || relPath == nullptr || sharePath[0] == '\0' || relPath[0] == '\0' ||
        shareRoot(sharePath, item->root, sizeof(item->root)) != 0 ||
        normalizeRel(relPath, item->rel, sizeof(item->rel)) != 0) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (VLIBCStrPrintf(src, sizeof(src), "%s/%s", strcmp(item->root, "/") == 0 ? "" : item->root,
                       item->rel) != 0) {
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return KAVOPathOpenRoot(item->root);
}

// The n-th name of an item in the bin: the name itself, then "stem (n).ext" for a file and
// "name (n)" for a folder. 0 or -1.
static int numberedName(const char *name, int isDir, int n, char *buf, size_t size) {
    const char *dot = isDir ? nullptr : strrchr(name, '.');

    if (n == 0) {
        return VLIBCStrCopy(buf, size, name);
    }
    if (dot == name) {
        dot = nullptr;  // ".hidden" has no extension
    }
    int stemLen = dot == nullptr ? (int)strlen(name) : (int)(dot - name);
    return VLIBCStrPrintf(buf, size, "%.*s (%d)%s", stemLen, name, n, dot == nullptr ? "" : dot);
}

// Opens the bin folder for the share folder like (an open descriptor) in binDir: the first of
// "name", "name (1)", ... that is a folder, or made (like's mode and owner) where none is.
// With create 0 nothing is made and -2 tells that the first free name would be made.
// fd (its name appended to path), -2, or -1 with errno set.
static int binFolderAt(int binDir, const char *name, int like, int create, std::string *path) {
    char cand[NAME_MAX + 16];
    struct stat st;

    for (int n = 0; n <= RECYCLE_NUMBER_MAX; n++) {
        if (numberedName(name, 1, n, cand, sizeof(cand)) != 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = openat(binDir, cand, DIR_FLAGS);
        if (fd < 0 && errno == ENOENT) {
            if (!create) {
                path->append("/").append(cand);
                return -2;
            }
            if (mkdirat(binDir, cand, 0777) != 0 && errno != EEXIST) {
                return -1;
            }
            fd = openat(binDir, cand, DIR_FLAGS);
            if (fd >= 0 && like >= 0 && fstat(like, &st) == 0 &&
                ((fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) ||
                 fchmod(fd, st.st_mode & 07777) != 0)) {
                KAVOFileCloseKeep(fd);
                return -1;
            }
        }
        if (fd >= 0) {
            path->append("/").append(cand);
            return fd;
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            return -1;
        }
        // A file or a link of that name is in the way: the next number.
    }
    errno = EEXIST;
    return -1;
}

// Restricts the bin root to root and the group "administrators" (to root alone when there is
// no such group).
static int restrictBin(int bin) {
    struct group gr;
    struct group *found = nullptr;
    char *buf = (char *)malloc(GR_BUF_SIZE);
    gid_t gid = 0;
    mode_t mode = 0700;

    if (buf == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (getgrnam_r(SZ_ADMIN_GROUP, &gr, buf, GR_BUF_SIZE, &found) == 0 && found != nullptr) {
        gid = found->gr_gid;
        mode = 0770;
    }
    free(buf);
    if (fchown(bin, 0, gid) != 0 || fchmod(bin, mode) != 0) {
        return -1;
    }
    return 0;
}

// What a walk from the share root to an item and its place in the bin found.
struct BinWalk {
    int parent = -1;      // the item's folder in the share
    int binParent = -1;   // its counterpart in the bin (-1 when it does not exist yet)
    std::string binPath;  // the bin path of that counterpart
    char leaf[NAME_MAX + 1];
    ~BinWalk() {
        KAVOFileCloseKeep(parent);
        KAVOFileCloseKeep(binParent);
    }
};

// Walks rel from the open share root: the item's folder (no link followed) and the bin
// folders that mirror it (made when create is set). 0 or -1 with errno set.
static int walkToBin(int rootFd, const char *root, const char *rel, int create, int adminOnly,
                     BinWalk *w) {
    const char *prefix = strcmp(root, "/") == 0 ? "" : root;
    std::string comps(rel);
    size_t start = 0, slash;

    w->binPath = std::string(prefix) + "/" + SZ_RECYCLE_DIR;
    w->parent = openat(rootFd, ".", DIR_FLAGS);
    if (w->parent < 0) {
        return -1;
    }
    w->binParent = openat(rootFd, SZ_RECYCLE_DIR, DIR_FLAGS);
    if (w->binParent < 0 && errno == ENOENT && create) {
        if (mkdirat(rootFd, SZ_RECYCLE_DIR, 0777) != 0 && errno != EEXIST) {
            return -1;
        }
        w->binParent = openat(rootFd, SZ_RECYCLE_DIR, DIR_FLAGS);
    }
    if (w->binParent < 0 && (create || errno != ENOENT)) {
        return -1;  // a link or a file planted as the bin is refused
    }
    if (create && adminOnly && restrictBin(w->binParent) != 0) {
        return -1;
    }
    while ((slash = comps.find('/', start)) != std::string::npos) {
        std::string comp = comps.substr(start, slash - start);
        int next = KAVOPathOpenAt(w->parent, comp.c_str(), O_RDONLY | O_DIRECTORY, 0);
        if (next < 0) {
            return -1;
        }
        close(w->parent);
        w->parent = next;
        if (w->binParent >= 0) {
            int bin = binFolderAt(w->binParent, comp.c_str(), w->parent, create, &w->binPath);
            if (bin == -1) {
                return -1;
            }
            close(w->binParent);
            w->binParent = bin;  // -2 (not there yet) counts as none
            if (bin == -2) {
                w->binParent = -1;
            }
        } else {
            w->binPath.append("/").append(comp);
        }
        start = slash + 1;
    }
    return VLIBCStrCopy(w->leaf, sizeof(w->leaf), rel + start) == 0 ? 0
                                                                    : (errno = ENAMETOOLONG, -1);
}

int KAVORecycleTargetPath(const char *sharePath, const char *relPath, char *buf, size_t size) {
    char cand[NAME_MAX + 16];
    struct stat st;
    Item item;
    BinWalk w;
    int rootFd, isDir, n = 0;

    if (buf == nullptr || size == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((rootFd = openItem(sharePath, relPath, &item)) < 0) {
        return -1;
    }
    if (walkToBin(rootFd, item.root, item.rel, 0, 0, &w) != 0) {
        KAVOFileCloseKeep(rootFd);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    close(rootFd);
    isDir = fstatat(w.parent, w.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    for (;; n++) {
        if (n > RECYCLE_NUMBER_MAX || numberedName(w.leaf, isDir, n, cand, sizeof(cand)) != 0) {
            VLIBCErrSet(KAVO_ERR_EXISTS);
            return -1;
        }
        if (w.binParent < 0 || fstatat(w.binParent, cand, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            break;
        }
    }
    if (VLIBCStrPrintf(buf, size, "%s/%s", w.binPath.c_str(), cand) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

// ---- Moving into the bin ---------------------------------------------------------------------

// Moves the item's EA data beside its new place; when that fails the data is dropped, so it
// never describes a later item of the old name.
static void moveEA(int parent, const char *leaf, int binParent, const char *target) {
    struct stat st;
    int srcRoot = openat(parent, SZ_EA_DIR_NAME, DIR_FLAGS);
    int binRoot;

    if (srcRoot < 0) {
        return;  // none, or a link planted as "@eaDir": nothing is moved through it
    }
    if (fstatat(srcRoot, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        close(srcRoot);
        return;
    }
    binRoot = KAVOEARootOpenAt(binParent, 1);
    if (binRoot >= 0 && KAVOPathRemoveAt(binRoot, target) == 0 &&
        renameat(srcRoot, leaf, binRoot, target) == 0) {
        close(binRoot);
        close(srcRoot);
        return;
    }
    KAVOFileCloseKeep(binRoot);
    KAVOPathRemoveAt(srcRoot, leaf);
    close(srcRoot);
}

static int moveToBin(const char *sharePath, const char *relPath, int flags, int adminOnly,
                     int wantDir) {
    char target[NAME_MAX + 16];
    struct stat st;
    Item item;
    BinWalk w;
    int rootFd, isDir;

    if (flags != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((rootFd = openItem(sharePath, relPath, &item)) < 0) {
        return -1;
    }
    // The item's folder first, so that a refused path makes no bin folders.
    {
        BinWalk probe;
        if (walkToBin(rootFd, item.root, item.rel, 0, 0, &probe) != 0 ||
            fstatat(probe.parent, probe.leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            KAVOFileCloseKeep(rootFd);
            VLIBCErrSet(errno == ENOENT                    ? KAVO_ERR_NOT_FOUND
                        : errno == ELOOP || errno == EXDEV ? KAVO_ERR_BAD_PARAMETERS
                                                           : KAVO_ERR_SYSTEM);
            return -1;
        }
    }
    isDir = S_ISDIR(st.st_mode) ? 1 : 0;
    // A link goes into the bin as it is, whichever kind its target has; what it points to
    // stays where it is.
    if (!S_ISLNK(st.st_mode) && isDir != wantDir) {
        close(rootFd);
        errno = isDir ? EISDIR : ENOTDIR;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (walkToBin(rootFd, item.root, item.rel, 1, adminOnly, &w) != 0) {
        KAVOFileCloseKeep(rootFd);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    close(rootFd);

    // The numbered name is taken by an exclusive rename; a name taken meanwhile moves on.
    for (int n = 0;; n++) {
        if (n > RECYCLE_NUMBER_MAX || numberedName(w.leaf, isDir, n, target, sizeof(target)) != 0) {
            errno = EEXIST;
            VLIBCErrSet(KAVO_ERR_EXISTS);
            return -1;
        }
        if (renameat2(w.parent, w.leaf, w.binParent, target, RENAME_NOREPLACE) == 0) {
            break;
        }
        if (errno == EEXIST || errno == ENOTEMPTY) {
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            // The file system has no exclusive rename: test the name first.
            if (fstatat(w.binParent, target, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                continue;
            }
            if (renameat(w.parent, w.leaf, w.binParent, target) == 0) {
                break;
            }
        }
        if (errno == EXDEV) {
            // The item is a mount of its own: copy it into the bin, then remove it.
            KAVOCOPY_OPT opt;
            memset(&opt, 0, sizeof(opt));
            opt.opt[KAVO_COPY_REMOVE_SRC] = 1;
            opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
            if ((isDir ? KAVOFileCopyDirectoryAt(w.parent, w.leaf, w.binParent, target, &opt)
                       : KAVOFileCopyAt(w.parent, w.leaf, w.binParent, target, &opt)) != 0) {
                return -1;
            }
            break;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    moveEA(w.parent, w.leaf, w.binParent, target);
    return 0;
}

int KAVORecycleUnlinkFileWithSharePath(const char *sharePath, const char *relPath, int flags,
                                       int adminOnly) {
    return moveToBin(sharePath, relPath, flags, adminOnly, 0);
}

int KAVORecycleRmDirWithSharePath(const char *sharePath, const char *relPath, int flags,
                                  int adminOnly) {
    return moveToBin(sharePath, relPath, flags, adminOnly, 1);
}
