// Speed and memory of thumbgrab, against baselines timed in the same run (run as root, on a
// private appliance root):
//
// 1. File mode on the tests' RAW photos with a large and a small embedded preview (a
//    TIFF-based stand-in and a CR3-shaped file), against the exiv2 command line extracting
//    the same two previews ("exiv2 -ep<N>" once for each) followed by one cp of each; target
//    at most 1.0x, bounds included. Also against "exiftool -b -PreviewImage", and against the
//    same program built without its bounds: the bounds may cost at most 5%.
// 2. Stdout mode streams: its peak resident memory on a 200 MiB photo against a 2 MiB one;
//    target about 1.0x (no growth with the photo's size).
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "photos.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;

namespace {

const int kRounds = 41;
const std::string kScratch = "/volume1/scratch";
const std::string kPhotoDir = "/volume1/photo";

struct Timed {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;  // user + system time of the process and the children it reaped
    long maxRssKiB = 0;
};

// Runs a program with standard output sent to outPath (or /dev/null), timing it and taking
// its peak resident memory.
Timed runTimed(const std::vector<std::string> &argv, const std::string &outPath = "/dev/null") {
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    Timed run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) {
        return run;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.maxRssKiB = ru.ru_maxrss;
    run.cpuSeconds = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 +
                     (double)ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A JPEG photo of about size bytes: a real image whose scan is lengthened with filler.
void writeLargeJpeg(const std::string &path, const std::string &jpeg, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(jpeg.data(), 1, jpeg.size() - 2, f);  // without the end marker
    std::string filler(1 << 20, '\x55');
    size_t left = size > jpeg.size() ? size - jpeg.size() : 0;
    while (left > 0) {
        size_t n = std::min(left, filler.size());
        fwrite(filler.data(), 1, n, f);
        left -= n;
    }
    fwrite("\xff\xd9", 1, 2, f);
    ASSERT_EQ(fclose(f), 0);
}

}  // namespace

namespace {

// The build of thumbgrab without bounds, beside this benchmark.
std::string unboundedProgram() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "";
    }
    self[n] = '\0';
    std::string dir(self);
    return dir.substr(0, dir.rfind('/')) + "/thumbgrab_unbounded";
}

struct RawCase {
    const char *label;
    std::string name, photo, ea;
};

// One round of each way; the bounds' cost is taken from CPU time, which a busy machine
// disturbs far less than elapsed time.
void fileModeRound(const RawCase &c, const std::string &out, std::vector<double> &tg,
                   std::vector<double> &tgCpu, std::vector<double> &freeCpu,
                   std::vector<double> &base, std::vector<double> &et) {
    const std::string thumbgrab = program("thumbgrab"), unbounded = unboundedProgram();
    Timed r = runTimed({thumbgrab, c.photo});
    ASSERT_EQ(r.status, 0);
    tg.push_back(r.seconds);
    tgCpu.push_back(r.cpuSeconds);
    r = runTimed({unbounded, c.photo});
    ASSERT_EQ(r.status, 0);
    freeCpu.push_back(r.cpuSeconds);

    double t = 0;
    std::string stem = c.name.substr(0, c.name.rfind('.'));
    for (const char *n : {"1", "2"}) {
        r = runTimed({"/usr/bin/exiv2", "-f", std::string("-ep") + n, "-l", out, c.photo});
        ASSERT_EQ(r.status, 0);
        t += r.seconds;
    }
    for (const char *n : {"1", "2"}) {
        r = runTimed(
            {"/bin/cp", out + "/" + stem + "-preview" + n + ".jpg", out + "/copy" + n + ".jpg"});
        ASSERT_EQ(r.status, 0);
        t += r.seconds;
    }
    base.push_back(t);

    r = runTimed({"/usr/bin/exiftool", "-b", "-PreviewImage", c.photo}, out + "/exiftool.jpg");
    et.push_back(r.seconds);
}

}  // namespace

