// Names swapped under the daemon and its writers while they run: a file of the queue's folder
// exchanged with a link to a root-only file, again and again, must never lead either side to
// read, dispatch or write that file.
#include "lumorad_test.h"

namespace lumorad_test {
namespace {

const std::string kSecret = "/volume1/secret";
const std::string kLink = "/volume1/photo/@eaDir/link";

class LumoradRaces : public LumoradTest {
   protected:
    void plantLink() {
        root.writeFile(kSecret, "R secret\n", 0600);
        unlink(kLink.c_str());
        ASSERT_EQ(symlink(kSecret.c_str(), kLink.c_str()), 0);
    }
};

TEST_F(LumoradRaces, WritersNeverWriteThroughALinkSwappedInForTheQueue) {
    root.makeDir(kPhotoRoot + "/@eaDir");
    root.writeFile(kQueue, "");
    plantLink();
    lt::Swapper swapper(kQueue, kLink, 4);
    for (int i = 0; i < 40; i++) {
        lt::RunResult r = root.run({lumorad(), "-a", "R x" + std::to_string(i)});
        EXPECT_EQ(r.status, 0);
    }
    // The queue is back under its own name.
    swapper.stop();
    EXPECT_EQ(lt::ApplianceRoot::readFile(kSecret), "R secret\n");
    std::string queued = lt::ApplianceRoot::readFile(kQueue);
    EXPECT_EQ(queued.find("secret"), std::string::npos) << queued;
    EXPECT_NE(queued.find("R x"), std::string::npos) << "no writer got through at all";
}

TEST_F(LumoradRaces, TheDaemonNeverReadsALinkSwappedInForTheWorkingCopy) {
    root.makeDir(kPhotoRoot + "/@eaDir");
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        root.writeFile(kWorkCopy, "R ok\n");
        plantLink();
        lt::Swapper swapper(kWorkCopy, kLink, 3);
        pid_t pid = startDaemon();
        ASSERT_GT(pid, 0);
        // The pass ends by removing whatever the working copy's name then holds.
        EXPECT_TRUE(waitUntil([] { return !lt::ApplianceRoot::exists(kWorkCopy); }, 30));
        swapper.stop();
        stopDaemon(pid);
        EXPECT_EQ(lt::ApplianceRoot::readFile(kSecret), "R secret\n");
    }
    for (const auto &args : argsOf(kWatermark)) {
        EXPECT_EQ(args, (std::vector<std::string>{"-R", "ok"}));
    }
    for (const std::string &line : lumoradLog()) {
        EXPECT_EQ(line, "fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed");
    }
}

}  // namespace
}  // namespace lumorad_test
