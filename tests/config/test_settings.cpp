// The configuration tool's parser, usage text, settings files, get and set, and the exit status
// of every mode in both builds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "config_test_util.h"
#include "harness.h"
#include "kavophoto_config.h"

using namespace configtest;

namespace {

const std::string kPackageFile = "/var/packages/Lumora/etc/settings.conf";
const std::string kNmxFile = "/etc/kavoinfo.conf";
const std::string kPackageText = "runpersonallumora=\"yes\"\nwhere=\"package\"\nonly=\"package\"\n";
const std::string kNmxText = "hostname=\"kavo\"\nwhere=\"nmx\"\n";

std::string personalFile(const std::string &user) {
    return "/usr/kavo/etc/preference/" + user + "/kavoinfo.conf";
}

// Accounts alice and bob and the three kinds of settings file, each answering "where".
void prepareSettings(ApplianceRoot &root) {
    root.addLumoraAccounts();
    root.addUser("alice");
    root.addUser("bob");
    root.writeFile(kPackageFile, kPackageText);
    root.writeFile(kNmxFile, kNmxText);
    root.writeFile(personalFile("alice"), "where=\"alice\"\n");
    root.writeFile(personalFile("bob"), "where=\"bob\"\n");
}

const std::vector<std::string> kTools = {"kavophoto_config", "kavophoto_config_root"};

const std::string kWebApi = "/usr/kavo/bin/kavowebapi";

// The web API answers with mail on, a server, and "a" and "b" for mail and sender.
void mailAnswers(ApplianceRoot &root) {
    root.standIn(kWebApi, 0,
                 "printf '%s' '{\"success\":true,\"data\":{\"enable_mail\":true,"
                 "\"smtp_info\":{\"server\":\"smtp\"},\"mail\":\"a\",\"sender_mail\":\"b\"}}'");
}

// The program and its arguments, for a failure message.
std::string shown(const std::string &name, const std::vector<std::string> &args) {
    std::string text = name;
    for (const std::string &a : args) {
        text += " " + a;
    }
    return text;
}

}  // namespace

TEST(ConfigParser, UsageTextHasItsTwentyLines) {
    const std::string usage = configUsageText();
    EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 21);
    EXPECT_EQ(usage.size(), 527u);
    EXPECT_EQ(
        usage.rfind("Usage:\n    kavophoto_config [options]\n\nOptions:\n    -h, --help\n", 0), 0u);
    EXPECT_EQ(usage.substr(usage.size() - 32), "    -f, --fix-personal username\n");
}

TEST(ConfigParser, ArgumentErrorsPrintTheUsageAndExit1) {
    ApplianceRoot root;
    prepareSettings(root);

    struct Case {
        std::vector<std::string> args;
        bool complains;  // getopt_long writes its complaint to standard error
    };
    const std::vector<Case> cases = {
        {{}, false},
        {{"-h"}, false},
        {{"-g", "where", "-h"}, false},
        {{"--help"}, true},
        {{"-x"}, true},
        {{"--bogus"}, true},
        {{"-g"}, true},
        {{"--personal"}, true},
        {{"--show-icon"}, true},
        {{"--show-icon", "maybe"}, false},
        {{"--show-icon", "ON"}, false},
        {{"-v", "value"}, false},
        {{"-d"}, false},
        {{"-s", "key"}, false},
        {{"-s", "key", "-v", "value", "-d"}, false},
        {{"-d", "--set", "key", "--value", "value"}, false},
        {{"lonely", "words"}, false},
    };
    for (const std::string &name : kTools) {
        for (const Case &c : cases) {
            std::vector<std::string> argv = c.args;
            argv.insert(argv.begin(), lumora::test::program(name));
            RunResult r = root.run(argv);
            EXPECT_EQ(r.status, 1) << shown(name, c.args);
            EXPECT_EQ(r.out, configUsageText()) << shown(name, c.args);
            EXPECT_EQ(!r.err.empty(), c.complains) << shown(name, c.args) << ": " << r.err;
        }
    }
    // Nothing was written by any of them.
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);
    EXPECT_EQ(ApplianceRoot::readFile(kNmxFile), kNmxText);
    EXPECT_FALSE(ApplianceRoot::exists("/var/packages/Lumora/etc/key"));
}

