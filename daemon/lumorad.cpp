// lumorad: the gallery's background daemon, and the client of its face queue.
//
//   lumorad              detaches, owns /var/run/lumorad.pid and, every 20 seconds, consumes
//                        the face queue: each request becomes one run of the face-recognition
//                        worker (for every photo file under a path) or of the watermark worker.
//   lumorad -a ENTRY     appends ENTRY as one request line to the face queue.
//   lumorad -k           stops the running daemon (SIGTERM to the owner of its pid file).
//   lumorad -r           throws away every pending request (the working copy and the queue).
//
// The queue is a text file of lines "<type><separator><payload>\n". Writers only append, each
// under an exclusive flock of the queue. The daemon takes the queue whole: under the same lock it
// renames it to the working copy, so no writer can append to a file the daemon already owns, then
// reads the working copy line by line and deletes it. A working copy left by a stop or a crash is
// consumed first, from its first line. Workers run one at a time, never while a worker of the
// same kind is alive and no pass starts while a thumbnail worker is alive (seen by pid files).
//
// Gallery users can write into the photo share, so both queue files are reached beneath the
// share's service path without following any link ("@eaDir" and the files themselves), and only
// regular files of a single link are read or written; a FIFO cannot hang either side.
//
// One daemon at most: the daemon's pid file is held under a record lock for the daemon's whole
// life, taken by the daemon itself before the starting process returns. "-k" signals only the
// process that holds it, never whoever has the number of a daemon that crashed.
//
// Everything is reported to syslog; the exit status is 0 except when the SIGTERM handler cannot
// be installed.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kavocore.h"
#include "kavosdk.h"
#include "kavoutils.h"

#define SZ_SOURCE "lumorad"

#define SZF_LUMORA_PID "/var/run/lumorad.pid"
// The photo share's service path, a link to the share that the platform keeps: trusted as it
// stands, and never made here (a folder of that name would block the link later).
#define SZD_PHOTO_SERVICE "/var/services/photo"
#define SZ_EADIR_NAME "@eaDir"
#define SZ_QUEUE_NAME "kavophoto_face.queue"
#define SZ_QUEUE_TMP_NAME "kavophoto_face.queue.tmp"
#define SZD_PHOTO_EADIR SZD_PHOTO_SERVICE "/" SZ_EADIR_NAME
#define SZF_LUMORA_QUEUE SZD_PHOTO_EADIR "/" SZ_QUEUE_NAME
#define SZF_LUMORA_QUEUE_TMP SZD_PHOTO_EADIR "/" SZ_QUEUE_TMP_NAME
#define SZF_FACE_WORKER "/usr/kavo/bin/facerecognition"
#define SZF_WATERMARK_WORKER "/var/packages/Lumora/target/bin/watermark"
#define SZ_FACE_PID_PATTERN "/var/run/facerecognition.*.pid"
#define SZ_WATERMARK_PID_PATTERN "/var/run/watermark.*.pid"
#define SZ_THUMB_PID_PATTERN "/var/run/kavothumb.*.pid"

#define SZ_OPT_ADD "-a"
#define SZ_OPT_KILL "-k"
#define SZ_OPT_RESET "-r"

// Paths of the walk are held in KAVO_PATH_SIZE buffers: at most 4095 bytes.
#define PATH_MAX_LEN (KAVO_PATH_SIZE - 1)
// Queue lines travel through buffers of 4097 bytes; the daemon accepts a line of at most 4095
// bytes, newline included, so an entry may hold at most 4094 bytes.
#define QUEUE_LINE_SIZE 4097
#define QUEUE_LINE_MAX_LEN 4095
#define ENTRY_MAX_LEN (QUEUE_LINE_MAX_LEN - 1)

// The queue and its folder are created with 0777; the process umask applies.
#define QUEUE_MODE 0777
#define EADIR_MODE 0777
#define QUEUE_APPEND_FLAGS (O_RDWR | O_APPEND | O_SYNC)
#define QUEUE_CREATE_FLAGS (O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_SYNC)
// Attempts of a writer that is refused the queue (EACCES); a writer that only lost a race (the
// queue created by another writer or taken by the daemon meanwhile) tries again at once, and
// gives up only after this many such rounds, which no real contention reaches.
#define WRITE_ATTEMPTS 17
#define WRITE_RACES 10000
#define RENAME_ATTEMPTS 16
#define TAKE_ATTEMPTS 16

// Folders the walk holds open at most; deeper folders are read whole and closed before the walk
// goes into them, so that no depth runs out of descriptors.
#define WALK_OPEN_FOLDERS 16

