// Both watermark programs on a private store: copies, owners, modes, sizes, deletion, and
// names that would leave a user's folder.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "photos.h"

using namespace lumora::test;

namespace {

const std::string kStore = "/var/packages/Lumora/target/watermarks";

RunResult rootTool(ApplianceRoot &root, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program("kavophoto_watermark_util_root")};
    argv.insert(argv.end(), args.begin(), args.end());
    return root.run(argv);
}

RunResult userTool(ApplianceRoot &root, const std::vector<std::string> &args,
                   const std::string &as = "") {
    std::vector<std::string> argv = {program("kavophoto_watermark_util")};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opt;
    opt.asUser = as;
    return root.run(argv, opt);
}

struct stat statOf(const std::string &path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// A real JPEG of the given size, made by cjpeg from a PPM.
void makeJpeg(ApplianceRoot &root, const std::string &path, int w, int h) {
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    ppm += std::string((size_t)w * h * 3, '\x80');
    root.writeFile("/tmp/in.ppm", ppm);
    auto r = root.run({"/usr/bin/cjpeg", "-outfile", path, "/tmp/in.ppm"});
    ASSERT_EQ(r.status, 0) << r.err;
    unlink("/tmp/in.ppm");
}

}  // namespace

TEST(Watermark, CopyGivesTheUserTheImageAndDropsEaData) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    uid_t alice = root.addUser("alice");
    gid_t aliceGroup = root.gidOf("alice");
    root.writeFile("/tmp/upload.png", "PNGDATA", 0600);
    root.makeDir(kStore + "/alice/@eaDir/old.png", 0755);

    // The login name is matched ignoring case; the folder keeps the name as given.
    auto r = rootTool(root, {"-c", "/tmp/upload.png", "alice", "mark.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ApplianceRoot::readFile(kStore + "/alice/mark.png"), "PNGDATA");
    struct stat st = statOf(kStore + "/alice/mark.png");
    EXPECT_EQ(st.st_uid, alice);
    EXPECT_EQ(st.st_gid, aliceGroup);
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/alice/@eaDir"));

    // "-o" hands the image to the user and the package group, mode 0660.
    r = rootTool(root, {"xo", "alice", "mark.png"});
    EXPECT_EQ(r.status, 0);
    st = statOf(kStore + "/alice/mark.png");
    EXPECT_EQ(st.st_uid, alice);
    EXPECT_EQ(st.st_gid, root.gidOf("Lumora"));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_TRUE(root.logLines().empty());
}

TEST(Watermark, CopyForAnUnknownUserAndUnreadableSource) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.writeFile("/tmp/upload.png", "X");
    root.makeDir(kStore + "/ghost/@eaDir", 0755);
    auto r = rootTool(root, {"-c", "/tmp/upload.png", "ghost", "m.png"});
    EXPECT_EQ(r.status, 0);
    struct stat st = statOf(kStore + "/ghost/m.png");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_TRUE(root.logged("kavophoto_watermark_util_root:"));
    EXPECT_TRUE(root.logged(" KAVOUserGet(ghost) failed"));
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/ghost/@eaDir"));

    // An unreadable source: logged, 255, the EA folder left alone.
    root.clearLog();
    root.makeDir(kStore + "/ghost/@eaDir", 0755);
    r = rootTool(root, {"-c", "/tmp/none.png", "ghost", "n.png"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged(" ifstream open failed: /tmp/none.png"));
    EXPECT_TRUE(ApplianceRoot::exists(kStore + "/ghost/@eaDir"));
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/ghost/n.png"));
}

TEST(Watermark, ArgumentCountsAndBuilds) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addUser("alice");
    root.writeFile("/tmp/upload.png", "X");
    // Too few arguments, a letter of the other build, a letter of neither: all 255.
    const std::vector<std::vector<std::string>> rootRefuses = {{},
                                                               {"-c", "/tmp/upload.png", "alice"},
                                                               {"-d", "alice"},
                                                               {"-r", "alice", "x"},
                                                               {"-z", "alice"}};
    const std::vector<std::vector<std::string>> userRefuses = {
        {"-c", "/tmp/upload.png", "alice", "m.png"},
        {"-e", "/tmp/upload.png"},
        {"-o", "alice", "m.png"},
        {"-d"}};
    for (const auto &args : rootRefuses) {
        EXPECT_EQ(rootTool(root, args).status, 255) << testing::PrintToString(args);
    }
    for (const auto &args : userRefuses) {
        EXPECT_EQ(userTool(root, args).status, 255) << testing::PrintToString(args);
    }
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/alice"));
}

