// libkavofileop: copying and moving files and folder trees, and making folders.
//
// A file copy is written to a hidden temporary name beside the destination, given its mode,
// owner and times, flushed, and then renamed into place, so the destination is never seen
// half-written. A move within one file system is a rename; across file systems the item is
// copied and the source removed only once the copy is complete. Holes of sparse files stay
// holes, and all offsets are 64-bit.
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
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "kavofileop.h"
#include "kavosdk.h"

#define FILEOP_PATH_MAX 4096
#define FILEOP_TMP_NAME "/.kavocopy.XXXXXX"
#define FILEOP_IO_BUF (1024 * 1024)
#define FILEOP_RANGE_CHUNK ((size_t)1 << 30)

static int optOn(const KAVOCOPY_OPT *opt, int word) {
    return opt->opt[word] != 0;
}

static int validPath(const char *path) {
    return path != nullptr && path[0] != '\0' && strlen(path) < FILEOP_PATH_MAX;
}

static int sameFile(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// ---- Removing --------------------------------------------------------------------------------

// Removes a file, a link or a whole folder tree (links are removed, never followed).
// 0 or -1 with errno set.
static int removeTree(const std::string &path) {
    struct stat st;
    DIR *dir;
    struct dirent *ent;
    int ret = 0;

    if (lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? 0 : -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        return unlink(path.c_str());
    }
    dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    while ((ent = readdir(dir)) != nullptr) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) {
            continue;
        }
        if (removeTree(path + "/" + ent->d_name) != 0) {
            ret = -1;
            break;
        }
    }
    closedir(dir);
    if (ret != 0) {
        return -1;
    }
    return rmdir(path.c_str());
}

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
        // Not offered between these two files: plain reads and writes.
        buf = (char *)malloc(FILEOP_IO_BUF);
        if (buf == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        while (inOff < to) {
            size_t chunk =
                to - inOff < (off_t)FILEOP_IO_BUF ? (size_t)(to - inOff) : (size_t)FILEOP_IO_BUF;
            ssize_t got = pread(in, buf, chunk, inOff);
            ssize_t done = 0;
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
            while (done < got) {
                ssize_t put = pwrite(out, buf + done, (size_t)(got - done), outOff + done);
                if (put < 0 && errno == EINTR) {
                    continue;
                }
                if (put <= 0) {
                    if (put == 0) {
                        errno = EIO;
                    }
                    free(buf);
                    return -1;
                }
                done += put;
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

// ---- Placing a finished copy -----------------------------------------------------------------

// Renames from to to; without overwrite an existing to is never replaced. 0 or -1 (errno).
static int placeItem(const char *from, const char *to, int overwrite) {
    struct stat st;

    if (overwrite) {
        return rename(from, to);
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return -1;
    }
    // The file system has no exclusive rename.
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

// Hidden temporary name in the folder of dst. 0 or -1.
static int tempNameBeside(const char *dst, char *buf, size_t size) {
    const char *slash = strrchr(dst, '/');
    int dirLen = slash == nullptr ? 1 : (int)(slash - dst);
    const char *dir = slash == nullptr ? "." : dst;

    if (slash == dst) {
        dirLen = 0;  // a file in "/"
    }
    if (VLIBCStrPrintf(buf, size, "%.*s%s", dirLen, dir, FILEOP_TMP_NAME) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// ---- Copying one item --------------------------------------------------------------------

// Owner wanted for a copy of an item owned by st: the options' owner when word 2 is set
// (then a failure counts), else the source's owner when permitted.
static int ownerFd(int fd, const struct stat *st, const KAVOCOPY_OPT *opt) {
    if (optOn(opt, KAVO_COPY_SET_OWNER)) {
        return fchown(fd, (uid_t)opt->opt[KAVO_COPY_UID], (gid_t)opt->opt[KAVO_COPY_GID]);
    }
    if (fchown(fd, st->st_uid, st->st_gid) != 0 && errno != EPERM) {
        return -1;
    }
    return 0;
}

static int ownerPath(const char *path, const struct stat *st, const KAVOCOPY_OPT *opt) {
    if (optOn(opt, KAVO_COPY_SET_OWNER)) {
        return lchown(path, (uid_t)opt->opt[KAVO_COPY_UID], (gid_t)opt->opt[KAVO_COPY_GID]);
    }
    if (lchown(path, st->st_uid, st->st_gid) != 0 && errno != EPERM) {
        return -1;
    }
    return 0;
}

// Writes a copy of the regular file src to the temporary name tmp (already created as fd).
static int fillCopy(const char *src, const struct stat *srcSt, int out, const KAVOCOPY_OPT *opt) {
    struct stat st;
    int in = open(src, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int ret = -1;

    if (in < 0) {
        return -1;
    }
    if (fstat(in, &st) != 0) {
        goto out;
    }
    if (!sameFile(&st, srcSt) || !S_ISREG(st.st_mode)) {
        errno = EAGAIN;  // replaced since it was looked at
        goto out;
    }
    if (copyData(in, out, st.st_size) != 0 || ownerFd(out, &st, opt) != 0 ||
        fchmod(out, st.st_mode & 07777) != 0) {
        goto out;
    }
    if (optOn(opt, KAVO_COPY_KEEP_TIMES)) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (futimens(out, times) != 0) {
            goto out;
        }
    }
    if (fsync(out) != 0) {
        goto out;
    }
    ret = 0;
out:
    if (in >= 0) {
        int saved = errno;
        close(in);
        errno = saved;
    }
    return ret;
}

// Copies a regular file or a symbolic link to dst through a temporary name beside it.
// 0 or -1 with errno set.
static int copyItem(const char *src, const struct stat *srcSt, const char *dst,
                    const KAVOCOPY_OPT *opt) {
    char tmp[FILEOP_PATH_MAX];
    int fd, saved;

    if (tempNameBeside(dst, tmp, sizeof(tmp)) != 0) {
        return -1;
    }
    fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (S_ISLNK(srcSt->st_mode)) {
        char target[FILEOP_PATH_MAX];
        ssize_t n = readlink(src, target, sizeof(target) - 1);
        close(fd);
        unlink(tmp);
        if (n < 0) {
            return -1;
        }
        target[n] = '\0';
        if (symlink(target, tmp) != 0) {
            return -1;
        }
        if (ownerPath(tmp, srcSt, opt) != 0) {
            goto fail;
        }
        if (optOn(opt, KAVO_COPY_KEEP_TIMES)) {
            struct timespec times[2] = {srcSt->st_atim, srcSt->st_mtim};
            if (utimensat(AT_FDCWD, tmp, times, AT_SYMLINK_NOFOLLOW) != 0) {
                goto fail;
            }
        }
    } else {
        if (fillCopy(src, srcSt, fd, opt) != 0) {
            saved = errno;
            close(fd);
            errno = saved;
            goto fail;
        }
        if (close(fd) != 0) {
            goto fail;
        }
    }
    if (placeItem(tmp, dst, optOn(opt, KAVO_COPY_OVERWRITE)) != 0) {
        goto fail;
    }
    return 0;
fail:
    saved = errno;
    unlink(tmp);
    errno = saved;
    return -1;
}

// Copies the folder src (described by srcSt) to dst: into a new folder, or merged into an
// existing one when overwrite is set. *created tells whether dst was made here. 0 or -1.
static int copyTree(const std::string &src, const struct stat *srcSt, const std::string &dst,
                    const KAVOCOPY_OPT *opt, int *created) {
    struct stat st;
    DIR *dir;
    struct dirent *ent;
    int ret = 0;
    int childCreated;

    *created = 0;
    if (lstat(dst.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        if (!optOn(opt, KAVO_COPY_OVERWRITE)) {
            errno = EEXIST;
            return -1;
        }
    } else if (errno != ENOENT) {
        return -1;
    } else {
        // Private until it is complete; its own mode is set at the end.
        if (mkdir(dst.c_str(), 0700) != 0) {
            return -1;
        }
        *created = 1;
    }

    dir = opendir(src.c_str());
    if (dir == nullptr) {
        return -1;
    }
    while ((ent = readdir(dir)) != nullptr) {
        struct stat childSt;
        std::string childSrc, childDst;
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) {
            continue;
        }
        if (!optOn(opt, KAVO_COPY_WITH_EA) && strcmp(ent->d_name, SZ_EA_DIR_NAME) == 0) {
            continue;
        }
        childSrc = src + "/" + ent->d_name;
        childDst = dst + "/" + ent->d_name;
        if (childSrc.size() >= FILEOP_PATH_MAX || childDst.size() >= FILEOP_PATH_MAX) {
            errno = ENAMETOOLONG;
            ret = -1;
            break;
        }
        if (lstat(childSrc.c_str(), &childSt) != 0) {
            ret = -1;
            break;
        }
        if (S_ISDIR(childSt.st_mode)) {
            ret = copyTree(childSrc, &childSt, childDst, opt, &childCreated);
        } else if (S_ISREG(childSt.st_mode) || S_ISLNK(childSt.st_mode)) {
            ret = copyItem(childSrc.c_str(), &childSt, childDst.c_str(), opt);
        } else {
            errno = EOPNOTSUPP;  // devices, pipes and sockets are not copied
            ret = -1;
        }
        if (ret != 0) {
            break;
        }
    }
    if (ret != 0) {
        int saved = errno;
        closedir(dir);
        errno = saved;
        return -1;
    }
    closedir(dir);

    if (*created || optOn(opt, KAVO_COPY_SET_OWNER)) {
        if (ownerPath(dst.c_str(), srcSt, opt) != 0) {
            return -1;
        }
    }
    if (*created && chmod(dst.c_str(), srcSt->st_mode & 07777) != 0) {
        return -1;
    }
    if (optOn(opt, KAVO_COPY_KEEP_TIMES)) {
        struct timespec times[2] = {srcSt->st_atim, srcSt->st_mtim};
        if (utimensat(AT_FDCWD, dst.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            return -1;
        }
    }
    return 0;
}

// Gives every item of a tree the owner of the options (links themselves, not their targets).
static int chownTree(const std::string &path, uid_t uid, gid_t gid) {
    struct stat st;
    DIR *dir;
    struct dirent *ent;
    int ret = 0;

    if (lchown(path.c_str(), uid, gid) != 0 || lstat(path.c_str(), &st) != 0) {
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        return 0;
    }
    dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    while ((ent = readdir(dir)) != nullptr) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) {
            continue;
        }
        if (chownTree(path + "/" + ent->d_name, uid, gid) != 0) {
            ret = -1;
            break;
        }
    }
    closedir(dir);
    return ret;
}

// ---- EA data ---------------------------------------------------------------------------------

// Makes dst's EA data a copy (or, moving, the very data) of src's. 0 or -1.
static int carryEA(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int move) {
    char srcEA[FILEOP_PATH_MAX];
    char dstEA[FILEOP_PATH_MAX];
    char eaRoot[FILEOP_PATH_MAX];
    struct stat st;
    KAVOCOPY_OPT eaOpt;
    char *slash;
    int created;

    if (KAVOEADirPath(0, src, srcEA, sizeof(srcEA)) != 0 ||
        KAVOEADirPath(0, dst, dstEA, sizeof(dstEA)) != 0) {
        return -1;
    }
    // Whatever lies at the destination describes an item that is gone.
    if (removeTree(dstEA) != 0) {
        return -1;
    }
    if (lstat(srcEA, &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        return 0;
    }
    memcpy(eaRoot, dstEA, sizeof(eaRoot));
    slash = strrchr(eaRoot, '/');
    if (slash != nullptr) {
        *slash = '\0';
        if (mkdir(eaRoot, 0777) != 0 && errno != EEXIST) {
            return -1;
        }
    }
    if (move) {
        if (rename(srcEA, dstEA) == 0) {
            return 0;
        }
        if (errno != EXDEV) {
            return -1;
        }
    }
    // EA data keeps its own owners.
    eaOpt = *opt;
    eaOpt.opt[KAVO_COPY_OVERWRITE] = 1;
    eaOpt.opt[KAVO_COPY_SET_OWNER] = 0;
    eaOpt.opt[KAVO_COPY_WITH_EA] = 1;
    if (copyTree(srcEA, &st, dstEA, &eaOpt, &created) != 0) {
        int saved = errno;
        removeTree(dstEA);
        errno = saved;
        return -1;
    }
    if (move) {
        return removeTree(srcEA);
    }
    return 0;
}

static void carryEALogged(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int move) {
    if (!optOn(opt, KAVO_COPY_WITH_EA)) {
        return;
    }
    if (carryEA(src, dst, opt, move) != 0) {
        KAVOLOG("kavofileop", "failed to carry EA data of [%s] to [%s]: %m", src, dst);
    }
}

// ---- Operations ------------------------------------------------------------------------------

// Checks the arguments of a copy or move and lstat's src into st. 0, or -1 with the error
// recorded.
static int checkSource(const char *src, const char *dst, const KAVOCOPY_OPT *opt, struct stat *st) {
    if (!validPath(src) || !validPath(dst) || opt == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (lstat(src, st) != 0) {
        VLIBCErrSet(errno == ENOENT ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
        return -1;
    }
    return 0;
}

// Checks the destination of a copy or move of src (already lstat'ed). 0, or -1 with the error
// recorded.
static int checkDestination(const char *dst, const struct stat *srcSt, const KAVOCOPY_OPT *opt,
                            int *exists, int wantDir) {
    struct stat st;

    *exists = 0;
    if (lstat(dst, &st) != 0) {
        if (errno != ENOENT) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        return 0;
    }
    *exists = 1;
    if (sameFile(&st, srcSt)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (!optOn(opt, KAVO_COPY_OVERWRITE)) {
        errno = EEXIST;
        VLIBCErrSet(KAVO_ERR_EXISTS);
        return -1;
    }
    if (wantDir != (S_ISDIR(st.st_mode) ? 1 : 0)) {
        errno = wantDir ? ENOTDIR : EISDIR;
        VLIBCErrSet(KAVO_ERR_EXISTS);
        return -1;
    }
    return 0;
}

// A move by renaming src (a folder when isDir) into place, then given the owner asked for.
// 0 done, 1 when src lies on another file system and is to be copied instead, -1 with the error
// recorded.
static int moveByRename(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int overwrite,
                        int isDir) {
    uid_t uid = (uid_t)opt->opt[KAVO_COPY_UID];
    gid_t gid = (gid_t)opt->opt[KAVO_COPY_GID];

    if (placeItem(src, dst, overwrite) != 0) {
        if (errno == EXDEV) {
            return 1;
        }
        VLIBCErrSet(errno == EEXIST ? KAVO_ERR_EXISTS : KAVO_ERR_SYSTEM);
        return -1;
    }
    if (optOn(opt, KAVO_COPY_SET_OWNER) &&
        (isDir ? chownTree(dst, uid, gid) : lchown(dst, uid, gid)) != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    carryEALogged(src, dst, opt, 1);
    return 0;
}

// After a complete copy of src (a folder when isDir): a move removes the source, then the EA
// data follows. 0, or -1 with the error recorded; the copy stays either way (it may have
// replaced an older destination).
static int finishCopy(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int isDir) {
    int move = optOn(opt, KAVO_COPY_REMOVE_SRC);

    if (move && (isDir ? removeTree(src) : unlink(src)) != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    carryEALogged(src, dst, opt, move);
    return 0;
}

int KAVOFileCopy(const char *src, const char *dst, const KAVOCOPY_OPT *opt) {
    struct stat st;
    int exists, moved;

    if (checkSource(src, dst, opt, &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EOPNOTSUPP;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (checkDestination(dst, &st, opt, &exists, 0) != 0) {
        return -1;
    }

    if (optOn(opt, KAVO_COPY_REMOVE_SRC)) {
        moved = moveByRename(src, dst, opt, optOn(opt, KAVO_COPY_OVERWRITE), 0);
        if (moved <= 0) {
            return moved;
        }
    }

    if (copyItem(src, &st, dst, opt) != 0) {
        VLIBCErrSet(errno == EEXIST ? KAVO_ERR_EXISTS : KAVO_ERR_SYSTEM);
        return -1;
    }
    return finishCopy(src, dst, opt, 0);
}

// dst resolved through its existing parent folder. 0 or -1.
static int resolveDestination(const char *dst, std::string *out) {
    std::string path(dst);
    std::string parent, base;
    size_t len = path.size();
    size_t slash;
    char *real;

    while (len > 1 && path[len - 1] == '/') {
        len--;
    }
    path.resize(len);
    slash = path.rfind('/');
    if (slash == std::string::npos) {
        parent = ".";
        base = path;
    } else {
        parent = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
    real = realpath(parent.c_str(), nullptr);
    if (real == nullptr) {
        return -1;
    }
    *out = real;
    free(real);
    if (base.empty() || base == "." || base == "..") {
        errno = EINVAL;
        return -1;
    }
    if (out->back() != '/') {
        out->push_back('/');
    }
    out->append(base);
    return 0;
}

// 1 when dst is the folder src or lies inside it.
static int destinationInside(const char *src, const char *dst) {
    std::string realDst;
    char *realSrc = realpath(src, nullptr);
    size_t len;
    int inside;

    if (realSrc == nullptr || resolveDestination(dst, &realDst) != 0) {
        free(realSrc);
        return -1;
    }
    len = strlen(realSrc);
    inside = realDst.compare(0, len, realSrc) == 0 &&
             (realDst.size() == len || realDst[len] == '/' || (len == 1 && realSrc[0] == '/'));
    free(realSrc);
    return inside;
}

int KAVOFileCopyDirectory(const char *src, const char *dst, const KAVOCOPY_OPT *opt) {
    struct stat st;
    int exists, created, inside, moved;

    if (checkSource(src, dst, opt, &st) != 0) {
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    // A folder never goes into itself.
    inside = destinationInside(src, dst);
    if (inside != 0) {
        if (inside > 0) {
            errno = EINVAL;
        }
        VLIBCErrSet(inside > 0 ? KAVO_ERR_BAD_PARAMETERS : KAVO_ERR_SYSTEM);
        return -1;
    }
    if (checkDestination(dst, &st, opt, &exists, 1) != 0) {
        return -1;
    }

    if (optOn(opt, KAVO_COPY_REMOVE_SRC) && !exists) {
        moved = moveByRename(src, dst, opt, 0, 1);
        if (moved <= 0) {
            return moved;
        }
    }

    // A copy, a move across file systems, or a move merged into an existing folder.
    if (copyTree(src, &st, dst, opt, &created) != 0) {
        int saved = errno;
        if (created) {
            removeTree(dst);
        }
        errno = saved;
        VLIBCErrSet(errno == EEXIST ? KAVO_ERR_EXISTS : KAVO_ERR_SYSTEM);
        return -1;
    }
    return finishCopy(src, dst, opt, 1);
}

int KAVOCopyFileI(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int fd, int flags) {
    if (fd != -1 || flags != 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return KAVOFileCopy(src, dst, opt);
}

int KAVOFSMkdirP(const char *dir, int flags1, int flags2, int uid, int gid, int mode) {
    char path[FILEOP_PATH_MAX];
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
            // Only the folders made here take the owner and mode asked for.
            if ((uid != -1 || gid != -1) && chown(path, (uid_t)uid, (gid_t)gid) != 0) {
                VLIBCErrSet(KAVO_ERR_SYSTEM);
                return -1;
            }
            if (mode != -1 && chmod(path, (mode_t)mode) != 0) {
                VLIBCErrSet(KAVO_ERR_SYSTEM);
                return -1;
            }
        }
        path[i] = saved;
    }
    return 0;
}
