// The operations that only one of the two builds carries out: the permission check and the icon
// switch (kavophoto_config), the mail configuration and the personal-database repair
// (kavophoto_config_root).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "config_test_util.h"
#include "harness.h"

using namespace configtest;

namespace {

const std::string kUiDir = "/var/packages/Lumora/target/ui";
const std::string kUiConfig = kUiDir + "/config";
const std::string kWebApi = "/usr/kavo/bin/kavowebapi";

// Sets the ACL attribute of path to the text form of the ACL service.
void setAcl(const std::string &path, const std::string &text) {
    ASSERT_EQ(setxattr(path.c_str(), "security.kavo.acl", text.data(), text.size(), 0), 0)
        << path << ": " << strerror(errno);
}

Json::Value parseJson(const std::string &text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

std::set<std::string> dirEntries(const std::string &dir) {
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        ADD_FAILURE() << "opendir " << dir;
        return names;
    }
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") {
            names.insert(n);
        }
    }
    closedir(d);
    return names;
}

// A small file system of its own at a path, for a full disk; detached when done.
class SmallTmpfs {
   public:
    SmallTmpfs(const std::string &path, const std::string &size) : path_(path) {
        std::string opts = "size=" + size + ",mode=0755";
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, opts.c_str()) == 0;
        EXPECT_TRUE(mounted_) << strerror(errno);
    }
    ~SmallTmpfs() {
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const {
        return mounted_;
    }

   private:
    std::string path_;
    bool mounted_ = false;
};

// Writes to a new file until the file system is full.
void fillUp(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "f", 1) > 0) {
    }
    close(fd);
}

}  // namespace

// ---- permission check ------------------------------------------------------------------------

TEST(ConfigCheck, ReadAndWriteBitsFromModeBitsAndAcls) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    uid_t alice = root.addUser("alice");
    uid_t bob = root.addUser("bob");
    gid_t crew = root.addGroup("crew", 0, {"alice"});
    root.makeDir("/volume1/share", 0777);
    const std::string dir = "/volume1/share/";

    struct Case {
        std::string name;
        mode_t mode;
        uid_t owner;
        std::string acl;  // "" for none
        int status;       // as alice
    };
    const std::string id = std::to_string(alice);
    const std::vector<Case> cases = {
        {"rw-mode", 0600, alice, "", 0},
        {"r-mode", 0400, alice, "", 255},
        {"w-mode", 0200, alice, "", 255},
        {"other-rw", 0606, bob, "", 0},
        {"other-none", 0660, bob, "", 255},
        {"acl-user-rw", 0000, bob, "kavoacl 1 -\nuser:" + id + ":allow:rw-----------:----\n", 0},
        {"acl-user-r", 0666, bob, "kavoacl 1 -\nuser:" + id + ":allow:r-x---a-R-c--:----\n", 255},
        {"acl-user-w", 0666, bob, "kavoacl 1 -\nuser:" + id + ":allow:-wxpdD-------:----\n", 255},
        {"acl-group-rw", 0000, bob,
         "kavoacl 1 -\ngroup:" + std::to_string(crew) + ":allow:rw-----------:----\n", 0},
        {"acl-everyone-rw", 0000, bob, "kavoacl 1 -\neveryone:-1:allow:rw-----------:----\n", 0},
        {"acl-other-user", 0666, bob,
         "kavoacl 1 -\nuser:" + std::to_string(bob) + ":allow:rwxpdDaARWc--:----\n", 255},
        {"acl-deny-w", 0666, bob,
         "kavoacl 1 -\nuser:" + id +
             ":deny:-w-----------:----\neveryone:-1:allow:rw-----------:----\n",
         255},
    };
    for (const Case &c : cases) {
        root.writeFile(dir + c.name, "data", c.mode, c.owner, 0);
        if (!c.acl.empty()) {
            setAcl(dir + c.name, c.acl);
        }
    }
    for (const Case &c : cases) {
        RunResult r = runTool(root, userTool(), {"-c", dir + c.name}, asUser("alice"));
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }

    // Inherited from the folder: the file itself has no entries and no mode bits.
    root.makeDir(dir + "inherit", 0777);
    setAcl(dir + "inherit", "kavoacl 1 -\neveryone:-1:allow:rw-----------:f---\n");
    root.writeFile(dir + "inherit/file", "data", 0000, bob);
    setAcl(dir + "inherit/file", "kavoacl 1 inherit\n");
    RunResult r = runTool(root, userTool(), {"--check", dir + "inherit/file"}, asUser("alice"));
    EXPECT_EQ(r.status, 0);
    // The same file without inheritance: nothing granted.
    setAcl(dir + "inherit/file", "kavoacl 1 -\n");
    r = runTool(root, userTool(), {"--check", dir + "inherit/file"}, asUser("alice"));
    EXPECT_EQ(r.status, 255);

    // Root holds every bit.
    r = runTool(root, userTool(), {"-c", dir + "w-mode"});
    EXPECT_EQ(r.status, 0);
}

