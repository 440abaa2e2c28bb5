// kavophoto_config / kavophoto_config_root: reads and writes single settings for the gallery's
// web front end and answers a few configuration questions.
//
// Built twice from this source: without KAVOPHOTO_CONFIG_ROOT for use without root rights (get,
// permission check, icon switch), with it for use as root (get, set, mail configuration,
// personal-database repair). Each build answers the modes of the other with status 255.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <string>

#include <json/json.h>

#include "kavoacl.h"
#include "kavocore.h"
#include "kavosdk.h"
#include "kavophoto_config.h"
#include "webapi.h"

#ifdef KAVOPHOTO_CONFIG_ROOT
#define SZ_SOURCE "kavophoto_config_root"
#else
#define SZ_SOURCE "kavophoto_config"
#endif

#define SZF_LUMORA_SETTINGS "/var/packages/Lumora/etc/settings.conf"
#define SZF_NMX_SETTINGS "/etc/kavoinfo.conf"
#define SZD_PREFERENCE "/usr/kavo/etc/preference"
#define SZF_PERSONAL_SETTINGS SZD_PREFERENCE "/%s/kavoinfo.conf"
#define SZF_LUMORA_UI_CONFIG "/var/packages/Lumora/target/ui/config"
#define SZ_UI_URL ".url"
#define SZ_UI_LUMORA_ENTRY "KAVO.WBX.Lumora"
#define SZ_UI_ALL_USERS "allUsers"
#define SZ_MAIL_API "KAVO.Core.Notification.Mail.Conf"
#define SZ_MAIL_API_METHOD "get"
#define MAIL_API_VERSION 1
#define SZ_ADMIN_USER "admin"
#define SZ_PERSONAL_DB "/photo/.KAVOUVODB"
#define SZ_LUMORA_ACCOUNT "Lumora"
#define PERSONAL_DB_MODE 0600
#define SETTING_VALUE_SIZE 4096

// Picks the settings file of get and set: the appliance's with -d, else the user's of -p, else
// the package's. *personal tells that it is a user's file, which lies in a folder that others
// than root may write and is therefore only reached beneath the preference folder. 0 or -1.
static int chooseSettingsFile(const KAVOPHOTO_CONFIG_ARGS *args, char *path, size_t size,
                              bool *personal) {
    *personal = false;
    if (args->nmx) {
        return VLIBCStrCopy(path, size, SZF_NMX_SETTINGS);
    }
    if (args->personalUser) {
        *personal = true;
        if (VLIBCStrPrintf(path, size, SZF_PERSONAL_SETTINGS, args->personalUser->szName) < 0) {
            KAVOLOG(SZ_SOURCE, "settings path of user [%s] too long", args->personalUser->szName);
            return -1;
        }
        return 0;
    }
    return VLIBCStrCopy(path, size, SZF_LUMORA_SETTINGS);
}

// Opens the folder of a user's settings file beneath the preference folder, no link followed.
// Folder fd (leaf set to the file name) or -1, logged unless the folder is simply missing.
static int openPersonalFolder(const char *file, char *leaf, size_t size) {
    int dirFd = KAVOPathOpenParent(SZD_PREFERENCE, file, leaf, size);

    if (dirFd < 0 && errno != ENOENT) {
        KAVOLOG(SZ_SOURCE, "refusing settings file [%s]: %m", file);
    }
    return dirFd;
}

// Opens a user's settings file for reading: a regular file beneath the preference folder,
// reached without following a link. fd or -1 (logged unless the file is simply missing).
static int openPersonalFile(const char *file) {
    char leaf[KAVO_PATH_SIZE];
    int dirFd, fd;

    if ((dirFd = openPersonalFolder(file, leaf, sizeof(leaf))) < 0) {
        return -1;
    }
    fd = KAVOFileOpenRegular(dirFd, leaf, O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0 && errno != ENOENT) {
        KAVOLOG(SZ_SOURCE, "refusing settings file [%s]: %m", file);
    }
    close(dirFd);
    return fd;
}

