// Copying and moving files and folders, and making folders.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "harness.h"
#include "kavofileop.h"

using lumora::test::ApplianceRoot;

namespace {

KAVOCOPY_OPT options(int overwrite, int move, int ea, int keepTimes) {
    KAVOCOPY_OPT opt;
    memset(&opt, 0, sizeof(opt));
    opt.opt[KAVO_COPY_OVERWRITE] = overwrite;
    opt.opt[KAVO_COPY_REMOVE_SRC] = move;
    opt.opt[KAVO_COPY_WITH_EA] = ea;
    opt.opt[KAVO_COPY_KEEP_TIMES] = keepTimes;
    return opt;
}

struct stat statOf(const std::string &path) {
    struct stat st;
    memset(&st, 0, sizeof(st));
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

void setTimes(const std::string &path, time_t atime, time_t mtime) {
    struct timespec times[2] = {{atime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.insert(e->d_name);
        }
    }
    closedir(d);
    return names;
}

// A sparse file of size bytes holding marker texts at the given offsets.
void writeSparse(const std::string &path, off_t size,
                 const std::vector<std::pair<off_t, std::string>> &marks) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    for (const auto &m : marks) {
        ASSERT_EQ(pwrite(fd, m.second.data(), m.second.size(), m.first), (ssize_t)m.second.size());
    }
    close(fd);
}

std::string readAt(const std::string &path, off_t offset, size_t len) {
    std::string buf(len, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) {
        return "";
    }
    ssize_t n = pread(fd, &buf[0], len, offset);
    close(fd);
    buf.resize(n < 0 ? 0 : (size_t)n);
    return buf;
}

// A real ext4 file system (4 KiB blocks, 256-byte inodes) on a loop device, mounted at dir.
struct Ext4 {
    std::string dir, image, dev;
    Ext4(const std::string &at, int megabytes)
        : dir(at), image("/tmp/ext4." + std::to_string(getpid()) + ".img") {
        std::string cmd = "truncate -s " + std::to_string(megabytes) + "M " + image +
                          " && mkfs.ext4 -q -F -b 4096 -I 256 " + image + " >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0);
        FILE *p = popen(("losetup -f --show " + image).c_str(), "r");
        char buf[64] = "";
        if (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr) {
            dev = std::string(buf, strcspn(buf, "\n"));
        }
        if (p != nullptr) {
            pclose(p);
        }
        mkdir(at.c_str(), 0755);
        EXPECT_EQ(mount(dev.c_str(), at.c_str(), "ext4", 0, nullptr), 0) << dev;
    }
    ~Ext4() {
        umount2(dir.c_str(), MNT_DETACH);
        system(("losetup -d " + dev + " 2>/dev/null").c_str());
        unlink(image.c_str());
    }
};

std::string xattrOf(const std::string &path, const char *name) {
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof(buf));
    return n < 0 ? "<none>" : std::string(buf, (size_t)n);
}

// Every file below dir: relative path -> content.
void snapshot(const std::string &dir, const std::string &rel,
              std::map<std::string, std::string> *out) {
    for (const std::string &name : entries(dir + rel)) {
        std::string r = rel + "/" + name;
        struct stat st;
        if (lstat((dir + r).c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            snapshot(dir, r, out);
        } else {
            (*out)[r] = ApplianceRoot::readFile(dir + r);
        }
    }
}

void album(ApplianceRoot &root, const std::string &dir, int files, size_t size) {
    for (int i = 0; i < files; i++) {
        root.writeFile(dir + "/sub" + std::to_string(i % 4) + "/p" + std::to_string(i) + ".jpg",
                       std::string(size, (char)('a' + i % 26)) + std::to_string(i));
    }
}

}  // namespace

TEST(FileCopy, CopyKeepsContentModeOwnerAndLeavesNoTemporaries) {
    ApplianceRoot root;
    uid_t uid = root.addUser("fred");
    gid_t gid = root.addGroup("fredgrp");
    root.makeDir("/volume1/photo/a");
    root.makeDir("/volume1/photo/b");
    root.writeFile("/volume1/photo/a/x.jpg", "jpeg bytes", 0640, uid, gid);
    setTimes("/volume1/photo/a/x.jpg", 1000000000, 1000000000);

    KAVOCOPY_OPT opt = options(0, 0, 0, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a/x.jpg", "/volume1/photo/b/x.jpg", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/b/x.jpg"), "jpeg bytes");
    struct stat st = statOf("/volume1/photo/b/x.jpg");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a/x.jpg"), "jpeg bytes");
    EXPECT_EQ(entries("/volume1/photo/b"), (std::set<std::string>{"x.jpg"}));

    // Without word 14 the copy is new.
    opt = options(0, 0, 0, 0);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a/x.jpg", "/volume1/photo/b/y.jpg", &opt), 0);
    EXPECT_NE(statOf("/volume1/photo/b/y.jpg").st_mtime, 1000000000);
}

