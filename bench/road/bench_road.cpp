// The road of one upload as the front end runs it, 1,000 photos in a row, against the same work
// done by standard tools in the same run (run as root, on a private appliance root):
//
//   ours:      kavophoto_acl --apply PATH alice; thumbgrab PATH; lumorad -a "F PATH"
//   baseline:  chown alice:alice PATH; setfattr (the same ACL value); exiv2 -ep (both
//              previews); cp of each preview to its EA entry; echo >> the queue under flock
//
// The photo is a RAW stand-in (8 MiB of sensor data, a 160x120 and a 1920x1280 preview,
// upright). Each photo of each side is written afresh, untimed, right before its road, and
// removed again (with its EA folder) after it, so that the run's memory stays flat; the queues
// grow by one line a photo, as they do while the daemon sleeps. The two sides alternate photo
// by photo, so that a change in the machine's load falls on both. Prints the mean and median
// cost of each step per photo and the ratio of the totals (target at most 1.0).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "photos.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;

namespace {

const int kPhotos = 1000;
const std::string kShare = "/volume1/photo";
const std::string kAlbum = kShare + "/album";
const std::string kOurs = kAlbum + "/ours";
const std::string kBase = kAlbum + "/base";
const std::string kScratch = "/volume1/scratch";
const std::string kExtract = kScratch + "/extract";
const std::string kOurQueue = "/var/services/photo/@eaDir/kavophoto_face.queue";
const std::string kBaseQueue = "/var/services/photo/@eaDir/base_face.queue";
const char *const kAclAttr = "security.kavo.acl";
const size_t kAclValueSize = 4096;  // room for the ACL value of a photo
const char *const kSmallEntry = "KAVOPHOTO_THUMB_PREVIEW.jpg";
const char *const kLargeEntry = "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg";

// Runs a program with its output thrown away; its wall-clock seconds, or -1 when it failed.
double runTimed(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Step {
    std::string name;
    std::vector<double> seconds;  // one per photo
    double total() const {
        return std::accumulate(seconds.begin(), seconds.end(), 0.0);
    }
    double median() const {
        std::vector<double> v = seconds;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
};

// Times one step of one photo into step; false when the command failed.
bool timeStep(Step &step, const std::vector<std::string> &argv) {
    double t = runTimed(argv);
    if (t < 0) {
        return false;
    }
    step.seconds.push_back(t);
    return true;
}

std::string xattrOf(const std::string &path) {
    char value[kAclValueSize];
    ssize_t n = getxattr(path.c_str(), kAclAttr, value, sizeof(value));
    return n < 0 ? std::string() : std::string(value, (size_t)n);
}

std::string photoName(int i) {
    char name[32];
    snprintf(name, sizeof(name), "DSC_%04d.NEF", i);
    return name;
}

void printSteps(const char *side, const std::vector<Step> &steps) {
    double total = 0;
    for (const Step &s : steps) {
        printf("  %-9s %-44s mean %7.2f ms  median %7.2f ms\n", side, s.name.c_str(),
               s.total() / kPhotos * 1e3, s.median() * 1e3);
        printf("info\troad: %s %s: %.2f ms a photo (median %.2f ms)\n", side, s.name.c_str(),
               s.total() / kPhotos * 1e3, s.median() * 1e3);
        total += s.total();
    }
    printf("  %-9s %-44s mean %7.2f ms\n", side, "the whole road", total / kPhotos * 1e3);
}

// One private root for the whole run: the share root under ACL control and an album with an
// entry of its own, as a full conversion leaves them; the upload folders have none yet.
class RoadBench : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(makeGallery());
        small = photos::jpeg(kScratch, 160, 120, 1);
        large = photos::padJpeg(photos::jpeg(kScratch, 1920, 1280, 2), 1500000);
        raw = photos::rawStandIn({{small}, {large}}, 1, 8u << 20);
        acl = program("kavophoto_acl");
        thumbgrab = program("thumbgrab");
        lumorad = program("lumorad");
    }

    void makeGallery() {
        root.addLumoraAccounts();
        alice = root.addUser("alice");
        aliceGroup = root.gidOf("alice");
        root.addShare("photo", kShare);
        root.makeDir(kScratch, 0700);
        root.makeDir(kExtract, 0700);
        const std::string base = "kavoacl 1 -\nuser:" + std::to_string(root.uidOf("Lumora")) +
                                 ":allow:rwxpdDaARWcCo:fd--\n";
        ASSERT_EQ(setxattr(kShare.c_str(), kAclAttr, base.data(), base.size(), 0), 0);
        root.makeDir(kAlbum, 0777);
        const std::string album =
            "kavoacl 1 inherit\nuser:" + std::to_string(alice) + ":allow:-wxpdD-------:fd--\n";
        ASSERT_EQ(setxattr(kAlbum.c_str(), kAclAttr, album.data(), album.size(), 0), 0);
        root.makeDir(kOurs, 0777);
        root.makeDir(kBase, 0777);
    }

    // The stored ACL value is binary (it holds NUL bytes): setfattr takes it as "0x" and hex.
    static std::string hexOf(const std::string &value) {
        static const char digits[] = "0123456789abcdef";
        std::string hex = "0x";
        for (unsigned char c : value) {
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        return hex;
    }

    // Our road for one photo; the first one tells the ACL value the baseline writes.
    void ourRoad(const std::string &photo) {
        ASSERT_TRUE(timeStep(ours[0], {acl, "--apply", photo, "alice"})) << photo;
        ASSERT_TRUE(timeStep(ours[1], {thumbgrab, photo})) << photo;
        ASSERT_TRUE(timeStep(ours[2], {lumorad, "-a", "F " + photo})) << photo;
        if (inherited.empty()) {
            inherited = xattrOf(photo);
            ASSERT_NE(inherited, "");
        }
    }

    // The same work by standard tools. The EA folder is made untimed (thumbgrab makes its
    // own); exiv2 writes NAME-preview1.jpg (the small one) and NAME-preview2.jpg into a
    // scratch folder, as thumbgrab writes each preview to a temporary file before its cp.
    void baselineRoad(const std::string &folder, const std::string &name) {
        const std::string photo = folder + "/" + name;
        const std::string eaDir = folder + "/@eaDir/" + name;
        ASSERT_FALSE(inherited.empty());
        ASSERT_TRUE(mkdir((folder + "/@eaDir").c_str(), 0777) == 0 || errno == EEXIST);
        ASSERT_EQ(mkdir(eaDir.c_str(), 0777), 0);
        const std::string stem = kExtract + "/" + name.substr(0, name.size() - 4);
        const std::string owner = std::to_string(alice) + ":" + std::to_string(aliceGroup);
        ASSERT_TRUE(timeStep(tools[0], {"/bin/chown", owner, photo}));
        ASSERT_TRUE(timeStep(tools[1],
                             {"/usr/bin/setfattr", "-n", kAclAttr, "-v", hexOf(inherited), photo}));
        ASSERT_TRUE(timeStep(tools[2], {"/usr/bin/exiv2", "-f", "-ep", "-l", kExtract, photo}));
        double t1 = runTimed({"/bin/cp", stem + "-preview1.jpg", eaDir + "/" + kSmallEntry});
        double t2 = runTimed({"/bin/cp", stem + "-preview2.jpg", eaDir + "/" + kLargeEntry});
        ASSERT_GE(t1, 0);
        ASSERT_GE(t2, 0);
        tools[3].seconds.push_back(t1 + t2);
        ASSERT_TRUE(timeStep(tools[4], {"/usr/bin/flock", kBaseQueue, "-c",
                                        "echo 'F " + photo + "' >> " + kBaseQueue}));
    }

    // Both sides did the same work: the owner, the ACL value, the two previews.
    void checkSameWork(const std::string &photo, const std::string &eaDir) {
        struct stat st;
        ASSERT_EQ(stat(photo.c_str(), &st), 0);
        ASSERT_EQ(st.st_uid, alice) << photo;
        ASSERT_EQ(st.st_gid, aliceGroup) << photo;
        ASSERT_EQ(xattrOf(photo), inherited) << photo;
        ASSERT_EQ(photos::readBytes(eaDir + "/" + kSmallEntry), small) << photo;
        ASSERT_EQ(photos::readBytes(eaDir + "/" + kLargeEntry), large) << photo;
    }

    void report() const {
        double ourTotal = 0, baseTotal = 0;
        for (const Step &s : ours) {
            ourTotal += s.total();
        }
        for (const Step &s : tools) {
            baseTotal += s.total();
        }
        printf("road of one upload, %d RAW photos in a row (8 MiB, previews 160x120, 1920x1280):\n",
               kPhotos);
        printSteps("ours", ours);
        printSteps("baseline", tools);
        printf("  ratio ours / baseline  %.2fx (target <= 1.00x)\n", ourTotal / baseTotal);
        printf(
            "ratio\troad of one upload x %d: --apply + thumbgrab + lumorad -a / chown + setfattr "
            "+ exiv2 -ep + 2 cp + flock echo\t%.4f\t%.4f\t%.2f\t<= 1.0\n",
            kPhotos, ourTotal, baseTotal, ourTotal / baseTotal);
    }

    ApplianceRoot root;
    uid_t alice = 0;
    gid_t aliceGroup = 0;
    std::string small, large, raw;        // the photo's previews, and the photo
    std::string acl, thumbgrab, lumorad;  // our programs
    std::vector<Step> ours = {{"kavophoto_acl --apply PATH alice", {}},
                              {"thumbgrab PATH", {}},
                              {"lumorad -a \"F PATH\"", {}}};
    std::vector<Step> tools = {{"chown alice:alice PATH", {}},
                               {"setfattr -n security.kavo.acl PATH", {}},
                               {"exiv2 -ep PATH", {}},
                               {"cp preview 1, cp preview 2", {}},
                               {"flock QUEUE -c 'echo ... >> QUEUE'", {}}};
    std::string inherited;  // the ACL value --apply gives a photo, which the baseline writes
};

}  // namespace

TEST_F(RoadBench, OneThousandUploadsAgainstStandardTools) {
    for (int i = 1; i <= kPhotos; i++) {
        const std::string name = photoName(i);
        for (int side = 0; side < 2; side++) {
            bool ourTurn = (side == 0) == (i % 2 == 1);
            const std::string folder = ourTurn ? kOurs : kBase;
            const std::string photo = folder + "/" + name;
            const std::string eaDir = folder + "/@eaDir/" + name;
            photos::writeBytes(photo, raw);
            if (ourTurn) {
                ASSERT_NO_FATAL_FAILURE(ourRoad(photo));
            } else {
                ASSERT_NO_FATAL_FAILURE(baselineRoad(folder, name));
            }
            ASSERT_NO_FATAL_FAILURE(checkSameWork(photo, eaDir));

            // Untimed: the photo goes again, so that memory stays flat.
            ASSERT_EQ(unlink(photo.c_str()), 0);
            ASSERT_EQ(photos::runTool({"/bin/rm", "-rf", eaDir}), 0);
        }
    }
    // Every request is queued, once, on both sides.
    auto lines = [](const std::string &path) {
        std::string text = ApplianceRoot::readFile(path);
        return std::count(text.begin(), text.end(), '\n');
    };
    EXPECT_EQ(lines(kOurQueue), kPhotos);
    EXPECT_EQ(lines(kBaseQueue), kPhotos);
    report();
}