// Prints the key's value and a newline. 0, or -1 when the key is not found.
static int getSetting(const char *file, bool personal, const char *key) {
    char value[SETTING_VALUE_SIZE];
    char opened[64];
    int fd = -1;
    int found;

    if (personal) {
        // Read exactly the file that was opened, through its descriptor's name.
        if ((fd = openPersonalFile(file)) < 0) {
            return -1;
        }
        if (VLIBCStrPrintf(opened, sizeof(opened), "/proc/self/fd/%d", fd) != 0) {
            KAVOLOG(SZ_SOURCE, "cannot name the descriptor of settings file [%s]", file);
            close(fd);
            return -1;
        }
        file = opened;
    }
    found = VLIBCFileGetKeyValue(file, key, value, sizeof(value), 0);
    if (fd >= 0) {
        close(fd);
    }
    if (found <= 0) {
        return -1;
    }
    printf("%s\n", value);
    return 0;
}

#ifdef KAVOPHOTO_CONFIG_ROOT

// Writes key="value" into the settings file. 0, or 1 when nothing was written. A line break in
// the key or the value, or "=" in the key, would start lines of other keys: refused here as well
// as by the writer.
// A user's file is written in its folder opened beneath the preference folder, and a link or
// anything but a regular file in its place is refused.
static int setSetting(const char *file, bool personal, const char *key, const char *value) {
    char leaf[KAVO_PATH_SIZE];
    int dirFd;
    int ret;

    if (strpbrk(key, "=\n") != nullptr || strchr(value, '\n') != nullptr) {
        KAVOLOG(SZ_SOURCE, "refusing key [%s]: line break or '=' in key or value", key);
        return 1;
    }
    if (!personal) {
        return VLIBCFileSetKeyValue(file, key, value, SZ_KEY_VALUE_FORMAT) > 0 ? 0 : 1;
    }
    if ((dirFd = openPersonalFolder(file, leaf, sizeof(leaf))) < 0) {
        return 1;
    }
    ret = VLIBCFileSetKeyValueAt(dirFd, leaf, key, value, SZ_KEY_VALUE_FORMAT);
    if (ret <= 0) {
        KAVOLOG(SZ_SOURCE, "failed to write settings file [%s]: %m", file);
    }
    close(dirFd);
    return ret > 0 ? 0 : 1;
}

#else

// 0 when the calling process may read and write the file (permission bits 0x4 and 0x2).
static int checkPermission(const char *path) {
    uint32_t mask = 0;

    if (KAVOACLPermGet(path, &mask) < 0) {
        const char *file = strrchr(__FILE__, '/');
        KAVOACLPrintErr(VLIBCErrGet(), 1, file ? file + 1 : __FILE__, __LINE__);
        return -1;
    }
    if ((mask & (KAVO_PERM_WRITE | KAVO_PERM_READ)) != (KAVO_PERM_WRITE | KAVO_PERM_READ)) {
        return -1;
    }
    return 0;
}

