// kavouserdata_lumora: reports the gallery's settings and usage counts as one JSON document
// on standard output.
//
// The document holds "collector_version", "pkg_version", the "config" section (selected
// gallery settings from the database and the package settings file) and the "statistics"
// section (counts read from the database and the music configuration file). The program only
// reads; every failure leaves its member null, 0 or absent, and the exit status is 0 whenever
// the report was written out.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <exception>
#include <sstream>
#include <string>

#include <json/json.h>

#include "kavocore.h"
#include "kavodb.h"

#define SZ_SOURCE "kavouserdata_lumora"

#define SZF_SETTINGS "/var/packages/Lumora/etc/settings.conf"
#define SZF_PKG_INFO "/var/packages/Lumora/INFO"
#define SZD_PHOTO_SERVICE "/var/services/photo"
#define SZF_MUSIC_CONFIG SZD_PHOTO_SERVICE "/@eaDir/KAVOPHOTO_MUSIC_CONFIG"
#define SZ_MUSIC_DEFAULT_KEY "KAVOPHOTO_MUSIC_DEFAULT"

#define VALUE_BUF_SIZE 1024
#define COLLECTOR_VERSION 1

// The photo_config keys that the report reads, in the order they are asked for.
static const char *const REPORT_KEYS[] = {
    "account_system",
    "allow_user_comment",
    "allow_guest_comment",
    "use_album_explorer",
    "paging_use_bar",
    "excluding_index_format",
    "def_album_disable_conversion",
    "enable_face_recognition",
    "v6_template",
};

// Reads a key of a key/value file into buf; false when absent or unreadable.
static bool readSetting(const char *file, const char *key, char *buf, size_t size) {
    memset(buf, 0, size);
    return VLIBCFileGetKeyValue(file, key, buf, size, 0) > 0;
}

// Applies one photo_config row to the "config" object.
static void applyConfigRow(Json::Value &config, const char *key, const char *value) {
    if (strcmp(key, "enable_face_recognition") == 0) {
        config["enable_auto_face_recognition"] = strcmp(value, "on") == 0;
    } else if (strcmp(key, "account_system") == 0) {
        config["account_system"] = strcmp(value, "0") == 0 ? "photo" : "nmx";
    } else if (strcmp(key, "v6_template") == 0 || strcmp(key, "excluding_index_format") == 0) {
        config[key] = value;
    } else {
        config[key] = strcmp(value, "on") == 0;
    }
}

static Json::Value collectConfig(PKAVODB db) {
    Json::Value config(Json::objectValue);
    PKAVODB_RES result = nullptr;
    KAVODB_ROW row;
    char value[VALUE_BUF_SIZE];
    std::string keys;

    config["enable_uvo"] = Json::Value();
    config["enable_auto_face_recognition"] = Json::Value();
    config["enable_face_recognition"] = Json::Value();
    config["enable_blog"] = Json::Value();
    for (const char *key : REPORT_KEYS) {
        config[key] = Json::Value();
        keys += "'";
        keys += key;
        keys += "',";
    }
    keys.pop_back();

    std::string sql = "SELECT * FROM photo_config WHERE config_key IN (" + keys + ")";
    if (KAVODBExecute(db, sql.c_str(), &result) == 0) {
        while (KAVODBFetchRow(result, &row) == 0) {
            const char *key = KAVODBFetchField(result, row, "config_key");
            const char *val = KAVODBFetchField(result, row, "config_value");
            if (key == nullptr || val == nullptr) {
                continue;
            }
            applyConfigRow(config, key, val);
        }
        KAVODBFreeResult(result);
        result = nullptr;
    }

    if (KAVODBExecute(db, "SELECT * FROM blog_config WHERE config_key = 'enable_blog'", &result) ==
        0) {
        if (KAVODBFetchRow(result, &row) == 0) {
            const char *val = KAVODBFetchField(result, row, "config_value");
            if (val != nullptr) {
                config["enable_blog"] = strcmp(val, "1") == 0;
            }
        }
        KAVODBFreeResult(result);
        result = nullptr;
    }

    if (readSetting(SZF_SETTINGS, "runpersonallumora", value, sizeof(value))) {
        config["enable_uvo"] = strcmp(value, "yes") == 0;
    }
    if (readSetting(SZF_SETTINGS, "runfacerecognition", value, sizeof(value))) {
        config["enable_face_recognition"] = strcmp(value, "yes") == 0;
    }
    return config;
}

