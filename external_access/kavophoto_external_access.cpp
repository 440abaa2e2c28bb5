// kavophoto_external_access: prints one address under which the appliance is reached from
// outside: the relay service's, the dynamic-DNS host name, or the WAN address.
//
//   kavophoto_external_access --zephlink | --ddns | --external_ip
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <json/json.h>

#include "kavocore.h"
#include "webapi.h"

#define SZ_SOURCE "kavophoto_external_access"
#define SZ_USAGE "USAGE : kavophoto_external_access [--zephlink|--ddns|--external_ip]\n"
#define SZ_API_USER "admin"
#define SZF_KAVOINFO_CONF "/etc/kavoinfo.conf"
#define SZF_DDNS_CONF "/etc/ddns.conf"
#define SZK_DDNS_SELECT "ddns_select"
#define SZK_DDNS_HOSTNAME "hostname"
#define SZ_PHOTO_PORTAL "photo_portal"
#define RELAY_NOT_CONFIGURED 102
// The size of a value read from a configuration file.
#define CONF_VALUE_SIZE 4096

// The platform answers only root's requests in full; failing to become root is not fatal.
static void becomeRoot(void) {
    if (setuid(0) != 0 || setgid(0) != 0 || setegid(0) != 0) {
        KAVOLOG(SZ_SOURCE, "change to root fail");
    }
}

static Json::Value callApi(const char *api, const char *method) {
    Json::Value answer;
    KAVO::APIRunner::Exec(answer, api, 1, method, Json::Value(), SZ_API_USER);
    return answer;
}

static bool isTrue(const Json::Value &obj, const char *member) {
    return obj.isObject() && obj[member].isBool() && obj[member].asBool();
}

static bool isNonEmptyString(const Json::Value &v) {
    return v.isString() && !v.asString().empty();
}

// Whether the relay service serves the gallery: the permission answer lists an enabled
// "photo_portal", or says the service is not configured to restrict it (code 102). An answer
// that says neither success nor failure is no answer.
static bool relayAllowed(void) {
    Json::Value perm = callApi("KAVO.Core.Zephlink.Permission", "get");
    if (!perm.isObject() || !perm["success"].isBool()) {
        return false;
    }
    if (!perm["success"].asBool()) {
        const Json::Value &error = perm["error"];
        return error.isObject() && error["code"].isInt() &&
               error["code"].asInt() == RELAY_NOT_CONFIGURED;
    }
    const Json::Value &data = perm["data"];
    if (!data.isObject() || !data["services"].isArray()) {
        return false;
    }
    for (const Json::Value &service : data["services"]) {
        if (service.isObject() && isTrue(service, "enabled") && service["id"].isString() &&
            service["id"].asString() == SZ_PHOTO_PORTAL) {
            return true;
        }
    }
    return false;
}

static int printRelayAddress(void) {
    becomeRoot();
    if (!relayAllowed()) {
        return -1;
    }
    Json::Value conf = callApi("KAVO.Core.Zephlink", "get");
    if (!isTrue(conf, "success")) {
        return -1;
    }
    const Json::Value &data = conf["data"];
    if (!isTrue(data, "enabled") || !isNonEmptyString(data["server_alias"]) ||
        !isNonEmptyString(data["region"]) || !isNonEmptyString(data["domain"])) {
        return -1;
    }
    printf("%s.%s.%s", data["server_alias"].asCString(), data["region"].asCString(),
           data["domain"].asCString());
    return 0;
}

static int printDdnsHost(void) {
    char select[CONF_VALUE_SIZE];
    char host[CONF_VALUE_SIZE];

    if (VLIBCFileGetKeyValue(SZF_KAVOINFO_CONF, SZK_DDNS_SELECT, select, sizeof(select), 0) <= 0) {
        return -1;
    }
    if (VLIBCFileGetSectionValue(SZF_DDNS_CONF, select, SZK_DDNS_HOSTNAME, host, sizeof(host)) <
        0) {
        return -1;
    }
    printf("%s", host);
    return 0;
}

static int printExternalIp(void) {
    becomeRoot();
    Json::Value list = callApi("KAVO.Core.DDNS.ExtIP", "list");
    if (!isTrue(list, "success") || !list["data"].isArray()) {
        return -1;
    }
    for (const Json::Value &entry : list["data"]) {
        if (entry.isObject() && entry["ip"].isString() && entry["type"].isString() &&
            entry["type"].asString() == "WAN") {
            printf("%s", entry["ip"].asCString());
            return 0;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    int ret = -1;

    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    if (argc == 2 && strcmp(argv[1], "--zephlink") == 0) {
        ret = printRelayAddress();
    } else if (argc == 2 && strcmp(argv[1], "--ddns") == 0) {
        ret = printDdnsHost();
    } else if (argc == 2 && strcmp(argv[1], "--external_ip") == 0) {
        ret = printExternalIp();
    } else {
        printf(SZ_USAGE);
    }
    // An address that never reached the caller is no answer.
    if (KAVOStdoutClose() != 0) {
        KAVOLOG(SZ_SOURCE, "failed to write standard output: %m");
        ret = -1;
    }
    return ret & 0xFF;
}
