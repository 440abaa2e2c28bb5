// libkavofileop: copying and moving files and folder trees, and making folders.
//
// Everything is done by descriptors: the folders that hold source and destination are opened
// once (the path calls open them as named; the *At calls take them already opened, beneath a
// trusted root), and every item below is reached with *at calls that never follow a link and
// never leave the source's file system. Nothing is looked up by name twice.
//
// A file copy is written unnamed (O_TMPFILE, or a hidden ".kavocopy.XXXXXX" name where the file
// system has none) beside the destination, given its owner, extended attributes, mode and
// times, flushed, and only then linked into place, so the destination is never seen
// half-written. Folders get their owner, extended attributes and mode when they are made, so a
// copy that is stopped leaves them as the source has them; their times follow at the end.
//
// A move within one file system is a rename. Otherwise (or into an existing folder) it is a
// copy in rounds: everything is copied and flushed (files and folders), then only what was
// copied and has not changed since is removed from the source. Whatever changed or arrived in
// the source meanwhile stays there and is copied in the next round; after the last round the
// move fails and the changed items stay in the source. A move that is killed leaves every item
// whole in at least one place, and running it again finishes it.
//
// The EA data of an item (its folder's "@eaDir/<name>") is carried along when asked. It is
// derived data: once the item itself has been copied or moved, a failure to carry its EA data
// is logged and leaves the result alone, and stale EA data at the destination is removed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#include "kavofileop.h"
#include "kavosdk.h"

#define SZ_SOURCE "kavofileop"
#define FILEOP_TMP_PREFIX ".kavocopy."
#define FILEOP_TMP_RANDOM 6
#define FILEOP_IO_BUF (1024 * 1024)
#define FILEOP_RANGE_CHUNK ((size_t)1 << 30)
#define FILEOP_XATTR_LIST (64 * 1024)
#define FILEOP_XATTR_VALUE (64 * 1024)
// Copies of one file while it keeps changing, and rounds of a move while its source does.
#define FILEOP_COPY_TRIES 3
#define FILEOP_MOVE_ROUNDS 3
#define DIR_FLAGS (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)

static int optOn(const KAVOCOPY_OPT *opt, int word) {
    return opt->opt[word] != 0;
}

static int validPath(const char *path) {
    return path != nullptr && path[0] != '\0' && strlen(path) < KAVO_PATH_SIZE;
}

static int validName(const char *name) {
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strlen(name) <= NAME_MAX;
}

static int sameFile(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

static int sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The same item, unchanged: any write, owner, mode or attribute change moves its ctime.
static int unchanged(const struct stat *a, const struct stat *b) {
    return sameFile(a, b) && a->st_size == b->st_size && sameTime(a->st_mtim, b->st_mtim) &&
           sameTime(a->st_ctim, b->st_ctim);
}

// What one copy is asked for, and what it must not do.
struct CopyRun {
    const KAVOCOPY_OPT *opt;
    int overwrite;
    int isRoot;
    dev_t srcDev;  // the source's file system: the walk never leaves it
    dev_t topDev;  // the destination's top folder: never copied into itself
    ino_t topIno;
    int haveTop;
};

// Items copied, with their state at the end of their copy: what the removal may take.
struct Copied {
    struct stat st;
    std::map<std::string, Copied> kids;
};

// ---- File contents ---------------------------------------------------------------------------

// Copies the bytes [from, to) of in to the same offsets of out. *reached is where the copy
// stopped (before to when the source ended early). 0 or -1 with errno set.
static int copyRange(int in, int out, off_t from, off_t to, off_t *reached) {
    loff_t inOff = from;
    loff_t outOff = from;
    char *buf = nullptr;

    while (inOff < to) {
        size_t want =
            to - inOff < (off_t)FILEOP_RANGE_CHUNK ? (size_t)(to - inOff) : FILEOP_RANGE_CHUNK;
        ssize_t n = copy_file_range(in, &inOff, out, &outOff, want, 0);
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EIO || errno == ENOSPC || errno == EDQUOT || errno == ENOMEM) {
            return -1;
        }
        // Not offered between these two files: plain reads and writes, from outOff on.
        if (lseek(out, outOff, SEEK_SET) < 0) {
            return -1;
        }
        buf = (char *)malloc(FILEOP_IO_BUF);
        if (buf == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        while (inOff < to) {
            size_t chunk =
                to - inOff < (off_t)FILEOP_IO_BUF ? (size_t)(to - inOff) : (size_t)FILEOP_IO_BUF;
            ssize_t got = pread(in, buf, chunk, inOff);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                free(buf);
                return -1;
            }
            if (got == 0) {
                break;
            }
            if (KAVOFileWriteAll(out, buf, (size_t)got) < 0) {
                free(buf);
                return -1;
            }
            inOff += got;
            outOff += got;
        }
        free(buf);
        break;
    }
    *reached = inOff;
    return 0;
}

