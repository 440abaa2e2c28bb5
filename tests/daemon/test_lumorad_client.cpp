// The client side of lumorad: "-a", "-r", "-k" and the argument dispatch, without a daemon.
#include <sys/mount.h>

#include <functional>

#include "lumorad_test.h"

namespace lumorad_test {
namespace {

// Something a user put in a queue path's place, and the errno it makes the open fail with.
struct Planted {
    const char *what;
    std::function<void()> plant;
    int err;
};

class LumoradClient : public LumoradTest {
   protected:
    lt::RunResult add(const std::string &entry) {
        lt::RunResult r = root.run({lumorad(), "-a", entry});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        return r;
    }

    int countLogged(const std::string &text) const {
        int n = 0;
        for (const auto &line : lumoradLog()) {
            n += line == text;
        }
        return n;
    }

    // The log of a request refused because the queue folder is out of reach: a line with the
    // reason, then the two lines callers look for.
    void expectQueueFolderRefused(const std::string &reason) const {
        std::vector<std::string> log = lumoradLog();
        ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
        EXPECT_PRED_FORMAT2(::testing::IsSubstring, reason, log[0]);
        EXPECT_EQ(log[1], "Make ea dir path error. eaDir path: " + kEaDir);
        EXPECT_EQ(log[2], "WriteQueue() failed.");
    }
};

TEST_F(LumoradClient, FirstEntryCreatesTheEaDirAndTheQueue) {
    ASSERT_FALSE(lt::ApplianceRoot::exists(kPhotoRoot + "/@eaDir"));
    add("F /volume1/photo/album/a.jpg");

    struct stat st;
    ASSERT_EQ(stat((kPhotoRoot + "/@eaDir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "F /volume1/photo/album/a.jpg\n");
    EXPECT_FALSE(lt::ApplianceRoot::exists(kWorkCopy));
    EXPECT_TRUE(lumoradLog().empty());

    add("R user/mark.png");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue),
              "F /volume1/photo/album/a.jpg\nR user/mark.png\n");
}

TEST_F(LumoradClient, AWholeQueuedLineIsNotAddedTwice) {
    add("F /volume1/photo/a.jpg");
    add("F /volume1/photo/a.jpg");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "F /volume1/photo/a.jpg\n");

    // Another separator, trailing text, or a mere prefix of a queued line is a new request.
    add("F:/volume1/photo/a.jpg");
    add("F /volume1/photo/a.jpg.bak");
    add("F /volume1/photo/a");
    add("F /volume1/photo/a.jpg.bak");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue),
              "F /volume1/photo/a.jpg\n"
              "F:/volume1/photo/a.jpg\n"
              "F /volume1/photo/a.jpg.bak\n"
              "F /volume1/photo/a\n");
    EXPECT_TRUE(lumoradLog().empty());
}

TEST_F(LumoradClient, TheLongestEntryTheDaemonCanReadGoesIn) {
    // 4094 bytes make a line of 4095 with the newline: the longest the daemon reads.
    std::string longest = "R " + std::string(4092, 'x');
    add(longest);
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), longest + "\n");
    EXPECT_TRUE(lumoradLog().empty());
}

TEST_F(LumoradClient, AnEntryThatIsNotOneReadableLineIsRefused) {
    // A line break would make two requests of one entry; an entry without room for its newline
    // in a line the daemon reads would be written and then skipped.
    struct Case {
        const char *what;
        std::string entry;
    };
    const std::vector<Case> cases = {
        {"a line break inside", "F /volume1/photo/b.jpg\nR victim/../../etc"},
        {"a line break alone", "\n"},
        {"one byte too long", "R " + std::string(4093, 'y')},
        {"far too long", "R " + std::string(9000, 'z')},
    };
    add("F /volume1/photo/a.jpg");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        root.clearLog();
        add(c.entry);
        EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "F /volume1/photo/a.jpg\n");
        EXPECT_EQ(countLogged("WriteQueue() failed."), 1);
    }
}

TEST_F(LumoradClient, AQueuedLineLongerThanTheLookupBufferDoesNotLoseTheEntry) {
    // The duplicate lookup cannot hold this line; the entry still goes in as an append.
    std::string huge = "F /volume1/photo/a.jpg" + std::string(6000, 'q') + "\n";
    root.writeFile(kQueue, huge);
    add("F /volume1/photo/a.jpg");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), huge + "F /volume1/photo/a.jpg\n");
    EXPECT_EQ(countLogged("WriteQueue() failed."), 0);
}

TEST_F(LumoradClient, AWriteCutShortLeavesNoTornLine) {
    // A file system of one page: the line that crosses into a second page is cut short.
    const std::string eaDir = kPhotoRoot + "/@eaDir";
    root.makeDir(eaDir);
    ASSERT_EQ(mount("lumorad-full", eaDir.c_str(), "tmpfs", 0, "size=4k"), 0) << strerror(errno);
    const std::string queued = "R " + std::string(4087, 'a') + "\n";
    root.writeFile(kQueue, queued);

    add("R 0123456789");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), queued);
    std::vector<std::string> log = lumoradLog();
    ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0],
              "Failed to write (R 0123456789, 12) into " + kQueue + ", reason=" + strerror(ENOSPC));
    EXPECT_EQ(log[1], "WriteQueue() failed.");
    EXPECT_EQ(umount2(eaDir.c_str(), MNT_DETACH), 0);
}

