// Values that do not fit 32 bits, as the appliance's 32-bit CPU meets them: files dated after
// January 2038 and files past 4 GiB, copied and moved file by file and folder by folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "kavofileop.h"

using lumora::test::ApplianceRoot;

namespace {

const int64_t kMtime = 2208988800;  // 2040-01-01: past 2^31 seconds
const int64_t kAtime = 4354819200;  // 2108-01-01: past 2^32 seconds

KAVOCOPY_OPT options(int move, int keepTimes) {
    KAVOCOPY_OPT opt;
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_REMOVE_SRC] = move;
    opt.opt[KAVO_COPY_WITH_EA] = 1;
    opt.opt[KAVO_COPY_KEEP_TIMES] = keepTimes;
    return opt;
}

void setTimes(const std::string &path) {
    struct timespec times[2];
    times[0].tv_sec = kAtime;
    times[0].tv_nsec = 0;
    times[1].tv_sec = kMtime;
    times[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
        << path << ": " << strerror(errno);
}

// Both times as set, read back through a 64-bit-clean stat.
void expectTimes(const std::string &path) {
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    EXPECT_EQ((int64_t)st.st_mtim.tv_sec, kMtime) << path;
    EXPECT_EQ((int64_t)st.st_atim.tv_sec, kAtime) << path;
}

int64_t sizeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

std::string readAt(const std::string &path, int64_t offset, size_t len) {
    std::string buf(len, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return "";
    }
    ssize_t n = pread(fd, &buf[0], len, (off_t)offset);
    close(fd);
    buf.resize(n < 0 ? 0 : (size_t)n);
    return buf;
}

}  // namespace

TEST(Beyond32Bits, FilesAndFoldersDatedAfter2038KeepTheirTimes) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    root.writeFile("/volume1/photo/a.jpg", "A");
    setTimes("/volume1/photo/a.jpg");

    // A copy, then a move across file systems (copied, then removed).
    KAVOCOPY_OPT opt = options(0, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a.jpg", "/volume1/photo/b.jpg", &opt), 0);
    expectTimes("/volume1/photo/b.jpg");
    expectTimes("/volume1/photo/a.jpg");
    opt = options(1, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/b.jpg", "/volume2/c.jpg", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/b.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/c.jpg"), "A");
    expectTimes("/volume2/c.jpg");

    // Without kept times a dated source still copies and moves.
    opt = options(1, 0);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a.jpg", "/volume2/d.jpg", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/d.jpg"), "A");

    // A tree whose folder and files are dated: copied, then moved across file systems.
    root.writeFile("/volume1/photo/album/sub/1.jpg", "one");
    root.writeFile("/volume1/photo/album/@eaDir/2.jpg/T", "t");
    root.writeFile("/volume1/photo/album/2.jpg", "two");
    setTimes("/volume1/photo/album/sub/1.jpg");
    setTimes("/volume1/photo/album/2.jpg");
    setTimes("/volume1/photo/album/sub");
    opt = options(0, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/copy", &opt), 0);
    expectTimes("/volume1/photo/copy/sub");
    expectTimes("/volume1/photo/copy/sub/1.jpg");
    expectTimes("/volume1/photo/copy/2.jpg");
    opt = options(1, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/photo/copy", "/volume2/album", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/copy"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/album/sub/1.jpg"), "one");
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/album/@eaDir/2.jpg/T"), "t");
    expectTimes("/volume2/album/sub");
    expectTimes("/volume2/album/sub/1.jpg");
    expectTimes("/volume2/album/2.jpg");
}

TEST(Beyond32Bits, AFolderHoldingAFilePastFourGiBIsCopiedAndMovedWhole) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    // Sparse: a marker just past 2^32, one at the end.
    const int64_t size = ((int64_t)1 << 32) + 3 * 4096 + 11;
    const int64_t mark = ((int64_t)1 << 32) + 4096 + 5;
    root.makeDir("/volume1/video/trip");
    int fd = open("/volume1/video/trip/long.mov", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)size), 0);
    ASSERT_EQ(pwrite(fd, "HEAD", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "MARK", 4, (off_t)mark), 4);
    ASSERT_EQ(pwrite(fd, "TAIL", 4, (off_t)(size - 4)), 4);
    close(fd);

    KAVOCOPY_OPT opt = options(0, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/video/trip", "/volume1/video/copy", &opt), 0);
    opt = options(1, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/video/copy", "/volume2/trip", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/video/copy"));
    const std::string moved = "/volume2/trip/long.mov";
    EXPECT_EQ(sizeOf(moved), size);
    EXPECT_EQ(readAt(moved, 0, 4), "HEAD");
    EXPECT_EQ(readAt(moved, mark, 4), "MARK");
    EXPECT_EQ(readAt(moved, mark - 4, 4), std::string(4, '\0'));
    EXPECT_EQ(readAt(moved, size - 4, 8), "TAIL");
}