// Copies size bytes of in to out, data extents only, and sets the size of out. 0 or -1.
static int copyData(int in, int out, off_t size) {
    off_t off = 0;
    off_t end = size;

    while (off < end) {
        off_t data = lseek(in, off, SEEK_DATA);
        off_t hole;
        off_t reached = off;
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole is left
            }
            data = off;  // no extent map: everything is data
            hole = end;
        } else {
            if (data >= end) {
                break;
            }
            hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0 || hole > end) {
                hole = end;
            }
        }
        if (copyRange(in, out, data, hole, &reached) != 0) {
            return -1;
        }
        if (reached < hole) {
            end = reached;  // the source shrank while being copied
            break;
        }
        off = hole;
    }
    return ftruncate(out, end);
}

// ---- Owner, extended attributes, mode and times ---------------------------------------------

// Copies every extended attribute of in to out. An attribute that an unprivileged caller may
// not write (security., trusted.) is left out; any other failure fails the copy, so that an
// album never arrives without its ACL. 0 or -1 with errno set.
static int copyXattrs(int in, int out, int isRoot) {
    char *list = (char *)malloc(FILEOP_XATTR_LIST);
    char *value = (char *)malloc(FILEOP_XATTR_VALUE);
    ssize_t len, n;
    int ret = -1;

    if (list == nullptr || value == nullptr) {
        errno = ENOMEM;
        goto out;
    }
    len = flistxattr(in, list, FILEOP_XATTR_LIST);
    if (len < 0) {
        ret = errno == ENOTSUP ? 0 : -1;
        goto out;
    }
    for (char *name = list; name < list + len; name += strlen(name) + 1) {
        n = fgetxattr(in, name, value, FILEOP_XATTR_VALUE);
        if (n < 0) {
            if (errno == ENODATA) {
                continue;  // removed meanwhile
            }
            goto out;
        }
        if (fsetxattr(out, name, value, (size_t)n, 0) != 0) {
            if (!isRoot && (errno == EPERM || errno == EACCES)) {
                continue;
            }
            goto out;
        }
    }
    ret = 0;
out:
    free(list);
    free(value);
    return ret;
}

// Owner of the copy of an item owned by st: the options' owner when word 2 is set (then a
// failure counts), else the source's owner when permitted.
static int ownerFd(int fd, const struct stat *st, const KAVOCOPY_OPT *opt) {
    if (optOn(opt, KAVO_COPY_SET_OWNER)) {
        return fchown(fd, (uid_t)opt->opt[KAVO_COPY_UID], (gid_t)opt->opt[KAVO_COPY_GID]);
    }
    if (fchown(fd, st->st_uid, st->st_gid) != 0 && errno != EPERM) {
        return -1;
    }
    return 0;
}

// Owner, extended attributes and mode, in that order (a change of owner clears set-id bits).
static int applyMeta(int fd, int in, const struct stat *st, const CopyRun &run, mode_t mode) {
    if (ownerFd(fd, st, run.opt) != 0 || copyXattrs(in, fd, run.isRoot) != 0 ||
        fchmod(fd, mode) != 0) {
        return -1;
    }
    return 0;
}

static int applyTimes(int fd, const struct stat *st, const KAVOCOPY_OPT *opt) {
    struct timespec times[2] = {st->st_atim, st->st_mtim};

    if (!optOn(opt, KAVO_COPY_KEEP_TIMES)) {
        return 0;
    }
    return futimens(fd, times);
}

// ---- Placing a finished copy -------------------------------------------------------------------

// A fresh hidden temporary name.
static void tempName(char *buf, size_t size) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static unsigned int seed;
    char rnd[FILEOP_TMP_RANDOM + 1];

    if (seed == 0) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        seed = (unsigned int)(ts.tv_nsec ^ getpid());
    }
    for (int i = 0; i < FILEOP_TMP_RANDOM; i++) {
        rnd[i] = chars[rand_r(&seed) % (sizeof(chars) - 1)];
    }
    rnd[FILEOP_TMP_RANDOM] = '\0';
    (void)snprintf(buf, size, "%s%s", FILEOP_TMP_PREFIX, rnd);  // callers give room for it
}

// 1 when name is one of the hidden temporary names a copy uses.
static int isTempName(const char *name) {
    size_t len = strlen(FILEOP_TMP_PREFIX);

    return strncmp(name, FILEOP_TMP_PREFIX, len) == 0 && strlen(name) == len + FILEOP_TMP_RANDOM;
}

