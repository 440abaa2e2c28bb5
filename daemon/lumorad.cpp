// lumorad: the gallery's background daemon, and the client of its face queue.
//
//   lumorad              detaches, writes /var/run/lumorad.pid and, every 20 seconds, consumes
//                        the face queue: each request becomes one run of the face-recognition
//                        worker (for every photo file under a path) or of the watermark worker.
//   lumorad -a ENTRY     appends ENTRY as one request line to the face queue.
//   lumorad -k           stops the running daemon (SIGTERM through its pid file).
//   lumorad -r           throws away every pending request (the working copy and the queue).
//
// The queue is a text file of lines "<type><separator><payload>\n". Writers only append, each
// under an exclusive flock of the queue. The daemon takes the queue whole: under the same lock it
// renames it to the working copy, so no writer can append to a file the daemon already owns, then
// reads the working copy line by line and deletes it. A working copy left by a stop or a crash is
// consumed first, from its first line. Workers run one at a time, never while a worker of the
// same kind is alive and no pass starts while a thumbnail worker is alive (seen by pid files).
//
// Everything is reported to syslog; the exit status is 0 except when the SIGTERM handler cannot
// be installed.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdint.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include "kavocore.h"
#include "kavosdk.h"
#include "kavoutils.h"

#define SZ_SOURCE "lumorad"
#define LUMORA_LOG(fmt, ...) KAVOLOG(SZ_SOURCE, fmt, ##__VA_ARGS__)

#define SZF_LUMORA_PID "/var/run/lumorad.pid"
#define SZD_PHOTO_EADIR "/var/services/photo/@eaDir"
#define SZF_LUMORA_QUEUE SZD_PHOTO_EADIR "/kavophoto_face.queue"
#define SZF_LUMORA_QUEUE_TMP SZD_PHOTO_EADIR "/kavophoto_face.queue.tmp"
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

// The queue is created with 0777; the process umask applies.
#define QUEUE_MODE 0777
#define QUEUE_APPEND_FLAGS (O_RDWR | O_APPEND | O_SYNC)
#define QUEUE_CREATE_FLAGS (O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_SYNC)
#define WRITE_ATTEMPTS 17
#define RENAME_ATTEMPTS 16

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
    const WalkFolder *pParent;
};

static int WriteQueue(const char *szEntry);
static int Daemon(void);
static void StopDaemon(int sig);
static int ProcessQueue(void);
static void TakeQueue(void);
static int ReadQueueLine(FILE *fp, char *szLine);
static void DispatchLine(char *szLine);
static void WaitForWorkers(const char *szPattern, unsigned int seconds);
static int CountLiveWorkers(const char *szPattern);
static void RunFaceRecognition(const char *szPath);
static void WalkPath(char *szPath, size_t cchPath, const WalkFolder *pParent);
static bool IsPhotoFile(const char *szPath);
static bool IsSkippedName(const char *szPath);

// ---- The client: "-a" ----------------------------------------------------------------------

