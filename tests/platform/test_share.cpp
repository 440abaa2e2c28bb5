// Shares: records, hide-unreadable write-back, temporary and bin paths, the share holding a
// path, and the user-home check.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "kavoshare.h"

using lumora::test::ApplianceRoot;

namespace {

struct Found {
    int result;
    std::string name;
    std::string path;
};

Found namePath(const char *path) {
    char name[4096];
    char sharePath[KAVO_PATH_SIZE];
    Found f;
    f.result = KAVOShareNamePathGet(path, name, sizeof(name), sharePath, sizeof(sharePath));
    if (f.result == 0) {
        f.name = name;
        f.path = sharePath;
    }
    return f;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}

// 1 and the home when the path lies in a user home, else the result code.
std::string homeOf(const char *path, int *result) {
    PKAVOHOME_CHECK_RESULT res = nullptr;
    std::string home;
    *result = KAVOServiceHomePathCheck(path, 1, 1, &res);
    if (*result == 1) {
        EXPECT_NE(res, nullptr);
        if (res != nullptr) {
            home = std::string(res->szHomePath) + "|" + res->szUser;
        }
    } else {
        EXPECT_EQ(res, nullptr);
    }
    KAVOHomeCheckResultFree(res);
    return home;
}

}  // namespace

TEST(Shares, RecordFromTheShareFile) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo",
                  {{"encrypted", "yes"}, {"recycle_bin", "yes"}, {"hide_unreadable", "no"}});
    root.addShare("video", "/volume1/video/", {{"recycle_bin_admin_only", "yes"}});

    PKAVOSHARE share = nullptr;
    ASSERT_EQ(KAVOShareGet("photo", &share), 0);
    ASSERT_NE(share, nullptr);
    EXPECT_STREQ(share->szName, "photo");
    EXPECT_STREQ(VLIBSharePathGet(share), "/volume1/photo");
    EXPECT_EQ(share->fStatus & SHARE_STATUS_ENCRYPTED, SHARE_STATUS_ENCRYPTED);
    EXPECT_EQ(share->blRecycleBin, 1);
    EXPECT_EQ(share->blRecycleBinAdminOnly, 0);
    EXPECT_EQ(share->blHideUnreadable, 0);
    KAVOShareFree(share);

    ASSERT_EQ(KAVOShareGet("video", &share), 0);
    EXPECT_STREQ(VLIBSharePathGet(share), "/volume1/video");  // without the trailing slash
    EXPECT_EQ(share->fStatus & SHARE_STATUS_ENCRYPTED, 0u);
    EXPECT_EQ(share->blRecycleBin, 0);
    EXPECT_EQ(share->blRecycleBinAdminOnly, 1);
    KAVOShareFree(share);

    share = reinterpret_cast<PKAVOSHARE>(0x1);
    EXPECT_EQ(KAVOShareGet("music", &share), -1);
    EXPECT_EQ(share, nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(KAVOShareGet("Photo", &share), -1);
    EXPECT_EQ(KAVOShareGet(nullptr, &share), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOShareGet("", &share), -1);
    EXPECT_EQ(KAVOShareGet("photo", nullptr), -1);
    EXPECT_EQ(VLIBSharePathGet(nullptr), nullptr);
    EXPECT_EQ(VLIBShareHideUnreadableSet(nullptr, 1), -1);
    EXPECT_EQ(KAVOShareUpdate(nullptr), -1);
    KAVOShareFree(nullptr);
}