TEST(FileCopy, OverwriteOffRefusesAndOnReplaces) {
    ApplianceRoot root;
    root.writeFile("/volume1/photo/src.jpg", "new");
    root.writeFile("/volume1/photo/dst.jpg", "old");

    KAVOCOPY_OPT opt = options(0, 0, 0, 0);
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/dst.jpg", &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXISTS);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/dst.jpg"), "old");

    opt = options(0, 1, 0, 0);  // a move does not replace either
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/dst.jpg", &opt), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/dst.jpg"), "old");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/src.jpg"), "new");

    opt = options(1, 0, 0, 0);
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/dst.jpg", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/dst.jpg"), "new");

    // A folder is never replaced by a file.
    root.makeDir("/volume1/photo/folder");
    root.writeFile("/volume1/photo/folder/inner", "i");
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/folder", &opt), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/folder/inner"), "i");

    // Nor is a file copied or moved onto itself.
    opt = options(1, 1, 0, 0);
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/src.jpg", &opt), -1);
    ASSERT_EQ(link("/volume1/photo/src.jpg", "/volume1/photo/hard.jpg"), 0);
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/src.jpg", "/volume1/photo/hard.jpg", &opt), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/src.jpg"), "new");
}

TEST(FileCopy, OwnerFromOptions) {
    ApplianceRoot root;
    uid_t uid = root.addUser("gina");
    gid_t gid = root.addGroup("ginagrp");
    root.writeFile("/volume1/src.png", "png", 0600);
    root.makeDir("/volume1/store/gina");

    KAVOCOPY_OPT opt = options(1, 0, 0, 1);
    opt.opt[KAVO_COPY_SET_OWNER] = 1;
    opt.opt[KAVO_COPY_UID] = (int32_t)uid;
    opt.opt[KAVO_COPY_GID] = (int32_t)gid;
    ASSERT_EQ(KAVOCopyFileI("/volume1/src.png", "/volume1/store/gina/w.png", &opt, -1, 0), 0);
    struct stat st = statOf("/volume1/store/gina/w.png");
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/store/gina/w.png"), "png");

    // Replacing an existing copy takes the owner too.
    root.writeFile("/volume1/src.png", "png2", 0644);
    ASSERT_EQ(KAVOCopyFileI("/volume1/src.png", "/volume1/store/gina/w.png", &opt, -1, 0), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/store/gina/w.png"), "png2");
    EXPECT_EQ(statOf("/volume1/store/gina/w.png").st_uid, uid);

    EXPECT_EQ(KAVOCopyFileI("/volume1/src.png", "/volume1/store/gina/v.png", &opt, 3, 0), -1);
    EXPECT_EQ(KAVOCopyFileI("/volume1/src.png", "/volume1/store/gina/v.png", &opt, -1, 1), -1);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/store/gina/v.png"));
    // A missing folder of the destination is an error, not created on the way.
    EXPECT_EQ(KAVOCopyFileI("/volume1/src.png", "/volume1/store/none/v.png", &opt, -1, 0), -1);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/store/none"));
}

TEST(FileCopy, MoveWithinAndAcrossFileSystemsCarriesEA) {
    ApplianceRoot root;
    uid_t uid = root.addUser("hank");
    root.mountTmpfs("/volume2");
    root.makeDir("/volume2/dst");
    root.writeFile("/volume1/photo/a.jpg", "A", 0604, uid, 0);
    root.writeFile("/volume1/photo/@eaDir/a.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "thumb");
    setTimes("/volume1/photo/a.jpg", 1100000000, 1200000000);
    ino_t ino = statOf("/volume1/photo/a.jpg").st_ino;

    // Same file system: a rename.
    KAVOCOPY_OPT opt = options(1, 1, 1, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a.jpg", "/volume1/photo/b.jpg", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/a.jpg"));
    EXPECT_EQ(statOf("/volume1/photo/b.jpg").st_ino, ino);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/@eaDir/a.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/@eaDir/b.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg"),
              "thumb");

    // Across file systems: copied, then removed.
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/b.jpg", "/volume2/dst/c.jpg", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/b.jpg"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/@eaDir/b.jpg"));
    struct stat st = statOf("/volume2/dst/c.jpg");  // before reading it moves the atime
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_mtime, 1200000000);
    EXPECT_EQ(st.st_atime, 1100000000);
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/dst/c.jpg"), "A");
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/dst/@eaDir/c.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg"),
              "thumb");
    EXPECT_EQ(entries("/volume2/dst"), (std::set<std::string>{"c.jpg", "@eaDir"}));

    // Without word 3 the EA data stays where it is; stale EA data at the target goes when
    // word 3 is set and the source has none.
    root.writeFile("/volume2/dst/@eaDir/d.jpg/OLD", "stale");
    root.writeFile("/volume1/photo/d.jpg", "D");
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/d.jpg", "/volume2/dst/d.jpg", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume2/dst/@eaDir/d.jpg"));
    root.writeFile("/volume1/photo/e.jpg", "E");
    root.writeFile("/volume1/photo/@eaDir/e.jpg/T", "t");
    opt = options(0, 1, 0, 0);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/e.jpg", "/volume1/photo/f.jpg", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/@eaDir/e.jpg/T"), "t");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/@eaDir/f.jpg"));
}

