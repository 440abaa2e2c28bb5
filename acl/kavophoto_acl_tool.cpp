// kavophoto_acl: puts a photo root under ACL control (full conversion of the share, personal
// conversion of one user's gallery), checks it, and brings new paths under it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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

#define SZ_SOURCE "kavophoto_acl"

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
#define FORK_FLAGS 0x67

#define ENTRY_TYPE_DIR 4
#define ENTRY_TYPE_FILE 8

static const char *const BASE_ACES[] = {SZ_ACE_LUMORA, SZ_ACE_ADMIN, SZ_ACE_ADMINISTRATORS};

// ---- the recursive pass ---------------------------------------------------------------------

// Gives an opened entry its owner and makes it inherit. path names it in the log.
static bool reownAndInherit(int fd, const char *path, uid_t uid, gid_t gid) {
    if (fchown(fd, uid, gid) != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to chown[%s][%u,%u]", path, (unsigned)uid, (unsigned)gid);
        return false;
    }
    if (KAVOACLEnforceInheritFd(fd) < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to enforce inherit [%s]", path);
        return false;
    }
    return true;
}

// The ACL lock of the walk: held across a batch of entries (other changes of ACLs wait at most
// one batch), so that each entry costs one attribute write and no lock of its own.
#define WALK_LOCK_BATCH 1024

typedef struct _tag_WALK {
    char path[KAVO_PATH_SIZE];  // the entry at hand; each level appends its name
    uid_t uid;
    gid_t gid;
    bool locked;
    int batch;
} WALK;

static void walkLock(WALK *walk) {
    if (walk->locked && ++walk->batch < WALK_LOCK_BATCH) {
        return;
    }
    if (walk->locked) {
        KAVOACLUnlock();
    }
    KAVOACLLock();
    walk->locked = true;
    walk->batch = 0;
}

// Walks the open folder dirFd, named by walk->path. Each entry is opened once, from the folder
// that listed it and without following a link, and re-owned, set to inherit and (for a
// folder) walked through that one descriptor: one directory read, one owner change and one
// attribute write an entry, and an entry swapped for a link after it was listed is refused
// rather than followed. Takes dirFd over (closed on return). false when the folder cannot be
// read.
static bool walkFolder(int dirFd, WALK *walk) {
    DIR *dir = fdopendir(dirFd);
    struct dirent *ent = nullptr;
    char *path = walk->path;
    size_t len;

    if (!dir) {
        KAVOLOG(SZ_SOURCE, "Failed to open %s. reason: %m", path);
        close(dirFd);
        return false;
    }
    len = strlen(path);
    while ((ent = readdir(dir)) != nullptr) {
        const char *child = ent->d_name;
        int type = ent->d_type;
        bool ok = false;
        int fd;

        if (strcmp(child, ".") == 0 || strcmp(child, "..") == 0 || KAVOEAIsHiddenDir(child) ||
            strcmp(child, SZ_RECYCLE_DIR) == 0) {
            continue;
        }
        if (type != ENTRY_TYPE_DIR && type != ENTRY_TYPE_FILE) {
            continue;  // links, devices, pipes, sockets and unknown types are left alone
        }
        if (VLIBCStrPrintf(path + len, KAVO_PATH_SIZE - len, "/%s", child) == 0) {
            walkLock(walk);
            // O_NONBLOCK and O_NOCTTY: an entry swapped for a pipe or a terminal cannot
            // hang the walk or become its terminal.
            fd = openat(dirFd, child,
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC |
                            (type == ENTRY_TYPE_DIR ? O_DIRECTORY : O_NONBLOCK | O_NOCTTY));
            if (fd < 0) {
                // An entry that cannot be reached is one that cannot be re-owned.
                KAVOLOG(SZ_SOURCE, "Failed to chown[%s][%u,%u]", path, (unsigned)walk->uid,
                        (unsigned)walk->gid);
            } else if (!reownAndInherit(fd, path, walk->uid, walk->gid)) {
                close(fd);
            } else if (type == ENTRY_TYPE_DIR) {
                ok = walkFolder(fd, walk);
            } else {
                close(fd);
                ok = true;
            }
        }
        path[len] = '\0';
        if (!ok) {
            KAVOLOG(SZ_SOURCE, "Failed to apply acl[%s/%s]", path, child);
        }
    }
    closedir(dir);
    return true;
}