// Reads a count as strtol would (leading digits only), kept within 32 bits.
static int32_t parseCount(const char *text) {
    long long count = strtoll(text, nullptr, 10);

    if (count > INT32_MAX) {
        return INT32_MAX;
    }
    if (count < INT32_MIN) {
        return INT32_MIN;
    }
    return (int32_t)count;
}

static int32_t countRows(PKAVODB db, const char *table, const char *condition) {
    PKAVODB_RES result = nullptr;
    KAVODB_ROW row;
    int32_t count = 0;
    std::string sql = "SELECT COUNT(*) as total FROM ";

    sql += table;
    if (condition[0] != '\0') {
        sql += " WHERE ";
        sql += condition;
    }
    if (KAVODBExecute(db, sql.c_str(), &result) != 0) {
        return 0;
    }
    if (KAVODBFetchRow(result, &row) == 0) {
        const char *total = KAVODBFetchField(result, row, "total");
        if (total != nullptr) {
            count = parseCount(total);
        }
    }
    KAVODBFreeResult(result);
    return count;
}

// True for a non-empty run of ASCII digits: the only id text that may enter a statement.
static bool isDecimalId(const char *id) {
    if (id[0] == '\0') {
        return false;
    }
    for (const char *digit = id; *digit != '\0'; digit++) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
    }
    return true;
}

// Counts the photos or videos of the account family's hidden collection (the first one the
// database returns).
static int32_t countSharedItems(PKAVODB db, const char *account, const char *media) {
    const char *collections;
    const char *photos;
    const char *videos;
    PKAVODB_RES result = nullptr;
    KAVODB_ROW row;
    std::string id;

    if (strcmp(account, "nmx") == 0) {
        collections = "photo_personal_collection_for_nmx_account";
        photos = "photo_personal_collection_photo_for_nmx_account";
        videos = "photo_personal_collection_video_for_nmx_account";
    } else if (strcmp(account, "admin") == 0) {
        collections = "photo_personal_collection_for_admin";
        photos = "photo_personal_collection_photo_for_admin";
        videos = "photo_personal_collection_video_for_admin";
    } else {
        collections = "photo_personal_collection";
        photos = "photo_personal_collection_photo";
        videos = "photo_personal_collection_video";
    }

    std::string sql = std::string("SELECT id FROM ") + collections + " WHERE hidden = 't'";
    if (KAVODBExecute(db, sql.c_str(), &result) != 0) {
        return 0;
    }
    if (KAVODBFetchRow(result, &row) == 0) {
        const char *field = KAVODBFetchField(result, row, "id");
        if (field != nullptr) {
            id = field;
        }
    }
    KAVODBFreeResult(result);

    // The id is pasted into the next statement: anything but a plain number counts nothing.
    if (!isDecimalId(id.c_str())) {
        return 0;
    }
    // No space before "=": the statement is kept as callers expect it.
    std::string condition = "collectionid= '" + id + "'";
    return countRows(db, strcmp(media, "photo") == 0 ? photos : videos, condition.c_str());
}

// Reads the music configuration: a regular file in the photo share's EA folder, reached
// without following a link that a user of the share could have placed there (the share's own
// service path is a link by design). false when it is missing or anything else.
static bool readMusicConfig(std::string *text) {
    char chunk[65536];
    ssize_t got;
    int fd;

    fd = KAVOPathOpenBeneath(SZD_PHOTO_SERVICE, SZF_MUSIC_CONFIG, O_RDONLY | O_NONBLOCK | O_NOCTTY,
                             0);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    while ((got = read(fd, chunk, sizeof(chunk))) != 0) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            close(fd);
            return false;
        }
        text->append(chunk, (size_t)got);
    }
    close(fd);
    return true;
}

