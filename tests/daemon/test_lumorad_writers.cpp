// Many writers against a running daemon: every request accepted by "-a" is dispatched exactly
// once, whether it met a missing queue, a queue being created by another writer, or a queue
// that the daemon took while the writer waited for its lock.
#include <sys/file.h>

#include <map>
#include <sstream>

#include "lumorad_test.h"

namespace lumorad_test {
namespace {

const int kWriters = 8;
const int kEntriesPerWriter = 300;
const int kSeeded = 100;

// The face-recognition stand-in of this test only notes its file, one line per run: a lighter
// worker than the recording one, for the 2,500 runs.
const std::string kFaceNotes = "/tmp/faces";

class LumoradWriters : public LumoradTest {
   protected:
    std::vector<std::string> facesRun() const {
        std::vector<std::string> out;
        std::string notes = lt::ApplianceRoot::readFile(kFaceNotes);
        size_t start = 0, nl;
        while ((nl = notes.find('\n', start)) != std::string::npos) {
            out.push_back(notes.substr(start, nl - start));
            start = nl + 1;
        }
        return out;
    }

    // A left-over working copy of kSeeded requests, the noting face worker, and the paths that
    // the seed and the writers will ask for.
    std::set<std::string> seedAndExpect() {
        std::string seeded;
        std::set<std::string> expected;
        for (int i = 1; i <= kSeeded; i++) {
            std::string path = "/volume1/photo/seed/" + std::to_string(i) + ".jpg";
            seeded += "F " + path + "\n";
            expected.insert(path);
        }
        root.writeFile(kWorkCopy, seeded);
        root.writeFile(kFace, "#!/bin/sh\n[ \"$1\" = -F ] && echo \"$2\" >> " + kFaceNotes + "\n",
                       0755);
        for (int w = 1; w <= kWriters; w++) {
            for (int i = 1; i <= kEntriesPerWriter; i++) {
                expected.insert("/volume1/photo/w" + std::to_string(w) + "/" + std::to_string(i) +
                                ".jpg");
            }
        }
        return expected;
    }

    // The writers run for about 20 s, so that the idle check finds them still at work and its
    // back-to-back passes take the queue from under them again and again. A writer that cannot
    // even start "-a" says so on its standard error.
    lt::RunResult runWriters() const {
        std::string script =
            "for w in $(seq 1 " + std::to_string(kWriters) + "); do ( i=1; while [ $i -le " +
            std::to_string(kEntriesPerWriter) + " ]; do '" + lumorad() +
            "' -a \"F /volume1/photo/w$w/$i.jpg\" || echo \"writer $w: $i: $?\" >&2;"
            " i=$((i+1)); sleep 0.06; done ) & done; wait";
        lt::RunOptions opt;
        opt.timeoutSeconds = 600;
        return root.run({"/bin/sh", "-c", script}, opt);
    }

    // The daemon runs at nice 10, so on a busy machine it may take long: waits for as long as it
    // makes progress (runs noted, or its queue files changing), and gives up only when a whole
    // minute passes without any. True when all runs were noted and both queue files are gone.
    bool waitWhileProgressing(size_t total) const {
        auto progress = [&] {
            return std::to_string(facesRun().size()) + "|" + lt::ApplianceRoot::readFile(kQueue) +
                   "|" + lt::ApplianceRoot::readFile(kWorkCopy);
        };
        for (;;) {
            std::string last = progress();
            if (waitUntil([&] { return queueDrained() && facesRun().size() >= total; }, 60)) {
                // A request dispatched twice would show up as a late extra run.
                sleep(1);
                return true;
            }
            if (progress() == last) {
                return false;
            }
        }
    }

