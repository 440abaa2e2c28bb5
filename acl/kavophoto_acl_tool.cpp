// kavophoto_acl: puts a photo root under ACL control (full conversion of the share, personal
// conversion of one user's gallery), checks it, and brings new paths under it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kavoacl.h"
#include "kavocore.h"
#include "kavodb.h"
#include "kavophoto_acl.h"
#include "kavosdk.h"
#include "kavoshare.h"

#define SZ_LOG "kavophoto_acl"

#define SZF_ACL_CONVERT_PID "/var/run/kavophoto_acl_convert.pid"
#define SZF_LUMORA_SETTINGS "/var/packages/Lumora/etc/settings.conf"
#define SZF_ACL_TRIGGER "/var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh"
#define SZ_KEY_CONVERT_ACL "convertphotoacl"
#define SZ_CONVERT_RUNNING "running"
#define SZ_CONVERT_FINISH "finish"
#define SZ_LUMORA_ACCOUNT "Lumora"
#define SZ_RECYCLE_DIR "#recycle"
#define SZ_DB_USER "postgres"
#define SZ_DB_NAME "photo"
#define GETPW_BUF_DEFAULT 16384
#define FORK_FLAGS 0x67

#define ENTRY_TYPE_DIR 4
#define ENTRY_TYPE_FILE 8

static const char *const BASE_ACES[] = {SZ_ACE_LUMORA, SZ_ACE_ADMIN, SZ_ACE_ADMINISTRATORS};

// ---- the recursive pass ---------------------------------------------------------------------