// Renames from to to within dir; without overwrite an existing to is never replaced.
static int placeName(int dir, const char *from, const char *to, int overwrite) {
    struct stat st;

    if (overwrite) {
        return renameat(dir, from, dir, to);
    }
    if (renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return -1;
    }
    // The file system has no exclusive rename.
    if (fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(dir, from, dir, to);
}

// Links the unnamed file fd into dir as name; with overwrite an existing name is replaced
// through a temporary name. 0 or -1.
static int linkUnnamed(int fd, int dir, const char *name, int overwrite) {
    char proc[64], tmp[32];

    (void)snprintf(proc, sizeof(proc), "/proc/self/fd/%d", fd);  // always fits
    if (linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno == ENOENT && linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) {
        return 0;  // no /proc: the privileged way
    }
    if (errno != EEXIST || !overwrite) {
        return -1;
    }
    for (int tries = 0; tries < 100; tries++) {
        tempName(tmp, sizeof(tmp));
        if (linkat(AT_FDCWD, proc, dir, tmp, AT_SYMLINK_FOLLOW) == 0) {
            if (renameat(dir, tmp, dir, name) == 0) {
                return 0;
            }
            int saved = errno;
            unlinkat(dir, tmp, 0);
            errno = saved;
            return -1;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

// ---- Copying one file or link
// --------------------------------------------------------------------

// Opens a new file for the copy in dir: unnamed where the file system allows it (*tmp ""),
// else under a fresh hidden name (in *tmp). fd or -1.
static int openCopy(int dir, char *tmp, size_t size) {
    int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);

    tmp[0] = '\0';
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return fd;
    }
    for (int tries = 0; tries < 100; tries++) {
        tempName(tmp, size);
        fd = openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Copies the regular file name of srcDir (found as st0) to dstName in dstDir. A file that
// changes while it is copied is copied again. *done receives the source's state that the copy
// holds. 0 or -1 with errno set.
static int copyFileAt(int srcDir, const char *name, const struct stat *st0, int dstDir,
                      const char *dstName, const CopyRun &run, struct stat *done) {
    struct stat before, after;
    char tmp[32];
    int in, out = -1, ret = -1;

    in = openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        return -1;
    }
    if (fstat(in, &before) != 0) {
        goto out;
    }
    if (!sameFile(&before, st0) || !S_ISREG(before.st_mode)) {
        errno = EAGAIN;  // replaced since it was looked at
        goto out;
    }
    for (int tries = 0;; tries++) {
        out = openCopy(dstDir, tmp, sizeof(tmp));
        if (out < 0) {
            goto out;
        }
        if (copyData(in, out, before.st_size) != 0 ||
            applyMeta(out, in, &before, run, before.st_mode & 07777) != 0 ||
            applyTimes(out, &before, run.opt) != 0 || fsync(out) != 0 || fstat(in, &after) != 0) {
            goto out;
        }
        if (unchanged(&before, &after)) {
            break;
        }
        // Written to while being copied: the copy may be torn.
        if (tmp[0] != '\0') {
            unlinkat(dstDir, tmp, 0);
        }
        close(out);
        out = -1;
        if (tries + 1 >= FILEOP_COPY_TRIES) {
            errno = EAGAIN;
            goto out;
        }
        before = after;
    }
    if (tmp[0] == '\0' ? linkUnnamed(out, dstDir, dstName, run.overwrite)
                       : placeName(dstDir, tmp, dstName, run.overwrite)) {
        goto out;
    }
    tmp[0] = '\0';
    *done = after;
    ret = 0;
out:
    if (out >= 0) {
        if (tmp[0] != '\0') {
            int saved = errno;
            unlinkat(dstDir, tmp, 0);
            errno = saved;
        }
        KAVOFileCloseKeep(out);
    }
    KAVOFileCloseKeep(in);
    return ret;
}

// Copies the symbolic link name of srcDir as a link (never what it points to).
static int copyLinkAt(int srcDir, const char *name, const struct stat *st, int dstDir,
                      const char *dstName, const CopyRun &run) {
    char target[KAVO_PATH_SIZE];
    char tmp[32];
    ssize_t n = readlinkat(srcDir, name, target, sizeof(target) - 1);
    int made = -1;

    if (n < 0) {
        return -1;
    }
    target[n] = '\0';
    for (int tries = 0; tries < 100 && made != 0; tries++) {
        tempName(tmp, sizeof(tmp));
        made = symlinkat(target, dstDir, tmp);
        if (made != 0 && errno != EEXIST) {
            return -1;
        }
    }
    if (made != 0) {
        return -1;
    }
    uid_t uid =
        optOn(run.opt, KAVO_COPY_SET_OWNER) ? (uid_t)run.opt->opt[KAVO_COPY_UID] : st->st_uid;
    gid_t gid =
        optOn(run.opt, KAVO_COPY_SET_OWNER) ? (gid_t)run.opt->opt[KAVO_COPY_GID] : st->st_gid;
    struct timespec times[2] = {st->st_atim, st->st_mtim};
    if ((fchownat(dstDir, tmp, uid, gid, AT_SYMLINK_NOFOLLOW) != 0 &&
         (errno != EPERM || optOn(run.opt, KAVO_COPY_SET_OWNER))) ||
        (optOn(run.opt, KAVO_COPY_KEEP_TIMES) &&
         utimensat(dstDir, tmp, times, AT_SYMLINK_NOFOLLOW) != 0) ||
        placeName(dstDir, tmp, dstName, run.overwrite) != 0) {
        int saved = errno;
        unlinkat(dstDir, tmp, 0);
        errno = saved;
        return -1;
    }
    return 0;
}

// ---- Copying a folder tree ---------------------------------------------------------------------

// Removes the hidden temporaries that an earlier, stopped copy left in dir.
static void removeStrays(int dir) {
    int fd = openat(dir, ".", DIR_FLAGS);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    struct dirent *ent;

    if (d == nullptr) {
        KAVOFileCloseKeep(fd);
        return;
    }
    while ((ent = readdir(d)) != nullptr) {
        if (isTempName(ent->d_name)) {
            KAVOPathRemoveAt(dirfd(d), ent->d_name);
        }
    }
    closedir(d);
}

static int copyTreeAt(int src, const struct stat *srcSt, int dstDir, const char *dstName,
                      const CopyRun &run, Copied *copied, int *created);

// Copies one entry of the open source folder src into the open destination folder dst.
static int copyEntry(int src, const char *name, int dst, const CopyRun &run, Copied *copied) {
    struct stat st;
    Copied &kid = copied->kids[name];
    int childCreated, child, ret;

    if (fstatat(src, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            copied->kids.erase(name);
            return 0;  // gone meanwhile: nothing to copy, nothing to remove
        }
        return -1;
    }
    if (st.st_dev != run.srcDev) {
        errno = EXDEV;  // a mount inside the source is neither copied nor removed
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        if (copyFileAt(src, name, &st, dst, name, run, &kid.st) == 0) {
            return 0;
        }
        if (errno == EAGAIN && optOn(run.opt, KAVO_COPY_REMOVE_SRC)) {
            copied->kids.erase(name);  // still changing: it stays for the next round
            return 0;
        }
        return -1;
    }
    kid.st = st;
    if (S_ISLNK(st.st_mode)) {
        return copyLinkAt(src, name, &st, dst, name, run);
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = EOPNOTSUPP;  // devices, pipes and sockets are not copied
        return -1;
    }
    if (run.haveTop && st.st_dev == run.topDev && st.st_ino == run.topIno) {
        copied->kids.erase(name);  // the destination itself, inside the source
        return 0;
    }
    child = openat(src, name, DIR_FLAGS);
    if (child < 0) {
        return -1;
    }
    ret = copyTreeAt(child, &st, dst, name, run, &kid, &childCreated);
    KAVOFileCloseKeep(child);
    return ret;
}

// Copies the open folder src (found as srcSt) to dstName in dstDir: into a new folder, or
// merged into an existing one when overwrite is set. *created tells whether it was made here.
// 0 or -1 with errno set.
static int copyTreeAt(int src, const struct stat *srcSt, int dstDir, const char *dstName,
                      const CopyRun &run, Copied *copied, int *created) {
    int move = optOn(run.opt, KAVO_COPY_REMOVE_SRC);
    int withEA = optOn(run.opt, KAVO_COPY_WITH_EA);
    mode_t mode = srcSt->st_mode & 07777;
    // An unprivileged caller fills the folder before a mode that would keep it out.
    mode_t fillMode = run.isRoot ? mode : (mode | S_IRWXU);
    struct stat st;
    struct dirent *ent;
    DIR *d = nullptr;
    int dst, fd, ret = -1;

    *created = 0;
    copied->st = *srcSt;
    if (mkdirat(dstDir, dstName, 0700) == 0) {
        *created = 1;
    } else if (errno != EEXIST) {
        return -1;
    }
    dst = openat(dstDir, dstName, DIR_FLAGS);
    if (dst < 0) {
        return -1;  // a file or a link in the way
    }
    if (!*created && !run.overwrite) {
        close(dst);
        errno = EEXIST;
        return -1;
    }
    // A new folder, and every folder a move arrives in, takes the source's owner, attributes
    // and mode at once, so a copy that is stopped never leaves it open or root's.
    int meta = *created || move || optOn(run.opt, KAVO_COPY_SET_OWNER);
    if (meta && applyMeta(dst, src, srcSt, run, fillMode) != 0) {
        goto out;
    }
    if (!*created) {
        removeStrays(dst);
    }
    fd = openat(src, ".", DIR_FLAGS);
    d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        KAVOFileCloseKeep(fd);
        goto out;
    }
    for (;;) {
        errno = 0;
        if ((ent = readdir(d)) == nullptr) {
            if (errno != 0) {
                goto out;
            }
            break;
        }
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0 ||
            isTempName(ent->d_name) || (!withEA && strcmp(ent->d_name, SZ_EA_DIR_NAME) == 0)) {
            continue;
        }
        if (copyEntry(src, ent->d_name, dst, run, copied) != 0) {
            goto out;
        }
    }
    // The folder as it stands now, after its entries were copied.
    if (fstat(src, &st) != 0 || applyTimes(dst, &st, run.opt) != 0 || fsync(dst) != 0) {
        goto out;
    }
    if (meta && fillMode != mode && fchmod(dst, mode) != 0) {
        goto out;
    }
    ret = 0;
out:
    if (d != nullptr) {
        int saved = errno;
        closedir(d);
        errno = saved;
    }
    KAVOFileCloseKeep(dst);
    return ret;
}

// ---- Removing what was copied ------------------------------------------------------------------

// Removes name of dir when it is still what was copied; a folder only once every copied entry
// in it went and nothing else is left, but for EA data a move without it leaves behind
// (dropEA: it would describe items that are gone). 0 removed, 1 kept (changed or not empty),
// -1 failure.
static int removeCopied(int dir, const char *name, const Copied &copied, int dropEA) {
    struct stat st;
    int kept = 0, sub, r;

    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (!unchanged(&st, &copied.st)) {
            return 1;
        }
        return unlinkat(dir, name, 0) == 0 || errno == ENOENT ? 0 : -1;
    }
    if (!sameFile(&st, &copied.st) || !S_ISDIR(copied.st.st_mode)) {
        return 1;
    }
    sub = openat(dir, name, DIR_FLAGS);
    if (sub < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    for (const auto &kid : copied.kids) {
        r = removeCopied(sub, kid.first.c_str(), kid.second, dropEA);
        if (r < 0) {
            KAVOFileCloseKeep(sub);
            return -1;
        }
        kept |= r;
    }
    if (!kept && dropEA && copied.kids.count(SZ_EA_DIR_NAME) == 0 &&
        KAVOPathRemoveAt(sub, SZ_EA_DIR_NAME) != 0) {
        kept = 1;
    }
    if (kept) {
        close(sub);
        return 1;
    }
    if (unlinkat(dir, name, AT_REMOVEDIR) != 0 && (errno == ENOTEMPTY || errno == EEXIST)) {
        // Temporaries a stopped copy into the source left are not items of it.
        removeStrays(sub);
        unlinkat(dir, name, AT_REMOVEDIR);
    }
    close(sub);
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : -1;
    }
    return 1;
}

