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
};

TEST_F(LumoradWriters, EightConcurrentWritersLoseNothingAndDuplicateNothing) {
    // A left-over working copy keeps the first start-up pass busy while the writers begin; the
    // queue itself is missing, so the writers race to create it.
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

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);

    // The writers run for about 20 s, so that the idle check finds them still at work and
    // its back-to-back passes take the queue from under them again and again.
    std::string script = "for w in $(seq 1 " + std::to_string(kWriters) +
                         "); do ( i=1; while [ $i -le " + std::to_string(kEntriesPerWriter) +
                         " ]; do '" + lumorad() +
                         "' -a \"F /volume1/photo/w$w/$i.jpg\"; i=$((i+1)); sleep 0.06; done"
                         " ) & done; wait";
    lt::RunOptions opt;
    opt.timeoutSeconds = 600;
    lt::RunResult r = root.run({"/bin/sh", "-c", script}, opt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    size_t total = expected.size();
    ASSERT_TRUE(waitUntil([&] { return queueDrained() && facesRun().size() >= total; }, 120))
        << facesRun().size() << " of " << total << " dispatched";
    // A request dispatched twice would show up as a late extra call.
    sleep(1);

    std::map<std::string, int> seen;
    std::vector<std::string> faces = facesRun();
    for (const std::string &path : faces) {
        seen[path]++;
    }
    int missing = 0, twice = 0, foreign = 0;
    for (const std::string &path : expected) {
        auto it = seen.find(path);
        missing += it == seen.end();
        twice += it != seen.end() && it->second > 1;
    }
    for (const auto &kv : seen) {
        foreign += expected.count(kv.first) == 0;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(faces.size(), total);

    for (const std::string &line : lumoradLog()) {
        ADD_FAILURE() << "unexpected log line: " << line;
    }
    EXPECT_FALSE(processGone(pid));
    stopDaemon(pid);
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
