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
    const char *key;              // -s and -g write the same field: the last one wins
    const char *value;            // -v
    const char *checkPath;        // -c
    bool iconOn;                  // --show-icon on (true) or off (false)
    bool nmx;                     // -d
    PKAVOUSER personalUser;       // -p, looked up at once; owned, freed by freeConfigArgs
    const char *fixPersonalUser;  // -f
} KAVOPHOTO_CONFIG_ARGS;

// Exit status of every argument error.
#define CONFIG_STATUS_USAGE 1

// The usage text of both programs. Callers match it as it stands: it names kavophoto_config in
// the root build too, and lists "--help", which the parser refuses like any unknown option.
inline const char *configUsageText(void) {
    return "Usage:\n"
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
           "    -f, --fix-personal username\n";
}

// Standard output is checked once, when the program ends.
inline void printConfigUsage(void) {
    (void)fputs(configUsageText(), stdout);
}

inline void freeConfigArgs(KAVOPHOTO_CONFIG_ARGS *args) {
    if (args->personalUser) {
        KAVOUserFree(args->personalUser);
        args->personalUser = nullptr;
    }
}

// The options that choose the mode, each with the field that keeps its argument (none for -m).
struct KAVOPHOTO_CONFIG_MODE_OPTION {
    int opt;
    int mode;
    const char *KAVOPHOTO_CONFIG_ARGS::*arg;
};

inline const KAVOPHOTO_CONFIG_MODE_OPTION *findConfigModeOption(int opt) {
    static const KAVOPHOTO_CONFIG_MODE_OPTION modeOptions[] = {
        {'g', CONFIG_MODE_GET, &KAVOPHOTO_CONFIG_ARGS::key},
        {'s', CONFIG_MODE_SET, &KAVOPHOTO_CONFIG_ARGS::key},
        {'c', CONFIG_MODE_CHECK, &KAVOPHOTO_CONFIG_ARGS::checkPath},
        {'m', CONFIG_MODE_GET_MAIL, nullptr},
        {'f', CONFIG_MODE_FIX_PERSONAL, &KAVOPHOTO_CONFIG_ARGS::fixPersonalUser},
    };

    for (const KAVOPHOTO_CONFIG_MODE_OPTION &modeOption : modeOptions) {
        if (modeOption.opt == opt) {
            return &modeOption;
        }
    }
    return nullptr;
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
    const KAVOPHOTO_CONFIG_MODE_OPTION *modeOption;
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
        if ((modeOption = findConfigModeOption(opt)) != nullptr) {
            args->mode = modeOption->mode;
            if (modeOption->arg) {
                args->*(modeOption->arg) = optarg;
            }
            continue;
        }
        switch (opt) {
            case 'v':
                args->value = optarg;
                break;
            case 'd':
                args->nmx = true;
                break;
            case 'p':
                // A second -p replaces the first.
                freeConfigArgs(args);
                if (KAVOUserGet(optarg, &args->personalUser) != 0) {
                    args->personalUser = nullptr;
                    KAVOLOG(SZ_KAVOPHOTO_CONFIG_SOURCE, "Failed to fetch user (%s)", optarg);
                    // "Lastest" is kept as callers expect it.
                    printf("Lastest KavoErr=[%s:%d]\n",
                           VLIBCErrorGetFile() ? VLIBCErrorGetFile() : "", VLIBCErrorGetLine());
                    return CONFIG_STATUS_USAGE;
                }
                break;
            case 0:
                if (index < 0 || strcmp(longOptions[index].name, "show-icon") != 0) {
                    printConfigUsage();
                    return CONFIG_STATUS_USAGE;
                }
                if (strcmp(optarg, "on") == 0) {
                    args->iconOn = true;
                } else if (strcmp(optarg, "off") == 0) {
                    args->iconOn = false;
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
