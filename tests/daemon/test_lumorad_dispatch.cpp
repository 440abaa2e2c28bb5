// What the daemon's start-up passes do with the lines of both queue files: the worker command
// lines, the face-recognition walk, skipped and unknown lines, and the worker waits.
#include <functional>

#include "lumorad_test.h"

namespace lumorad_test {
namespace {

using Args = std::vector<std::string>;

class LumoradDispatch : public LumoradTest {
   protected:
    // Builds a chain of folders with names of 250 bytes under base, relative to open handles
    // (the deepest paths pass the system's own path limit). levels[i] is called with a handle
    // on the folder at depth i + 1.
    static void makeDeepTree(const std::string &base, int depth,
                             const std::function<void(int, int)> &atLevel) {
        int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(fd, 0);
        std::string name(250, 'd');
        for (int level = 1; level <= depth; level++) {
            ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0) << strerror(errno);
            int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
            ASSERT_GE(next, 0);
            close(fd);
            fd = next;
            atLevel(level, fd);
        }
        close(fd);
    }

    static void touchAt(int dirFd, const std::string &name) {
        int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
    }
};

TEST_F(LumoradDispatch, StartUpPassesRunEveryRequestOfBothFilesInOrder) {
    // The album of the face-recognition walk.
    const std::string album = kPhotoRoot + "/album";
    root.writeFile(album + "/a.JPG", "x");
    root.writeFile(album + "/b.txt", "x");
    root.writeFile(album + "/noext", "x");
    root.writeFile(album + "/#recycle/c.jpg", "x");
    root.writeFile(album + "/#snapshot/f.jpg", "x");
    root.writeFile(album + "/@eaDir/d.jpg", "x");
    root.writeFile(album + "/@tmp/g.jpg", "x");
    root.writeFile(album + "/sub/e.tiff", "x");
    ASSERT_EQ(symlink(album.c_str(), (album + "/sub/back").c_str()), 0);

    // Folders nested past the 4095-byte path bound: 19 + 16 * 251 = 4035 bytes at depth 16.
    const std::string deep = kPhotoRoot + "/deep";
    root.makeDir(deep);
    std::string deepPath = deep;
    std::string exactName = std::string(55, 'y') + ".jpg";  // path of exactly 4095 bytes
    std::string overName = std::string(56, 'z') + ".jpg";   // 4096 bytes: left out
    makeDeepTree(deep, 17, [&](int level, int fd) {
        if (level <= 16) {
            deepPath += "/" + std::string(250, 'd');
        }
        if (level == 16) {
            touchAt(fd, "b.jpg");
            touchAt(fd, exactName);
            touchAt(fd, overName);
        }
        if (level == 17) {
            touchAt(fd, "a.jpg");
        }
    });
    ASSERT_EQ(deepPath.size(), 4035u);
    ASSERT_EQ((deepPath + "/" + exactName).size(), 4095u);

    const std::string fits = "R " + std::string(4092, 'L');  // 4095 bytes with the newline
    root.writeFile(kWorkCopy,
                   "R tmp-first\n"
                   "F " +
                       album +
                       "\n"
                       "R short-AAAA\n"
                       "R\n"
                       "F\n"
                       "X bad line\n"
                       "W some text\n");
    root.writeFile(kQueue,
                   "w album/sub/pic.jpg\n"
                   "r user/a/b\n"
                   "U user/a/b\n"
                   "u user/a/b/c.jpg\n"
                   "u user/x\n"
                   "u nosep\n"
                   "w nosep\n"
                   "r nosep\n"
                   "R:colon\n" +
                       fits + "\n" + "R " + std::string(4093, 'M') + "\n" + "R " +
                       std::string(10000, 'N') + "\n" +
                       "F /volume1/photo/missing.jpg\n"
                       "F /volume1/photo/missing.txt\n"
                       "F " +
                       deep +
                       "\n"
                       "R last");

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 120));

    const std::vector<Args> watermark = {
        {"-R", "tmp-first"},
        {"-R", "short-AAAA"},
        {"-R", ""},
        {"-A", "some text"},
        {"-a", "album/sub", "pic.jpg"},
        {"-r", "user", "a/b"},
        {"-U", "user", "a/b"},
        {"-u", "user", "a/b", "c.jpg"},
        {"-R", "colon"},
        {"-R", fits.substr(2)},
        {"-R", "last"},
    };
    EXPECT_EQ(argsOf(kWatermark), watermark);

    std::set<std::string> faces;
    for (const Args &args : argsOf(kFace)) {
        ASSERT_EQ(args.size(), 2u);
        EXPECT_EQ(args[0], "-F");
        EXPECT_TRUE(faces.insert(args[1]).second) << "twice: " << args[1].substr(0, 200);
    }
    const std::set<std::string> expectedFaces = {
        album + "/a.JPG",    album + "/sub/e.tiff",      "/volume1/photo/missing.jpg",
        deepPath + "/b.jpg", deepPath + "/" + exactName,
    };
    EXPECT_EQ(faces.size(), expectedFaces.size());
    EXPECT_TRUE(faces == expectedFaces);

    // The left-over working copy went first, the queue after it.
    std::vector<Args> faceOrder = argsOf(kFace);
    ASSERT_EQ(faceOrder.size(), expectedFaces.size());
    EXPECT_EQ(faceOrder[2][1], "/volume1/photo/missing.jpg");

    int unknown = 0, cycle = 0, tooLong = 0;
    for (const std::string &line : lumoradLog()) {
        if (line == "Unknown parameter: X bad line") {
            unknown++;
        } else if (line ==
                   "Skipped " + album + "/sub/back: it leads back to a folder being walked") {
            cycle++;
        } else if (line.find(": the path is longer than 4095 bytes") != std::string::npos &&
                   line.compare(0, 8 + deepPath.size(), "Skipped " + deepPath) == 0) {
            tooLong++;
        } else {
            ADD_FAILURE() << "unexpected log line: " << line.substr(0, 300);
        }
    }
    EXPECT_EQ(unknown, 1);
    EXPECT_EQ(cycle, 1);
    EXPECT_EQ(tooLong, 2);

    EXPECT_FALSE(processGone(pid)) << "the daemon ended after its passes";
    stopDaemon(pid);
}