// Appends one request line to the queue. 0 on success (also when the very same line is already
// queued), -1 on failure.
static int WriteQueue(const char *szEntry) {
    char szLine[LINE_BUF_SIZE];
    char szFound[LINE_BUF_SIZE];
    struct stat st;
    struct stat stFd;
    size_t cchEntry = 0;
    size_t cchLine = 0;
    bool blExists = false;
    int flags = 0;
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
    cchLine = cchEntry + 1;

    if (stat(SZD_PHOTO_EADIR, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (KAVOEAMKDir(0, SZD_PHOTO_EADIR) != 0) {
            LUMORA_LOG("Make ea dir path error. eaDir path: %s", SZD_PHOTO_EADIR);
            return -1;
        }
    }

    for (int attempt = 1;; attempt++) {
        bool blLast = attempt >= WRITE_ATTEMPTS;

        memset(szFound, 0, sizeof(szFound));
        int found = VLIBCFileGetLine(SZF_LUMORA_QUEUE, szEntry, szFound, sizeof(szFound),
                                     VLIBC_FILE_GETLINE_PREFIX);
        if (found > 0 && strlen(szFound) == cchEntry) {
            return 0;
        }
        // A lookup that cannot read the file does not prove the queue missing once an exclusive
        // create found it there.
        flags = (found >= 0 || blExists) ? QUEUE_APPEND_FLAGS : QUEUE_CREATE_FLAGS;
        fd = open(SZF_LUMORA_QUEUE, flags, QUEUE_MODE);
        if (fd < 0) {
            err = errno;
            // Another writer created the queue first, or the daemon took it between the lookup
            // and the open: try again at once, now as an append or as a create.
            if (err == EEXIST && (flags & O_CREAT) && !blLast) {
                blExists = true;
                continue;
            }
            if (err == ENOENT && !(flags & O_CREAT) && !blLast) {
                blExists = false;
                continue;
            }
            LUMORA_LOG("open(%s, %d) failed, reason=%s\n", SZF_LUMORA_QUEUE, flags, strerror(err));
            if (err == EACCES && !blLast) {
                sleep(OPEN_RETRY_SECONDS);
                continue;
            }
            return -1;
        }

        if (flock(fd, LOCK_EX) != 0) {
            err = errno;
            LUMORA_LOG("Failed to lock file descriptor of %s, reason=%s", SZF_LUMORA_QUEUE,
                       strerror(err));
            close(fd);
            return -1;
        }
        // The daemon renames the queue to its working copy under this lock. When that happened
        // while this writer waited, the open file is no longer the queue: a line written now
        // could reach the working copy after the daemon has read it, and be lost.
        if (fstat(fd, &stFd) != 0) {
            err = errno;
            LUMORA_LOG("fstat(%s) failed, reason=%s", SZF_LUMORA_QUEUE, strerror(err));
            flock(fd, LOCK_UN);
            close(fd);
            return -1;
        }
        if (stat(SZF_LUMORA_QUEUE, &st) != 0 || st.st_dev != stFd.st_dev ||
            st.st_ino != stFd.st_ino) {
            flock(fd, LOCK_UN);
            close(fd);
            fd = -1;
            if (blLast) {
                LUMORA_LOG("%s was taken by the daemon each time its lock was granted",
                           SZF_LUMORA_QUEUE);
                return -1;
            }
            blExists = false;
            continue;
        }
        break;
    }

    ssize_t cbWritten = write(fd, szLine, cchLine);
    if (cbWritten == (ssize_t)cchLine) {
        ret = 0;
    } else {
        err = cbWritten < 0 ? errno : ENOSPC;
        // A torn line would run into the next writer's line: cut it off again.
        if (cbWritten > 0 && ftruncate(fd, stFd.st_size) != 0) {
            LUMORA_LOG("ftruncate(%s) failed, reason=%m", SZF_LUMORA_QUEUE);
        }
        LUMORA_LOG("Failed to write (%s, %d) into %s, reason=%s", szEntry, (int)cchEntry,
                   SZF_LUMORA_QUEUE, strerror(err));
    }
    flock(fd, LOCK_UN);
    close(fd);
    return ret;
}

// ---- Daemon start-up and stop ------------------------------------------------------------------

// Refuses a second daemon, detaches, writes the pid file and lowers the priority. 0 or -1.
static int Daemon(void) {
    if (VLIBCProcAliveByPidFile(SZF_LUMORA_PID)) {
        return -1;
    }
    if (daemon(0, 0) != 0) {
        LUMORA_LOG("Failed to become a daemon.(%s)", strerror(errno));
        return -1;
    }
    if (VLIBCProcPidFileCreate(SZF_LUMORA_PID) < 0) {
        LUMORA_LOG("Failed to become a daemon.(%s)", strerror(errno));
        return -1;
    }
    // Only the worker runs matter; a failure here changes nothing else.
    (void)setpriority(PRIO_PROCESS, 0, DAEMON_NICE);
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
    FILE *fp = NULL;
    int rc = 0;

    if (access(SZF_LUMORA_QUEUE_TMP, R_OK) != 0 && access(SZF_LUMORA_QUEUE, R_OK) != 0) {
        return 0;
    }
    if (CountLiveWorkers(SZ_THUMB_PID_PATTERN) > 0) {
        return 0;
    }
    if (access(SZF_LUMORA_QUEUE_TMP, R_OK) != 0) {
        TakeQueue();
    }

    fp = fopen(SZF_LUMORA_QUEUE_TMP, "re");
    // Anything but a plain file (a folder, say) cannot be read as a queue and would never go.
    if (fp && (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode))) {
        fclose(fp);
        fp = NULL;
    }
    if (!fp) {
        KAVOUtils::ProcessRunner rm("rm", "rm", "-rf", SZF_LUMORA_QUEUE_TMP);
        rm.run(true, false);
        LUMORA_LOG("fopen(SZF_LUMORA_QUEUE_TMP, \"r\") failed");
        return 0;
    }

    while ((rc = ReadQueueLine(fp, szLine)) != EOF) {
        if (rc == 0) {
            DispatchLine(szLine);
        }
    }

    unlink(SZF_LUMORA_QUEUE_TMP);
    fclose(fp);
    return 1;
}

