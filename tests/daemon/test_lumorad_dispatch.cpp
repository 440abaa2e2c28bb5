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
    // (the deepest paths pass the system's own path limit). atLevel is called with each depth
    // and a handle on the folder there.
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

    // The album of the face-recognition walk: two photos (one a folder down), other files,
    // folders the walk skips and a link back up to the album.
    void plantAlbum() {
        for (const char *name : {"a.JPG", "b.txt", "noext", "#recycle/c.jpg", "#snapshot/f.jpg",
                                 "@eaDir/d.jpg", "@tmp/g.jpg", "sub/e.tiff"}) {
            root.writeFile(album_ + "/" + name, "x");
        }
        ASSERT_EQ(symlink(album_.c_str(), (album_ + "/sub/back").c_str()), 0);
    }

    // Folders nested past the 4095-byte path bound: 19 + 16 * 251 = 4035 bytes at depth 16,
    // which holds b.jpg, a photo whose path has exactly 4095 bytes and one of 4096; a.jpg at
    // depth 17 lies past the bound as well.
    void plantDeepTree() {
        root.makeDir(deep_);
        deepPath_ = deep_;
        makeDeepTree(deep_, 17, [&](int level, int fd) {
            if (level <= 16) {
                deepPath_ += "/" + std::string(250, 'd');
            }
            if (level == 16) {
                touchAt(fd, "b.jpg");
                touchAt(fd, exactName_);
                touchAt(fd, overName_);
            }
            if (level == 17) {
                touchAt(fd, "a.jpg");
            }
        });
        ASSERT_EQ(deepPath_.size(), 4035u);
        ASSERT_EQ((deepPath_ + "/" + exactName_).size(), 4095u);
    }

    // Both queue files of an interrupted run: every request type, separators, lines too short,
    // too long and unknown, and a last line without its newline.
    void plantQueueFiles() {
        root.writeFile(kWorkCopy, "R tmp-first\nF " + album_ +
                                      "\nR short-AAAA\nR\nF\nX bad line\nW some text\n");
        root.writeFile(kQueue,
                       "w album/sub/pic.jpg\nr user/a/b\nU user/a/b\nu user/a/b/c.jpg\n"
                       "u user/x\nu nosep\nw nosep\nr nosep\nR:colon\n" +
                           fits_ + "\n" + "R " + std::string(4093, 'M') + "\n" + "R " +
                           std::string(10000, 'N') + "\n" +
                           "F /volume1/photo/missing.jpg\n"
                           "F /volume1/photo/missing.txt\n"
                           "F " +
                           deep_ + "\nR last");
    }

    void expectWatermarkRuns() const {
        const std::vector<Args> expected = {
            {"-R", "tmp-first"},
            {"-R", "short-AAAA"},
            {"-R", ""},
            {"-A", "some text"},
            {"-a", "album/sub", "pic.jpg"},
            {"-r", "user", "a/b"},
            {"-U", "user", "a/b"},
            {"-u", "user", "a/b", "c.jpg"},
            {"-R", "colon"},
            {"-R", fits_.substr(2)},
            {"-R", "last"},
        };
        EXPECT_EQ(argsOf(kWatermark), expected);
    }

    // Each photo once, the left-over working copy's before the queue's.
    void expectFaceRuns() const {
        std::set<std::string> faces;
        std::vector<Args> runs = argsOf(kFace);
        for (const Args &args : runs) {
            ASSERT_EQ(args.size(), 2u);
            EXPECT_EQ(args[0], "-F");
            EXPECT_TRUE(faces.insert(args[1]).second) << "twice: " << args[1].substr(0, 200);
        }
        const std::set<std::string> expected = {
            album_ + "/a.JPG",    album_ + "/sub/e.tiff",       "/volume1/photo/missing.jpg",
            deepPath_ + "/b.jpg", deepPath_ + "/" + exactName_,
        };
        EXPECT_TRUE(faces == expected);
        ASSERT_EQ(runs.size(), expected.size());
        EXPECT_EQ(runs[2][1], "/volume1/photo/missing.jpg");
    }

    // The unknown line, the link back up and the two paths past the bound, each reported once
    // (the last three by the path they name).
    void expectWalkLog() const {
        const std::vector<std::string> named = {
            album_ + "/sub/back",
            deepPath_ + "/" + overName_,
            deepPath_ + "/" + std::string(250, 'd'),
        };
        int unknown = 0;
        std::vector<int> times(named.size(), 0);
        for (const std::string &line : lumoradLog()) {
            if (line == "Unknown parameter: X bad line") {
                unknown++;
                continue;
            }
            size_t i = 0;
            while (i < named.size() && line.find(named[i]) == std::string::npos) {
                i++;
            }
            if (i == named.size()) {
                ADD_FAILURE() << "unexpected log line: " << line.substr(0, 300);
            } else {
                times[i]++;
            }
        }
        EXPECT_EQ(unknown, 1);
        EXPECT_EQ(times, std::vector<int>(named.size(), 1));
    }

    // Runs the daemon with at most that many open descriptors.
    pid_t startDaemonWithDescriptors(int limit) {
        return startDaemonBy(
            {"/bin/sh", "-c",
             "ulimit -n " + std::to_string(limit) + " && exec '" + lumorad() + "'"});
    }

    const std::string album_ = kPhotoRoot + "/album";
    const std::string deep_ = kPhotoRoot + "/deep";
    const std::string exactName_ = std::string(55, 'y') + ".jpg";  // 4095 bytes at depth 16
    const std::string overName_ = std::string(56, 'z') + ".jpg";   // 4096 bytes: left out
    const std::string fits_ = "R " + std::string(4092, 'L');       // 4095 bytes with the newline
    std::string deepPath_;
};

TEST_F(LumoradDispatch, StartUpPassesRunEveryRequestOfBothFilesInOrder) {
    ASSERT_NO_FATAL_FAILURE(plantAlbum());
    ASSERT_NO_FATAL_FAILURE(plantDeepTree());
    plantQueueFiles();

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 120));
    expectWatermarkRuns();
    expectFaceRuns();
    expectWalkLog();
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
    std::vector<std::string> log = lumoradLog();
    ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
    EXPECT_PRED_FORMAT2(::testing::IsSubstring, reusedPid, log[0]);
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

    pid_t pid = startDaemonWithDescriptors(32);
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

    pid_t pid = startDaemonWithDescriptors(10);
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
