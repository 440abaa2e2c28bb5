// libkavorecycle: the recycle bin of a share.
//
// An item "a/b/c.jpg" of the share at S goes to "S/#recycle/a/b/c.jpg"; missing folders on
// the way are made like their counterparts in the share (mode and owner). An item already in
// the bin keeps its place and the newcomer takes the first free numbered name: "c (1).jpg",
// "c (2).jpg", ... (a folder is numbered after its whole name). The item's EA data goes along.
//
// Relative paths are taken component by component: empty and "." components are dropped, ".."
// is refused, and a path that names the share itself (or its bin) is refused.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "kavofileop.h"
#include "kavorecycle.h"
#include "kavosdk.h"
#include "kavoshare.h"

#define RECYCLE_PATH_MAX 4096
#define RECYCLE_NUMBER_MAX 100000
#define SZ_HOME_SHARE_NAME "home"
#define SZ_ADMIN_GROUP "administrators"
#define GR_BUF_SIZE 16384

// ---- Settings --------------------------------------------------------------------------------

// The share whose settings apply: user homes follow the "homes" share.
static const char *settingsShare(const char *name) {
    return strcmp(name, SZ_HOME_SHARE_NAME) == 0 ? SZ_HOMES_SHARE : name;
}

static int readShareFlags(const char *shareName, int *pOn, int adminOnly) {
    PKAVOSHARE share = nullptr;

    if (shareName == nullptr || shareName[0] == '\0' || pOn == nullptr ||
        strlen(shareName) >= RECYCLE_PATH_MAX) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (KAVOShareGet(settingsShare(shareName), &share) != 0) {
        return -1;
    }
    *pOn = adminOnly ? share->blRecycleBinAdminOnly : share->blRecycleBin;
    KAVOShareFree(share);
    return 0;
}

int KAVORecycleStatusGet(const char *shareName, int *pOn) {
    return readShareFlags(shareName, pOn, 0);
}

