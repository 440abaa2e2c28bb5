// libkavoshare: shares of the section file /usr/kavo/etc/shares.conf, their temporary and bin
// paths, and the check whether a path lies in a user's home.
//
// Paths are matched byte-wise on components: "/volume1/photo2/x" is not inside the share at
// "/volume1/photo". A share path written with trailing slashes is used without them.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "accounts.h"
#include "kavoshare.h"

#define SHARE_NAME_SIZE 4096   // room for a share or account name read from a file
#define SHARE_VALUE_SIZE 4096  // room for a value of the shares file
#define SHARE_TMP_DIR "/@tmp"

// Length of a path without its trailing slashes (a lone "/" stays).
static size_t trimmedLen(const char *path) {
    size_t len = strlen(path);

    while (len > 1 && path[len - 1] == '/') {
        len--;
    }
    return len;
}

// 1 when path is the folder dir (of length dirLen) or lies inside it.
static int pathWithin(const char *path, const char *dir, size_t dirLen) {
    if (dirLen == 1 && dir[0] == '/') {
        return path[0] == '/';
    }
    if (strncmp(path, dir, dirLen) != 0) {
        return 0;
    }
    return path[dirLen] == '\0' || path[dirLen] == '/';
}

// Reads one key of a share; 1 with the value in buf, 0 when the key is absent.
static int shareValue(const char *share, const char *key, char *buf, size_t size) {
    buf[0] = '\0';
    if (VLIBCFileGetSectionValue(SZF_SHARES_CONF, share, key, buf, size) < 0) {
        buf[0] = '\0';
        return 0;
    }
    return 1;
}

static int shareFlag(const char *share, const char *key) {
    char value[SHARE_VALUE_SIZE];

    return shareValue(share, key, value, sizeof(value)) && strcmp(value, "yes") == 0;
}