// path is a KAVOPHOTO_PATH_SIZE buffer shared by the whole walk: each level appends its
// entry's name and cuts it off again, so the walk holds one path and one open folder per level.
// The entry itself is reached as name inside the open folder parentFd, so that no entry swapped
// for a link after it was listed leads the walk, or an owner change, out of the tree.
static bool applyACLRecursiveAt(char *path, int parentFd, const char *name, int type, uid_t uid,
                                gid_t gid, bool changeOwner) {
    DIR *dir = NULL;
    struct dirent *ent = NULL;
    size_t len;
    int fd;

    if (type != ENTRY_TYPE_DIR && type != ENTRY_TYPE_FILE) {
        return true;
    }
    if (changeOwner) {
        if (fchownat(parentFd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            KAVOLOG(SZ_LOG, "Failed to chown[%s][%u,%u]", path, (unsigned)uid, (unsigned)gid);
            return false;
        }
        if (KAVOACLEnforceInherit(path) < 0) {
            KAVOLOG(SZ_LOG, "Failed to enforce inherit [%s]", path);
            return false;
        }
    }
    if (type != ENTRY_TYPE_DIR) {
        return true;
    }

    fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || !(dir = fdopendir(fd))) {
        KAVOLOG(SZ_LOG, "Failed to open %s. reason: %s", path, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    len = strlen(path);
    while ((ent = readdir(dir)) != NULL) {
        const char *child = ent->d_name;
        bool ok = false;

        if (strcmp(child, ".") == 0 || strcmp(child, "..") == 0 || KAVOEAIsHiddenDir(child) ||
            strcmp(child, SZ_RECYCLE_DIR) == 0) {
            continue;
        }
        if (VLIBCStrPrintf(path + len, KAVOPHOTO_PATH_SIZE - len, "/%s", child) == 0) {
            ok = applyACLRecursiveAt(path, fd, child, ent->d_type, uid, gid, true);
        }
        path[len] = '\0';
        if (!ok) {
            KAVOLOG(SZ_LOG, "Failed to apply acl[%s/%s]", path, child);
        }
    }
    closedir(dir);
    return true;
}

static bool applyACLRecursive(const char *path, int type, uid_t uid, gid_t gid, bool changeOwner) {
    char walk[KAVOPHOTO_PATH_SIZE];

    if (!path) {
        return false;
    }
    if (VLIBCStrCopy(walk, sizeof(walk), path) < 0) {
        KAVOLOG(SZ_LOG, "Failed to open %s. reason: %s", path, strerror(ENAMETOOLONG));
        return false;
    }
    return applyACLRecursiveAt(walk, AT_FDCWD, walk, type, uid, gid, changeOwner);
}

// ---- the database passes ---------------------------------------------------------------------

// Numeric columns arrive as text; text that does not begin with a number gives 0.
static long long decimalOf(const char *text) {
    return text ? strtoll(text, NULL, 10) : 0;
}

static const char *fieldOf(PKAVODB_RES res, KAVODB_ROW row, const char *column) {
    const char *value = KAVODBFetchField(res, row, column);
    return value ? value : "";
}

// The album folder of a row: the share root for a name beginning with '/', else below it.
static bool getAlbumFolder(const char *root, const char *sharename, char *folder, size_t size) {
    if (sharename[0] == '/') {
        return VLIBCStrCopy(folder, size, root) == 0;
    }
    return VLIBCStrPrintf(folder, size, "%s/%s", root, sharename) == 0;
}

// An album name is text of the database: its folder must resolve to one inside the share,
// so that ".." or a link cannot carry album rights onto folders outside it. folder receives
// the album folder as named (for the log), resolved the folder to change.
static bool locateAlbum(const char *root, const char *sharename, char *folder, char *resolved) {
    char *real = NULL;
    bool ok;

    if (!getAlbumFolder(root, sharename, folder, KAVOPHOTO_PATH_SIZE)) {
        snprintf(folder, KAVOPHOTO_PATH_SIZE, "%s/%s", root, sharename);
        return false;
    }
    real = realpath(folder, NULL);
    ok = real && isPathUnderRoot(real, root) &&
         VLIBCStrCopy(resolved, KAVOPHOTO_PATH_SIZE, real) == 0;
    free(real);
    return ok;
}

// Runs a query on the photo database; the connection is closed before the rows are read.
// false (logged) when it cannot be run; showQuery puts the query itself in that log line.
static bool queryPhotoDB(const char *query, bool showQuery, PKAVODB_RES *res) {
    PKAVODB db = KAVODBConnect(NULL, SZ_DB_USER, NULL, SZ_DB_NAME);

    if (!db) {
        KAVOLOG(SZ_LOG, "Failed to connect to database");
        return false;
    }
    if (KAVODBExecute(db, query, res) != 0) {
        if (showQuery) {
            KAVOLOG(SZ_LOG, "Failed to exec [%s] (%s)", query, KAVODBErrorGet(db));
        } else {
            KAVOLOG(SZ_LOG, "Failed to exec (%s)", KAVODBErrorGet(db));
        }
        KAVODBClose(db);
        return false;
    }
    KAVODBClose(db);
    return true;
}

static void addUserACL(const char *root, const char *sharename, uid_t uid, uint32_t mask) {
    char folder[KAVOPHOTO_PATH_SIZE] = "";
    char resolved[KAVOPHOTO_PATH_SIZE] = "";
    bool located = locateAlbum(root, sharename, folder, resolved);
    PKAVOACE ace = NULL;

    ace = KAVOACLAceAlloc();
    if (!ace) {
        KAVOLOG(SZ_LOG, "failed to addUserACL[%s][%u][%u]", folder, (unsigned)uid, mask);
        return;
    }
    ace->type = KAVO_ACE_USER;
    ace->id = (int32_t)uid;
    ace->perm = mask;
    ace->inherit = PHOTO_ACE_INHERIT;
    ace->isAllow = PHOTO_ACE_ALLOW;
    ace->level = 0;
    ace->reserved = 0;
    if (!located || KAVOACLAdd(resolved, ace) < 0) {
        KAVOLOG(SZ_LOG, "Fail to add acl to [%s][%u][%u]", folder, (unsigned)uid, mask);
        KAVOLOG(SZ_LOG, "failed to addUserACL[%s][%u][%u]", folder, (unsigned)uid, mask);
    }
    free(ace);
}

static bool applyUserPerm(const char *root, const char *table) {
    char query[512];
    PKAVODB_RES res = NULL;
    KAVODB_ROW row;
    uint32_t mask;

    if (strcmp(table, SZ_TABLE_BROWSE) == 0) {
        mask = PHOTO_ACE_MASK_BROWSE;
    } else if (strcmp(table, SZ_TABLE_UPLOAD) == 0) {
        mask = PHOTO_ACE_MASK_UPLOAD;
    } else if (strcmp(table, SZ_TABLE_MANAGE) == 0) {
        mask = PHOTO_ACE_MASK_MANAGE;
    } else {
        KAVOLOG(SZ_LOG, "Invalid table name[%s]", table);
        return false;
    }
    VLIBCStrPrintf(query, sizeof(query),
                   "SELECT userid, sharename FROM %s INNER JOIN photo_share ON "
                   "%s.shareid = photo_share.shareid",
                   table, table);
    if (!queryPhotoDB(query, true, &res)) {
        return false;
    }
    while (KAVODBFetchRow(res, &row) == 0) {
        addUserACL(root, fieldOf(res, row, "sharename"),
                   (uid_t)decimalOf(fieldOf(res, row, "userid")), mask);
    }
    KAVODBFreeResult(res);
    return true;
}

static void addGroupACL(const char *root, const char *sharename, gid_t gid, int bits) {
    static const struct {
        int bit;
        uint32_t mask;
    } levels[] = {{PHOTO_GROUP_BIT_BROWSE, PHOTO_ACE_MASK_BROWSE},
                  {PHOTO_GROUP_BIT_UPLOAD, PHOTO_ACE_MASK_UPLOAD},
                  {PHOTO_GROUP_BIT_MANAGE, PHOTO_ACE_MASK_MANAGE}};
    char folder[KAVOPHOTO_PATH_SIZE] = "";
    char resolved[KAVOPHOTO_PATH_SIZE] = "";
    bool located = locateAlbum(root, sharename, folder, resolved);
    PKAVOACE ace = NULL;
    size_t i;

    ace = KAVOACLAceAlloc();
    if (!ace) {
        KAVOLOG(SZ_LOG, "failed to addGroupACL[%s][%u][%d]", folder, (unsigned)gid, bits);
        return;
    }
    ace->type = KAVO_ACE_GROUP;
    ace->id = (int32_t)gid;
    ace->inherit = PHOTO_ACE_INHERIT;
    ace->isAllow = PHOTO_ACE_ALLOW;
    ace->level = 0;
    ace->reserved = 0;
    for (i = 0; i < sizeof(levels) / sizeof(levels[0]); i++) {
        if (!(bits & levels[i].bit)) {
            continue;
        }
        ace->perm = levels[i].mask;
        if (!located || KAVOACLAdd(resolved, ace) < 0) {
            KAVOLOG(SZ_LOG, "Fail to add acl to [%s][%u][%u]", folder, (unsigned)gid,
                    (unsigned)bits);
            KAVOLOG(SZ_LOG, "failed to addGroupACL[%s][%u][%d]", folder, (unsigned)gid, bits);
            break;
        }
    }
    free(ace);
}

static bool applyGroupPerm(const char *root) {
    static const char *const query =
        "SELECT groupid, permission, sharename from photo_group_permission_for_nmx_account "
        "INNER JOIN photo_share ON photo_group_permission_for_nmx_account.shareid = "
        "photo_share.shareid;";
    PKAVODB_RES res = NULL;
    KAVODB_ROW row;

    if (!queryPhotoDB(query, false, &res)) {
        return false;
    }
    while (KAVODBFetchRow(res, &row) == 0) {
        addGroupACL(root, fieldOf(res, row, "sharename"),
                    (gid_t)decimalOf(fieldOf(res, row, "groupid")),
                    (int)decimalOf(fieldOf(res, row, "permission")));
    }
    KAVODBFreeResult(res);
    return true;
}

static bool applyPulicPerm(const char *root) {
    static const char *const query = "SELECT sharename FROM photo_share WHERE public=true;";
    char folder[KAVOPHOTO_PATH_SIZE];
    char resolved[KAVOPHOTO_PATH_SIZE];
    PKAVODB_RES res = NULL;
    KAVODB_ROW row;

    if (!queryPhotoDB(query, false, &res)) {
        return false;
    }
    while (KAVODBFetchRow(res, &row) == 0) {
        const char *sharename = fieldOf(res, row, "sharename");

        if (!locateAlbum(root, sharename, folder, resolved)) {
            KAVOLOG(SZ_LOG, "Fail to add acl to [%s][%s]", folder, SZ_ACE_EVERYONE);
            KAVOLOG(SZ_LOG, "failed to addACL[%s][%s]", folder, SZ_ACE_EVERYONE);
            continue;
        }
        if (!addACLFromString(resolved, SZ_ACE_EVERYONE)) {
            KAVOLOG(SZ_LOG, "failed to addACL[%s][%s]", folder, SZ_ACE_EVERYONE);
        }
    }
    KAVODBFreeResult(res);
    return true;
}

// ---- the conversions ---------------------------------------------------------------------

// Takes the conversion's pid file: an exclusive lock on it, held until the returned
// descriptor is closed, makes the alive test and the pid write one step. Returns the locked
// descriptor, -2 when another conversion runs, -1 on failure (logged).
static int takeConvertPidFile(void) {
    char text[32] = "";
    ssize_t got;
    int fd;
    int len;

    fd = open(SZF_ACL_CONVERT_PID, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        KAVOLOG(SZ_LOG, "failed to create convert pid file");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            close(fd);
            return -2;
        }
        KAVOLOG(SZ_LOG, "failed to create convert pid file");
        close(fd);
        return -1;
    }
    // A conversion that holds no lock may still be recorded alive in the file.
    got = pread(fd, text, sizeof(text) - 1, 0);
    if (got > 0 && decimalOf(text) != (long long)getpid() &&
        VLIBCProcAliveByPidFile(SZF_ACL_CONVERT_PID) == 1) {
        close(fd);
        return -2;
    }
    len = snprintf(text, sizeof(text), "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, (size_t)len, 0) != (ssize_t)len) {
        KAVOLOG(SZ_LOG, "failed to create convert pid file");
        close(fd);
        return -1;
    }
    return fd;
}

static bool getPhotoUgid(uid_t *uid, gid_t *gid) {
    struct passwd pw;
    struct passwd *found = NULL;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    char *buf = NULL;
    int err;

    if (size == -1) {
        size = GETPW_BUF_DEFAULT;
    }
    buf = (char *)malloc((size_t)size);
    if (!buf) {
        KAVOLOG(SZ_LOG, "ERROR: malloc(%ld) [%m]", size);
        return false;
    }
    err = getpwnam_r(SZ_LUMORA_ACCOUNT, &pw, buf, (size_t)size, &found);
    if (!found) {
        errno = err ? err : ENOENT;
        KAVOLOG(SZ_LOG, "ERROR: getpwnam(%s) [%m]", SZ_LUMORA_ACCOUNT);
        free(buf);
        return false;
    }
    *uid = pw.pw_uid;
    *gid = pw.pw_gid;
    free(buf);
    return true;
}

static bool setHideUnreadable(void) {
    PKAVOSHARE share = NULL;
    bool ok = false;

    if (KAVOShareGet(SZ_PHOTO_SHARE_NAME, &share) < 0) {
        KAVOLOG(SZ_LOG, "KAVOShareGet failed.");
        return false;
    }
    if (VLIBShareHideUnreadableSet(share, 1) < 0) {
        KAVOLOG(SZ_LOG, "failed to VLIBShareHideUnreadableSet TRUE");
    } else if (KAVOShareUpdate(share) < 0) {
        KAVOLOG(SZ_LOG, "failed to update share");
    } else {
        ok = true;
    }
    KAVOShareFree(share);
    return ok;
}

static bool applyBaseACL(const char *root) {
    size_t i;

    for (i = 0; i < sizeof(BASE_ACES) / sizeof(BASE_ACES[0]); i++) {
        if (!addACLFromString(root, BASE_ACES[i])) {
            return false;
        }
    }
    return true;
}

// The first steps of both conversions: the root goes to its account and its ACL starts afresh
// with the base entries. kind names the root in the log ("photo", "uvo").
static bool resetRootACL(const char *root, uid_t uid, gid_t gid, const char *kind) {
    if (chown(root, uid, gid) != 0) {
        KAVOLOG(SZ_LOG, "Failed to chown [%s][%u,%u]", root, (unsigned)uid, (unsigned)gid);
        return false;
    }
    if (KAVOACLIsSupport(root, -1, 2) == 1) {
        KAVOACLDelete(root, -1);
    }
    if (!applyBaseACL(root)) {
        KAVOLOG(SZ_LOG, "Apply %s acl failed", kind);
        return false;
    }
    return true;
}

static int convertPhotoACL(void) {
    static const char *const tables[] = {SZ_TABLE_BROWSE, SZ_TABLE_UPLOAD, SZ_TABLE_MANAGE};
    char root[KAVOPHOTO_PATH_SIZE];
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
    int pidFd;
    int ret = -1;
    size_t i;

    pidFd = takeConvertPidFile();
    if (pidFd == -2) {
        return 0;
    }
    if (pidFd < 0) {
        return -1;
    }
    if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_LOG, "Failed to get photo path");
        goto END;
    }
    if (!getPhotoUgid(&uid, &gid)) {
        KAVOLOG(SZ_LOG, "Failed to get photo ugid");
        goto END;
    }
    if (VLIBCFileSetKeyValue(SZF_LUMORA_SETTINGS, SZ_KEY_CONVERT_ACL, SZ_CONVERT_RUNNING, 0) < 0) {
        KAVOLOG(SZ_LOG, "set convert acl key running failed");
        goto END;
    }
    if (!resetRootACL(root, uid, gid, "photo")) {
        goto END;
    }
    VLIBCExec(SZF_ACL_TRIGGER, "a", NULL, NULL, NULL);
    if (!setHideUnreadable()) {
        KAVOLOG(SZ_LOG, "failed to set hideUnreadable flag");
        goto END;
    }
    if (!applyACLRecursive(root, ENTRY_TYPE_DIR, uid, gid, false)) {
        KAVOLOG(SZ_LOG, "applyACLRecursive failed[%s]", root);
        goto END;
    }
    for (i = 0; i < sizeof(tables) / sizeof(tables[0]); i++) {
        if (!applyUserPerm(root, tables[i])) {
            KAVOLOG(SZ_LOG, "failed to applyUserPerm[%s][%s]", root, tables[i]);
            goto END;
        }
    }
    if (!applyGroupPerm(root)) {
        KAVOLOG(SZ_LOG, "failed to applyGroupPerm[%s]", root);
        goto END;
    }
    if (!applyPulicPerm(root)) {
        KAVOLOG(SZ_LOG, "failed to applyPulicPerm[%s]", root);
        goto END;
    }
    if (VLIBCFileSetKeyValue(SZF_LUMORA_SETTINGS, SZ_KEY_CONVERT_ACL, SZ_CONVERT_FINISH, 0) < 0) {
        KAVOLOG(SZ_LOG, "set convert acl key finish failed");
        goto END;
    }
    ret = 0;
