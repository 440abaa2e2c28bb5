// kavophoto_acl_pgsql: the caller check, the album-folder location and the add/remove of one
// entry, run as root, as "postgres" through a setuid-root copy, and as another account.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunOptions;
using lumora::test::RunResult;
using namespace acltest;

namespace {

const std::string kShare = "/volume1/photo";
const std::string kHook = "/usr/kavo/bin/kavophoto_acl_pgsql";  // setuid-root copy

const std::string kUsage =
    "USAGE : kavophoto_acl_pgsql --add sharename [user|group] uid [browse|upload|manage]\n"
    "USAGE : kavophoto_acl_pgsql --add sharename everyone\n"
    "USAGE : kavophoto_acl_pgsql --del sharename [user|group] gid [browse|upload|manage]\n"
    "USAGE : kavophoto_acl_pgsql --del sharename everyone\n"
    "sharename = \"/\" or \"album1/album2\"\n";

class Hook : public ::testing::Test {
   protected:
    void SetUp() override {
        root.addLumoraAccounts();
        alice = root.addUser("alice");
        bob = root.addUser("bob");
        friends = root.addGroup("friends", 0, {"alice"});
        root.addShare("photo", kShare);
        root.makeDir(kShare + "/album1/sub");
        root.makeDir(kShare + "/album2");
        root.writeFile(kShare + "/album2/a.jpg", "jpeg");
        writeBaseAcl(kShare);
        // The setuid-root copy that the database account runs.
        root.writeFile(kHook, ApplianceRoot::readFile(program("kavophoto_acl_pgsql")), 0755);
        ASSERT_EQ(chown(kHook.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(kHook.c_str(), 04755), 0);
    }

    RunResult hook(const std::vector<std::string> &args, const std::string &as = "",
                   const std::string &cwd = "/") {
        std::vector<std::string> argv = {as.empty() ? program("kavophoto_acl_pgsql") : kHook};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions opt;
        opt.asUser = as;
        opt.cwd = cwd;
        return root.run(argv, opt);
    }

    bool hookLogged() {
        for (const auto &line : root.logLines()) {
            if (line.rfind("kavophoto_acl_pgsql:", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    ApplianceRoot root;
    uid_t alice = 0, bob = 0;
    gid_t friends = 0;
};

TEST_F(Hook, RootAndPostgresAddEntriesOtherAccountsAreTurnedAway) {
    auto r = hook({"--add", "album1", "user", std::to_string(alice), "browse"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    Acl a = aclOf(kShare + "/album1");
    EXPECT_TRUE(a.present);
    EXPECT_TRUE(a.inherit);
    EXPECT_EQ(a.entries, (std::vector<Entry>{albumEntry(1, alice, kBrowse)}));

    // The database account, through the setuid-root install; its working folder holds an
    // "album1" of its own, which must not be the one changed.
    root.makeDir("/volume1/decoy/album1", 0777);
    r = hook({"--add", "album1", "user", std::to_string(bob), "upload"}, "postgres",
             "/volume1/decoy");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse), albumEntry(1, bob, kUpload)}));
    EXPECT_FALSE(aclOf("/volume1/decoy/album1").present);

    // Any other account: refused on standard output without a line end, whatever it asks.
    uid_t pg = root.uidOf("postgres");
    std::string refusal =
        "uid not match[" + std::to_string(alice) + "][" + std::to_string(pg) + "]";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--del", "album1", "user", std::to_string(alice), "browse"},
             {"--add", "/", "everyone"},
             {"--bogus"},
             {}}) {
        root.clearLog();
        r = hook(args, "alice");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, refusal);
        EXPECT_TRUE(root.logged("kavophoto_acl_pgsql:")) << "no log line";
        EXPECT_TRUE(root.logged(refusal));
    }
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse), albumEntry(1, bob, kUpload)}));
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
}

TEST_F(Hook, WithoutThePostgresAccountNothingRuns) {
    std::string passwd = ApplianceRoot::readFile("/etc/passwd");
    std::string kept;
    size_t pos = 0;
    while (pos < passwd.size()) {
        size_t end = passwd.find('\n', pos);
        std::string line = passwd.substr(pos, end == std::string::npos ? end : end - pos + 1);
        if (line.rfind("postgres:", 0) != 0) {
            kept += line;
        }
        pos = end == std::string::npos ? passwd.size() : end + 1;
    }
    root.writeFile("/etc/passwd", kept);
    auto r = hook({"--add", "/", "everyone"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(root.logged("failed to get postgres info"));
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
}

TEST_F(Hook, EveryoneOnTheShareRootAndOnAnAlbum) {
    auto r = hook({"--add", "/", "everyone"});
    ASSERT_EQ(r.status, 0);
    std::vector<Entry> want = baseEntries(root);
    want.push_back(albumEntry(8, kEveryoneId, kBrowse));
    EXPECT_EQ(aclOf(kShare).entries, want);

    r = hook({"--add", "album1/sub", "everyone"}, "postgres");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(aclOf(kShare + "/album1/sub").entries,
              (std::vector<Entry>{albumEntry(8, kEveryoneId, kBrowse)}));
    // Every level between the root and the album now inherits.
    EXPECT_TRUE(aclOf(kShare + "/album1").inherit);
    EXPECT_TRUE(aclOf(kShare + "/album1").entries.empty());

    r = hook({"--del", "/", "everyone"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
}

TEST_F(Hook, DelEveryoneRemovesTheEntryWrittenFromText) {
    addAceText(kShare + "/album1", "everyone:*:allow:r-x---a-R-c--:f--n");
    addEntry(kShare + "/album1", albumEntry(1, alice, kBrowse));
    ASSERT_EQ(aclOf(kShare + "/album1").entries.size(), 2u);
    auto r = hook({"--del", "album1", "everyone"}, "postgres");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse)}));
}