#define DAEMON_NICE 10
// What the new daemon reports to the process that started it: 0 (running), an errno (no daemon:
// EAGAIN when another one owns the pid file), or this value when the SIGTERM handler failed.
#define REPORT_NO_HANDLER (-1)
#define IDLE_SECONDS 20
#define FACE_POLL_SECONDS 5
#define WATERMARK_POLL_SECONDS 3
#define OPEN_RETRY_SECONDS 1

// Photo extensions of the face-recognition walk, compared ignoring ASCII case, in this order.
static const char *const photoExtensions[] = {
    "jpg", "jpeg", "jpe", "bmp", "png", "tif", "tiff", "arw", "srf", "sr2",
    "dcr", "k25",  "kdc", "cr2", "crw", "nef", "mrw",  "ptx", "pef", "raf",
    "3fr", "erf",  "mef", "mos", "orf", "rw2", "dng",  "x3f", "raw",
};

// A folder entered by the walk, linked to the folder that holds it: the folders on the way from
// the request's path down to the current one.
struct WalkFolder {
    dev_t dev;
    ino_t ino;
    int depth;
    const WalkFolder *parent;
};

static int OpenQueueDir(bool create);
static int OpenQueueFile(int eaFd, const char *name, int flags);
static bool IsSameFile(int fd, int dirFd, const char *name);
static int LockQueue(int *fd, int eaFd);
static bool QueueFileExists(const char *name);
static int WriteQueue(const char *entry);
static int AppendLine(int fd, const char *entry, const char *line, size_t lineLen);
static int Daemon(void);
static void StopDaemon(int sig);
static int ProcessQueue(void);
static void TakeQueue(int eaFd);
static void RemoveWorkCopy(int eaFd);
static int ReadQueueLine(FILE *fp, char *line);
static void DispatchLine(char *line);
static void WaitForWorkers(const char *pattern, unsigned int seconds);
static int CountLiveWorkers(const char *pattern);
static std::string ReadProcFile(pid_t pid, const char *what);
static bool NamesWorker(const std::string &name, const char *worker);
static bool IsWorkerProcess(pid_t pid, const char *worker);
static void LogStaleOnce(const char *path, const char *why, int err);
static void RunFaceRecognition(const char *path);
static void WalkPath(char *path, size_t pathLen, const WalkFolder *parent);
static void WalkEntry(char *path, size_t pathLen, const char *name, const WalkFolder *folder);
static bool IsPhotoFile(const char *path);
static bool IsSkippedName(const char *path);

// ---- The queue files -------------------------------------------------------------------------

// Opens the queue folder "@eaDir" beneath the photo share's service path without following a
// link there; with create, makes it when it is missing. The share itself is never made. Folder
// descriptor, or -1 with errno set.
static int OpenQueueDir(bool create) {
    int rootFd = KAVOPathOpenRoot(SZD_PHOTO_SERVICE);
    int fd = -1;
    int err = 0;

    if (rootFd < 0) {
        return -1;
    }
    fd = KAVOPathOpenAt(rootFd, SZ_EADIR_NAME, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0 && errno == ENOENT && create) {
        if (mkdirat(rootFd, SZ_EADIR_NAME, EADIR_MODE) == 0 || errno == EEXIST) {
            fd = KAVOPathOpenAt(rootFd, SZ_EADIR_NAME, O_RDONLY | O_DIRECTORY, 0);
        }
    }
    err = errno;
    close(rootFd);
    errno = err;
    return fd;
}

// Opens a queue file in the open queue folder: never through a link, regular files only (O_NONBLOCK
// during the open, so a FIFO cannot hang the caller), and a file of one link only, so that a hard
// link to some other file is not taken for the queue. fd, or -1 with errno set.
static int OpenQueueFile(int eaFd, const char *name, int flags) {
    struct stat st;
    int fd = KAVOFileOpenRegular(eaFd, name, flags | O_NOFOLLOW, QUEUE_MODE);

    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (st.st_nlink != 1) {
        close(fd);
        errno = EMLINK;
        return -1;
    }
    return fd;
}

// True when the open file is still the one that name names in the folder.
static bool IsSameFile(int fd, int dirFd, const char *name) {
    struct stat openStat;
    struct stat nameStat;

    return fstat(fd, &openStat) == 0 && fstatat(dirFd, name, &nameStat, AT_SYMLINK_NOFOLLOW) == 0 &&
           openStat.st_dev == nameStat.st_dev && openStat.st_ino == nameStat.st_ino;
}

// Takes the writers' exclusive lock on the open queue file *fd, waiting for it, and checks that
// the queue's name still holds that file: the daemon renames the queue, and "-r" deletes it,
// while others wait for the lock. When the name holds another file by then, *fd is closed and
// set to -1. 0, or -1 when the lock failed (*fd stays open).
static int LockQueue(int *fd, int eaFd) {
    if (flock(*fd, LOCK_EX) != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to lock file descriptor of %s, reason=%m", SZF_LUMORA_QUEUE);
        return -1;
    }
    if (!IsSameFile(*fd, eaFd, SZ_QUEUE_NAME)) {
        close(*fd);
        *fd = -1;
    }
    return 0;
}