TEST(ConfigGet, ReadsTheChosenSettingsFile) {
    ApplianceRoot root;
    prepareSettings(root);

    struct Case {
        std::vector<std::string> args;
        std::string value;
    };
    const std::vector<Case> cases = {
        {{"-g", "where"}, "package"},
        {{"--get", "where"}, "package"},
        {{"-g", "where", "-d"}, "nmx"},
        {{"--nmx", "--get", "where"}, "nmx"},
        {{"-p", "alice", "-g", "where"}, "alice"},
        {{"--personal", "bob", "--get", "where"}, "bob"},
        // The nmx flag wins over the personal user, whatever the order.
        {{"-g", "where", "-d", "-p", "alice"}, "nmx"},
        {{"-p", "alice", "-d", "-g", "where"}, "nmx"},
        // A second -p replaces the first.
        {{"-p", "alice", "-p", "bob", "-g", "where"}, "bob"},
        // The last of -s and -g wins; a value alone changes nothing.
        {{"-s", "only", "-g", "where"}, "package"},
        {{"-s", "where", "-v", "x", "-g", "only"}, "package"},
        // Words that are not options are ignored.
        {{"first", "-g", "where", "last"}, "package"},
        {{"-g", "hostname", "-d"}, "kavo"},
    };
    for (const std::string &name : kTools) {
        for (const Case &c : cases) {
            RunResult r = runTool(root, lumora::test::program(name), c.args);
            EXPECT_EQ(r.status, 0) << shown(name, c.args);
            EXPECT_EQ(r.out, c.value + "\n") << shown(name, c.args);
        }
    }
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);

    // Run as an ordinary user, both read the same files.
    RunResult r = runTool(root, userTool(), {"-g", "runpersonallumora"}, asUser("alice"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "yes\n");
    r = runTool(root, userTool(), {"-p", "bob", "-g", "where"}, asUser("alice"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "bob\n");
}

TEST(ConfigGet, MissingKeyOrFileGives255AndNothing) {
    ApplianceRoot root;
    prepareSettings(root);
    root.addUser("carol");  // no per-user settings file

    for (const std::string &name : kTools) {
        const std::string tool = lumora::test::program(name);
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"-g", "absent"},
                 {"-g", "only", "-d"},            // only in the package file
                 {"-p", "alice", "-g", "only"},   // nor in alice's
                 {"-p", "carol", "-g", "where"},  // carol has no file
                 {"-g", ""},
             }) {
            RunResult r = runTool(root, tool, args);
            EXPECT_EQ(r.status, 255) << shown(name, args);
            EXPECT_EQ(r.out, "") << name;
        }
    }
    ASSERT_EQ(unlink(kPackageFile.c_str()), 0);
    for (const std::string &name : kTools) {
        RunResult r = runTool(root, lumora::test::program(name), {"-g", "where"});
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, "");
    }
}

TEST(ConfigPersonal, UnknownUserEndsTheRunWith1AndThePlatformError) {
    ApplianceRoot root;
    prepareSettings(root);
    const std::regex platformError("Lastest KavoErr=\\[.*:[0-9]+\\]\n");

    for (const std::string &name : kTools) {
        const std::string tool = lumora::test::program(name);
        root.clearLog();
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"-p", "ghost", "-g", "where"},
                 {"-g", "where", "-d", "-p", "ghost"},  // looked up although -d wins
                 {"-p", "alice", "--personal", "ghost", "-g", "where"},
                 {"-p", "ghost", "-s", "k", "-v", "v"},
                 // No option after it is read: neither the -h nor the unknown one.
                 {"-p", "ghost", "-h"},
                 {"-p", "ghost", "-x"},
             }) {
            RunResult r = runTool(root, tool, args);
            EXPECT_EQ(r.status, 1) << shown(name, args);
            EXPECT_TRUE(std::regex_match(r.out, platformError)) << name << ": " << r.out;
            EXPECT_EQ(r.err, "") << name;
        }
        // Logged under the parser's name, by the program of that name.
        std::string line = logLineWith(root, "Failed to fetch user (ghost)");
        EXPECT_TRUE(std::regex_match(
            line, std::regex(name + ": kavophoto_config:[0-9]+ Failed to fetch user \\(ghost\\)")))
            << line;
    }
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);
}

