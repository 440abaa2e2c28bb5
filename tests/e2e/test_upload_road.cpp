// The road of one upload, end to end: the full conversion of the share, a photo stored in an
// album and brought under its ACL with its uploader as owner, its preview stored by thumbgrab,
// the face request queued and handed to the face-recognition worker by the running daemon,
// and an upload right added to the album by the database hook. Real programs, a real
// PostgreSQL database, one private appliance root; every step is checked by what it left.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"
#include "kavocore.h"
#include "photos.h"

namespace {

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunOptions;
using lumora::test::RunResult;
using namespace acltest;
using Args = std::vector<std::string>;

const std::string kShare = "/volume1/photo";
const std::string kServicePath = "/var/services/photo";
const std::string kAlbum = kShare + "/family";
const std::string kPhoto = kAlbum + "/2024/beach.jpg";
const std::string kPreview = kAlbum + "/2024/@eaDir/beach.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg";
const std::string kLargePreview =
    kAlbum + "/2024/@eaDir/beach.jpg/KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg";
const std::string kSettings = "/var/packages/Lumora/etc/settings.conf";
const std::string kTrigger = "/var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh";
const std::string kInstalledHook = "/var/packages/Lumora/target/bin/kavophoto_acl_pgsql";
const std::string kQueue = "/var/services/photo/@eaDir/kavophoto_face.queue";
const std::string kWorkCopy = "/var/services/photo/@eaDir/kavophoto_face.queue.tmp";
const std::string kDaemonPid = "/var/run/lumorad.pid";
const std::string kFace = "/usr/kavo/bin/facerecognition";
const std::string kScratch = "/volume1/scratch";

// Polls cond every 50 ms until it holds or the time is up.
template <class Cond>
bool waitUntil(Cond cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string readLink(const std::string &path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, (size_t)n);
}

// A process that is gone or only a zombie (the daemon is not our child: nobody here reaps it).
bool processGone(pid_t pid) {
    if (pid <= 0) {
        return true;
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    std::string stat = ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z' ||
           stat[paren + 2] == 'X';
}

// Every live process of this test binary's mount namespace but the test itself.
std::vector<pid_t> processesOfThisTest() {
    std::vector<pid_t> out;
    std::string ns = readLink("/proc/self/ns/mnt");
    DIR *dir = opendir("/proc");
    if (dir == nullptr || ns.empty()) {
        if (dir != nullptr) {
            closedir(dir);
        }
        return out;
    }
    while (struct dirent *ent = readdir(dir)) {
        char *end = nullptr;
        long pid = strtol(ent->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == getpid()) {
            continue;
        }
        if (readLink(std::string("/proc/") + ent->d_name + "/ns/mnt") == ns &&
            !processGone((pid_t)pid)) {
            out.push_back((pid_t)pid);
        }
    }
    closedir(dir);
    return out;
}

// The lumorad processes of this test, found by their command name (/proc/PID/stat) or by the
// program they were started as (/proc/PID/cmdline, first or, under an emulator, second
// argument), never by /proc/PID/exe, which names the emulator when there is one.
std::vector<pid_t> lumoradProcesses() {
    std::vector<pid_t> out;
    for (pid_t pid : processesOfThisTest()) {
        std::string stat = ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/stat");
        std::string cmdline = ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/cmdline");
        size_t open = stat.find('('), close = stat.rfind(')');
        std::string comm = open == std::string::npos || close == std::string::npos || close < open
                               ? ""
                               : stat.substr(open + 1, close - open - 1);
        std::string arg0 = cmdline.substr(0, cmdline.find('\0'));
        std::string arg1 =
            arg0.size() < cmdline.size()
                ? cmdline.substr(arg0.size() + 1,
                                 cmdline.find('\0', arg0.size() + 1) - arg0.size() - 1)
                : "";
        if (comm == "lumorad" || arg0 == program("lumorad") || arg1 == program("lumorad")) {
            out.push_back(pid);
        }
    }
    return out;
}

class UploadRoad : public ::testing::Test {
   protected:
    void SetUp() override {
        root.useDatabase();
        root.addLumoraAccounts();
        alice = root.addUser("alice");
        bob = root.addUser("bob");
        root.addShare("photo", kShare);
        root.makeDir(kScratch, 0700);
        root.standIn(kTrigger);
        root.standIn(kFace);
        root.writeFile(kSettings, "runfacerecognition=\"yes\"\n");

        // The gallery before the package converts it: root's files, one album with an older
        // photo, a public album and a recycle bin.
        root.writeFile(kAlbum + "/old.jpg", photos::jpeg(kScratch, 64, 48, 1));
        root.makeDir(kShare + "/public");
        root.writeFile(kShare + "/#recycle/deleted.jpg", "gone");
        ASSERT_EQ(chown(kShare.c_str(), 0, 0), 0);

        root.sql(kAlbumSchema);
        root.sql(
            "INSERT INTO photo_share (shareid, sharename, public) VALUES "
            "(1, 'family', false), (2, 'public', true);");
        root.sql("INSERT INTO photo_access_right_for_nmx_account VALUES (" + id(alice) + ", 1);");

        // The hook as the package installs it: setuid root, run by the database's account.
        root.writeFile(kInstalledHook, ApplianceRoot::readFile(program("kavophoto_acl_pgsql")),
                       04755);
        ASSERT_EQ(chmod(kInstalledHook.c_str(), 04755), 0);
    }

    // The daemon detaches: stop it, and whatever else this test left running, before the
    // private root goes away.
    void TearDown() override {
        pid_t pid = daemonPid();
        if (pid > 0 && !processGone(pid)) {
            root.run({program("lumorad"), "-k"});
            waitUntil([&] { return processGone(pid); }, 10);
            kill(pid, SIGKILL);
        }
        for (int round = 0; round < 20; ++round) {
            std::vector<pid_t> left = processesOfThisTest();
            if (left.empty()) {
                break;
            }
            for (pid_t p : left) {
                kill(p, SIGKILL);
            }
            waitUntil([&] { return std::all_of(left.begin(), left.end(), processGone); }, 5);
        }
    }

    static std::string id(unsigned v) {
        return std::to_string(v);
    }

    // An account's id as an ACL entry holds it (signed, 32 bits).
    static int32_t entryId(uid_t uid) {
        EXPECT_LE(uid, (uid_t)INT32_MAX);
        return (int32_t)uid;
    }

    static pid_t daemonPid() {
        std::string text = ApplianceRoot::readFile(kDaemonPid);
        return text.empty() ? 0 : (pid_t)atoi(text.c_str());
    }

    RunResult run(const Args &argv, const std::string &as = "") const {
        RunOptions opt;
        opt.asUser = as;
        return root.run(argv, opt);
    }

    static std::string settingsValue(const std::string &key) {
        char buf[256] = "";
        int r = VLIBCFileGetKeyValue(kSettings.c_str(), key.c_str(), buf, sizeof buf, 0);
        return r > 0 ? std::string(buf) : "<absent>";
    }

    static std::string shareValue(const std::string &key) {
        char buf[256] = "";
        int r = VLIBCFileGetSectionValue("/usr/kavo/etc/shares.conf", "photo", key.c_str(), buf,
                                         sizeof buf);
        return r >= 0 ? std::string(buf) : "<absent>";
    }

    // The syslog lines ("ident: source:line text") since the last call: on this root only the
    // road's programs write to the log.
    std::vector<std::string> newLog() {
        std::vector<std::string> all = root.logLinesWithIdent();
        std::vector<std::string> out(all.begin() + (long)std::min(seenLog, all.size()), all.end());
        seenLog = all.size();
        return out;
    }

    // The face-recognition runs so far, each as its argument list after the program path.
    std::vector<Args> faceRuns() const {
        std::vector<Args> out;
        for (const auto &call : root.calls(kFace)) {
            EXPECT_FALSE(call.argv.empty());
            if (!call.argv.empty()) {
                EXPECT_EQ(call.argv[0], kFace);
                EXPECT_EQ(call.uid, 0u);
                EXPECT_EQ(call.cwd, "/") << "not started by the detached daemon";
                out.emplace_back(call.argv.begin() + 1, call.argv.end());
            }
        }
        return out;
    }

    // ---- the road, step by step ----

    // The package converts the share: base ACL, owner, inheritance, album rights.
    void convertShare() {
        const uid_t lumora = root.uidOf("Lumora");
        const gid_t lumoraGid = root.gidOf("Lumora");
        RunResult r = run({program("kavophoto_acl"), "--convert"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        Acl top = aclOf(kShare);
        EXPECT_TRUE(top.present);
        EXPECT_FALSE(top.inherit);
        EXPECT_EQ(top.entries, baseEntries(root));
        EXPECT_EQ(ownerOf(kShare), lumora);
        EXPECT_EQ(groupOf(kShare), lumoraGid);
        Acl album = aclOf(kAlbum);
        EXPECT_TRUE(album.present && album.inherit);
        EXPECT_EQ(album.entries, (std::vector<Entry>{albumEntry(1, entryId(alice), kBrowse)}));
        EXPECT_EQ(aclOf(kShare + "/public").entries,
                  (std::vector<Entry>{albumEntry(8, -1, kBrowse)}));
        Acl old = aclOf(kAlbum + "/old.jpg");
        EXPECT_TRUE(old.present && old.inherit);
        EXPECT_TRUE(old.entries.empty());
        EXPECT_EQ(ownerOf(kAlbum + "/old.jpg"), lumora);
        EXPECT_FALSE(aclOf(kShare + "/#recycle/deleted.jpg").present);
        EXPECT_EQ(ownerOf(kShare + "/#recycle/deleted.jpg"), 0u);
        EXPECT_EQ(settingsValue("convertphotoacl"), "finish");
        EXPECT_EQ(settingsValue("runfacerecognition"), "yes");
        EXPECT_EQ(shareValue("hide_unreadable"), "yes");
        auto trigger = root.calls(kTrigger);
        ASSERT_EQ(trigger.size(), 1u);
        EXPECT_EQ(trigger[0].argv, (Args{kTrigger, "a"}));
        EXPECT_EQ(newLog(), Args{});
    }

    // The package starts the daemon; it detaches and idles.
    void startDaemon() {
        RunResult r = run({program("lumorad")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        ASSERT_TRUE(waitUntil(
            [&] {
                daemon = daemonPid();
                return daemon > 0 && !processGone(daemon);
            },
            30))
            << "no live daemon behind " << kDaemonPid;
        EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{daemon});
        // A second start is refused and leaves the first daemon alone.
        r = run({program("lumorad")});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(daemonPid(), daemon);
        EXPECT_EQ(lumoradProcesses(), std::vector<pid_t>{daemon});
        Args log = newLog();
        ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
        EXPECT_NE(log[0].find("lumorad: lumorad:"), std::string::npos) << log[0];
        EXPECT_NE(log[0].find(" Daemon() failed."), std::string::npos) << log[0];
    }

    // The front end stores alice's photo in a new folder of the album.
    void storePhoto() {
        thumb = photos::jpeg(kScratch, 160, 128, 2);
        root.writeFile(kPhoto, photos::jpeg(kScratch, 640, 480, 3));
        photos::setExif(kPhoto, 6, thumb);  // taken with the camera turned right
        ASSERT_FALSE(aclOf(kAlbum + "/2024").present);
        // It names the photo through the share's service path; the tool resolves it.
        RunResult r = run({program("kavophoto_acl"), "--apply",
                           kServicePath + "/family/2024/beach.jpg", "alice"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        Acl folder = aclOf(kAlbum + "/2024");
        EXPECT_TRUE(folder.present && folder.inherit) << rawAcl(kAlbum + "/2024");
        EXPECT_TRUE(folder.entries.empty());
        EXPECT_EQ(ownerOf(kAlbum + "/2024"), 0u);  // only the photo gets the uploader
        Acl photo = aclOf(kPhoto);
        EXPECT_TRUE(photo.present && photo.inherit) << rawAcl(kPhoto);
        EXPECT_TRUE(photo.entries.empty());
        EXPECT_EQ(ownerOf(kPhoto), alice);
        EXPECT_EQ(groupOf(kPhoto), root.gidOf("alice"));
        EXPECT_EQ(aclOf(kAlbum).entries,
                  (std::vector<Entry>{albumEntry(1, entryId(alice), kBrowse)}));
        EXPECT_EQ(newLog(), Args{});
    }

    // thumbgrab stores the EXIF thumbnail, turned upright, as the small preview.
    void grabPreview() {
        RunResult r = run({program("thumbgrab"), kPhoto});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        ASSERT_TRUE(ApplianceRoot::exists(kPreview));
        EXPECT_EQ(photos::readBytes(kPreview), photos::rotated(kScratch, thumb, 90));
        EXPECT_EQ(photos::pixelSize(kPreview), (std::pair<uint32_t, uint32_t>(128, 160)));
        EXPECT_FALSE(ApplianceRoot::exists(kLargePreview));  // an ordinary photo has no large one
        DIR *tmp = opendir("/tmp");
        ASSERT_NE(tmp, nullptr);
        while (struct dirent *e = readdir(tmp)) {
            EXPECT_NE(std::string(e->d_name).rfind("thumb.", 0), 0u)
                << "left in /tmp: " << e->d_name;
        }
        closedir(tmp);
        EXPECT_EQ(newLog(), Args{});
    }

    // The face request is queued (twice: the second changes nothing).
    void queueFaceRequest() {
        const std::string request = "F " + kPhoto;
        queuedAt = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i) {
            RunResult r = run({program("lumorad"), "-a", request});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "");
        }
        // The daemon sleeps for 20 seconds after its start-up: the request is still waiting.
        std::string queued = ApplianceRoot::readFile(kQueue) + ApplianceRoot::readFile(kWorkCopy);
        EXPECT_TRUE(queued.empty() || queued == request + "\n") << queued;
        EXPECT_EQ(newLog(), Args{});
    }

    // Within 20 seconds the running daemon hands the photo to the worker.
    void awaitFaceRuns() {
        bool ran = waitUntil([&] { return !root.calls(kFace).empty(); }, 30);
        double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - queuedAt).count();
        ASSERT_TRUE(ran) << "no face-recognition run " << waited << " s after the request";
        EXPECT_LE(waited, 25.0) << "the daemon's idle check came late";
        ASSERT_TRUE(waitUntil(
            [] { return !ApplianceRoot::exists(kQueue) && !ApplianceRoot::exists(kWorkCopy); },
            10));
        EXPECT_EQ(faceRuns(), (std::vector<Args>{{"-F", kPhoto}}));

        // A request for the whole album reaches its photos, not the stored preview.
        RunResult r = run({program("lumorad"), "-a", "F " + kAlbum});
        EXPECT_EQ(r.status, 0);
        ASSERT_TRUE(waitUntil([&] { return root.calls(kFace).size() >= 3; }, 30));
        ASSERT_TRUE(waitUntil(
            [] { return !ApplianceRoot::exists(kQueue) && !ApplianceRoot::exists(kWorkCopy); },
            10));
        std::vector<Args> runs = faceRuns();
        ASSERT_EQ(runs.size(), 3u) << ::testing::PrintToString(runs);
        std::vector<Args> albumRuns(runs.begin() + 1, runs.end());
        std::sort(albumRuns.begin(), albumRuns.end());
        EXPECT_EQ(albumRuns, (std::vector<Args>{{"-F", kAlbum + "/2024/beach.jpg"},
                                                {"-F", kAlbum + "/old.jpg"}}));
        EXPECT_EQ(daemonPid(), daemon);
        EXPECT_FALSE(processGone(daemon));
        EXPECT_EQ(newLog(), Args{});
    }

    // bob is granted the upload right: the database runs the hook as "postgres".
    void grantUploadRight() {
        root.sql("INSERT INTO photo_upload_right_for_nmx_account VALUES (" + id(bob) + ", 1);");
        RunResult r =
            run({kInstalledHook, "--add", "family", "user", id(bob), "upload"}, "postgres");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(aclOf(kAlbum).entries, granted());
        EXPECT_TRUE(aclOf(kAlbum).inherit);
        EXPECT_TRUE(aclOf(kPhoto).entries.empty());
        EXPECT_EQ(ownerOf(kPhoto), alice);
        EXPECT_EQ(newLog(), Args{});
    }

    // Nobody else may run it.
    void refuseOthers() {
        RunResult r = run({kInstalledHook, "--add", "family", "user", id(bob), "manage"}, "bob");
        std::string refusal = "uid not match[" + id(bob) + "][" + id(root.uidOf("postgres")) + "]";
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, refusal);
        EXPECT_EQ(aclOf(kAlbum).entries, granted());
        Args log = newLog();
        ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
        EXPECT_EQ(log[0].rfind("kavophoto_acl_pgsql: kavophoto_acl_pgsql:", 0), 0u) << log[0];
        EXPECT_NE(log[0].find(refusal), std::string::npos) << log[0];
    }

    // The hook kept the album equal to the database: a new full conversion agrees.
    void reconvertAgrees() {
        const uid_t lumora = root.uidOf("Lumora");
        RunResult r = run({program("kavophoto_acl"), "--convert"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(aclOf(kAlbum).entries, granted());
        EXPECT_EQ(aclOf(kShare).entries, baseEntries(root));
        EXPECT_TRUE(aclOf(kPhoto).present && aclOf(kPhoto).inherit);
        EXPECT_EQ(ownerOf(kPhoto), lumora);  // the conversion re-owns the whole tree
        EXPECT_FALSE(aclOf(kPreview).present);
        EXPECT_EQ(newLog(), Args{});
    }

    // The package stops the daemon.
    void stopDaemon() {
        RunResult r = run({program("lumorad"), "-k"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(waitUntil([&] { return processGone(daemon); }, 30)) << "daemon still running";
        EXPECT_FALSE(ApplianceRoot::exists(kDaemonPid));
        EXPECT_TRUE(lumoradProcesses().empty()) << ::testing::PrintToString(lumoradProcesses());
        EXPECT_EQ(newLog(), Args{});
        EXPECT_EQ(faceRuns().size(), 3u);
    }

    // alice's browse right and bob's upload right, once bob is granted his.
    std::vector<Entry> granted() const {
        return {albumEntry(1, entryId(alice), kBrowse), albumEntry(1, entryId(bob), kUpload)};
    }

    ApplianceRoot root;
    uid_t alice = 0, bob = 0;
    size_t seenLog = 0;
    std::string thumb;                               // the photo's EXIF thumbnail
    pid_t daemon = 0;                                // the running daemon
    std::chrono::steady_clock::time_point queuedAt;  // when the face request went in
};

TEST_F(UploadRoad, OnePhotoFromUploadToFaceRecognitionAndANewUploadRight) {
    ASSERT_NO_FATAL_FAILURE(convertShare());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(storePhoto());
    ASSERT_NO_FATAL_FAILURE(grabPreview());
    ASSERT_NO_FATAL_FAILURE(queueFaceRequest());
    ASSERT_NO_FATAL_FAILURE(awaitFaceRuns());
    ASSERT_NO_FATAL_FAILURE(grantUploadRight());
    ASSERT_NO_FATAL_FAILURE(refuseOthers());
    ASSERT_NO_FATAL_FAILURE(reconvertAgrees());
    ASSERT_NO_FATAL_FAILURE(stopDaemon());
}

}  // namespace
