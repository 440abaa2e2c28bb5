// Paths beneath a trusted root, reached without following a link an untrusted account placed.
//
// Every lookup first puts the relative path into a plain form: empty and "." components go,
// ".." takes the component before it away, and a ".." with nothing left to take is refused
// (EXDEV). With no link followed, that is the place the kernel would reach too, and both ways
// of walking (openat2 and the component walk) then see exactly the same components.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kavocore.h"

#define MAX_LINKS 40

static int forceWalk;
static int noOpenat2;  // the kernel has no openat2: stop asking

void KAVOPathForceWalk(int on) {
    forceWalk = on;
}

static int failWith(int err, int code) {
    VLIBCErrSet(code);
    errno = err;
    return -1;
}

// Splits rel into its plain components. 0, or -1 with errno (EXDEV when ".." climbs above
// the start, ENAMETOOLONG for an over-long path).
static int splitPlain(const char *rel, std::vector<std::string> *out) {
    const char *p = rel;

    if (strnlen(rel, KAVO_PATH_SIZE) >= KAVO_PATH_SIZE) {
        errno = ENAMETOOLONG;
        return -1;
    }
    while (*p != '\0') {
        const char *end = strchr(p, '/');
        size_t len = end ? (size_t)(end - p) : strlen(p);

        if (len == 0 || (len == 1 && p[0] == '.')) {
            // nothing to keep
        } else if (len == 2 && p[0] == '.' && p[1] == '.') {
            if (out->empty()) {
                errno = EXDEV;
                return -1;
            }
            out->pop_back();
        } else {
            out->emplace_back(p, len);
        }
        p += len;
        if (*p == '/') {
            p++;
        }
    }
    return 0;
}

static std::string joinPlain(const std::vector<std::string> &parts, size_t count) {
    std::string s;

    for (size_t i = 0; i < count; i++) {
        if (i > 0) {
            s += '/';
        }
        s += parts[i];
    }
    return s;
}

// An O_PATH or O_NOFOLLOW open of a link that slipped through answers with the link itself
// (or ENOTDIR under O_DIRECTORY); name the reason for what it is.
static int refuseIfLink(int dirFd, const char *name, int err) {
    struct stat st;

    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return ELOOP;
    }
    return err;
}