TEST(Watermark, UserNameTooLongForALoginNameIsNoAccount) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    // An account whose name is all that would be left of a longer one cut to fit.
    const std::string fits(492, 'a');  // the longest login name
    const std::string longer = fits + "bbbb";
    root.addUser(fits, 0, 0, "/volume1/homes/long");
    root.writeFile("/tmp/upload.png", "X");
    EXPECT_EQ(rootTool(root, {"-c", "/tmp/upload.png", longer, "m.png"}).status, 255);
    EXPECT_TRUE(root.logged(" KAVOUserGet(" + longer + ") failed"));
}

TEST(Watermark, OwnershipNeedsBothAccounts) {
    ApplianceRoot root;
    root.addUser("alice");
    root.writeFile(kStore + "/alice/m.png", "X", 0644);
    // No package account yet: nothing changes.
    EXPECT_EQ(rootTool(root, {"-o", "alice", "m.png"}).status, 255);
    EXPECT_EQ(statOf(kStore + "/alice/m.png").st_uid, 0u);
    EXPECT_EQ(statOf(kStore + "/alice/m.png").st_mode & 07777, 0644u);
    root.addLumoraAccounts();
    EXPECT_EQ(rootTool(root, {"-o", "nobody-here", "m.png"}).status, 255);
    EXPECT_EQ(rootTool(root, {"-o", "alice", "missing.png"}).status, 255);
}