TEST_F(LumoradClient, AQueueFolderThatCannotBeReachedWithoutALinkIsReported) {
    const std::string eaDir = kPhotoRoot + "/@eaDir";
    const std::string elsewhere = "/volume1/elsewhere";
    const std::vector<Planted> cases = {
        {"a file", [&] { root.writeFile(eaDir, "not a folder"); }, ENOTDIR},
        {"a link to another folder",
         [&] {
             root.makeDir(elsewhere);
             ASSERT_EQ(symlink(elsewhere.c_str(), eaDir.c_str()), 0);
         },
         ELOOP},
        {"a dangling link",
         [&] { ASSERT_EQ(symlink((elsewhere + "/new").c_str(), eaDir.c_str()), 0); }, ELOOP},
    };
    for (const Planted &c : cases) {
        SCOPED_TRACE(c.what);
        root.clearLog();
        c.plant();
        add("F /volume1/photo/a.jpg");
        expectQueueFolderRefused(strerror(c.err));
        // Nothing was made or written anywhere else.
        EXPECT_FALSE(lt::ApplianceRoot::exists(elsewhere + "/kavophoto_face.queue"));
        EXPECT_FALSE(lt::ApplianceRoot::exists(elsewhere + "/new"));
        ASSERT_EQ(system(("rm -rf '" + eaDir + "' '" + elsewhere + "'").c_str()), 0);
    }
}

TEST_F(LumoradClient, WithoutAPhotoShareNoFolderIsMadeAtItsServicePath) {
    ASSERT_EQ(unlink("/var/services/photo"), 0);
    add("F /volume1/photo/a.jpg");
    struct stat st;
    EXPECT_NE(lstat("/var/services/photo", &st), 0) << "something was made at the service path";
    expectQueueFolderRefused(strerror(ENOENT));

    // Once the share is there, the same request goes in.
    ASSERT_EQ(symlink(kPhotoRoot.c_str(), "/var/services/photo"), 0);
    add("F /volume1/photo/a.jpg");
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "F /volume1/photo/a.jpg\n");
}

TEST_F(LumoradClient, OnlyAPlainQueueFileOfItsOwnIsWritten) {
    // Whatever stands in the queue's place: root does not write through it, nor hang on it, and
    // the message carries the open flags in decimal.
    const std::string secret = "/volume1/secret";
    const std::string created = "/volume1/created";
    const std::vector<Planted> cases = {
        {"a folder", [&] { root.makeDir(kQueue); }, EISDIR},
        {"a link to a root-only file",
         [&] { ASSERT_EQ(symlink(secret.c_str(), kQueue.c_str()), 0); }, ELOOP},
        {"a dangling link", [&] { ASSERT_EQ(symlink(created.c_str(), kQueue.c_str()), 0); }, ELOOP},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(kQueue.c_str(), 0666), 0); }, EINVAL},
        {"a hard link to a root-only file",
         [&] { ASSERT_EQ(link(secret.c_str(), kQueue.c_str()), 0); }, EMLINK},
    };
    root.makeDir(kPhotoRoot + "/@eaDir");
    for (const Planted &c : cases) {
        SCOPED_TRACE(c.what);
        root.clearLog();
        root.writeFile(secret, "R secret\n", 0600);
        c.plant();
        lt::RunOptions opt;
        opt.timeoutSeconds = 20;
        lt::RunResult r = root.run({lumorad(), "-a", "F /volume1/photo/a.jpg"}, opt);
        EXPECT_EQ(r.status, 0) << "killed by signal " << r.signal;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lumoradLog(),
                  (std::vector<std::string>{
                      "open(" + kQueue + ", 1053698) failed, reason=" + strerror(c.err),
                      "WriteQueue() failed.",
                  }));
        EXPECT_EQ(lt::ApplianceRoot::readFile(secret), "R secret\n");
        EXPECT_FALSE(lt::ApplianceRoot::exists(created));
        ASSERT_EQ(remove(kQueue.c_str()), 0);
    }
}

TEST_F(LumoradClient, ResetDeletesBothQueueFilesSilently) {
    lt::RunResult r = root.run({lumorad(), "-r"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    root.writeFile(kQueue, "F /volume1/photo/a.jpg\n");
    root.writeFile(kWorkCopy, "F /volume1/photo/b.jpg\n");
    r = root.run({lumorad(), "-r"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(lt::ApplianceRoot::exists(kQueue));
    EXPECT_FALSE(lt::ApplianceRoot::exists(kWorkCopy));
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
}

TEST_F(LumoradClient, StopWithoutADaemonLogsTheSignalFailure) {
    expectStopReachesNobody();
}

TEST_F(LumoradClient, OtherArgumentsDoNothing) {
    root.writeFile(kQueue, "F /volume1/photo/a.jpg\n");
    const std::vector<std::vector<std::string>> cases = {
        {"-x"}, {"-a"}, {"a"}, {"-k", "now"}, {"-r", "all"}, {"-A", "F /volume1/photo/b.jpg"},
    };
    for (const auto &args : cases) {
        std::vector<std::string> argv = {lumorad()};
        argv.insert(argv.end(), args.begin(), args.end());
        lt::RunResult r = root.run(argv);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "F /volume1/photo/a.jpg\n");
    EXPECT_FALSE(lt::ApplianceRoot::exists(kPidFile));
    EXPECT_TRUE(lumoradProcesses().empty());
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
}

}  // namespace
}  // namespace lumorad_test