TEST(ConfigCheck, MissingFileIsReportedAnd255) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addUser("alice");

    RunResult r = runTool(root, userTool(), {"-c", "/volume1/nothing/here"}, asUser("alice"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(root.logLinesWithIdent().empty());
    for (const std::string &line : root.logLinesWithIdent()) {
        EXPECT_EQ(line.rfind("kavophoto_config: ", 0), 0u) << line;
    }
}

// ---- icon switch -----------------------------------------------------------------------------

TEST(ConfigIcon, SetsAllUsersAndKeepsEverythingElse) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    uid_t alice = root.addUser("alice");
    gid_t aliceGid = root.gidOf("alice");
    const std::string original =
        "{\n  \".url\" : {\n    \"KAVO.WBX.Lumora\" : {\n      \"allUsers\" : false,\n"
        "      \"title\" : \"Lumora\",\n      \"icon\" : \"images/{0}.png\"\n    },\n"
        "    \"KAVO.WBX.Other\" : { \"type\" : \"url\" }\n  },\n"
        "  \"version\" : 3,\n  \"list\" : [1, 2, \"three\"]\n}\n";
    root.makeDir(kUiDir, 0755);
    root.writeFile(kUiConfig, original, 0640, alice, aliceGid);

    RunResult r = runTool(root, userTool(), {"--show-icon", "on"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    Json::Value expected = parseJson(original);
    expected[".url"]["KAVO.WBX.Lumora"]["allUsers"] = true;
    Json::Value written = parseJson(ApplianceRoot::readFile(kUiConfig));
    EXPECT_EQ(written, expected);
    EXPECT_TRUE(written[".url"]["KAVO.WBX.Lumora"]["allUsers"].isBool());
    struct stat st = statOf(kUiConfig);
    EXPECT_EQ(st.st_uid, alice);
    EXPECT_EQ(st.st_gid, aliceGid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dirEntries(kUiDir), std::set<std::string>{"config"});

    r = runTool(root, userTool(), {"--show-icon", "off"});
    EXPECT_EQ(r.status, 0);
    expected[".url"]["KAVO.WBX.Lumora"]["allUsers"] = false;
    EXPECT_EQ(parseJson(ApplianceRoot::readFile(kUiConfig)), expected);
    st = statOf(kUiConfig);
    EXPECT_EQ(st.st_uid, alice);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ConfigIcon, CreatesTheMembersWhenMissing) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.makeDir(kUiDir, 0755);

    const std::vector<std::string> texts = {
        "{\"version\":1}",
        "{\".url\":{\"KAVO.WBX.Other\":{\"allUsers\":false}}}",
        "{\".url\":null}",
        "{}",
        // A member without the dot is no desktop entry: kept as it is.
        "{\"url\":{\"KAVO.WBX.Lumora\":{\"allUsers\":false}}}",
    };
    for (const std::string &text : texts) {
        root.writeFile(kUiConfig, text);
        RunResult r = runTool(root, userTool(), {"--show-icon", "on"});
        EXPECT_EQ(r.status, 0) << text;
        Json::Value expected = parseJson(text);
        expected[".url"]["KAVO.WBX.Lumora"]["allUsers"] = true;
        EXPECT_EQ(parseJson(ApplianceRoot::readFile(kUiConfig)), expected) << text;
    }
}

TEST(ConfigIcon, LeavesAFileThatIsNoObjectUntouched) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.makeDir(kUiDir, 0755);

    const std::vector<std::string> texts = {
        "",
        "[]",
        "[{\".url\":{}}]",
        "\"text\"",
        "42",
        "null",
        // Cut short by a crash: a part of it parses, the rest would be lost.
        "{\"version\":1,\".url\":{\"KAVO.WBX.Lumora\":{\"title\":\"Lumora\"},\"KAVO.WBX.Ot",
        "{\"version\":1, \"list\": [1, 2",
        // Members of the wrong kind.
        "{\".url\":\"http://example\"}",
        "{\".url\":{\"KAVO.WBX.Lumora\":[true]}}",
    };
    for (const std::string &text : texts) {
        root.writeFile(kUiConfig, text, 0644);
        RunResult r = runTool(root, userTool(), {"--show-icon", "on"});
        EXPECT_EQ(r.status, 255) << text;
        EXPECT_EQ(r.signal, 0) << text;
        EXPECT_EQ(r.out, "") << text;
        EXPECT_EQ(ApplianceRoot::readFile(kUiConfig), text);
        EXPECT_EQ(dirEntries(kUiDir), std::set<std::string>{"config"}) << text;
    }

    ASSERT_EQ(unlink(kUiConfig.c_str()), 0);
    RunResult r = runTool(root, userTool(), {"--show-icon", "off"});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(ApplianceRoot::exists(kUiConfig));
    EXPECT_TRUE(dirEntries(kUiDir).empty());
}