END:
    close(pidFd);
    return ret;
}

static int convertHomeACL(const char *user) {
    char root[KAVOPHOTO_PATH_SIZE];
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;

    if (!getUserInfo(user, root, sizeof(root), &uid, &gid)) {
        return -1;
    }
    if (!resetRootACL(root, uid, gid, "uvo")) {
        return -1;
    }
    if (KAVOACLArchiveEnable(root, -1, 1, 0) < 0) {
        KAVOLOG(SZ_LOG, "Failed to set inherit bit [%s]", root);
        return -1;
    }
    if (!applyACLRecursive(root, ENTRY_TYPE_DIR, uid, gid, false)) {
        KAVOLOG(SZ_LOG, "applyACLRecursive failed[%s]", root);
        return -1;
    }
    return 0;
}

static int backgroundConvert(const char *user) {
    pid_t pid = VLIBCProcForkEx(FORK_FLAGS);

    if (pid < 0) {
        return -1;
    }
    if (pid > 0) {
        return 0;
    }
    if (user) {
        if (convertHomeACL(user) != 0) {
            KAVOLOG(SZ_LOG, "failed to convert photo home[%s]", user);
        }
    } else if (convertPhotoACL() != 0) {
        KAVOLOG(SZ_LOG, "failed to convert photo");
    }
    closelog();
    exit(0);
}

