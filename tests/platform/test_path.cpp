// Paths beneath a trusted root, with the kernel's openat2 and with the component walk, and
// the one logging call.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavocore.h"

using lumora::test::ApplianceRoot;

namespace {

const char *const kRoot = "/volume1/share";

// Opens path beneath kRoot with flags; the errno of a refusal, or 0 when it opened.
int openErr(const char *path, int flags, mode_t mode = 0600) {
    int fd = KAVOPathOpenBeneath(kRoot, path, flags, mode);
    if (fd < 0) {
        return errno;
    }
    close(fd);
    return 0;
}

// A share with a folder, a file, links inside and out, and a FIFO.
void buildTree(ApplianceRoot &root) {
    root.writeFile("/volume1/share/album/photo.jpg", "inside");
    root.writeFile("/volume1/secret/file", "outside", 0600);
    root.writeFile("/volume1/share2/file", "neighbour");
    ASSERT_EQ(symlink("/volume1/secret", "/volume1/share/out"), 0);
    ASSERT_EQ(symlink("album", "/volume1/share/in"), 0);
    ASSERT_EQ(symlink("photo.jpg", "/volume1/share/album/alias.jpg"), 0);
    ASSERT_EQ(symlink("/volume1/secret/new", "/volume1/share/album/dangling"), 0);
    ASSERT_EQ(mkfifo("/volume1/share/album/fifo", 0644), 0);
}

class PathBeneath : public ::testing::TestWithParam<int> {
   protected:
    void SetUp() override {
        KAVOPathForceWalk(GetParam());
    }
    void TearDown() override {
        KAVOPathForceWalk(0);
    }
};

TEST_P(PathBeneath, RefusesEveryLinkAndEveryWayOut) {
    ApplianceRoot root;
    buildTree(root);
    struct Case {
        const char *path;
        int flags;
        int err;
    } cases[] = {
        {"/volume1/share/album/photo.jpg", O_RDONLY, 0},
        {"/volume1/share/album/../album/photo.jpg", O_RDONLY, 0},
        {"/volume1/share//album/./photo.jpg", O_RDONLY, 0},
        {"/volume1/share", O_RDONLY | O_DIRECTORY, 0},
        {"/volume1/share/album", O_PATH | O_DIRECTORY, 0},
        {"/volume1/share/out/file", O_RDONLY, ELOOP},
        {"/volume1/share/in/photo.jpg", O_RDONLY, ELOOP},
        {"/volume1/share/in", O_PATH, ELOOP},
        {"/volume1/share/in", O_RDONLY | O_DIRECTORY, ELOOP},
        {"/volume1/share/album/alias.jpg", O_RDONLY, ELOOP},
        {"/volume1/share/album/alias.jpg", O_PATH, ELOOP},
        {"/volume1/share/album/dangling", O_WRONLY | O_CREAT, ELOOP},
        {"/volume1/share/album/dangling", O_WRONLY | O_CREAT | O_EXCL, EEXIST},
        {"/volume1/share/../secret/file", O_RDONLY, EXDEV},
        {"/volume1/share/album/../../secret/file", O_RDONLY, EXDEV},
        {"/volume1/share2/file", O_RDONLY, EXDEV},
        {"/volume1/secret/file", O_RDONLY, EXDEV},
        {"/volume1/share/album/photo.jpg/x", O_RDONLY, ENOTDIR},
        {"/volume1/share/album/missing", O_RDONLY, ENOENT},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(openErr(c.path, c.flags), c.err) << c.path;
    }
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/secret/new"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/secret/file"), "outside");

    // A file made beneath the root lands there; the parent opener names its leaf.
    EXPECT_EQ(openErr("/volume1/share/album/new", O_WRONLY | O_CREAT | O_EXCL, 0640), 0);
    struct stat st;
    ASSERT_EQ(lstat("/volume1/share/album/new", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    char leaf[256];
    int dir = KAVOPathOpenParent(kRoot, "/volume1/share/album/photo.jpg", leaf, sizeof(leaf));
    ASSERT_GE(dir, 0);
    EXPECT_STREQ(leaf, "photo.jpg");
    EXPECT_EQ(faccessat(dir, leaf, F_OK, AT_SYMLINK_NOFOLLOW), 0);
    close(dir);
    EXPECT_LT(KAVOPathOpenParent(kRoot, "/volume1/share/in/photo.jpg", leaf, sizeof(leaf)), 0);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_LT(KAVOPathOpenParent(kRoot, "/volume1/share/", leaf, sizeof(leaf)), 0);
    EXPECT_LT(KAVOPathOpenParent(kRoot, "/volume1/share/album/..", leaf, sizeof(leaf)), 0);
}

TEST_P(PathBeneath, ResolveFollowsLinksOnlyInsideTheRoot) {
    ApplianceRoot root;
    buildTree(root);
    ASSERT_EQ(symlink("/volume1/share/album", "/volume1/share/abs"), 0);
    ASSERT_EQ(symlink("../in/../out", "/volume1/share/album/sneak"), 0);
    ASSERT_EQ(symlink("loop", "/volume1/share/loop"), 0);
    struct Case {
        const char *path;
        int err;
        const char *resolved;
    } cases[] = {
        {"/volume1/share/in/photo.jpg", 0, "/volume1/share/album/photo.jpg"},
        {"/volume1/share/abs/alias.jpg", 0, "/volume1/share/album/photo.jpg"},
        {"/volume1/share/out/file", EXDEV, nullptr},
        {"/volume1/share/album/sneak/file", EXDEV, nullptr},
        {"/volume1/share/loop", ELOOP, nullptr},
        {"/volume1/share/album/../../secret", EXDEV, nullptr},
    };
    for (const Case &c : cases) {
        char resolved[KAVO_PATH_SIZE] = "";
        int fd = KAVOPathResolveBeneath(kRoot, c.path, O_RDONLY, 0, resolved, sizeof(resolved));
        EXPECT_EQ(fd < 0 ? errno : 0, c.err) << c.path;
        if (fd >= 0) {
            EXPECT_STREQ(resolved, c.resolved) << c.path;
            char viaFd[KAVO_PATH_SIZE];
            ASSERT_EQ(KAVOPathOfFd(fd, viaFd, sizeof(viaFd)), 0);
            EXPECT_STREQ(viaFd, c.resolved);
            close(fd);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, PathBeneath, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param ? "Walk" : "Openat2"; });

TEST(RegularFile, FifoFolderAndLinkAreRefusedWithoutBlocking) {
    ApplianceRoot root;
    buildTree(root);
    int fd = KAVOFileOpenRegular(AT_FDCWD, "/volume1/share/album/photo.jpg", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    for (const char *p : {"/volume1/share/album/fifo", "/volume1/share/album"}) {
        EXPECT_LT(KAVOFileOpenRegular(AT_FDCWD, p, O_RDONLY, 0), 0) << p;
        EXPECT_EQ(errno, EINVAL) << p;
    }
    EXPECT_LT(
        KAVOFileOpenRegular(AT_FDCWD, "/volume1/share/album/alias.jpg", O_RDONLY | O_NOFOLLOW, 0),
        0);
    EXPECT_EQ(errno, ELOOP);
}

TEST(Log, OneMessageIsOneLineAndKeepsTheErrorText) {
    ApplianceRoot root;
    openlog("test_path", 0, LOG_USER);
    errno = ENOENT;
    KAVOSyslog("name [%s] %m 100%%", "a\nforged: line\x7f");
    EXPECT_EQ(errno, ENOENT);
    KAVOSyslog("ends in a newline\n");
    closelog();
    auto lines = root.logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "name [a\\x0Aforged: line\\x7F] No such file or directory 100%");
    EXPECT_EQ(lines[1], "ends in a newline");
}

}  // namespace

TEST(RemoveAt, TakesTheTreeButNoLinkTargetNorAnotherFileSystem) {
    ApplianceRoot root;
    buildTree(root);
    root.writeFile("/volume1/share/album/deep/er/x.jpg", "x");
    int fd = KAVOPathOpenRoot(kRoot);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(KAVOPathRemoveAt(fd, "album"), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/share/album"));
    EXPECT_EQ(KAVOPathRemoveAt(fd, "out"), 0);  // the link, not what it points to
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/share/out"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/secret/file"), "outside");
    EXPECT_EQ(KAVOPathRemoveAt(fd, "missing"), 0);
    EXPECT_EQ(KAVOPathRemoveAt(fd, ".."), -1);
    EXPECT_EQ(KAVOPathRemoveAt(fd, "a/b"), -1);

    // A mount inside the tree is neither entered nor removed.
    root.writeFile("/volume1/share/m/keep.jpg", "k");
    root.makeDir("/volume1/share/m/mnt");
    root.mountTmpfs("/volume1/share/m/mnt");
    root.writeFile("/volume1/share/m/mnt/other.jpg", "o");
    EXPECT_EQ(KAVOPathRemoveAt(fd, "m"), -1);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/share/m/mnt/other.jpg"), "o");
    close(fd);
}
