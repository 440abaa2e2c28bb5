// The recycle bin of a share: settings, places in the bin, numbered names, refusals.
#include <gtest/gtest.h>

#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "kavorecycle.h"

using lumora::test::ApplianceRoot;

namespace {

std::string target(const char *sharePath, const char *rel) {
    char buf[KAVO_PATH_SIZE];
    if (KAVORecycleTargetPath(sharePath, rel, buf, sizeof(buf)) != 0) {
        return "<failed>";
    }
    return buf;
}

int flagOf(int (*get)(const char *, int *), const char *share) {
    int on = -7;
    if (get(share, &on) != 0) {
        return -1;
    }
    return on;
}

bool isDir(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(Recycle, SettingsOfTheShare) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo",
                  {{"recycle_bin", "yes"}, {"recycle_bin_admin_only", "yes"}});
    root.addShare("video", "/volume1/video", {{"recycle_bin", "no"}});
    root.addShare("music", "/volume1/music");
    root.addHomesShare({{"recycle_bin", "yes"}});

    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "photo"), 1);
    EXPECT_EQ(flagOf(KAVORecycleAdminOnlyStatusGet, "photo"), 1);
    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "video"), 0);
    EXPECT_EQ(flagOf(KAVORecycleAdminOnlyStatusGet, "video"), 0);
    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "music"), 0);
    // A user's home follows the "homes" share.
    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "home"), 1);
    EXPECT_EQ(flagOf(KAVORecycleAdminOnlyStatusGet, "home"), 0);
    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "homes"), 1);

    EXPECT_EQ(flagOf(KAVORecycleStatusGet, "nosuch"), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(flagOf(KAVORecycleStatusGet, ""), -1);
    EXPECT_EQ(KAVORecycleStatusGet(nullptr, nullptr), -1);
    EXPECT_EQ(KAVORecycleStatusGet("photo", nullptr), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
}

TEST(Recycle, ItemsKeepTheirRelativePlace) {
    ApplianceRoot root;
    uid_t uid = root.addUser("lena");
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "yes"}});
    root.makeDir("/volume1/photo/2019", 0750, uid, 0);
    root.writeFile("/volume1/photo/2019/trip/a.jpg", "first");
    root.writeFile("/volume1/photo/2019/trip/@eaDir/a.jpg/THUMB", "thumb");

    EXPECT_EQ(target("/volume1/photo", "2019/trip/a.jpg"),
              "/volume1/photo/#recycle/2019/trip/a.jpg");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "2019/trip/a.jpg", 0, 0), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/2019/trip/a.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/2019/trip/a.jpg"), "first");
    // Folders on the way are made like those of the share; the EA data went along.
    struct stat st;
    ASSERT_EQ(stat("/volume1/photo/#recycle/2019", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/2019/trip/@eaDir/a.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/2019/trip/@eaDir/a.jpg/THUMB"),
              "thumb");

    // Top-level items and folders.
    root.writeFile("/volume1/photo/top.png", "top");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo/", "top.png", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/top.png"), "top");
    root.writeFile("/volume1/photo/album/x/y.jpg", "y");
    ASSERT_EQ(KAVORecycleRmDirWithSharePath("/volume1/photo", "album", 0, 0), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/album/x/y.jpg"), "y");

    // Empty and "." components are dropped.
    root.writeFile("/volume1/photo/2019/b.jpg", "b");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "./2019//b.jpg", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/2019/b.jpg"), "b");
}

TEST(Recycle, NewcomersTakeNumberedNames) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");

    for (const char *content : {"one", "two", "three"}) {
        root.writeFile("/volume1/photo/a/img.v1.jpg", content);
        ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "a/img.v1.jpg", 0, 0), 0);
    }
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/a/img.v1.jpg"), "one");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/a/img.v1 (1).jpg"), "two");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/a/img.v1 (2).jpg"), "three");

    root.writeFile("/volume1/photo/a/img.v1.jpg", "four");
    EXPECT_EQ(target("/volume1/photo", "a/img.v1.jpg"), "/volume1/photo/#recycle/a/img.v1 (3).jpg");
    // A freed number is used again.
    ASSERT_EQ(unlink("/volume1/photo/#recycle/a/img.v1 (1).jpg"), 0);
    EXPECT_EQ(target("/volume1/photo", "a/img.v1.jpg"), "/volume1/photo/#recycle/a/img.v1 (1).jpg");

    // Names without an extension, hidden names, and folders (numbered after the whole name).
    for (int i = 0; i < 2; i++) {
        root.writeFile("/volume1/photo/README", "r");
        root.writeFile("/volume1/photo/.hidden", "h");
        root.writeFile("/volume1/photo/2019.trip/x", "x");
        ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "README", 0, 0), 0);
        ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", ".hidden", 0, 0), 0);
        ASSERT_EQ(KAVORecycleRmDirWithSharePath("/volume1/photo", "2019.trip", 0, 0), 0);
    }
    EXPECT_TRUE(ApplianceRoot::exists("/volume1/photo/#recycle/README (1)"));
    EXPECT_TRUE(ApplianceRoot::exists("/volume1/photo/#recycle/.hidden (1)"));
    EXPECT_TRUE(isDir("/volume1/photo/#recycle/2019.trip (1)"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/2019.trip (1)/x"), "x");
}

TEST(Recycle, UnsafeOrWrongRequestsAreRefused) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/photo/a.jpg", "a");
    root.writeFile("/volume1/photo/dir/b.jpg", "b");
    root.writeFile("/volume1/secret", "s");
    root.writeFile("/volume1/outside/c.jpg", "c");
    ASSERT_EQ(symlink("/volume1/outside", "/volume1/photo/link"), 0);

    const char *refused[] = {"../secret", "dir/../../secret", "..", "", ".", "/", "./", "#recycle"};
    for (const char *rel : refused) {
        EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", rel, 0, 0), -1) << rel;
        EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS) << rel;
        EXPECT_EQ(KAVORecycleRmDirWithSharePath("/volume1/photo", rel, 0, 0), -1) << rel;
        EXPECT_EQ(target("/volume1/photo", rel), "<failed>") << rel;
    }
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/secret"), "s");
    EXPECT_TRUE(isDir("/volume1/photo/dir"));

    // A link must not lead the move out of the share.
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "link/c.jpg", 0, 0), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/c.jpg"), "c");

    // Files and folders through their own calls; flags must be 0.
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "dir", 0, 0), -1);
    EXPECT_EQ(KAVORecycleRmDirWithSharePath("/volume1/photo", "a.jpg", 0, 0), -1);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "a.jpg", 1, 0), -1);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "none.jpg", 0, 0), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath(nullptr, "a.jpg", 0, 0), -1);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("volume1/photo", "a.jpg", 0, 0), -1);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", nullptr, 0, 0), -1);
    std::string longRel(4100, 'x');
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", longRel.c_str(), 0, 0), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a.jpg"), "a");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/dir/b.jpg"), "b");

    char small[20];
    memset(small, '#', sizeof(small));
    EXPECT_EQ(KAVORecycleTargetPath("/volume1/photo", "a.jpg", small, 10), -1);
    for (size_t i = 10; i < sizeof(small); i++) {
        EXPECT_EQ(small[i], '#') << i;
    }
}

