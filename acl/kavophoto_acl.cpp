// Album ACL module: photo roots, account lookup and the inheritance walk.
#include "kavophoto_acl.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "kavoacl.h"
#include "kavocore.h"
#include "kavosdk.h"
#include "kavoshare.h"

bool isPathUnderRoot(const char *path, const char *root) {
    size_t len;

    if (!path || !root || !root[0]) {
        return false;
    }
    len = strlen(root);
    if (strncmp(path, root, len) != 0) {
        return false;
    }
    // "/" itself holds every absolute path.
    if (root[len - 1] == '/') {
        return true;
    }
    return path[len] == '\0' || path[len] == '/';
}

bool getPhotoPath(char *root, size_t size) {
    PKAVOSHARE share = NULL;
    char *resolved = NULL;
    bool ok = false;

    if (KAVOShareGet(SZ_PHOTO_SHARE_NAME, &share) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOShareGet failed.");
        return false;
    }
    resolved = realpath(share->szPath, NULL);
    if (!resolved) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to get realpath[%s].", share->szPath);
        goto END;
    }
    if (VLIBCStrCopy(root, size, resolved) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to get realpath[%s].", share->szPath);
        goto END;
    }
    ok = true;
END:
    free(resolved);
    KAVOShareFree(share);
    return ok;
}

bool getUserInfo(const char *name, char *home, size_t homeSize, uid_t *uid, gid_t *gid) {
    char login[KAVOPHOTO_LOGIN_NAME_SIZE];
    char photoDir[KAVOPHOTO_PATH_SIZE];
    PKAVOUSER user = NULL;
    char *resolved = NULL;
    char *homeReal = NULL;
    bool ok = false;

    if (!name || !name[0]) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Parameter Error");
        return false;
    }
    memset(login, 0, sizeof(login));
    if (KAVOUserLoginNameConvert(name, login, sizeof(login)) <= 0) {
        // Not a known spelling: look the name up as given. A name that does not fit is
        // refused rather than cut, so that it cannot turn into another account's name.
        memset(login, 0, sizeof(login));
        if (VLIBCStrCopy(login, sizeof(login), name) < 0) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOUserGet failed.[%s]", login);
            return false;
        }
    }
    if (KAVOUserGet(login, &user) != 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "KAVOUserGet failed.[%s]", login);
        return false;
    }
    if (home) {
        if (VLIBCStrPrintf(photoDir, sizeof(photoDir), "%s%s", user->szHome,
                           SZ_PERSONAL_PHOTO_DIR) < 0) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s%s]", user->szHome,
                    SZ_PERSONAL_PHOTO_DIR);
            goto END;
        }
        resolved = realpath(photoDir, NULL);
        if (!resolved) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s]", photoDir);
            goto END;
        }
        // The personal root and everything below it are given to the user: a "photo" that
        // leads out of the home (a link to a system folder or to another user's gallery) is
        // refused, or the user could take over files that are not his.
        homeReal = realpath(user->szHome, NULL);
        if (!homeReal || !isPathUnderRoot(resolved, homeReal)) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]",
                    homeReal ? homeReal : user->szHome, resolved);
            goto END;
        }
        if (VLIBCStrCopy(home, homeSize, resolved) < 0) {
            KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Failed to get realpath of [%s]", photoDir);
            goto END;
        }
    }
    if (uid) {
        *uid = user->uid;
    }
    if (gid) {
        *gid = user->gid;
    }
    ok = true;
END:
    free(homeReal);
    free(resolved);
    KAVOUserFree(user);
    return ok;
}

bool applyACLToPath(const char *target, const char *root, uid_t uid, gid_t gid) {
    char start[KAVOPHOTO_PATH_SIZE];
    char below[KAVOPHOTO_PATH_SIZE];
    char level[KAVOPHOTO_PATH_SIZE];
    char *slash = NULL;
    char *component = NULL;
    char *save = NULL;
    size_t len;

    if (!target || !root || !isPathUnderRoot(target, root)) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path doesn't match [%s][%s]", root ? root : "",
                target ? target : "");
        return false;
    }
    if (strcmp(target, root) == 0) {
        return true;
    }
    if (KAVOACLIsApply(target) == 1) {
        return true;
    }

    // The walk starts at the target's parent when that has an ACL, else at the root.
    if (VLIBCStrCopy(start, sizeof(start), target) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Path too long [%s]", target);
        return false;
    }
    slash = strrchr(start, '/');
    if (slash == start) {
        start[1] = '\0';
    } else if (slash) {
        *slash = '\0';
    }
    if (KAVOACLIsApply(start) == 0) {
        VLIBCStrCopy(start, sizeof(start), root);
    }

    // Descend from the start, one component at a time, setting each level without an ACL
    // of its own to inherit from the one above.
    len = strlen(start);
    VLIBCStrCopy(below, sizeof(below), target + len);
    VLIBCStrCopy(level, sizeof(level), start);
    if (len > 0 && level[len - 1] == '/') {
        level[len - 1] = '\0';
    }
    for (component = strtok_r(below, "/", &save); component;
         component = strtok_r(NULL, "/", &save)) {
        len = strlen(level);
        if (VLIBCStrPrintf(level + len, sizeof(level) - len, "/%s", component) < 0) {
            break;
        }
        if (KAVOACLIsApply(level) == 0) {
            KAVOACLEnforceInherit(level);
        }
    }

    if (uid != (uid_t)-1 && chown(target, uid, gid) != 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "failed to change owner of [%s][%u %u %u %u]", target,
                (unsigned)geteuid(), (unsigned)getegid(), (unsigned)getuid(), (unsigned)getgid());
        return false;
    }
    return true;
}