// The pass over a photo root, opened as rootFd: the root keeps its own ACL and owner (the
// conversions have just written them), everything below it is re-owned and set to inherit.
static bool applyACLRecursive(int rootFd, const char *root, uid_t uid, gid_t gid) {
    WALK walk;
    bool ok;
    int fd;

    if (VLIBCStrCopy(walk.path, sizeof(walk.path), root) < 0) {
        errno = ENAMETOOLONG;
        KAVOLOG(SZ_SOURCE, "Failed to open %s. reason: %m", root);
        return false;
    }
    walk.uid = uid;
    walk.gid = gid;
    walk.locked = false;
    walk.batch = 0;
    fd = openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to open %s. reason: %m", root);
        return false;
    }
    ok = walkFolder(fd, &walk);
    if (walk.locked) {
        KAVOACLUnlock();
    }
    return ok;
}

// ---- the database passes ---------------------------------------------------------------------

// Numeric columns arrive as text; text that does not begin with a number gives 0.
static long long decimalOf(const char *text) {
    return text ? strtoll(text, nullptr, 10) : 0;
}

static const char *fieldOf(PKAVODB_RES res, KAVODB_ROW row, const char *column) {
    const char *value = KAVODBFetchField(res, row, column);
    return value ? value : "";
}

// The album folder of a row, opened beneath the share root (openAlbumFolder). folder
// (KAVO_PATH_SIZE bytes) receives its name for the log: the share root for a name beginning
// with '/', else below it. fd, or -1; a name too long for any folder is refused (logged), and
// folder is then left empty.
static int locateAlbum(int rootFd, const char *root, const char *sharename, char *folder) {
    int named;

    if (sharename[0] == '/') {
        named = VLIBCStrCopy(folder, KAVO_PATH_SIZE, root);
    } else {
        named = VLIBCStrPrintf(folder, KAVO_PATH_SIZE, "%s/%s", root, sharename);
    }
    if (named < 0) {
        KAVOLOG(SZ_SOURCE, "album name refused[%.256s...]: it is too long", sharename);
        folder[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    return openAlbumFolder(rootFd, root, sharename, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

static void closeAlbum(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

// A new album entry of kind type for id (fillAlbumAce). null (logged by the caller) when none
// can be had; release with free().
static PKAVOACE newAlbumAce(int32_t type, int32_t id, uint32_t mask) {
    PKAVOACE ace = KAVOACLAceAlloc();

    if (ace) {
        fillAlbumAce(ace, type, id, mask);
    }
    return ace;
}

// Adds one album entry to the opened folder (-1: not found). A folder whose ACL has no room
// left is told as such, with the album and the entry.
static bool addAlbumEntry(int fd, const char *folder, const KAVOACE *ace) {
    if (fd < 0) {
        return false;
    }
    if (KAVOACLAddFd(fd, ace) == 0) {
        return true;
    }
    if (VLIBCErrGet() == KAVO_ERR_ACL) {
        KAVOLOG(SZ_SOURCE, "ACL of [%s] is full: entry [%s:%u:0x%X] not stored (%m)", folder,
                ace->type == KAVO_ACE_USER    ? "user"
                : ace->type == KAVO_ACE_GROUP ? "group"
                                              : "everyone",
                (unsigned)ace->id, ace->perm);
    }
    return false;
}

// Runs a query on the photo database; the connection is closed before the rows are read.
// false (logged) when it cannot be run; showQuery puts the query itself in that log line.
static bool queryPhotoDB(const char *query, bool showQuery, PKAVODB_RES *res) {
    PKAVODB db = KAVODBConnect(nullptr, SZ_DB_USER, nullptr, SZ_DB_NAME);

    if (!db) {
        KAVOLOG(SZ_SOURCE, "Failed to connect to database");
        return false;
    }
    if (KAVODBExecute(db, query, res) != 0) {
        if (showQuery) {
            KAVOLOG(SZ_SOURCE, "Failed to exec [%s] (%s)", query, KAVODBErrorGet(db));
        } else {
            KAVOLOG(SZ_SOURCE, "Failed to exec (%s)", KAVODBErrorGet(db));
        }
        KAVODBClose(db);
        return false;
    }
    KAVODBClose(db);
    return true;
}

// What a pass does with one row of its query; arg is the pass's own.
typedef void (*ROW_FN)(int rootFd, const char *root, PKAVODB_RES res, KAVODB_ROW row,
                       const void *arg);

// Runs a pass's query and hands every row to addRow, under one ACL lock for the whole pass:
// each entry then costs one read and one write of its folder. false (logged) when the query
// cannot be run; rows that fail do not make the pass fail.
static bool applyRows(const char *query, bool showQuery, int rootFd, const char *root,
                      ROW_FN addRow, const void *arg) {
    PKAVODB_RES res = nullptr;
    KAVODB_ROW row;

    if (!queryPhotoDB(query, showQuery, &res)) {
        return false;
    }
    KAVOACLLock();
    while (KAVODBFetchRow(res, &row) == 0) {
        addRow(rootFd, root, res, row, arg);
    }
    KAVOACLUnlock();
    KAVODBFreeResult(res);
    return true;
}

static void addUserACL(int rootFd, const char *root, const char *sharename, uid_t uid,
                       uint32_t mask) {
    char folder[KAVO_PATH_SIZE] = "";
    int fd = locateAlbum(rootFd, root, sharename, folder);
    PKAVOACE ace = newAlbumAce(KAVO_ACE_USER, (int32_t)uid, mask);

    if (!ace) {
        KAVOLOG(SZ_SOURCE, "failed to addUserACL[%s][%u][%u]", folder, (unsigned)uid, mask);
    } else if (!addAlbumEntry(fd, folder, ace)) {
        KAVOLOG(SZ_SOURCE, "Fail to add acl to [%s][%u][%u]", folder, (unsigned)uid, mask);
        KAVOLOG(SZ_SOURCE, "failed to addUserACL[%s][%u][%u]", folder, (unsigned)uid, mask);
    }
    free(ace);
    closeAlbum(fd);
}

// A row of a user pass; arg is the pass's mask.
static void addUserRow(int rootFd, const char *root, PKAVODB_RES res, KAVODB_ROW row,
                       const void *arg) {
    addUserACL(rootFd, root, fieldOf(res, row, "sharename"),
               (uid_t)decimalOf(fieldOf(res, row, "userid")), *(const uint32_t *)arg);
}

static bool applyUserPerm(int rootFd, const char *root, const char *table) {
    char query[512];
    uint32_t mask;

    if (strcmp(table, SZ_TABLE_BROWSE) == 0) {
        mask = PHOTO_ACE_MASK_BROWSE;
    } else if (strcmp(table, SZ_TABLE_UPLOAD) == 0) {
        mask = PHOTO_ACE_MASK_UPLOAD;
    } else if (strcmp(table, SZ_TABLE_MANAGE) == 0) {
        mask = PHOTO_ACE_MASK_MANAGE;
    } else {
        KAVOLOG(SZ_SOURCE, "Invalid table name[%s]", table);
        return false;
    }
    if (VLIBCStrPrintf(query, sizeof(query),
                       "SELECT userid, sharename FROM %s INNER JOIN photo_share ON "
                       "%s.shareid = photo_share.shareid",
                       table, table) < 0) {
        KAVOLOG(SZ_SOURCE, "Invalid table name[%s]", table);
        return false;
    }
    return applyRows(query, true, rootFd, root, addUserRow, &mask);
}

static void addGroupACL(int rootFd, const char *root, const char *sharename, gid_t gid, int bits) {
    static const struct {
        int bit;
        uint32_t mask;
    } levels[] = {{PHOTO_GROUP_BIT_BROWSE, PHOTO_ACE_MASK_BROWSE},
                  {PHOTO_GROUP_BIT_UPLOAD, PHOTO_ACE_MASK_UPLOAD},
                  {PHOTO_GROUP_BIT_MANAGE, PHOTO_ACE_MASK_MANAGE}};
    char folder[KAVO_PATH_SIZE] = "";
    PKAVOACE ace = nullptr;
    size_t i;
    int fd;

    if (!(bits & (PHOTO_GROUP_BIT_BROWSE | PHOTO_GROUP_BIT_UPLOAD | PHOTO_GROUP_BIT_MANAGE))) {
        return;  // no level: nothing to add, nothing to log
    }
    fd = locateAlbum(rootFd, root, sharename, folder);
    ace = newAlbumAce(KAVO_ACE_GROUP, (int32_t)gid, 0);
    if (!ace) {
        KAVOLOG(SZ_SOURCE, "failed to addGroupACL[%s][%u][%d]", folder, (unsigned)gid, bits);
    }
    for (i = 0; ace && i < sizeof(levels) / sizeof(levels[0]); i++) {
        if (!(bits & levels[i].bit)) {
            continue;
        }
        ace->perm = levels[i].mask;
        if (!addAlbumEntry(fd, folder, ace)) {
            KAVOLOG(SZ_SOURCE, "Fail to add acl to [%s][%u][%u]", folder, (unsigned)gid,
                    (unsigned)bits);
            KAVOLOG(SZ_SOURCE, "failed to addGroupACL[%s][%u][%d]", folder, (unsigned)gid, bits);
            break;
        }
    }
    free(ace);
    closeAlbum(fd);
}

static void addGroupRow(int rootFd, const char *root, PKAVODB_RES res, KAVODB_ROW row,
                        const void *arg) {
    (void)arg;
    addGroupACL(rootFd, root, fieldOf(res, row, "sharename"),
                (gid_t)decimalOf(fieldOf(res, row, "groupid")),
                (int)decimalOf(fieldOf(res, row, "permission")));
}

static bool applyGroupPerm(int rootFd, const char *root) {
    static const char *const query =
        "SELECT groupid, permission, sharename from photo_group_permission_for_nmx_account "
        "INNER JOIN photo_share ON photo_group_permission_for_nmx_account.shareid = "
        "photo_share.shareid;";

    return applyRows(query, false, rootFd, root, addGroupRow, nullptr);
}

// A row of the public pass; arg is the everyone entry, null when its text did not parse.
static void addPublicRow(int rootFd, const char *root, PKAVODB_RES res, KAVODB_ROW row,
                         const void *arg) {
    const KAVOACE *everyone = (const KAVOACE *)arg;
    char folder[KAVO_PATH_SIZE];
    int fd = locateAlbum(rootFd, root, fieldOf(res, row, "sharename"), folder);

    if (!everyone) {
        KAVOLOG(SZ_SOURCE, "Fail to convert acl ace[%s]", SZ_ACE_EVERYONE);
        KAVOLOG(SZ_SOURCE, "failed to addACL[%s][%s]", folder, SZ_ACE_EVERYONE);
    } else if (!addAlbumEntry(fd, folder, everyone)) {
        KAVOLOG(SZ_SOURCE, "Fail to add acl to [%s][%s]", folder, SZ_ACE_EVERYONE);
        KAVOLOG(SZ_SOURCE, "failed to addACL[%s][%s]", folder, SZ_ACE_EVERYONE);
    }
    closeAlbum(fd);
}

// The public pass. Its name (and the log line that names it) is kept as callers expect it.
static bool applyPulicPerm(int rootFd, const char *root) {
    static const char *const query = "SELECT sharename FROM photo_share WHERE public=true;";
    KAVOACE everyone = {};
    bool parsed = KAVOACLAceFromStr(1, SZ_ACE_EVERYONE, &everyone) == 0;

    return applyRows(query, false, rootFd, root, addPublicRow, parsed ? &everyone : nullptr);
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
        KAVOLOG(SZ_SOURCE, "failed to create convert pid file");
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            close(fd);
            return -2;
        }
        KAVOLOG(SZ_SOURCE, "failed to create convert pid file");
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
        KAVOLOG(SZ_SOURCE, "failed to create convert pid file");
        close(fd);
        return -1;
    }
    return fd;
}

// The uid and gid of the package's service account.
static bool getPhotoUgid(uid_t *uid, gid_t *gid) {
    if (KAVOUserIdsGet(SZ_LUMORA_ACCOUNT, uid, gid) != 0) {
        KAVOLOG(SZ_SOURCE, "ERROR: getpwnam(%s) [%m]", SZ_LUMORA_ACCOUNT);
        return false;
    }
    return true;
}

static bool setHideUnreadable(void) {
    PKAVOSHARE share = nullptr;
    bool ok = false;

    if (KAVOShareGet(SZ_PHOTO_SHARE_NAME, &share) < 0) {
        KAVOLOG(SZ_SOURCE, "KAVOShareGet failed.");
        return false;
    }
    if (VLIBShareHideUnreadableSet(share, 1) < 0) {
        KAVOLOG(SZ_SOURCE, "failed to VLIBShareHideUnreadableSet TRUE");
    } else if (KAVOShareUpdate(share) < 0) {
        KAVOLOG(SZ_SOURCE, "failed to update share");
    } else {
        ok = true;
    }
    KAVOShareFree(share);
    return ok;
}

// Holds back the permission changes of the database for the whole full conversion: SHARE
// locks on the album and permission tables, taken in a transaction of a connection of its
// own that stays open until the conversion ends. Taking them waits for every open transaction
// that changed a permission (and so may have run the hook already) to end; holding them keeps
// new changes, and the hook runs they trigger, waiting until the conversion has written what
// the database holds. The passes read through connections of their own, which these locks do
// not hold back.
//
// A writer may change a second table after the locks on the first were granted: each try
// therefore waits at most LOCK_TRY_MS and then gives back what it got, so the two never wait
// for each other. null when the locks cannot be had (logged): the conversion then goes on
// without them, and its passes report the database's failure as before.
#define LOCK_TRY_MS "200"
#define LOCK_RETRY_US 50000

static const char *const SZ_PERMISSION_TABLES =
    "photo_share, photo_access_right_for_nmx_account, photo_upload_right_for_nmx_account, "
    "photo_manage_right_for_nmx_account, photo_group_permission_for_nmx_account";

static bool execIgnoringRows(PKAVODB db, const char *sql) {
    PKAVODB_RES res = nullptr;

    if (KAVODBExecute(db, sql, &res) != 0) {
        return false;
    }
    KAVODBFreeResult(res);
    return true;
}

static PKAVODB lockPermissionTables(void) {
    char lock[512];
    char probe[512];
    PKAVODB db = KAVODBConnect(nullptr, SZ_DB_USER, nullptr, SZ_DB_NAME);
    bool told = false;

    if (!db) {
        KAVOLOG(SZ_SOURCE, "failed to lock the permission tables (no connection)");
        return nullptr;
    }
    if (VLIBCStrPrintf(lock, sizeof(lock),
                       "BEGIN; SET LOCAL lock_timeout = " LOCK_TRY_MS
                       "; LOCK TABLE %s IN SHARE MODE;",
                       SZ_PERMISSION_TABLES) < 0 ||
        VLIBCStrPrintf(probe, sizeof(probe), "SELECT 1 FROM %s LIMIT 0;", SZ_PERMISSION_TABLES) <
            0) {
        KAVOLOG(SZ_SOURCE, "failed to lock the permission tables (%m)");
        KAVODBClose(db);
        return nullptr;
    }
    for (;;) {
        if (execIgnoringRows(db, lock)) {
            return db;
        }
        // Busy, or no such tables (or no server)? Only a busy lock is waited for.
        if (!execIgnoringRows(db, "ROLLBACK;") || !execIgnoringRows(db, probe)) {
            KAVOLOG(SZ_SOURCE, "failed to lock the permission tables (%s)", KAVODBErrorGet(db));
            KAVODBClose(db);
            return nullptr;
        }
        if (!told) {
            KAVOLOG(SZ_SOURCE, "waiting for open changes of the permission tables");
            told = true;
        }
        usleep(LOCK_RETRY_US);
    }
}

// Ends the lock transaction; it changed nothing, so its end is only the locks' release.
static void unlockPermissionTables(PKAVODB db) {
    PKAVODB_RES res = nullptr;

    if (!db) {
        return;
    }
    if (KAVODBExecute(db, "COMMIT;", &res) == 0) {
        KAVODBFreeResult(res);
    }
    KAVODBClose(db);
}

static bool applyBaseACL(int rootFd, const char *root) {
    size_t i;

    for (i = 0; i < sizeof(BASE_ACES) / sizeof(BASE_ACES[0]); i++) {
        if (!addACLFromStringFd(rootFd, root, BASE_ACES[i])) {
            return false;
        }
    }
    return true;
}

// The first steps of both conversions: the root (opened as rootFd) goes to its account and
// its ACL starts afresh with the base entries. kind names the root in the log ("photo", "uvo").
static bool resetRootACL(int rootFd, const char *root, uid_t uid, gid_t gid, const char *kind) {
    if (fchown(rootFd, uid, gid) != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to chown [%s][%u,%u]", root, (unsigned)uid, (unsigned)gid);
        return false;
    }
    if (KAVOACLIsSupport(nullptr, rootFd, 2) == 1) {
        KAVOACLDelete(nullptr, rootFd);
    }
    if (!applyBaseACL(rootFd, root)) {
        KAVOLOG(SZ_SOURCE, "Apply %s acl failed", kind);
        return false;
    }
    return true;
}

static int convertPhotoACL(void) {
    static const char *const tables[] = {SZ_TABLE_BROWSE, SZ_TABLE_UPLOAD, SZ_TABLE_MANAGE};
    char root[KAVO_PATH_SIZE];
    PKAVODB lockDb = nullptr;
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
    int rootFd = -1;
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
        KAVOLOG(SZ_SOURCE, "Failed to get photo path");
        goto out;
    }
    if (!getPhotoUgid(&uid, &gid)) {
        KAVOLOG(SZ_SOURCE, "Failed to get photo ugid");
        goto out;
    }
    rootFd = KAVOPathOpenRoot(root);
    if (rootFd < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to get photo path");
        KAVOLOG(SZ_SOURCE, "failed to open [%s] (%m)", root);
        goto out;
    }
    // Before anything is changed: the tree is rebuilt from what the database holds once the
    // changes under way have ended.
    lockDb = lockPermissionTables();
    if (VLIBCFileSetKeyValue(SZF_LUMORA_SETTINGS, SZ_KEY_CONVERT_ACL, SZ_CONVERT_RUNNING, nullptr) <
        0) {
        KAVOLOG(SZ_SOURCE, "set convert acl key running failed");
        goto out;
    }
    if (!resetRootACL(rootFd, root, uid, gid, "photo")) {
        goto out;
    }
    VLIBCExec(SZF_ACL_TRIGGER, "a", nullptr, nullptr, nullptr);
    if (!setHideUnreadable()) {
        KAVOLOG(SZ_SOURCE, "failed to set hideUnreadable flag");
        goto out;
    }
    if (!applyACLRecursive(rootFd, root, uid, gid)) {
        KAVOLOG(SZ_SOURCE, "applyACLRecursive failed[%s]", root);
        goto out;
    }
    for (i = 0; i < sizeof(tables) / sizeof(tables[0]); i++) {
        if (!applyUserPerm(rootFd, root, tables[i])) {
            KAVOLOG(SZ_SOURCE, "failed to applyUserPerm[%s][%s]", root, tables[i]);
            goto out;
        }
    }
    if (!applyGroupPerm(rootFd, root)) {
        KAVOLOG(SZ_SOURCE, "failed to applyGroupPerm[%s]", root);
        goto out;
    }
    if (!applyPulicPerm(rootFd, root)) {
        KAVOLOG(SZ_SOURCE, "failed to applyPulicPerm[%s]", root);  // kept as callers expect it
        goto out;
    }
    if (VLIBCFileSetKeyValue(SZF_LUMORA_SETTINGS, SZ_KEY_CONVERT_ACL, SZ_CONVERT_FINISH, nullptr) <
        0) {
        KAVOLOG(SZ_SOURCE, "set convert acl key finish failed");
        goto out;
    }
    ret = 0;
out:
    unlockPermissionTables(lockDb);
    if (rootFd >= 0) {
        close(rootFd);
    }
    close(pidFd);
    return ret;
}

static int convertHomeACL(const char *user) {
    char root[KAVO_PATH_SIZE];
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
    int rootFd;
    int ret = -1;

    rootFd = openPersonalRoot(user, root, sizeof(root), &uid, &gid);
    if (rootFd < 0) {
        return -1;
    }
    if (!resetRootACL(rootFd, root, uid, gid, "uvo")) {
        goto out;
    }
    if (KAVOACLArchiveEnable(nullptr, rootFd, 1, 0) < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to set inherit bit [%s]", root);
        goto out;
    }
    if (!applyACLRecursive(rootFd, root, uid, gid)) {
        KAVOLOG(SZ_SOURCE, "applyACLRecursive failed[%s]", root);
        goto out;
    }
    ret = 0;
out:
    close(rootFd);
    return ret;
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
            KAVOLOG(SZ_SOURCE, "failed to convert photo home[%s]", user);
        }
    } else if (convertPhotoACL() != 0) {
        KAVOLOG(SZ_SOURCE, "failed to convert photo");
    }
    closelog();
    exit(0);
}

