// kavophoto_acl full conversion against a real gallery database: owners, every folder's ACL,
// the settings key, the share flag, the log, the pid file and the background command.
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"
#include "kavocore.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;
using lumora::test::Swapper;
using namespace acltest;

namespace {

const std::string kShare = "/volume1/photo";
const std::string kSettings = "/var/packages/Lumora/etc/settings.conf";
const std::string kTrigger = "/var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh";
const std::string kPidFile = "/var/run/kavophoto_acl_convert.pid";

// The pid of a process that has ended.
pid_t endedPid() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    EXPECT_GT(pid, 0);
    waitpid(pid, nullptr, 0);
    return pid;
}

class Convert : public ::testing::Test {
   protected:
    void SetUp() override {
        root.useDatabase();
        root.addLumoraAccounts();
        lumora = root.uidOf("Lumora");
        lumoraGid = root.gidOf("Lumora");
        alice = root.addUser("alice");
        bob = root.addUser("bob");
        carol = root.addUser("carol");
        friends = root.addGroup("friends", 0, {"alice", "bob"});
        root.addShare("photo", kShare);
        root.standIn(kTrigger);
        root.writeFile(kSettings, "runpersonallumora=\"yes\"\nconvertphotoacl=\"old\"\n");

        // The gallery, all owned by root.
        for (const std::string f :
             {"/top.jpg", "/album1/a.jpg", "/album1/sub/b.jpg", "/album1/sub/deep/c.jpg",
              "/album2/d.jpg", "/public1/e.jpg", "/#recycle/old.jpg", "/#recycle/olddir/f.jpg",
              "/@eaDir/top.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg",
              "/album1/@eaDir/a.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "/album1/sub/#recycle/g.jpg",
              "/album2/@tmp/h.tmp"}) {
            root.writeFile(kShare + f, "data");
        }
        root.writeFile("/volume1/outside/secret.txt", "secret", 0600);
        ASSERT_EQ(symlink("/volume1/outside", (kShare + "/album1/dirlink").c_str()), 0);
        ASSERT_EQ(symlink("/volume1/outside/secret.txt", (kShare + "/album2/filelink").c_str()), 0);
        ASSERT_EQ(chown(kShare.c_str(), 0, 0), 0);

        root.sql(kAlbumSchema);
        root.sql(
            "INSERT INTO photo_share (shareid, sharename, public, is_subdir) VALUES "
            "(1, 'album1', false, false), (2, 'album1/sub', false, true), "
            "(3, 'album2', false, false), (4, 'public1', true, false), "
            "(5, 'gone', false, false), (6, '/', false, false);");
        root.sql("INSERT INTO photo_access_right_for_nmx_account VALUES (" + id(alice) + ", 1), (" +
                 id(bob) + ", 3), (" + id(alice) + ", 5), (" + id(carol) + ", 6);");
        root.sql("INSERT INTO photo_upload_right_for_nmx_account VALUES (" + id(bob) + ", 2), (" +
                 id(alice) + ", 1);");
        root.sql("INSERT INTO photo_manage_right_for_nmx_account VALUES (" + id(carol) + ", 3);");
        root.sql("INSERT INTO photo_group_permission_for_nmx_account VALUES (" + id(friends) +
                 ", 6, 3), (" + id(friends) + ", 0, 1), (" + id(friends) + ", 1, 4);");
    }

    static std::string id(unsigned v) {
        return std::to_string(v);
    }

    RunResult acl(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {program("kavophoto_acl")};
        argv.insert(argv.end(), args.begin(), args.end());
        return root.run(argv);
    }

    std::string convertKey() {
        char buf[64] = "";
        int r = VLIBCFileGetKeyValue(kSettings.c_str(), "convertphotoacl", buf, sizeof buf, 0);
        return r > 0 ? std::string(buf) : "<absent:" + std::to_string(r) + ">";
    }

    std::string hideUnreadable() {
        char buf[64] = "";
        int r = VLIBCFileGetSectionValue("/usr/kavo/etc/shares.conf", "photo", "hide_unreadable",
                                         buf, sizeof buf);
        return r >= 0 ? std::string(buf) : "<absent>";
    }