// The configured music entries, the default entry not counted; 0 for a file that cannot be
// read or parsed (the parser refuses to nest deeper than it can follow and throws for it).
static int32_t countMusicEntries(void) {
    Json::Value root;
    Json::Reader reader;
    std::string text;
    int32_t count;

    try {
        if (!readMusicConfig(&text)) {
            return 0;
        }
        std::istringstream in(text);
        if (!reader.parse(in, root, true)) {
            return 0;
        }
        // Only an object lists entries; other JSON would make the member test throw.
        if (!root.isObject()) {
            return 0;
        }
        count = (int32_t)root.size();
        if (root.isMember(SZ_MUSIC_DEFAULT_KEY)) {
            count--;
        }
    } catch (const std::exception &) {
        return 0;
    }
    return count;
}

static Json::Value collectStatistics(PKAVODB db) {
    Json::Value stats(Json::objectValue);
    PKAVODB_RES result = nullptr;
    KAVODB_ROW row;

    stats["total_music"] = countMusicEntries();
    stats["total_image"] = countRows(db, "photo_image", "");
    stats["total_video"] = countRows(db, "video", "");
    stats["total_blog_post"] = countRows(db, "blog_article", "");
    stats["total_album"] = countRows(db, "photo_share", "sharename != '/'");
    stats["total_first_layer_album"] =
        countRows(db, "photo_share", "sharename != '/' AND is_subdir = 'f'");
    stats["total_second_layer_album"] =
        countRows(db, "photo_share", "is_subdir = 't' AND sharename NOT like '%/%/%'");
    stats["admin_shared_album"] =
        countRows(db, "photo_personal_collection_for_admin", "hidden = 'f'");
    stats["photo_account_shared_album"] =
        countRows(db, "photo_personal_collection", "hidden = 'f'");
    stats["nmx_account_shared_album"] =
        countRows(db, "photo_personal_collection_for_nmx_account", "hidden = 'f'");
    stats["admin_shared_photo"] = countSharedItems(db, "admin", "photo");
    stats["admin_shared_video"] = countSharedItems(db, "admin", "video");
    stats["nmx_account_shared_photo"] = countSharedItems(db, "nmx", "photo");
    stats["nmx_account_shared_video"] = countSharedItems(db, "nmx", "video");
    stats["photo_account_shared_photo"] = countSharedItems(db, "photo", "photo");
    stats["photo_account_shared_video"] = countSharedItems(db, "photo", "video");

    if (KAVODBExecute(db, "SELECT date FROM blog_article ORDER BY date DESC LIMIT 1", &result) ==
        0) {
        if (KAVODBFetchRow(result, &row) == 0) {
            const char *date = KAVODBFetchField(result, row, "date");
            if (date != nullptr) {
                stats["latest_blog_post_time"] = date;
            }
        }
        KAVODBFreeResult(result);
    }
    return stats;
}

static std::string readPackageVersion(void) {
    char value[VALUE_BUF_SIZE];

    if (!readSetting(SZF_PKG_INFO, "version", value, sizeof(value))) {
        return "";
    }
    return value;
}

int main(int argc, char *argv[]) {
    Json::Value doc(Json::objectValue);
    PKAVODB db;

    (void)argc;
    (void)argv;
    openlog(SZ_SOURCE, LOG_PID, LOG_USER);

    if ((db = KAVODBConnect(nullptr, "postgres", nullptr, "photo")) == nullptr) {
        KAVOLOG(SZ_SOURCE, "Failed to connect to database");
    } else {
        doc["collector_version"] = COLLECTOR_VERSION;
        doc["config"] = collectConfig(db);
        doc["statistics"] = collectStatistics(db);
        doc["pkg_version"] = readPackageVersion();
        KAVODBClose(db);
    }

    // The report is all the program gives: checked once, when standard output is closed, and
    // one that never arrived is a failure.
    (void)fputs(doc.toStyledString().c_str(), stdout);
    (void)fputc('\n', stdout);
    if (KAVOStdoutClose() != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to write the report [%m]");
        closelog();
        return 255;
    }
    closelog();
    return 0;
}