TEST(ConfigIcon, AsAUserWithAndWithoutWriteAccess) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    uid_t alice = root.addUser("alice");
    root.addUser("bob");
    const std::string text = "{\".url\":{\"KAVO.WBX.Lumora\":{\"allUsers\":false}}}";
    root.makeDir(kUiDir, 0755, alice, root.gidOf("alice"));
    root.writeFile(kUiConfig, text, 0644, alice, root.gidOf("alice"));

    // bob may read the file but not replace it.
    RunResult r = runTool(root, userTool(), {"--show-icon", "on"}, asUser("bob"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(ApplianceRoot::readFile(kUiConfig), text);
    EXPECT_EQ(dirEntries(kUiDir), std::set<std::string>{"config"});

    r = runTool(root, userTool(), {"--show-icon", "on"}, asUser("alice"));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(parseJson(ApplianceRoot::readFile(kUiConfig))[".url"]["KAVO.WBX.Lumora"]["allUsers"]
                    .asBool());
    struct stat st = statOf(kUiConfig);
    EXPECT_EQ(st.st_uid, alice);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // Not readable at all.
    ASSERT_EQ(chmod(kUiConfig.c_str(), 0600), 0);
    std::string before = ApplianceRoot::readFile(kUiConfig);
    r = runTool(root, userTool(), {"--show-icon", "off"}, asUser("bob"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(ApplianceRoot::readFile(kUiConfig), before);
}

TEST(ConfigIcon, AFullDiskLeavesTheOldFileWhole) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.makeDir(kUiDir, 0755);
    SmallTmpfs fs(kUiDir, "64k");
    ASSERT_TRUE(fs.mounted());

    // Just under one page; the new text needs a second one.
    std::string text = "{\"pad\":\"" + std::string(4080, 'p') + "\"}";
    ASSERT_EQ(text.size(), 4090u);
    root.writeFile(kUiConfig, text, 0644);
    fillUp(kUiDir + "/filler");

    RunResult r = runTool(root, userTool(), {"--show-icon", "on"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ApplianceRoot::readFile(kUiConfig) == text) << "the configuration changed";
    EXPECT_EQ(dirEntries(kUiDir), (std::set<std::string>{"config", "filler"}));

    // With room again it works.
    ASSERT_EQ(unlink((kUiDir + "/filler").c_str()), 0);
    r = runTool(root, userTool(), {"--show-icon", "on"});
    EXPECT_EQ(r.status, 0);
    Json::Value written = parseJson(ApplianceRoot::readFile(kUiConfig));
    EXPECT_EQ(written["pad"].asString(), std::string(4080, 'p'));
    EXPECT_TRUE(written[".url"]["KAVO.WBX.Lumora"]["allUsers"].asBool());
}

TEST(ConfigIcon, ALinkedConfigurationStaysALink) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.makeDir(kUiDir, 0755);
    const std::string target = "/var/packages/Lumora/etc/ui-config.json";
    root.writeFile(target, "{\"version\":2}", 0644);
    ASSERT_EQ(symlink(target.c_str(), kUiConfig.c_str()), 0);

    RunResult r = runTool(root, userTool(), {"--show-icon", "on"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(S_ISLNK(statOf(kUiConfig).st_mode));
    Json::Value written = parseJson(ApplianceRoot::readFile(target));
    EXPECT_EQ(written["version"].asInt(), 2);
    EXPECT_TRUE(written[".url"]["KAVO.WBX.Lumora"]["allUsers"].asBool());
}

// ---- mail configuration ----------------------------------------------------------------------

namespace {

// The web-API stand-in prints answer as its standard output.
void answerWith(ApplianceRoot &root, const std::string &answer, int status = 0) {
    std::string quoted;
    for (char c : answer) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    root.standIn(kWebApi, status, "printf '%s' '" + quoted + "'");
}

}  // namespace

TEST(ConfigMail, PrintsMailAndSenderOfAnEnabledConfiguration) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    answerWith(root,
               "{\"success\":true,\"data\":{\"enable_mail\":true,"
               "\"smtp_info\":{\"server\":\"smtp.example.com\",\"port\":25},"
               "\"sender_mail\":\"nas@example.com\",\"mail\":[\"a@example.com\","
               "\"b@example.com\"],\"subject_prefix\":\"[NAS]\"}}");

    RunResult r = runTool(root, rootTool(), {"-m"});
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.out.empty());
    EXPECT_NE(r.out.back(), '\n');
    Json::Value expected(Json::objectValue);
    expected["sender_mail"] = "nas@example.com";
    expected["mail"].append("a@example.com");
    expected["mail"].append("b@example.com");
    EXPECT_EQ(parseJson(r.out), expected);

    std::vector<lumora::test::StandInCall> calls = root.calls(kWebApi);
    ASSERT_EQ(calls.size(), 1u);
    const std::vector<std::string> &argv = calls[0].argv;
    for (const char *arg : {"--exec", "api=KAVO.Core.Notification.Mail.Conf", "version=1",
                            "method=get", "runner=admin"}) {
        EXPECT_NE(std::find(argv.begin(), argv.end(), arg), argv.end()) << arg;
    }
    auto params = std::find_if(argv.begin(), argv.end(),
                               [](const std::string &a) { return a.rfind("params=", 0) == 0; });
    ASSERT_NE(params, argv.end());
    EXPECT_TRUE(parseJson(params->substr(7)).isNull()) << *params;

    // Members missing in the answer come out as null.
    answerWith(root,
               "{\"success\":true,\"data\":{\"enable_mail\":true,"
               "\"smtp_info\":{\"server\":\"smtp\"}}}");
    r = runTool(root, rootTool(), {"--get-mail"});
    EXPECT_EQ(r.status, 0);
    Json::Value nulls(Json::objectValue);
    nulls["mail"] = Json::Value();
    nulls["sender_mail"] = Json::Value();
    Json::Value got = parseJson(r.out);
    EXPECT_EQ(got, nulls);
    EXPECT_EQ(got.getMemberNames(), (std::vector<std::string>{"mail", "sender_mail"}));
}

TEST(ConfigMail, AnythingShortOfAUsableConfigurationIs255) {
    ApplianceRoot root;
    root.addLumoraAccounts();

    const std::vector<std::string> answers = {
        // Mail off, no server, no success.
        "{\"success\":true,\"data\":{\"enable_mail\":false,\"smtp_info\":{\"server\":\"s\"},"
        "\"mail\":\"m\",\"sender_mail\":\"s\"}}",
        "{\"success\":true,\"data\":{\"smtp_info\":{\"server\":\"s\"},\"mail\":\"m\"}}",
        "{\"success\":true,\"data\":{\"enable_mail\":true,\"smtp_info\":{\"server\":\"\"},"
        "\"mail\":\"m\"}}",
        "{\"success\":true,\"data\":{\"enable_mail\":true,\"smtp_info\":{},\"mail\":\"m\"}}",
        "{\"success\":true,\"data\":{\"enable_mail\":true,\"mail\":\"m\"}}",
        "{\"success\":false,\"error\":{\"code\":105}}",
        "{\"data\":{\"enable_mail\":true,\"smtp_info\":{\"server\":\"s\"}}}",
        // Members of the wrong kind.
        "{\"success\":\"yes\",\"data\":{\"enable_mail\":true,\"smtp_info\":{\"server\":\"s\"}}}",
        "{\"success\":true,\"data\":\"none\"}",
        "{\"success\":true,\"data\":[1,2]}",
        "{\"success\":true,\"data\":{\"enable_mail\":\"true\",\"smtp_info\":{\"server\":\"s\"}}}",
        "{\"success\":true,\"data\":{\"enable_mail\":true,\"smtp_info\":\"s\"}}",
        "{\"success\":true,\"data\":{\"enable_mail\":true,\"smtp_info\":{\"server\":7}}}",
        // No answer at all.
        "[true]",
        "not json",
        "",
    };
    for (const std::string &answer : answers) {
        answerWith(root, answer);
        RunResult r = runTool(root, rootTool(), {"-m"});
        EXPECT_EQ(r.status, 255) << answer;
        EXPECT_EQ(r.signal, 0) << answer;
        EXPECT_EQ(r.out, "") << answer;
    }

    // The runner program failing.
    answerWith(root,
               "{\"success\":true,\"data\":{\"enable_mail\":true,\"smtp_info\":{\"server\":"
               "\"s\"}}}",
               1);
    RunResult r = runTool(root, rootTool(), {"-m"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
}

// ---- personal-database repair ----------------------------------------------------------------

namespace {

const std::string kAliceHome = "/volume1/homes/alice";
const std::string kAliceDb = kAliceHome + "/photo/.KAVOUVODB";

// alice with her photo folder, and the package's accounts.
void preparePersonal(ApplianceRoot &root) {
    root.addLumoraAccounts();
    root.addHomesShare();
    root.addUser("alice");
    root.makeDir(kAliceHome + "/photo", 0755, root.uidOf("alice"), root.gidOf("alice"));
}

void expectLumoraOwned(const ApplianceRoot &root, const std::string &path) {
    struct stat st = statOf(path);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(st.st_uid, root.uidOf("Lumora")) << path;
    EXPECT_EQ(st.st_gid, root.gidOf("Lumora")) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
}

}  // namespace

TEST(ConfigFixPersonal, CreatesOrTakesOverTheDatabaseFile) {
    ApplianceRoot root;
    preparePersonal(root);

    RunResult r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    expectLumoraOwned(root, kAliceDb);
    EXPECT_EQ(ApplianceRoot::readFile(kAliceDb), "");

    // An existing file keeps its content.
    root.writeFile(kAliceDb, "database pages", 0644, root.uidOf("alice"), root.gidOf("alice"));
    r = runTool(root, rootTool(), {"--fix-personal", "alice"});
    EXPECT_EQ(r.status, 0);
    expectLumoraOwned(root, kAliceDb);
    EXPECT_EQ(ApplianceRoot::readFile(kAliceDb), "database pages");

    // The name is matched as the platform spells it.
    ASSERT_EQ(chown(kAliceDb.c_str(), root.uidOf("alice"), root.gidOf("alice")), 0);
    r = runTool(root, rootTool(), {"-f", "ALICE"});
    EXPECT_EQ(r.status, 0);
    expectLumoraOwned(root, kAliceDb);
}

TEST(ConfigFixPersonal, FailuresAreLoggedAnd255) {
    ApplianceRoot root;
    preparePersonal(root);
    root.addUser("nophoto");

    RunResult r = runTool(root, rootTool(), {"-f", "ghost"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    std::string line = logLineWith(root, "KAVOUserGet failed.");
    EXPECT_EQ(line.rfind("kavophoto_config_root: kavophoto_config_root:", 0), 0u) << line;

    // No photo folder in the home: nothing can be created.
    root.clearLog();
    r = runTool(root, rootTool(), {"-f", "nophoto"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("realpath for [/volume1/homes/nophoto/photo/.KAVOUVODB] failed"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/nophoto/photo"));

    // No home at all: the message names the database path that could not be resolved.
    root.addUser("nohome", 0, 0, "/volume1/homes/nohome");
    root.clearLog();
    r = runTool(root, rootTool(), {"-f", "nohome"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("realpath for [/volume1/homes/nohome/photo/.KAVOUVODB] failed"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/nohome"));

    // A folder where the file should be.
    root.makeDir(kAliceDb, 0755, root.uidOf("alice"));
    r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(statOf(kAliceDb).st_uid, root.uidOf("alice"));
    ASSERT_EQ(rmdir(kAliceDb.c_str()), 0);

    // Run without root rights the file cannot change hands.
    root.writeFile(kAliceDb, "db", 0644, root.uidOf("alice"), root.gidOf("alice"));
    r = runTool(root, rootTool(), {"-f", "alice"}, asUser("alice"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(statOf(kAliceDb).st_uid, root.uidOf("alice"));

    // The user build does not repair.
    r = runTool(root, userTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(statOf(kAliceDb).st_uid, root.uidOf("alice"));
}

TEST(ConfigFixPersonal, WithoutThePackageAccount) {
    ApplianceRoot root;
    root.addHomesShare();
    root.addUser("alice");
    root.makeDir(kAliceHome + "/photo", 0755, root.uidOf("alice"), root.gidOf("alice"));
    root.writeFile(kAliceDb, "db", 0644, root.uidOf("alice"), root.gidOf("alice"));

    RunResult r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("ERROR: getpwnam(Lumora)"));
    struct stat st = statOf(kAliceDb);
    EXPECT_EQ(st.st_uid, root.uidOf("alice"));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(ConfigFixPersonal, LinksInsideTheHomeAreFollowed) {
    ApplianceRoot root;
    preparePersonal(root);
    uid_t alice = root.uidOf("alice");
    gid_t aliceGid = root.gidOf("alice");

    // The target changes hands, the link stays a link.
    root.writeFile(kAliceHome + "/data/real.db", "pages", 0644, alice, aliceGid);
    ASSERT_EQ(symlink("../data/real.db", kAliceDb.c_str()), 0);
    RunResult r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 0);
    expectLumoraOwned(root, kAliceHome + "/data/real.db");
    EXPECT_TRUE(S_ISLNK(statOf(kAliceDb).st_mode));
    EXPECT_EQ(ApplianceRoot::readFile(kAliceHome + "/data/real.db"), "pages");
    ASSERT_EQ(unlink(kAliceDb.c_str()), 0);

    // A dangling link: its target is created.
    ASSERT_EQ(symlink((kAliceHome + "/data/new.db").c_str(), kAliceDb.c_str()), 0);
    r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 0);
    expectLumoraOwned(root, kAliceHome + "/data/new.db");
    ASSERT_EQ(unlink(kAliceDb.c_str()), 0);

    // The photo folder linking elsewhere inside the home.
    root.makeDir(kAliceHome + "/store", 0755, alice, aliceGid);
    ASSERT_EQ(rmdir((kAliceHome + "/photo").c_str()), 0);
    ASSERT_EQ(symlink("store", (kAliceHome + "/photo").c_str()), 0);
    r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 0);
    expectLumoraOwned(root, kAliceHome + "/store/.KAVOUVODB");
}

TEST(ConfigFixPersonal, LinksOutOfTheHomeAreRefused) {
    ApplianceRoot root;
    preparePersonal(root);
    root.addUser("bob");

    // System files, another user's file, a folder link, a hard link.
    root.writeFile("/etc/kavo-secret.conf", "secret", 0644);
    root.writeFile("/volume1/homes/bob/photo/.KAVOUVODB", "bob's", 0644, root.uidOf("bob"));
    root.writeFile("/volume1/private/victim", "victim", 0640);
    root.makeDir(kAliceHome + "/data", 0755, root.uidOf("alice"), root.gidOf("alice"));
    ASSERT_EQ(symlink("/etc/kavo-secret.conf", (kAliceHome + "/data/hop").c_str()), 0);
    struct Case {
        std::string name;
        std::string linkTarget;  // "" for a hard link to /volume1/private/victim
        std::string outside;     // the file that must stay as it was, or must not appear
    };
    const std::vector<Case> cases = {
        {"absolute", "/etc/kavo-secret.conf", "/etc/kavo-secret.conf"},
        {"relative", "../../bob/photo/.KAVOUVODB", "/volume1/homes/bob/photo/.KAVOUVODB"},
        {"dangling", "/etc/kavo-created", "/etc/kavo-created"},
        {"chained", "../data/hop", "/etc/kavo-secret.conf"},
        {"hard", "", "/volume1/private/victim"},
    };
    for (const Case &c : cases) {
        struct stat before {};
        bool existed = lstat(c.outside.c_str(), &before) == 0;
        if (c.linkTarget.empty()) {
            ASSERT_EQ(link(c.outside.c_str(), kAliceDb.c_str()), 0) << strerror(errno);
        } else {
            ASSERT_EQ(symlink(c.linkTarget.c_str(), kAliceDb.c_str()), 0);
        }
        root.clearLog();
        RunResult r = runTool(root, rootTool(), {"-f", "alice"});
        EXPECT_EQ(r.status, 255) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_FALSE(root.logLines().empty()) << c.name;
        if (existed) {
            struct stat after = statOf(c.outside);
            EXPECT_EQ(after.st_uid, before.st_uid) << c.name;
            EXPECT_EQ(after.st_gid, before.st_gid) << c.name;
            EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
        } else {
            EXPECT_FALSE(ApplianceRoot::exists(c.outside)) << c.name;
        }
        ASSERT_EQ(unlink(kAliceDb.c_str()), 0);
    }
    EXPECT_EQ(ApplianceRoot::readFile("/etc/kavo-secret.conf"), "secret");

    // The photo folder itself leading out of the home.
    root.makeDir("/etc/kavo-dir", 0755);
    ASSERT_EQ(rmdir((kAliceHome + "/photo").c_str()), 0);
    ASSERT_EQ(symlink("/etc/kavo-dir", (kAliceHome + "/photo").c_str()), 0);
    RunResult r = runTool(root, rootTool(), {"-f", "alice"});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(ApplianceRoot::exists("/etc/kavo-dir/.KAVOUVODB"));
}

TEST(ConfigFixPersonal, AFifoNeitherHangsTheRepairNorChangesHands) {
    ApplianceRoot root;
    preparePersonal(root);
    ASSERT_EQ(mkfifo(kAliceDb.c_str(), 0666), 0);
    RunOptions quick;
    quick.timeoutSeconds = 10;
    RunResult r = runTool(root, rootTool(), {"-f", "alice"}, quick);
    EXPECT_EQ(r.status, 255);
    struct stat fifo = statOf(kAliceDb);
    EXPECT_TRUE(S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(fifo.st_uid, 0u);
}

TEST(ConfigFixPersonal, ALinkSwappedInMeanwhileIsNeverFollowed) {
    ApplianceRoot root;
    preparePersonal(root);
    root.writeFile("/etc/kavo-secret.conf", "secret", 0640);
    root.writeFile(kAliceDb, "pages", 0644, root.uidOf("alice"), root.gidOf("alice"));
    const std::string decoy = kAliceHome + "/photo/decoy";
    ASSERT_EQ(symlink("/etc/kavo-secret.conf", decoy.c_str()), 0);

    Swapper swapper(kAliceDb, decoy, 10);
    for (int i = 0; i < 40; i++) {
        RunResult r = runTool(root, rootTool(), {"-f", "alice"});
        EXPECT_TRUE(r.status == 0 || r.status == 255) << r.status;
    }
    struct stat st = statOf("/etc/kavo-secret.conf");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}