// True when the queue file is there, whatever it is (reached without a link).
static bool QueueFileExists(const char *name) {
    struct stat st;
    int eaFd = OpenQueueDir(false);
    bool exists = eaFd >= 0 && fstatat(eaFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;

    if (eaFd >= 0) {
        close(eaFd);
    }
    return exists;
}

// ---- The client: "-a" ------------------------------------------------------------------------

// Appends one request line to the queue. 0 on success (also when the very same line is already
// queued), -1 on failure.
static int WriteQueue(const char *entry) {
    char line[QUEUE_LINE_SIZE];
    struct stat st;
    size_t entryLen = 0;
    int attempts = 0;
    int races = 0;
    int flags = 0;
    int eaFd = -1;
    int fd = -1;
    int err = 0;
    int ret = -1;

    if (!entry) {
        KAVOLOG(SZ_SOURCE, "Bad parameter.");
        return -1;
    }
    // A line break would turn one entry into two requests, the second one chosen by whoever
    // wrote the entry; an entry that does not leave room for its newline within a line the
    // daemon accepts would be written and then skipped.
    if (strchr(entry, '\n')) {
        KAVOLOG(SZ_SOURCE, "Bad parameter: the entry holds a line break.");
        return -1;
    }
    entryLen = strlen(entry);
    if (entryLen > ENTRY_MAX_LEN) {
        KAVOLOG(SZ_SOURCE, "Bad parameter: an entry of %zu bytes is longer than %d bytes.",
                entryLen, ENTRY_MAX_LEN);
        return -1;
    }
    if (VLIBCStrPrintf(line, sizeof(line), "%s\n", entry) != 0) {
        KAVOLOG(SZ_SOURCE, "Bad parameter: the entry does not fit a queue line.");
        return -1;
    }

    if ((eaFd = OpenQueueDir(true)) < 0) {
        if (stat(SZD_PHOTO_SERVICE, &st) != 0 || !S_ISDIR(st.st_mode)) {
            KAVOLOG(SZ_SOURCE, "No photo share at %s (%m)", SZD_PHOTO_SERVICE);
        } else {
            KAVOLOG(SZ_SOURCE, "Cannot open %s beneath %s (%m)", SZ_EADIR_NAME, SZD_PHOTO_SERVICE);
        }
        // Logged whatever kept the folder out of reach, not only a failed make: kept as callers
        // expect it.
        KAVOLOG(SZ_SOURCE, "Make ea dir path error. eaDir path: %s", SZD_PHOTO_EADIR);
        return -1;
    }

    flags = fstatat(eaFd, SZ_QUEUE_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 ? QUEUE_APPEND_FLAGS
                                                                        : QUEUE_CREATE_FLAGS;
    while (fd < 0) {
        bool raceLeft = ++races < WRITE_RACES;

        fd = OpenQueueFile(eaFd, SZ_QUEUE_NAME, flags);
        if (fd < 0) {
            err = errno;
            // Another writer created the queue first, or the daemon took it between the look
            // and the open: try again at once, now as an append or as a create.
            if (err == EEXIST && (flags & O_CREAT) && raceLeft) {
                flags = QUEUE_APPEND_FLAGS;
                continue;
            }
            if (err == ENOENT && !(flags & O_CREAT) && raceLeft) {
                flags = QUEUE_CREATE_FLAGS;
                continue;
            }
            KAVOLOG(SZ_SOURCE, "open(%s, %d) failed, reason=%m", SZF_LUMORA_QUEUE, flags);
            if (err == EACCES && ++attempts < WRITE_ATTEMPTS) {
                sleep(OPEN_RETRY_SECONDS);
                continue;
            }
            goto out;
        }
        // The file made here may take other writers' lines before this one gets the lock: it
        // writes at the end like them, not over their lines at the start.
        if ((flags & O_CREAT) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND) != 0) {
            KAVOLOG(SZ_SOURCE, "fcntl(%s, O_APPEND) failed, reason=%m", SZF_LUMORA_QUEUE);
            goto out;
        }
        if (LockQueue(&fd, eaFd) != 0) {
            goto out;
        }
        // When the daemon took the queue while this writer waited, a line written now could
        // reach the working copy after the daemon has read it, and be lost.
        if (fd < 0) {
            if (!raceLeft) {
                KAVOLOG(SZ_SOURCE, "%s was taken by the daemon each time its lock was granted",
                        SZF_LUMORA_QUEUE);
                goto out;
            }
            flags = QUEUE_CREATE_FLAGS;
        }
    }

    ret = AppendLine(fd, entry, line, entryLen + 1);

out:
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
    close(eaFd);
    return ret;
}

// Appends the line to the locked queue unless the very same line is there already. 0 or -1.
static int AppendLine(int fd, const char *entry, const char *line, size_t lineLen) {
    char found[QUEUE_LINE_SIZE];
    char selfPath[64];
    struct stat st;
    int err = 0;

    // The lookup reads the file opened, not the name again.
    if (VLIBCStrPrintf(selfPath, sizeof(selfPath), "/proc/self/fd/%d", fd) != 0) {
        KAVOLOG(SZ_SOURCE, "Cannot name descriptor %d of %s", fd, SZF_LUMORA_QUEUE);
        return -1;
    }
    memset(found, 0, sizeof(found));
    if (VLIBCFileGetLine(selfPath, entry, found, sizeof(found), VLIBC_FILE_GETLINE_PREFIX) > 0 &&
        strlen(found) == lineLen - 1) {
        return 0;
    }
    if (fstat(fd, &st) != 0) {
        KAVOLOG(SZ_SOURCE, "fstat(%s) failed, reason=%m", SZF_LUMORA_QUEUE);
        return -1;
    }
    ssize_t written = write(fd, line, lineLen);
    if (written == (ssize_t)lineLen) {
        return 0;
    }
    err = written < 0 ? errno : ENOSPC;
    // A torn line would run into the next writer's line: cut it off again.
    if (written > 0 && ftruncate(fd, st.st_size) != 0) {
        KAVOLOG(SZ_SOURCE, "ftruncate(%s) failed, reason=%m", SZF_LUMORA_QUEUE);
    }
    // The entry is at most ENTRY_MAX_LEN bytes: its length fits an int.
    errno = err;
    KAVOLOG(SZ_SOURCE, "Failed to write (%s, %d) into %s, reason=%m", entry, (int)(lineLen - 1),
            SZF_LUMORA_QUEUE);
    return -1;
}

// ---- Daemon start-up and stop ----------------------------------------------------------------

// Refuses a second daemon, detaches, takes the pid file, lowers the priority and installs the
// SIGTERM handler. The process that was started returns only once the daemon owns its pid file
// and is ready for "-k" (or failed): 1 there, 0 in the daemon, -1 (in the process started) when
// no daemon came of it, -2 when the handler could not be installed.
static int Daemon(void) {
    int pipeFd[2];
    int report = 0;
    int pidFd = -1;
    pid_t pid;

    if (VLIBCProcPidFileOwner(SZF_LUMORA_PID) > 0) {
        return -1;
    }
    // "Failed to become a daemon.(...)", without a blank before the reason, is kept as callers
    // expect it.
    if (pipe2(pipeFd, O_CLOEXEC) != 0) {
        KAVOLOG(SZ_SOURCE, "Failed to become a daemon.(%m)");
        return -1;
    }
    // As daemon(0, 0): a new session in the background, "/" as its folder, /dev/null on its
    // standard streams.
    pid = VLIBCProcForkEx(VLIBC_FORK_NEW_SESSION | VLIBC_FORK_CHDIR_ROOT | VLIBC_FORK_NULL_STDIO);
    if (pid < 0) {
        KAVOLOG(SZ_SOURCE, "Failed to become a daemon.(%m)");
        close(pipeFd[0]);
        close(pipeFd[1]);
        return -1;
    }
    if (pid > 0) {
        ssize_t got;

        close(pipeFd[1]);
        do {
            got = read(pipeFd[0], &report, sizeof(report));
        } while (got < 0 && errno == EINTR);
        close(pipeFd[0]);
        if (got != (ssize_t)sizeof(report)) {
            report = EIO;
        }
        if (report == 0) {
            return 1;
        }
        // No daemon came of it: that process ends before this one does.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (report == REPORT_NO_HANDLER) {
            return -2;
        }
        // Another daemon took the pid file first: a refused start like any other.
        if (report != EAGAIN) {
            errno = report;
            KAVOLOG(SZ_SOURCE, "Failed to become a daemon.(%m)");
        }
        return -1;
    }

    close(pipeFd[0]);
    // The lock lives as long as this process: its descriptor is never closed.
    pidFd = VLIBCProcPidFileLock(SZF_LUMORA_PID);
    if (pidFd < 0) {
        report = errno;
    } else {
        // Only the worker runs matter; a failure here changes nothing else.
        (void)setpriority(PRIO_PROCESS, 0, DAEMON_NICE);
        if (signal(SIGTERM, StopDaemon) == SIG_ERR) {
            KAVOLOG(SZ_SOURCE, "signal(SIGTERM, StopDaemon) failed.");
            unlink(SZF_LUMORA_PID);
            report = REPORT_NO_HANDLER;
        }
    }
    if (write(pipeFd[1], &report, sizeof(report)) != (ssize_t)sizeof(report) || report != 0) {
        _exit(report == REPORT_NO_HANDLER ? 1 : 0);
    }
    close(pipeFd[1]);
    return 0;
}