TEST(Recycle, LinksGoIntoTheBinAsTheyAre) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/outside/c.jpg", "c");
    ASSERT_EQ(symlink("/volume1/outside", "/volume1/photo/folderlink"), 0);
    ASSERT_EQ(symlink("/volume1/outside/c.jpg", "/volume1/photo/filelink"), 0);
    // The callers pick the call by what the link points to; either way the link itself moves.
    EXPECT_EQ(KAVORecycleRmDirWithSharePath("/volume1/photo", "folderlink", 0, 0), 0);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "filelink", 0, 0), 0);
    char buf[KAVO_PATH_SIZE];
    ASSERT_EQ(readlink("/volume1/photo/#recycle/folderlink", buf, sizeof(buf)), 16);
    EXPECT_EQ(std::string(buf, 16), "/volume1/outside");
    struct stat st;
    ASSERT_EQ(lstat("/volume1/photo/#recycle/filelink", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/folderlink"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/filelink"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/c.jpg"), "c");
}

TEST(Recycle, AdminOnlyBinAndHomes) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addShare("photo", "/volume1/photo", {{"recycle_bin_admin_only", "yes"}});
    root.addHomesShare({{"recycle_bin", "yes"}});
    root.addUser("mona");
    root.writeFile("/volume1/photo/a.jpg", "a");

    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "a.jpg", 0, 1), 0);
    struct stat st;
    ASSERT_EQ(stat("/volume1/photo/#recycle", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0770u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, root.gidOf("administrators"));

    // The bin of a user's home lies in that home.
    root.writeFile("/volume1/homes/mona/photo/p.jpg", "p");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/homes/mona", "photo/p.jpg", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/homes/mona/#recycle/photo/p.jpg"), "p");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/homes/#recycle"));
}

TEST(Recycle, NamesInTheWayAndPlantedLinks) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    // A file "album" deleted earlier, then items below a folder "album", and the other way.
    root.writeFile("/volume1/photo/album", "file");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "album", 0, 0), 0);
    for (const char *name : {"x.jpg", "y.jpg"}) {
        root.writeFile(std::string("/volume1/photo/album/") + name, name);
        ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo",
                                                     (std::string("album/") + name).c_str(), 0, 0),
                  0);
    }
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/album"), "file");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/album (1)/x.jpg"), "x.jpg");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/album (1)/y.jpg"), "y.jpg");
    ASSERT_EQ(rmdir("/volume1/photo/album"), 0);
    root.writeFile("/volume1/photo/album (1)", "second file");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "album (1)", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/album (1) (1)"), "second file");

    // Links planted in the bin and as "@eaDir" are never followed: another user's album
    // stays where it is, and nothing lands outside the bin.
    root.writeFile("/volume1/victim/album/keep.jpg", "k");
    root.makeDir("/volume1/photo/#recycle/evil");
    ASSERT_EQ(symlink("/volume1/victim", "/volume1/photo/#recycle/evil/sub"), 0);
    root.writeFile("/volume1/photo/evil/sub/p.jpg", "p");
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "evil/sub/p.jpg", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/evil/sub (1)/p.jpg"), "p");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/victim/p.jpg"));
    root.writeFile("/volume1/photo/mine/album", "mine");
    ASSERT_EQ(symlink("/volume1/victim", "/volume1/photo/mine/@eaDir"), 0);
    ASSERT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/photo", "mine/album", 0, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/victim/album/keep.jpg"), "k");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/#recycle/mine/@eaDir"));
    // A link planted as the bin itself is refused.
    root.addShare("other", "/volume1/other");
    root.writeFile("/volume1/other/o.jpg", "o");
    ASSERT_EQ(symlink("/volume1/victim", "/volume1/other/#recycle"), 0);
    EXPECT_EQ(KAVORecycleUnlinkFileWithSharePath("/volume1/other", "o.jpg", 0, 0), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/other/o.jpg"), "o");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/victim/o.jpg"));
}