TEST(ConfigSet, RootBuildWritesTheKeyIntoThePackageFile) {
    ApplianceRoot root;
    prepareSettings(root);

    // Each step runs on the file the step before left.
    const std::string changed = "runpersonallumora=\"yes\"\nwhere=\"changed\"\nonly=\"package\"\n";
    struct Step {
        std::vector<std::string> args;
        std::string file;  // the package file afterwards
    };
    const std::vector<Step> steps = {
        // A new key is appended, a known one replaced in its place.
        {{"-s", "newkey", "-v", "new value"}, kPackageText + "newkey=\"new value\"\n"},
        {{"--set", "where", "--value", "changed"}, changed + "newkey=\"new value\"\n"},
        // -g a -s b -v x sets b; a stays as it was.
        {{"-g", "only", "-s", "later", "-v", "x"}, changed + "newkey=\"new value\"\nlater=\"x\"\n"},
        // The value may come first; the last -v counts.
        {{"-v", "first", "-v", "second", "-s", "order"},
         changed + "newkey=\"new value\"\nlater=\"x\"\norder=\"second\"\n"},
        // An empty value is a value.
        {{"-s", "empty", "-v", ""},
         changed + "newkey=\"new value\"\nlater=\"x\"\norder=\"second\"\nempty=\"\"\n"},
    };
    for (const Step &step : steps) {
        RunResult r = runTool(root, rootTool(), step.args);
        EXPECT_EQ(r.status, 0) << shown("root", step.args);
        EXPECT_EQ(r.out, "") << shown("root", step.args);
        EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), step.file) << shown("root", step.args);
    }

    // What was written reads back.
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
             {"where", "changed"}, {"order", "second"}, {"empty", ""}}) {
        RunResult r = runTool(root, userTool(), {"-g", key});
        EXPECT_EQ(r.status, 0) << key;
        EXPECT_EQ(r.out, value + "\n") << key;
    }
    EXPECT_EQ(ApplianceRoot::readFile(kNmxFile), kNmxText);
}

TEST(ConfigSet, RootBuildWritesThePersonalFileOfTheUserOnly) {
    ApplianceRoot root;
    prepareSettings(root);

    RunResult r = runTool(root, rootTool(), {"-p", "alice", "-s", "theme", "-v", "dark"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile(personalFile("alice")), "where=\"alice\"\ntheme=\"dark\"\n");
    EXPECT_EQ(ApplianceRoot::readFile(personalFile("bob")), "where=\"bob\"\n");
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);
    EXPECT_EQ(ApplianceRoot::readFile(kNmxFile), kNmxText);
}

TEST(ConfigSet, UserBuildWritesNothingAndAnswers255) {
    ApplianceRoot root;
    prepareSettings(root);

    for (const RunOptions &opt : {RunOptions{}, asUser("alice")}) {
        RunResult r = runTool(root, userTool(), {"-s", "where", "-v", "hacked"}, opt);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        r = runTool(root, userTool(), {"-p", "alice", "-s", "new", "-v", "x"}, opt);
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);
    EXPECT_EQ(ApplianceRoot::readFile(personalFile("alice")), "where=\"alice\"\n");
}

TEST(ConfigSet, LineBreaksAndEqualsCannotSmuggleOtherKeys) {
    ApplianceRoot root;
    prepareSettings(root);
    const std::string tool = rootTool();

    struct Case {
        std::string key;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"where", "x\"\nrunfacerecognition=\"yes"},
        {"where", "trailing\n"},
        {"evil\nrunfacerecognition", "yes"},
        {"runfacerecognition=\"yes\"\nwhere", "x"},
        {"runfacerecognition=yes", "x"},
    };
    for (const Case &c : cases) {
        RunResult r = runTool(root, tool, {"-s", c.key, "-v", c.value});
        EXPECT_EQ(r.status, 1) << c.key;
        EXPECT_EQ(r.out, "");
        r = runTool(root, tool, {"-p", "alice", "-s", c.key, "-v", c.value});
        EXPECT_EQ(r.status, 1) << c.key;
    }
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);
    EXPECT_EQ(ApplianceRoot::readFile(personalFile("alice")), "where=\"alice\"\n");
    RunResult r = runTool(root, tool, {"-g", "runfacerecognition"});
    EXPECT_EQ(r.status, 255);
}

