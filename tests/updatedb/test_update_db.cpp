// kavophoto_update_db on a private appliance root: the SQL scripts, "photo.sh" and the
// indexing service are recording stand-ins whose exit statuses the tests choose.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;

namespace {

const std::string kSqlDir = "/var/packages/Lumora/target/photo_scripts/sql";
const std::string kPhotoSh = kSqlDir + "/photo.sh";
const std::string kUpgrade = kSqlDir + "/upgrade";
const std::string kUvoUpgrade = kSqlDir + "/uvo_upgrade";
const std::string kKavoIndex = "/usr/kavo/bin/kavoindex";
// Every script appends its path and arguments here, so the order across scripts shows.
const std::string kOrder = "/tmp/script-order";

const std::string kUsage =
    "Usage:\n"
    "    kavophoto_update_db [options]\n"
    "\n"
    "Options:\n"
    "    -a, --all\n"
    "        update all DB and personal lumora DB\n"
    "    -u, --user [user]\n"
    "        update user's personal lumora DB\n"
    "\n";

// A stand-in script that also notes its run in the shared order file. extra runs before
// the stand-in's own exit and may end the script with another status.
void script(ApplianceRoot &root, const std::string &path, int status,
            const std::string &extra = "") {
    root.standIn(path, status, "echo \"$0 $*\" >> " + kOrder + "\n" + extra);
}

std::vector<std::string> runOrder() {
    std::vector<std::string> lines;
    std::string text = ApplianceRoot::readFile(kOrder);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The names of a folder in the order readdir gives them.
std::vector<std::string> readdirOrder(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        ADD_FAILURE() << "opendir " << dir;
        return names;
    }
    while (struct dirent *e = readdir(d)) {
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

// The names of wanted in the folder's read order.
std::vector<std::string> inReadOrder(const std::string &dir, const std::set<std::string> &wanted) {
    std::vector<std::string> out;
    for (const auto &n : readdirOrder(dir)) {
        if (wanted.count(n)) {
            out.push_back(n);
        }
    }
    return out;
}

std::string uvoDb(const std::string &user) {
    return "/volume1/homes/" + user + "/photo/.KAVOUVODB";
}

void addUserWithDb(ApplianceRoot &root, const std::string &user) {
    uid_t uid = root.addUser(user);
    root.writeFile(uvoDb(user), "db", 0644, uid, root.gidOf(user));
}

bool loggedLine(const ApplianceRoot &root, const std::string &operation, const std::string &text) {
    std::string prefix = "kavophoto_update_db: " + operation + "(";
    for (const auto &line : root.logLines()) {
        if (line.compare(0, prefix.size(), prefix) == 0 &&
            line.find(") - " + text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> reindexed(const ApplianceRoot &root) {
    std::vector<std::string> users;
    for (const auto &c : root.calls(kKavoIndex)) {
        EXPECT_EQ(c.argv.size(), 5u);
        if (c.argv.size() == 5) {
            EXPECT_EQ(c.argv[1], "-P");
            EXPECT_EQ(c.argv[2], "Lumora");
            EXPECT_EQ(c.argv[3], "-R");
            users.push_back(c.argv[4]);
        }
    }
    return users;
}

RunResult updateDb(const ApplianceRoot &root, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program("kavophoto_update_db")};
    argv.insert(argv.end(), args.begin(), args.end());
    return root.run(argv);
}

}  // namespace

TEST(UpdateDbAll, UpgradeScriptsRunInDirectoryOrderAndOnlyRegularShFiles) {
    ApplianceRoot root;
    script(root, kPhotoSh, 0);
    // Created out of name order; the run must follow the folder, not the names.
    script(root, kUpgrade + "/002.sh", 0);
    script(root, kUpgrade + "/001.sh", 0);
    script(root, kUpgrade + "/sh", 0);
    script(root, kUpgrade + "/bad.sh", 255);
    script(root, kUpgrade + "/zz.sh", 1);
    script(root, kUpgrade + "/notes.txt", 0);
    script(root, kUpgrade + "/UPPER.SH", 0);
    script(root, kUpgrade + "/ash", 0);
    script(root, kUpgrade + "/run.sh.bak", 0);
    root.makeDir(kUpgrade + "/x.sh");
    script(root, "/volume1/linked-target", 0);
    ASSERT_EQ(symlink("/volume1/linked-target", (kUpgrade + "/link.sh").c_str()), 0);
    ASSERT_EQ(symlink("/volume1/missing", (kUpgrade + "/gone.sh").c_str()), 0);
    root.makeDir(kUvoUpgrade);

    RunResult r = updateDb(root, {"-a"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    std::vector<std::string> expected = {kPhotoSh + " "};
    for (const auto &n :
         inReadOrder(kUpgrade, {"002.sh", "001.sh", "sh", "bad.sh", "zz.sh", "link.sh"})) {
        expected.push_back(kUpgrade + "/" + n + " ");
    }
    EXPECT_EQ(runOrder(), expected);
    for (const char *skipped : {"/notes.txt", "/UPPER.SH", "/ash", "/run.sh.bak"}) {
        EXPECT_TRUE(root.calls(kUpgrade + skipped).empty()) << skipped;
    }
    // Upgrade scripts of the gallery database take no arguments.
    auto calls = root.calls(kUpgrade + "/001.sh");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, std::vector<std::string>{kUpgrade + "/001.sh"});

    EXPECT_TRUE(loggedLine(root, "KAVOPHOTO_UPDATE_DB", "Fail to exec [" + kUpgrade + "/bad.sh]"));
    EXPECT_TRUE(
        loggedLine(root, "KAVOPHOTO_UPDATE_DB", "Failed to stat file [" + kUpgrade + "/gone.sh]"));
    EXPECT_FALSE(root.logged("zz.sh"));
    EXPECT_FALSE(root.logged("x.sh"));
}

TEST(UpdateDbAll, PhotoScriptFailureStopsTheRun) {
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "photo.sh fails" : "photo.sh missing");
        ApplianceRoot root;
        if (present) {
            script(root, kPhotoSh, 255);
        }
        script(root, kUpgrade + "/001.sh", 0);
        script(root, kUvoUpgrade + "/u1.sh", 1);
        script(root, kKavoIndex, 0);
        addUserWithDb(root, "alice");

        RunResult r = updateDb(root, {"-a"});
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(loggedLine(root, "KAVOPHOTO_PHOTO_DB", "Fail to exec photo.sh"));
        EXPECT_TRUE(root.logged("kavophoto_update_db: Failed to create photo DB"));
        EXPECT_TRUE(root.calls(kUpgrade + "/001.sh").empty());
        EXPECT_TRUE(root.calls(kUvoUpgrade + "/u1.sh").empty());
        EXPECT_TRUE(root.calls(kKavoIndex).empty());
    }

    // A positive status is no failure: the run goes on.
    ApplianceRoot root;
    script(root, kPhotoSh, 1);
    script(root, kUpgrade + "/001.sh", 0);
    root.makeDir(kUvoUpgrade);
    RunResult r = updateDb(root, {"-a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.calls(kUpgrade + "/001.sh").size(), 1u);
    EXPECT_FALSE(root.logged("Failed to create photo DB"));
}

TEST(UpdateDbAll, MissingFoldersOfScripts) {
    {
        SCOPED_TRACE("no upgrade folder");
        ApplianceRoot root;
        script(root, kPhotoSh, 0);
        script(root, kUvoUpgrade + "/u1.sh", 1);
        addUserWithDb(root, "alice");
        RunResult r = updateDb(root, {"-a"});
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(
            loggedLine(root, "KAVOPHOTO_UPDATE_DB", "Failed to open dir [" + kUpgrade + "]"));
        EXPECT_TRUE(root.logged("kavophoto_update_db: Failed to update DB"));
        EXPECT_EQ(root.calls(kPhotoSh).size(), 1u);
        EXPECT_TRUE(root.calls(kUvoUpgrade + "/u1.sh").empty());
    }
    {
        SCOPED_TRACE("no uvo_upgrade folder");
        ApplianceRoot root;
        script(root, kPhotoSh, 0);
        script(root, kUpgrade + "/001.sh", 0);
        addUserWithDb(root, "alice");
        RunResult r = updateDb(root, {"--all"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(root.calls(kUpgrade + "/001.sh").size(), 1u);
        EXPECT_TRUE(loggedLine(root, "KAVOPHOTO_UPDATE_UVODB_ALL",
                               "Failed to open dir [" + kUvoUpgrade + "]"));
    }
}

TEST(UpdateDbAll, PersonalDatabasesUpgradedAndReindexedOnce) {
    ApplianceRoot root;
    script(root, kPhotoSh, 0);
    root.makeDir(kUpgrade);
    // s1: fails for carol, changes dave's database; s2: changes alice's, carol's and dave's.
    script(root, kUvoUpgrade + "/s1.sh", 0,
           "case \"$1\" in */carol/*) exit 255;; */dave/*) exit 1;; esac");
    script(root, kUvoUpgrade + "/s2.sh", 0,
           "case \"$1\" in */alice/*|*/carol/*|*/dave/*) exit 1;; esac");
    script(root, kUvoUpgrade + "/notes.txt", 1);
    root.makeDir(kUvoUpgrade + "/y.sh");
    script(root, kKavoIndex, 0);
    addUserWithDb(root, "alice");
    root.addUser("bob");
    addUserWithDb(root, "carol");
    addUserWithDb(root, "dave");
    addUserWithDb(root, "erin");

    RunResult r = updateDb(root, {"-a"});
    EXPECT_EQ(r.status, 0) << r.err;

    std::vector<std::string> expected = {kPhotoSh + " "};
    std::vector<std::string> scripts = inReadOrder(kUvoUpgrade, {"s1.sh", "s2.sh"});
    for (std::string user : {"alice", "carol", "dave", "erin"}) {
        for (const auto &s : scripts) {
            expected.push_back(kUvoUpgrade + "/" + s + " " + uvoDb(user));
        }
        // The re-index follows the user's last script.
        if (user != "erin") {
            expected.push_back(kKavoIndex + " -P Lumora -R user:" + user);
        }
    }
    EXPECT_EQ(runOrder(), expected);
    auto calls = root.calls(kUvoUpgrade + "/s1.sh");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{kUvoUpgrade + "/s1.sh", uvoDb("alice")}));
    EXPECT_TRUE(root.calls(kUvoUpgrade + "/notes.txt").empty());

    // One re-index per changed database, none for erin, whose scripts changed nothing.
    EXPECT_EQ(reindexed(root), (std::vector<std::string>{"user:alice", "user:carol", "user:dave"}));
    bool triggered = false;
    for (const auto &line : root.logLines()) {
        if (line.compare(0, 20, "kavophoto_update_db:") == 0 &&
            line.find(" Lumora: Re-index triggered [kavoindex -P Lumora -R user:alice]") !=
                std::string::npos) {
            triggered = true;
        }
    }
    EXPECT_TRUE(triggered);

    // bob has no personal database: logged, skipped, and none is made for him.
    EXPECT_TRUE(
        loggedLine(root, "KAVOPHOTO_UPDATE_UVODB_ALL", "Fail to access database: " + uvoDb("bob")));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/bob/photo"));
    EXPECT_TRUE(loggedLine(root, "KAVOPHOTO_UPDATE_UVODB_ALL",
                           "Fail to update database: " + uvoDb("carol")));
    EXPECT_FALSE(root.logged("Fail to update database: " + uvoDb("dave")));
}

TEST(UpdateDbAll, NoPersonalScriptsMeansNoReindex) {
    ApplianceRoot root;
    script(root, kPhotoSh, 0);
    root.makeDir(kUpgrade);
    root.makeDir(kUvoUpgrade);
    script(root, kKavoIndex, 0);
    addUserWithDb(root, "alice");
    RunResult r = updateDb(root, {"-a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(root.calls(kKavoIndex).empty());
    EXPECT_EQ(runOrder(), std::vector<std::string>{kPhotoSh + " "});
}

TEST(UpdateDbUser, OneUsersDatabase) {
    ApplianceRoot root;
    script(root, kPhotoSh, 0);
    script(root, kUpgrade + "/001.sh", 0);
    script(root, kUvoUpgrade + "/s1.sh", 0);
    script(root, kUvoUpgrade + "/s2.sh", 1);
    script(root, kKavoIndex, 0);
    addUserWithDb(root, "alice");
    addUserWithDb(root, "carol");

    // The name is converted to the account's own spelling.
    RunResult r = updateDb(root, {"-u", "ALICE"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> expected;
    for (const auto &s : inReadOrder(kUvoUpgrade, {"s1.sh", "s2.sh"})) {
        expected.push_back(kUvoUpgrade + "/" + s + " " + uvoDb("alice"));
    }
    expected.push_back(kKavoIndex + " -P Lumora -R user:alice");
    EXPECT_EQ(runOrder(), expected);
    EXPECT_EQ(reindexed(root), std::vector<std::string>{"user:alice"});
    EXPECT_TRUE(root.calls(kPhotoSh).empty());
    EXPECT_TRUE(root.calls(kUpgrade + "/001.sh").empty());

    unlink(kOrder.c_str());
    r = updateDb(root, {"--user=carol"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.calls(kUvoUpgrade + "/s2.sh").back().argv[1], uvoDb("carol"));
    EXPECT_EQ(reindexed(root), (std::vector<std::string>{"user:alice", "user:carol"}));
}

TEST(UpdateDbUser, UnknownUserAndMissingDatabase) {
    ApplianceRoot root;
    script(root, kUvoUpgrade + "/s1.sh", 1);
    script(root, kKavoIndex, 0);
    root.addUser("bob");

    RunResult r = updateDb(root, {"-u", "NoSuchUser"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to fetch user (NoSuchUser)"));
    EXPECT_TRUE(root.calls(kUvoUpgrade + "/s1.sh").empty());

    // An over-long name names nobody: cut to the buffer it would name this other account.
    std::string cutName(492, 'b');
    uid_t cutUid = root.addUser(cutName, 0, 0, "/volume1/homes/cut");
    root.writeFile("/volume1/homes/cut/photo/.KAVOUVODB", "db", 0644, cutUid);
    std::string longName = cutName + std::string(108, 'b');
    r = updateDb(root, {"-u", longName});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to fetch user (" + longName + ")"));
    EXPECT_TRUE(root.calls(kUvoUpgrade + "/s1.sh").empty());

    root.clearLog();
    r = updateDb(root, {"-u", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        loggedLine(root, "KAVOPHOTO_UPDATE_UVODB", "Fail to access database: " + uvoDb("bob")));
    EXPECT_TRUE(root.logged("kavophoto_update_db: Failed to update UVO DB"));
    EXPECT_TRUE(root.calls(kUvoUpgrade + "/s1.sh").empty());
    EXPECT_TRUE(root.calls(kKavoIndex).empty());
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/bob/photo"));
}

TEST(UpdateDbUser, MissingUvoFolderIsLoggedNotFailed) {
    ApplianceRoot root;
    script(root, kKavoIndex, 0);
    addUserWithDb(root, "alice");
    RunResult r = updateDb(root, {"-u", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        loggedLine(root, "KAVOPHOTO_UPDATE_UVODB", "Failed to open dir [" + kUvoUpgrade + "]"));
    EXPECT_TRUE(root.logged("kavophoto_update_db: Failed to update UVO DB"));
    EXPECT_TRUE(root.calls(kKavoIndex).empty());
}

TEST(UpdateDbOptions, UsageAndOptionOrder) {
    ApplianceRoot root;
    script(root, kPhotoSh, 0);
    root.makeDir(kUpgrade);
    script(root, kUvoUpgrade + "/s1.sh", 0);
    addUserWithDb(root, "alice");

    // Each step runs after the ones before; the counts are the runs of the scripts so far.
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out;
        size_t photoRuns;
        size_t personalRuns;
    };
    const std::vector<Step> steps = {
        // No mode: the usage, and nothing runs.
        {{}, 255, kUsage, 0, 0},
        // An unknown option prints the usage and parsing goes on.
        {{"-x", "-a"}, 0, kUsage, 1, 1},
        // The last of -a and -u decides.
        {{"-u", "alice", "-a"}, 0, "", 2, 2},
        {{"-a", "-u", "alice"}, 0, "", 2, 3},
        // An earlier -u still has to name a user.
        {{"-u", "nosuchuser", "-a"}, 255, "", 2, 3},
        // -u without its argument: usage for the option, usage again for the missing mode.
        {{"-u"}, 255, kUsage + kUsage, 2, 3},
    };
    for (const Step &step : steps) {
        std::string shown = "kavophoto_update_db";
        for (const std::string &a : step.args) {
            shown += " " + a;
        }
        RunResult r = updateDb(root, step.args);
        EXPECT_EQ(r.status, step.status) << shown;
        EXPECT_EQ(r.out, step.out) << shown;
        EXPECT_EQ(root.calls(kPhotoSh).size(), step.photoRuns) << shown;
        EXPECT_EQ(root.calls(kUvoUpgrade + "/s1.sh").size(), step.personalRuns) << shown;
    }
}

TEST(UpdateDbUser, NameTooLongForTheReindexRequestIsNotCut) {
    ApplianceRoot root;
    script(root, kUvoUpgrade + "/s1.sh", 1);
    script(root, kKavoIndex, 0);
    // "user:" and 95 bytes do not fit the request; cut, it would name this other account.
    std::string longName(95, 'k');
    std::string cutName(94, 'k');
    uid_t uid = root.addUser(longName, 0, 0, "/volume1/homes/long");
    root.writeFile("/volume1/homes/long/photo/.KAVOUVODB", "db", 0644, uid);
    root.addUser(cutName, 0, 0, "/volume1/homes/cut");

    RunResult r = updateDb(root, {"-u", longName});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.calls(kUvoUpgrade + "/s1.sh").size(), 1u);
    EXPECT_TRUE(root.calls(kKavoIndex).empty());
    EXPECT_TRUE(root.logged(longName));

    // A name that fits exactly is re-indexed whole.
    uid = root.addUser(std::string(94, 'm'), 0, 0, "/volume1/homes/fits");
    root.writeFile("/volume1/homes/fits/photo/.KAVOUVODB", "db", 0644, uid);
    r = updateDb(root, {"-u", std::string(94, 'm')});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(reindexed(root), std::vector<std::string>{"user:" + std::string(94, 'm')});
}

namespace {

const std::string kAliceHome = "/volume1/homes/alice";

// bob with his database, alice with a photo folder and a database in another folder of her
// home, and the upgrade script that changes every database.
void prepareHomes(ApplianceRoot &root) {
    script(root, kPhotoSh, 0);
    root.makeDir(kUpgrade);
    script(root, kUvoUpgrade + "/s1.sh", 1);
    script(root, kKavoIndex, 0);
    addUserWithDb(root, "bob");
    uid_t alice = root.addUser("alice");
    gid_t aliceGid = root.gidOf("alice");
    root.makeDir(kAliceHome + "/photo", 0755, alice, aliceGid);
    root.makeDir(kAliceHome + "/store", 0755, alice, aliceGid);
    root.writeFile(kAliceHome + "/store/.KAVOUVODB", "db", 0644, alice, aliceGid);
}

}  // namespace

TEST(UpdateDbUser, OnlyAPlainFileInsideTheHomeIsHandedToTheScripts) {
    ApplianceRoot root;
    prepareHomes(root);
    uid_t alice = root.uidOf("alice");
    gid_t aliceGid = root.gidOf("alice");
    root.writeFile("/etc/kavo-secret", "secret", 0600);
    root.writeFile("/volume1/private/victim", "victim", 0600);

    // What alice may plant: at the database's place (the photo folder for "folder").
    struct Case {
        std::string name;
        std::string kind;    // link, folder-link, fifo, dir, hard
        std::string target;  // of a link or a hard link
    };
    const std::vector<Case> cases = {
        {"link out", "link", "/etc/kavo-secret"},
        {"link to another user's database", "link", "../../bob/photo/.KAVOUVODB"},
        {"dangling link out", "link", "/etc/kavo-missing"},
        {"photo folder linked to another home", "folder-link", "/volume1/homes/bob/photo"},
        {"fifo", "fifo", ""},
        {"folder", "dir", ""},
        {"hard link", "hard", "/volume1/private/victim"},
    };
    const std::string db = uvoDb("alice");
    const std::string photo = kAliceHome + "/photo";
    for (const Case &c : cases) {
        if (c.kind == "link") {
            ASSERT_EQ(symlink(c.target.c_str(), db.c_str()), 0);
        } else if (c.kind == "folder-link") {
            ASSERT_EQ(rmdir(photo.c_str()), 0);
            ASSERT_EQ(symlink(c.target.c_str(), photo.c_str()), 0);
        } else if (c.kind == "fifo") {
            ASSERT_EQ(mkfifo(db.c_str(), 0666), 0);
        } else if (c.kind == "dir") {
            root.makeDir(db, 0755, alice, aliceGid);
        } else {
            ASSERT_EQ(link(c.target.c_str(), db.c_str()), 0);
        }
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"-u", "alice"}, std::vector<std::string>{"-a"}}) {
            root.clearLog();
            unlink(kOrder.c_str());
            lumora::test::RunOptions opt;
            opt.timeoutSeconds = 10;
            std::vector<std::string> argv = {program("kavophoto_update_db")};
            argv.insert(argv.end(), args.begin(), args.end());
            RunResult r = root.run(argv, opt);
            EXPECT_EQ(r.status, 0) << c.name << " " << args[0];
            for (const std::string &line : runOrder()) {
                EXPECT_EQ(line.find("alice"), std::string::npos) << c.name << ": " << line;
                EXPECT_EQ(line.find("/etc/"), std::string::npos) << c.name << ": " << line;
                EXPECT_EQ(line.find("victim"), std::string::npos) << c.name << ": " << line;
            }
            EXPECT_TRUE(root.logged(db)) << c.name << " " << args[0];
        }
        EXPECT_EQ(ApplianceRoot::readFile("/etc/kavo-secret"), "secret");
        EXPECT_FALSE(ApplianceRoot::exists("/etc/kavo-missing"));
        if (c.kind == "folder-link") {
            ASSERT_EQ(unlink(photo.c_str()), 0);
            root.makeDir(photo, 0755, alice, aliceGid);
        } else if (c.kind == "dir") {
            ASSERT_EQ(rmdir(db.c_str()), 0);
        } else {
            ASSERT_EQ(unlink(db.c_str()), 0);
        }
    }
    // Bob was re-indexed for his own database only, never alice.
    for (const std::string &user : reindexed(root)) {
        EXPECT_EQ(user, "user:bob");
    }
}

TEST(UpdateDbUser, LinksInsideTheHomeLeadToTheDatabase) {
    ApplianceRoot root;
    prepareHomes(root);
    const std::string photo = kAliceHome + "/photo";

    // The photo folder, or the database itself, linking elsewhere inside her home.
    const std::vector<std::pair<std::string, std::string>> inside = {
        {photo, "store"},
        {uvoDb("alice"), "../store/.KAVOUVODB"},
    };
    for (const auto &[at, target] : inside) {
        if (at == photo) {
            ASSERT_EQ(rmdir(at.c_str()), 0);
        }
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
        unlink(kOrder.c_str());
        RunResult r = updateDb(root, {"-u", "alice"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(runOrder(), (std::vector<std::string>{
                                  kUvoUpgrade + "/s1.sh " + kAliceHome + "/store/.KAVOUVODB",
                                  kKavoIndex + " -P Lumora -R user:alice"}))
            << at;
        ASSERT_EQ(unlink(at.c_str()), 0);
        if (at == photo) {
            root.makeDir(at, 0755, root.uidOf("alice"), root.gidOf("alice"));
        }
    }
}

TEST(UpdateDbUser, ANameCannotForgeLogLines) {
    ApplianceRoot root;
    RunResult r = updateDb(root, {"-u", "ghost\nkavophoto_update_db: forged"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to fetch user (ghost\\x0Akavophoto_update_db: forged)"));
    for (const std::string &line : root.logLines()) {
        EXPECT_NE(line.rfind("kavophoto_update_db: forged", 0), 0u) << line;
    }
}