// SIGTERM: the pid file goes, the daemon ends. A running worker is left alone.
static void StopDaemon(int sig) {
    (void)sig;
    unlink(SZF_LUMORA_PID);
    _exit(0);
}

// ---- One queue pass --------------------------------------------------------------------------

// Consumes the working copy, taking the queue as the working copy first unless a working copy is
// still there. 1 when a working copy was consumed, 0 when there was nothing to do or it could not
// be opened.
static int ProcessQueue(void) {
    char line[QUEUE_LINE_SIZE];
    struct stat st;
    FILE *fp = nullptr;
    bool haveWorkCopy = false;
    int eaFd = -1;
    int fd = -1;
    int rc = 0;
    int ret = 0;

    // A queue folder that cannot be reached without a link holds no queue.
    if ((eaFd = OpenQueueDir(false)) < 0) {
        return 0;
    }
    haveWorkCopy = fstatat(eaFd, SZ_QUEUE_TMP_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!haveWorkCopy && fstatat(eaFd, SZ_QUEUE_NAME, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        goto out;
    }
    if (CountLiveWorkers(SZ_THUMB_PID_PATTERN) > 0) {
        goto out;
    }
    if (!haveWorkCopy) {
        TakeQueue(eaFd);
    }

    // Anything but a plain file (a folder, a link, a FIFO) cannot be read as a queue and would
    // never go.
    fd = OpenQueueFile(eaFd, SZ_QUEUE_TMP_NAME, O_RDONLY);
    if (fd >= 0 && !(fp = fdopen(fd, "r"))) {
        close(fd);
    }
    if (!fp) {
        RemoveWorkCopy(eaFd);
        // Names fopen and the constant, not the path: kept as callers expect it.
        KAVOLOG(SZ_SOURCE, "fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed");
        goto out;
    }

    while ((rc = ReadQueueLine(fp, line)) != EOF) {
        if (rc == 0) {
            DispatchLine(line);
        }
    }
    unlinkat(eaFd, SZ_QUEUE_TMP_NAME, 0);
    ret = 1;

out:
    if (fp) {
        // Read only: closing it loses nothing.
        (void)fclose(fp);
    }
    close(eaFd);
    return ret;
}

// Renames the queue to the working copy while holding the writers' lock on it, so that every
// line is either in the file renamed or goes to a queue made afresh.
static void TakeQueue(int eaFd) {
    int lockFd = -1;

    for (int attempt = 1; attempt <= TAKE_ATTEMPTS && lockFd < 0; attempt++) {
        lockFd = OpenQueueFile(eaFd, SZ_QUEUE_NAME, O_RDONLY);
        if (lockFd < 0) {
            if (errno == ENOENT) {
                goto out;
            }
            // No writer uses a queue that is no plain file: it goes unlocked as it is, and the
            // pass removes it. Any other failure leaves the queue to the next pass.
            if (errno == ELOOP || errno == EINVAL || errno == EMLINK) {
                break;
            }
            KAVOLOG(SZ_SOURCE, "Failed to open %s for its lock (%m)", SZF_LUMORA_QUEUE);
            goto out;
        }
        // "-r" may have deleted the file meanwhile and a writer begun a new one.
        if (LockQueue(&lockFd, eaFd) != 0 || (lockFd < 0 && attempt == TAKE_ATTEMPTS)) {
            goto out;
        }
    }
    for (int attempt = 1; attempt <= RENAME_ATTEMPTS; attempt++) {
        if (renameat(eaFd, SZ_QUEUE_NAME, eaFd, SZ_QUEUE_TMP_NAME) == 0) {
            break;
        }
        // Names the constants, not the paths: kept as callers expect it.
        KAVOLOG(SZ_SOURCE, "rename(SZF_LUMORA_QUEUE, SZF_LUMORA_QUEUE_TMP) failed! errno=%d",
                errno);
    }

out:
    if (lockFd >= 0) {
        flock(lockFd, LOCK_UN);
        close(lockFd);
    }
}

// Removes a working copy that cannot be read, whatever it is, by force. The command reaches it
// through the folder this process opened, so that a link put in place of "@eaDir" meanwhile
// cannot lead it anywhere else.
static void RemoveWorkCopy(int eaFd) {
    char path[KAVO_PATH_SIZE];

    if (VLIBCStrPrintf(path, sizeof(path), "/proc/%d/fd/%d/%s", (int)getpid(), eaFd,
                       SZ_QUEUE_TMP_NAME) != 0) {
        KAVOLOG(SZ_SOURCE, "Cannot name %s beneath descriptor %d", SZ_QUEUE_TMP_NAME, eaFd);
        return;
    }
    KAVOUtils::ProcessRunner rm("rm", "rm", "-rf", path);
    rm.run(true, false);
}

// Reads the next line into line (QUEUE_LINE_SIZE bytes), without its newline. 0: a line to
// dispatch; 1: a line of 4096 bytes or more, newline included, read to its end and to be skipped;
// EOF at the end of the file. Only the first bytes of a long line are kept, whatever its length.
static int ReadQueueLine(FILE *fp, char *line) {
    size_t len = 0;
    bool tooLong = false;
    bool readAny = false;
    int c;

    while ((c = getc_unlocked(fp)) != EOF) {
        readAny = true;
        if (c == '\n') {
            // The newline counts towards the line's length.
            if (len + 1 > QUEUE_LINE_MAX_LEN) {
                tooLong = true;
            }
            break;
        }
        if (len < QUEUE_LINE_MAX_LEN) {
            line[len++] = (char)c;
        } else {
            tooLong = true;
        }
    }
    if (!readAny) {
        return EOF;
    }
    line[len] = '\0';
    return tooLong ? 1 : 0;
}

// Runs the worker of one request line (newline already dropped).
static void DispatchLine(char *line) {
    size_t lineLen = strlen(line);
    // The payload starts after the type letter and the separator; a shorter line has none.
    char *payload = line + (lineLen < 2 ? lineLen : 2);
    char *first = nullptr;
    char *last = nullptr;

    switch (line[0]) {
        case 'F':
            RunFaceRecognition(payload);
            return;
        case 'R':
        case 'W':
        case 'w':
        case 'r':
        case 'U':
        case 'u':
            break;
        default:
            KAVOLOG(SZ_SOURCE, "Unknown parameter: %s", line);
            return;
    }

    // Watermark requests: the wait comes first, also for a line that is dropped below.
    WaitForWorkers(SZ_WATERMARK_PID_PATTERN, WATERMARK_POLL_SECONDS);
    switch (line[0]) {
        case 'R':
            VLIBCExec(SZF_WATERMARK_WORKER, "-R", payload, nullptr, nullptr);
            break;
        case 'W':
            VLIBCExec(SZF_WATERMARK_WORKER, "-A", payload, nullptr, nullptr);
            break;
        case 'w':
            if (!(last = strrchr(payload, '/'))) {
                break;
            }
            *last = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, "-a", payload, last + 1, nullptr);
            break;
        case 'r':
        case 'U':
            if (!(first = strchr(payload, '/'))) {
                break;
            }
            *first = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, line[0] == 'r' ? "-r" : "-U", payload, first + 1,
                      nullptr);
            break;
        case 'u':
            first = strchr(payload, '/');
            last = strrchr(payload, '/');
            if (!first || first == last) {
                break;
            }
            *first = '\0';
            *last = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, "-u", payload, first + 1, last + 1);
            break;
    }
}

