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

#define SZ_SOURCE "kavophoto_update_db"

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

// The updater's own log prefix, "source: operation(line) - ", followed by the text. The package
// scripts and support tools match these lines as they stand, the "Fail to ..." wording and the
// texts without any prefix included: keep them as callers expect them.
#define SZ_OPERATION_PREFIX "%s: %s(%d) - "

// The updater has always formatted its paths into 4095 bytes, one short of KAVO_PATH_SIZE.
#define UPDATE_PATH_SIZE 4095
#define REINDEX_ARG_SIZE 100
#define USER_LIST_SIZE 512

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

// Resolves the user of "-u" into *user. 0 on success; otherwise the status to end with.
static int fetchUser(const char *arg, PKAVOUSER *user) {
    char name[KAVO_LOGIN_NAME_SIZE];
    uid_t realUid = getuid();
    bool fits = true;
    int ret;

    *user = nullptr;
    // Login names are converted with root's view of the account database.
    if (setuid(0) != 0) {
        // Not looked at: local accounts convert without it.
    }
    if (KAVOUserLoginNameConvert(arg, name, sizeof(name)) < 1) {
        // A cut name could match some other account, so an over-long one matches none.
        fits = VLIBCStrCopy(name, sizeof(name), arg) == 0;
    }
    if (setuid(realUid) != 0) {
        KAVOSyslog("Setuid back failed.");
        return -1;
    }
    if (!fits) {
        KAVOSyslog("Failed to fetch user (%s)", arg);
        return -1;
    }
    if ((ret = KAVOUserGet(name, user)) != 0) {
        KAVOSyslog("Failed to fetch user (%s)", arg);
        *user = nullptr;
        return ret;
    }
    return 0;
}

// A directory entry is a script when the part of its name after the last "." is exactly
// "sh"; a name without any "." is compared whole.
static bool isScriptName(const char *name) {
    const char *dot = strrchr(name, '.');
    const char *suffix = dot ? dot + 1 : name;

    return strcmp(suffix, "sh") == 0;
}

// Reads dir on to its next script that is a regular file (by stat, links followed) and puts its
// full path into path. Entries whose path is too long or whose stat fails are logged and passed
// over; other kinds are passed over silently. false at the end of the directory.
static bool nextScript(const char *op, DIR *dir, const char *dirPath, char *path, size_t size) {
    struct dirent *ent;
    struct stat st;

    while ((ent = readdir(dir)) != nullptr) {
        if (!isScriptName(ent->d_name)) {
            continue;
        }
        if (VLIBCStrPrintf(path, size, "%s/%s", dirPath, ent->d_name) != 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Path too long [%s/%s]", SZ_SOURCE, op, __LINE__,
                       dirPath, ent->d_name);
            continue;
        }
        if (stat(path, &st) != 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Failed to stat file [%s]", SZ_SOURCE, op, __LINE__,
                       path);
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            return true;
        }
    }
    return false;
}

// The full paths of the personal upgrade scripts, in directory-read order (the list may be
// empty); null (logged) when the folder cannot be read or the list cannot be grown.
static PVLIBC_SZLIST listUserScripts(const char *op) {
    PVLIBC_SZLIST scripts = nullptr;
    DIR *dir;
    char path[UPDATE_PATH_SIZE];

    if ((dir = opendir(SZD_UVO_UPGRADE_SCRIPTS)) == nullptr) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Failed to open dir [%s]", SZ_SOURCE, op, __LINE__,
                   SZD_UVO_UPGRADE_SCRIPTS);
        return nullptr;
    }
    if ((scripts = VLIBCSzListAlloc(USER_LIST_SIZE)) == nullptr) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Failed to allocate script list: %m", SZ_SOURCE, op,
                   __LINE__);
        goto out;
    }
    while (nextScript(op, dir, SZD_UVO_UPGRADE_SCRIPTS, path, sizeof(path))) {
        if (VLIBCSzListPush(&scripts, path) != 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Failed to list script [%s]: %m", SZ_SOURCE, op,
                       __LINE__, path);
            VLIBCSzListFree(scripts);
            scripts = nullptr;
            goto out;
        }
    }

out:
    closedir(dir);
    return scripts;
}

// KAVOPHOTO_PHOTO_DB: creates the gallery database.
static int createPhotoDB(void) {
    if (VLIBCExec(SZF_PHOTO_DB_SCRIPT, nullptr, nullptr, nullptr, nullptr) < 0) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Fail to exec photo.sh", SZ_SOURCE, KAVOPHOTO_PHOTO_DB,
                   __LINE__);
        return -1;
    }
    return 0;
}

