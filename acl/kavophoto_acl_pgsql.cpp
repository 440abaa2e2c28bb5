// kavophoto_acl_pgsql: adds or removes one ACE on the folder of one album. The gallery
// database runs it as "postgres" on every album permission change.
//
// Installed setuid root: only root may change ACLs. The check of the caller's real uid keeps
// everyone but root and "postgres" out, and nothing the caller controls (environment, umask,
// working folder, standard descriptors) is relied on. It starts no other program.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kavoacl.h"
#include "kavocore.h"
#include "kavophoto_acl.h"

#define SZ_SOURCE "kavophoto_acl_pgsql"

#define SZ_DB_ACCOUNT "postgres"
#define SZ_EVERYONE "everyone"
#define SZ_KIND_USER "user"
#define SZ_KIND_GROUP "group"
#define SZ_SHARE_ROOT_ALBUM "/"

enum AclAction { ACL_ADD, ACL_DEL };

// ---- start-up --------------------------------------------------------------------------------

// A setuid program starts from a known state: no inherited environment, umask or working
// folder, and standard descriptors that are open, so that no file it opens lands on them.
static void sanitizeProcess(void) {
    int fd;

    clearenv();
    umask(022);
    if (chdir("/") != 0) {
        KAVOLOG(SZ_SOURCE, "failed to chdir to / [%m]");
    }
    for (fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

// Only root and the database's own account may run the hook.
static bool checkCaller(void) {
    uid_t caller = getuid();
    uid_t dbUid = (uid_t)-1;

    if (!getUserInfo(SZ_DB_ACCOUNT, nullptr, 0, &dbUid, nullptr)) {
        KAVOLOG(SZ_SOURCE, "failed to get postgres info");
        return false;
    }
    if (caller != 0 && caller != dbUid) {
        KAVOLOG(SZ_SOURCE, "uid not match[%u][%u]", (unsigned)caller, (unsigned)dbUid);
        // No line end: the caller reads the refusal as it stands.
        printf("uid not match[%u][%u]", (unsigned)caller, (unsigned)dbUid);
        (void)fflush(stdout);  // the status tells the refusal even when this is lost
        return false;
    }
    return true;
}

// ---- arguments -------------------------------------------------------------------------------

// An id is a decimal number of 32 bits; anything else is refused rather than read as 0 (root).
// (uid_t)-1 means "no account" and is refused too.
static bool parseId(const char *text, uint32_t *id) {
    unsigned long long value = 0;
    const char *p;

    if (!text || !text[0]) {
        return false;
    }
    for (p = text; *p; p++) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (unsigned long long)(*p - '0');
        if (value >= 0xFFFFFFFFull) {
            return false;
        }
    }
    *id = (uint32_t)value;
    return true;
}

static bool maskOfLevel(const char *level, uint32_t *mask) {
    if (strcmp(level, SZ_LEVEL_BROWSE) == 0) {
        *mask = PHOTO_ACE_MASK_BROWSE;
    } else if (strcmp(level, SZ_LEVEL_UPLOAD) == 0) {
        *mask = PHOTO_ACE_MASK_UPLOAD;
    } else if (strcmp(level, SZ_LEVEL_MANAGE) == 0) {
        *mask = PHOTO_ACE_MASK_MANAGE;
    } else {
        return false;
    }
    return true;
}

// ---- the album folder ------------------------------------------------------------------------

// Finds the album's folder below the share root and sets it, and every level above it
// without an ACL of its own, to inherit. folder (KAVO_PATH_SIZE bytes) receives its
// resolved path, which only names it: the folder is opened beneath the root without following
// a link, and the descriptor returned is what every change is made on. fd or -1.
static int locateAlbumFolder(const char *sharename, char *folder) {
    char root[KAVO_PATH_SIZE];
    char joined[KAVO_PATH_SIZE];
    struct stat st;
    char *real = nullptr;
    int rootFd = -1;
    int fd = -1;
    int ret = -1;

    if (!sharename || !sharename[0]) {
        return -1;
    }
    if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_SOURCE, "getPhotoPath failed");
        return -1;
    }
    if (strcmp(sharename, SZ_SHARE_ROOT_ALBUM) == 0) {
        // Both buffers hold KAVO_PATH_SIZE bytes: the root always fits.
        if (VLIBCStrCopy(folder, KAVO_PATH_SIZE, root) < 0) {
            KAVOLOG(SZ_SOURCE, "getPhotoPath failed");
            return -1;
        }
    } else {
        if (VLIBCStrPrintf(joined, sizeof(joined), "%s/%s", root, sharename) < 0 ||
            !(real = realpath(joined, nullptr)) || VLIBCStrCopy(folder, KAVO_PATH_SIZE, real) < 0) {
            KAVOLOG(SZ_SOURCE, "failed to get realpath[%s]", sharename);
            free(real);
            return -1;
        }
        free(real);
        if (!albumNameAllowed(sharename) || !isPathUnderRoot(folder, root)) {
            KAVOLOG(SZ_SOURCE, "Path doesn't match [%s][%s]", root, folder);
            return -1;
        }
    }
    rootFd = KAVOPathOpenRoot(root);
    if (rootFd < 0) {
        KAVOLOG(SZ_SOURCE, "getPhotoPath failed");
        return -1;
    }
    fd = KAVOPathOpenBeneath(root, folder, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "Path doesn't match [%s][%s] (%m)", root, folder);
        goto out;
    }
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        KAVOLOG(SZ_SOURCE, "[%s] is not dir", folder);
        goto out;
    }
    if (KAVOACLIsApplyFd(rootFd) == 0) {
        // Kept as callers expect it: the text names the share, not the folder's ACL.
        KAVOLOG(SZ_SOURCE, "photo is not acl[%s]", root);
        goto out;
    }
    if (!applyACLToPathAt(rootFd, root, folder, (uid_t)-1, (gid_t)-1, fd)) {
        goto out;
    }
    ret = fd;
    fd = -1;