TEST(Shares, HideUnreadableIsWrittenBackKeepingOtherLines) {
    ApplianceRoot root;
    root.addShare("music", "/volume1/music", {{"hide_unreadable", "no"}});
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "yes"}});
    root.addShare("video", "/volume1/video", {{"hide_unreadable", "no"}});
    std::string before = ApplianceRoot::readFile(SZF_SHARES_CONF);
    root.writeFile(SZF_SHARES_CONF, "# shares of this appliance\n" + before + "\n");
    before = ApplianceRoot::readFile(SZF_SHARES_CONF);

    PKAVOSHARE share = nullptr;
    ASSERT_EQ(KAVOShareGet("photo", &share), 0);
    EXPECT_EQ(share->blHideUnreadable, 0);
    EXPECT_EQ(VLIBShareHideUnreadableSet(share, 1), 0);
    EXPECT_EQ(share->blHideUnreadable, 1);
    EXPECT_EQ(KAVOShareUpdate(share), 0);
    KAVOShareFree(share);

    // Every earlier line is still there, in order; only one line was added.
    std::vector<std::string> old = lines(before);
    std::vector<std::string> now = lines(ApplianceRoot::readFile(SZF_SHARES_CONF));
    ASSERT_EQ(now.size(), old.size() + 1);
    size_t j = 0;
    for (const std::string &line : now) {
        if (j < old.size() && line == old[j]) {
            j++;
        }
    }
    EXPECT_EQ(j, old.size());

    ASSERT_EQ(KAVOShareGet("photo", &share), 0);
    EXPECT_EQ(share->blHideUnreadable, 1);
    EXPECT_EQ(share->blRecycleBin, 1);
    KAVOShareFree(share);
    for (const char *other : {"music", "video"}) {
        ASSERT_EQ(KAVOShareGet(other, &share), 0);
        EXPECT_EQ(share->blHideUnreadable, 0) << other;
        KAVOShareFree(share);
    }

    // Turning it off again replaces the same line.
    ASSERT_EQ(KAVOShareGet("photo", &share), 0);
    EXPECT_EQ(VLIBShareHideUnreadableSet(share, 0), 0);
    EXPECT_EQ(KAVOShareUpdate(share), 0);
    KAVOShareFree(share);
    EXPECT_EQ(lines(ApplianceRoot::readFile(SZF_SHARES_CONF)).size(), old.size() + 1);
    ASSERT_EQ(KAVOShareGet("photo", &share), 0);
    EXPECT_EQ(share->blHideUnreadable, 0);

    // A share that has gone from the file is not written back as a half section.
    root.writeFile(SZF_SHARES_CONF, "[music]\npath=\"/volume1/music\"\n");
    EXPECT_EQ(VLIBShareHideUnreadableSet(share, 1), 0);
    EXPECT_EQ(KAVOShareUpdate(share), -1);
    EXPECT_EQ(ApplianceRoot::readFile(SZF_SHARES_CONF), "[music]\npath=\"/volume1/music\"\n");
    KAVOShareFree(share);
}