    // What a finished conversion of the gallery leaves.
    void expectConverted() {
        Acl top = aclOf(kShare);
        std::vector<Entry> want = baseEntries(root);
        want.push_back(albumEntry(1, carol, kBrowse));  // the row for "/"
        EXPECT_EQ(top.entries, want);
        EXPECT_FALSE(top.inherit);
        EXPECT_EQ(ownerOf(kShare), lumora);
        EXPECT_EQ(groupOf(kShare), lumoraGid);

        EXPECT_EQ(
            aclOf(kShare + "/album1").entries,
            (std::vector<Entry>{albumEntry(1, alice, kBrowse), albumEntry(1, alice, kUpload)}));
        EXPECT_EQ(aclOf(kShare + "/album1/sub").entries,
                  (std::vector<Entry>{albumEntry(1, bob, kUpload)}));
        EXPECT_EQ(
            aclOf(kShare + "/album2").entries,
            (std::vector<Entry>{albumEntry(1, bob, kBrowse), albumEntry(1, carol, kManage),
                                albumEntry(4, friends, kUpload), albumEntry(4, friends, kManage)}));
        EXPECT_EQ(aclOf(kShare + "/public1").entries,
                  (std::vector<Entry>{albumEntry(4, friends, kBrowse),
                                      albumEntry(8, kEveryoneId, kBrowse)}));

        // Everything reached below the root: re-owned and inheriting, no other entries.
        for (const std::string p :
             {"/top.jpg", "/album1", "/album1/a.jpg", "/album1/sub", "/album1/sub/b.jpg",
              "/album1/sub/deep", "/album1/sub/deep/c.jpg", "/album2", "/album2/d.jpg", "/public1",
              "/public1/e.jpg"}) {
            Acl a = aclOf(kShare + p);
            EXPECT_TRUE(a.present && a.inherit) << p;
            EXPECT_EQ(ownerOf(kShare + p), lumora) << p;
            EXPECT_EQ(groupOf(kShare + p), lumoraGid) << p;
        }
        for (const std::string p :
             {"/album1/a.jpg", "/album1/sub/deep", "/album1/sub/deep/c.jpg", "/top.jpg"}) {
            EXPECT_TRUE(aclOf(kShare + p).entries.empty()) << p;
        }
        // Skipped at every depth, with everything inside; links neither changed nor followed.
        for (const std::string p :
             {"/#recycle", "/#recycle/old.jpg", "/#recycle/olddir", "/#recycle/olddir/f.jpg",
              "/@eaDir", "/@eaDir/top.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "/album1/@eaDir",
              "/album1/@eaDir/a.jpg", "/album1/sub/#recycle", "/album1/sub/#recycle/g.jpg",
              "/album2/@tmp", "/album2/@tmp/h.tmp", "/album1/dirlink", "/album2/filelink"}) {
            EXPECT_FALSE(aclOf(kShare + p).present) << p;
            EXPECT_EQ(ownerOf(kShare + p), 0u) << p;
        }
        for (const std::string p : {"/volume1/outside", "/volume1/outside/secret.txt"}) {
            EXPECT_FALSE(aclOf(p).present) << p;
            EXPECT_EQ(ownerOf(p), 0u) << p;
        }
    }

    ApplianceRoot root;
    uid_t lumora = 0, alice = 0, bob = 0, carol = 0;
    gid_t lumoraGid = 0, friends = 0;
};

TEST_F(Convert, FullConversionOfTheGallery) {
    // An ACL the root carried before is replaced, not extended.
    addEntry(kShare, albumEntry(1, bob, kManage));
    auto r = acl({"--convert"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    expectConverted();

    EXPECT_EQ(convertKey(), "finish");
    EXPECT_NE(ApplianceRoot::readFile(kSettings).find("runpersonallumora=\"yes\"\n"),
              std::string::npos);
    EXPECT_EQ(hideUnreadable(), "yes");
    auto calls = root.calls(kTrigger);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{kTrigger, "a"}));

    // The missing album is logged twice and the conversion still succeeds.
    std::string row = "[/volume1/photo/gone][" + id(alice) + "][117]";
    EXPECT_TRUE(root.logged("kavophoto_acl:"));
    EXPECT_TRUE(root.logged("Fail to add acl to " + row));
    EXPECT_TRUE(root.logged("failed to addUserACL" + row));
    // The group row with permission 0 adds nothing and logs nothing.
    for (const auto &line : root.logLines()) {
        EXPECT_EQ(line.find("addGroupACL"), std::string::npos) << line;
    }
    // The pid file holds the conversion's pid.
    std::string pid = ApplianceRoot::readFile(kPidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(pid.find_first_not_of("0123456789"), pid.size() - 1);
    EXPECT_EQ(pid.back(), '\n');
}

TEST_F(Convert, ConvertingTwiceGivesTheSameAclsAndDeletedRightsDisappear) {
    ASSERT_EQ(acl({"--convert"}).status, 0);
    auto first = snapshot("/volume1");
    ASSERT_EQ(acl({"--convert"}).status, 0);
    EXPECT_EQ(snapshot("/volume1"), first);

    root.sql("DELETE FROM photo_upload_right_for_nmx_account WHERE shareid = 1;");
    root.sql("UPDATE photo_share SET public = false WHERE shareid = 4;");
    root.sql("DELETE FROM photo_access_right_for_nmx_account WHERE shareid = 6;");
    ASSERT_EQ(acl({"--convert"}).status, 0);
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse)}));
    EXPECT_EQ(aclOf(kShare + "/public1").entries,
              (std::vector<Entry>{albumEntry(4, friends, kBrowse)}));
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
}

