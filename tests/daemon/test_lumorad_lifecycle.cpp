// The daemon's life: start-up, a refused second start, "-k" in the middle of a pass, and the
// idle checks while a thumbnail worker runs.
#include "lumorad_test.h"

namespace lumorad_test {
namespace {

using Args = std::vector<std::string>;

class LumoradLifecycle : public LumoradTest {};

TEST_F(LumoradLifecycle, ASecondStartWhileOneDaemonLivesChangesNothing) {
    // A pid file left by a daemon that is gone does not keep a new one from starting.
    root.writeFile(kPidFile, std::to_string(deadPid()) + "\n");

    // Three or more arguments also mean daemon mode.
    pid_t pid = startDaemon({"x", "y", "z"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{pid});
    // The pid file is written before the daemon lowers its priority: give it a moment.
    EXPECT_TRUE(waitUntil([&] { return processNice(pid) == 10; }, 5))
        << "nice " << processNice(pid);
    EXPECT_EQ(readLink("/proc/" + std::to_string(pid) + "/cwd"), "/");
    for (int fd = 0; fd <= 2; fd++) {
        EXPECT_EQ(readLink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)),
                  "/dev/null");
    }
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());

    root.writeFile(kQueue, "R queued\n");
    lt::RunResult r = root.run({lumorad()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lumoradLog(), std::vector<std::string>{"Daemon() failed."});
    EXPECT_EQ(daemonPid(), pid);
    EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{pid});
    // The running daemon sleeps until its next idle check: nobody took the queue.
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "R queued\n");
    EXPECT_TRUE(root.calls(kWatermark).empty());

    stopDaemon(pid);
    EXPECT_FALSE(lt::ApplianceRoot::exists(kPidFile));
    EXPECT_TRUE(lumoradProcesses().empty());

    root.clearLog();
    expectStopReachesNobody();
}

TEST_F(LumoradLifecycle, AStopInTheMiddleOfAPassLeavesTheWorkingCopyForTheNextStart) {
    // The watermark stand-in holds the request "block" until the test releases it.
    root.standIn(kWatermark, 0,
                 "if [ \"$2\" = block ]; then : > /tmp/blocked; i=0;"
                 " while [ ! -e /tmp/release ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1));"
                 " done; fi");
    const std::string queued = "R first\nR block\nR third\n";
    root.writeFile(kQueue, queued);

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return lt::ApplianceRoot::exists("/tmp/blocked"); }, 60));
    stopDaemon(pid);
    EXPECT_FALSE(lt::ApplianceRoot::exists(kPidFile));
    EXPECT_EQ(lt::ApplianceRoot::readFile(kWorkCopy), queued);
    EXPECT_FALSE(lt::ApplianceRoot::exists(kQueue));

    // Requests added meanwhile start a fresh queue, which waits for the working copy.
    lt::RunResult r = root.run({lumorad(), "-a", "R fourth"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "R fourth\n");

    // The worker was neither waited for nor stopped; let it finish.
    root.writeFile("/tmp/release", "");
    ASSERT_TRUE(waitUntil([] { return processesOfThisTest().empty(); }, 30));

    pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 60));
    const std::vector<Args> expected = {
        {"-R", "first"}, {"-R", "block"}, {"-R", "first"},
        {"-R", "block"}, {"-R", "third"}, {"-R", "fourth"},
    };
    EXPECT_EQ(argsOf(kWatermark), expected);
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
    stopDaemon(pid);
}

TEST_F(LumoradLifecycle, NothingIsConsumedWhileAThumbnailWorkerLives) {
    pid_t thumb = spawnWorker("kavothumb");
    const std::string thumbPid = "/var/run/kavothumb." + std::to_string(thumb) + ".pid";
    root.writeFile(thumbPid, std::to_string(thumb) + "\n");
    root.writeFile(kWorkCopy, "R left\n");
    root.writeFile(kQueue, "R one\n");

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    sleep(2);
    EXPECT_TRUE(root.calls(kWatermark).empty());
    EXPECT_EQ(lt::ApplianceRoot::readFile(kWorkCopy), "R left\n");

    // The queue grows meanwhile.
    lt::RunResult r = root.run({lumorad(), "-a", "R two"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lt::ApplianceRoot::readFile(kQueue), "R one\nR two\n");

    // Once the worker is gone, the next idle check (within 20 s) takes both files.
    stopProcess(thumb);
    ASSERT_TRUE(waitUntil([] { return queueDrained(); }, 60));
    const std::vector<Args> expected = {{"-R", "left"}, {"-R", "one"}, {"-R", "two"}};
    EXPECT_EQ(argsOf(kWatermark), expected);
    EXPECT_FALSE(lt::ApplianceRoot::exists(thumbPid));
    EXPECT_FALSE(processGone(pid));
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
    stopDaemon(pid);
}

TEST_F(LumoradLifecycle, StartsAtTheSameMomentLeaveExactlyOneDaemon) {
    // Fifty rounds each of two and of four starts at once; every round must end with one
    // daemon, the one the pid file names, and every other start refused.
    for (int starters : {2, 4}) {
        for (int round = 0; round < 50; round++) {
            SCOPED_TRACE(std::to_string(starters) + " starters, round " + std::to_string(round));
            root.clearLog();
            std::vector<pid_t> started;
            for (int i = 0; i < starters; i++) {
                started.push_back(spawn({lumorad()}));
            }
            for (pid_t p : started) {
                int status = -1;
                ASSERT_EQ(waitpid(p, &status, 0), p);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            }
            // The starts have returned: the daemon owns its pid file by now.
            pid_t pid = daemonPid();
            ASSERT_GT(pid, 0);
            ASSERT_EQ(lumoradProcesses(), std::vector<pid_t>{pid});
            EXPECT_EQ(lumoradLog(),
                      std::vector<std::string>((size_t)starters - 1, "Daemon() failed."));
            // Back to back: one more start while it runs is refused as well.
            if (round % 10 == 0) {
                lt::RunResult r = root.run({lumorad()});
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{pid});
            }
            stopDaemon(pid);
            ASSERT_TRUE(lumoradProcesses().empty());
        }
    }
}

TEST_F(LumoradLifecycle, APidFileLeftByACrashSignalsNobodyAndDoesNotBlockTheNextStart) {
    // The number of a daemon that crashed now belongs to another process; numbers past 2^31 and
    // 2^32 belong to none (4294967297 must not read as init's 1).
    pid_t other = spawn({"/bin/sleep", "120"});
    for (const std::string &text :
         {std::to_string(other) + "\n", std::string("2147483649\n"), std::string("4294967297\n")}) {
        SCOPED_TRACE(text);
        root.clearLog();
        root.writeFile(kPidFile, text);
        expectStopReachesNobody();
        EXPECT_FALSE(processGone(other)) << "-k signalled a process that is no daemon";

        pid_t pid = startDaemon();
        ASSERT_GT(pid, 0);
        EXPECT_NE(pid, other);
        EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{pid});
        stopDaemon(pid);
    }
    EXPECT_FALSE(processGone(other));

    // A daemon killed outright leaves its file behind, and "-k" then reaches nobody.
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return processGone(pid); }, 30));
    EXPECT_EQ(daemonPid(), pid);
    root.clearLog();
    expectStopReachesNobody();
    stopProcess(other);
}

}  // namespace
}  // namespace lumorad_test