static int checkACL(const char *user) {
    char root[KAVO_PATH_SIZE];

    if (user) {
        if (!getUserInfo(user, root, sizeof(root), nullptr, nullptr)) {
            KAVOLOG(SZ_SOURCE, "fail to get photo info[%s]", user);
            return -1;
        }
    } else if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_SOURCE, "fail to get photo path");
        return -1;
    }
    return KAVOACLIsApply(root) != 0 ? 0 : -1;
}

// Resolves path into resolved (KAVO_PATH_SIZE bytes); logs on failure. The result only
// names the place: it is reached again beneath the root without following any link.
static bool resolveNewPath(const char *path, char *resolved) {
    char *real = realpath(path, nullptr);
    bool ok = real && VLIBCStrCopy(resolved, KAVO_PATH_SIZE, real) == 0;

    if (!ok) {
        KAVOLOG(SZ_SOURCE, "failed to get realpath[%s]", path);
    }
    free(real);
    return ok;
}

// Opens up the mode of the path beneath the open root (0777), on what was opened.
static void openUpMode(int rootFd, const char *root, const char *resolved) {
    char proc[64];
    const char *rel = resolved + strlen(root);
    int fd;

    while (*rel == '/') {
        rel++;
    }
    fd = KAVOPathOpenAt(rootFd, rel, O_PATH, 0);
    if (fd < 0) {
        KAVOLOG(SZ_SOURCE, "failed to open [%s] beneath [%s] (%m)", resolved, root);
        return;
    }
    // fchmod does not take an O_PATH descriptor; its /proc name is the opened file itself.
    if (VLIBCStrPrintf(proc, sizeof(proc), "/proc/self/fd/%d", fd) < 0 || chmod(proc, 0777) != 0) {
        KAVOLOG(SZ_SOURCE, "failed to chmod [%s] (%m)", resolved);
    }
    close(fd);
}

