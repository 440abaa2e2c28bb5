// Speed and memory of thumbgrab, against baselines timed in the same run (run as root, on a
// private appliance root):
//
// 1. File mode on a RAW photo with a large and a small embedded preview, against the exiv2
//    command line extracting the same two previews ("exiv2 -ep<N>" once for each) followed
//    by one cp of each; target at most 1.3x. Also against "exiftool -b -PreviewImage".
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

const int kRounds = 25;
const std::string kScratch = "/volume1/scratch";
const std::string kPhotoDir = "/volume1/photo";

struct Timed {
    int status = -1;
    double seconds = 0;
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

TEST(ThumbgrabBench, FileModeAgainstExiv2AndCp) {
    ApplianceRoot root;
    root.makeDir(kScratch, 0700);
    root.makeDir(kPhotoDir, 0777);
    root.makeDir(kScratch + "/out", 0700);

    // A RAW stand-in: 24 MB of sensor data, a 160x120 preview and a 1.5 MB 1920x1280 one.
    std::string small = photos::jpeg(kScratch, 160, 120, 1);
    std::string large = photos::padJpeg(photos::jpeg(kScratch, 1920, 1280, 2), 1500000);
    std::string photo = kPhotoDir + "/DSC_1000.NEF";
    photos::writeBytes(photo, photos::rawStandIn({{small}, {large}}, 1, 24u << 20));

    const std::string thumbgrab = program("thumbgrab");
    const std::string out = kScratch + "/out";
    const std::string dest1 = kScratch + "/small.jpg", dest2 = kScratch + "/large.jpg";
    std::vector<double> tg, base, et;
    for (int i = 0; i < kRounds; i++) {
        Timed r = runTimed({thumbgrab, photo});
        ASSERT_EQ(r.status, 0);
        tg.push_back(r.seconds);

        double t = 0;
        for (const char *n : {"1", "2"}) {
            r = runTimed({"/usr/bin/exiv2", "-f", std::string("-ep") + n, "-l", out, photo});
            ASSERT_EQ(r.status, 0);
            t += r.seconds;
        }
        r = runTimed({"/bin/cp", out + "/DSC_1000-preview1.jpg", dest1});
        ASSERT_EQ(r.status, 0);
        t += r.seconds;
        r = runTimed({"/bin/cp", out + "/DSC_1000-preview2.jpg", dest2});
        ASSERT_EQ(r.status, 0);
        t += r.seconds;
        base.push_back(t);

        r = runTimed({"/usr/bin/exiftool", "-b", "-PreviewImage", photo}, out + "/exiftool.jpg");
        et.push_back(r.seconds);
    }
    // The same two previews came out both ways.
    const std::string ea = kPhotoDir + "/@eaDir/DSC_1000.NEF/";
    EXPECT_EQ(photos::readBytes(ea + "KAVOPHOTO_THUMB_PREVIEW.jpg"), photos::readBytes(dest1));
    EXPECT_EQ(photos::readBytes(ea + "KAVOPHOTO_THUMB_LARGE_PREVIEW.jpg"),
              photos::readBytes(dest2));

    double ratio = median(tg) / median(base);
    printf("file mode, RAW stand-in (24 MB, previews 160x120 and 1920x1280):\n");
    printf("  thumbgrab                        median %8.2f ms\n", median(tg) * 1e3);
    printf("  exiv2 -ep1, exiv2 -ep2, cp, cp   median %8.2f ms\n", median(base) * 1e3);
    printf("  exiftool -b -PreviewImage        median %8.2f ms (%zu bytes out)\n", median(et) * 1e3,
           photos::readBytes(out + "/exiftool.jpg").size());
    printf("  ratio thumbgrab / exiv2+cp       %.2fx (target <= 1.30x)\n", ratio);
    printf("  ratio thumbgrab / exiftool       %.2fx\n", median(tg) / median(et));
    printf(
        "ratio\tthumbgrab file mode, RAW with two previews / exiv2 -ep1 -ep2 + 2 cp\t%.4f\t%.4f"
        "\t%.2f\t<= 1.3\n",
        median(tg), median(base), ratio);
    printf("ratio\tthumbgrab file mode / exiftool -b -PreviewImage\t%.4f\t%.4f\t%.2f\t(info)\n",
           median(tg), median(et), median(tg) / median(et));
    EXPECT_LE(ratio, 1.3);
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