TEST_F(Hook, AddThenDelLeavesTheEntriesAsTheyWere) {
    const std::string album = kShare + "/album1";
    addEntry(album, albumEntry(1, bob, kManage));
    addEntry(album, albumEntry(8, kEveryoneId, kBrowse));
    std::string before = rawAcl(album);
    for (const std::string level : {"browse", "upload", "manage"}) {
        ASSERT_EQ(hook({"--add", "album1", "user", std::to_string(alice), level}).status, 0);
        EXPECT_NE(rawAcl(album), before);
        ASSERT_EQ(hook({"--del", "album1", "user", std::to_string(alice), level}).status, 0);
        EXPECT_EQ(rawAcl(album), before) << level;
    }
    // Removing a right that is not there changes nothing either.
    ASSERT_EQ(hook({"--del", "album1", "user", std::to_string(alice), "manage"}).status, 0);
    EXPECT_EQ(rawAcl(album), before);
}

TEST_F(Hook, GroupRightsAreGroupEntries) {
    const std::string album = kShare + "/album1";
    // A user whose uid equals the group's gid must not receive the group's right.
    uid_t twin = root.addUser("twin", friends, friends + 1000);
    ASSERT_EQ(hook({"--add", "album1", "group", std::to_string(friends), "manage"}).status, 0);
    ASSERT_EQ(hook({"--add", "album1", "user", std::to_string(twin), "manage"}).status, 0);
    EXPECT_EQ(aclOf(album).entries,
              (std::vector<Entry>{albumEntry(4, friends, kManage), albumEntry(1, twin, kManage)}));
    ASSERT_EQ(hook({"--del", "album1", "group", std::to_string(friends), "manage"}).status, 0);
    EXPECT_EQ(aclOf(album).entries, (std::vector<Entry>{albumEntry(1, twin, kManage)}));
    ASSERT_EQ(hook({"--add", "album1", "group", std::to_string(friends), "browse"}).status, 0);
    ASSERT_EQ(hook({"--del", "album1", "user", std::to_string(twin), "manage"}).status, 0);
    EXPECT_EQ(aclOf(album).entries, (std::vector<Entry>{albumEntry(4, friends, kBrowse)}));
}

TEST_F(Hook, AlbumFoldersOutsideTheShareOrNotFoldersAreRefused) {
    root.makeDir("/volume1/outside");
    root.makeDir("/volume1/photo2");
    ASSERT_EQ(symlink("/volume1/outside", (kShare + "/escape").c_str()), 0);
    struct Case {
        std::string album, message;
    } cases[] = {
        {"nosuch", "failed to get realpath[nosuch]"},
        {"../outside", "Path doesn't match [/volume1/photo][/volume1/outside]"},
        {"album1/../../photo2", "Path doesn't match [/volume1/photo][/volume1/photo2]"},
        {"escape", "Path doesn't match [/volume1/photo][/volume1/outside]"},
        {"album2/a.jpg", "[/volume1/photo/album2/a.jpg] is not dir"},
        {"album1/../album2", "[album1/../album2]"},
    };
    for (const auto &c : cases) {
        root.clearLog();
        auto r = hook({"--add", c.album, "everyone"}, "postgres");
        EXPECT_EQ(r.status, 255) << c.album;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(root.logged(c.message)) << c.album;
        r = hook({"--add", c.album, "user", std::to_string(alice), "browse"});
        EXPECT_EQ(r.status, 255) << c.album;
    }
    EXPECT_FALSE(aclOf("/volume1/outside").present);
    EXPECT_FALSE(aclOf("/volume1/photo2").present);
    EXPECT_FALSE(aclOf(kShare + "/album2/a.jpg").present);
    EXPECT_FALSE(aclOf(kShare + "/album2").present);
    // An empty album name fails without a message.
    root.clearLog();
    EXPECT_EQ(hook({"--add", "", "everyone"}).status, 255);
    EXPECT_FALSE(hookLogged());
}

