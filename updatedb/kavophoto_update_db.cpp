// kavophoto_update_db: creates and upgrades the gallery database and the users' personal
// databases by running the package's SQL shell scripts.
//
// The program holds no SQL of its own. It finds the scripts, runs them one at a time in
// directory-read order, reads their exit statuses and, when a personal database was changed,
// asks the indexing service to re-index that user's personal library. It reports through the
// system log and its exit status only.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavosdk.h"

#define SZ_SOURCE_NAME "kavophoto_update_db"

#define SZD_SQL_SCRIPTS "/var/packages/Lumora/target/photo_scripts/sql"
#define SZF_PHOTO_DB_SCRIPT SZD_SQL_SCRIPTS "/photo.sh"
#define SZD_UPGRADE_SCRIPTS SZD_SQL_SCRIPTS "/upgrade"
#define SZD_UVO_UPGRADE_SCRIPTS SZD_SQL_SCRIPTS "/uvo_upgrade"
#define SZ_UVO_DB_NAME "photo/.KAVOUVODB"
#define SZF_KAVOINDEX "/usr/kavo/bin/kavoindex"

// Names of the four operations, as they appear in the log.
#define KAVOPHOTO_PHOTO_DB "KAVOPHOTO_PHOTO_DB"
#define KAVOPHOTO_UPDATE_DB "KAVOPHOTO_UPDATE_DB"
#define KAVOPHOTO_UPDATE_UVODB_ALL "KAVOPHOTO_UPDATE_UVODB_ALL"
#define KAVOPHOTO_UPDATE_UVODB "KAVOPHOTO_UPDATE_UVODB"

#define PATH_BUF_SIZE 4095
#define USER_BUF_SIZE 493
#define REINDEX_ARG_SIZE 100
#define USER_LIST_SIZE 512

