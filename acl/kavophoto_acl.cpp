// Album ACL module: photo roots, account lookup, the album entries and the inheritance walk.
#include "kavophoto_acl.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "kavoacl.h"
#include "kavocore.h"
#include "kavosdk.h"
#include "kavoshare.h"

bool isPathUnderRoot(const char *path, const char *root) {
    return KAVOPathIsBeneath(path, root) == 1;
}

void fillAlbumAce(KAVOACE *ace, int32_t type, int32_t id, uint32_t mask) {
    memset(ace, 0, sizeof(*ace));
    ace->type = type;
    ace->id = id;
    ace->perm = mask;
    ace->inherit = PHOTO_ACE_INHERIT;
    ace->isAllow = PHOTO_ACE_ALLOW;
    ace->level = 0;
    ace->reserved = 0;
}

bool getPhotoPath(char *root, size_t size) {
    PKAVOSHARE share = nullptr;
    char *resolved = nullptr;
    bool ok = false;

    if (KAVOShareGet(SZ_PHOTO_SHARE_NAME, &share) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOShareGet failed.");
        return false;
    }
    resolved = realpath(share->szPath, nullptr);
    if (!resolved) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to get realpath[%s].", share->szPath);
        goto out;
    }
    if (VLIBCStrCopy(root, size, resolved) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to get realpath[%s].", share->szPath);
        goto out;
    }
    ok = true;
out:
    free(resolved);
    KAVOShareFree(share);
    return ok;
}

// The account's record, looked up by its login name (the name converted when the platform
// knows its spelling). Release with KAVOUserFree. null on failure (logged).
static PKAVOUSER lookUpUser(const char *name) {
    char login[KAVO_LOGIN_NAME_SIZE];
    PKAVOUSER user = nullptr;

    if (!name || !name[0]) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Parameter Error");
        return nullptr;
    }
    memset(login, 0, sizeof(login));
    if (KAVOUserLoginNameConvert(name, login, sizeof(login)) <= 0) {
        // Not a known spelling: look the name up as given. A name that does not fit is
        // refused rather than cut, so that it cannot turn into another account's name.
        memset(login, 0, sizeof(login));
        if (VLIBCStrCopy(login, sizeof(login), name) < 0) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOUserGet failed.[%s]", login);
            return nullptr;
        }
    }
    if (KAVOUserGet(login, &user) != 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOUserGet failed.[%s]", login);
        return nullptr;
    }
    return user;
}

// Opens the personal root of user beneath the resolved home (home receives its path).
// The personal root and everything below it are given to the user: a "photo" that leads out
// of the home (a link to a system folder or to another user's gallery) is refused, or the
// user could take over files that are not his. fd or -1 (logged).
static int openUserPhotoDir(PKAVOUSER user, char *home, size_t homeSize) {
    char photoDir[KAVO_PATH_SIZE];
    char found[KAVO_PATH_SIZE];
    char *resolved = nullptr;
    char *homeReal = nullptr;
    int fd = -1;

    if (VLIBCStrPrintf(photoDir, sizeof(photoDir), "%s%s", user->szHome, SZ_PERSONAL_PHOTO_DIR) <
        0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s%s]", user->szHome,
                SZ_PERSONAL_PHOTO_DIR);
        return -1;
    }
    resolved = realpath(photoDir, nullptr);
    if (!resolved) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s]", photoDir);
        return -1;
    }
    homeReal = realpath(user->szHome, nullptr);
    if (!homeReal || !isPathUnderRoot(resolved, homeReal)) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]",
                homeReal ? homeReal : user->szHome, resolved);
        goto out;
    }
    // The lookup above only names the place; what is changed is what this open reaches.
    if (VLIBCStrPrintf(photoDir, sizeof(photoDir), "%s%s", homeReal, SZ_PERSONAL_PHOTO_DIR) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s]", photoDir);
        goto out;
    }
    fd =
        KAVOPathResolveBeneath(homeReal, photoDir, O_RDONLY | O_DIRECTORY, 0, found, sizeof(found));
    if (fd < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s] (%m)", homeReal, photoDir);
        goto out;
    }
    if (VLIBCStrCopy(home, homeSize, found) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s]", photoDir);
        close(fd);
        fd = -1;
    }
out:
    free(homeReal);
    free(resolved);
    return fd;
}

bool getUserInfo(const char *name, char *home, size_t homeSize, uid_t *uid, gid_t *gid) {
    PKAVOUSER user;
    int fd;

    if (home) {
        fd = openPersonalRoot(name, home, homeSize, uid, gid);
        if (fd < 0) {
            return false;
        }
        close(fd);
        return true;
    }
    if (!(user = lookUpUser(name))) {
        return false;
    }
    if (uid) {
        *uid = user->uid;
    }
    if (gid) {
        *gid = user->gid;
    }
    KAVOUserFree(user);
    return true;
}

int openPersonalRoot(const char *name, char *home, size_t homeSize, uid_t *uid, gid_t *gid) {
    PKAVOUSER user = lookUpUser(name);
    int fd;

    if (!user) {
        return -1;
    }
    fd = openUserPhotoDir(user, home, homeSize);
    if (fd >= 0) {
        if (uid) {
            *uid = user->uid;
        }
        if (gid) {
            *gid = user->gid;
        }
    }
    KAVOUserFree(user);
    return fd;
}

