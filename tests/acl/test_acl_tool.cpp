// kavophoto_acl without the database: the personal conversion, --check, --apply, --apply_uvo
// and the command line.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;
using namespace acltest;

namespace {

const std::string kShare = "/volume1/photo";
const std::string kAliceRoot = "/volume1/homes/alice/photo";
const std::string kSettings = "/var/packages/Lumora/etc/settings.conf";
const std::string kTrigger = "/var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh";

const std::string kUsage =
    "USAGE : kavophoto_acl --background_convert [username]\n"
    "USAGE : kavophoto_acl --convert [username]\n"
    "USAGE : kavophoto_acl --check [username]\n"
    "USAGE : kavophoto_acl --apply path [username]\n"
    "USAGE : kavophoto_acl --apply_uvo person path\n";

class Tool : public ::testing::Test {
   protected:
    void SetUp() override {
        root.addLumoraAccounts();
        root.addHomesShare();
        alice = root.addUser("alice");
        aliceGid = root.gidOf("alice");
        bob = root.addUser("bob");
        root.addShare("photo", kShare);
        root.standIn(kTrigger);
    }

    RunResult acl(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {program("kavophoto_acl")};
        argv.insert(argv.end(), args.begin(), args.end());
        return root.run(argv);
    }

    // alice's personal gallery, all owned by root, with its hidden folders.
    void buildPersonal() {
        root.makeDir(kAliceRoot + "/trip/day1", 0755);
        root.writeFile(kAliceRoot + "/x.jpg", "x");
        root.writeFile(kAliceRoot + "/trip/day1/y.jpg", "y");
        root.writeFile(kAliceRoot + "/@eaDir/x.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "t");
        root.writeFile(kAliceRoot + "/trip/#recycle/z.jpg", "z");
        ASSERT_EQ(symlink("/etc/passwd", (kAliceRoot + "/trip/link").c_str()), 0);
        ASSERT_EQ(chown(kAliceRoot.c_str(), 0, 0), 0);
    }

    ApplianceRoot root;
    uid_t alice = 0, bob = 0;
    gid_t aliceGid = 0;
};

TEST_F(Tool, PersonalConversion) {
    buildPersonal();
    addEntry(kAliceRoot, albumEntry(1, bob, kManage));  // an old ACL is replaced
    addEntry(kAliceRoot + "/trip", albumEntry(1, bob, kManage));
    auto r = acl({"--convert", "alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    Acl top = aclOf(kAliceRoot);
    EXPECT_EQ(top.entries, baseEntries(root));
    EXPECT_TRUE(top.inherit);
    EXPECT_EQ(ownerOf(kAliceRoot), alice);
    EXPECT_EQ(groupOf(kAliceRoot), aliceGid);
    for (const std::string p : {"/x.jpg", "/trip", "/trip/day1", "/trip/day1/y.jpg"}) {
        Acl a = aclOf(kAliceRoot + p);
        EXPECT_TRUE(a.present && a.inherit) << p;
        EXPECT_TRUE(a.entries.empty()) << p;
        EXPECT_EQ(ownerOf(kAliceRoot + p), alice) << p;
        EXPECT_EQ(groupOf(kAliceRoot + p), aliceGid) << p;
    }
    for (const std::string p : {"/@eaDir", "/@eaDir/x.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg",
                                "/trip/#recycle", "/trip/#recycle/z.jpg", "/trip/link"}) {
        EXPECT_FALSE(aclOf(kAliceRoot + p).present) << p;
        EXPECT_EQ(ownerOf(kAliceRoot + p), 0u) << p;
    }
    EXPECT_EQ(ownerOf("/etc/passwd"), 0u);
    EXPECT_FALSE(aclOf("/etc/passwd").present);
    // No pid file, settings key, trigger script or share flag for a personal gallery.
    EXPECT_FALSE(ApplianceRoot::exists("/var/run/kavophoto_acl_convert.pid"));
    EXPECT_FALSE(ApplianceRoot::exists(kSettings));
    EXPECT_TRUE(root.calls(kTrigger).empty());
    EXPECT_EQ(ApplianceRoot::readFile("/usr/kavo/etc/shares.conf").find("hide_unreadable"),
              std::string::npos);

    // Converting again gives the same state.
    auto before = snapshot("/volume1/homes/alice");
    ASSERT_EQ(acl({"--convert", "alice"}).status, 0);
    EXPECT_EQ(snapshot("/volume1/homes/alice"), before);
}

TEST_F(Tool, PersonalConversionFailures) {
    auto r = acl({"--convert", "bob"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to get realpath of [/volume1/homes/bob/photo]"));
    r = acl({"--convert", "ghost"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("KAVOUserGet failed.[ghost]"));
    EXPECT_EQ(r.out, "");
}

TEST_F(Tool, APersonalRootLeadingOutOfTheHomeIsNotTaken) {
    root.makeDir("/volume1/outside/sub", 0755);
    root.writeFile("/volume1/outside/sub/secret", "s", 0600);
    writeBaseAcl("/volume1/outside");
    std::string outsideAcl = rawAcl("/volume1/outside");
    ASSERT_EQ(symlink("/volume1/outside", "/volume1/homes/bob/photo"), 0);

    auto r = acl({"--convert", "bob"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Path doesn't match [/volume1/homes/bob][/volume1/outside]"));
    r = acl({"--apply_uvo", "bob", "/volume1/outside/sub/secret"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("failed to get photo path["));
    EXPECT_EQ(acl({"--check", "bob"}).status, 255);
    EXPECT_TRUE(root.logged("fail to get photo info[bob]"));
    for (const std::string p :
         {"/volume1/outside", "/volume1/outside/sub", "/volume1/outside/sub/secret"}) {
        EXPECT_EQ(ownerOf(p), 0u) << p;
    }
    EXPECT_EQ(rawAcl("/volume1/outside"), outsideAcl);
    EXPECT_FALSE(aclOf("/volume1/outside/sub").present);
    EXPECT_FALSE(aclOf("/volume1/outside/sub/secret").present);
}

TEST_F(Tool, BackgroundPersonalConversionReturnsAtOnce) {
    buildPersonal();
    auto r = acl({"--background_convert", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(eventually([&] { return ownerOf(kAliceRoot + "/trip/day1/y.jpg") == alice; }));
    EXPECT_TRUE(eventually([&] { return aclOf(kAliceRoot + "/trip/day1/y.jpg").present; }));
    EXPECT_EQ(aclOf(kAliceRoot).entries, baseEntries(root));

    // A failing background conversion still returns 0; the failure is only logged.
    r = acl({"--background_convert", "ghost"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(eventually([&] { return root.logged("failed to convert photo home[ghost]"); }));
}

TEST_F(Tool, Check) {
    buildPersonal();
    EXPECT_EQ(acl({"--check"}).status, 255);
    EXPECT_EQ(acl({"--check", "alice"}).status, 255);
    writeBaseAcl(kShare);
    ASSERT_EQ(acl({"--convert", "alice"}).status, 0);
    auto r = acl({"--check"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(acl({"--check", "alice"}).status, 0);
    EXPECT_EQ(acl({"--check", "bob"}).status, 255);
    EXPECT_TRUE(root.logged("fail to get photo info[bob]"));
    EXPECT_EQ(acl({"--check", "ghost"}).status, 255);
    EXPECT_TRUE(root.logged("fail to get photo info[ghost]"));
}

TEST_F(Tool, CheckWithoutTheShare) {
    root.writeFile("/usr/kavo/etc/shares.conf", "[homes]\n\tpath=\"/volume1/homes\"\n");
    EXPECT_EQ(acl({"--check"}).status, 255);
    EXPECT_TRUE(root.logged("fail to get photo path"));
    EXPECT_EQ(acl({"--apply", kShare}).status, 255);
    EXPECT_TRUE(root.logged("failed to get photo path["));
}

TEST_F(Tool, ApplyBringsANewPathUnderTheAlbumAcl) {
    writeBaseAcl(kShare);
    root.makeDir(kShare + "/album1/new/deeper");
    root.writeFile(kShare + "/album1/new/deeper/n.jpg", "n");
    root.writeFile(kShare + "/album1/p.jpg", "p");
    ASSERT_EQ(KAVOACLEnforceInherit((kShare + "/album1").c_str()), 0);
    addEntry(kShare + "/album1", albumEntry(1, bob, kBrowse));
    std::string album = rawAcl(kShare + "/album1");

    auto r = acl({"--apply", kShare + "/album1/new/deeper/n.jpg", "ALICE"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(rawAcl(kShare + "/album1"), album);
    for (const std::string p : {"/album1/new", "/album1/new/deeper", "/album1/new/deeper/n.jpg"}) {
        Acl a = aclOf(kShare + p);
        EXPECT_TRUE(a.present && a.inherit && a.entries.empty()) << p;
    }
    EXPECT_EQ(ownerOf(kShare + "/album1/new/deeper/n.jpg"), alice);
    EXPECT_EQ(groupOf(kShare + "/album1/new/deeper/n.jpg"), aliceGid);
    EXPECT_EQ(ownerOf(kShare + "/album1/new/deeper"), 0u);
    // Without a user (or with an empty one) the owner stays.
    ASSERT_EQ(acl({"--apply", kShare + "/album1/p.jpg", ""}).status, 0);
    EXPECT_TRUE(aclOf(kShare + "/album1/p.jpg").inherit);
    EXPECT_EQ(ownerOf(kShare + "/album1/p.jpg"), 0u);

    // A path that already has an ACL of its own, and the root itself, keep their owner.
    ASSERT_EQ(acl({"--apply", kShare + "/album1", "alice"}).status, 0);
    EXPECT_EQ(ownerOf(kShare + "/album1"), 0u);
    ASSERT_EQ(acl({"--apply", kShare, "alice"}).status, 0);
    EXPECT_EQ(ownerOf(kShare), 0u);
    EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));

    // A path reached through a link from outside is taken by its resolved place.
    root.writeFile(kShare + "/album1/q.jpg", "q");
    ASSERT_EQ(symlink((kShare + "/album1/q.jpg").c_str(), "/volume1/q-link"), 0);
    ASSERT_EQ(acl({"--apply", "/volume1/q-link", "bob"}).status, 0);
    EXPECT_EQ(ownerOf(kShare + "/album1/q.jpg"), bob);
}

TEST_F(Tool, ApplyRefusals) {
    writeBaseAcl(kShare);
    root.makeDir("/volume1/photo2");
    root.writeFile("/volume1/photo2/x.jpg", "x");
    auto r = acl({"--apply", "/volume1/photo2/x.jpg", "alice"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Path doesn't match [/volume1/photo][/volume1/photo2/x.jpg]"));
    EXPECT_FALSE(aclOf("/volume1/photo2/x.jpg").present);
    EXPECT_FALSE(aclOf("/volume1/photo2").present);
    EXPECT_EQ(ownerOf("/volume1/photo2/x.jpg"), 0u);

    r = acl({"--apply", kShare + "/../photo2/x.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(aclOf("/volume1/photo2/x.jpg").present);

    r = acl({"--apply", kShare + "/nothing.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("failed to get realpath[/volume1/photo/nothing.jpg]"));

    root.writeFile(kShare + "/a.jpg", "a");
    r = acl({"--apply", kShare + "/a.jpg", "ghost"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("failed to get user info[ghost]"));
    EXPECT_FALSE(aclOf(kShare + "/a.jpg").present);
}

TEST_F(Tool, ApplyOnAShareWithoutAclOpensTheMode) {
    root.writeFile(kShare + "/album/a.jpg", "a", 0600);
    auto r = acl({"--apply", kShare + "/album/a.jpg", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modeOf(kShare + "/album/a.jpg"), 0777u);
    EXPECT_EQ(ownerOf(kShare + "/album/a.jpg"), 0u);
    EXPECT_FALSE(aclOf(kShare + "/album/a.jpg").present);
    EXPECT_FALSE(aclOf(kShare + "/album").present);
    // A user that does not exist is not even looked up.
    EXPECT_EQ(acl({"--apply", kShare + "/album", "ghost"}).status, 0);
}

TEST_F(Tool, ApplyUvo) {
    buildPersonal();
    ASSERT_EQ(acl({"--convert", "alice"}).status, 0);
    root.makeDir(kAliceRoot + "/trip/day2");
    root.writeFile(kAliceRoot + "/trip/day2/new.jpg", "n");
    auto r = acl({"--apply_uvo", "alice", kAliceRoot + "/trip/day2/new.jpg"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(aclOf(kAliceRoot + "/trip/day2").inherit);
    EXPECT_TRUE(aclOf(kAliceRoot + "/trip/day2/new.jpg").inherit);
    EXPECT_EQ(ownerOf(kAliceRoot + "/trip/day2/new.jpg"), alice);
    EXPECT_EQ(ownerOf(kAliceRoot + "/trip/day2"), 0u);

    // Outside the person's root, in a sibling folder sharing its leading bytes, or in
    // another person's gallery: refused.
    root.writeFile("/volume1/homes/alice/photo2/x.jpg", "x");
    root.makeDir("/volume1/homes/bob/photo");
    root.writeFile("/volume1/homes/bob/photo/b.jpg", "b");
    for (const std::string p :
         {"/volume1/homes/alice/photo2/x.jpg", "/volume1/homes/bob/photo/b.jpg"}) {
        root.clearLog();
        r = acl({"--apply_uvo", "alice", p});
        EXPECT_EQ(r.status, 255) << p;
        EXPECT_TRUE(root.logged("Path doesn't match [" + kAliceRoot + "][" + p + "]")) << p;
        EXPECT_FALSE(aclOf(p).present) << p;
        EXPECT_EQ(ownerOf(p), 0u) << p;
    }

    r = acl({"--apply_uvo", "ghost", kAliceRoot + "/x.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("failed to get photo path["));

    // A personal root without an ACL: the mode is opened, the owner left.
    r = acl({"--apply_uvo", "bob", "/volume1/homes/bob/photo/b.jpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modeOf("/volume1/homes/bob/photo/b.jpg"), 0777u);
    EXPECT_EQ(ownerOf("/volume1/homes/bob/photo/b.jpg"), 0u);
}

TEST_F(Tool, WrongCommandLinesPrintTheUsage) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{},
                                               {"--help"},
                                               {"--apply"},
                                               {"--apply_uvo", "alice"},
                                               {"--apply_uvo", "alice", "/x", "extra"},
                                               {"--convert", "alice", "extra"},
                                               {"--background_convert", "alice", "extra"},
                                               {"--check", "alice", "extra"},
                                               {"--apply", "/x", "alice", "extra"},
                                               {"convert"}}) {
        auto r = acl(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, kUsage);
    }
    EXPECT_TRUE(root.calls(kTrigger).empty());
}

}  // namespace

namespace {

TEST_F(Tool, ShowPrintsTheTextFormOfEitherStoredForm) {
    const std::string album = kShare + "/album";
    root.makeDir(album);
    addEntry(album, albumEntry(1, alice, kUpload));
    addAceText(album, "everyone:*:allow:r-x---a-R-c--:f--n");
    ASSERT_EQ(KAVOACLArchiveEnable(album.c_str(), -1, 1, 0), 0);
    const std::string text = "kavoacl 1 inherit\nuser:" + std::to_string(alice) +
                             ":allow:-wxpdD-------:f--n\neveryone:-1:allow:r-x---a-R-c--:f--n\n";
    lumora::test::RunOptions asBob;
    asBob.asUser = "bob";  // any account may read an ACL
    auto r = root.run({program("kavoacl_show"), album}, asBob);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, text);
    // An ACL stored in text form by an earlier version prints the same.
    ASSERT_EQ(setxattr(album.c_str(), SZ_KAVO_ACL_XATTR, text.data(), text.size(), 0), 0);
    r = root.run({program("kavoacl_show"), album});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, text);

    r = root.run({program("kavoacl_show"), kShare});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(setxattr(album.c_str(), SZ_KAVO_ACL_XATTR, "\0K\2", 3, 0), 0);
    r = root.run({program("kavoacl_show"), album});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(root.run({program("kavoacl_show")}).status, 2);
}

}  // namespace
