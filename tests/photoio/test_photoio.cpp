// kavophotoio: deletions through the recycle bin or the temporary folder, moves, the parser,
// the fork, and the roots that are never deleted.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using namespace lumora::test;

namespace {

const char kUsageTail[] =
    "Usage:\n"
    "\tEx: PROG [options] [index path] {old index path}\n"
    "Options:\n"
    "\tb: blocked running, do not fork\n"
    "\ta: adding type of indexing\n"
    "\tA: recursive adding type of indexing\n"
    "\td: deleting type of indexing\n"
    "\tD: recursive deleting type of indexing\n"
    "\tm: move type of indexing\n";

RunResult io(ApplianceRoot &root, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program("kavophotoio")};
    argv.insert(argv.end(), args.begin(), args.end());
    return root.run(argv);
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        return out;
    }
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") {
            out.push_back(n);
        }
    }
    closedir(d);
    return out;
}

// A photo share holding a file and a folder, each with EA data.
void gallery(ApplianceRoot &root, const std::string &recycle) {
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", recycle}});
    root.writeFile("/volume1/photo/trip/a.jpg", "A");
    root.writeFile("/volume1/photo/trip/@eaDir/a.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "T");
    root.writeFile("/volume1/photo/trip/day1/b.jpg", "B");
    root.writeFile("/volume1/photo/trip/@eaDir/day1/SYNOINDEX", "E");
}

std::string usage() {
    std::string u = kUsageTail;
    std::string prog = program("kavophotoio");
    return u.replace(u.find("PROG"), 4, prog);
}

}  // namespace

TEST(PhotoIo, UsageAndParser) {
    ApplianceRoot root;
    for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"-a"}, {"-b", "-a"}, {"-x"}}) {
        auto r = io(root, args);
        EXPECT_EQ(r.status, 255) << args[0];
        ASSERT_GE(r.out.size(), usage().size());
        EXPECT_EQ(r.out.substr(r.out.size() - usage().size()), usage());
    }
    // "-b" alone: mode add with no path.
    auto r = io(root, {"-b"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("kavophotoio:"));
    EXPECT_TRUE(root.logged(" cbAddRecursiveIndex: incorrect parameters!"));
    EXPECT_EQ(io(root, {"-b", "-A", "/volume1/photo/x"}).status, 0);
    // A later mode replaces an earlier one: "-a" then "-D" of a file fails.
    root.writeFile("/volume1/photo/f.jpg", "x");
    root.clearLog();
    EXPECT_EQ(io(root, {"-b", "-a", "/x", "-D", "/volume1/photo/f.jpg"}).status, 255);
    EXPECT_TRUE(root.logged(" cbDeleteRecursive: /volume1/photo/f.jpg does not exist!"));
    root.clearLog();
    EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/none.jpg"}).status, 255);
    EXPECT_TRUE(root.logged(" cbDeleteIndex: /volume1/photo/none.jpg is not file or folder!"));
}

TEST(PhotoIo, DeleteIntoTheRecycleBinKeepsEaData) {
    ApplianceRoot root;
    gallery(root, "yes");
    auto r = io(root, {"-b", "-d", "/volume1/photo/trip/a.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/a.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/trip/a.jpg"), "A");
    // The EA data is not removed: it goes along with the item.
    EXPECT_EQ(ApplianceRoot::readFile(
                  "/volume1/photo/#recycle/trip/@eaDir/a.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg"),
              "T");

    r = io(root, {"-b", "-D", "/volume1/photo/trip/day1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/trip/day1/b.jpg"), "B");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/#recycle/trip/@eaDir/day1/SYNOINDEX"), "E");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/@tmp"));
}