// ---- Owners of a moved tree ---------------------------------------------------------------------

// Gives every item of the open folder fd the owner uid:gid (links themselves, not their
// targets), walking by descriptors. 0 or -1.
static int chownContents(int fd, uid_t uid, gid_t gid) {
    int dup = openat(fd, ".", DIR_FLAGS);
    DIR *d = dup < 0 ? nullptr : fdopendir(dup);
    struct dirent *ent;
    int ret = 0;

    if (d == nullptr) {
        KAVOFileCloseKeep(dup);
        return -1;
    }
    while ((ent = readdir(d)) != nullptr) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) {
            continue;
        }
        if (fchownat(dirfd(d), ent->d_name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            ret = -1;
            break;
        }
        if (ent->d_type == DT_DIR || ent->d_type == DT_UNKNOWN) {
            int child = openat(dirfd(d), ent->d_name, DIR_FLAGS);
            if (child < 0) {
                if (errno == ENOTDIR || errno == ELOOP) {
                    continue;
                }
                ret = -1;
                break;
            }
            ret = chownContents(child, uid, gid);
            KAVOFileCloseKeep(child);
            if (ret != 0) {
                break;
            }
        }
    }
    int saved = errno;
    closedir(d);
    errno = saved;
    return ret;
}

// ---- EA data -----------------------------------------------------------------------------------

