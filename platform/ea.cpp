// libkavosdk: EA directories, where derived data of a folder's files is kept.
//
// The EA directory of "/a/b/name" is "/a/b/@eaDir/name"; its entry E is "/a/b/@eaDir/name/E".
#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "kavosdk.h"

#define EA_PATH_MAX 4096
#define EA_NFTW_FDS 32

static const char *const hiddenDirs[] = {SZ_EA_DIR_NAME, "@tmp", "@sharebin"};

// Splits a path into its folder part (up to and including the last "/", possibly empty) and
// its last component; trailing slashes are ignored. -1 when there is no usable last
// component ("/", ".", "..").
static int splitPath(const char *path, size_t *dirLen, const char **base, size_t *baseLen) {
    size_t len = strlen(path);
    size_t start;

    while (len > 1 && path[len - 1] == '/') {
        len--;
    }
    start = len;
    while (start > 0 && path[start - 1] != '/') {
        start--;
    }
    *dirLen = start;
    *base = path + start;
    *baseLen = len - start;
    if (*baseLen == 0 || (*baseLen == 1 && (*base)[0] == '.') ||
        (*baseLen == 2 && (*base)[0] == '.' && (*base)[1] == '.')) {
        return -1;
    }
    return 0;
}

int KAVOEADirPath(int flags, const char *path, char *buf, size_t size) {
    size_t dirLen, baseLen;
    const char *base;

    (void)flags;
    if (path == nullptr || path[0] == '\0' || buf == nullptr || size == 0 ||
        strlen(path) >= EA_PATH_MAX || splitPath(path, &dirLen, &base, &baseLen) != 0) {
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
    char dir[EA_PATH_MAX];

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

// Makes one folder unless a folder is already there. 0 or -1 (errno set).
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

int KAVOEAMKDir(int flags, const char *eaDir) {
    char path[EA_PATH_MAX];
    struct stat st;
    size_t dirLen, baseLen, len, keep, i;
    const char *base;

    if (eaDir == nullptr || eaDir[0] == '\0' || VLIBCStrCopy(path, sizeof(path), eaDir) != 0 ||
        splitPath(eaDir, &dirLen, &base, &baseLen) != 0) {
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

    for (i = 1; i <= len; i++) {
        if (i < len && path[i] != '/') {
            continue;
        }
        if ((flags == 1 && i < keep) || path[i - 1] == '/') {
            continue;
        }
        char saved = path[i];
        path[i] = '\0';
        if (makeOneDir(path) != 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        path[i] = saved;
    }
    return 0;
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

static int removeEntry(const char *path, const struct stat *st, int type, struct FTW *ftw) {
    (void)st;
    (void)ftw;
    if (type == FTW_DP) {
        return rmdir(path);
    }
    return unlink(path);
}

int KAVOEARemove(const char *path, int fd, const KAVOEA_REMOVE_OPT *opt) {
    char dir[EA_PATH_MAX];
    struct stat st;

    (void)fd;
    if (opt == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (KAVOEADirPath(0, path, dir, sizeof(dir)) != 0) {
        return -1;
    }
    if (lstat(dir, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return 0;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(dir) != 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        return 0;
    }
    // Depth first, never following links nor crossing into another mount.
    if (nftw(dir, removeEntry, EA_NFTW_FDS, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    return 0;
}