TEST(Watermark, ImageSize) {
    ApplianceRoot root;
    makeJpeg(root, "/tmp/wm.jpg", 640, 480);
    auto r = rootTool(root, {"-e", "/tmp/wm.jpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "640 480\n");
    root.writeFile("/tmp/text.jpg", "not an image");
    r = rootTool(root, {"-e", "/tmp/text.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(root.logged(" readMetadata failed: /tmp/text.jpg"));
}

TEST(Watermark, UserBuildMakesFoldersAndDeletes) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.makeDir(kStore, 0777);
    root.addUser("alice");
    auto r = userTool(root, {"-d", "alice"}, "alice");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(statOf(kStore + "/alice").st_uid, root.uidOf("alice"));
    root.writeFile(kStore + "/alice/m.png", "X", 0660, root.uidOf("alice"));
    EXPECT_EQ(userTool(root, {"-r", "alice", "m.png"}, "alice").status, 0);
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/alice/m.png"));
    EXPECT_EQ(userTool(root, {"-r", "alice", "m.png"}, "alice").status, 255);
    EXPECT_EQ(r.out + userTool(root, {"-d", "bob"}).out, "");
}

TEST(Watermark, NamesThatLeaveTheStoreAreRefused) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addUser("alice");
    root.writeFile("/tmp/upload.png", "X");
    root.writeFile("/var/packages/Lumora/target/victim", "keep", 0600);
    root.makeDir(kStore + "/alice", 0755);

    for (const char *user : {"", ".", "..", "../..", "alice/sub"}) {
        EXPECT_EQ(rootTool(root, {"-c", "/tmp/upload.png", user, "m.png"}).status, 255) << user;
        EXPECT_EQ(userTool(root, {"-d", user}).status, 255) << user;
    }
    for (const char *name : {"", ".", "..", "../../victim", "../m.png"}) {
        EXPECT_EQ(rootTool(root, {"-c", "/tmp/upload.png", "alice", name}).status, 255) << name;
        EXPECT_EQ(rootTool(root, {"-o", "alice", name}).status, 255) << name;
        EXPECT_EQ(userTool(root, {"-r", "alice", name}).status, 255) << name;
    }
    // The root build logs its refusals; the user build writes no messages.
    EXPECT_TRUE(root.logged("kavophoto_watermark_util_root:"));
    EXPECT_FALSE(root.logged("kavophoto_watermark_util:"));
    EXPECT_EQ(ApplianceRoot::readFile("/var/packages/Lumora/target/victim"), "keep");
    EXPECT_EQ(statOf("/var/packages/Lumora/target/victim").st_mode & 07777, 0600u);
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/m.png"));

    // A link planted as an image is not followed by "-o".
    ASSERT_EQ(symlink("/var/packages/Lumora/target/victim", (kStore + "/alice/l.png").c_str()), 0);
    EXPECT_EQ(rootTool(root, {"-o", "alice", "l.png"}).status, 255);
    EXPECT_EQ(statOf("/var/packages/Lumora/target/victim").st_uid, 0u);
    EXPECT_EQ(statOf("/var/packages/Lumora/target/victim").st_mode & 07777, 0600u);
}

// Links planted in the store, and a user's folder swapped (rename exchange) for a link while
// the root build runs again and again: nothing outside the store is written, re-owned or
// removed.
TEST(Watermark, LinksInTheStoreAreNeverFollowed) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addUser("alice");
    root.addUser("bob");
    const std::string outside = "/var/packages/Lumora/target/outside";
    const std::string victim = outside + "/victim.png";
    root.writeFile(victim, "keep", 0600);
    root.makeDir(outside + "/@eaDir/kept", 0755);
    root.writeFile("/tmp/upload.png", "PNGDATA", 0644);
    root.makeDir(kStore + "/alice", 0755, root.uidOf("alice"));
    auto untouched = [&] {
        struct stat st = statOf(victim);
        EXPECT_EQ(ApplianceRoot::readFile(victim), "keep");
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(ApplianceRoot::exists(outside + "/@eaDir/kept"));
    };

    // A user's folder that is a link: every operation refuses it.
    ASSERT_EQ(symlink(outside.c_str(), (kStore + "/bob").c_str()), 0);
    EXPECT_EQ(rootTool(root, {"-c", "/tmp/upload.png", "bob", "victim.png"}).status, 255);
    EXPECT_EQ(rootTool(root, {"-o", "bob", "victim.png"}).status, 255);
    EXPECT_EQ(userTool(root, {"-r", "bob", "victim.png"}).status, 255);
    EXPECT_EQ(userTool(root, {"-d", "bob"}).status, 255);
    untouched();

    // Links and a second name inside the user's own folder.
    ASSERT_EQ(symlink(victim.c_str(), (kStore + "/alice/l.png").c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), (kStore + "/alice/h.png").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/@eaDir").c_str(), (kStore + "/alice/@eaDir").c_str()), 0);
    EXPECT_EQ(rootTool(root, {"-o", "alice", "l.png"}).status, 255);
    EXPECT_EQ(rootTool(root, {"-o", "alice", "h.png"}).status, 255);
    // The copy replaces the link (and the EA link goes), the file it named stays as it was.
    EXPECT_EQ(rootTool(root, {"-c", "/tmp/upload.png", "alice", "l.png"}).status, 0);
    EXPECT_EQ(ApplianceRoot::readFile(kStore + "/alice/l.png"), "PNGDATA");
    EXPECT_TRUE(S_ISREG(statOf(kStore + "/alice/l.png").st_mode));
    EXPECT_FALSE(ApplianceRoot::exists(kStore + "/alice/@eaDir"));
    ASSERT_EQ(unlink((kStore + "/alice/h.png").c_str()), 0);
    untouched();

    // The race: alice's folder and a link to the outside folder trade places.
    root.writeFile(kStore + "/alice/victim.png", "mine", 0644, root.uidOf("alice"));
    root.makeDir(kStore + "/alice/@eaDir", 0755);
    const std::string decoy = kStore + "/decoy";
    ASSERT_EQ(symlink(outside.c_str(), decoy.c_str()), 0);
    Swapper swapper(kStore + "/alice", decoy, 4);
    int done = 0;
    for (int i = 0; i < 15; i++) {
        done += rootTool(root, {"-c", "/tmp/upload.png", "alice", "victim.png"}).status == 0;
        done += rootTool(root, {"-o", "alice", "victim.png"}).status == 0;
    }
    swapper.stop();
    EXPECT_GT(done, 0);
    untouched();
}

TEST(Watermark, ImageSizeOfCr3AndOfHostileFiles) {
    ApplianceRoot root;
    photos::Cr3 shape;
    shape.thumbnail = std::string("\xFF\xD8\xFF\xD9", 4);
    shape.preview = shape.thumbnail;
    shape.width = 6000;
    shape.height = 4000;
    root.writeFile("/tmp/IMG_0001.CR3", photos::cr3(shape));
    auto r = rootTool(root, {"-e", "/tmp/IMG_0001.CR3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "6000 4000\n");

    // A FIFO ends the run instead of blocking it; a file that keeps the parser busy for hours
    // ends at the CPU bound (here one second, set by the caller).
    ASSERT_EQ(mkfifo("/tmp/pipe.jpg", 0666), 0);
    r = rootTool(root, {"-e", "/tmp/pipe.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged(" readMetadata failed: /tmp/pipe.jpg"));
    std::string qt(
        "\0\0\0\x14"
        "ftypqt  \0\0\0\0qt  \0\0\0\xbc"
        "stts\0\0\0\0\xe6\x4c\x1d\xa6",
        36);
    root.writeFile("/tmp/hang.mov", qt + std::string(44, '\0'));
    root.writeFile(
        "/tmp/bounded",
        "#!/bin/sh\nulimit -t 1\nexec " + program("kavophoto_watermark_util_root") + " \"$@\"\n",
        0755);
    r = root.run({"/tmp/bounded", "-e", "/tmp/hang.mov"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(root.logged(" readMetadata failed: /tmp/hang.mov"));
}