static void closeLevels(std::vector<int> *levels) {
    for (int fd : *levels) {
        close(fd);
    }
    levels->clear();
}

bool applyACLToPath(const char *target, const char *root, uid_t uid, gid_t gid) {
    int rootFd;
    bool ok;

    if (!target || !root || !isPathUnderRoot(target, root)) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]", root ? root : "",
                target ? target : "");
        return false;
    }
    rootFd = KAVOPathOpenRoot(root);
    if (rootFd < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to open [%s] (%m)", root);
        return false;
    }
    ok = applyACLToPathAt(rootFd, root, target, uid, gid, -1);
    close(rootFd);
    return ok;
}

bool applyACLToPathAt(int rootFd, const char *root, const char *target, uid_t uid, gid_t gid,
                      int sameAs) {
    std::vector<int> levels;  // every level below the root down to the target, opened
    const char *rest;
    size_t start;
    size_t i;
    int cur = rootFd;

    if (!target || !root || !isPathUnderRoot(target, root)) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]", root ? root : "",
                target ? target : "");
        return false;
    }
    if (strcmp(target, root) == 0) {
        return true;
    }

    // Open each level from the one above it: O_PATH, no link followed.
    for (rest = target + strlen(root); *rest;) {
        char component[NAME_MAX + 1];
        const char *end;
        size_t len;
        int fd;

        while (*rest == '/') {
            rest++;
        }
        end = strchr(rest, '/');
        len = end ? (size_t)(end - rest) : strlen(rest);
        if (len == 0) {
            break;
        }
        if (len > NAME_MAX || (len == 1 && rest[0] == '.') ||
            (len == 2 && rest[0] == '.' && rest[1] == '.')) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]", root, target);
            closeLevels(&levels);
            return false;
        }
        memcpy(component, rest, len);
        component[len] = '\0';
        rest += len;
        fd = openat(cur, component, O_PATH | O_NOFOLLOW | O_CLOEXEC | (*rest ? O_DIRECTORY : 0));
        if (fd >= 0 && !*rest) {
            struct stat st;
            if (fstat(fd, &st) != 0 || S_ISLNK(st.st_mode)) {
                close(fd);
                fd = -1;
                errno = ELOOP;
            }
        }
        if (fd < 0) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to open [%s] beneath [%s] (%m)", target, root);
            closeLevels(&levels);
            return false;
        }
        levels.push_back(fd);
        cur = fd;
    }
    if (levels.empty()) {
        return true;
    }
    if (sameAs >= 0) {
        struct stat want, got;
        if (fstat(sameAs, &want) != 0 || fstat(levels.back(), &got) != 0 ||
            want.st_dev != got.st_dev || want.st_ino != got.st_ino) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "[%s] changed while it was opened: refused", target);
            closeLevels(&levels);
            return false;
        }
    }
    if (KAVOACLIsApplyFd(levels.back()) == 1) {
        closeLevels(&levels);
        return true;
    }

    // The walk starts at the target's parent when that has an ACL, else at the root: each
    // level from there down without an ACL of its own is set to inherit from the one above.
    start = levels.size() - 1;
    if (KAVOACLIsApplyFd(levels.size() >= 2 ? levels[levels.size() - 2] : rootFd) == 0) {
        start = 0;
    }
    for (i = start; i < levels.size(); i++) {
        if (KAVOACLIsApplyFd(levels[i]) == 0) {
            KAVOACLEnforceInheritFd(levels[i]);
        }
    }

    if (uid != (uid_t)-1 && fchownat(levels.back(), "", uid, gid, AT_EMPTY_PATH) != 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to change owner of [%s][%u %u %u %u]", target,
                (unsigned)geteuid(), (unsigned)getegid(), (unsigned)getuid(), (unsigned)getgid());
        closeLevels(&levels);
        return false;
    }
    closeLevels(&levels);
    return true;
}

// True when one component of name is "..".
static bool holdsDotDot(const char *name) {
    const char *rest = name;

    while (*rest) {
        const char *end = strchr(rest, '/');
        size_t len = end ? (size_t)(end - rest) : strlen(rest);

        if (len == 2 && rest[0] == '.' && rest[1] == '.') {
            return true;
        }
        rest += len;
        while (*rest == '/') {
            rest++;
        }
    }
    return false;
}

bool albumNameAllowed(const char *sharename) {
    if (holdsDotDot(sharename)) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "album name refused[%s]: it holds \"..\"", sharename);
        return false;
    }
    return true;
}

int openAlbumFolder(int rootFd, const char *root, const char *sharename, int flags) {
    char joined[KAVO_PATH_SIZE];
    int fd;

    if (sharename[0] == '/') {
        return KAVOPathOpenAt(rootFd, ".", flags, 0);
    }
    if (!albumNameAllowed(sharename)) {
        errno = EXDEV;
        return -1;
    }
    fd = KAVOPathOpenAt(rootFd, sharename, flags, 0);
    if (fd >= 0 || errno != ELOOP) {
        return fd;
    }
    // A link in the name: followed, as the album's place, only while it stays in the share.
    if (VLIBCStrPrintf(joined, sizeof(joined), "%s/%s", root, sharename) < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = KAVOPathResolveBeneath(root, joined, flags, 0, nullptr, 0);
    if (fd < 0 && errno == EXDEV) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "album name refused[%s]: it leads out of the share",
                sharename);
        errno = EXDEV;
    }
    return fd;
}
