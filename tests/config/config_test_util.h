// Helpers shared by the configuration tool's tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace configtest {

using lumora::test::ApplianceRoot;
using lumora::test::RunOptions;
using lumora::test::RunResult;

// Both programs print this text for every argument error.
inline const std::string &usageText() {
    static const std::string text =
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
        "    -f, --fix-personal username\n";
    return text;
}

inline std::string userTool() {
    return lumora::test::program("kavophoto_config");
}

inline std::string rootTool() {
    return lumora::test::program("kavophoto_config_root");
}

// argv with the program in front.
inline RunResult runTool(const ApplianceRoot &root, const std::string &tool,
                         std::vector<std::string> args, const RunOptions &opt = {}) {
    args.insert(args.begin(), tool);
    return root.run(args, opt);
}

inline RunOptions asUser(const std::string &name) {
    RunOptions opt;
    opt.asUser = name;
    return opt;
}

inline struct stat statOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// The one log line of the program that holds text, "ident: message"; "" when none.
inline std::string logLineWith(const ApplianceRoot &root, const std::string &text) {
    for (const std::string &line : root.logLinesWithIdent()) {
        if (line.find(text) != std::string::npos) {
            return line;
        }
    }
    return "";
}

// Exchanges two names in a loop in a child process while it lives (at most a few seconds), as an
// account racing a privileged program would.
class Swapper {
   public:
    Swapper(const std::string &a, const std::string &b) {
        pid_ = fork();
        if (pid_ == 0) {
            alarm(10);
            for (;;) {
                renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
            }
        }
        EXPECT_GT(pid_, 0);
    }
    ~Swapper() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

   private:
    pid_t pid_ = -1;
};

}  // namespace configtest