static int checkACL(const char *user) {
    char root[KAVOPHOTO_PATH_SIZE];

    if (user) {
        if (!getUserInfo(user, root, sizeof(root), NULL, NULL)) {
            KAVOLOG(SZ_LOG, "fail to get photo info[%s]", user);
            return -1;
        }
    } else if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_LOG, "fail to get photo path");
        return -1;
    }
    return KAVOACLIsApply(root) != 0 ? 0 : -1;
}

// Resolves path into resolved (KAVOPHOTO_PATH_SIZE bytes); logs on failure.
static bool resolveNewPath(const char *path, char *resolved) {
    char *real = realpath(path, NULL);
    bool ok = real && VLIBCStrCopy(resolved, KAVOPHOTO_PATH_SIZE, real) == 0;

    if (!ok) {
        KAVOLOG(SZ_LOG, "failed to get realpath[%s]", path);
    }
    free(real);
    return ok;
}

// The last steps of --apply and --apply_uvo: brings the resolved path under root's ACL, owned
// by user when one is named, else by uid:gid. A root without ACL control only opens the path
// up (0777).
static int applyUnderRoot(const char *resolved, const char *root, const char *user, uid_t uid,
                          gid_t gid) {
    if (!isPathUnderRoot(resolved, root)) {
        KAVOLOG(SZ_LOG, "Path doesn't match [%s][%s]", root, resolved);
        return -1;
    }
    if (KAVOACLIsApply(root) == 0) {
        (void)chmod(resolved, 0777);
        return 0;
    }
    if (user && user[0]) {
        if (!getUserInfo(user, NULL, 0, &uid, &gid)) {
            KAVOLOG(SZ_LOG, "failed to get user info[%s]", user);
            return -1;
        }
    }
    if (!applyACLToPath(resolved, root, uid, gid)) {
        KAVOLOG(SZ_LOG, "failed to apply acl to path[%s][%s]", resolved, root);
        return -1;
    }
    return 0;
}