TEST_F(Convert, TheHookRemovesTheEveryoneEntryOfTheConversion) {
    ASSERT_EQ(acl({"--convert"}).status, 0);
    auto r = root.run({program("kavophoto_acl_pgsql"), "--del", "public1", "everyone"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(aclOf(kShare + "/public1").entries,
              (std::vector<Entry>{albumEntry(4, friends, kBrowse)}));
    // And a group right the hook removes is the one the conversion wrote.
    r = root.run(
        {program("kavophoto_acl_pgsql"), "--del", "album2", "group", id(friends), "manage"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(aclOf(kShare + "/album2").entries,
              (std::vector<Entry>{albumEntry(1, bob, kBrowse), albumEntry(1, carol, kManage),
                                  albumEntry(4, friends, kUpload)}));
}

TEST_F(Convert, AlbumNamesOutsideTheShareGetNoRights) {
    root.makeDir("/volume1/photo2");
    root.makeDir("/volume1/outside/album");
    ASSERT_EQ(symlink("/volume1/outside/album", (kShare + "/linked").c_str()), 0);
    root.sql(
        "INSERT INTO photo_share (shareid, sharename, public) VALUES "
        "(7, '../photo2', true), (8, 'linked', true), (9, 'album1/../../outside', false), "
        "(11, 'album1/../album2', true), (12, repeat('a', 5000), true);");
    root.sql("INSERT INTO photo_access_right_for_nmx_account VALUES (" + id(bob) + ", 7), (" +
             id(bob) + ", 9);");
    root.sql("INSERT INTO photo_group_permission_for_nmx_account VALUES (" + id(friends) +
             ", 7, 8);");
    auto r = acl({"--convert"});
    EXPECT_EQ(r.status, 0);
    for (const std::string p : {"/volume1/photo2", "/volume1/outside", "/volume1/outside/album"}) {
        EXPECT_FALSE(aclOf(p).present) << p;
    }
    EXPECT_TRUE(
        root.logged("failed to addUserACL[/volume1/photo/../photo2][" + id(bob) + "][117]"));
    EXPECT_TRUE(
        root.logged("failed to addGroupACL[/volume1/photo/linked][" + id(friends) + "][7]"));
    EXPECT_TRUE(root.logged(
        "failed to addACL[/volume1/photo/linked][everyone:*:allow:r-x---a-R-c--:f--n]"));
    // A name with ".." is refused even where it would stay inside the share.
    EXPECT_TRUE(root.logged("[album1/../album2]"));
    // A name longer than any path is refused, not cut down to another folder's name.
    EXPECT_TRUE(root.logged("too long"));
    expectConverted();
}

TEST_F(Convert, AFailingPassLeavesRunningAndTheWorkDoneSoFar) {
    root.sql("DROP TABLE photo_group_permission_for_nmx_account;");
    auto r = acl({"--convert"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to exec ("));
    EXPECT_TRUE(root.logged("failed to applyGroupPerm[/volume1/photo]"));
    EXPECT_EQ(convertKey(), "running");
    EXPECT_EQ(ownerOf(kShare + "/album1/sub/b.jpg"), lumora);
    EXPECT_TRUE(aclOf(kShare + "/album1/sub/b.jpg").inherit);
    EXPECT_EQ(aclOf(kShare + "/album1/sub").entries,
              (std::vector<Entry>{albumEntry(1, bob, kUpload)}));
    EXPECT_TRUE(aclOf(kShare + "/public1").entries.empty());
}

TEST_F(Convert, WithoutTheDatabaseTheFirstPassFails) {
    root.dropDatabaseAccess();
    auto r = acl({"--convert"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to connect to database"));
    EXPECT_TRUE(
        root.logged("failed to applyUserPerm[/volume1/photo][photo_access_right_for_nmx_account]"));
    EXPECT_EQ(convertKey(), "running");
    std::vector<Entry> want = baseEntries(root);
    EXPECT_EQ(aclOf(kShare).entries, want);
}

TEST_F(Convert, ABadUserQueryIsLoggedWithTheQuery) {
    root.sql("DROP TABLE photo_upload_right_for_nmx_account;");
    EXPECT_EQ(acl({"--convert"}).status, 255);
    EXPECT_TRUE(root.logged(
        "Failed to exec [SELECT userid, sharename FROM photo_upload_right_for_nmx_account INNER "
        "JOIN photo_share ON photo_upload_right_for_nmx_account.shareid = photo_share.shareid] ("));
    EXPECT_TRUE(
        root.logged("failed to applyUserPerm[/volume1/photo][photo_upload_right_for_nmx_account]"));
    // The browse pass ran before.
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse)}));
}

TEST_F(Convert, WithoutTheServiceAccountNothingChanges) {
    std::string passwd = ApplianceRoot::readFile("/etc/passwd");
    size_t at = passwd.find("\nLumora:");
    ASSERT_NE(at, std::string::npos);
    passwd.erase(at + 1, passwd.find('\n', at + 1) - at);
    root.writeFile("/etc/passwd", passwd);
    EXPECT_EQ(acl({"--convert"}).status, 255);
    EXPECT_TRUE(root.logged("ERROR: getpwnam(Lumora) ["));
    EXPECT_TRUE(root.logged("Failed to get photo ugid"));
    EXPECT_EQ(convertKey(), "old");
    EXPECT_FALSE(aclOf(kShare).present);
}

TEST_F(Convert, ALiveConversionInThePidFileIsNotJoined) {
    root.writeFile(kPidFile, std::to_string(getpid()) + "\n");
    auto r = acl({"--convert"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(convertKey(), "old");
    EXPECT_FALSE(aclOf(kShare).present);
    EXPECT_TRUE(root.calls(kTrigger).empty());
    EXPECT_EQ(ApplianceRoot::readFile(kPidFile), std::to_string(getpid()) + "\n");

    // A pid file of a conversion that has ended is no obstacle.
    root.writeFile(kPidFile, std::to_string(endedPid()) + "\n");
    ASSERT_EQ(acl({"--convert"}).status, 0);
    EXPECT_EQ(convertKey(), "finish");
}

TEST_F(Convert, TheLockOfARunningConversionIsHonoured) {
    // A conversion holds the pid file's lock and has just not written its pid yet: the file
    // still names a process that has ended.
    root.writeFile(kPidFile, std::to_string(endedPid()) + "\n");
    int fd = open(kPidFile.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    auto r = acl({"--convert"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(convertKey(), "old");
    EXPECT_TRUE(root.calls(kTrigger).empty());
    EXPECT_FALSE(aclOf(kShare).present);
    close(fd);
    ASSERT_EQ(acl({"--convert"}).status, 0);
    EXPECT_EQ(convertKey(), "finish");
}

TEST_F(Convert, ConversionsStartedTogetherRunOnce) {
    root.standIn(kTrigger, 0, "sleep 2");
    std::string prog = program("kavophoto_acl");
    std::string script = "s=0; pids=''; for i in 1 2 3 4; do " + prog +
                         " --convert & pids=\"$pids $!\"; done; "
                         "for p in $pids; do wait $p || s=1; done; exit $s";
    auto r = root.run({"/bin/sh", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(root.calls(kTrigger).size(), 1u);
    EXPECT_EQ(convertKey(), "finish");
    expectConverted();
}

TEST_F(Convert, BackgroundConversionReturnsBeforeTheWorkEnds) {
    root.standIn(kTrigger, 0,
                 "i=0; while [ ! -e /tmp/go ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done");
    auto r = acl({"--background_convert"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // The conversion is held inside the trigger script: started, not finished.
    ASSERT_TRUE(eventually([&] { return root.calls(kTrigger).size() == 1; }));
    EXPECT_EQ(convertKey(), "running");
    EXPECT_EQ(ownerOf(kShare + "/album1/a.jpg"), 0u);
    // A second full conversion meanwhile does nothing and succeeds.
    EXPECT_EQ(acl({"--convert"}).status, 0);
    root.writeFile("/tmp/go", "");
    ASSERT_TRUE(eventually([&] { return convertKey() == "finish"; }));
    expectConverted();
    EXPECT_EQ(root.calls(kTrigger).size(), 1u);
}

TEST_F(Convert, BackgroundConversionFailureIsOnlyLogged) {
    root.sql("DROP TABLE photo_share CASCADE;");
    auto r = acl({"--background_convert"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(eventually([&] { return root.logged("failed to convert photo"); }));
    EXPECT_EQ(convertKey(), "running");
}

// ---- Descriptors, concurrency and room ---------------------------------------------------

TEST_F(Convert, TheWalkNeverFollowsAFolderSwappedForALink) {
    writeBaseAcl("/volume1/outside");
    root.writeFile("/volume1/outside/sub/y.jpg", "secret", 0600);
    auto before = snapshot("/volume1/outside");
    {
        Swapper swap(kShare + "/album1/sub", kShare + "/album1/dirlink", 10);
        for (int i = 0; i < 20; i++) {
            EXPECT_EQ(acl({"--convert"}).status, 0);
        }
    }
    EXPECT_EQ(snapshot("/volume1/outside"), before);
    ASSERT_EQ(acl({"--convert"}).status, 0);
    EXPECT_EQ(ownerOf(kShare + "/album1/sub/deep/c.jpg"), lumora);
    EXPECT_EQ(aclOf(kShare + "/album1/sub").entries,
              (std::vector<Entry>{albumEntry(1, bob, kUpload)}));
}

// A psql session kept open across other work: a transaction of the front end.
class PsqlSession {
   public:
    PsqlSession() {
        pipe_ = popen(
            "exec /usr/bin/psql -X -q -A -t -h /run/postgresql -U postgres -d photo "
            "-v ON_ERROR_STOP=1 >/tmp/psql.out 2>&1",
            "w");
        EXPECT_NE(pipe_, nullptr);
    }
    ~PsqlSession() {
        close();
    }
    // Sends statements and, behind them, a marker that psql prints once they have run.
    void send(const std::string &statements, const std::string &marker) {
        fprintf(pipe_, "%s\n\\echo %s\n", statements.c_str(), marker.c_str());
        fflush(pipe_);
    }
    static bool done(const std::string &marker) {
        return ApplianceRoot::readFile("/tmp/psql.out").find(marker) != std::string::npos;
    }
    // Sends statements and waits until they have run; false when they do not end.
    bool run(const std::string &statements, const std::string &marker) {
        send(statements, marker);
        return eventually([&] { return done(marker); });
    }
    void close() {
        if (pipe_) {
            fputs("\\q\n", pipe_);
            pclose(pipe_);
            pipe_ = nullptr;
        }
    }

   private:
    FILE *pipe_ = nullptr;
};

// The hook runs inside the transaction that changes a right (as the database's trigger runs
// it); a full conversion overlaps with that transaction, in either order. Once it commits,
// the album's ACL is what the database holds: no right lost, none revived.
class ConvertBesideATransaction : public Convert {
   protected:
    void SetUp() override {
        Convert::SetUp();
        ASSERT_EQ(acl({"--convert"}).status, 0);
    }

    // A full conversion in the background; /tmp/convert.done receives its status.
    void convertInTheBackground() {
        ::unlink("/tmp/convert.done");
        root.run({"/bin/sh", "-c",
                  "(" + program("kavophoto_acl") +
                      " --convert; echo $? >/tmp/convert.done) >/dev/null 2>&1 &"});
    }

    void expectConversionSucceeded() {
        ASSERT_TRUE(eventually([] { return ApplianceRoot::exists("/tmp/convert.done"); }));
        EXPECT_EQ(ApplianceRoot::readFile("/tmp/convert.done"), "0\n");
    }

    bool conversionWaits() {
        return root.logged("waiting for open changes");
    }

    int hook(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {program("kavophoto_acl_pgsql")};
        argv.insert(argv.end(), args.begin(), args.end());
        return root.run(argv).status;
    }
};

// The transaction and its hook first; the conversion starts while it is open, waits for it,
// and then keeps the granted right.
TEST_F(ConvertBesideATransaction, AGrantInAnOpenTransactionIsKept) {
    {
        PsqlSession tx;
        ASSERT_TRUE(tx.run(
            "BEGIN; INSERT INTO photo_manage_right_for_nmx_account VALUES (" + id(bob) + ", 1);",
            "granted"));
        ASSERT_EQ(hook({"--add", "album1", "user", id(bob), "manage"}), 0);
        convertInTheBackground();
        ASSERT_TRUE(eventually([&] { return conversionWaits(); }));
        EXPECT_FALSE(ApplianceRoot::exists("/tmp/convert.done"));
        ASSERT_TRUE(tx.run("COMMIT;", "committed"));
    }
    expectConversionSucceeded();
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kBrowse), albumEntry(1, alice, kUpload),
                                  albumEntry(1, bob, kManage)}));
}

// The conversion first (held in the trigger script, after its locks are taken); a
// transaction revoking a right waits for it, and its hook then runs after the conversion has
// written the tree: the revoked right does not come back.
TEST_F(ConvertBesideATransaction, ARevokeWaitingForTheConversionStaysRevoked) {
    root.standIn(kTrigger, 0,
                 "i=0; while [ ! -e /tmp/go ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done");
    convertInTheBackground();
    ASSERT_TRUE(eventually([&] { return !root.calls(kTrigger).empty(); }));
    {
        PsqlSession tx;
        tx.send("BEGIN; DELETE FROM photo_access_right_for_nmx_account WHERE userid = " +
                    id(alice) + " AND shareid = 1;",
                "revoked");
        ASSERT_TRUE(eventually(
            [&] { return root.sql("SELECT count(*) FROM pg_locks WHERE NOT granted;") != "0\n"; }));
        EXPECT_FALSE(PsqlSession::done("revoked"));
        root.writeFile("/tmp/go", "");
        ASSERT_TRUE(eventually([] { return PsqlSession::done("revoked"); }));
        ASSERT_EQ(hook({"--del", "album1", "user", id(alice), "browse"}), 0);
        ASSERT_TRUE(tx.run("COMMIT;", "committed"));
    }
    expectConversionSucceeded();
    EXPECT_EQ(aclOf(kShare + "/album1").entries,
              (std::vector<Entry>{albumEntry(1, alice, kUpload)}));
}

// A transaction that changes a second table while the conversion waits for it: neither waits
// for the other for good, and both changes are kept.
TEST_F(ConvertBesideATransaction, ATransactionOverTwoTablesDoesNotDeadlock) {
    {
        PsqlSession tx;
        ASSERT_TRUE(tx.run(
            "BEGIN; INSERT INTO photo_access_right_for_nmx_account VALUES (" + id(carol) + ", 1);",
            "first"));
        root.clearLog();
        convertInTheBackground();
        ASSERT_TRUE(eventually([&] { return conversionWaits(); }));
        ASSERT_TRUE(
            tx.run("UPDATE photo_share SET public = true WHERE shareid = 1; COMMIT;", "second"));
        EXPECT_EQ(ApplianceRoot::readFile("/tmp/psql.out").find("ERROR"), std::string::npos)
            << ApplianceRoot::readFile("/tmp/psql.out");
    }
    expectConversionSucceeded();
    EXPECT_EQ(
        aclOf(kShare + "/album1").entries,
        (std::vector<Entry>{albumEntry(1, alice, kBrowse), albumEntry(1, carol, kBrowse),
                            albumEntry(1, alice, kUpload), albumEntry(8, kEveryoneId, kBrowse)}));
}

// An album on ext4 (4 KiB blocks, 256-byte inodes) holds at least 450 entries; what does not
// fit is told: the conversion logs the album and the entry, the hook fails.
TEST_F(Convert, AnAlbumOnExt4HoldsFourHundredFiftyEntriesAndAFullOneIsTold) {
    mountExt4(kShare + "/big");
    root.sql(
        "INSERT INTO photo_share (shareid, sharename) VALUES (10, 'big');"
        "INSERT INTO photo_access_right_for_nmx_account "
        "SELECT 100000 + g, 10 FROM generate_series(0, 599) g;");
    ASSERT_EQ(acl({"--convert"}).status, 0);
    size_t stored = aclOf(kShare + "/big").entries.size();
    EXPECT_GE(stored, 450u);
    ASSERT_LT(stored, 600u);
    std::string last = std::to_string(100000 + 599);
    EXPECT_TRUE(root.logged("[/volume1/photo/big] is full"));
    EXPECT_TRUE(root.logged("[user:" + last + ":0x75]"));
    EXPECT_TRUE(root.logged("Fail to add acl to [/volume1/photo/big][" + last + "][117]"));

    auto r = root.run({program("kavophoto_acl_pgsql"), "--add", "big", "user", "200000", "upload"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Fail to add acl to [/volume1/photo/big][395] ("));
    EXPECT_EQ(aclOf(kShare + "/big").entries.size(), stored);
    umount2((kShare + "/big").c_str(), MNT_DETACH);
}

}  // namespace