TEST(FileCopy, CopyWithEAKeepsTheSource) {
    ApplianceRoot root;
    root.writeFile("/volume1/photo/a/p.jpg", "P");
    root.writeFile("/volume1/photo/a/@eaDir/p.jpg/T1", "1");
    root.writeFile("/volume1/photo/a/@eaDir/p.jpg/sub/T2", "2");
    root.makeDir("/volume1/photo/b");

    KAVOCOPY_OPT opt = options(0, 0, 1, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/photo/a/p.jpg", "/volume1/photo/b/q.jpg", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/b/q.jpg"), "P");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/b/@eaDir/q.jpg/T1"), "1");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/b/@eaDir/q.jpg/sub/T2"), "2");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a/p.jpg"), "P");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a/@eaDir/p.jpg/T1"), "1");
}

TEST(FileCopy, FilesBeyondTwoGiB) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    const off_t size = (off_t)3 * 1024 * 1024 * 1024 + 12345;
    const off_t mid = (off_t)2 * 1024 * 1024 * 1024 + 4096 * 3 + 7;
    writeSparse("/volume1/big.mov", size, {{0, "HEAD"}, {mid, "MIDDLE"}, {size - 4, "TAIL"}});

    KAVOCOPY_OPT opt = options(0, 0, 0, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/big.mov", "/volume1/copy.mov", &opt), 0);
    EXPECT_EQ(statOf("/volume1/copy.mov").st_size, size);
    EXPECT_EQ(readAt("/volume1/copy.mov", 0, 4), "HEAD");
    EXPECT_EQ(readAt("/volume1/copy.mov", mid, 6), "MIDDLE");
    EXPECT_EQ(readAt("/volume1/copy.mov", mid - 2, 2), std::string(2, '\0'));
    EXPECT_EQ(readAt("/volume1/copy.mov", size - 4, 10), "TAIL");

    opt = options(0, 1, 0, 1);
    ASSERT_EQ(KAVOFileCopy("/volume1/copy.mov", "/volume2/moved.mov", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/copy.mov"));
    EXPECT_EQ(statOf("/volume2/moved.mov").st_size, size);
    EXPECT_EQ(readAt("/volume2/moved.mov", mid, 6), "MIDDLE");
    EXPECT_EQ(readAt("/volume2/moved.mov", size - 4, 4), "TAIL");
}

TEST(FolderCopy, CopyAndMoveTrees) {
    ApplianceRoot root;
    uid_t uid = root.addUser("ivy");
    root.mountTmpfs("/volume2");
    root.makeDir("/volume1/photo/album", 0750, uid, 0);
    root.writeFile("/volume1/photo/album/1.jpg", "one", 0644, uid, 0);
    root.writeFile("/volume1/photo/album/sub/2.jpg", "two");
    root.writeFile("/volume1/photo/album/@eaDir/1.jpg/T", "t1");
    root.writeFile("/volume1/photo/@eaDir/album/FOLDER_T", "ft");
    ASSERT_EQ(symlink("1.jpg", "/volume1/photo/album/link.jpg"), 0);
    setTimes("/volume1/photo/album/sub", 1300000000, 1300000000);

    // A copy without EA data leaves every "@eaDir" out.
    KAVOCOPY_OPT opt = options(0, 0, 0, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/plain", &opt), 0);
    EXPECT_EQ(entries("/volume1/photo/plain"), (std::set<std::string>{"1.jpg", "sub", "link.jpg"}));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/@eaDir/plain"));
    struct stat st = statOf("/volume1/photo/plain");
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(statOf("/volume1/photo/plain/sub").st_mtime, 1300000000);
    char target[64] = {0};
    ASSERT_GT(readlink("/volume1/photo/plain/link.jpg", target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "1.jpg");

    // Across file systems with EA data, as the index tool moves folders.
    opt = options(1, 1, 1, 1);
    ASSERT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume2/album", &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album"));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/@eaDir/album"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/album/1.jpg"), "one");
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/album/sub/2.jpg"), "two");
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/album/@eaDir/1.jpg/T"), "t1");
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/@eaDir/album/FOLDER_T"), "ft");
    EXPECT_EQ(statOf("/volume2/album").st_mode & 07777, 0750u);
    EXPECT_EQ(statOf("/volume2/album/sub").st_mtime, 1300000000);

    // Within one file system, owner from the options for the whole tree.
    uid_t other = root.addUser("jack");
    opt = options(0, 1, 1, 1);
    opt.opt[KAVO_COPY_SET_OWNER] = 1;
    opt.opt[KAVO_COPY_UID] = (int32_t)other;
    opt.opt[KAVO_COPY_GID] = 0;
    ino_t ino = statOf("/volume2/album").st_ino;
    ASSERT_EQ(KAVOFileCopyDirectory("/volume2/album", "/volume2/renamed", &opt), 0);
    EXPECT_EQ(statOf("/volume2/renamed").st_ino, ino);
    EXPECT_EQ(statOf("/volume2/renamed").st_uid, other);
    EXPECT_EQ(statOf("/volume2/renamed/sub/2.jpg").st_uid, other);
    EXPECT_EQ(ApplianceRoot::readFile("/volume2/@eaDir/renamed/FOLDER_T"), "ft");
}