// The last steps of --apply and --apply_uvo: brings the resolved path under the root's ACL
// (root opened as rootFd), owned by user when one is named, else by uid:gid. A root without
// ACL control only opens the path up (0777).
static int applyUnderRoot(int rootFd, const char *resolved, const char *root, const char *user,
                          uid_t uid, gid_t gid) {
    if (!isPathUnderRoot(resolved, root)) {
        KAVOLOG(SZ_SOURCE, "Path doesn't match [%s][%s]", root, resolved);
        return -1;
    }
    if (KAVOACLIsApplyFd(rootFd) == 0) {
        openUpMode(rootFd, root, resolved);
        return 0;
    }
    if (user && user[0]) {
        if (!getUserInfo(user, nullptr, 0, &uid, &gid)) {
            KAVOLOG(SZ_SOURCE, "failed to get user info[%s]", user);
            return -1;
        }
    }
    if (!applyACLToPathAt(rootFd, root, resolved, uid, gid, -1)) {
        KAVOLOG(SZ_SOURCE, "failed to apply acl to path[%s][%s]", resolved, root);
        return -1;
    }
    return 0;
}

static int applyACL(const char *path, const char *user) {
    char resolved[KAVO_PATH_SIZE];
    char root[KAVO_PATH_SIZE];
    int rootFd;
    int ret;

    if (!resolveNewPath(path, resolved)) {
        return -1;
    }
    if (!getPhotoPath(root, sizeof(root))) {
        KAVOLOG(SZ_SOURCE, "failed to get photo path[%m]");
        return -1;
    }
    rootFd = KAVOPathOpenRoot(root);
    if (rootFd < 0) {
        KAVOLOG(SZ_SOURCE, "failed to get photo path[%m]");
        return -1;
    }
    ret = applyUnderRoot(rootFd, resolved, root, user, (uid_t)-1, (gid_t)-1);
    close(rootFd);
    return ret;
}