// Returns once no live worker of the kind is left, testing every few seconds.
static void WaitForWorkers(const char *pattern, unsigned int seconds) {
    while (CountLiveWorkers(pattern) > 0) {
        sleep(seconds);
    }
}

// Counts the live workers whose pid files match the pattern; deletes the files of workers that
// are gone. The process id is the run of digits after the first "." of the path. A number that
// now belongs to a process which is not that worker (the worker ended without its file, and the
// number went to another process) is as stale as a number nobody has: left alone, such a file
// would hold every request back for as long as that other process lives.
static int CountLiveWorkers(const char *pattern) {
    glob_t matches;
    int live = 0;

    memset(&matches, 0, sizeof(matches));
    if (glob(pattern, 0, nullptr, &matches) != 0) {
        globfree(&matches);
        return 0;
    }
    for (size_t i = 0; i < matches.gl_pathc; i++) {
        const char *path = matches.gl_pathv[i];
        const char *dot = strchr(path, '.');
        int64_t pid = 0;

        if (!dot) {
            continue;
        }
        // Digits only: no sign, no blanks, nothing past the range of a process id (a pid of -1
        // would probe every process there is).
        for (const char *digit = dot + 1; *digit >= '0' && *digit <= '9'; digit++) {
            pid = pid * 10 + (*digit - '0');
            if (pid > INT32_MAX) {
                pid = 0;
                break;
            }
        }
        if (pid <= 0) {
            continue;
        }
        if (kill((pid_t)pid, 0) != 0 && errno != EPERM) {
            if (unlink(path) != 0 && errno != ENOENT) {
                LogStaleOnce(path, "cannot be removed", errno);
            }
            continue;
        }
        // The worker's name is the file's name up to its first ".".
        const char *name = strrchr(path, '/');
        std::string worker(name ? name + 1 : path, dot);
        if (IsWorkerProcess((pid_t)pid, worker.c_str())) {
            live++;
            continue;
        }
        // Logged: unlike a file whose process is gone, this one held requests back.
        if (unlink(path) != 0 && errno != ENOENT) {
            LogStaleOnce(path, "names a process that is not its worker; cannot be removed", errno);
        } else {
            LogStaleOnce(path, "named a process that is not its worker: removed", 0);
        }
    }
    globfree(&matches);
    return live;
}

