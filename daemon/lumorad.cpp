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
#define LUMORA_LOG(fmt, ...) KAVOLOG(SZ_SOURCE, fmt, ##__VA_ARGS__)

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

// Paths of the walk fit 4096-byte buffers: at most 4095 bytes.
#define PATH_BUF_SIZE 4096
#define PATH_MAX_LEN (PATH_BUF_SIZE - 1)
// Queue lines travel through 4097-byte buffers; the daemon accepts a line of at most 4095 bytes,
// newline included, so an entry may hold at most 4094 bytes.
#define LINE_BUF_SIZE 4097
#define LINE_MAX_LEN 4095
#define ENTRY_MAX_LEN (LINE_MAX_LEN - 1)

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
#define IDLE_SECONDS 20
#define FACE_POLL_SECONDS 5
#define WATERMARK_POLL_SECONDS 3
#define OPEN_RETRY_SECONDS 1

// Photo extensions of the face-recognition walk, compared ignoring ASCII case, in this order.
static const char *const rgszPhotoExt[] = {
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
    const WalkFolder *pParent;
};

static int OpenQueueDir(bool blCreate);
static int OpenQueueFile(int eaFd, const char *szName, int flags);
static bool IsSameFile(int fd, int dirFd, const char *szName);
static int WriteQueue(const char *szEntry);
static int AppendLine(int fd, const char *szEntry, const char *szLine, size_t cchLine);
static int Daemon(void);
static void StopDaemon(int sig);
static int ProcessQueue(void);
static void TakeQueue(int eaFd);
static void RemoveWorkCopy(int eaFd);
static int ReadQueueLine(FILE *fp, char *szLine);
static void DispatchLine(char *szLine);
static void WaitForWorkers(const char *szPattern, unsigned int seconds);
static int CountLiveWorkers(const char *szPattern);
static std::string ReadProcFile(pid_t pid, const char *szWhat);
static bool NamesWorker(const std::string &name, const char *szWorker);
static bool IsWorkerProcess(pid_t pid, const char *szWorker);
static void LogStaleOnce(const char *szPath, const char *szWhy, int err);
static void RunFaceRecognition(const char *szPath);
static void WalkPath(char *szPath, size_t cchPath, const WalkFolder *pParent);
static void WalkEntry(char *szPath, size_t cchPath, const char *szName, const WalkFolder *pFolder);
static bool IsPhotoFile(const char *szPath);
static bool IsSkippedName(const char *szPath);
static bool QueueFileExists(const char *szName);

// ---- The queue files -------------------------------------------------------------------------