TEST(PhotoIo, DeleteWithoutRecycleBinGoesThroughTheTemporaryFolder) {
    ApplianceRoot root;
    gallery(root, "no");
    auto r = io(root, {"-b", "-d", "/volume1/photo/trip/a.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/a.jpg"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/@eaDir/a.jpg"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/#recycle"));
    // The temporary folder is made on demand and left empty.
    struct stat st;
    ASSERT_EQ(stat("/volume1/@tmp", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(entries("/volume1/@tmp").empty());

    r = io(root, {"-b", "-d", "/volume1/photo/trip/day1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/day1"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/@eaDir/day1"));
    EXPECT_TRUE(entries("/volume1/@tmp").empty());
    EXPECT_TRUE(root.logLines().empty());
}

TEST(PhotoIo, SameNameInTheSameSecondGetsItsOwnTemporaryName) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/photo/a/same/x.jpg", "1");
    root.writeFile("/volume1/photo/b/same/y.jpg", "2");
    // A left-over of the same name and second sits in the temporary folder already: the
    // removal must neither fail nor replace it.
    root.makeDir("/volume1/@tmp", 0777);
    long now = (long)time(nullptr);
    for (long t = now; t <= now + 3; ++t) {
        root.writeFile("/volume1/@tmp/same." + std::to_string(t) + "/keep", "k");
    }
    EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/a/same"}).status, 0);
    EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/b/same"}).status, 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/a/same"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/b/same"));
    for (long t = now; t <= now + 3; ++t) {
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/@tmp/same." + std::to_string(t) + "/keep"),
                  "k");
    }
    EXPECT_EQ(entries("/volume1/@tmp").size(), 4u);
}

TEST(PhotoIo, ShareAndHomeRootsAreNeverDeleted) {
    ApplianceRoot root;
    root.addHomesShare({{"recycle_bin", "no"}});
    root.addUser("alice");
    root.writeFile("/volume1/homes/alice/photo/p.jpg", "p");
    for (const char *recycle : {"no", "yes"}) {
        ApplianceRoot::readFile("/usr/kavo/etc/shares.conf");
        root.addShare("photo", "/volume1/photo", {{"recycle_bin", recycle}});
        root.writeFile("/volume1/photo/keep.jpg", "k");
        for (const char *path :
             {"/volume1/photo/", "/volume1/photo", "/var/services/photo", "/volume1/photo/trip/..",
              "/volume1/homes/alice", "/volume1/homes/alice/", "/volume1/homes"}) {
            root.clearLog();
            EXPECT_EQ(io(root, {"-b", "-d", path}).status, 255) << path << " " << recycle;
            EXPECT_EQ(io(root, {"-b", "-D", path}).status, 255) << path << " " << recycle;
        }
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/keep.jpg"), "k");
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/homes/alice/photo/p.jpg"), "p");
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/#recycle/keep.jpg"));
        root.writeFile("/usr/kavo/etc/shares.conf",
                       "[homes]\n\tpath=\"/volume1/homes\"\n\trecycle_bin=\"no\"\n");
    }
}

TEST(PhotoIo, HomePathsBelongToTheHomeShare) {
    ApplianceRoot root;
    root.addHomesShare({{"recycle_bin", "yes"}});
    root.addUser("alice");
    root.writeFile("/volume1/homes/alice/photo/p.jpg", "p");
    auto r = io(root, {"-b", "-d", "/volume1/homes/alice/photo/p.jpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/homes/alice/#recycle/photo/p.jpg"), "p");

    // Reached through a link, the item does not begin with the real home root.
    ASSERT_EQ(symlink("/volume1/homes", "/volume1/linked"), 0);
    root.addUser("bob", 0, 0, "/volume1/linked/bob");
    root.makeDir("/volume1/homes/bob", 0755);
    root.writeFile("/volume1/homes/bob/q.jpg", "q");
    r = io(root, {"-b", "-d", "/volume1/linked/bob/q.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(
        root.logged("Path is not begin with share, path: [/volume1/linked/bob/q.jpg], "
                    "share: [/volume1/homes/bob]."));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/homes/bob/q.jpg"), "q");
}

TEST(PhotoIo, OutsideAnyShareFails) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/photo2/x.jpg", "x");
    auto r = io(root, {"-b", "-d", "/volume1/photo2/x.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("KAVOShareNamePathGet failed. path: [/volume1/photo2/x.jpg]. [0x"));
    EXPECT_TRUE(root.logged("RecycleGetShareNamePath failed. path: [/volume1/photo2/x.jpg] "));
    EXPECT_TRUE(ApplianceRoot::exists("/volume1/photo2/x.jpg"));
}

TEST(PhotoIo, RemovalAcrossFileSystems) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    root.mountTmpfs("/volume2/photo");  // the share is its own file system
    root.addShare("photo", "/volume2/photo");
    root.writeFile("/volume2/photo/d/x.jpg", "x");
    root.writeFile("/volume2/photo/@eaDir/d/E", "e");
    auto r = io(root, {"-b", "-d", "/volume2/photo/d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume2/photo/d"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume2/photo/@eaDir/d"));
    EXPECT_TRUE(entries("/volume2/@tmp").empty());
}

TEST(PhotoIo, MovesFilesAndFolders) {
    ApplianceRoot root;
    gallery(root, "no");
    auto r = io(root, {"-b", "-m", "/volume1/photo/moved.jpg", "/volume1/photo/trip/a.jpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/moved.jpg"), "A");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/a.jpg"));
    EXPECT_TRUE(
        ApplianceRoot::exists("/volume1/photo/@eaDir/moved.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg"));

    // "-c" keeps the source.
    r = io(root, {"-c", "-b", "-m", "/volume1/photo/day2", "/volume1/photo/trip/day1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/day2/b.jpg"), "B");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/trip/day1/b.jpg"), "B");

    // The old path is the word right after the new one; without it nothing happens.
    root.clearLog();
    r = io(root, {"-b", "-m", "/volume1/photo/none.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logLines().empty());
    r = io(root, {"-b", "-m", "/volume1/photo/n.jpg", "/volume1/photo/missing.jpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged(" cbMoveIndex: /volume1/photo/missing.jpg is not file or folder!"));
}

TEST(PhotoIo, ForkedChildDoesTheWork) {
    ApplianceRoot root;
    gallery(root, "no");
    // Without "-b" the caller sees 0 even for work that fails.
    EXPECT_EQ(io(root, {"-D", "/volume1/photo/trip/a.jpg"}).status, 0);
    EXPECT_EQ(io(root, {"-d", "/volume1/photo/trip/day1"}).status, 0);
    for (int i = 0; i < 100 && ApplianceRoot::exists("/volume1/photo/trip/day1"); ++i) {
        usleep(20000);
    }
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/trip/day1"));
    EXPECT_TRUE(root.logged(" cbDeleteRecursive: /volume1/photo/trip/a.jpg does not exist!"));
}

TEST(PhotoIo, PathsThatLeaveTheirShareAreRefused) {
    ApplianceRoot root;
    root.addHomesShare({{"recycle_bin", "no"}});
    root.addUser("alice");
    root.addUser("bob");
    root.writeFile("/volume1/homes/bob/photo/b.jpg", "b");
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "no"}});
    root.addShare("music", "/volume1/music", {{"recycle_bin", "no"}});
    root.writeFile("/volume1/photo/trip/a.jpg", "a");
    root.writeFile("/volume1/music/song.mp3", "s");
    root.writeFile("/volume1/outside/x.jpg", "x");
    ASSERT_EQ(symlink("/volume1/outside", "/volume1/photo/link"), 0);

    // Another share's root, another user's home, and a folder reached through a link: each
    // names something outside the share or home the path was found in.
    for (const char *path : {"/volume1/photo/../music", "/volume1/photo/trip/../../music",
                             "/volume1/homes/alice/../bob", "/volume1/photo/link/",
                             "/volume1/photo/link/x.jpg", "/volume1/photo/trip/.."}) {
        root.clearLog();
        EXPECT_EQ(io(root, {"-b", "-d", path}).status, 255) << path;
        EXPECT_TRUE(root.logged("Refused to delete")) << path;
        EXPECT_FALSE(root.logged("TmpDirCheckAndMakeAndRemove")) << path;
    }
    EXPECT_EQ(io(root, {"-b", "-D", "/volume1/photo/../music"}).status, 255);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/music/song.mp3"), "s");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/homes/bob/photo/b.jpg"), "b");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/x.jpg"), "x");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/trip/a.jpg"), "a");

    // A link is an item of its own: deleting it leaves what it points to.
    EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/link"}).status, 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/link"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/x.jpg"), "x");
    EXPECT_TRUE(entries("/volume1/@tmp").empty());
}

TEST(PhotoIo, LinkedFolderOnAShareOfItsOwnIsNotEmptied) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    root.mountTmpfs("/volume2/photo");
    root.addShare("photo", "/volume2/photo");
    root.writeFile("/volume2/outside/keep.jpg", "k");
    ASSERT_EQ(symlink("/volume2/outside", "/volume2/photo/album"), 0);
    // The temporary folder lies on another file system, so the item would be removed where it
    // is: through the link, that would empty the folder it points to.
    EXPECT_EQ(io(root, {"-b", "-d", "/volume2/photo/album/"}).status, 255);
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/outside/keep.jpg"), "k");
}

TEST(PhotoIo, ShareRootWithTheRecycleBinOnFailsOnItsRelativePath) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "yes"}});
    root.writeFile("/volume1/photo/keep.jpg", "k");
    EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/"}).status, 255);
    EXPECT_TRUE(root.logged(" Format of relative path is wrong, path: [/volume1/photo/]."));
    EXPECT_TRUE(
        root.logged(" RecycleGetShareNamePath failed. path: [/volume1/photo/], share name: "
                    "[photo], share path: [/volume1/photo] "));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/keep.jpg"), "k");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/#recycle"));
}
