// The album ACL module on its own: the root test, the share root, the account lookup and the
// ACE written from text.
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"
#include "kavophoto_acl.h"

using lumora::test::ApplianceRoot;
using namespace acltest;

namespace {

// The module logs from this process: make it reach this root's log socket.
class Module : public ::testing::Test {
   protected:
    void SetUp() override {
        closelog();
        openlog("acl_module_test", 0, LOG_USER);
    }
    void TearDown() override {
        closelog();
    }
    ApplianceRoot root;
};

TEST(ModulePrefix, APathLiesUnderARootOnlyAtAFolderBoundary) {
    const struct {
        const char *path, *root;
        bool under;
    } cases[] = {
        {"/volume1/photo", "/volume1/photo", true},
        {"/volume1/photo/a", "/volume1/photo", true},
        {"/volume1/photo/a/b.jpg", "/volume1/photo", true},
        {"/volume1/photo2", "/volume1/photo", false},
        {"/volume1/photo2/x", "/volume1/photo", false},
        {"/volume1/photo.bak/x", "/volume1/photo", false},
        {"/volume1/phot", "/volume1/photo", false},
        {"/volume1", "/volume1/photo", false},
        {"/anything", "/", true},
        {"/volume1/photo", "", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(isPathUnderRoot(c.path, c.root), c.under) << c.path << " under " << c.root;
    }
}

TEST_F(Module, ShareRootIsResolved) {
    char path[KAVO_PATH_SIZE];
    EXPECT_FALSE(getPhotoPath(path, sizeof path));
    EXPECT_TRUE(root.logged("kavophoto_acl:"));
    EXPECT_TRUE(root.logged("KAVOShareGet failed."));

    root.makeDir("/volume1/real/photo", 0777);
    ASSERT_EQ(symlink("/volume1/real/photo", "/volume1/photo"), 0);
    root.addShare("photo", "/volume1/photo/./");
    ASSERT_TRUE(getPhotoPath(path, sizeof path));
    EXPECT_STREQ(path, "/volume1/real/photo");
    // A buffer too small for the root fails rather than cutting it.
    EXPECT_FALSE(getPhotoPath(path, 8));
}

TEST_F(Module, ShareRootThatDoesNotExistFails) {
    root.addShare("photo", "/volume1/photo");
    ASSERT_EQ(rmdir("/volume1/photo"), 0);
    char path[KAVO_PATH_SIZE];
    EXPECT_FALSE(getPhotoPath(path, sizeof path));
    EXPECT_TRUE(root.logged("failed to get realpath[/volume1/photo]."));
}

TEST_F(Module, UserLookup) {
    root.addHomesShare();
    uid_t alice = root.addUser("alice");
    gid_t aliceGid = root.gidOf("alice");
    root.makeDir("/volume1/homes/alice/photo", 0755, alice, aliceGid);

    char home[KAVO_PATH_SIZE] = "";
    uid_t uid = 4242;
    gid_t gid = 4343;
    // The login-name conversion finds the account's own spelling.
    ASSERT_TRUE(getUserInfo("ALICE", home, sizeof home, &uid, &gid));
    EXPECT_STREQ(home, "/volume1/homes/alice/photo");
    EXPECT_EQ(uid, alice);
    EXPECT_EQ(gid, aliceGid);

    // Each out-argument is optional.
    uid = 4242;
    ASSERT_TRUE(getUserInfo("alice", nullptr, 0, &uid, nullptr));
    EXPECT_EQ(uid, alice);

    // No photo folder: fails, and uid and gid stay as they were.
    root.addUser("bob");
    uid = 4242;
    gid = 4343;
    EXPECT_FALSE(getUserInfo("bob", home, sizeof home, &uid, &gid));
    EXPECT_EQ(uid, 4242u);
    EXPECT_EQ(gid, 4343u);
    EXPECT_TRUE(root.logged("Failed to get realpath of [/volume1/homes/bob/photo]"));

    EXPECT_FALSE(getUserInfo("nosuchuser", nullptr, 0, &uid, nullptr));
    EXPECT_TRUE(root.logged("KAVOUserGet failed.[nosuchuser]"));
    EXPECT_FALSE(getUserInfo("", nullptr, 0, &uid, nullptr));
    EXPECT_FALSE(getUserInfo(nullptr, nullptr, 0, &uid, nullptr));
    EXPECT_TRUE(root.logged("Parameter Error"));
    // A name longer than the login-name buffer is refused, not cut down to another name.
    std::string longName(600, 'a');
    root.addUser(std::string(492, 'a'), 0, 0, "/volume1/homes/long");
    EXPECT_FALSE(getUserInfo(longName.c_str(), nullptr, 0, &uid, nullptr));
    EXPECT_EQ(uid, 4242u);
}

TEST_F(Module, PersonalRootStaysInsideTheHome) {
    root.addHomesShare();
    root.makeDir("/volume1/outside/etc", 0755);
    char home[KAVO_PATH_SIZE] = "";
    uid_t uid = 4242;
    gid_t gid = 4343;

    // A "photo" that leads out of the home is no personal root.
    uid_t carol = root.addUser("carol");
    ASSERT_EQ(symlink("/volume1/outside/etc", "/volume1/homes/carol/photo"), 0);
    EXPECT_FALSE(getUserInfo("carol", home, sizeof home, &uid, &gid));
    EXPECT_TRUE(root.logged("Path doesn't match [/volume1/homes/carol][/volume1/outside/etc]"));
    EXPECT_EQ(uid, 4242u);
    EXPECT_EQ(gid, 4343u);
    // Nor one in another user's home.
    root.addUser("dave");
    root.makeDir("/volume1/homes/carol2/photo", 0755);
    ASSERT_EQ(symlink("../carol2/photo", "/volume1/homes/dave/photo"), 0);
    EXPECT_FALSE(getUserInfo("dave", home, sizeof home, &uid, &gid));
    EXPECT_TRUE(
        root.logged("Path doesn't match [/volume1/homes/dave][/volume1/homes/carol2/photo]"));
    EXPECT_EQ(uid, 4242u);
    // The account itself is still found when the personal root is not asked for.
    ASSERT_TRUE(getUserInfo("carol", nullptr, 0, &uid, &gid));
    EXPECT_EQ(uid, carol);

    // Links that stay inside the home, and a home reached through a link, are fine.
    uid_t erin = root.addUser("erin");
    root.makeDir("/volume1/homes/erin/pictures", 0755);
    ASSERT_EQ(symlink("pictures", "/volume1/homes/erin/photo"), 0);
    ASSERT_TRUE(getUserInfo("erin", home, sizeof home, &uid, nullptr));
    EXPECT_STREQ(home, "/volume1/homes/erin/pictures");
    EXPECT_EQ(uid, erin);
    root.makeDir("/volume1/real/frank/photo", 0755);
    ASSERT_EQ(symlink("/volume1/real/frank", "/volume1/homes/frank"), 0);
    uid_t frank = root.addUser("frank", 0, 0, "/volume1/homes/frank");
    ASSERT_TRUE(getUserInfo("frank", home, sizeof home, &uid, nullptr));
    EXPECT_STREQ(home, "/volume1/real/frank/photo");
    EXPECT_EQ(uid, frank);
}

TEST_F(Module, AceFromText) {
    root.addLumoraAccounts();
    root.makeDir("/volume1/photo/album", 0777);
    ASSERT_TRUE(addACLFromString("/volume1/photo/album", SZ_ACE_EVERYONE));
    ASSERT_TRUE(addACLFromString("/volume1/photo/album", SZ_ACE_LUMORA));
    // Adding removes nothing; an equal entry is not doubled.
    ASSERT_TRUE(addACLFromString("/volume1/photo/album", SZ_ACE_EVERYONE));
    Acl a = aclOf("/volume1/photo/album");
    EXPECT_EQ(a.entries,
              (std::vector<Entry>{Entry{8, -1, 0x75, 10, 1},
                                  Entry{1, (int32_t)root.uidOf("Lumora"), 0x1FFF, 3, 1}}));

    EXPECT_FALSE(
        addACLFromString("/volume1/photo/album", "user:nobody_here:allow:r------------:----"));
    EXPECT_TRUE(root.logged("Fail to convert acl ace[user:nobody_here:allow:r------------:----]"));
    EXPECT_FALSE(addACLFromString("/volume1/photo/missing", SZ_ACE_ADMIN));
    EXPECT_TRUE(root.logged("Fail to add acl to [/volume1/photo/missing][" SZ_ACE_ADMIN "]"));
}

TEST_F(Module, InheritanceWalk) {
    root.addLumoraAccounts();
    uid_t alice = root.addUser("alice");
    gid_t aliceGid = root.gidOf("alice");
    const std::string top = "/volume1/photo";
    root.makeDir(top + "/a/b/c", 0755);
    root.writeFile(top + "/a/b/c/new.jpg", "x");
    writeBaseAcl(top);
    addEntry(top + "/a", albumEntry(1, alice, kBrowse));

    // Three levels below the root, parent without an ACL: from the root down, skipping the
    // level that has one.
    ASSERT_TRUE(applyACLToPath((top + "/a/b/c").c_str(), top.c_str(), alice, aliceGid));
    EXPECT_EQ(aclOf(top + "/a").entries, (std::vector<Entry>{albumEntry(1, alice, kBrowse)}));
    EXPECT_FALSE(aclOf(top + "/a").inherit);
    for (const std::string p : {"/a/b", "/a/b/c"}) {
        Acl a = aclOf(top + p);
        EXPECT_TRUE(a.present && a.inherit && a.entries.empty()) << p;
    }
    EXPECT_EQ(ownerOf(top + "/a/b/c"), alice);
    EXPECT_EQ(groupOf(top + "/a/b/c"), aliceGid);
    EXPECT_EQ(ownerOf(top + "/a/b"), 0u);
    EXPECT_EQ(ownerOf(top + "/a"), 0u);

    // Levels without any ACL up to the root: every one of them, top down.
    root.makeDir(top + "/x/y/z", 0755);
    ASSERT_TRUE(applyACLToPath((top + "/x/y/z").c_str(), top.c_str(), (uid_t)-1, (gid_t)-1));
    for (const std::string p : {"/x", "/x/y", "/x/y/z"}) {
        EXPECT_TRUE(aclOf(top + p).inherit) << p;
    }
    EXPECT_EQ(ownerOf(top + "/x/y/z"), 0u);

    // Parent with an ACL: only the target.
    ASSERT_TRUE(
        applyACLToPath((top + "/a/b/c/new.jpg").c_str(), top.c_str(), (uid_t)-1, (gid_t)-1));
    EXPECT_TRUE(aclOf(top + "/a/b/c/new.jpg").inherit);
    EXPECT_EQ(ownerOf(top + "/a/b/c/new.jpg"), 0u);

    // The root itself, and a target that has its own ACL, are left alone, owner included.
    std::string rootAcl = rawAcl(top);
    ASSERT_TRUE(applyACLToPath(top.c_str(), top.c_str(), alice, aliceGid));
    EXPECT_EQ(rawAcl(top), rootAcl);
    EXPECT_EQ(ownerOf(top), 0u);
    ASSERT_TRUE(applyACLToPath((top + "/a/b").c_str(), top.c_str(), alice, aliceGid));
    EXPECT_EQ(ownerOf(top + "/a/b"), 0u);

    // A sibling folder that only shares the root's leading bytes is no target.
    root.makeDir("/volume1/photo2/x", 0755);
    EXPECT_FALSE(applyACLToPath("/volume1/photo2/x", top.c_str(), alice, aliceGid));
    EXPECT_FALSE(aclOf("/volume1/photo2/x").present);
    EXPECT_FALSE(aclOf("/volume1/photo2").present);
    EXPECT_EQ(ownerOf("/volume1/photo2/x"), 0u);
}

}  // namespace
