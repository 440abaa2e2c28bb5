// kavophoto_sdk_share_set: identity answers, the upload folder, the PHP line, the reload.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace lumora::test;

namespace {

const char kReload[] = "/usr/sbin/reload";
const char kPhpConf[] = "/usr/local/etc/php56/conf.d/KAVO.WBX.Lumora.ini";

RunResult hook(ApplianceRoot &root, const std::string &arg,
               const std::map<std::string, std::string> &env = {}) {
    RunOptions opt;
    opt.env = env;
    return root.run({program("kavophoto_sdk_share_set"), arg}, opt);
}

mode_t modeOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(ShareHook, IdentityAnswersCarryNoNewline) {
    ApplianceRoot root;
    const std::map<std::string, std::string> answers = {{"--sdk-mod-ver", "2.0"},
                                                        {"--name", "Lumora"},
                                                        {"--pkg-ver", "6.1-2742"},
                                                        {"--vendor", "Orvane"},
                                                        {"--pre", ""}};
    for (const auto &a : answers) {
        auto r = hook(root, a.first);
        EXPECT_EQ(r.status, 0) << a.first;
        EXPECT_EQ(r.out, a.second) << a.first;
    }
    EXPECT_TRUE(root.logLines().empty());

    for (auto argv : std::vector<std::vector<std::string>>{
             {program("kavophoto_sdk_share_set")},
             {program("kavophoto_sdk_share_set"), "--name", "--vendor"},
             {program("kavophoto_sdk_share_set"), "--bogus"}}) {
        root.clearLog();
        auto r = root.run(argv);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        auto lines = root.logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(0, 24), "kavophoto_sdk_share_set:");
        EXPECT_NE(lines[0].find(" Wrong params."), std::string::npos);
    }
}

TEST(ShareHook, SetUploadTmpDirWritesThePhpLineWithoutReload) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.standIn(kReload);
    root.writeFile(kPhpConf, "; Lumora\nupload_max_filesize = \"2G\"\n");
    auto r = hook(root, "--set-upload-tmp-dir");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(modeOf("/volume1/@tmp/photo_upload_tmp_dir"), 0777u);
    EXPECT_EQ(modeOf("/volume1/@tmp"),
              01777u);  // sticky: no account replaces what another put there
    EXPECT_EQ(ApplianceRoot::readFile(kPhpConf),
              "; Lumora\nupload_max_filesize = \"2G\"\n"
              "upload_tmp_dir = \"/volume1/@tmp/photo_upload_tmp_dir\"\n");
    EXPECT_TRUE(root.calls(kReload).empty());

    // An existing folder stays and gets its mode back; the line is replaced, not added.
    chmod("/volume1/@tmp/photo_upload_tmp_dir", 0700);
    root.writeFile("/volume1/@tmp/photo_upload_tmp_dir/keep", "x");
    EXPECT_EQ(hook(root, "--set-upload-tmp-dir").status, 0);
    EXPECT_EQ(modeOf("/volume1/@tmp/photo_upload_tmp_dir"), 0777u);
    EXPECT_TRUE(ApplianceRoot::exists("/volume1/@tmp/photo_upload_tmp_dir/keep"));
    std::string conf = ApplianceRoot::readFile(kPhpConf);
    EXPECT_EQ(conf.find("\nupload_tmp_dir = "), conf.rfind("\nupload_tmp_dir = "));
}

TEST(ShareHook, PlantedLinkIsNotFollowed) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.makeDir("/volume1/@tmp", 0777);
    root.makeDir("/volume1/secret", 0700);
    ASSERT_EQ(symlink("/volume1/secret", "/volume1/@tmp/photo_upload_tmp_dir"), 0);
    auto r = hook(root, "--set-upload-tmp-dir");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(modeOf("/volume1/secret"), 0700u);
    EXPECT_TRUE(root.logged("Failed to createUploadTmpDir."));
    EXPECT_FALSE(ApplianceRoot::exists(kPhpConf));
}

