// Runs a command with the whole file system read-only but for the folders named, so that any
// write elsewhere fails and the command with it:
//   confine FOLDER... -- COMMAND ARG...
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

static int fail(const char *what, const char *path) {
    fprintf(stderr, "confine: %s %s: %s\n", what, path, strerror(errno));
    return 125;
}

int main(int argc, char **argv) {
    int sep = 1;
    while (sep < argc && strcmp(argv[sep], "--") != 0) {
        ++sep;
    }
    if (sep + 1 >= argc) {
        fprintf(stderr, "usage: confine FOLDER... -- COMMAND ARG...\n");
        return 125;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        return fail("unshare", "");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("making private", "/");
    }
    // Each writable folder becomes a mount of its own, so that it can stay writable.
    for (int i = 1; i < sep; ++i) {
        if (mount(argv[i], argv[i], nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return fail("bind", argv[i]);
        }
    }
    struct mount_attr ro = {};
    ro.attr_set = MOUNT_ATTR_RDONLY;
    if (mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &ro, sizeof ro) != 0) {
        return fail("read-only", "/");
    }
    struct mount_attr rw = {};
    rw.attr_clr = MOUNT_ATTR_RDONLY;
    for (int i = 1; i < sep; ++i) {
        if (mount_setattr(AT_FDCWD, argv[i], AT_RECURSIVE, &rw, sizeof rw) != 0) {
            return fail("writable", argv[i]);
        }
    }
    execv(argv[sep + 1], argv + sep + 1);
    return fail("exec", argv[sep + 1]);
}