TEST(ThumbgrabBench, FileModeAgainstExiv2AndCp) {
    ApplianceRoot root;
    root.makeDir(kScratch, 0700);
    root.makeDir(kPhotoDir, 0777);
    root.makeDir(kScratch + "/out", 0700);
    ASSERT_EQ(access(unboundedProgram().c_str(), X_OK), 0) << unboundedProgram();

    // A RAW stand-in: 24 MB of sensor data, a 160x120 preview and a 1.5 MB 1920x1280 one;
    // and a CR3-shaped file with a 160x120 thumbnail and a 1.5 MB 1620x1080 preview.
    std::string small = photos::jpeg(kScratch, 160, 120, 1);
    std::string large = photos::padJpeg(photos::jpeg(kScratch, 1920, 1280, 2), 1500000);
    std::vector<RawCase> cases = {{"TIFF-based RAW (24 MB)", "DSC_1000.NEF", "", ""},
                                  {"CR3", "IMG_1000.CR3", "", ""}};
    for (RawCase &c : cases) {
        c.photo = kPhotoDir + "/" + c.name;
        c.ea = kPhotoDir + "/@eaDir/" + c.name + "/";
    }
    photos::writeBytes(cases[0].photo, photos::rawStandIn({{small}, {large}}, 1, 24u << 20));
    photos::Cr3 cr3;
    cr3.thumbnail = small;
    cr3.thumbWidth = 160;
    cr3.thumbHeight = 120;
    cr3.preview = photos::padJpeg(photos::jpeg(kScratch, 1620, 1080, 3), 1500000);
    cr3.previewWidth = 1620;
    cr3.previewHeight = 1080;
    photos::writeBytes(cases[1].photo, photos::cr3(cr3));

    const std::string out = kScratch + "/out";
    for (const RawCase &c : cases) {
        std::vector<double> tg, tgCpu, freeCpu, base, et;
        for (int i = 0; i < kRounds; i++) {
            fileModeRound(c, out, tg, tgCpu, freeCpu, base, et);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        // The same two previews came out both ways.
        EXPECT_EQ(photos::readBytes(c.ea + "KAVOPHOTO_THUMB_PREVIEW.jpg"),
                  photos::readBytes(out + "/copy1.jpg"));
        EXPECT_EQ(photos::readBytes(c.ea + "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg"),
                  photos::readBytes(out + "/copy2.jpg"));

        double ratio = median(tg) / median(base);
        double cost = median(tgCpu) / median(freeCpu);
        printf("file mode, %s, previews small and large:\n", c.label);
        printf("  thumbgrab                        median %8.2f ms\n", median(tg) * 1e3);
        printf("  thumbgrab CPU time               median %8.2f ms\n", median(tgCpu) * 1e3);
        printf("  thumbgrab without bounds, CPU    median %8.2f ms\n", median(freeCpu) * 1e3);
        printf("  exiv2 -ep1, exiv2 -ep2, cp, cp   median %8.2f ms\n", median(base) * 1e3);
        printf("  exiftool -b -PreviewImage        median %8.2f ms\n", median(et) * 1e3);
        printf("  ratio thumbgrab / exiv2+cp       %.2fx (target <= 1.00x)\n", ratio);
        printf("  ratio bounded / unbounded        %.3fx (target <= 1.05x)\n", cost);
        printf(
            "ratio\tthumbgrab file mode, %s / exiv2 -ep1 -ep2 + 2 cp\t%.4f\t%.4f\t%.2f\t<= 1.0\n",
            c.label, median(tg), median(base), ratio);
        printf(
            "ratio\tthumbgrab file mode, %s, CPU time with bounds / without\t%.4f\t%.4f\t%.3f"
            "\t<= 1.05\n",
            c.label, median(tgCpu), median(freeCpu), cost);
        printf(
            "ratio\tthumbgrab file mode, %s / exiftool -b "
            "-PreviewImage\t%.4f\t%.4f\t%.2f\t(info)\n",
            c.label, median(tg), median(et), median(tg) / median(et));
        EXPECT_LE(ratio, 1.0);
        EXPECT_LE(cost, 1.05);
    }
}

TEST(ThumbgrabBench, StdoutModeMemoryDoesNotGrowWithPhotoSize) {
    ApplianceRoot root;
    root.makeDir(kScratch, 0700);
    root.makeDir(kPhotoDir, 0777);
    root.addUser("alice");

    // Ordinary photos without a small preview: stdout mode sends the whole file.
    std::string base = photos::jpeg(kScratch, 640, 480, 3);
    const std::string smallPhoto = kPhotoDir + "/SMALL.JPG", bigPhoto = kPhotoDir + "/BIG.JPG";
    writeLargeJpeg(smallPhoto, base, 2u << 20);
    writeLargeJpeg(bigPhoto, base, 200u << 20);
    chmod(smallPhoto.c_str(), 0644);
    chmod(bigPhoto.c_str(), 0644);

    const std::string thumbgrab = program("thumbgrab");
    long rssSmall = 0, rssBig = 0;
    std::vector<double> tSmall, tBig;
    for (int i = 0; i < 5; i++) {
        Timed r = runTimed({thumbgrab, smallPhoto, "--stdout", "alice"});
        ASSERT_EQ(r.status, 0);
        rssSmall = std::max(rssSmall, r.maxRssKiB);
        tSmall.push_back(r.seconds);
        r = runTimed({thumbgrab, bigPhoto, "--stdout", "alice"});
        ASSERT_EQ(r.status, 0);
        rssBig = std::max(rssBig, r.maxRssKiB);
        tBig.push_back(r.seconds);
    }
    // The stream is the photo, byte for byte, behind its header.
    Timed r = runTimed({thumbgrab, smallPhoto, "--stdout", "alice"}, kScratch + "/stream");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(photos::readBytes(kScratch + "/stream"),
              smallPhoto + "\n" + photos::readBytes(smallPhoto));

    double ratio = (double)rssBig / (double)rssSmall;
    printf("stdout mode, ordinary photo streamed whole:\n");
    printf("  2 MiB photo    peak RSS %7ld KiB, median %8.2f ms\n", rssSmall, median(tSmall) * 1e3);
    printf("  200 MiB photo  peak RSS %7ld KiB, median %8.2f ms\n", rssBig, median(tBig) * 1e3);
    printf("  ratio peak RSS 200 MiB / 2 MiB   %.2fx (target about 1.0x)\n", ratio);
    printf(
        "ratio\tthumbgrab --stdout peak RSS (KiB), 200 MiB photo / 2 MiB photo\t%ld\t%ld\t%.2f"
        "\t~ 1.0\n",
        rssBig, rssSmall, ratio);
    EXPECT_LE(ratio, 1.1);
}