// The text of a small /proc file of the process ("" when it cannot be read).
static std::string ReadProcFile(pid_t pid, const char *what) {
    char procPath[64];
    char chunk[4096];
    std::string text;
    ssize_t got;
    int fd;

    if (VLIBCStrPrintf(procPath, sizeof(procPath), "/proc/%d/%s", (int)pid, what) != 0 ||
        (fd = open(procPath, O_RDONLY | O_CLOEXEC)) < 0) {
        return text;
    }
    while ((got = read(fd, chunk, sizeof(chunk))) > 0 && text.size() < 16 * sizeof(chunk)) {
        text.append(chunk, (size_t)got);
    }
    close(fd);
    return text;
}

// True when the name (a command name or a program path) names the worker: its last component
// begins with the worker's name ("watermark", "watermark.php").
static bool NamesWorker(const std::string &name, const char *worker) {
    size_t slash = name.rfind('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);

    return !base.empty() && base.compare(0, strlen(worker), worker) == 0;
}

// Whether the live process is the worker of that name: its command name (from stat, which the
// kernel cuts at 15 bytes), its program or, for a program run by an interpreter or an emulator,
// the first argument names it. A live process that cannot be read counts as the worker: in
// doubt, wait.
static bool IsWorkerProcess(pid_t pid, const char *worker) {
    std::string stat = ReadProcFile(pid, "stat");
    std::string cmdline = ReadProcFile(pid, "cmdline");
    size_t first = stat.find('(');
    size_t last = stat.rfind(')');

    if (first == std::string::npos || last == std::string::npos || last < first) {
        return kill(pid, 0) == 0 || errno == EPERM;
    }
    std::string comm = stat.substr(first + 1, last - first - 1);
    if (NamesWorker(comm, worker) || (strlen(worker) > 15 && comm == std::string(worker, 15))) {
        return true;
    }
    std::vector<std::string> args;
    for (size_t at = 0; at < cmdline.size() && args.size() < 2;) {
        size_t end = cmdline.find('\0', at);
        end = end == std::string::npos ? cmdline.size() : end;
        args.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    for (const std::string &arg : args) {
        if (NamesWorker(arg, worker)) {
            return true;
        }
    }
    return false;
}

// Logs a stale pid file once (err: the errno of a failed removal, or 0): the daemon counts the
// same files every few seconds.
static void LogStaleOnce(const char *path, const char *why, int err) {
    static std::string lastLogged;
    std::string key = std::string(path) + "\n" + why;

    if (key == lastLogged) {
        return;
    }
    lastLogged = key;
    if (err != 0) {
        errno = err;
        KAVOLOG(SZ_SOURCE, "Stale pid file %s %s (%m)", path, why);
    } else {
        KAVOLOG(SZ_SOURCE, "Stale pid file %s %s", path, why);
    }
}

// ---- The face-recognition walk ---------------------------------------------------------------

// Runs the face-recognition worker for the path, or for every photo file found under it.
static void RunFaceRecognition(const char *path) {
    char walkPath[KAVO_PATH_SIZE];

    if (!path) {
        return;
    }
    if (VLIBCStrCopy(walkPath, sizeof(walkPath), path) != 0) {
        KAVOLOG(SZ_SOURCE, "Skipped a path longer than %d bytes: %.200s", PATH_MAX_LEN, path);
        return;
    }
    WalkPath(walkPath, strlen(walkPath), nullptr);
}

// One step of the walk. path is the walk's single path buffer of KAVO_PATH_SIZE bytes holding
// pathLen bytes; the names of a folder's entries are appended to it in turn and cut off again.
static void WalkPath(char *path, size_t pathLen, const WalkFolder *parent) {
    struct stat st;

    if (IsSkippedName(path)) {
        return;
    }
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        WalkFolder folder = {st.st_dev, st.st_ino, parent ? parent->depth + 1 : 1, parent};
        struct dirent *ent = nullptr;
        DIR *dir = nullptr;

        // Symbolic links are followed: a link back to a folder on the way down would loop.
        for (const WalkFolder *up = parent; up; up = up->parent) {
            if (up->dev == st.st_dev && up->ino == st.st_ino) {
                KAVOLOG(SZ_SOURCE, "Skipped %s: it leads back to a folder being walked", path);
                return;
            }
        }
        if (!(dir = opendir(path))) {
            // The blank at the end is kept as callers expect it.
            KAVOLOG(SZ_SOURCE, "Failed to open directory %s ", path);
            return;
        }
        if (folder.depth <= WALK_OPEN_FOLDERS) {
            while ((ent = readdir(dir))) {
                WalkEntry(path, pathLen, ent->d_name, &folder);
            }
            closedir(dir);
            return;
        }
        // Deeper down the folder is read whole first, so that it is closed while the walk goes
        // on below it.
        std::vector<std::string> names;
        while ((ent = readdir(dir))) {
            if (!IsSkippedName(ent->d_name)) {
                names.emplace_back(ent->d_name);
            }
        }
        closedir(dir);
        for (const std::string &name : names) {
            WalkEntry(path, pathLen, name.c_str(), &folder);
        }
        return;
    }

    if (!IsPhotoFile(path)) {
        return;
    }
    WaitForWorkers(SZ_FACE_PID_PATTERN, FACE_POLL_SECONDS);
    char *argv[] = {(char *)SZF_FACE_WORKER, (char *)"-F", path, nullptr};
    VLIBCExecv(SZF_FACE_WORKER, argv, 1);
}

// Walks one entry of the folder that path (pathLen bytes) names.
static void WalkEntry(char *path, size_t pathLen, const char *name, const WalkFolder *folder) {
    size_t nameLen = strlen(name);

    if (IsSkippedName(name)) {
        return;
    }
    if (pathLen + 1 + nameLen > PATH_MAX_LEN) {
        KAVOLOG(SZ_SOURCE, "Skipped %s/%s: the path is longer than %d bytes", path, name,
                PATH_MAX_LEN);
        return;
    }
    path[pathLen] = '/';
    memcpy(path + pathLen + 1, name, nameLen + 1);
    WalkPath(path, pathLen + 1 + nameLen, folder);
    path[pathLen] = '\0';
}

// True when the text after the last "." of the path is one of the photo extensions.
static bool IsPhotoFile(const char *path) {
    const char *dot = strrchr(path, '.');

    if (!dot) {
        return false;
    }
    for (const char *ext : photoExtensions) {
        if (strcasecmp(dot + 1, ext) == 0) {
            return true;
        }
    }
    return false;
}

// True for the names the walk leaves out, judged on the last component of the path.
static bool IsSkippedName(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;

    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, "#recycle") == 0 ||
           strcmp(name, "#snapshot") == 0 || KAVOEAIsHiddenDir(name) != 0;
}