// Opens the queue folder "@eaDir" beneath the photo share's service path without following a
// link there; with blCreate, makes it when it is missing. The share itself is never made. Folder
// descriptor, or -1 with errno set.
static int OpenQueueDir(bool blCreate) {
    int rootFd = KAVOPathOpenRoot(SZD_PHOTO_SERVICE);
    int fd = -1;
    int err = 0;

    if (rootFd < 0) {
        return -1;
    }
    fd = KAVOPathOpenAt(rootFd, SZ_EADIR_NAME, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0 && errno == ENOENT && blCreate) {
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
static int OpenQueueFile(int eaFd, const char *szName, int flags) {
    struct stat st;
    int fd = KAVOFileOpenRegular(eaFd, szName, flags | O_NOFOLLOW, QUEUE_MODE);

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

// True when the open file is still the one that szName names in the folder.
static bool IsSameFile(int fd, int dirFd, const char *szName) {
    struct stat stFd;
    struct stat stName;

    return fstat(fd, &stFd) == 0 && fstatat(dirFd, szName, &stName, AT_SYMLINK_NOFOLLOW) == 0 &&
           stFd.st_dev == stName.st_dev && stFd.st_ino == stName.st_ino;
}

// ---- The client: "-a" ----------------------------------------------------------------------

// Appends one request line to the queue. 0 on success (also when the very same line is already
// queued), -1 on failure.
static int WriteQueue(const char *szEntry) {
    char szLine[LINE_BUF_SIZE];
    struct stat st;
    size_t cchEntry = 0;
    int attempts = 0;
    int races = 0;
    int flags = 0;
    int eaFd = -1;
    int fd = -1;
    int err = 0;
    int ret = -1;

    if (!szEntry) {
        LUMORA_LOG("Bad parameter.");
        return -1;
    }
    // A line break would turn one entry into two requests, the second one chosen by whoever
    // wrote the entry; an entry that does not leave room for its newline within a line the
    // daemon accepts would be written and then skipped.
    if (strchr(szEntry, '\n')) {
        LUMORA_LOG("Bad parameter: the entry holds a line break.");
        return -1;
    }
    cchEntry = strlen(szEntry);
    if (cchEntry > ENTRY_MAX_LEN) {
        LUMORA_LOG("Bad parameter: an entry of %zu bytes is longer than %d bytes.", cchEntry,
                   ENTRY_MAX_LEN);
        return -1;
    }
    if (VLIBCStrPrintf(szLine, sizeof(szLine), "%s\n", szEntry) != 0) {
        LUMORA_LOG("Bad parameter: the entry does not fit a queue line.");
        return -1;
    }

    if ((eaFd = OpenQueueDir(true)) < 0) {
        if (stat(SZD_PHOTO_SERVICE, &st) != 0 || !S_ISDIR(st.st_mode)) {
            LUMORA_LOG("No photo share at %s (%m)", SZD_PHOTO_SERVICE);
        } else {
            LUMORA_LOG("Cannot open %s beneath %s (%m)", SZ_EADIR_NAME, SZD_PHOTO_SERVICE);
        }
        LUMORA_LOG("Make ea dir path error. eaDir path: %s", SZD_PHOTO_EADIR);
        return -1;
    }

    flags = fstatat(eaFd, SZ_QUEUE_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0 ? QUEUE_APPEND_FLAGS
                                                                        : QUEUE_CREATE_FLAGS;
    while (fd < 0) {
        bool blRaceLeft = ++races < WRITE_RACES;

        fd = OpenQueueFile(eaFd, SZ_QUEUE_NAME, flags);
        // The file made here may take other writers' lines before this one gets the lock: it
        // writes at the end like them, not over their lines at the start.
        if (fd >= 0 && (flags & O_CREAT) &&
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND) != 0) {
            err = errno;
            LUMORA_LOG("fcntl(%s, O_APPEND) failed, reason=%s", SZF_LUMORA_QUEUE, strerror(err));
            close(fd);
            close(eaFd);
            return -1;
        }
        if (fd < 0) {
            err = errno;
            // Another writer created the queue first, or the daemon took it between the look
            // and the open: try again at once, now as an append or as a create.
            if (err == EEXIST && (flags & O_CREAT) && blRaceLeft) {
                flags = QUEUE_APPEND_FLAGS;
                continue;
            }
            if (err == ENOENT && !(flags & O_CREAT) && blRaceLeft) {
                flags = QUEUE_CREATE_FLAGS;
                continue;
            }
            LUMORA_LOG("open(%s, %d) failed, reason=%s\n", SZF_LUMORA_QUEUE, flags, strerror(err));
            if (err == EACCES && ++attempts < WRITE_ATTEMPTS) {
                sleep(OPEN_RETRY_SECONDS);
                continue;
            }
            close(eaFd);
            return -1;
        }
        if (flock(fd, LOCK_EX) != 0) {
            err = errno;
            LUMORA_LOG("Failed to lock file descriptor of %s, reason=%s", SZF_LUMORA_QUEUE,
                       strerror(err));
            close(fd);
            close(eaFd);
            return -1;
        }
        // The daemon renames the queue to its working copy under this lock. When that happened
        // while this writer waited, the open file is no longer the queue: a line written now
        // could reach the working copy after the daemon has read it, and be lost.
        if (!IsSameFile(fd, eaFd, SZ_QUEUE_NAME)) {
            flock(fd, LOCK_UN);
            close(fd);
            fd = -1;
            if (!blRaceLeft) {
                LUMORA_LOG("%s was taken by the daemon each time its lock was granted",
                           SZF_LUMORA_QUEUE);
                close(eaFd);
                return -1;
            }
            flags = QUEUE_CREATE_FLAGS;
        }
    }
    close(eaFd);

    ret = AppendLine(fd, szEntry, szLine, cchEntry + 1);
    flock(fd, LOCK_UN);
    close(fd);
    return ret;
}

// Appends the line to the locked queue unless the very same line is there already. 0 or -1.
static int AppendLine(int fd, const char *szEntry, const char *szLine, size_t cchLine) {
    char szFound[LINE_BUF_SIZE];
    char szSelf[64];
    struct stat st;
    int err = 0;

    // The lookup reads the file opened, not the name again.
    if (VLIBCStrPrintf(szSelf, sizeof(szSelf), "/proc/self/fd/%d", fd) != 0) {
        return -1;
    }
    memset(szFound, 0, sizeof(szFound));
    if (VLIBCFileGetLine(szSelf, szEntry, szFound, sizeof(szFound), VLIBC_FILE_GETLINE_PREFIX) >
            0 &&
        strlen(szFound) == cchLine - 1) {
        return 0;
    }
    if (fstat(fd, &st) != 0) {
        LUMORA_LOG("fstat(%s) failed, reason=%m", SZF_LUMORA_QUEUE);
        return -1;
    }
    ssize_t cbWritten = write(fd, szLine, cchLine);
    if (cbWritten == (ssize_t)cchLine) {
        return 0;
    }
    err = cbWritten < 0 ? errno : ENOSPC;
    // A torn line would run into the next writer's line: cut it off again.
    if (cbWritten > 0 && ftruncate(fd, st.st_size) != 0) {
        LUMORA_LOG("ftruncate(%s) failed, reason=%m", SZF_LUMORA_QUEUE);
    }
    LUMORA_LOG("Failed to write (%s, %d) into %s, reason=%s", szEntry, (int)(cchLine - 1),
               SZF_LUMORA_QUEUE, strerror(err));
    return -1;
}

// ---- Daemon start-up and stop ------------------------------------------------------------------

// What the new daemon reports to the process that started it: 0 (running), an errno (no daemon:
// EAGAIN when another one owns the pid file), or this value when the SIGTERM handler failed.
#define REPORT_NO_HANDLER (-1)

// Refuses a second daemon, detaches, takes the pid file, lowers the priority and installs the
// SIGTERM handler. The process that was started returns only once the daemon owns its pid file
// and is ready for "-k" (or failed): 1 there, 0 in the daemon, -1 (in the process started) when
// no daemon came of it, -2 when the handler could not be installed.
static int Daemon(void) {
    int pipeFd[2];
    int report = 0;
    int fdPid = -1;
    pid_t pid;

    if (VLIBCProcPidFileOwner(SZF_LUMORA_PID) > 0) {
        return -1;
    }
    if (pipe2(pipeFd, O_CLOEXEC) != 0) {
        LUMORA_LOG("Failed to become a daemon.(%s)", strerror(errno));
        return -1;
    }
    // As daemon(0, 0): a new session in the background, "/" as its folder, /dev/null on its
    // standard streams.
    pid = VLIBCProcForkEx(VLIBC_FORK_NEW_SESSION | VLIBC_FORK_CHDIR_ROOT | VLIBC_FORK_NULL_STDIO);
    if (pid < 0) {
        LUMORA_LOG("Failed to become a daemon.(%s)", strerror(errno));
        close(pipeFd[0]);
        close(pipeFd[1]);
        return -1;
    }
    if (pid > 0) {
        ssize_t n;

        close(pipeFd[1]);
        do {
            n = read(pipeFd[0], &report, sizeof(report));
        } while (n < 0 && errno == EINTR);
        close(pipeFd[0]);
        if (n != (ssize_t)sizeof(report)) {
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
            LUMORA_LOG("Failed to become a daemon.(%s)", strerror(report));
        }
        return -1;
    }

    close(pipeFd[0]);
    // The lock lives as long as this process: its descriptor is never closed.
    fdPid = VLIBCProcPidFileLock(SZF_LUMORA_PID);
    if (fdPid < 0) {
        report = errno;
    } else {
        // Only the worker runs matter; a failure here changes nothing else.
        (void)setpriority(PRIO_PROCESS, 0, DAEMON_NICE);
        if (signal(SIGTERM, StopDaemon) == SIG_ERR) {
            LUMORA_LOG("signal(SIGTERM, StopDaemon) failed.");
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

// ---- One queue pass
// ------------------------------------------------------------------------------

// Consumes the working copy, taking the queue as the working copy first unless a working copy is
// still there. 1 when a working copy was consumed, 0 when there was nothing to do or it could not
// be opened.
static int ProcessQueue(void) {
    char szLine[LINE_BUF_SIZE];
    struct stat st;
    FILE *fp = nullptr;
    bool blWorkCopy = false;
    int eaFd = -1;
    int fd = -1;
    int rc = 0;

    // A queue folder that cannot be reached without a link holds no queue.
    if ((eaFd = OpenQueueDir(false)) < 0) {
        return 0;
    }
    blWorkCopy = fstatat(eaFd, SZ_QUEUE_TMP_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!blWorkCopy && fstatat(eaFd, SZ_QUEUE_NAME, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        close(eaFd);
        return 0;
    }
    if (CountLiveWorkers(SZ_THUMB_PID_PATTERN) > 0) {
        close(eaFd);
        return 0;
    }
    if (!blWorkCopy) {
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
        LUMORA_LOG("fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed");
        close(eaFd);
        return 0;
    }

    while ((rc = ReadQueueLine(fp, szLine)) != EOF) {
        if (rc == 0) {
            DispatchLine(szLine);
        }
    }

    unlinkat(eaFd, SZ_QUEUE_TMP_NAME, 0);
    fclose(fp);
    close(eaFd);
    return 1;
}

// Renames the queue to the working copy while holding the writers' lock on it, so that every
// line is either in the file renamed or goes to a queue made afresh.
static void TakeQueue(int eaFd) {
    int fdLock = -1;

    for (int attempt = 1; attempt <= TAKE_ATTEMPTS && fdLock < 0; attempt++) {
        fdLock = OpenQueueFile(eaFd, SZ_QUEUE_NAME, O_RDONLY);
        if (fdLock < 0) {
            if (errno == ENOENT) {
                return;
            }
            // No writer uses a queue that is no plain file: it goes as it is, and the pass
            // removes it. Any other failure leaves the queue to the next pass.
            if (errno == ELOOP || errno == EINVAL || errno == EMLINK) {
                break;
            }
            LUMORA_LOG("Failed to open %s for its lock (%m)", SZF_LUMORA_QUEUE);
            return;
        }
        if (flock(fdLock, LOCK_EX) != 0) {
            LUMORA_LOG("Failed to lock file descriptor of %s, reason=%m", SZF_LUMORA_QUEUE);
            close(fdLock);
            return;
        }
        // "-r" may have deleted the file meanwhile and a writer begun a new one.
        if (!IsSameFile(fdLock, eaFd, SZ_QUEUE_NAME)) {
            close(fdLock);
            fdLock = -1;
            if (attempt == TAKE_ATTEMPTS) {
                return;
            }
        }
    }
    for (int attempt = 1; attempt <= RENAME_ATTEMPTS; attempt++) {
        if (renameat(eaFd, SZ_QUEUE_NAME, eaFd, SZ_QUEUE_TMP_NAME) == 0) {
            break;
        }
        LUMORA_LOG("rename(SZF_LUMORA_QUEUE, SZF_LUMORA_QUEUE_TMP) failed! errno=%d", errno);
    }
    if (fdLock >= 0) {
        flock(fdLock, LOCK_UN);
        close(fdLock);
    }
}

// Removes a working copy that cannot be read, whatever it is, by force. The command reaches it
// through the folder this process opened, so that a link put in place of "@eaDir" meanwhile
// cannot lead it anywhere else.
static void RemoveWorkCopy(int eaFd) {
    char szPath[PATH_BUF_SIZE];

    if (VLIBCStrPrintf(szPath, sizeof(szPath), "/proc/%d/fd/%d/%s", (int)getpid(), eaFd,
                       SZ_QUEUE_TMP_NAME) != 0) {
        return;
    }
    KAVOUtils::ProcessRunner rm("rm", "rm", "-rf", szPath);
    rm.run(true, false);
}

// Reads the next line into szLine (LINE_BUF_SIZE bytes), without its newline. 0: a line to
// dispatch; 1: a line of 4096 bytes or more, newline included, read to its end and to be skipped;
// EOF at the end of the file. Only the first bytes of a long line are kept, whatever its length.
static int ReadQueueLine(FILE *fp, char *szLine) {
    size_t cch = 0;
    bool blTooLong = false;
    bool blAny = false;
    int c;

    while ((c = getc_unlocked(fp)) != EOF) {
        blAny = true;
        if (c == '\n') {
            // The newline counts towards the line's length.
            if (cch + 1 > LINE_MAX_LEN) {
                blTooLong = true;
            }
            break;
        }
        if (cch < LINE_MAX_LEN) {
            szLine[cch++] = (char)c;
        } else {
            blTooLong = true;
        }
    }
    if (!blAny) {
        return EOF;
    }
    szLine[cch] = '\0';
    return blTooLong ? 1 : 0;
}

// Runs the worker of one request line (newline already dropped).
static void DispatchLine(char *szLine) {
    size_t cchLine = strlen(szLine);
    // The payload starts after the type letter and the separator; a shorter line has none.
    char *szPayload = szLine + (cchLine < 2 ? cchLine : 2);
    char *szFirst = nullptr;
    char *szLast = nullptr;

    switch (szLine[0]) {
        case 'F':
            RunFaceRecognition(szPayload);
            return;
        case 'R':
        case 'W':
        case 'w':
        case 'r':
        case 'U':
        case 'u':
            break;
        default:
            LUMORA_LOG("Unknown parameter: %s", szLine);
            return;
    }

    // Watermark requests: the wait comes first, also for a line that is dropped below.
    WaitForWorkers(SZ_WATERMARK_PID_PATTERN, WATERMARK_POLL_SECONDS);
    switch (szLine[0]) {
        case 'R':
            VLIBCExec(SZF_WATERMARK_WORKER, "-R", szPayload, nullptr, nullptr);
            break;
        case 'W':
            VLIBCExec(SZF_WATERMARK_WORKER, "-A", szPayload, nullptr, nullptr);
            break;
        case 'w':
            if (!(szLast = strrchr(szPayload, '/'))) {
                break;
            }
            *szLast = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, "-a", szPayload, szLast + 1, nullptr);
            break;
        case 'r':
        case 'U':
            if (!(szFirst = strchr(szPayload, '/'))) {
                break;
            }
            *szFirst = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, szLine[0] == 'r' ? "-r" : "-U", szPayload, szFirst + 1,
                      nullptr);
            break;
        case 'u':
            szFirst = strchr(szPayload, '/');
            szLast = strrchr(szPayload, '/');
            if (!szFirst || szFirst == szLast) {
                break;
            }
            *szFirst = '\0';
            *szLast = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, "-u", szPayload, szFirst + 1, szLast + 1);
            break;
    }
}

// Returns once no live worker of the kind is left, testing every few seconds.
static void WaitForWorkers(const char *szPattern, unsigned int seconds) {
    while (CountLiveWorkers(szPattern) > 0) {
        sleep(seconds);
    }
}

// Counts the live workers whose pid files match the pattern; deletes the files of workers that
// are gone. The process id is the run of digits after the first "." of the path. A number that
// now belongs to a process which is not that worker (the worker ended without its file, and the
// number went to another process) is as stale as a number nobody has: left alone, such a file
// would hold every request back for as long as that other process lives.
static int CountLiveWorkers(const char *szPattern) {
    glob_t globbuf;
    int cLive = 0;

    memset(&globbuf, 0, sizeof(globbuf));
    if (glob(szPattern, 0, nullptr, &globbuf) != 0) {
        globfree(&globbuf);
        return 0;
    }
    for (size_t i = 0; i < globbuf.gl_pathc; i++) {
        const char *szPath = globbuf.gl_pathv[i];
        const char *szDot = strchr(szPath, '.');
        int64_t pid = 0;

        if (!szDot) {
            continue;
        }
        // Digits only: no sign, no blanks, nothing past the range of a process id (a pid of -1
        // would probe every process there is).
        for (const char *p = szDot + 1; *p >= '0' && *p <= '9'; p++) {
            pid = pid * 10 + (*p - '0');
            if (pid > INT32_MAX) {
                pid = 0;
                break;
            }
        }
        if (pid <= 0) {
            continue;
        }
        if (kill((pid_t)pid, 0) != 0 && errno != EPERM) {
            if (unlink(szPath) != 0 && errno != ENOENT) {
                LogStaleOnce(szPath, "cannot be removed", errno);
            }
            continue;
        }
        // The worker's name is the file's name up to its first ".".
        const char *szName = strrchr(szPath, '/');
        std::string worker(szName ? szName + 1 : szPath, szDot);
        if (IsWorkerProcess((pid_t)pid, worker.c_str())) {
            cLive++;
            continue;
        }
        // Logged: unlike a file whose process is gone, this one held requests back.
        if (unlink(szPath) != 0 && errno != ENOENT) {
            LogStaleOnce(szPath, "names a process that is not its worker; cannot be removed",
                         errno);
        } else {
            LogStaleOnce(szPath, "named a process that is not its worker: removed", 0);
        }
    }
    globfree(&globbuf);
    return cLive;
}

// The text of a small /proc file of the process ("" when it cannot be read).
static std::string ReadProcFile(pid_t pid, const char *szWhat) {
    char szPath[64];
    char buf[4096];
    std::string text;
    ssize_t n;
    int fd;

    if (VLIBCStrPrintf(szPath, sizeof(szPath), "/proc/%d/%s", (int)pid, szWhat) != 0 ||
        (fd = open(szPath, O_RDONLY | O_CLOEXEC)) < 0) {
        return text;
    }
    while ((n = read(fd, buf, sizeof(buf))) > 0 && text.size() < 16 * sizeof(buf)) {
        text.append(buf, (size_t)n);
    }
    close(fd);
    return text;
}

// True when the name (a command name or a program path) names the worker: its last component
// begins with the worker's name ("watermark", "watermark.php").
static bool NamesWorker(const std::string &name, const char *szWorker) {
    size_t slash = name.rfind('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);

    return !base.empty() && base.compare(0, strlen(szWorker), szWorker) == 0;
}

// Whether the live process is the worker of that name: its command name (from stat, which the
// kernel cuts at 15 bytes), its program or, for a program run by an interpreter or an emulator,
// the first argument names it. A live process that cannot be read counts as the worker: in
// doubt, wait.
static bool IsWorkerProcess(pid_t pid, const char *szWorker) {
    std::string stat = ReadProcFile(pid, "stat");
    std::string cmdline = ReadProcFile(pid, "cmdline");
    std::string worker(szWorker);
    size_t first = stat.find('(');
    size_t last = stat.rfind(')');

    if (first == std::string::npos || last == std::string::npos || last < first) {
        return kill(pid, 0) == 0 || errno == EPERM;
    }
    std::string comm = stat.substr(first + 1, last - first - 1);
    if (NamesWorker(comm, szWorker) || (worker.size() > 15 && comm == worker.substr(0, 15))) {
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
        if (NamesWorker(arg, szWorker)) {
            return true;
        }
    }
    return false;
}

// Logs a stale pid file once (err: the errno of a failed removal, or 0): the daemon counts the
// same files every few seconds.
static void LogStaleOnce(const char *szPath, const char *szWhy, int err) {
    static std::string lastLogged;
    std::string key = std::string(szPath) + "\n" + szWhy;

    if (key == lastLogged) {
        return;
    }
    lastLogged = key;
    if (err != 0) {
        LUMORA_LOG("Stale pid file %s %s (%s)", szPath, szWhy, strerror(err));
    } else {
        LUMORA_LOG("Stale pid file %s %s", szPath, szWhy);
    }
}

// ---- The face-recognition walk ------------------------------------------------------------------

// Runs the face-recognition worker for the path, or for every photo file found under it.
static void RunFaceRecognition(const char *szPath) {
    char szWalk[PATH_BUF_SIZE];

    if (!szPath) {
        return;
    }
    if (VLIBCStrCopy(szWalk, sizeof(szWalk), szPath) != 0) {
        LUMORA_LOG("Skipped a path longer than %d bytes: %.200s", PATH_MAX_LEN, szPath);
        return;
    }
    WalkPath(szWalk, strlen(szWalk), nullptr);
}

// One step of the walk. szPath is the walk's single path buffer of PATH_BUF_SIZE bytes holding
// cchPath bytes; the names of a folder's entries are appended to it in turn and cut off again.
static void WalkPath(char *szPath, size_t cchPath, const WalkFolder *pParent) {
    struct stat st;

    if (IsSkippedName(szPath)) {
        return;
    }
    if (stat(szPath, &st) == 0 && S_ISDIR(st.st_mode)) {
        WalkFolder folder = {st.st_dev, st.st_ino, pParent ? pParent->depth + 1 : 1, pParent};
        struct dirent *pEnt = nullptr;
        DIR *pDir = nullptr;

        // Symbolic links are followed: a link back to a folder on the way down would loop.
        for (const WalkFolder *p = pParent; p; p = p->pParent) {
            if (p->dev == st.st_dev && p->ino == st.st_ino) {
                LUMORA_LOG("Skipped %s: it leads back to a folder being walked", szPath);
                return;
            }
        }
        if (!(pDir = opendir(szPath))) {
            LUMORA_LOG("Failed to open directory %s ", szPath);
            return;
        }
        if (folder.depth <= WALK_OPEN_FOLDERS) {
            while ((pEnt = readdir(pDir))) {
                WalkEntry(szPath, cchPath, pEnt->d_name, &folder);
            }
            closedir(pDir);
            return;
        }
        // Deeper down the folder is read whole first, so that it is closed while the walk goes
        // on below it.
        std::vector<std::string> names;
        while ((pEnt = readdir(pDir))) {
            if (!IsSkippedName(pEnt->d_name)) {
                names.emplace_back(pEnt->d_name);
            }
        }
        closedir(pDir);
        for (const std::string &name : names) {
            WalkEntry(szPath, cchPath, name.c_str(), &folder);
        }
        return;
    }

    if (!IsPhotoFile(szPath)) {
        return;
    }
    WaitForWorkers(SZ_FACE_PID_PATTERN, FACE_POLL_SECONDS);
    char *argv[] = {(char *)SZF_FACE_WORKER, (char *)"-F", szPath, nullptr};
    VLIBCExecv(SZF_FACE_WORKER, argv, 1);
}

// Walks one entry of the folder that szPath (cchPath bytes) names.
static void WalkEntry(char *szPath, size_t cchPath, const char *szName, const WalkFolder *pFolder) {
    size_t cchName = strlen(szName);

    if (IsSkippedName(szName)) {
        return;
    }
    if (cchPath + 1 + cchName > PATH_MAX_LEN) {
        LUMORA_LOG("Skipped %s/%s: the path is longer than %d bytes", szPath, szName, PATH_MAX_LEN);
        return;
    }
    szPath[cchPath] = '/';
    memcpy(szPath + cchPath + 1, szName, cchName + 1);
    WalkPath(szPath, cchPath + 1 + cchName, pFolder);
    szPath[cchPath] = '\0';
}

// True when the text after the last "." of the path is one of the photo extensions.
static bool IsPhotoFile(const char *szPath) {
    const char *szDot = strrchr(szPath, '.');

    if (!szDot) {
        return false;
    }
    for (const char *szExt : rgszPhotoExt) {
        if (strcasecmp(szDot + 1, szExt) == 0) {
            return true;
        }
    }
    return false;
}

// True for the names the walk leaves out, judged on the last component of the path.
static bool IsSkippedName(const char *szPath) {
    const char *szSlash = strrchr(szPath, '/');
    const char *szName = szSlash ? szSlash + 1 : szPath;

    return strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0 ||
           strcmp(szName, "#recycle") == 0 || strcmp(szName, "#snapshot") == 0 ||
           KAVOEAIsHiddenDir(szName) != 0;
}

// True when the queue file is there, whatever it is (reached without a link).
static bool QueueFileExists(const char *szName) {
    struct stat st;
    int eaFd = OpenQueueDir(false);
    bool blThere = eaFd >= 0 && fstatat(eaFd, szName, &st, AT_SYMLINK_NOFOLLOW) == 0;

    if (eaFd >= 0) {
        close(eaFd);
    }
    return blThere;
}

// ---- main
// ----------------------------------------------------------------------------------------

int main(int argc, char **argv) {
    // The log's socket is opened now: a message must still get out when the process has run out
    // of descriptors.
    openlog(SZ_SOURCE, LOG_PID | LOG_NDELAY, LOG_DAEMON);

    if (argc == 2) {
        if (strcmp(argv[1], SZ_OPT_KILL) == 0) {
            if (VLIBCProcSignalByPidFile(SZF_LUMORA_PID, SIGTERM) < 0) {
                LUMORA_LOG("VLIBCProcSignalByPidFile() failed.");
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
            LUMORA_LOG("WriteQueue() failed.");
        }
        return 0;
    }

    // No arguments, or three or more: daemon mode.
    switch (Daemon()) {
        case 1:
            return 0;
        case -1:
            LUMORA_LOG("Daemon() failed.");
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
