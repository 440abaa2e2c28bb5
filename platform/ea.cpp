// libkavosdk: EA directories, where derived data of a folder's files is kept.
//
// The EA directory of "/a/b/name" is "/a/b/@eaDir/name"; its entry E is "/a/b/@eaDir/name/E".
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "kavosdk.h"

static const char *const hiddenDirs[] = {SZ_EA_DIR_NAME, "@tmp", "@sharebin"};

int KAVOEADirPath(int flags, const char *path, char *buf, size_t size) {
    size_t dirLen, baseLen;
    const char *base;

    (void)flags;
    if (path == nullptr || path[0] == '\0' || buf == nullptr || size == 0 ||
        strlen(path) >= KAVO_PATH_SIZE || KAVOPathSplit(path, &dirLen, &base, &baseLen) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (VLIBCStrPrintf(buf, size, "%.*s%s/%.*s", (int)dirLen, path, SZ_EA_DIR_NAME, (int)baseLen,
                       base) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

int KAVOEAPath(int flags, const char *path, const char *entry, char *buf, size_t size, int flags2) {
    char dir[KAVO_PATH_SIZE];

    (void)flags2;
    // An entry is one name inside the EA directory; it never reaches out of it.
    if (entry == nullptr || entry[0] == '\0' || strchr(entry, '/') != nullptr ||
        strcmp(entry, ".") == 0 || strcmp(entry, "..") == 0 || buf == nullptr || size == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (KAVOEADirPath(flags, path, dir, sizeof(dir)) != 0) {
        return -1;
    }
    if (VLIBCStrPrintf(buf, size, "%s/%s", dir, entry) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

// Makes one folder unless a folder is already there (following links, for the photo's own
// folders named by the caller). 0 or -1 (errno set).
static int makeOneDir(const char *path) {
    struct stat st;

    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return 0;
        }
        errno = ENOTDIR;
        return -1;
    }
    if (mkdir(path, 0777) == 0) {
        return 0;
    }
    // Another process may have made it meanwhile.
    if (errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        return 0;
    }
    return -1;
}

// Opens the folder name in dirFd without following a link, making it first when create is
// set. Folder fd or -1 (errno set).
static int openDirAt(int dirFd, const char *name, int create) {
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;

    if (fd < 0 && errno == ENOTDIR && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        errno = ELOOP;  // name the link for what it is
    }
    if (fd >= 0 || errno != ENOENT || !create) {
        return fd;
    }
    if (mkdirat(dirFd, name, 0777) != 0 && errno != EEXIST) {
        return -1;
    }
    return openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

static int validName(const char *name) {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int KAVOEARootOpenAt(int dirFd, int create) {
    int fd = openDirAt(dirFd, SZ_EA_DIR_NAME, create);

    if (fd < 0) {
        VLIBCErrSet(errno == ENOENT ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
    }
    return fd;
}

int KAVOEADirOpenAt(int dirFd, const char *name, int create) {
    int eaRoot, fd;

    if (!validName(name)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((eaRoot = KAVOEARootOpenAt(dirFd, create)) < 0) {
        return -1;
    }
    fd = openDirAt(eaRoot, name, create);
    KAVOFileCloseKeep(eaRoot);
    if (fd < 0) {
        VLIBCErrSet(errno == ENOENT ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
    }
    return fd;
}

int KAVOEADirOpenBeneath(const char *root, const char *path, int create) {
    char leaf[KAVO_PATH_SIZE];
    int dirFd, fd;

    if ((dirFd = KAVOPathOpenParent(root, path, leaf, sizeof(leaf))) < 0) {
        return -1;
    }
    fd = KAVOEADirOpenAt(dirFd, leaf, create);
    KAVOFileCloseKeep(dirFd);
    return fd;
}

int KAVOEARemoveAt(int dirFd, const char *name, const KAVOEA_REMOVE_OPT *opt) {
    int eaRoot;

    if (opt == nullptr || !validName(name)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    eaRoot = openDirAt(dirFd, SZ_EA_DIR_NAME, 0);
    if (eaRoot < 0) {
        if (errno == ENOENT) {
            return 0;
        }
        // A link or a file planted as "@eaDir" holds no EA data of ours: left alone.
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (KAVOPathRemoveAt(eaRoot, name) != 0) {
        KAVOFileCloseKeep(eaRoot);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    close(eaRoot);
    return 0;
}

// Length of the photo's folder part of an EA directory path, "/" included: the part above
// "@eaDir" (the path is "<folder>/@eaDir" or "<folder>/@eaDir/<name>"); otherwise the part
// above the last component.
static size_t photoFolderLen(const char *path, size_t dirLen, const char *base, size_t baseLen) {
    size_t eaLen = strlen(SZ_EA_DIR_NAME);
    size_t end, start;

    if (baseLen == eaLen && memcmp(base, SZ_EA_DIR_NAME, eaLen) == 0) {
        return dirLen;
    }
    if (dirLen < 2) {
        return dirLen;
    }
    end = dirLen - 1;
    start = end;
    while (start > 0 && path[start - 1] != '/') {
        start--;
    }
    if (end - start == eaLen && memcmp(path + start, SZ_EA_DIR_NAME, eaLen) == 0) {
        return start;
    }
    return dirLen;
}

// Makes the components of path[keep, len) ("@eaDir" and the item's EA directory) below the
// photo's folder path[0, keep), each reached without following a link. 0 or -1.
static int makeBelow(char *path, size_t keep, size_t len) {
    char saved = path[keep];
    int cur, next;
    char *p, *slash;

    path[keep] = '\0';
    cur = open(keep == 0 ? "." : path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    path[keep] = saved;
    if (cur < 0) {
        VLIBCErrSet(errno == ENOENT ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
        return -1;
    }
    for (p = path + keep; p < path + len; p = slash + 1) {
        while (*p == '/') {
            p++;
        }
        if (*p == '\0') {
            break;
        }
        slash = strchr(p, '/');
        if (slash == nullptr) {
            slash = path + len;
        }
        saved = *slash;
        *slash = '\0';
        next = openDirAt(cur, p, 1);
        *slash = saved;
        close(cur);
        if (next < 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        cur = next;
    }
    close(cur);
    return 0;
}

int KAVOEAMKDir(int flags, const char *eaDir) {
    char path[KAVO_PATH_SIZE];
    struct stat st;
    size_t dirLen, baseLen, len, keep, i;
    const char *base;

    if (eaDir == nullptr || eaDir[0] == '\0' || VLIBCStrCopy(path, sizeof(path), eaDir) != 0 ||
        KAVOPathSplit(eaDir, &dirLen, &base, &baseLen) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    len = dirLen + baseLen;
    path[len] = '\0';
    keep = photoFolderLen(path, dirLen, base, baseLen);

    // With flag 1 the photo's folder must be there already.
    if (flags == 1 && keep > 0) {
        char saved = path[keep];
        path[keep] = '\0';
        if (stat(path, &st) != 0) {
            VLIBCErrSet(KAVO_ERR_NOT_FOUND);
            return -1;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            VLIBCErrSet(KAVO_ERR_NOT_FOUND);
            return -1;
        }
        path[keep] = saved;
    }

    // The photo's own folders as named (made with flag 0)...
    for (i = 1; i < keep; i++) {
        if (path[i] != '/' || path[i - 1] == '/' || flags == 1) {
            continue;
        }
        path[i] = '\0';
        if (makeOneDir(path) != 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        path[i] = '/';
    }
    return makeBelow(path, keep, len);
}

int KAVOEAIsHiddenDir(const char *name) {
    size_t i;

    if (name == nullptr) {
        return 0;
    }
    for (i = 0; i < sizeof(hiddenDirs) / sizeof(hiddenDirs[0]); i++) {
        if (strcmp(name, hiddenDirs[i]) == 0) {
            return 1;
        }
    }
    return 0;
}

int KAVOEARemove(const char *path, int fd, const KAVOEA_REMOVE_OPT *opt) {
    char dir[KAVO_PATH_SIZE];
    size_t dirLen, baseLen;
    const char *base;
    int folder, ret;

    (void)fd;
    if (opt == nullptr || path == nullptr || path[0] == '\0' || strlen(path) >= KAVO_PATH_SIZE ||
        KAVOPathSplit(path, &dirLen, &base, &baseLen) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (VLIBCStrPrintf(dir, sizeof(dir), "%.*s", (int)dirLen, path) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    folder = open(dirLen == 0 ? "." : dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return 0;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    std::string name(base, baseLen);
    ret = KAVOEARemoveAt(folder, name.c_str(), opt);
    KAVOFileCloseKeep(folder);
    return ret;
}