// O_PATH | O_NOFOLLOW opens a link itself instead of failing.
static int refuseLinkFd(int fd, int flags) {
    struct stat st;

    if ((flags & O_PATH) && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

// The component walk: every folder on the way opened with O_NOFOLLOW from the one before.
static int walkOpen(int rootFd, const std::vector<std::string> &parts, int flags, mode_t mode) {
    int cur = fcntl(rootFd, F_DUPFD_CLOEXEC, 3);
    int fd;

    if (cur < 0) {
        return -1;
    }
    if (parts.empty()) {
        // The root itself, opened anew with the caller's flags.
        fd = openat(cur, ".", (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC, mode);
        close(cur);
        return fd;
    }
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        int next = openat(cur, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);

        if (next < 0) {
            int err = errno == ENOTDIR ? refuseIfLink(cur, parts[i].c_str(), errno) : errno;
            close(cur);
            errno = err;
            return -1;
        }
        close(cur);
        cur = next;
    }
    const char *leaf = parts.back().c_str();
    fd = openat(cur, leaf, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        int err = errno == ENOTDIR ? refuseIfLink(cur, leaf, errno) : errno;
        close(cur);
        errno = err;
        return -1;
    }
    close(cur);
    return refuseLinkFd(fd, flags);
}

static int kernelOpen(int rootFd, const std::string &rel, int flags, mode_t mode) {
    struct open_how how;
    int fd;

    memset(&how, 0, sizeof(how));
    how.flags = (uint64_t)(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename raced the walk and the kernel could not vouch for it; ask again.
    for (int tries = 0; tries < 8; tries++) {
        fd = (int)syscall(SYS_openat2, rootFd, rel.empty() ? "." : rel.c_str(), &how, sizeof(how));
        if (fd >= 0 || errno != EAGAIN) {
            break;
        }
    }
    return fd;
}

static int openPlain(int rootFd, const std::vector<std::string> &parts, int flags, mode_t mode) {
    if (!forceWalk && !noOpenat2) {
        std::string rel = joinPlain(parts, parts.size());
        int fd;

        if (parts.empty()) {
            flags &= ~(O_CREAT | O_EXCL);
        }
        fd = kernelOpen(rootFd, rel, flags, mode);
        if (fd >= 0) {
            return refuseLinkFd(fd, flags);
        }
        if (errno != ENOSYS && errno != ENOTDIR) {
            return fd;
        }
        // ENOTDIR may be a link met under O_DIRECTORY: the walk names it for what it is.
        if (errno == ENOSYS) {
            noOpenat2 = 1;
        }
    }
    return walkOpen(rootFd, parts, flags, mode);
}

int KAVOPathOpenRoot(const char *root) {
    int fd;

    if (root == nullptr || root[0] != '/' || strnlen(root, KAVO_PATH_SIZE) >= KAVO_PATH_SIZE) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    return fd;
}

int KAVOPathOpenAt(int rootFd, const char *rel, int flags, mode_t mode) {
    std::vector<std::string> parts;
    int fd;

    if (rootFd < 0 || rel == nullptr || rel[0] == '/') {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    if (splitPlain(rel, &parts) != 0) {
        return failWith(errno, KAVO_ERR_BAD_PARAMETERS);
    }
    fd = openPlain(rootFd, parts, flags, mode);
    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    return fd;
}

// The part of path below root, by whole components; null when path does not lie beneath it.
static const char *relativeTo(const char *root, const char *path) {
    size_t len = strlen(root);

    while (len > 1 && root[len - 1] == '/') {
        len--;
    }
    if (len == 1) {
        return path[0] == '/' ? path + 1 : nullptr;
    }
    if (strncmp(root, path, len) != 0 || (path[len] != '\0' && path[len] != '/')) {
        return nullptr;
    }
    return path + len;
}

int KAVOPathIsBeneath(const char *path, const char *root) {
    return path != nullptr && root != nullptr && root[0] != '\0' &&
           relativeTo(root, path) != nullptr;
}

static int checkArgs(const char *root, const char *path) {
    if (root == nullptr || path == nullptr || root[0] != '/' || path[0] != '/' ||
        strnlen(root, KAVO_PATH_SIZE) >= KAVO_PATH_SIZE ||
        strnlen(path, KAVO_PATH_SIZE) >= KAVO_PATH_SIZE) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    return 0;
}

int KAVOPathOpenBeneath(const char *root, const char *path, int flags, mode_t mode) {
    const char *rel;
    int rootFd, fd, err;

    if (checkArgs(root, path) != 0) {
        return -1;
    }
    if ((rel = relativeTo(root, path)) == nullptr) {
        return failWith(EXDEV, KAVO_ERR_BAD_PARAMETERS);
    }
    while (*rel == '/') {
        rel++;
    }
    if ((rootFd = KAVOPathOpenRoot(root)) < 0) {
        return -1;
    }
    fd = KAVOPathOpenAt(rootFd, rel, flags, mode);
    err = errno;
    close(rootFd);
    errno = err;
    return fd;
}

int KAVOPathOpenParent(const char *root, const char *path, char *leaf, size_t leafSize) {
    std::vector<std::string> parts;
    const char *rel;
    int rootFd, fd, err;

    if (checkArgs(root, path) != 0 || leaf == nullptr || leafSize == 0) {
        return -1;
    }
    if ((rel = relativeTo(root, path)) == nullptr) {
        return failWith(EXDEV, KAVO_ERR_BAD_PARAMETERS);
    }
    if (splitPlain(rel, &parts) != 0) {
        return failWith(errno, KAVO_ERR_BAD_PARAMETERS);
    }
    if (parts.empty()) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    if (VLIBCStrCopy(leaf, leafSize, parts.back().c_str()) != 0) {
        return failWith(ENAMETOOLONG, KAVO_ERR_BAD_PARAMETERS);
    }
    parts.pop_back();
    if ((rootFd = KAVOPathOpenRoot(root)) < 0) {
        return -1;
    }
    fd = openPlain(rootFd, parts, O_RDONLY | O_DIRECTORY, 0);
    err = errno;
    close(rootFd);
    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    errno = err;
    return fd;
}

// The plain absolute form of root (which is trusted, so its own links are resolved).
static int rootReal(const char *root, std::string *out) {
    char buf[PATH_MAX];

    if (realpath(root, buf) == nullptr) {
        return -1;
    }
    *out = buf;
    return 0;
}

int KAVOPathResolveBeneath(const char *root, const char *path, int flags, mode_t mode,
                           char *resolved, size_t size) {
    std::vector<std::string> done, pending;
    std::string realRoot;
    const char *rel;
    int rootFd = -1, fd = -1, links = 0, err = 0;

    if (checkArgs(root, path) != 0) {
        return -1;
    }
    if ((rel = relativeTo(root, path)) == nullptr) {
        return failWith(EXDEV, KAVO_ERR_BAD_PARAMETERS);
    }
    if (rootReal(root, &realRoot) != 0 || (rootFd = KAVOPathOpenRoot(realRoot.c_str())) < 0) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    // Pending components are taken from the front; keep them reversed so that takes pop_back.
    if (splitPlain(rel, &pending) != 0) {
        err = errno;
        goto out;
    }
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        std::string comp = pending.back();
        std::vector<std::string> target;
        char link[KAVO_PATH_SIZE];
        struct stat st;
        ssize_t n;
        int dirFd;

        pending.pop_back();
        if (comp == "..") {
            if (done.empty()) {
                err = EXDEV;
                goto out;
            }
            done.pop_back();
            continue;
        }
        dirFd = openPlain(rootFd, done, O_PATH | O_DIRECTORY, 0);
        if (dirFd < 0) {
            err = errno;
            goto out;
        }
        if (fstatat(dirFd, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
            // Not a link (or not there yet: the final open decides).
            close(dirFd);
            done.push_back(comp);
            continue;
        }
        n = readlinkat(dirFd, comp.c_str(), link, sizeof(link) - 1);
        close(dirFd);
        if (n < 0 || ++links > MAX_LINKS) {
            err = n < 0 ? errno : ELOOP;
            goto out;
        }
        link[n] = '\0';
        if (link[0] == '/') {
            const char *inside = relativeTo(realRoot.c_str(), link);

            if (inside == nullptr) {
                err = EXDEV;
                goto out;
            }
            done.clear();
            // Split the link's own text without plain-forming it: its ".." apply in order.
            if (VLIBCStrCopy(link, sizeof(link), inside) != 0) {
                err = ENAMETOOLONG;
                goto out;
            }
        }
        for (const char *p = link; *p != '\0';) {
            const char *end = strchr(p, '/');
            size_t len = end ? (size_t)(end - p) : strlen(p);

            if (len > 0 && !(len == 1 && p[0] == '.')) {
                target.emplace_back(p, len);
            }
            p += len;
            if (*p == '/') {
                p++;
            }
        }
        for (auto it = target.rbegin(); it != target.rend(); ++it) {
            pending.push_back(*it);
        }
    }
    fd = openPlain(rootFd, done, flags, mode);
    if (fd < 0) {
        err = errno;
        goto out;
    }
    if (resolved != nullptr) {
        std::string full = realRoot;

        for (const std::string &c : done) {
            if (full.size() > 1) {
                full += '/';
            }
            full += c;
        }
        if (VLIBCStrCopy(resolved, size, full.c_str()) != 0) {
            close(fd);
            fd = -1;
            err = ENAMETOOLONG;
        }
    }
out:
    close(rootFd);
    if (fd < 0) {
        return failWith(err, KAVO_ERR_SYSTEM);
    }
    return fd;
}

int KAVOPathOfFd(int fd, char *buf, size_t size) {
    char proc[64];
    ssize_t n;

    if (fd < 0 || buf == nullptr || size == 0) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    (void)snprintf(proc, sizeof(proc), "/proc/self/fd/%d", fd);  // always fits
    n = readlink(proc, buf, size);
    if (n < 0) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    if ((size_t)n >= size) {
        buf[size - 1] = '\0';
        return failWith(ENAMETOOLONG, KAVO_ERR_BAD_PARAMETERS);
    }
    buf[n] = '\0';
    return 0;
}

int KAVOFileOpenRegular(int dirFd, const char *name, int flags, mode_t mode) {
    struct stat st;
    int fd, err;

    if (name == nullptr || name[0] == '\0') {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    fd = openat(dirFd, name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    if (fstat(fd, &st) != 0) {
        err = errno;
        close(fd);
        return failWith(err, KAVO_ERR_SYSTEM);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    if (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        err = errno;
        close(fd);
        return failWith(err, KAVO_ERR_SYSTEM);
    }
    return fd;
}

// Empties the open folder fd (on device dev) and closes it. 0 or -1 with errno set.
static int removeContents(int fd, dev_t dev) {
    DIR *dir = fdopendir(fd);
    struct dirent *ent;
    int ret = 0, err = 0;

    if (dir == nullptr) {
        err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    for (;;) {
        errno = 0;
        if ((ent = readdir(dir)) == nullptr) {
            if (errno != 0) {
                err = errno;
                ret = -1;
            }
            break;
        }
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) {
            continue;
        }
        if (ent->d_type != DT_DIR && ent->d_type != DT_UNKNOWN) {
            if (unlinkat(dirfd(dir), ent->d_name, 0) == 0 || errno == ENOENT) {
                continue;
            }
            if (errno != EISDIR) {
                err = errno;
                ret = -1;
                break;
            }
        }
        int child = openat(dirfd(dir), ent->d_name,
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (child < 0) {
            // Not a folder (any more): a file or a link put there meanwhile goes as it is.
            if ((errno == ENOTDIR || errno == ELOOP) && unlinkat(dirfd(dir), ent->d_name, 0) == 0) {
                continue;
            }
            if (errno == ENOENT) {
                continue;
            }
            err = errno;
            ret = -1;
            break;
        }
        if (fstat(child, &st) != 0) {
            st.st_dev = dev;
            err = errno;
            close(child);
            ret = -1;
            break;
        }
        if (st.st_dev != dev) {
            err = EXDEV;  // a mount inside: neither entered nor removed
            close(child);
            ret = -1;
            break;
        }
        if (removeContents(child, dev) != 0 ||
            (unlinkat(dirfd(dir), ent->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT)) {
            err = errno;
            ret = -1;
            break;
        }
    }
    closedir(dir);
    errno = err;
    return ret;
}

int KAVOPathRemoveAt(int dirFd, const char *name) {
    struct stat st;
    int fd;

    if (dirFd < 0 && dirFd != AT_FDCWD) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr ||
        strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return failWith(EINVAL, KAVO_ERR_BAD_PARAMETERS);
    }
    if (unlinkat(dirFd, name, 0) == 0 || errno == ENOENT) {
        return 0;
    }
    if (errno != EISDIR && errno != EPERM) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT ? 0 : failWith(errno, KAVO_ERR_SYSTEM);
    }
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return failWith(err, KAVO_ERR_SYSTEM);
    }
    if (removeContents(fd, st.st_dev) != 0) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    if (unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return failWith(errno, KAVO_ERR_SYSTEM);
    }
    return 0;
}

int KAVOPathSplit(const char *path, size_t *dirLen, const char **base, size_t *baseLen) {
    size_t len = strlen(path);
    size_t start;

    while (len > 1 && path[len - 1] == '/') {
        len--;
    }
    start = len;
    while (start > 0 && path[start - 1] != '/') {
        start--;
    }
    *dirLen = start;
    *base = path + start;
    *baseLen = len - start;
    if (*baseLen == 0 || (*baseLen == 1 && (*base)[0] == '.') ||
        (*baseLen == 2 && (*base)[0] == '.' && (*base)[1] == '.')) {
        return -1;
    }
    return 0;
}