// The share's path (absolute, trailing slashes removed). 0, or -1 when the share is unknown.
static int sharePathRead(const char *share, char *buf, size_t size) {
    char value[KAVO_PATH_SIZE];
    size_t len;

    if (!shareValue(share, "path", value, sizeof(value)) || value[0] != '/') {
        errno = ENOENT;
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
        return -1;
    }
    len = trimmedLen(value);
    value[len] = '\0';
    if (VLIBCStrCopy(buf, size, value) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

int KAVOShareGet(const char *name, PKAVOSHARE *shareOut) {
    char path[KAVO_PATH_SIZE];
    PKAVOSHARE share;

    if (kavoRecordLookupStart(name, SHARE_NAME_SIZE, shareOut) != 0) {
        return -1;
    }
    if (sharePathRead(name, path, sizeof(path)) != 0) {
        return -1;
    }

    share = kavoRecordWithStrings(name, &KAVOSHARE::szName, path, &KAVOSHARE::szPath);
    if (share == nullptr) {
        return -1;
    }
    share->fStatus = shareFlag(name, "encrypted") ? SHARE_STATUS_ENCRYPTED : 0;
    share->blHideUnreadable = shareFlag(name, "hide_unreadable");
    share->blRecycleBin = shareFlag(name, "recycle_bin");
    share->blRecycleBinAdminOnly = shareFlag(name, "recycle_bin_admin_only");
    *shareOut = share;
    return 0;
}

void KAVOShareFree(PKAVOSHARE share) {
    free(share);
}

const char *VLIBSharePathGet(const KAVOSHARE *share) {
    if (share == nullptr || share->szPath == nullptr || share->szPath[0] == '\0') {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return nullptr;
    }
    return share->szPath;
}

int VLIBShareHideUnreadableSet(PKAVOSHARE share, int on) {
    if (share == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    share->blHideUnreadable = on ? 1 : 0;
    return 0;
}

int KAVOShareUpdate(const KAVOSHARE *share) {
    char path[KAVO_PATH_SIZE];

    if (share == nullptr || share->szName == nullptr || share->szName[0] == '\0') {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    // Never write a section for a share that is not (or no longer) there.
    if (sharePathRead(share->szName, path, sizeof(path)) != 0) {
        return -1;
    }
    if (VLIBCFileSetSectionValue(SZF_SHARES_CONF, share->szName, "hide_unreadable",
                                 share->blHideUnreadable ? "yes" : "no") <= 0) {
        return -1;
    }
    return 0;
}

// The volume of an absolute path: its first component ("/volume1" for "/volume1/photo").
static int volumeOf(const char *path, char *buf, size_t size) {
    const char *start, *end;

    if (path[0] != '/') {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    start = path;
    while (*start == '/') {
        start++;
    }
    end = start;
    while (*end != '\0' && *end != '/') {
        end++;
    }
    if (end == start || (end - start == 1 && start[0] == '.') ||
        (end - start == 2 && start[0] == '.' && start[1] == '.')) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (VLIBCStrPrintf(buf, size, "/%.*s", (int)(end - start), start) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

int KAVOShareTmpDirOpen(const char *base) {
    struct stat st;
    int rootFd, fd, err, made = 0;

    if ((rootFd = KAVOPathOpenRoot(base)) < 0) {
        return -1;
    }
    fd = openat(rootFd, SHARE_TMP_DIR + 1, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        made = mkdirat(rootFd, SHARE_TMP_DIR + 1, 01777) == 0;
        if (!made && errno != EEXIST) {
            err = errno;
            close(rootFd);
            errno = err;
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        fd = openat(rootFd, SHARE_TMP_DIR + 1, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    err = errno;
    close(rootFd);
    if (fd < 0) {
        errno = err == ENOTDIR || err == ELOOP ? ENOTDIR : err;
        VLIBCErrSet(errno == ENOTDIR ? KAVO_ERR_EXISTS : KAVO_ERR_SYSTEM);
        return -1;
    }
    // Everybody may put items there, nobody may rename or replace another's: a new folder
    // (mkdir left the umask out) and one open to all without the sticky bit get 01777; any
    // other mode given to it is kept.
    if (fstat(fd, &st) != 0 || ((made || (st.st_mode & 01002) == 0002) && st.st_uid == geteuid() &&
                                fchmod(fd, made ? 01777 : (st.st_mode & 07777) | 01000) != 0)) {
        err = errno;
        close(fd);
        errno = err;
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    return fd;
}

int KAVOShareTmpPathGet(const char *sharePath, char *buf, size_t size) {
    char volume[KAVO_PATH_SIZE];
    int fd;

    if (sharePath == nullptr || sharePath[0] == '\0' || buf == nullptr || size == 0 ||
        strlen(sharePath) >= KAVO_PATH_SIZE) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (volumeOf(sharePath, volume, sizeof(volume)) != 0) {
        return -1;
    }
    if (VLIBCStrPrintf(buf, size, "%s%s", volume, SHARE_TMP_DIR) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((fd = KAVOShareTmpDirOpen(volume)) < 0) {
        return -1;
    }
    close(fd);
    return 0;
}

// Calls cb for the name of every section of the share file, in file order; cb returns
// non-zero to stop. 0, or -1 when the file cannot be read.
static int walkShareNames(int (*cb)(const char *name, void *ctx), void *ctx) {
    FILE *fp = fopen(SZF_SHARES_CONF, "re");
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int ret = 0;

    if (fp == nullptr) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    while ((n = getline(&line, &cap, fp)) >= 0) {
        char *start = line;
        char *end = line + n;
        while (start < end && (*start == ' ' || *start == '\t')) {
            start++;
        }
        while (end > start &&
               (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t')) {
            end--;
        }
        if (end - start < 3 || *start != '[' || end[-1] != ']') {
            continue;
        }
        end[-1] = '\0';
        if (cb(start + 1, ctx) != 0) {
            break;
        }
    }
    if (ferror(fp)) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        ret = -1;
    }
    free(line);
    (void)fclose(fp);  // only read: closing loses nothing
    return ret;
}

// A zeroed match record (they are large: kept off the stack), or null (error recorded).
template <typename Match>
static Match *newMatch(const char *path) {
    Match *m = (Match *)calloc(1, sizeof(Match));

    if (m == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    m->path = path;
    return m;
}

// An absolute path argument that fits.
static bool absolutePath(const char *path) {
    return path != nullptr && path[0] == '/' && strlen(path) < KAVO_PATH_SIZE;
}

struct ShareMatch {
    const char *path;
    char name[SHARE_NAME_SIZE];
    char sharePath[KAVO_PATH_SIZE];
    size_t bestLen;
    int found;
};

static int matchShare(const char *name, void *ctx) {
    ShareMatch *m = (ShareMatch *)ctx;
    char path[KAVO_PATH_SIZE];
    size_t len;

    if (!shareValue(name, "path", path, sizeof(path)) || path[0] != '/') {
        return 0;
    }
    len = trimmedLen(path);
    path[len] = '\0';
    if (!pathWithin(m->path, path, len) || (m->found && len <= m->bestLen)) {
        return 0;
    }
    if (VLIBCStrCopy(m->name, sizeof(m->name), name) != 0) {
        return 0;
    }
    memcpy(m->sharePath, path, len + 1);
    m->bestLen = len;
    m->found = 1;
    return 0;
}

int KAVOShareNamePathGet(const char *path, char *name, size_t nameSize, char *sharePath,
                         size_t pathSize) {
    ShareMatch *m;
    int ret = -1;

    if (!absolutePath(path) || name == nullptr || nameSize == 0 || sharePath == nullptr ||
        pathSize == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((m = newMatch<ShareMatch>(path)) == nullptr) {
        return -1;
    }
    if (walkShareNames(matchShare, m) != 0) {
        goto out;
    }
    if (!m->found) {
        errno = ENOENT;
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
        goto out;
    }
    if (VLIBCStrCopy(name, nameSize, m->name) != 0 ||
        VLIBCStrCopy(sharePath, pathSize, m->sharePath) != 0) {
        name[0] = '\0';
        sharePath[0] = '\0';
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        goto out;
    }
    ret = 0;
out:
    free(m);
    return ret;
}

int KAVOShareBinPathGet(const char *path, char *buf, size_t size) {
    char name[SHARE_NAME_SIZE];
    char sharePath[KAVO_PATH_SIZE];

    if (path == nullptr || path[0] == '\0' || buf == nullptr || size == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (KAVOShareNamePathGet(path, name, sizeof(name), sharePath, sizeof(sharePath)) != 0) {
        return -1;
    }
    return volumeOf(sharePath, buf, size);
}

// ---- Home check --------------------------------------------------------------------------

struct HomeMatch {
    const char *path;            // the path asked about
    const char *pathReal;        // its resolved form, or null
    char homes[KAVO_PATH_SIZE];  // the "homes" share path
    char homesReal[KAVO_PATH_SIZE];
    char home[KAVO_PATH_SIZE];  // best match so far
    char user[SHARE_NAME_SIZE];
    size_t bestLen;
    int found;
};

// Resolved form of a path when it can be resolved and fits, else the path itself. 0, or -1
// (buf empty) when not even the path fits.
static int resolvedOr(const char *path, char *buf, size_t size) {
    char *real = realpath(path, nullptr);
    int ret = real != nullptr ? VLIBCStrCopy(buf, size, real) : -1;

    free(real);
    return ret == 0 ? 0 : VLIBCStrCopy(buf, size, path);
}

// Account walk step: keeps the account with the longest home that holds the path.
static int matchHome(const struct passwd *pw, void *ctx) {
    HomeMatch *m = (HomeMatch *)ctx;
    char home[KAVO_PATH_SIZE];
    char homeReal[KAVO_PATH_SIZE];
    size_t len, realLen;
    int underHomes, holds;

    if (pw->pw_dir == nullptr || pw->pw_dir[0] != '/' || pw->pw_name == nullptr ||
        VLIBCStrCopy(home, sizeof(home), pw->pw_dir) != 0) {
        return 0;
    }
    len = trimmedLen(home);
    home[len] = '\0';
    // Only a home strictly below the "homes" share counts.
    underHomes = pathWithin(home, m->homes, strlen(m->homes)) && strcmp(home, m->homes) != 0;
    if (!underHomes) {
        if (resolvedOr(home, homeReal, sizeof(homeReal)) != 0) {
            return 0;
        }
        underHomes = pathWithin(homeReal, m->homesReal, strlen(m->homesReal)) &&
                     strcmp(homeReal, m->homesReal) != 0;
        if (!underHomes) {
            return 0;
        }
    }
    holds = pathWithin(m->path, home, len);
    if (!holds) {
        if (resolvedOr(home, homeReal, sizeof(homeReal)) != 0) {
            return 0;
        }
        realLen = strlen(homeReal);
        holds = pathWithin(m->path, homeReal, realLen) ||
                (m->pathReal != nullptr && pathWithin(m->pathReal, homeReal, realLen));
    }
    if (!holds || (m->found && len <= m->bestLen)) {
        return 0;
    }
    if (VLIBCStrCopy(m->user, sizeof(m->user), pw->pw_name) != 0) {
        return 0;
    }
    memcpy(m->home, home, len + 1);
    m->bestLen = len;
    m->found = 1;
    return 0;
}

int KAVOServiceHomePathCheck(const char *path, int flags1, int flags2,
                             PKAVOHOME_CHECK_RESULT *resultOut) {
    HomeMatch *m;
    char *pathReal = nullptr;
    PKAVOHOME_CHECK_RESULT result;
    int ret = -1;

    (void)flags1;
    (void)flags2;
    if (resultOut != nullptr) {
        *resultOut = nullptr;
    }
    if (!absolutePath(path) || resultOut == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if ((m = newMatch<HomeMatch>(path)) == nullptr) {
        return -1;
    }
    // Without a "homes" share no path lies in a user home.
    if (sharePathRead(SZ_HOMES_SHARE, m->homes, sizeof(m->homes)) != 0) {
        ret = 0;
        goto out;
    }
    if (resolvedOr(m->homes, m->homesReal, sizeof(m->homesReal)) != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        goto out;
    }
    pathReal = realpath(path, nullptr);
    m->pathReal = pathReal;
    if (kavoWalkAccounts(matchHome, m) != 0) {
        goto out;
    }
    if (!m->found) {
        ret = 0;
        goto out;
    }

    result = kavoRecordWithStrings(m->home, &KAVOHOME_CHECK_RESULT::szHomePath, m->user,
                                   &KAVOHOME_CHECK_RESULT::szUser);
    if (result == nullptr) {
        goto out;
    }
    *resultOut = result;
    ret = 1;
out:
    free(pathReal);
    free(m);
    return ret;
}

void KAVOHomeCheckResultFree(PKAVOHOME_CHECK_RESULT result) {
    free(result);
}