static int applyACL(const char *path, const char *user) {
    char resolved[KAVOPHOTO_PATH_SIZE];
    char root[KAVOPHOTO_PATH_SIZE];

    if (!resolveNewPath(path, resolved)) {
        return -1;
    }
    if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_LOG, "failed to get photo path[%m]");
        return -1;
    }
    return applyUnderRoot(resolved, root, user, (uid_t)-1, (gid_t)-1);
}

static int applyUvoACL(const char *person, const char *path) {
    char resolved[KAVOPHOTO_PATH_SIZE];
    char root[KAVOPHOTO_PATH_SIZE];
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;

    if (!resolveNewPath(path, resolved)) {
        return -1;
    }
    if (!getUserInfo(person, root, sizeof(root), &uid, &gid)) {
        KAVOLOG(SZ_LOG, "failed to get photo path[%m]");
        return -1;
    }
    return applyUnderRoot(resolved, root, NULL, uid, gid);
}

// ---- main ------------------------------------------------------------------------------------

static int usage(void) {
    printf("USAGE : kavophoto_acl --background_convert [username]\n");
    printf("USAGE : kavophoto_acl --convert [username]\n");
    printf("USAGE : kavophoto_acl --check [username]\n");
    printf("USAGE : kavophoto_acl --apply path [username]\n");
    printf("USAGE : kavophoto_acl --apply_uvo person path\n");
    return -1;
}

int main(int argc, char **argv) {
    const char *option = argc > 1 ? argv[1] : "";
    const char *arg2 = argc > 2 ? argv[2] : NULL;
    int ret;

    openlog("kavophoto_acl", LOG_PID, LOG_USER);
    if (strcmp(option, "--background_convert") == 0 && (argc == 2 || argc == 3)) {
        ret = backgroundConvert(arg2);
    } else if (strcmp(option, "--convert") == 0 && (argc == 2 || argc == 3)) {
        ret = arg2 ? convertHomeACL(arg2) : convertPhotoACL();
    } else if (strcmp(option, "--check") == 0 && (argc == 2 || argc == 3)) {
        ret = checkACL(arg2);
    } else if (strcmp(option, "--apply") == 0 && (argc == 3 || argc == 4)) {
        ret = applyACL(argv[2], argc == 4 ? argv[3] : NULL);
    } else if (strcmp(option, "--apply_uvo") == 0 && argc == 4) {
        ret = applyUvoACL(argv[2], argv[3]);
    } else {
        ret = usage();
    }
    fflush(stdout);
    closelog();
    return ret == 0 ? 0 : 255;
}