TEST_F(LumoradDispatch, WorkersWaitForLiveWorkersOfTheirKindAndStalePidFilesGo) {
    pid_t face = spawnWorker("facerecognition");
    pid_t mark = spawnWorker("watermark");
    pid_t dead = deadPid();
    const std::string facePid = "/var/run/facerecognition." + std::to_string(face) + ".pid";
    const std::string markPid = "/var/run/watermark." + std::to_string(mark) + ".pid";
    const std::string deadMarkPid = "/var/run/watermark." + std::to_string(dead) + ".pid";
    root.writeFile(facePid, std::to_string(face) + "\n");
    root.writeFile(markPid, std::to_string(mark) + "\n");
    root.writeFile(deadMarkPid, std::to_string(dead) + "\n");
    // A worker that ended without its file, whose number went to a process that is no worker.
    pid_t reused = spawn({"/bin/sleep", "120"});
    const std::string reusedPid = "/var/run/watermark." + std::to_string(reused) + ".pid";
    root.writeFile(reusedPid, std::to_string(reused) + "\n");
    // Names that hold no process id are no workers: they neither block nor get deleted.
    root.writeFile("/var/run/watermark.x.pid", "1\n");
    root.writeFile("/var/run/watermark.-1.pid", "1\n");
    root.writeFile(kQueue, "F /volume1/photo/x.jpg\nR after-wait\n");

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    sleep(2);
    EXPECT_TRUE(root.calls(kFace).empty());
    EXPECT_TRUE(lt::ApplianceRoot::exists(kWorkCopy));

    stopProcess(face);
    ASSERT_TRUE(waitUntil([&] { return root.calls(kFace).size() == 1; }, 30));
    EXPECT_EQ(argsOf(kFace), (std::vector<Args>{Args{"-F", "/volume1/photo/x.jpg"}}));
    EXPECT_FALSE(lt::ApplianceRoot::exists(facePid));
    sleep(1);
    EXPECT_TRUE(root.calls(kWatermark).empty()) << "ran beside a live watermark worker";

    stopProcess(mark);
    ASSERT_TRUE(waitUntil([&] { return queueDrained(); }, 30));
    EXPECT_EQ(argsOf(kWatermark), (std::vector<Args>{Args{"-R", "after-wait"}}));
    EXPECT_FALSE(lt::ApplianceRoot::exists(markPid));
    EXPECT_FALSE(lt::ApplianceRoot::exists(deadMarkPid));
    EXPECT_TRUE(lt::ApplianceRoot::exists("/var/run/watermark.x.pid"));
    EXPECT_TRUE(lt::ApplianceRoot::exists("/var/run/watermark.-1.pid"));
    EXPECT_FALSE(lt::ApplianceRoot::exists(reusedPid));
    EXPECT_FALSE(processGone(reused));
    EXPECT_EQ(lumoradLog(),
              std::vector<std::string>{"Stale pid file " + reusedPid +
                                       " named a process that is not its worker: removed"});
    stopDaemon(pid);
}

TEST_F(LumoradDispatch, AWorkingCopyThatCannotBeReadIsRemovedAndTheQueueStillRuns) {
    root.writeFile(kWorkCopy + "/inside", "R never\n");
    root.writeFile(kQueue, "R queued\n");

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 60));
    EXPECT_EQ(argsOf(kWatermark), (std::vector<Args>{Args{"-R", "queued"}}));
    EXPECT_EQ(lumoradLog(), std::vector<std::string>{"fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed"});
    EXPECT_FALSE(processGone(pid));
    stopDaemon(pid);
}

