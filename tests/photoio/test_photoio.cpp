// kavophotoio: deletions through the recycle bin or the temporary folder, moves, the parser,
// the fork, and the roots that are never deleted.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

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

// Every file below dir (relative path -> content), and whether a copy's temporary is there.
void snapshot(const std::string &dir, const std::string &rel,
              std::map<std::string, std::string> *out, bool *stray) {
    for (const std::string &name : entries(dir + rel)) {
        std::string r = rel + "/" + name;
        struct stat st;
        if (name.compare(0, 10, ".kavocopy.") == 0) {
            *stray = true;
        }
        if (lstat((dir + r).c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            snapshot(dir, r, out, stray);
        } else {
            (*out)[r] = ApplianceRoot::readFile(dir + r);
        }
    }
}

size_t countFiles(const std::string &dir) {
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    while (struct dirent *e = readdir(d)) {
        if (e->d_type == DT_DIR && e->d_name[0] != '.') {
            n += countFiles(dir + "/" + e->d_name);
        } else if (e->d_type == DT_REG && e->d_name[0] != '.') {
            n++;
        }
    }
    closedir(d);
    return n;
}

// Starts the program (blocking mode) as a process of its own; its pid.
pid_t start(const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        std::string prog = program("kavophotoio");
        argv.push_back(&prog[0]);
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
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

TEST(PhotoIo, LinksPlantedAsEaDataOrOnTheWayAreNeverFollowed) {
    ApplianceRoot root;
    uid_t evil = root.addUser("evil");
    for (const char *recycle : {"no", "yes"}) {
        root.addShare("photo", "/volume1/photo", {{"recycle_bin", recycle}});
        // Another user's album named like the attacker's photo, and a root-owned folder.
        root.writeFile("/volume1/photo/bob/x.jpg/keep.jpg", "bob");
        root.writeFile("/volume1/system/profile.d/keep.sh", "root", 0644);
        root.writeFile("/volume1/photo/evil/x.jpg", "mine", 0644, evil, evil);
        ASSERT_EQ(symlink("/volume1/photo/bob", "/volume1/photo/evil/@eaDir"), 0);
        EXPECT_EQ(io(root, {"-b", "-d", "/volume1/photo/evil/x.jpg"}).status,
                  std::string(recycle) == "yes" ? 0 : 255)
            << recycle;
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/evil/x.jpg"));
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/bob/x.jpg/keep.jpg"), "bob") << recycle;
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/#recycle/evil/@eaDir"));

        // A move whose destination folder has "@eaDir" linked at a root-owned place.
        root.writeFile("/volume1/photo/evil/profile.d", "p", 0644, evil, evil);
        root.writeFile("/volume1/photo/evil/@eaDir2/profile.d/evil.sh", "e", 0755, evil, evil);
        ASSERT_EQ(unlink("/volume1/photo/evil/@eaDir"), 0);
        ASSERT_EQ(rename("/volume1/photo/evil/@eaDir2", "/volume1/photo/evil/@eaDir"), 0);
        root.makeDir("/volume1/photo/evil2", 0777, evil, evil);
        ASSERT_EQ(symlink("/volume1/system", "/volume1/photo/evil2/@eaDir"), 0);
        EXPECT_EQ(io(root, {"-b", "-m", "/volume1/photo/evil2/profile.d",
                            "/volume1/photo/evil/profile.d"})
                      .status,
                  0);
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/evil2/profile.d"), "p");
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/system/profile.d/keep.sh"), "root");
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/system/profile.d/evil.sh"));

        // Sources and destinations through a link or "..", inside or outside the share.
        root.writeFile("/volume1/outside/o.jpg", "outside");
        root.writeFile("/volume1/photo/evil/m.jpg", "m");
        ASSERT_EQ(symlink("/volume1/outside", "/volume1/photo/evil/out"), 0);
        const std::vector<std::vector<std::string>> moves = {
            {"/volume1/photo/evil/out/o.jpg", "/volume1/photo/evil/m.jpg"},
            {"/volume1/photo/../outside/o.jpg", "/volume1/photo/evil/m.jpg"},
            {"/volume1/photo/evil/n.jpg", "/volume1/photo/evil/out/o.jpg"},
            {"/volume1/photo/evil/n.jpg", "/volume1/photo/evil/../../outside/o.jpg"},
            {"/volume1/photo/evil/n", "/volume1/photo/evil/out/"},
        };
        for (const auto &m : moves) {
            root.clearLog();
            EXPECT_EQ(io(root, {"-b", "-m", m[0], m[1]}).status, 255) << m[0] << " " << m[1];
            EXPECT_TRUE(root.logged("Refused to move")) << m[0] << " " << m[1];
        }
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/o.jpg"), "outside");
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/evil/m.jpg"), "m");
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/evil/n.jpg"));
        ASSERT_EQ(system("rm -rf /volume1/photo /volume1/system /volume1/outside"), 0);
        root.writeFile("/usr/kavo/etc/shares.conf", "");
    }
}

TEST(PhotoIo, FolderSwappedForALinkWhileDeletingOrMovingTakesNothingElse) {
    ApplianceRoot root;
    for (const char *recycle : {"no", "yes"}) {
        root.addShare("photo", "/volume1/photo", {{"recycle_bin", recycle}});
        root.writeFile("/volume1/photo/bob/x.jpg", "bob");
        root.writeFile("/volume1/outside/x.jpg", "outside");
        root.makeDir("/volume1/photo/evil/d");
        ASSERT_EQ(symlink("/volume1/photo/bob", "/volume1/photo/evil/l"), 0);
        ASSERT_EQ(symlink("/volume1/outside", "/volume1/photo/evil/o"), 0);
        int real = open("/volume1/photo/evil/d", O_RDONLY | O_DIRECTORY);
        ASSERT_GE(real, 0);
        // The folder trades places with each link in turn.
        Swapper swapper({{"/volume1/photo/evil/d", "/volume1/photo/evil/o"},
                         {"/volume1/photo/evil/d", "/volume1/photo/evil/l"}},
                        3);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int runs = 0;
        while (std::chrono::steady_clock::now() < end) {
            int fd = openat(real, "x.jpg", O_WRONLY | O_CREAT, 0644);
            EXPECT_GE(fd, 0);
            if (fd < 0) {
                break;
            }
            close(fd);
            io(root, {"-b", "-d", "/volume1/photo/evil/d/x.jpg"});
            // Moves through the same name: neither replace nor take what a link leads to.
            root.writeFile("/volume1/photo/evil/mine.jpg", "mine");
            io(root, {"-b", "-m", "/volume1/photo/evil/d/x.jpg", "/volume1/photo/evil/mine.jpg"});
            io(root, {"-b", "-m", "/volume1/photo/evil/got.jpg", "/volume1/photo/evil/d/x.jpg"});
            runs++;
        }
        swapper.stop();
        close(real);
        EXPECT_GT(runs, 0);
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/bob/x.jpg"), "bob") << recycle;
        EXPECT_EQ(ApplianceRoot::readFile("/volume1/outside/x.jpg"), "outside") << recycle;
        ASSERT_EQ(system("rm -rf /volume1/photo /volume1/outside /volume1/@tmp"), 0);
        root.writeFile("/usr/kavo/etc/shares.conf", "");
    }
}

namespace {

const char kAlbumAcl[] = "kavoacl 1 inherit\nuser:1001:allow:rwxpdDaARWc--:fd--\n";
const int kAlbumPhotos = 120;
const std::vector<std::string> kAlbumMove = {"-b", "-m", "/volume2/archive/album",
                                             "/volume1/photo/album"};

// The album the kill tests move from /volume1/photo to /volume2/archive: photos in five
// folders, an ACL on the album and EA data beside it.
void makeAlbum(ApplianceRoot &root, uid_t uid) {
    root.makeDir("/volume1/photo/album", 0750, uid, uid);
    ASSERT_EQ(
        setxattr("/volume1/photo/album", "security.kavo.acl", kAlbumAcl, strlen(kAlbumAcl), 0), 0);
    for (int i = 0; i < kAlbumPhotos; i++) {
        root.writeFile(
            "/volume1/photo/album/d" + std::to_string(i % 5) + "/p" + std::to_string(i) + ".jpg",
            std::string(48 * 1024, (char)('a' + i % 26)) + std::to_string(i), 0640, uid, uid);
    }
    root.writeFile("/volume1/photo/@eaDir/album/SYNOINDEX", "ea");
}

// Kill point k of 24 has come: while copying (by how much arrived, points 1 to 12), once all
// is copied and flushed (13 to 16), and while removing (by how much of the source went).
bool killPointReached(int k) {
    size_t there = countFiles("/volume2/archive/album");
    size_t left = countFiles("/volume1/photo/album");
    if (k <= 12) {
        return there >= (size_t)k * 9;
    }
    if (k <= 16) {
        return there == kAlbumPhotos && left == kAlbumPhotos;
    }
    return left <= (size_t)(kAlbumPhotos - (k - 16) * 14);
}

// Runs the move until kill point k (or for at most limit) and kills it there, unless it ended.
void moveKilledAt(int k, std::chrono::steady_clock::duration limit) {
    pid_t pid = start(kAlbumMove);
    auto end = std::chrono::steady_clock::now() + limit;
    while (!killPointReached(k) && std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The album arrived whole, with its mode, owner and ACL, and nothing of it stayed behind.
void expectAlbumArrived(const std::map<std::string, std::string> &want, uid_t uid, int k) {
    std::map<std::string, std::string> dst;
    bool stray = false;
    snapshot("/volume2/archive/album", "", &dst, &stray);
    EXPECT_EQ(dst, want) << "kill point " << k;
    EXPECT_FALSE(stray) << k;
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album")) << k;
    struct stat st;
    ASSERT_EQ(stat("/volume2/archive/album", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u) << k;
    EXPECT_EQ(st.st_uid, uid) << k;
    char buf[256];
    ssize_t n = getxattr("/volume2/archive/album", "security.kavo.acl", buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, n < 0 ? 0 : (size_t)n), kAlbumAcl) << k;
}

}  // namespace

TEST(PhotoIo, MoveKilledAnywhereLosesNothingAndARerunFinishesIt) {
    ApplianceRoot root;
    uid_t uid = root.addUser("kate");
    root.mountTmpfs("/volume2");
    root.addShare("photo", "/volume1/photo");
    root.addShare("archive", "/volume2/archive");
    makeAlbum(root, uid);
    std::map<std::string, std::string> want;
    bool stray = false;
    snapshot("/volume1/photo/album", "", &want, &stray);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(io(root, kAlbumMove).status, 0);
    auto full = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(system("rm -rf /volume2/archive/album /volume2/archive/@eaDir"), 0);

    for (int k = 1; k <= 24; k++) {
        makeAlbum(root, uid);
        moveKilledAt(k, full * 20);
        // Every file is whole in one place or the other.
        std::map<std::string, std::string> src, dst;
        snapshot("/volume1/photo/album", "", &src, &stray);
        snapshot("/volume2/archive/album", "", &dst, &stray);
        for (const auto &f : want) {
            EXPECT_TRUE(src[f.first] == f.second || dst[f.first] == f.second)
                << f.first << " at kill point " << k;
        }
        // The rerun finishes it (or finds it finished).
        auto r = io(root, kAlbumMove);
        EXPECT_TRUE(r.status == 0 || !ApplianceRoot::exists("/volume1/photo/album")) << k;
        expectAlbumArrived(want, uid, k);
        ASSERT_EQ(system("rm -rf /volume2/archive/album /volume2/archive/@eaDir "
                         "/volume1/photo/@eaDir"),
                  0);
    }
}

TEST(PhotoIo, FailedRemovalIsAFailureAndKeepsTheEaData) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "no"}});
    root.writeFile("/volume1/photo/album/a.jpg", "a");
    root.writeFile("/volume1/photo/@eaDir/album/E", "e");
    root.makeDir("/volume1/photo/album/mnt");
    ASSERT_EQ(mount("inner", "/volume1/photo/album/mnt", "tmpfs", 0, nullptr), 0);
    root.writeFile("/volume1/photo/album/mnt/other.jpg", "o");
    int inner = open("/volume1/photo/album/mnt", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(inner, 0);
    auto r = io(root, {"-b", "-d", "/volume1/photo/album"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(root.logged("/bin/rm exit status"));
    EXPECT_TRUE(root.logged("cbDeleteIndex: TmpDirCheckAndMakeAndRemove: fail to move"));
    struct stat st;
    EXPECT_EQ(fstatat(inner, "other.jpg", &st, 0), 0);  // rm stayed on its file system
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/@eaDir/album/E"), "e");
    ASSERT_EQ(fstat(open("/volume1/@tmp", O_RDONLY), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    close(inner);
    for (const std::string &name : entries("/volume1/@tmp")) {
        umount2(("/volume1/@tmp/" + name + "/mnt").c_str(), MNT_DETACH);
    }
    umount2("/volume1/photo/album/mnt", MNT_DETACH);
}

TEST(PhotoIo, CallerReadingTheOutputDoesNotWaitForTheChild) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo", {{"recycle_bin", "no"}});
    root.writeFile("/volume1/photo/album/a.jpg", "a");
    // The removal waits until the test lets it go (or a safety delay has passed).
    ASSERT_EQ(rename("/usr/bin/rm", "/usr/bin/rm.real"), 0);
    root.writeFile("/usr/bin/rm",
                   "#!/bin/sh\nwhile [ ! -e /tmp/go ]; do sleep 0.05; done\n"
                   "exec /usr/bin/rm.real \"$@\"\n",
                   0755);
    std::thread valve([] {
        for (int i = 0; i < 160 && !ApplianceRoot::exists("/tmp/go"); i++) {
            usleep(50000);
        }
        close(open("/tmp/go", O_WRONLY | O_CREAT, 0644));
    });
    auto r = io(root, {"-d", "/volume1/photo/album"});
    bool stillThere = !ApplianceRoot::exists("/tmp/go");
    close(open("/tmp/go", O_WRONLY | O_CREAT, 0644));
    valve.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(stillThere) << "the caller waited for the delete";
    for (int i = 0; i < 200 && !entries("/volume1/@tmp").empty(); ++i) {
        usleep(20000);
    }
    EXPECT_TRUE(entries("/volume1/@tmp").empty());
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album"));
    rename("/usr/bin/rm.real", "/usr/bin/rm");
}