TEST(FolderCopy, RefusesIntoItselfAndOverExisting) {
    ApplianceRoot root;
    root.writeFile("/volume1/photo/album/1.jpg", "one");
    root.writeFile("/volume1/photo/other/9.jpg", "nine");

    KAVOCOPY_OPT opt = options(1, 0, 1, 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/album/sub", &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album/sub"));
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/album", &opt), -1);
    ASSERT_EQ(symlink("/volume1/photo/album", "/volume1/photo/alias"), 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/alias/x/", &opt), -1);
    opt = options(1, 1, 1, 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/album/sub", &opt), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/album/1.jpg"), "one");
    EXPECT_EQ(entries("/volume1/photo/album"), (std::set<std::string>{"1.jpg"}));

    // A sibling whose name begins the same is another folder.
    opt = options(0, 0, 0, 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/album2", &opt), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/album2/1.jpg"), "one");

    // Overwrite off: an existing folder is refused and left alone.
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/other", &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXISTS);
    EXPECT_EQ(entries("/volume1/photo/other"), (std::set<std::string>{"9.jpg"}));
    opt = options(0, 1, 0, 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/other", &opt), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/album/1.jpg"), "one");

    // Overwrite on: merged.
    opt = options(1, 1, 0, 0);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", "/volume1/photo/other", &opt), 0);
    EXPECT_EQ(entries("/volume1/photo/other"), (std::set<std::string>{"1.jpg", "9.jpg"}));
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album"));

    // A file is not a folder, and a folder is not a file.
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/other/1.jpg", "/volume1/photo/z", &opt), -1);
    EXPECT_EQ(KAVOFileCopy("/volume1/photo/other", "/volume1/photo/z", &opt), -1);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/z"));
}