// Shows (on) or hides (off) the gallery's icon on the web desktop for all users: sets
// url / KAVO.WBX.Lumora / allUsers of the desktop configuration, keeping every other member.
// 0, or -1 with the file as it was.
static int showIcon(bool on) {
    char *realPath = nullptr;
    struct stat st;
    Json::Value root;
    Json::Reader reader;
    Json::StreamWriterBuilder writer;
    std::string text;
    bool parsed;
    int ret = -1;

    try {
        // Rewrite the file a link points to, not the link.
        realPath = realpath(SZF_LUMORA_UI_CONFIG, nullptr);
        if (!realPath) {
            goto out;
        }
        {
            std::ifstream in(realPath, std::ios::in | std::ios::binary);
            if (!in.is_open()) {
                goto out;
            }
            // A file that does not parse is left alone, even when a part of it did.
            parsed = reader.parse(in, root, true);
        }
        if (!parsed || !root.isObject()) {
            goto out;
        }
        if (stat(realPath, &st) < 0 || !S_ISREG(st.st_mode)) {
            goto out;
        }
        if (!root[SZ_UI_URL].isNull() && !root[SZ_UI_URL].isObject()) {
            goto out;
        }
        if (!root[SZ_UI_URL][SZ_UI_LUMORA_ENTRY].isNull() &&
            !root[SZ_UI_URL][SZ_UI_LUMORA_ENTRY].isObject()) {
            goto out;
        }
        root[SZ_UI_URL][SZ_UI_LUMORA_ENTRY][SZ_UI_ALL_USERS] = on;

        writer["indentation"] = "";
        writer["commentStyle"] = "None";
        text = Json::writeString(writer, root);
        // Written beside itself and renamed over, with the old file's owner and mode, so that
        // a crash or a full disk never leaves it torn.
        if (KAVOFileReplace(realPath, ".cfgtmp.", text.data(), text.size(), &st) < 0) {
            goto out;
        }
        ret = 0;
    } catch (const std::exception &e) {
        KAVOLOG(SZ_SOURCE, "desktop configuration: %s", e.what());
        ret = -1;
    }
out:
    free(realPath);
    return ret;
}

#endif  // !KAVOPHOTO_CONFIG_ROOT

#ifdef KAVOPHOTO_CONFIG_ROOT

// True for a JSON true (or a non-zero number); never throws.
static bool isJsonTrue(const Json::Value &v) {
    if (v.isBool() || v.isNumeric()) {
        return v.asBool();
    }
    return false;
}

// Prints {"mail": ..., "sender_mail": ...} of the appliance's mail configuration when mail is
// on and an SMTP server is set. 0, or -1 with nothing printed.
static int getMailConf(void) {
    Json::Value answer;
    Json::Value out(Json::objectValue);
    Json::StreamWriterBuilder writer;
    std::string text;

    try {
        KAVO::APIRunner::Exec(answer, SZ_MAIL_API, MAIL_API_VERSION, SZ_MAIL_API_METHOD,
                              Json::Value(), SZ_ADMIN_USER);
        if (!answer.isObject() || !isJsonTrue(answer["success"])) {
            return -1;
        }
        const Json::Value &data = answer["data"];
        if (!data.isObject() || !isJsonTrue(data["enable_mail"])) {
            return -1;
        }
        const Json::Value &smtp = data["smtp_info"];
        if (!smtp.isObject() || !smtp["server"].isString() || smtp["server"].asString().empty()) {
            return -1;
        }
        out["sender_mail"] = data["sender_mail"];
        out["mail"] = data["mail"];

        writer["indentation"] = "";
        writer["commentStyle"] = "None";
        text = Json::writeString(writer, out);
    } catch (const std::exception &e) {
        KAVOLOG(SZ_SOURCE, "mail configuration: %s", e.what());
        return -1;
    }
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        return -1;
    }
    return 0;
}