// Log with the updater's own prefix "source: operation(line) - text".
#define UPDLOG(op, fmt, ...) \
    KAVOSyslog("%s: %s(%d) - " fmt, SZ_SOURCE_NAME, op, __LINE__, ##__VA_ARGS__)

enum RunMode { MODE_NONE, MODE_ALL, MODE_USER };

static void printUsage(void) {
    puts("Usage:");
    puts("    kavophoto_update_db [options]\n");
    puts("Options:");
    puts("    -a, --all");
    puts("        update all DB and personal lumora DB");
    puts("    -u, --user [user]");
    puts("        update user's personal lumora DB");
    puts("");
}

// Resolves the user of "-u" into *pUser. 0 on success; otherwise the status to end with.
static int fetchUser(const char *arg, PKAVOUSER *pUser) {
    char name[USER_BUF_SIZE];
    uid_t realUid = getuid();
    bool fits = true;
    int ret;

    *pUser = nullptr;
    // Login names are converted with root's view of the account database.
    if (0 != setuid(0)) {
        // Not looked at: local accounts convert without it.
    }
    if (1 > KAVOUserLoginNameConvert(arg, name, sizeof(name))) {
        // A cut name could match some other account, so an over-long one matches none.
        fits = (0 == VLIBCStrCopy(name, sizeof(name), arg));
    }
    if (0 != setuid(realUid)) {
        KAVOSyslog("Setuid back failed.\n");
        return -1;
    }
    if (!fits) {
        KAVOSyslog("Failed to fetch user (%s)", arg);
        return -1;
    }
    if (0 != (ret = KAVOUserGet(name, pUser))) {
        KAVOSyslog("Failed to fetch user (%s)", arg);
        *pUser = nullptr;
        return ret;
    }
    return 0;
}

// A directory entry is a script when the part of its name after the last "." is exactly
// "sh"; a name without any "." is compared whole.
static bool isScriptName(const char *name) {
    const char *dot = strrchr(name, '.');
    const char *suffix = dot ? dot + 1 : name;

    return 0 == strcmp(suffix, "sh");
}

// Collects the full paths of the regular-file scripts of dir, in directory-read order, into
// *plist. Entries whose stat fails are logged and left out; other kinds are passed over.
// false when the list cannot be grown.
static bool collectScripts(const char *op, DIR *dir, const char *dirPath, PVLIBC_SZLIST *plist) {
    struct dirent *ent;
    struct stat st;
    char path[PATH_BUF_SIZE];

    while (nullptr != (ent = readdir(dir))) {
        if (!isScriptName(ent->d_name)) {
            continue;
        }
        if (0 != VLIBCStrPrintf(path, sizeof(path), "%s/%s", dirPath, ent->d_name)) {
            UPDLOG(op, "Path too long [%s/%s]", dirPath, ent->d_name);
            continue;
        }
        if (0 != stat(path, &st)) {
            UPDLOG(op, "Failed to stat file [%s]", path);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            continue;
        }
        if (0 != VLIBCSzListPush(plist, path)) {
            UPDLOG(op, "Failed to list script [%s]: %m", path);
            return false;
        }
    }
    return true;
}

// KAVOPHOTO_PHOTO_DB: creates the gallery database.
static int createPhotoDB(void) {
    if (0 > VLIBCExec(SZF_PHOTO_DB_SCRIPT, nullptr, nullptr, nullptr, nullptr)) {
        UPDLOG(KAVOPHOTO_PHOTO_DB, "Fail to exec photo.sh\n");
        return -1;
    }
    return 0;
}

// KAVOPHOTO_UPDATE_DB: runs every upgrade script of the gallery database as it is read.
static int updatePhotoDB(void) {
    DIR *dir;
    struct dirent *ent;
    struct stat st;
    char path[PATH_BUF_SIZE];

    if (nullptr == (dir = opendir(SZD_UPGRADE_SCRIPTS))) {
        UPDLOG(KAVOPHOTO_UPDATE_DB, "Failed to open dir [%s]", SZD_UPGRADE_SCRIPTS);
        return -1;
    }
    while (nullptr != (ent = readdir(dir))) {
        if (!isScriptName(ent->d_name)) {
            continue;
        }
        if (0 != VLIBCStrPrintf(path, sizeof(path), "%s/%s", SZD_UPGRADE_SCRIPTS, ent->d_name)) {
            UPDLOG(KAVOPHOTO_UPDATE_DB, "Path too long [%s/%s]", SZD_UPGRADE_SCRIPTS, ent->d_name);
            continue;
        }
        if (0 != stat(path, &st)) {
            UPDLOG(KAVOPHOTO_UPDATE_DB, "Failed to stat file [%s]", path);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            continue;
        }
        if (0 > VLIBCExec(path, nullptr, nullptr, nullptr, nullptr)) {
            UPDLOG(KAVOPHOTO_UPDATE_DB, "Fail to exec [%s]\n", path);
        }
    }
    closedir(dir);
    return 0;
}

// The place of a user's personal database, handed to the upgrade scripts; false (logged) when
// it does not exist or is no plain file inside the home. The user owns the folders on the way,
// so the database is reached beneath the home: a link (such as a photo folder that links
// elsewhere in the home) is followed only while it stays inside, and the place found must be a
// regular file with no other name.
static bool getUserDBPath(const char *op, const char *home, char *dbPath, size_t size) {
    char path[PATH_BUF_SIZE];
    struct stat st;
    int fd;

    if (nullptr == home) {
        UPDLOG(op, "Fail to access database: (no home)/%s\n", SZ_UVO_DB_NAME);
        return false;
    }
    if (0 != VLIBCStrPrintf(path, sizeof(path), "%s/%s", home, SZ_UVO_DB_NAME)) {
        UPDLOG(op, "Fail to access database: %s/%s\n", home, SZ_UVO_DB_NAME);
        return false;
    }
    fd = KAVOPathResolveBeneath(home, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, dbPath, size);
    if (0 > fd) {
        if (ENOENT == errno) {
            UPDLOG(op, "Fail to access database: %s\n", path);
        } else {
            UPDLOG(op, "Refusing database %s: not a file inside the home (%m)\n", path);
        }
        return false;
    }
    if (0 != fstat(fd, &st) || !S_ISREG(st.st_mode) || 1 != st.st_nlink) {
        UPDLOG(op, "Refusing database %s: not a plain file\n", path);
        close(fd);
        return false;
    }
    close(fd);
    return true;
}

// Runs every personal upgrade script on one user's database; when any of them changed the
// database, asks the indexing service to re-index the user's personal library.
static void upgradeUserDB(const char *op, const VLIBC_SZLIST *scripts, const char *dbPath,
                          const char *userName) {
    bool changed = false;
    char reindexArg[REINDEX_ARG_SIZE];

    for (int i = 0; i < scripts->nItem; i++) {
        int ret = VLIBCExec(VLIBCSzListGet(scripts, i), dbPath, nullptr, nullptr, nullptr);
        if (1 == ret) {
            changed = true;
        } else if (0 > ret) {
            UPDLOG(op, "Fail to update database: %s\n", dbPath);
        }
    }
    if (!changed) {
        return;
    }
    // A cut name would re-index some other user's library: refuse it instead.
    if (0 != VLIBCStrPrintf(reindexArg, sizeof(reindexArg), "user:%s", userName)) {
        UPDLOG(op, "User name too long to re-index: %s", userName);
        return;
    }
    VLIBCExec(SZF_KAVOINDEX, "-P", "Lumora", "-R", reindexArg);
    KAVOLOG(SZ_SOURCE_NAME, "Lumora: Re-index triggered [kavoindex -P Lumora -R %s]", reindexArg);
}

// KAVOPHOTO_UPDATE_UVODB_ALL: upgrades the personal database of every user who has one.
// Failures here never fail the run.
static int updateAllUserDB(void) {
    PVLIBC_SZLIST users = nullptr;
    PVLIBC_SZLIST scripts = nullptr;
    DIR *dir = nullptr;
    char dbPath[PATH_BUF_SIZE];

    if (nullptr == (users = VLIBCSzListAlloc(USER_LIST_SIZE))) {
        VLIBCErrSetEx(KAVO_ERR_OUT_OF_MEMORY, SZ_SOURCE_NAME, __LINE__);
        goto END;
    }
    if (0 > VLIBUserEnum(&users, VLIB_USER_ENUM_LOCAL, 0)) {
        KAVOSyslog("VLIBUserEnum failed.\n");
        goto END;
    }
    if (nullptr == (dir = opendir(SZD_UVO_UPGRADE_SCRIPTS))) {
        UPDLOG(KAVOPHOTO_UPDATE_UVODB_ALL, "Failed to open dir [%s]", SZD_UVO_UPGRADE_SCRIPTS);
        goto END;
    }
    if (nullptr == (scripts = VLIBCSzListAlloc(USER_LIST_SIZE))) {
        UPDLOG(KAVOPHOTO_UPDATE_UVODB_ALL, "Failed to allocate script list: %m");
        goto END;
    }
    if (!collectScripts(KAVOPHOTO_UPDATE_UVODB_ALL, dir, SZD_UVO_UPGRADE_SCRIPTS, &scripts)) {
        goto END;
    }

    for (int i = 0; i < users->nItem; i++) {
        const char *name = VLIBCSzListGet(users, i);
        PKAVOUSER user = nullptr;

        if (0 != KAVOUserGet(name, &user)) {
            UPDLOG(KAVOPHOTO_UPDATE_UVODB_ALL, "Fail to get user: %s.\n", name);
            continue;
        }
        if (getUserDBPath(KAVOPHOTO_UPDATE_UVODB_ALL, user->szHome, dbPath, sizeof(dbPath)) &&
            0 < scripts->nItem) {
            upgradeUserDB(KAVOPHOTO_UPDATE_UVODB_ALL, scripts, dbPath, name);
        }
        KAVOUserFree(user);
    }

END:
    if (dir) {
        closedir(dir);
    }
    if (scripts) {
        VLIBCSzListFree(scripts);
    }
    if (users) {
        VLIBCSzListFree(users);
    }
    return 0;
}

// KAVOPHOTO_UPDATE_UVODB: upgrades one user's personal database. Failures are logged only.
static int updateUserDB(const char *userName, const char *home) {
    PVLIBC_SZLIST scripts = nullptr;
    DIR *dir = nullptr;
    char dbPath[PATH_BUF_SIZE];

    if (nullptr == (dir = opendir(SZD_UVO_UPGRADE_SCRIPTS))) {
        UPDLOG(KAVOPHOTO_UPDATE_UVODB, "Failed to open dir [%s]", SZD_UVO_UPGRADE_SCRIPTS);
        goto FAIL;
    }
    if (nullptr == (scripts = VLIBCSzListAlloc(USER_LIST_SIZE))) {
        UPDLOG(KAVOPHOTO_UPDATE_UVODB, "Failed to allocate script list: %m");
        goto FAIL;
    }
    if (!collectScripts(KAVOPHOTO_UPDATE_UVODB, dir, SZD_UVO_UPGRADE_SCRIPTS, &scripts)) {
        goto FAIL;
    }
    if (!getUserDBPath(KAVOPHOTO_UPDATE_UVODB, home, dbPath, sizeof(dbPath))) {
        goto FAIL;
    }
    upgradeUserDB(KAVOPHOTO_UPDATE_UVODB, scripts, dbPath, userName);
    goto END;

FAIL:
    KAVOSyslog("%s: Failed to update UVO DB", SZ_SOURCE_NAME);
END:
    if (scripts) {
        VLIBCSzListFree(scripts);
    }
    if (dir) {
        closedir(dir);
    }
    return 0;
}

int main(int argc, char *argv[]) {
    static const struct option longOptions[] = {
        {"all", no_argument, nullptr, 'a'},
        {"user", required_argument, nullptr, 'u'},
        {nullptr, 0, nullptr, 0},
    };
    RunMode mode = MODE_NONE;
    PKAVOUSER user = nullptr;
    int ret = 0;
    int opt;

    openlog(SZ_SOURCE_NAME, LOG_PID, LOG_USER);

    while (-1 != (opt = getopt_long(argc, argv, "au:", longOptions, nullptr))) {
        switch (opt) {
            case 'a':
                mode = MODE_ALL;
                break;
            case 'u':
                if (user) {
                    KAVOUserFree(user);
                    user = nullptr;
                }
                if (0 != (ret = fetchUser(optarg, &user))) {
                    goto END;
                }
                mode = MODE_USER;
                break;
            default:
                printUsage();
                break;
        }
    }

    switch (mode) {
        case MODE_NONE:
            printUsage();
            ret = -1;
            break;
        case MODE_ALL:
            if (0 != createPhotoDB()) {
                KAVOSyslog("%s: Failed to create photo DB", SZ_SOURCE_NAME);
                ret = -1;
                break;
            }
            if (0 != updatePhotoDB()) {
                KAVOSyslog("%s: Failed to update DB", SZ_SOURCE_NAME);
                ret = -1;
                break;
            }
            ret = updateAllUserDB();
            break;
        case MODE_USER:
            if (nullptr == user->szName || '\0' == user->szName[0]) {
                printUsage();
                ret = 0;
                break;
            }
            ret = updateUserDB(user->szName, user->szHome);
            break;
    }

END:
    if (user) {
        KAVOUserFree(user);
    }
    closelog();
    return ret;
}