// ---- main ------------------------------------------------------------------------------------

int main(int argc, char **argv) {
    // The log's socket is opened now: a message must still get out when the process has run out
    // of descriptors.
    openlog(SZ_SOURCE, LOG_PID | LOG_NDELAY, LOG_DAEMON);

    if (argc == 2) {
        if (strcmp(argv[1], SZ_OPT_KILL) == 0) {
            if (VLIBCProcSignalByPidFile(SZF_LUMORA_PID, SIGTERM) < 0) {
                KAVOLOG(SZ_SOURCE, "VLIBCProcSignalByPidFile() failed.");
            }
        } else if (strcmp(argv[1], SZ_OPT_RESET) == 0) {
            int eaFd = OpenQueueDir(false);
            if (eaFd >= 0) {
                unlinkat(eaFd, SZ_QUEUE_TMP_NAME, 0);
                unlinkat(eaFd, SZ_QUEUE_NAME, 0);
                close(eaFd);
            }
        }
        return 0;
    }
    if (argc == 3) {
        if (strcmp(argv[1], SZ_OPT_ADD) == 0 && WriteQueue(argv[2]) < 0) {
            KAVOLOG(SZ_SOURCE, "WriteQueue() failed.");
        }
        return 0;
    }

    // No arguments, or three or more: daemon mode.
    switch (Daemon()) {
        case 1:
            // The process started: the daemon runs on in the background.
            return 0;
        case -1:
            // Also for a start refused because a daemon runs: kept as callers expect it.
            KAVOLOG(SZ_SOURCE, "Daemon() failed.");
            return 0;
        case -2:
            return 1;
        default:
            break;
    }

    // Left-overs of an interrupted pass first, then what was queued while the daemon was away.
    if (QueueFileExists(SZ_QUEUE_TMP_NAME)) {
        ProcessQueue();
    }
    if (QueueFileExists(SZ_QUEUE_NAME)) {
        ProcessQueue();
    }
    for (;;) {
        sleep(IDLE_SECONDS);
        while (ProcessQueue() != 0) {
        }
    }
}