// Creates the user's personal database file when missing and gives it to the package's account
// with mode 0600. The file is reached beneath the user's home: a symbolic link on the way is
// followed only while it stays inside the home, and the owner and mode are then set on what
// was opened. Only a regular file with no other name is taken over. 0 or -1.
static int fixPersonalDB(const char *name) {
    char loginName[KAVO_LOGIN_NAME_SIZE];
    char dbPath[KAVO_PATH_SIZE];
    char resolved[KAVO_PATH_SIZE];
    PKAVOUSER user = nullptr;
    uid_t lumoraUid;
    gid_t lumoraGid;
    struct stat st;
    int fd = -1;
    int ret = -1;

    if (KAVOUserLoginNameConvert(name, loginName, sizeof(loginName)) <= 0 &&
        VLIBCStrCopy(loginName, sizeof(loginName), name) < 0) {
        // Cut short it would name another user.
        KAVOLOG(SZ_SOURCE, "KAVOUserGet failed.");
        return -1;
    }
    if (KAVOUserGet(loginName, &user) != 0) {
        KAVOLOG(SZ_SOURCE, "KAVOUserGet failed.");
        return -1;
    }
    if (VLIBCStrPrintf(dbPath, sizeof(dbPath), "%s%s", user->szHome, SZ_PERSONAL_DB) < 0) {
        KAVOLOG(SZ_SOURCE, "personal database path of [%s] too long", loginName);
        KAVOUserFree(user);
        return -1;
    }
    fd = KAVOPathResolveBeneath(user->szHome, dbPath, O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY,
                                PERSONAL_DB_MODE, resolved, sizeof(resolved));
    KAVOUserFree(user);
    user = nullptr;
    if (fd < 0) {
        if (errno == ENOENT) {
            // Named after the call it used to be; kept as callers expect it.
            KAVOLOG(SZ_SOURCE, "realpath for [%s] failed", dbPath);
        } else {
            KAVOLOG(SZ_SOURCE, "refusing [%s]: it does not lead to a file inside the home [%m]",
                    dbPath);
        }
        return -1;
    }
    if (fstat(fd, &st) < 0) {
        KAVOLOG(SZ_SOURCE, "fstat(%s) failed [%m]", resolved);
        goto out;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        KAVOLOG(SZ_SOURCE, "refusing [%s]: not a plain file", resolved);
        goto out;
    }

    if (KAVOUserIdsGet(SZ_LUMORA_ACCOUNT, &lumoraUid, &lumoraGid) != 0) {
        // Named after the account lookup it used to be; kept as callers expect it.
        KAVOLOG(SZ_SOURCE, "ERROR: getpwnam(%s) [%m]", SZ_LUMORA_ACCOUNT);
        goto out;
    }
    if (fchown(fd, lumoraUid, lumoraGid) < 0 || fchmod(fd, PERSONAL_DB_MODE) < 0) {
        goto out;
    }
    ret = 0;
out:
    close(fd);
    return ret;
}

#endif  // KAVOPHOTO_CONFIG_ROOT

int main(int argc, char **argv) {
    KAVOPHOTO_CONFIG_ARGS args;
    char settingsPath[KAVO_PATH_SIZE];
    bool personal = false;
    int status;

    openlog(SZ_SOURCE, LOG_PID, LOG_USER);

    status = parseConfigArgs(argc, argv, &args);
    if (status != 0) {
        goto out;
    }
    if (args.mode == CONFIG_MODE_NONE) {
        printConfigUsage();
        status = CONFIG_STATUS_USAGE;
        goto out;
    }
    if (args.mode == CONFIG_MODE_SET && (!args.value || !args.key || args.nmx)) {
        printConfigUsage();
        status = CONFIG_STATUS_USAGE;
        goto out;
    }
    if (chooseSettingsFile(&args, settingsPath, sizeof(settingsPath), &personal) < 0) {
        status = -1;
        goto out;
    }

    switch (args.mode) {
        case CONFIG_MODE_GET:
            status = getSetting(settingsPath, personal, args.key);
            break;
#ifdef KAVOPHOTO_CONFIG_ROOT
        case CONFIG_MODE_SET:
            status = setSetting(settingsPath, personal, args.key, args.value);
            break;
        case CONFIG_MODE_GET_MAIL:
            status = getMailConf();
            break;
        case CONFIG_MODE_FIX_PERSONAL:
            status = fixPersonalDB(args.fixPersonalUser);
            break;
#else
        case CONFIG_MODE_CHECK:
            status = checkPermission(args.checkPath);
            break;
        case CONFIG_MODE_SHOW_ICON:
            status = showIcon(args.iconOn);
            break;
#endif
        default:
            // Carried out by the other build.
            status = -1;
            break;
    }

out:
    freeConfigArgs(&args);
    // An answer that never reached the caller is no success.
    if (KAVOStdoutClose() != 0) {
        KAVOLOG(SZ_SOURCE, "failed to write standard output [%m]");
        if (status == 0) {
            status = -1;
        }
    }
    closelog();
    return status & 0xFF;
}