    // What went wrong with the runs: requests missing (and whether still queued), run twice,
    // or never asked for; empty when nothing did.
    std::string faultsOfRuns(const std::set<std::string> &expected) const {
        std::map<std::string, int> seen;
        for (const std::string &path : facesRun()) {
            seen[path]++;
        }
        std::string queued =
            lt::ApplianceRoot::readFile(kQueue) + lt::ApplianceRoot::readFile(kWorkCopy);
        std::vector<std::string> missing, twice, foreign;
        for (const std::string &path : expected) {
            auto it = seen.find(path);
            if (it == seen.end()) {
                bool waiting = queued.find("F " + path + "\n") != std::string::npos;
                missing.push_back(path + (waiting ? " (still queued)" : " (in no queue file)"));
            } else if (it->second > 1) {
                twice.push_back(path);
            }
        }
        for (const auto &kv : seen) {
            if (expected.count(kv.first) == 0) {
                foreign.push_back(kv.first);
            }
        }
        if (missing.empty() && twice.empty() && foreign.empty()) {
            return "";
        }
        return "missing: " + ::testing::PrintToString(missing) +
               "\ntwice: " + ::testing::PrintToString(twice) +
               "\nforeign: " + ::testing::PrintToString(foreign);
    }
};

TEST_F(LumoradWriters, EightConcurrentWritersLoseNothingAndDuplicateNothing) {
    // A left-over working copy keeps the first start-up pass busy while the writers begin; the
    // queue itself is missing, so the writers race to create it.
    std::set<std::string> expected = seedAndExpect();
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);

    lt::RunResult r = runWriters();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    bool done = waitWhileProgressing(expected.size());
    std::string faults = faultsOfRuns(expected);
    std::vector<std::string> log = lumoradLog();
    EXPECT_TRUE(done && faults.empty() && log.empty())
        << facesRun().size() << " of " << expected.size() << " dispatched"
        << (done ? "" : ", and no progress for a minute") << "\n"
        << faults << "\ndaemon log: " << ::testing::PrintToString(log) << "\nwriters: " << r.err;
    EXPECT_FALSE(processGone(pid));
    stopDaemon(pid);
}

TEST_F(LumoradWriters, WritersThatMeetAtTheQueuesCreationKeepEveryLine) {
    // The writer that creates the queue may get its lock after others have appended to the new
    // file: its line must go after theirs, not over the first of them. Many rounds, since the
    // meeting is rare.
    root.makeDir(kEaDir);
    for (int round = 0; round < 200; round++) {
        unlink(kQueue.c_str());
        std::set<std::string> expected;
        std::vector<pid_t> writers;
        for (int w = 0; w < kWriters; w++) {
            std::string entry = "F /p/w" + std::to_string(w) + "/" + std::to_string(round);
            expected.insert(entry);
            writers.push_back(spawn({lumorad(), "-a", entry}));
        }
        for (pid_t w : writers) {
            waitpid(w, nullptr, 0);
        }
        std::set<std::string> lines;
        std::istringstream queued(lt::ApplianceRoot::readFile(kQueue));
        for (std::string line; std::getline(queued, line);) {
            lines.insert(line);
        }
        ASSERT_EQ(lines, expected) << "round " << round;
    }
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
}

// True when /proc/locks shows pid waiting for a flock.
bool waitsForFlock(pid_t pid) {
    std::istringstream locks(lt::ApplianceRoot::readFile("/proc/locks"));
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, arrow, kind, mode, access, owner;
        if (fields >> id >> arrow >> kind >> mode >> access >> owner && arrow == "->" &&
            kind == "FLOCK" && owner == std::to_string(pid)) {
            return true;
        }
    }
    return false;
}

TEST_F(LumoradWriters, AWriterHeldAtTheLockWhenThePassBeginsIsNotLost) {
    root.writeFile(kQueue, "R early\n");
    int fd = open(kQueue.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);

    // A writer that has the queue open and waits for the lock...
    pid_t writer = spawn({lumorad(), "-a", "R late"});
    ASSERT_TRUE(waitUntil([&] { return waitsForFlock(writer); }, 30));

    // ...and a daemon whose pass begins meanwhile: it must not take the queue from under the
    // writer, so it waits for the same lock.
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitUntil([&] { return waitsForFlock(pid); }, 15))
        << "the pass went on without the queue's lock";
    EXPECT_TRUE(root.calls(kWatermark).empty());
    close(fd);

    int status = -1;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Whoever got the lock first, both requests run: at once, or the late one at the next idle
    // check when the writer had to start a fresh queue.
    ASSERT_TRUE(waitUntil([&] { return root.calls(kWatermark).size() >= 2 && queueDrained(); }, 60))
        << ::testing::PrintToString(argsOf(kWatermark));
    std::multiset<std::vector<std::string>> got;
    for (const auto &args : argsOf(kWatermark)) {
        got.insert(args);
    }
    const std::multiset<std::vector<std::string>> expected = {{"-R", "early"}, {"-R", "late"}};
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(lumoradLog().empty()) << ::testing::PrintToString(lumoradLog());
    stopDaemon(pid);
}

}  // namespace
}  // namespace lumorad_test