// Opens "@eaDir" of dir, made when create is set; a link or a file there is refused. fd or -1.
static int eaRootAt(int dir, int create) {
    int fd = openat(dir, SZ_EA_DIR_NAME, DIR_FLAGS);

    if (fd >= 0 || errno != ENOENT || !create) {
        return fd;
    }
    if (mkdirat(dir, SZ_EA_DIR_NAME, 0777) != 0 && errno != EEXIST) {
        return -1;
    }
    return openat(dir, SZ_EA_DIR_NAME, DIR_FLAGS);
}

// Makes dstName's EA data in dstDir a copy (or, moving, the very data) of srcName's in srcDir.
// With removeSrc 0 a move leaves the source's EA data for carryEARemove. 0 or -1.
static int carryEA(int srcDir, const char *srcName, int dstDir, const char *dstName,
                   const KAVOCOPY_OPT *opt, int move, Copied *copied) {
    struct stat st;
    int srcRoot, dstRoot = -1, src = -1, created, ret = -1;
    KAVOCOPY_OPT eaOpt;
    CopyRun run;

    srcRoot = eaRootAt(srcDir, 0);
    if (srcRoot < 0 && errno != ENOENT) {
        return -1;  // a link planted as "@eaDir": nothing is read through it
    }
    dstRoot = eaRootAt(dstDir, srcRoot >= 0);
    if (dstRoot < 0) {
        ret = errno == ENOENT ? 0 : -1;
        goto out;
    }
    // Whatever lies at the destination describes an item that is gone.
    if (KAVOPathRemoveAt(dstRoot, dstName) != 0) {
        goto out;
    }
    if (srcRoot < 0 || fstatat(srcRoot, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
        ret = 0;
        goto out;
    }
    if (move && renameat(srcRoot, srcName, dstRoot, dstName) == 0) {
        ret = 0;
        goto out;
    }
    if (move && errno != EXDEV) {
        goto out;
    }
    // EA data keeps its own owners.
    eaOpt = *opt;
    eaOpt.opt[KAVO_COPY_OVERWRITE] = 1;
    eaOpt.opt[KAVO_COPY_SET_OWNER] = 0;
    eaOpt.opt[KAVO_COPY_WITH_EA] = 1;
    eaOpt.opt[KAVO_COPY_REMOVE_SRC] = 0;
    run = {&eaOpt, 1, geteuid() == 0, st.st_dev, 0, 0, 0};
    src = openat(srcRoot, srcName, DIR_FLAGS);
    if (src < 0 || copyTreeAt(src, &st, dstRoot, dstName, run, copied, &created) != 0) {
        int saved = errno;
        KAVOPathRemoveAt(dstRoot, dstName);
        errno = saved;
        goto out;
    }
    ret = move ? 1 : 0;
out:
    KAVOFileCloseKeep(src);
    KAVOFileCloseKeep(srcRoot);
    KAVOFileCloseKeep(dstRoot);
    return ret;
}

static void carryEALogged(int srcDir, const char *srcName, int dstDir, const char *dstName,
                          const KAVOCOPY_OPT *opt, int move) {
    Copied copied;
    int r;

    if (!optOn(opt, KAVO_COPY_WITH_EA)) {
        return;
    }
    r = carryEA(srcDir, srcName, dstDir, dstName, opt, move, &copied);
    if (r < 0) {
        KAVOLOG(SZ_SOURCE, "failed to carry EA data of [%s] to [%s]: %m", srcName, dstName);
        return;
    }
    if (r == 1) {
        // Copied across file systems: the source's EA data goes once its copy is complete.
        int srcRoot = eaRootAt(srcDir, 0);
        if (srcRoot >= 0) {
            removeCopied(srcRoot, srcName, copied, 0);
            close(srcRoot);
        }
    }
}

// ---- Operations ------------------------------------------------------------------------------

static int recordErr(int err) {
    VLIBCErrSet(err == EEXIST                            ? KAVO_ERR_EXISTS
                : err == ENOENT                          ? KAVO_ERR_NOT_FOUND
                : (err == EINVAL || err == ENAMETOOLONG) ? KAVO_ERR_BAD_PARAMETERS
                                                         : KAVO_ERR_SYSTEM);
    errno = err;
    return -1;
}

// 1 when the open folder dir is the folder top or lies inside it, 0 when not, -1 failure.
static int insideFolder(int dir, const struct stat *top) {
    int cur = openat(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);

    // No path holds more components than bytes: deeper is a loop.
    for (int depth = 0; cur >= 0 && depth < KAVO_PATH_SIZE; depth++) {
        struct stat st, up;
        int parent;

        if (fstat(cur, &st) != 0) {
            break;
        }
        if (sameFile(&st, top)) {
            close(cur);
            return 1;
        }
        parent = openat(cur, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (parent < 0 || fstat(parent, &up) != 0) {
            KAVOFileCloseKeep(parent);
            break;
        }
        close(cur);
        cur = parent;
        if (sameFile(&up, &st)) {
            close(cur);
            return 0;  // reached "/"
        }
    }
    KAVOFileCloseKeep(cur);
    return -1;
}

// Checks the destination dstName of dstDir for a copy of an item found as srcSt. 0, or -1
// with errno set.
static int checkDestination(int dstDir, const char *dstName, const struct stat *srcSt,
                            const KAVOCOPY_OPT *opt, int *exists) {
    struct stat st;
    int wantDir = S_ISDIR(srcSt->st_mode) ? 1 : 0;

    *exists = 0;
    if (fstatat(dstDir, dstName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : -1;
    }
    *exists = 1;
    if (sameFile(&st, srcSt)) {
        errno = EINVAL;
        return -1;
    }
    if (!optOn(opt, KAVO_COPY_OVERWRITE)) {
        errno = EEXIST;
        return -1;
    }
    if (wantDir != (S_ISDIR(st.st_mode) ? 1 : 0)) {
        errno = wantDir ? ENOTDIR : EEXIST;
        return -1;
    }
    return 0;
}

// Copies (or, when the options say, moves) one item: the work of both calls.
static int copyAt(int srcDir, const char *srcName, int dstDir, const char *dstName,
                  const KAVOCOPY_OPT *opt, int wantDir) {
    int move = optOn(opt, KAVO_COPY_REMOVE_SRC);
    struct stat st, dstSt;
    int exists, created, r;
    CopyRun run;

    if (opt == nullptr || srcDir < 0 || dstDir < 0 || !validName(srcName) || !validName(dstName)) {
        return recordErr(EINVAL);
    }
    if (fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return recordErr(errno);
    }
    if (wantDir ? !S_ISDIR(st.st_mode) : (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))) {
        return recordErr(wantDir ? ENOTDIR : S_ISDIR(st.st_mode) ? EISDIR : EOPNOTSUPP);
    }
    // A folder never goes into itself.
    if (wantDir && (r = insideFolder(dstDir, &st)) != 0) {
        return recordErr(r > 0 ? EINVAL : errno);
    }
    if (checkDestination(dstDir, dstName, &st, opt, &exists) != 0) {
        return recordErr(errno);
    }

    // Within one file system a move is a rename (a folder only onto nothing).
    if (move && !(wantDir && exists)) {
        int flags = optOn(opt, KAVO_COPY_OVERWRITE) && !wantDir ? 0 : RENAME_NOREPLACE;
        r = renameat2(srcDir, srcName, dstDir, dstName, flags);
        if (r != 0 && flags != 0 && (errno == EINVAL || errno == ENOSYS)) {
            r = exists ? (errno = EEXIST, -1) : renameat(srcDir, srcName, dstDir, dstName);
        }
        if (r == 0) {
            if (optOn(opt, KAVO_COPY_SET_OWNER)) {
                uid_t uid = (uid_t)opt->opt[KAVO_COPY_UID];
                gid_t gid = (gid_t)opt->opt[KAVO_COPY_GID];
                int fd = wantDir ? openat(dstDir, dstName, DIR_FLAGS) : -1;
                if (fchownat(dstDir, dstName, uid, gid, AT_SYMLINK_NOFOLLOW) != 0 ||
                    (wantDir && (fd < 0 || chownContents(fd, uid, gid) != 0))) {
                    KAVOFileCloseKeep(fd);
                    return recordErr(errno);
                }
                KAVOFileCloseKeep(fd);
            }
            carryEALogged(srcDir, srcName, dstDir, dstName, opt, 1);
            return 0;
        }
        if (errno != EXDEV) {
            return recordErr(errno);
        }
    }

    // A copy, a move across file systems, or a folder moved into an existing one: in rounds.
    run = {opt, optOn(opt, KAVO_COPY_OVERWRITE), geteuid() == 0, st.st_dev, 0, 0, 0};
    for (int round = 0;; round++) {
        Copied copied;
        int src = -1;

        if (wantDir) {
            src = openat(srcDir, srcName, DIR_FLAGS);
            if (src < 0 || fstat(src, &st) != 0) {
                KAVOFileCloseKeep(src);
                return round > 0 && errno == ENOENT ? 0 : recordErr(errno);
            }
            r = copyTreeAt(src, &st, dstDir, dstName, run, &copied, &created);
            KAVOFileCloseKeep(src);
            if (r != 0) {
                int saved = errno;
                if (created && round == 0) {
                    KAVOPathRemoveAt(dstDir, dstName);
                }
                return recordErr(saved);
            }
            if (round == 0 && fstatat(dstDir, dstName, &dstSt, AT_SYMLINK_NOFOLLOW) == 0) {
                run.topDev = dstSt.st_dev;
                run.topIno = dstSt.st_ino;
                run.haveTop = 1;
            }
        } else {
            if (fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                return round > 0 && errno == ENOENT ? 0 : recordErr(errno);
            }
            copied.st = st;
            r = S_ISREG(st.st_mode)
                    ? copyFileAt(srcDir, srcName, &st, dstDir, dstName, run, &copied.st)
                    : copyLinkAt(srcDir, srcName, &st, dstDir, dstName, run);
            if (r != 0) {
                return recordErr(errno);
            }
        }
        // The new entry itself is flushed before anything of the source goes.
        if (fsync(dstDir) != 0) {
            return recordErr(errno);
        }
        if (!move) {
            carryEALogged(srcDir, srcName, dstDir, dstName, opt, 0);
            return 0;
        }
        if (round == 0 && optOn(opt, KAVO_COPY_WITH_EA)) {
            // The EA data is copied now and its source removed once the item is gone.
            Copied ea;
            r = carryEA(srcDir, srcName, dstDir, dstName, opt, 0, &ea);
            if (r < 0) {
                KAVOLOG(SZ_SOURCE, "failed to carry EA data of [%s] to [%s]: %m", srcName, dstName);
            }
        }
        run.overwrite = 1;  // later rounds complete what this one made
        r = removeCopied(srcDir, srcName, copied, !optOn(opt, KAVO_COPY_WITH_EA));
        if (r < 0) {
            return recordErr(errno);
        }
        if (r == 0) {
            if (optOn(opt, KAVO_COPY_WITH_EA)) {
                KAVOEA_REMOVE_OPT eaOpt = {1, 0};
                KAVOEARemoveAt(srcDir, srcName, &eaOpt);
            }
            return 0;
        }
        if (round + 1 >= FILEOP_MOVE_ROUNDS) {
            KAVOLOG(SZ_SOURCE,
                    "[%s] kept changing while it was moved: what changed stays in the source",
                    srcName);
            return recordErr(EAGAIN);
        }
    }
}

// Opens the folder that holds path (as named) and copies the last component into leaf.
static int openParentOf(const char *path, char *leaf, size_t size) {
    char dir[KAVO_PATH_SIZE];
    size_t dirLen, baseLen;
    const char *base;

    if (KAVOPathSplit(path, &dirLen, &base, &baseLen) != 0 || baseLen >= size) {
        errno = EINVAL;
        return -1;
    }
    memcpy(leaf, base, baseLen);
    leaf[baseLen] = '\0';
    if (!validName(leaf)) {
        errno = EINVAL;
        return -1;
    }
    if (dirLen == 0) {
        memcpy(dir, ".", 2);
    } else {
        memcpy(dir, path, dirLen);
        dir[dirLen] = '\0';
    }
    return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

static int copyByPath(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int wantDir) {
    char srcLeaf[NAME_MAX + 1], dstLeaf[NAME_MAX + 1];
    int srcDir, dstDir, ret, err;

    if (!validPath(src) || !validPath(dst) || opt == nullptr) {
        return recordErr(EINVAL);
    }
    if ((srcDir = openParentOf(src, srcLeaf, sizeof(srcLeaf))) < 0) {
        return recordErr(errno);
    }
    if ((dstDir = openParentOf(dst, dstLeaf, sizeof(dstLeaf))) < 0) {
        err = errno;
        close(srcDir);
        return recordErr(err);
    }
    ret = copyAt(srcDir, srcLeaf, dstDir, dstLeaf, opt, wantDir);
    err = errno;
    close(srcDir);
    close(dstDir);
    errno = err;
    return ret;
}

int KAVOFileCopyAt(int srcDir, const char *srcName, int dstDir, const char *dstName,
                   const KAVOCOPY_OPT *opt) {
    return copyAt(srcDir, srcName, dstDir, dstName, opt, 0);
}

int KAVOFileCopyDirectoryAt(int srcDir, const char *srcName, int dstDir, const char *dstName,
                            const KAVOCOPY_OPT *opt) {
    return copyAt(srcDir, srcName, dstDir, dstName, opt, 1);
}

int KAVOFileCopy(const char *src, const char *dst, const KAVOCOPY_OPT *opt) {
    return copyByPath(src, dst, opt, 0);
}

int KAVOFileCopyDirectory(const char *src, const char *dst, const KAVOCOPY_OPT *opt) {
    return copyByPath(src, dst, opt, 1);
}

int KAVOCopyFileI(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int fd, int flags) {
    if (fd != -1 || flags != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return KAVOFileCopy(src, dst, opt);
}

int KAVOFSMkdirP(const char *dir, int flags1, int flags2, int uid, int gid, int mode) {
    char path[KAVO_PATH_SIZE];
    struct stat st;
    size_t len, i;

    (void)flags1;
    (void)flags2;
    if (!validPath(dir) || (mode != -1 && (mode & ~07777) != 0)) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    memcpy(path, dir, strlen(dir) + 1);
    len = strlen(path);
    while (len > 1 && path[len - 1] == '/') {
        len--;
    }
    path[len] = '\0';

    for (i = 1; i <= len; i++) {
        if ((i < len && path[i] != '/') || path[i - 1] == '/') {
            continue;
        }
        char saved = path[i];
        path[i] = '\0';
        if (stat(path, &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                VLIBCErrSet(KAVO_ERR_EXISTS);
                return -1;
            }
        } else if (mkdir(path, 0777) != 0) {
            if (errno != EEXIST || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
                VLIBCErrSet(KAVO_ERR_SYSTEM);
                return -1;
            }
        } else {
            // Only the folders made here take the owner and mode asked for, on what was made.
            int fd = open(path, DIR_FLAGS);
            if (fd < 0 || ((uid != -1 || gid != -1) && fchown(fd, (uid_t)uid, (gid_t)gid) != 0) ||
                (mode != -1 && fchmod(fd, (mode_t)mode) != 0)) {
                KAVOFileCloseKeep(fd);
                VLIBCErrSet(KAVO_ERR_SYSTEM);
                return -1;
            }
            close(fd);
        }
        path[i] = saved;
    }
    return 0;
}