TEST(ConfigSet, FailedWriteIsStatus1) {
    ApplianceRoot root;
    prepareSettings(root);

    // Root's file in root's folder: an ordinary user cannot write it.
    RunResult r = runTool(root, rootTool(), {"-s", "where", "-v", "mine"}, asUser("alice"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText);

    // A user without a preference folder.
    root.addUser("dave");
    r = runTool(root, rootTool(), {"-p", "dave", "-s", "k", "-v", "v"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(ApplianceRoot::exists(personalFile("dave")));
}

TEST(ConfigModes, EachBuildAnswersTheOtherBuildsModesWith255) {
    ApplianceRoot root;
    prepareSettings(root);
    const std::string ui = "/var/packages/Lumora/target/ui/config";
    const std::string uiText = "{\".url\":{}}";
    root.writeFile(ui, uiText);
    root.writeFile("/volume1/check/file", "x", 0666);
    root.makeDir("/volume1/homes/alice/photo", 0755, root.uidOf("alice"), root.gidOf("alice"));
    mailAnswers(root);

    struct Case {
        std::string tool;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {userTool(), {"-m"}},
        {userTool(), {"--get-mail"}},
        {userTool(), {"-f", "alice"}},
        {userTool(), {"--fix-personal", "alice"}},
        {userTool(), {"-g", "where", "-m"}},
        {rootTool(), {"-c", "/volume1/check/file"}},
        {rootTool(), {"--check", "/volume1/check/file"}},
        {rootTool(), {"--show-icon", "on"}},
        {rootTool(), {"--show-icon", "off"}},
        {rootTool(), {"-g", "where", "-c", "/volume1/check/file"}},
    };
    for (const Case &c : cases) {
        RunResult r = runTool(root, c.tool, c.args);
        EXPECT_EQ(r.status, 255) << c.tool << " " << c.args[0];
        EXPECT_EQ(r.out, "") << c.tool << " " << c.args[0];
    }
    EXPECT_TRUE(root.calls(kWebApi).empty());
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/alice/photo/.KAVOUVODB"));
    EXPECT_EQ(ApplianceRoot::readFile(ui), uiText);

    // The last mode option decides, in both directions.
    RunResult r = runTool(root, userTool(), {"-m", "-f", "alice", "-g", "where"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "package\n");
    r = runTool(root, rootTool(), {"--show-icon", "on", "-c", "/x", "-g", "where"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "package\n");
    r = runTool(root, rootTool(), {"-g", "where", "-m"});
    EXPECT_EQ(r.status, 0);
    Json::Value mail;
    ASSERT_TRUE(Json::Reader().parse(r.out, mail)) << r.out;
    Json::Value expectedMail(Json::objectValue);
    expectedMail["mail"] = "a";
    expectedMail["sender_mail"] = "b";
    EXPECT_EQ(mail, expectedMail) << r.out;
    r = runTool(root, userTool(), {"-g", "where", "-c", "/volume1/check/file"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST(ConfigPersonal, OnlyTheUsersOwnRegularFileIsReadOrWritten) {
    ApplianceRoot root;
    prepareSettings(root);
    uid_t alice = root.uidOf("alice");
    const std::string dir = "/usr/kavo/etc/preference/alice";
    const std::string file = personalFile("alice");
    ASSERT_EQ(chown(dir.c_str(), alice, root.gidOf("alice")), 0);
    root.writeFile("/etc/kavo-secret.conf", "where=\"secret\"\n", 0600);
    root.makeDir("/etc/kavo-dir", 0755);
    root.writeFile("/etc/kavo-dir/kavoinfo.conf", "where=\"system\"\n", 0600);

    // What alice may put in the place of her file, or of her folder.
    struct Case {
        std::string name;
        std::string plantAt;  // file or dir
        std::string link;     // a link to this, or "" for a FIFO
    };
    const std::vector<Case> cases = {
        {"file linked out", file, "/etc/kavo-secret.conf"},
        {"file linked inside", file, "../bob/kavoinfo.conf"},
        {"folder linked out", dir, "/etc/kavo-dir"},
        {"fifo", file, ""},
    };
    for (const Case &c : cases) {
        unlink(file.c_str());
        if (c.plantAt == dir) {
            ASSERT_EQ(rmdir(dir.c_str()), 0);
        }
        if (c.link.empty()) {
            ASSERT_EQ(mkfifo(c.plantAt.c_str(), 0666), 0);
        } else {
            ASSERT_EQ(symlink(c.link.c_str(), c.plantAt.c_str()), 0);
        }
        for (const std::string &name : kTools) {
            root.clearLog();
            RunOptions opt;
            opt.timeoutSeconds = 10;
            RunResult r =
                runTool(root, lumora::test::program(name), {"-p", "alice", "-g", "where"}, opt);
            EXPECT_EQ(r.status, 255) << c.name << " " << name;
            EXPECT_EQ(r.out, "") << c.name << " " << name;
            EXPECT_TRUE(root.logged(file)) << c.name;
        }
        RunOptions opt;
        opt.timeoutSeconds = 10;
        RunResult r = runTool(root, rootTool(), {"-p", "alice", "-s", "where", "-v", "x"}, opt);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(ApplianceRoot::readFile("/etc/kavo-secret.conf"), "where=\"secret\"\n");
        EXPECT_EQ(ApplianceRoot::readFile("/etc/kavo-dir/kavoinfo.conf"), "where=\"system\"\n");
        EXPECT_EQ(ApplianceRoot::readFile(personalFile("bob")), "where=\"bob\"\n");
        struct stat st = statOf(c.plantAt);
        EXPECT_EQ(c.link.empty() ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode), true) << c.name;
        ASSERT_EQ(unlink(c.plantAt.c_str()), 0);
        root.makeDir(dir, 0755, alice, root.gidOf("alice"));
    }

    // Her own plain file is read and written as before.
    root.writeFile(file, "where=\"alice\"\n", 0644, alice, root.gidOf("alice"));
    RunResult r = runTool(root, rootTool(), {"-p", "alice", "-s", "theme", "-v", "dark"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile(file), "where=\"alice\"\ntheme=\"dark\"\n");
    EXPECT_EQ(statOf(file).st_uid, alice);
    r = runTool(root, userTool(), {"-p", "alice", "-g", "theme"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "dark\n");
}

TEST(ConfigOutput, AnAnswerThatCannotBeWrittenIsAFailure) {
    ApplianceRoot root;
    prepareSettings(root);
    mailAnswers(root);

    struct Case {
        std::string tool;
        std::vector<std::string> args;
        int status;  // with standard output on a full disk
        bool logs;
    };
    const std::vector<Case> cases = {
        {userTool(), {"-g", "where"}, 255, true},
        {rootTool(), {"-p", "alice", "-g", "where"}, 255, true},
        {rootTool(), {"-m"}, 255, true},
        // Nothing to print: no failure.
        {rootTool(), {"-s", "theme", "-v", "dark"}, 0, false},
        // Argument errors keep their own status.
        {userTool(), {"-h"}, 1, true},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh", c.tool};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        root.clearLog();
        RunResult r = root.run(argv);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(root.logged("standard output"), c.logs) << c.args[0];
    }
    EXPECT_EQ(ApplianceRoot::readFile(kPackageFile), kPackageText + "theme=\"dark\"\n");
}

TEST(ConfigPersonal, ALinkSwappedInMeanwhileIsNeverWritten) {
    ApplianceRoot root;
    prepareSettings(root);
    const std::string file = personalFile("alice");
    const std::string decoy = "/usr/kavo/etc/preference/alice/decoy";
    root.writeFile("/etc/kavo-secret.conf", "where=\"secret\"\n", 0600);
    ASSERT_EQ(symlink("/etc/kavo-secret.conf", decoy.c_str()), 0);

    Swapper swapper(file, decoy, 10);
    for (int i = 0; i < 40; i++) {
        RunResult r =
            runTool(root, rootTool(), {"-p", "alice", "-s", "k", "-v", std::to_string(i)});
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
        r = runTool(root, userTool(), {"-p", "alice", "-g", "where"});
        EXPECT_NE(r.out, "secret\n");
    }
    EXPECT_EQ(ApplianceRoot::readFile("/etc/kavo-secret.conf"), "where=\"secret\"\n");
    struct stat st = statOf("/etc/kavo-secret.conf");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}