TEST(FileCopy, BadArgumentsAreRefused) {
    ApplianceRoot root;
    root.writeFile("/volume1/a", "a");
    KAVOCOPY_OPT opt = options(1, 0, 0, 0);
    std::string longPath = "/volume1/" + std::string(4100, 'x');

    EXPECT_EQ(KAVOFileCopy(nullptr, "/volume1/b", &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOFileCopy("/volume1/a", "", &opt), -1);
    EXPECT_EQ(KAVOFileCopy("/volume1/a", "/volume1/b", nullptr), -1);
    EXPECT_EQ(KAVOFileCopy("/volume1/a", longPath.c_str(), &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOFileCopy("/volume1/missing", "/volume1/b", &opt), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(KAVOFileCopyDirectory(nullptr, "/volume1/b", &opt), -1);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1", nullptr, &opt), -1);
    EXPECT_EQ(KAVOCopyFileI(nullptr, "/volume1/b", &opt, -1, 0), -1);
    EXPECT_EQ(KAVOFSMkdirP(nullptr, 0, 0, -1, -1, -1), -1);
    EXPECT_EQ(KAVOFSMkdirP("", 0, 0, -1, -1, -1), -1);
    EXPECT_EQ(KAVOFSMkdirP(longPath.c_str(), 0, 0, -1, -1, -1), -1);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/b"));
}

TEST(MkdirP, MakesMissingParents) {
    ApplianceRoot root;
    uid_t uid = root.addUser("kim");
    mode_t old = umask(022);

    ASSERT_EQ(KAVOFSMkdirP("/volume1/w/x/y/", 0, 0, -1, -1, -1), 0);
    struct stat st = statOf("/volume1/w/x/y");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(KAVOFSMkdirP("/volume1/w/x/y", 0, 0, -1, -1, -1), 0);

    root.makeDir("/volume1/w/kept", 0700);
    ASSERT_EQ(KAVOFSMkdirP("/volume1/w/kept/new", 0, 0, (int)uid, (int)uid, 0770), 0);
    EXPECT_EQ(statOf("/volume1/w/kept").st_mode & 07777, 0700u);
    EXPECT_EQ(statOf("/volume1/w/kept").st_uid, 0u);
    st = statOf("/volume1/w/kept/new");
    EXPECT_EQ(st.st_mode & 07777, 0770u);
    EXPECT_EQ(st.st_uid, uid);
    umask(old);

    root.writeFile("/volume1/w/file", "f");
    EXPECT_EQ(KAVOFSMkdirP("/volume1/w/file/sub", 0, 0, -1, -1, -1), -1);
    EXPECT_EQ(KAVOFSMkdirP("/volume1/w/file", 0, 0, -1, -1, -1), -1);
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/w/file"), "f");
}

TEST(FolderMove, AcrossFileSystemsEveryAttributeArrivesOrNothingMoves) {
    ApplianceRoot root;
    uid_t uid = root.addUser("nina");
    root.mountTmpfs("/volume2");
    Ext4 ext4("/volume1/ext4", 32);
    const std::string acl = "kavoacl 1 inherit\nuser:1001:allow:rwxpdDaARWc--:fd--\n";
    for (const std::string dst : {"/volume2/album", "/volume1/ext4/album"}) {
        root.makeDir("/volume1/photo/album", 0750, uid, 0);
        root.writeFile("/volume1/photo/album/a.jpg", "A", 0640, uid, 0);
        root.writeFile("/volume1/photo/album/sub/b.jpg", "B");
        ASSERT_EQ(setxattr("/volume1/photo/album", "security.kavo.acl", acl.data(), acl.size(), 0),
                  0);
        ASSERT_EQ(setxattr("/volume1/photo/album/a.jpg", "trusted.t", "1", 1, 0), 0);
        ASSERT_EQ(setxattr("/volume1/photo/album/a.jpg", "user.u", "2", 1, 0), 0);
        setTimes("/volume1/photo/album/sub", 1300000000, 1300000000);

        KAVOCOPY_OPT opt = options(1, 1, 1, 1);
        ASSERT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", dst.c_str(), &opt), 0) << dst;
        EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/album"));
        struct stat st = statOf(dst);
        EXPECT_EQ(st.st_mode & 07777, 0750u);
        EXPECT_EQ(st.st_uid, uid);
        EXPECT_EQ(xattrOf(dst, "security.kavo.acl"), acl);
        EXPECT_EQ(xattrOf(dst + "/a.jpg", "trusted.t"), "1");
        EXPECT_EQ(xattrOf(dst + "/a.jpg", "user.u"), "2");
        EXPECT_EQ(statOf(dst + "/a.jpg").st_mode & 07777, 0640u);
        EXPECT_EQ(statOf(dst + "/sub").st_mtime, 1300000000);
        EXPECT_EQ(ApplianceRoot::readFile(dst + "/sub/b.jpg"), "B");
    }
    // Without word 3 the EA data inside the folder is not carried, nor does it hold the move.
    root.writeFile("/volume1/photo/plain/a.jpg", "A");
    root.writeFile("/volume1/photo/plain/@eaDir/a.jpg/T", "t");
    KAVOCOPY_OPT plain = options(1, 1, 0, 1);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/plain", "/volume2/plain", &plain), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/plain"));
    EXPECT_EQ(entries("/volume2/plain"), (std::set<std::string>{"a.jpg"}));

    // An attribute the destination cannot hold fails the move, and nothing is lost.
    root.writeFile("/volume1/photo/big/a.jpg", "A");
    std::string huge(6000, 'x');
    ASSERT_EQ(setxattr("/volume1/photo/big/a.jpg", "user.big", huge.data(), huge.size(), 0), 0);
    KAVOCOPY_OPT opt = options(1, 1, 1, 1);
    EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/big", "/volume1/ext4/big", &opt), -1);
    EXPECT_EQ(xattrOf("/volume1/photo/big/a.jpg", "user.big"), huge);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/ext4/big"));
}

TEST(FolderMove, FullDestinationLosesNothing) {
    ApplianceRoot root;
    root.makeDir("/volume2");
    ASSERT_EQ(mount("small", "/volume2", "tmpfs", 0, "size=1m"), 0);
    Ext4 ext4("/volume1/ext4", 8);
    album(root, "/volume1/photo/album", 40, 400 * 1024);
    std::map<std::string, std::string> before, after;
    snapshot("/volume1/photo/album", "", &before);
    for (const char *dst : {"/volume2/album", "/volume1/ext4/album"}) {
        KAVOCOPY_OPT opt = options(1, 1, 1, 1);
        EXPECT_EQ(KAVOFileCopyDirectory("/volume1/photo/album", dst, &opt), -1) << dst;
        EXPECT_FALSE(ApplianceRoot::exists(dst));
        after.clear();
        snapshot("/volume1/photo/album", "", &after);
        EXPECT_EQ(after, before) << dst;
    }
    umount2("/volume2", MNT_DETACH);
}

TEST(FolderMove, FilesArrivingDuringTheMoveAreKept) {
    ApplianceRoot root;
    root.mountTmpfs("/volume2");
    for (int run = 0; run < 3; run++) {
        const std::string dst = "/volume2/album" + std::to_string(run);
        album(root, "/volume1/photo/album", 300, 32 * 1024);
        std::atomic<bool> done(false);
        std::vector<std::string> arrived;
        std::thread writer([&] {
            for (int i = 0; !done; i++) {
                std::string tmp = "/volume1/new" + std::to_string(i);
                std::string name = "/new" + std::to_string(i) + ".jpg";
                FILE *f = fopen(tmp.c_str(), "w");
                if (f == nullptr) {
                    break;
                }
                fprintf(f, "arrived %d", i);
                fclose(f);
                if (rename(tmp.c_str(), ("/volume1/photo/album" + name).c_str()) == 0) {
                    arrived.push_back(name);
                }
                usleep(200);
            }
        });
        KAVOCOPY_OPT opt = options(1, 1, 1, 1);
        int r = KAVOFileCopyDirectory("/volume1/photo/album", dst.c_str(), &opt);
        done = true;
        writer.join();
        EXPECT_FALSE(arrived.empty());
        for (const std::string &name : arrived) {
            std::string want = "arrived " + name.substr(4, name.size() - 8);
            std::string a = ApplianceRoot::readFile("/volume1/photo/album" + name);
            std::string b = ApplianceRoot::readFile(dst + name);
            EXPECT_TRUE(a == want || b == want) << name << " lost, move result " << r;
        }
        std::map<std::string, std::string> moved;
        snapshot(dst, "", &moved);
        EXPECT_GE(moved.size(), 300u);
        EXPECT_EQ(system("rm -rf /volume1/photo/album"), 0);
    }
}