TEST(ShareHook, OnlyRootsOwnUploadFolderIsTakenAndStickyBitsStay) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    uid_t alice = root.addUser("alice");
    const std::string dir = "/volume1/@tmp/photo_upload_tmp_dir";
    root.makeDir("/volume1/@tmp", 01777);
    root.makeDir("/volume1/secret", 0700);
    root.writeFile("/volume1/secret/file", "x");
    root.makeDir("/usr/local/etc/php56/conf.d");

    // What an ordinary account may have put at the name beforehand.
    struct Case {
        std::string name;
        std::function<void()> plant;
    };
    const std::vector<Case> cases = {
        {"folder of alice", [&] { root.makeDir(dir, 0700, alice, root.gidOf("alice")); }},
        {"file", [&] { root.writeFile(dir, "x", 0600, alice); }},
        {"link to a file", [&] { ASSERT_EQ(symlink("/volume1/secret/file", dir.c_str()), 0); }},
    };
    for (const Case &c : cases) {
        c.plant();
        struct stat before {};
        ASSERT_EQ(lstat(dir.c_str(), &before), 0);
        root.clearLog();
        auto r = hook(root, "--set-upload-tmp-dir");
        EXPECT_EQ(r.status, 255) << c.name;
        EXPECT_TRUE(root.logged("Failed to createUploadTmpDir.")) << c.name;
        EXPECT_EQ(modeOf(dir), before.st_mode & 07777) << c.name;
        EXPECT_EQ(modeOf("/volume1/secret/file"), 0644u);
        EXPECT_FALSE(ApplianceRoot::exists(kPhpConf)) << c.name;
        ASSERT_EQ(S_ISDIR(before.st_mode) ? rmdir(dir.c_str()) : unlink(dir.c_str()), 0);
    }

    // Root's own folder gets the bits it needs and keeps the others; so does the temporary one.
    root.makeDir(dir, 01710);
    auto r = hook(root, "--set-upload-tmp-dir");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modeOf(dir), 01777u);
    EXPECT_EQ(modeOf("/volume1/@tmp"), 01777u);
    EXPECT_EQ(ApplianceRoot::readFile(kPhpConf), "upload_tmp_dir = \"" + dir + "\"\n");
}

TEST(ShareHook, AnAnswerThatCannotBeWrittenIsAFailure) {
    ApplianceRoot root;
    const std::vector<std::pair<std::string, int>> cases = {{"--sdk-mod-ver", 255},
                                                            {"--name", 255},
                                                            {"--pkg-ver", 255},
                                                            {"--vendor", 255},
                                                            {"--pre", 0}};
    for (const auto &[arg, status] : cases) {
        root.clearLog();
        auto r = root.run({"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full",
                           program("kavophoto_sdk_share_set"), arg});
        EXPECT_EQ(r.status, status) << arg;
        EXPECT_EQ(root.logged("failed to write standard output"), status != 0) << arg;
    }
}

TEST(ShareHook, PostFollowsOnlyAMovedPhotoShare) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.standIn(kReload);
    root.makeDir("/usr/local/etc/php56/conf.d");
    const std::vector<std::map<std::string, std::string>> idle = {
        {},
        {{"SHARE_PATH", "/volume1/photo"}},
        {{"ORIGIN_SHARE_PATH", "/volume2/photo"}},
        {{"SHARE_PATH", "/volume1/photo"}, {"ORIGIN_SHARE_PATH", "/volume1/photo"}},
        {{"SHARE_PATH", "/volume1/music"}, {"ORIGIN_SHARE_PATH", "/volume2/music"}}};
    for (const auto &env : idle) {
        auto r = hook(root, "--post", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/@tmp/photo_upload_tmp_dir"));
        EXPECT_FALSE(ApplianceRoot::exists(kPhpConf));
    }
    EXPECT_TRUE(root.calls(kReload).empty());

    auto r = hook(root, "--post",
                  {{"SHARE_PATH", "/volume1/photo"}, {"ORIGIN_SHARE_PATH", "/volume2/photo"}});
    EXPECT_EQ(r.status, 0) << testing::PrintToString(root.logLines());
    EXPECT_EQ(modeOf("/volume1/@tmp/photo_upload_tmp_dir"), 0777u);
    EXPECT_EQ(ApplianceRoot::readFile(kPhpConf),
              "upload_tmp_dir = \"/volume1/@tmp/photo_upload_tmp_dir\"\n");
    auto calls = root.calls(kReload);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{kReload, "php56-fpm"}));
}

TEST(ShareHook, MissingPhotoShareAndEncryption) {
    ApplianceRoot root;
    auto r = hook(root, "--set-upload-tmp-dir");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("Failed to KAVOShareGet [photo]"));
    EXPECT_TRUE(root.logged("Failed to getPhotoSharedPath"));
    EXPECT_TRUE(root.logged("Failed to createUploadTmpDir."));
    EXPECT_EQ(hook(root, "--check-photo-encrypted").status, 255);

    root.addShare("photo", "/volume1/photo");
    EXPECT_EQ(hook(root, "--check-photo-encrypted").status, 255);
    root.writeFile("/usr/kavo/etc/shares.conf",
                   "[photo]\n\tpath=\"/volume1/photo\"\n\tencrypted=\"yes\"\n");
    auto enc = hook(root, "--check-photo-encrypted");
    EXPECT_EQ(enc.status, 0);
    EXPECT_EQ(enc.out, "");
}