static int applyUvoACL(const char *person, const char *path) {
    char resolved[KAVO_PATH_SIZE];
    char root[KAVO_PATH_SIZE];
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
    int rootFd;
    int ret;

    if (!resolveNewPath(path, resolved)) {
        return -1;
    }
    rootFd = openPersonalRoot(person, root, sizeof(root), &uid, &gid);
    if (rootFd < 0) {
        // Kept as callers expect it: a failed look-up of the person reads as the photo path's.
        KAVOLOG(SZ_SOURCE, "failed to get photo path[%m]");
        return -1;
    }
    ret = applyUnderRoot(rootFd, resolved, root, nullptr, uid, gid);
    close(rootFd);
    return ret;
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
    const char *arg2 = argc > 2 ? argv[2] : nullptr;
    int ret;

    openlog("kavophoto_acl", LOG_PID, LOG_USER);
    if (strcmp(option, "--background_convert") == 0 && (argc == 2 || argc == 3)) {
        ret = backgroundConvert(arg2);
    } else if (strcmp(option, "--convert") == 0 && (argc == 2 || argc == 3)) {
        ret = arg2 ? convertHomeACL(arg2) : convertPhotoACL();
    } else if (strcmp(option, "--check") == 0 && (argc == 2 || argc == 3)) {
        ret = checkACL(arg2);
    } else if (strcmp(option, "--apply") == 0 && (argc == 3 || argc == 4)) {
        ret = applyACL(argv[2], argc == 4 ? argv[3] : nullptr);
    } else if (strcmp(option, "--apply_uvo") == 0 && argc == 4) {
        ret = applyUvoACL(argv[2], argv[3]);
    } else {
        ret = usage();
    }
    (void)fflush(stdout);  // only the usage goes there, and the status tells it already
    closelog();
    return ret == 0 ? 0 : 255;
}
