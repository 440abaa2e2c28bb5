// Command-line parser shared by kavophoto_config and kavophoto_config_root.
//
// Both programs accept the same options and print the same usage text; each carries out only
// some of the modes. The parser runs the argument checks of both programs and looks the user of
// -p up at once. Its messages are logged under the name of this header, "kavophoto_config".
#pragma once

#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include "kavocore.h"
#include "kavosdk.h"

#define SZ_KAVOPHOTO_CONFIG_SOURCE "kavophoto_config"

// The mode is set by the last of -s, -g, -c, --show-icon, -m and -f.
enum {
    CONFIG_MODE_NONE = 0,
    CONFIG_MODE_SET,
    CONFIG_MODE_GET,
    CONFIG_MODE_CHECK,
    CONFIG_MODE_SHOW_ICON,
    CONFIG_MODE_GET_MAIL,
    CONFIG_MODE_FIX_PERSONAL,
};

typedef struct _tag_KAVOPHOTO_CONFIG_ARGS {
    int mode;
    const char *szKey;              // -s and -g write the same field: the last one wins
    const char *szValue;            // -v
    const char *szCheckPath;        // -c
    bool blIconOn;                  // --show-icon on (true) or off (false)
    bool blNmx;                     // -d
    PKAVOUSER pPersonalUser;        // -p, looked up at once; owned, freed by freeConfigArgs
    const char *szFixPersonalUser;  // -f
} KAVOPHOTO_CONFIG_ARGS;

// Exit status of every argument error.
#define CONFIG_STATUS_USAGE 1

inline void printConfigUsage(void) {
    fputs(
        "Usage:\n"
        "    kavophoto_config [options]\n"
        "\n"
        "Options:\n"
        "    -h, --help\n"
        "        this help text\n"
        "    --show-icon [on|off]\n"
        "        show/hide lumora icon in NMX\n"
        "    -m, --get-mail\n"
        "        get system mail config\n"
        "    -d, --nmx\n"
        "        get nmx config (can't set value to nmx config)\n"
        "    -g, --get key\n"
        "        get key in config\n"
        "    -s, --set key\n"
        "    -v, --value value\n"
        "        --set key --value value\n"
        "    -p, --personal username\n"
        "    -c, --check filepath\n"
        "        check the file permission includes http read/write\n"
        "    -f, --fix-personal username\n",
        stdout);
}

inline void freeConfigArgs(KAVOPHOTO_CONFIG_ARGS *args) {
    if (args->pPersonalUser) {
        KAVOUserFree(args->pPersonalUser);
        args->pPersonalUser = nullptr;
    }
}

// Fills args from the command line. 0 when the line was accepted; otherwise the exit status
// (the usage or the platform error has been printed). The caller frees args either way.
inline int parseConfigArgs(int argc, char **argv, KAVOPHOTO_CONFIG_ARGS *args) {
    static const struct option longOptions[] = {
        {"get", required_argument, nullptr, 'g'},
        {"set", required_argument, nullptr, 's'},
        {"nmx", no_argument, nullptr, 'd'},
        {"value", required_argument, nullptr, 'v'},
        {"personal", required_argument, nullptr, 'p'},
        {"check", required_argument, nullptr, 'c'},
        {"show-icon", required_argument, nullptr, 0},
        {"get-mail", no_argument, nullptr, 'm'},
        {"fix-personal", required_argument, nullptr, 'f'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    int index;

    memset(args, 0, sizeof(*args));
    args->mode = CONFIG_MODE_NONE;

    for (;;) {
        index = -1;
        opt = getopt_long(argc, argv, "g:s:v:p:hdc:mf:", longOptions, &index);
        if (opt == -1) {
            break;
        }
        switch (opt) {
            case 'g':
                args->mode = CONFIG_MODE_GET;
                args->szKey = optarg;
                break;
            case 's':
                args->mode = CONFIG_MODE_SET;
                args->szKey = optarg;
                break;
            case 'v':
                args->szValue = optarg;
                break;
            case 'd':
                args->blNmx = true;
                break;
            case 'p':
                // A second -p replaces the first.
                freeConfigArgs(args);
                if (KAVOUserGet(optarg, &args->pPersonalUser) != 0) {
                    args->pPersonalUser = nullptr;
                    KAVOLOG(SZ_KAVOPHOTO_CONFIG_SOURCE, "Failed to fetch user (%s)", optarg);
                    printf("Lastest KavoErr=[%s:%d]\n",
                           VLIBCErrorGetFile() ? VLIBCErrorGetFile() : "", VLIBCErrorGetLine());
                    return CONFIG_STATUS_USAGE;
                }
                break;
            case 'c':
                args->mode = CONFIG_MODE_CHECK;
                args->szCheckPath = optarg;
                break;
            case 'm':
                args->mode = CONFIG_MODE_GET_MAIL;
                break;
            case 'f':
                args->mode = CONFIG_MODE_FIX_PERSONAL;
                args->szFixPersonalUser = optarg;
                break;
            case 0:
                if (index < 0 || strcmp(longOptions[index].name, "show-icon") != 0) {
                    printConfigUsage();
                    return CONFIG_STATUS_USAGE;
                }
                if (strcmp(optarg, "on") == 0) {
                    args->blIconOn = true;
                } else if (strcmp(optarg, "off") == 0) {
                    args->blIconOn = false;
                } else {
                    printConfigUsage();
                    return CONFIG_STATUS_USAGE;
                }
                args->mode = CONFIG_MODE_SHOW_ICON;
                break;
            case 'h':
            default:
                printConfigUsage();
                return CONFIG_STATUS_USAGE;
        }
    }
    return 0;
}