out:
    if (fd >= 0) {
        close(fd);
    }
    close(rootFd);
    return ret;
}

// ---- adding and removing ---------------------------------------------------------------------

// A grant that does not fit in the folder's ACL fails like any other, with its reason.
static bool addACL(int fd, const char *folder, int32_t type, int32_t id, uint32_t mask) {
    KAVOACE ace;

    fillAlbumAce(&ace, type, id, mask);
    if (KAVOACLAddFd(fd, &ace) < 0) {
        KAVOLOG(SZ_SOURCE, "Fail to add acl to [%s][%u] (%m)", folder, mask);
        return false;
    }
    return true;
}

static bool delACL(int fd, const char *folder, int32_t type, int32_t id, uint32_t mask) {
    KAVOACE_CRITERIA criteria;
    PKAVOACL acl = nullptr;
    bool ok = false;
    int got;

    // The read, the edit and the write are one step: an entry that another process adds in
    // between would otherwise be written away again.
    KAVOACLLock();
    got = KAVOACLGet(nullptr, fd, 2, &acl);
    if (got < 0) {
        KAVOACLUnlock();
        return false;
    }
    if (got == 0) {
        KAVOACLUnlock();
        return true;
    }
    memset(&criteria, 0, sizeof(criteria));
    criteria.fields = KAVO_ACE_MATCH_OWNER | KAVO_ACE_MATCH_PERM | KAVO_ACE_MATCH_ALLOW;
    fillAlbumAce(&criteria.ace, type, id, mask);
    // Both texts are kept as callers expect them: "errno" there is the platform's error code.
    if (KAVOACLAceRemove(acl, &criteria, 0) < 0) {
        KAVOLOG(SZ_SOURCE, "failed to remove ace of acl of '%s', errno=[%X]", folder,
                (unsigned)VLIBCErrGet());
        goto out;
    }
    if (KAVOACLSet(nullptr, fd, acl) < 0) {
        KAVOLOG(SZ_SOURCE, "failed to set acl of '%s', errno=[%X]", folder,
                (unsigned)VLIBCErrGet());
        goto out;
    }
    ok = true;
out:
    KAVOACLUnlock();
    KAVOACLFree(acl);
    return ok;
}