TEST(Shares, TemporaryPathIsMadeOnDemand) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    char buf[KAVO_PATH_SIZE];
    struct stat st;
    mode_t old = umask(022);

    EXPECT_FALSE(ApplianceRoot::exists("/volume1/@tmp"));
    ASSERT_EQ(KAVOShareTmpPathGet("/volume1/photo", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/volume1/@tmp");
    ASSERT_EQ(stat("/volume1/@tmp", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    // One made open to all before gets the sticky bit; a link in its place is refused.
    ASSERT_EQ(chmod("/volume1/@tmp", 0777), 0);
    ASSERT_EQ(KAVOShareTmpPathGet("/volume1/photo", buf, sizeof(buf)), 0);
    ASSERT_EQ(stat("/volume1/@tmp", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    // There already with a mode of its own: kept as it is.
    ASSERT_EQ(chmod("/volume1/@tmp", 0755), 0);
    root.writeFile("/volume1/@tmp/keep", "k");
    ASSERT_EQ(KAVOShareTmpPathGet("/volume1/photo/sub/", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/volume1/@tmp");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/@tmp/keep"), "k");
    ASSERT_EQ(stat("/volume1/@tmp", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    umask(old);

    // Refusals: no volume, relative paths, a file in the way, a buffer too small.
    EXPECT_EQ(KAVOShareTmpPathGet("/", buf, sizeof(buf)), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOShareTmpPathGet("volume1/photo", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOShareTmpPathGet("", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOShareTmpPathGet(nullptr, buf, sizeof(buf)), -1);
    char guarded[32];
    memset(guarded, '#', sizeof(guarded));
    EXPECT_EQ(KAVOShareTmpPathGet("/volume1/photo", guarded, 13), -1);
    for (size_t i = 13; i < sizeof(guarded); i++) {
        EXPECT_EQ(guarded[i], '#') << i;
    }
    root.mountTmpfs("/volume2");
    root.writeFile("/volume2/@tmp", "not a folder");
    EXPECT_EQ(KAVOShareTmpPathGet("/volume2/share", buf, sizeof(buf)), -1);
    ASSERT_EQ(unlink("/volume2/@tmp"), 0);
    root.makeDir("/volume2/elsewhere", 0700);
    ASSERT_EQ(symlink("/volume2/elsewhere", "/volume2/@tmp"), 0);
    EXPECT_EQ(KAVOShareTmpPathGet("/volume2/share", buf, sizeof(buf)), -1);
    ASSERT_EQ(stat("/volume2/elsewhere", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(Shares, ShareHoldingAPath) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.addShare("photo2", "/volume1/photo2");
    root.addShare("nested", "/volume1/photo/nested");
    root.addShare("music", "/volume1/music/");

    Found f = namePath("/volume1/photo/a/b.jpg");
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.name, "photo");
    EXPECT_EQ(f.path, "/volume1/photo");

    // A sibling that merely begins with the same bytes is another share.
    f = namePath("/volume1/photo2/b.jpg");
    EXPECT_EQ(f.name, "photo2");
    EXPECT_EQ(f.path, "/volume1/photo2");

    f = namePath("/volume1/photo");
    EXPECT_EQ(f.name, "photo");

    // The longest match wins, whatever the order in the file.
    f = namePath("/volume1/photo/nested/x/y.jpg");
    EXPECT_EQ(f.name, "nested");
    EXPECT_EQ(f.path, "/volume1/photo/nested");
    f = namePath("/volume1/photo/nestedmore/y.jpg");
    EXPECT_EQ(f.name, "photo");

    f = namePath("/volume1/music/song.mp3");
    EXPECT_EQ(f.name, "music");
    EXPECT_EQ(f.path, "/volume1/music");

    EXPECT_EQ(namePath("/volume1/photographs/x.jpg").result, -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(namePath("/volume1").result, -1);
    EXPECT_EQ(namePath("relative/photo").result, -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);

    char name[5];
    char path[KAVO_PATH_SIZE];
    EXPECT_EQ(KAVOShareNamePathGet("/volume1/photo2/a", name, sizeof(name), path, sizeof(path)),
              -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOShareNamePathGet(nullptr, name, sizeof(name), path, sizeof(path)), -1);

    char bin[KAVO_PATH_SIZE];
    ASSERT_EQ(KAVOShareBinPathGet("/volume1/photo/a/b.jpg", bin, sizeof(bin)), 0);
    EXPECT_STREQ(bin, "/volume1");
    EXPECT_EQ(KAVOShareBinPathGet("/volume9/x", bin, sizeof(bin)), -1);
    EXPECT_EQ(KAVOShareBinPathGet(nullptr, bin, sizeof(bin)), -1);
}

TEST(Shares, NoShareFileIsAFailure) {
    ApplianceRoot root;
    unlink(SZF_SHARES_CONF);
    EXPECT_EQ(namePath("/volume1/photo/a").result, -1);
    PKAVOSHARE share = nullptr;
    EXPECT_EQ(KAVOShareGet("photo", &share), -1);
    int r = 0;
    EXPECT_EQ(homeOf("/volume1/homes/x/y", &r), "");
    EXPECT_EQ(r, 0);
}

TEST(Shares, HomeCheck) {
    ApplianceRoot root;
    root.addHomesShare();
    root.addShare("photo", "/volume1/photo");
    root.addUser("dave");
    root.addUser("dave2");
    root.addUser("outside", 0, 0, "/volume1/photo/outside");
    int r = 0;

    EXPECT_EQ(homeOf("/volume1/homes/dave/photo/a.jpg", &r), "/volume1/homes/dave|dave");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(homeOf("/volume1/homes/dave", &r), "/volume1/homes/dave|dave");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(homeOf("/volume1/homes/dave2/x", &r), "/volume1/homes/dave2|dave2");
    EXPECT_EQ(r, 1);

    // Not in a home: sibling prefixes, homes without an account, homes elsewhere.
    EXPECT_EQ(homeOf("/volume1/homes/dave3/x", &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(homeOf("/volume1/homes/davex", &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(homeOf("/volume1/homes", &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(homeOf("/volume1/photo/outside/a.jpg", &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(homeOf("/volume1/photo/a.jpg", &r), "");
    EXPECT_EQ(r, 0);

    // A home reached through a link still counts, with the account's own home reported.
    root.writeFile("/volume1/homes/dave/a.jpg", "a");
    ASSERT_EQ(symlink("/volume1/homes", "/volume1/homes-link"), 0);
    EXPECT_EQ(homeOf("/volume1/homes-link/dave/a.jpg", &r), "/volume1/homes/dave|dave");
    EXPECT_EQ(r, 1);

    PKAVOHOME_CHECK_RESULT res = nullptr;
    EXPECT_EQ(KAVOServiceHomePathCheck(nullptr, 1, 1, &res), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOServiceHomePathCheck("/volume1/homes/dave", 1, 1, nullptr), -1);
    EXPECT_EQ(KAVOServiceHomePathCheck("", 1, 1, &res), -1);
    KAVOHomeCheckResultFree(nullptr);
}