TEST_F(LumoradDispatch, QueueFilesThatAreNoPlainFilesAreRemovedUnreadAndNothingHangs) {
    // What a gallery user can put in the queue's folder: a FIFO, links and a hard link to a
    // root-only file, a link in place of the folder itself. None of it is read or dispatched.
    const std::string secret = "/volume1/secret";
    const std::string eaDir = kPhotoRoot + "/@eaDir";
    const std::string decoy = "/volume1/decoy";
    struct Case {
        const char *what;
        std::function<void()> plant;
        std::vector<Args> dispatched;
        size_t failedOpens;
    };
    const std::vector<Case> cases = {
        {"a FIFO as the working copy and a link as the queue",
         [&] {
             root.makeDir(eaDir);
             ASSERT_EQ(mkfifo(kWorkCopy.c_str(), 0666), 0);
             ASSERT_EQ(symlink(secret.c_str(), kQueue.c_str()), 0);
         },
         {},
         2},
        {"a hard link as the working copy",
         [&] {
             root.makeDir(eaDir);
             ASSERT_EQ(link(secret.c_str(), kWorkCopy.c_str()), 0);
             root.writeFile(kQueue, "R fine\n");
         },
         {{"-R", "fine"}},
         1},
        {"a link as the queue folder",
         [&] {
             root.writeFile(decoy + "/kavophoto_face.queue", "R decoy\n");
             root.writeFile(decoy + "/kavophoto_face.queue.tmp", "R decoy\n");
             ASSERT_EQ(symlink(decoy.c_str(), eaDir.c_str()), 0);
         },
         {},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        root.clearLog();
        root.writeFile(secret, "R secret\n", 0600);
        c.plant();
        root.standIn(kWatermark);

        pid_t pid = startDaemon();
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitUntil([&] { return queueDrained() || !c.failedOpens; }, 60));
        // The start-up passes are over once the daemon sleeps with the queue folder closed.
        ASSERT_TRUE(waitUntil([&] { return processState(pid) == 'S'; }, 30));
        EXPECT_EQ(argsOf(kWatermark), c.dispatched);
        EXPECT_EQ(lumoradLog(), std::vector<std::string>(
                                    c.failedOpens, "fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed"));
        EXPECT_FALSE(processGone(pid));
        stopDaemon(pid);
        EXPECT_EQ(lt::ApplianceRoot::readFile(secret), "R secret\n");
        if (lt::ApplianceRoot::exists(decoy)) {
            EXPECT_EQ(lt::ApplianceRoot::readFile(decoy + "/kavophoto_face.queue"), "R decoy\n");
            EXPECT_EQ(lt::ApplianceRoot::readFile(decoy + "/kavophoto_face.queue.tmp"),
                      "R decoy\n");
        }
        ASSERT_EQ(system(("rm -rf '" + eaDir + "' '" + decoy + "'").c_str()), 0);
    }
}

TEST_F(LumoradDispatch, AWalkDeeperThanTheDescriptorLimitMissesNoPhoto) {
    // 60 nested folders with a photo in each, walked by a daemon allowed 32 descriptors.
    const int depth = 60;
    std::set<std::string> expected;
    std::string dir = kPhotoRoot + "/deep";
    for (int level = 1; level <= depth; level++) {
        dir += "/d";
        root.writeFile(dir + "/p" + std::to_string(level) + ".jpg", "x");
        expected.insert(dir + "/p" + std::to_string(level) + ".jpg");
    }
    root.writeFile(kQueue, "F " + kPhotoRoot + "/deep\n");

    pid_t pid = startDaemonBy({"/bin/sh", "-c", "ulimit -n 32 && exec '" + lumorad() + "'"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 120));
    std::set<std::string> faces;
    for (const Args &args : argsOf(kFace)) {
        ASSERT_EQ(args.size(), 2u);
        faces.insert(args[1]);
    }
    EXPECT_EQ(faces, expected);
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
    stopDaemon(pid);
}

TEST_F(LumoradDispatch, AFolderThatCannotBeOpenedForWantOfDescriptorsIsStillReported) {
    // So few descriptors that the walk runs out of them: the log must still hear of it.
    std::string dir = kPhotoRoot + "/deep";
    for (int level = 1; level <= 12; level++) {
        dir += "/d";
    }
    root.writeFile(dir + "/p.jpg", "x");
    root.writeFile(kQueue, "F " + kPhotoRoot + "/deep\n");

    pid_t pid = startDaemonBy({"/bin/sh", "-c", "ulimit -n 10 && exec '" + lumorad() + "'"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 60));
    std::vector<std::string> log = lumoradLog();
    ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
    EXPECT_EQ(
        log[0].compare(0, 26 + kPhotoRoot.size(), "Failed to open directory " + kPhotoRoot + "/"),
        0)
        << log[0];
    stopDaemon(pid);
}

}  // namespace
}  // namespace lumorad_test