int KAVORecycleAdminOnlyStatusGet(const char *shareName, int *pAdminOnly) {
    return readShareFlags(shareName, pAdminOnly, 1);
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

// Checks and normalises the arguments: root (share path), rel (normalised) and src (the item).
static int prepare(const char *sharePath, const char *relPath, char *root, char *rel, char *src) {
    if (sharePath == nullptr || relPath == nullptr || sharePath[0] == '\0' || relPath[0] == '\0' ||
        shareRoot(sharePath, root, RECYCLE_PATH_MAX) != 0 ||
        normalizeRel(relPath, rel, RECYCLE_PATH_MAX) != 0) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (VLIBCStrPrintf(src, RECYCLE_PATH_MAX, "%s/%s", strcmp(root, "/") == 0 ? "" : root, rel) !=
        0) {
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

// The bin path of rel, numbered when taken. 0 or -1 (error recorded).
static int targetPath(const char *root, const char *rel, int isDir, char *buf, size_t size) {
    const char *prefix = strcmp(root, "/") == 0 ? "" : root;
    const char *slash = strrchr(rel, '/');
    const char *name = slash == nullptr ? rel : slash + 1;
    int dirLen = (int)(name - rel);
    const char *dot = isDir ? nullptr : strrchr(name, '.');
    int stemLen;
    struct stat st;
    int n;

    if (dot == name) {
        dot = nullptr;  // ".hidden" has no extension
    }
    stemLen = dot == nullptr ? (int)strlen(name) : (int)(dot - name);
    if (VLIBCStrPrintf(buf, size, "%s/%s/%s", prefix, SZ_RECYCLE_DIR, rel) != 0) {
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    for (n = 1;; n++) {
        if (lstat(buf, &st) != 0) {
            if (errno == ENOENT) {
                return 0;
            }
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        if (n > RECYCLE_NUMBER_MAX) {
            errno = EEXIST;
            VLIBCErrSet(KAVO_ERR_EXISTS);
            return -1;
        }
        if (VLIBCStrPrintf(buf, size, "%s/%s/%.*s%.*s (%d)%s", prefix, SZ_RECYCLE_DIR, dirLen, rel,
                           stemLen, name, n, dot == nullptr ? "" : dot) != 0) {
            errno = ENAMETOOLONG;
            VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
            return -1;
        }
    }
}

int KAVORecycleTargetPath(const char *sharePath, const char *relPath, char *buf, size_t size) {
    char root[RECYCLE_PATH_MAX];
    char rel[RECYCLE_PATH_MAX];
    char src[RECYCLE_PATH_MAX];
    struct stat st;

    if (buf == nullptr || size == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (prepare(sharePath, relPath, root, rel, src) != 0) {
        return -1;
    }
    return targetPath(root, rel, lstat(src, &st) == 0 && S_ISDIR(st.st_mode), buf, size);
}

// ---- Moving into the bin ---------------------------------------------------------------------

// Makes the folder path unless a real folder (not a link) is there; a new one takes the
// mode and owner of like (when like is given and exists). 0 or -1 (errno set).
static int makeBinDir(const char *path, const char *like) {
    struct stat st, likeSt;
    int haveLike = like != nullptr && lstat(like, &likeSt) == 0 && S_ISDIR(likeSt.st_mode);

    if (lstat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return 0;
        }
        errno = ENOTDIR;
        return -1;
    }
    if (errno != ENOENT) {
        return -1;
    }
    if (mkdir(path, 0777) != 0) {
        if (errno == EEXIST && lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            return 0;
        }
        return -1;
    }
    if (haveLike) {
        if (lchown(path, likeSt.st_uid, likeSt.st_gid) != 0 && errno != EPERM) {
            return -1;
        }
        if (chmod(path, likeSt.st_mode & 07777) != 0) {
            return -1;
        }
    }
    return 0;
}

// Restricts the bin root to root and the group "administrators" (to root alone when there is
// no such group).
static int restrictBin(const char *bin) {
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
    if (lchown(bin, 0, gid) != 0 || chmod(bin, mode) != 0) {
        return -1;
    }
    return 0;
}

// 1 when the folder holding src, resolved, lies inside the resolved share root: a link on the
// way must not lead the move out of the share.
static int insideShare(const char *root, const char *src) {
    char parent[RECYCLE_PATH_MAX];
    char *slash;
    char *realRoot, *realParent;
    size_t len;
    int inside = 0;

    memcpy(parent, src, strlen(src) + 1);
    slash = strrchr(parent, '/');
    if (slash == nullptr) {
        return 0;
    }
    if (slash == parent) {
        slash[1] = '\0';
    } else {
        *slash = '\0';
    }
    realRoot = realpath(root, nullptr);
    realParent = realpath(parent, nullptr);
    if (realRoot != nullptr && realParent != nullptr) {
        len = strlen(realRoot);
        inside = strncmp(realParent, realRoot, len) == 0 &&
                 (realParent[len] == '\0' || realParent[len] == '/' || len == 1);
    }
    free(realRoot);
    free(realParent);
    return inside;
}

// Makes the bin and the folders of rel's parents inside it. 0 or -1 (error recorded).
static int makeBinFolders(const char *root, const char *rel, int adminOnly) {
    const char *prefix = strcmp(root, "/") == 0 ? "" : root;
    char bin[RECYCLE_PATH_MAX];
    char dir[RECYCLE_PATH_MAX];
    char like[RECYCLE_PATH_MAX];
    const char *p;

    if (VLIBCStrPrintf(bin, sizeof(bin), "%s/%s", prefix, SZ_RECYCLE_DIR) != 0) {
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (makeBinDir(bin, nullptr) != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (adminOnly && restrictBin(bin) != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    for (p = strchr(rel, '/'); p != nullptr; p = strchr(p + 1, '/')) {
        int len = (int)(p - rel);
        if (VLIBCStrPrintf(dir, sizeof(dir), "%s/%.*s", bin, len, rel) != 0 ||
            VLIBCStrPrintf(like, sizeof(like), "%s/%.*s", prefix, len, rel) != 0) {
            errno = ENAMETOOLONG;
            VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
            return -1;
        }
        if (makeBinDir(dir, like) != 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
    }
    return 0;
}

// Moves the item's EA data beside its new place; when that fails the data is dropped, so it
// never describes a later item of the old name.
static void moveEA(const char *src, const char *target) {
    char srcEA[RECYCLE_PATH_MAX];
    char targetEA[RECYCLE_PATH_MAX];
    char eaRoot[RECYCLE_PATH_MAX];
    KAVOEA_REMOVE_OPT opt = {1, 0};
    struct stat st;
    char *slash;

    if (KAVOEADirPath(0, src, srcEA, sizeof(srcEA)) != 0 || lstat(srcEA, &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return;
    }
    if (KAVOEADirPath(0, target, targetEA, sizeof(targetEA)) == 0 &&
        KAVOEARemove(target, -1, &opt) == 0) {
        memcpy(eaRoot, targetEA, sizeof(eaRoot));
        slash = strrchr(eaRoot, '/');
        if (slash != nullptr) {
            *slash = '\0';
            if (makeBinDir(eaRoot, nullptr) == 0 && rename(srcEA, targetEA) == 0) {
                return;
            }
        }
    }
    KAVOEARemove(src, -1, &opt);
}

static int moveToBin(const char *sharePath, const char *relPath, int flags, int adminOnly,
                     int wantDir) {
    char root[RECYCLE_PATH_MAX];
    char rel[RECYCLE_PATH_MAX];
    char src[RECYCLE_PATH_MAX];
    char target[RECYCLE_PATH_MAX];
    struct stat st;
    int isDir;

    if (flags != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (prepare(sharePath, relPath, root, rel, src) != 0) {
        return -1;
    }
    if (lstat(src, &st) != 0) {
        VLIBCErrSet(errno == ENOENT ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
        return -1;
    }
    isDir = S_ISDIR(st.st_mode) ? 1 : 0;
    // A link goes into the bin as it is, whichever kind its target has; what it points to
    // stays where it is.
    if (!S_ISLNK(st.st_mode) && isDir != wantDir) {
        errno = isDir ? EISDIR : ENOTDIR;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (!insideShare(root, src)) {
        errno = EXDEV;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (makeBinFolders(root, rel, adminOnly) != 0) {
        return -1;
    }

    // The numbered name is taken by an exclusive rename; a name taken meanwhile moves on.
    for (;;) {
        if (targetPath(root, rel, isDir, target, sizeof(target)) != 0) {
            return -1;
        }
        if (renameat2(AT_FDCWD, src, AT_FDCWD, target, RENAME_NOREPLACE) == 0) {
            break;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            // The file system has no exclusive rename; the name was free just now.
            if (rename(src, target) == 0) {
                break;
            }
        }
        if (errno == EXDEV) {
            // The item is a mount of its own: copy it into the bin, then remove it.
            KAVOCOPY_OPT opt;
            memset(&opt, 0, sizeof(opt));
            opt.opt[KAVO_COPY_REMOVE_SRC] = 1;
            opt.opt[KAVO_COPY_KEEP_TIMES] = 1;
            if ((isDir ? KAVOFileCopyDirectory(src, target, &opt)
                       : KAVOFileCopy(src, target, &opt)) != 0) {
                return -1;
            }
            break;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    moveEA(src, target);
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
