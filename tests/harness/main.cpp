// Entry point of every test binary: one private mount namespace for the whole run, so that
// nothing a test mounts or writes under the appliance paths reaches the host, and a root of its
// own in it, so that the appliance's top-level folders (/volume1, ...) need not exist on the
// host: a tmpfs holding every entry of the host's root (folders and files bound in, links
// copied), entered with chroot.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Where the new root is put together: an existing folder that no test mounts on, covered only
// in this namespace. The host's own folder there is bound back in through a descriptor opened
// before.
const char *const kNewRoot = "/mnt";

int fail(const std::string &what) {
    fprintf(stderr, "making the private root: %s: %s\n", what.c_str(), strerror(errno));
    return -1;
}

int enterPrivateRoot() {
    int coveredFd = open(kNewRoot, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (coveredFd < 0) {
        return fail(std::string("open ") + kNewRoot);
    }
    const std::string covered = "/proc/self/fd/" + std::to_string(coveredFd);
    DIR *dir = opendir("/");
    if (dir == nullptr) {
        close(coveredFd);
        return fail("opendir /");
    }
    if (mount("lumora-root", kNewRoot, "tmpfs", 0, "mode=0755") != 0) {
        closedir(dir);
        close(coveredFd);
        return fail(std::string("mount tmpfs on ") + kNewRoot);
    }
    int rc = 0;
    struct dirent *e;
    while (rc == 0 && (e = readdir(dir)) != nullptr) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const bool isCovered = "/" + name == kNewRoot;
        const std::string host = isCovered ? covered : "/" + name;
        const std::string mine = std::string(kNewRoot) + "/" + name;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0) {
            continue;  // gone meanwhile
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(host.c_str(), target, sizeof target - 1);
            if (n < 0) {
                rc = fail("readlink " + host);
                break;
            }
            target[n] = '\0';
            if (symlink(target, mine.c_str()) != 0) {
                rc = fail("symlink " + mine);
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (mkdir(mine.c_str(), 0755) != 0) {
                rc = fail("mkdir " + mine);
                break;
            }
        } else if (S_ISREG(st.st_mode)) {
            int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                rc = fail("create " + mine);
                break;
            }
            close(fd);
        } else {
            continue;
        }
        // The covered folder alone: its sub-mounts would include the new root itself.
        unsigned long flags = MS_BIND | (isCovered ? 0 : MS_REC);
        if (mount(host.c_str(), mine.c_str(), nullptr, flags, nullptr) != 0) {
            rc = fail("bind " + host);
        }
    }
    closedir(dir);
    close(coveredFd);
    if (rc != 0) {
        return rc;
    }
    if (chdir(kNewRoot) != 0 || chroot(".") != 0 || chdir("/") != 0) {
        return fail("chroot");
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (geteuid() != 0) {
        fprintf(stderr, "the tests build a private appliance root and must run as root\n");
        return 1;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        fprintf(stderr, "unshare(CLONE_NEWNS): %s\n", strerror(errno));
        return 1;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "making / private: %s\n", strerror(errno));
        return 1;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        fprintf(stderr, "getcwd: %s\n", strerror(errno));
        return 1;
    }
    if (enterPrivateRoot() != 0) {
        return 1;
    }
    // The same working folder as before, wherever it lies (ctest runs tests from the build).
    if (chdir(cwd) != 0) {
        fprintf(stderr, "chdir %s: %s\n", cwd, strerror(errno));
        return 1;
    }
    return RUN_ALL_TESTS();
}