// Adds or removes the entry on the opened folder and closes it. 0 or -1 (logged).
//
// The texts are kept as callers expect them: "public" stands in every one of them, also for
// an account's right, whose mask is shown in hexadecimal; the everyone entry's in decimal.
static int changeEntry(int fd, const char *folder, AclAction action, int32_t type, int32_t id,
                       uint32_t mask) {
    bool everyone = type == KAVO_ACE_EVERYONE;
    int ret = 0;

    if (action == ACL_ADD && !addACL(fd, folder, type, id, mask)) {
        if (everyone) {
            KAVOLOG(SZ_SOURCE, "addACL public failed[%s][%u]", folder, mask);
        } else {
            KAVOLOG(SZ_SOURCE, "addACL public failed[%s][%X]", folder, mask);
        }
        ret = -1;
    } else if (action == ACL_DEL && !delACL(fd, folder, type, id, mask)) {
        if (everyone) {
            KAVOLOG(SZ_SOURCE, "delACL public failed[%s][%u]", folder, mask);
        } else {
            KAVOLOG(SZ_SOURCE, "delACL public failed[%s][%X]", folder, mask);
        }
        ret = -1;
    }
    close(fd);
    return ret;
}

static int setEveryonePerm(const char *sharename, AclAction action) {
    char folder[KAVO_PATH_SIZE];
    int fd;

    fd = locateAlbumFolder(sharename, folder);
    if (fd < 0) {
        return -1;
    }
    return changeEntry(fd, folder, action, KAVO_ACE_EVERYONE, -1, PHOTO_ACE_MASK_BROWSE);
}

// kind is KAVO_ACE_USER or KAVO_ACE_GROUP: a group's right is a group entry, as the full
// conversion writes it, never a user entry that happens to carry the gid.
static int setAccountPerm(const char *sharename, int32_t kind, const char *idText,
                          const char *level, AclAction action) {
    char folder[KAVO_PATH_SIZE];
    uint32_t mask = 0;
    uint32_t id = 0;
    int fd;

    if (!sharename || !sharename[0] || !idText || !level) {
        return -1;
    }
    // The folder is located (and set to inherit) first; the level and the id are read after.
    fd = locateAlbumFolder(sharename, folder);
    if (fd < 0) {
        return -1;
    }
    if (!maskOfLevel(level, &mask)) {
        close(fd);
        return -1;
    }
    if (!parseId(idText, &id)) {
        KAVOLOG(SZ_SOURCE, "invalid id[%s]", idText);
        close(fd);
        return -1;
    }
    return changeEntry(fd, folder, action, kind, (int32_t)id, mask);
}

// ---- main ------------------------------------------------------------------------------------

static int usage(void) {
    printf(
        "USAGE : kavophoto_acl_pgsql --add sharename [user|group] uid "
        "[browse|upload|manage]\n");
    printf("USAGE : kavophoto_acl_pgsql --add sharename everyone\n");
    printf(
        "USAGE : kavophoto_acl_pgsql --del sharename [user|group] gid "
        "[browse|upload|manage]\n");
    printf("USAGE : kavophoto_acl_pgsql --del sharename everyone\n");
    printf("sharename = \"/\" or \"album1/album2\"\n");
    return -1;
}

int main(int argc, char **argv) {
    AclAction action = ACL_ADD;
    int32_t kind;
    int ret;

    openlog("kavophoto_acl_pgsql", LOG_PID, LOG_USER);
    sanitizeProcess();
    if (!checkCaller()) {
        closelog();
        return 255;
    }

    if (argc > 1 && strcmp(argv[1], "--add") == 0) {
        action = ACL_ADD;
    } else if (argc > 1 && strcmp(argv[1], "--del") == 0) {
        action = ACL_DEL;
    } else {
        argc = 0;  // usage
    }
    if (argc == 4 && strcmp(argv[3], SZ_EVERYONE) == 0) {
        ret = setEveryonePerm(argv[2], action);
    } else if (argc == 6 &&
               (strcmp(argv[3], SZ_KIND_USER) == 0 || strcmp(argv[3], SZ_KIND_GROUP) == 0)) {
        kind = strcmp(argv[3], SZ_KIND_GROUP) == 0 ? KAVO_ACE_GROUP : KAVO_ACE_USER;
        ret = setAccountPerm(argv[2], kind, argv[4], argv[5], action);
    } else {
        ret = usage();
    }
    (void)fflush(stdout);  // only the usage goes there, and the status tells it already
    closelog();
    return ret == 0 ? 0 : 255;
}
