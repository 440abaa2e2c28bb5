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

#include <string>
#include <vector>

static int fail(const char *what, const char *path) {
    fprintf(stderr, "confine: %s %s: %s\n", what, path, strerror(errno));
    return 125;
}

// The mount points of this namespace, in the order they were mounted (octal escapes undone).
static std::vector<std::string> mountPoints() {
    std::vector<std::string> out;
    FILE *fp = fopen("/proc/self/mountinfo", "re");
    char line[8192];

    if (fp == nullptr) {
        return out;
    }
    while (fgets(line, sizeof line, fp) != nullptr) {
        char raw[4096];
        std::string point;
        if (sscanf(line, "%*s %*s %*s %*s %4095s", raw) != 1) {
            continue;
        }
        for (const char *p = raw; *p != '\0'; ++p) {
            if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] != '\0' && p[3] != '\0') {
                point += (char)((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
                p += 3;
            } else {
                point += *p;
            }
        }
        out.push_back(point);
    }
    fclose(fp);
    return out;
}

static bool beneath(const std::string &path, const char *dir) {
    size_t len = strlen(dir);
    return path.compare(0, len, dir) == 0 && (path.size() == len || path[len] == '/');
}

// Makes every mount read-only but those at or beneath the writable folders. 0 or -1.
static int remountEach(char **writable, int count) {
    for (const std::string &point : mountPoints()) {
        bool keep = false;
        for (int i = 0; i < count; ++i) {
            keep = keep || beneath(point, writable[i]);
        }
        unsigned long flags = MS_REMOUNT | MS_BIND | (keep ? 0 : MS_RDONLY);
        if (mount(nullptr, point.c_str(), nullptr, flags, nullptr) != 0 && point == "/") {
            return -1;
        }
    }
    return 0;
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
    if (mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &ro, sizeof ro) == 0) {
        struct mount_attr rw = {};
        rw.attr_clr = MOUNT_ATTR_RDONLY;
        for (int i = 1; i < sep; ++i) {
            if (mount_setattr(AT_FDCWD, argv[i], AT_RECURSIVE, &rw, sizeof rw) != 0) {
                return fail("writable", argv[i]);
            }
        }
    } else if (errno != ENOSYS) {
        return fail("read-only", "/");
    } else if (remountEach(argv + 1, sep - 1) != 0) {
        // An emulator without mount_setattr: every mount remounted one by one.
        return fail("read-only", "/");
    }
    execv(argv[sep + 1], argv + sep + 1);
    return fail("exec", argv[sep + 1]);
}
