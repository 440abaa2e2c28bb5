// Helpers shared by the configuration tool's tests.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace configtest {

using lumora::test::ApplianceRoot;
using lumora::test::RunOptions;
using lumora::test::RunResult;
using lumora::test::Swapper;

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

}  // namespace configtest