// Renames the queue to the working copy while holding the writers' lock on it, so that every
// line is either in the file renamed or goes to a queue made afresh.
static void TakeQueue(void) {
    int fdLock = open(SZF_LUMORA_QUEUE, O_RDONLY | O_CLOEXEC);

    if (fdLock >= 0 && flock(fdLock, LOCK_EX) != 0) {
        close(fdLock);
        fdLock = -1;
    }
    for (int attempt = 1; attempt <= RENAME_ATTEMPTS; attempt++) {
        if (rename(SZF_LUMORA_QUEUE, SZF_LUMORA_QUEUE_TMP) == 0) {
            break;
        }
        LUMORA_LOG("rename(SZF_LUMORA_QUEUE, SZF_LUMORA_QUEUE_TMP) failed! errno=%d", errno);
    }
    if (fdLock >= 0) {
        flock(fdLock, LOCK_UN);
        close(fdLock);
    }
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
    char *szFirst = NULL;
    char *szLast = NULL;

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
            VLIBCExec(SZF_WATERMARK_WORKER, "-R", szPayload, NULL, NULL);
            break;
        case 'W':
            VLIBCExec(SZF_WATERMARK_WORKER, "-A", szPayload, NULL, NULL);
            break;
        case 'w':
            if (!(szLast = strrchr(szPayload, '/'))) {
                break;
            }
            *szLast = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, "-a", szPayload, szLast + 1, NULL);
            break;
        case 'r':
        case 'U':
            if (!(szFirst = strchr(szPayload, '/'))) {
                break;
            }
            *szFirst = '\0';
            VLIBCExec(SZF_WATERMARK_WORKER, szLine[0] == 'r' ? "-r" : "-U", szPayload, szFirst + 1,
                      NULL);
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
// are gone. The process id is the run of digits after the first "." of the path.
static int CountLiveWorkers(const char *szPattern) {
    glob_t globbuf;
    int cLive = 0;

    memset(&globbuf, 0, sizeof(globbuf));
    if (glob(szPattern, 0, NULL, &globbuf) != 0) {
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
        if (kill((pid_t)pid, 0) == 0 || errno == EPERM) {
            cLive++;
        } else if (unlink(szPath) != 0 && errno != ENOENT) {
            LUMORA_LOG("Failed to remove the stale pid file %s (%m)", szPath);
        }
    }
    globfree(&globbuf);
    return cLive;
}

// ---- The face-recognition walk
// -------------------------------------------------------------------

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
    WalkPath(szWalk, strlen(szWalk), NULL);
}

// One step of the walk. szPath is the walk's single path buffer of PATH_BUF_SIZE bytes holding
// cchPath bytes; the names of a folder's entries are appended to it in turn and cut off again.
static void WalkPath(char *szPath, size_t cchPath, const WalkFolder *pParent) {
    struct stat st;

    if (IsSkippedName(szPath)) {
        return;
    }
    if (stat(szPath, &st) == 0 && S_ISDIR(st.st_mode)) {
        WalkFolder folder = {st.st_dev, st.st_ino, pParent};
        struct dirent *pEnt = NULL;
        DIR *pDir = NULL;

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
        while ((pEnt = readdir(pDir))) {
            size_t cchName = strlen(pEnt->d_name);

            if (IsSkippedName(pEnt->d_name)) {
                continue;
            }
            if (cchPath + 1 + cchName > PATH_MAX_LEN) {
                LUMORA_LOG("Skipped %s/%s: the path is longer than %d bytes", szPath, pEnt->d_name,
                           PATH_MAX_LEN);
                continue;
            }
            szPath[cchPath] = '/';
            memcpy(szPath + cchPath + 1, pEnt->d_name, cchName + 1);
            WalkPath(szPath, cchPath + 1 + cchName, &folder);
            szPath[cchPath] = '\0';
        }
        closedir(pDir);
        return;
    }

    if (!IsPhotoFile(szPath)) {
        return;
    }
    WaitForWorkers(SZ_FACE_PID_PATTERN, FACE_POLL_SECONDS);
    char *argv[] = {(char *)SZF_FACE_WORKER, (char *)"-F", szPath, NULL};
    VLIBCExecv(SZF_FACE_WORKER, argv, 1);
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

// ---- main
// ----------------------------------------------------------------------------------------

int main(int argc, char **argv) {
    struct stat st;

    openlog(SZ_SOURCE, LOG_PID, LOG_DAEMON);

    if (argc == 2) {
        if (strcmp(argv[1], SZ_OPT_KILL) == 0) {
            if (VLIBCProcSignalByPidFile(SZF_LUMORA_PID, SIGTERM) < 0) {
                LUMORA_LOG("VLIBCProcSignalByPidFile() failed.");
            }
        } else if (strcmp(argv[1], SZ_OPT_RESET) == 0) {
            unlink(SZF_LUMORA_QUEUE_TMP);
            unlink(SZF_LUMORA_QUEUE);
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
    if (Daemon() < 0) {
        LUMORA_LOG("Daemon() failed.");
        return 0;
    }
    if (signal(SIGTERM, StopDaemon) == SIG_ERR) {
        LUMORA_LOG("signal(SIGTERM, StopDaemon) failed.");
        unlink(SZF_LUMORA_PID);
        return 1;
    }

    // Left-overs of an interrupted pass first, then what was queued while the daemon was away.
    if (stat(SZF_LUMORA_QUEUE_TMP, &st) == 0) {
        ProcessQueue();
    }
    if (stat(SZF_LUMORA_QUEUE, &st) == 0) {
        ProcessQueue();
    }
    for (;;) {
        sleep(IDLE_SECONDS);
        while (ProcessQueue() != 0) {
        }
    }
}