TEST_F(Hook, AShareWithoutAclIsRefused) {
    ASSERT_EQ(removexattr(kShare.c_str(), SZ_KAVO_ACL_XATTR), 0);
    auto r = hook({"--add", "album1", "user", std::to_string(alice), "browse"}, "postgres");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("photo is not acl[/volume1/photo]"));
    EXPECT_FALSE(aclOf(kShare + "/album1").present);
    EXPECT_FALSE(aclOf(kShare).present);
}

TEST_F(Hook, DelOnAFolderWithoutEntriesSucceeds) {
    auto r = hook({"--del", "album1/sub", "user", std::to_string(alice), "browse"});
    EXPECT_EQ(r.status, 0);
    Acl a = aclOf(kShare + "/album1/sub");
    EXPECT_TRUE(a.present);
    EXPECT_TRUE(a.inherit);
    EXPECT_TRUE(a.entries.empty());
    EXPECT_EQ(hook({"--del", "/", "everyone"}).status, 0);
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
}

TEST_F(Hook, BadLevelsAndIdsAddNoEntry) {
    root.clearLog();
    for (const std::string level : {"read", "Browse", "", "browse "}) {
        auto r = hook({"--add", "album1", "user", std::to_string(alice), level});
        EXPECT_EQ(r.status, 255) << level;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(hookLogged());
    // The folder is located before the level is read: it now inherits, and holds no entry.
    Acl located = aclOf(kShare + "/album1");
    EXPECT_TRUE(located.present && located.inherit && located.entries.empty());
    // So a folder that cannot be located is reported, whatever the level.
    root.clearLog();
    EXPECT_EQ(hook({"--add", "nosuch", "user", std::to_string(alice), "read"}).status, 255);
    EXPECT_TRUE(root.logged("failed to get realpath[nosuch]"));
    // Ids that are no decimal 32-bit number would otherwise turn into uid 0.
    for (const std::string id :
         {"abc", "12x", "", "-1", " 5", "4294967295", "4294967296", "99999999999999999999999"}) {
        root.clearLog();
        auto r = hook({"--add", "album1", "user", id, "browse"}, "postgres");
        EXPECT_EQ(r.status, 255) << id;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(root.logged("[" + id + "]")) << id;
        EXPECT_EQ(hook({"--del", "album1", "group", id, "browse"}).status, 255) << id;
    }
    EXPECT_TRUE(aclOf(kShare + "/album1").entries.empty());
    // "0" is a real id (root) and is taken as it is.
    EXPECT_EQ(hook({"--add", "album1", "user", "0", "browse"}).status, 0);
    EXPECT_EQ(aclOf(kShare + "/album1").entries, (std::vector<Entry>{albumEntry(1, 0, kBrowse)}));
}

TEST_F(Hook, WrongCommandLinesPrintTheUsage) {
    for (const auto &args : std::vector<std::vector<std::string>>{
             {},
             {"--add"},
             {"--add", "album1"},
             {"--add", "album1", "user"},
             {"--add", "album1", "nobody"},
             {"--mod", "album1", "everyone"},
             {"--add", "album1", "user", "1001"},
             {"--add", "album1", "someone", "1001", "browse"},
             {"--del", "album1", "everyone", "extra"},
             {"--add", "album1", "user", "1001", "browse", "extra"}}) {
        auto r = hook(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kUsage);
    }
    EXPECT_FALSE(aclOf(kShare + "/album1").present);
}

}  // namespace

// A removal reads, edits and writes the folder's ACL; entries that other processes add to the
// same folder meanwhile must survive it.
TEST_F(Hook, RemovalLosesNoEntryAddedMeanwhile) {
    const int kWriters = 3, kEach = 60;
    const std::string folder = kShare + "/album1";
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i) {
                KAVOACE ace = {};
                ace.type = KAVO_ACE_USER;
                ace.id = 50000 + w * 1000 + i;
                ace.perm = kBrowse;
                ace.inherit = kAlbumInherit;
                ace.isAllow = 1;
                if (KAVOACLAdd(folder.c_str(), &ace) != 0) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    // Meanwhile the database grants and takes back alice's right again and again.
    for (int i = 0; i < 25; ++i) {
        hook({"--add", "album1", "user", std::to_string(alice), "browse"});
        hook({"--del", "album1", "user", std::to_string(alice), "browse"});
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Acl a = aclOf(folder);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            Entry want = albumEntry(1, 50000 + w * 1000 + i, kBrowse);
            EXPECT_TRUE(std::find(a.entries.begin(), a.entries.end(), want) != a.entries.end())
                << "lost entry for id " << want.id;
        }
    }
    EXPECT_TRUE(std::find(a.entries.begin(), a.entries.end(), albumEntry(1, alice, kBrowse)) ==
                a.entries.end());
}