// KAVOPHOTO_UPDATE_DB: runs every upgrade script of the gallery database as it is read.
static int updatePhotoDB(void) {
    DIR *dir;
    char path[UPDATE_PATH_SIZE];

    if ((dir = opendir(SZD_UPGRADE_SCRIPTS)) == nullptr) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Failed to open dir [%s]", SZ_SOURCE, KAVOPHOTO_UPDATE_DB,
                   __LINE__, SZD_UPGRADE_SCRIPTS);
        return -1;
    }
    while (nextScript(KAVOPHOTO_UPDATE_DB, dir, SZD_UPGRADE_SCRIPTS, path, sizeof(path))) {
        if (VLIBCExec(path, nullptr, nullptr, nullptr, nullptr) < 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Fail to exec [%s]", SZ_SOURCE, KAVOPHOTO_UPDATE_DB,
                       __LINE__, path);
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
    char path[UPDATE_PATH_SIZE];
    struct stat st;
    int fd;

    if (home == nullptr) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Fail to access database: (no home)/%s", SZ_SOURCE, op,
                   __LINE__, SZ_UVO_DB_NAME);
        return false;
    }
    if (VLIBCStrPrintf(path, sizeof(path), "%s/%s", home, SZ_UVO_DB_NAME) != 0) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Fail to access database: %s/%s", SZ_SOURCE, op, __LINE__,
                   home, SZ_UVO_DB_NAME);
        return false;
    }
    fd = KAVOPathResolveBeneath(home, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, dbPath, size);
    if (fd < 0) {
        if (errno == ENOENT) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Fail to access database: %s", SZ_SOURCE, op, __LINE__,
                       path);
        } else {
            KAVOSyslog(SZ_OPERATION_PREFIX "Refusing database %s: not a file inside the home (%m)",
                       SZ_SOURCE, op, __LINE__, path);
        }
        return false;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        KAVOSyslog(SZ_OPERATION_PREFIX "Refusing database %s: not a plain file", SZ_SOURCE, op,
                   __LINE__, path);
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
        if (ret == 1) {
            changed = true;
        } else if (ret < 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Fail to update database: %s", SZ_SOURCE, op, __LINE__,
                       dbPath);
        }
    }
    if (!changed) {
        return;
    }
    // A cut name would re-index some other user's library: refuse it instead.
    if (VLIBCStrPrintf(reindexArg, sizeof(reindexArg), "user:%s", userName) != 0) {
        KAVOSyslog(SZ_OPERATION_PREFIX "User name too long to re-index: %s", SZ_SOURCE, op,
                   __LINE__, userName);
        return;
    }
    // What the indexing service makes of the request is its own affair.
    VLIBCExec(SZF_KAVOINDEX, "-P", "Lumora", "-R", reindexArg);
    KAVOLOG(SZ_SOURCE, "Lumora: Re-index triggered [kavoindex -P Lumora -R %s]", reindexArg);
}

// KAVOPHOTO_UPDATE_UVODB_ALL: upgrades the personal database of every user who has one.
// Failures here never fail the run.
static int updateAllUserDB(void) {
    PVLIBC_SZLIST users = nullptr;
    PVLIBC_SZLIST scripts = nullptr;
    char dbPath[UPDATE_PATH_SIZE];

    if ((users = VLIBCSzListAlloc(USER_LIST_SIZE)) == nullptr) {
        VLIBCErrSetEx(KAVO_ERR_OUT_OF_MEMORY, SZ_SOURCE, __LINE__);
        goto out;
    }
    if (VLIBUserEnum(&users, VLIB_USER_ENUM_LOCAL, 0) < 0) {
        KAVOSyslog("VLIBUserEnum failed.");
        goto out;
    }
    if ((scripts = listUserScripts(KAVOPHOTO_UPDATE_UVODB_ALL)) == nullptr) {
        goto out;
    }

    for (int i = 0; i < users->nItem; i++) {
        const char *name = VLIBCSzListGet(users, i);
        PKAVOUSER user = nullptr;

        if (KAVOUserGet(name, &user) != 0) {
            KAVOSyslog(SZ_OPERATION_PREFIX "Fail to get user: %s.", SZ_SOURCE,
                       KAVOPHOTO_UPDATE_UVODB_ALL, __LINE__, name);
            continue;
        }
        if (getUserDBPath(KAVOPHOTO_UPDATE_UVODB_ALL, user->szHome, dbPath, sizeof(dbPath)) &&
            scripts->nItem > 0) {
            upgradeUserDB(KAVOPHOTO_UPDATE_UVODB_ALL, scripts, dbPath, name);
        }
        KAVOUserFree(user);
    }

out:
    if (scripts) {
        VLIBCSzListFree(scripts);
    }
    if (users) {
        VLIBCSzListFree(users);
    }
    return 0;
}

// KAVOPHOTO_UPDATE_UVODB: upgrades one user's personal database. This mode ends with status 0
// whatever happens: a failure is logged only.
static int updateUserDB(const char *userName, const char *home) {
    PVLIBC_SZLIST scripts = nullptr;
    char dbPath[UPDATE_PATH_SIZE];

    if ((scripts = listUserScripts(KAVOPHOTO_UPDATE_UVODB)) == nullptr ||
        !getUserDBPath(KAVOPHOTO_UPDATE_UVODB, home, dbPath, sizeof(dbPath))) {
        KAVOSyslog("%s: Failed to update UVO DB", SZ_SOURCE);
    } else {
        upgradeUserDB(KAVOPHOTO_UPDATE_UVODB, scripts, dbPath, userName);
    }
    if (scripts) {
        VLIBCSzListFree(scripts);
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

    openlog(SZ_SOURCE, LOG_PID, LOG_USER);

    while ((opt = getopt_long(argc, argv, "au:", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'a':
                mode = MODE_ALL;
                break;
            case 'u':
                if (user) {
                    KAVOUserFree(user);
                    user = nullptr;
                }
                if ((ret = fetchUser(optarg, &user)) != 0) {
                    goto out;
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
            if (createPhotoDB() != 0) {
                KAVOSyslog("%s: Failed to create photo DB", SZ_SOURCE);
                ret = -1;
                break;
            }
            if (updatePhotoDB() != 0) {
                KAVOSyslog("%s: Failed to update DB", SZ_SOURCE);
                ret = -1;
                break;
            }
            ret = updateAllUserDB();
            break;
        case MODE_USER:
            if (user->szName == nullptr || user->szName[0] == '\0') {
                printUsage();
                ret = 0;
                break;
            }
            ret = updateUserDB(user->szName, user->szHome);
            break;
    }

out:
    if (user) {
        KAVOUserFree(user);
    }
    closelog();
    return ret;
}
