// Programs, the platform fork, pid files and the program banner.
//
// Programs are started without a shell. A close-on-exec pipe tells a program that could not
// be started (the child writes the exec errno into it) from one that ran and ended with any
// status, 127 and 255 included. Waits are restarted after EINTR.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kavocore.h"

#define PROC_PIDFILE_MAX 64  // a pid file longer than this is not a pid file
#define PROC_FORK_FLAGS                                                       \
    (VLIBC_FORK_NEW_SESSION | VLIBC_FORK_CHDIR_ROOT | VLIBC_FORK_NULL_STDIO | \
     VLIBC_FORK_CLOSE_FDS | VLIBC_FORK_DEFAULT_SIGNALS)
#define PROC_MAX_FD_SCAN 65536  // highest descriptor closed when close_range is missing

static bool checkPath(const char *path) {
    return KAVOPathArgCheck(path) == 0;
}

// Reads up to len bytes, restarting after EINTR; the count read, or -1.
static ssize_t readFull(int fd, void *buf, size_t len) {
    size_t done = 0;

    while (done < len) {
        ssize_t n = read(fd, (char *)buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += (size_t)n;
    }
    return (ssize_t)done;
}

static void writeErrno(int fd, int err) {
    ssize_t n;

    do {
        n = write(fd, &err, sizeof(err));
    } while (n < 0 && errno == EINTR);
}

// Reaps the child, restarting after EINTR. 0 with *status set, or -1.
static int reap(pid_t pid, int *status) {
    for (;;) {
        pid_t r = waitpid(pid, status, 0);
        if (r == pid) {
            return 0;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

// Moves a descriptor above the standard ones (close-on-exec), so that placing another
// descriptor on 0, 1 or 2 cannot clobber it.
static int liftFd(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

// A bad argument: -1 with EINVAL and KAVO_ERR_BAD_PARAMETERS recorded.
static int badArgument(void) {
    errno = EINVAL;
    VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
    return -1;
}

// In the parent: reads the child's report. The pid when the child got going; -1 when it wrote
// its errno instead: the child is reaped and its errno recorded as code.
static pid_t awaitReport(pid_t pid, int pipeFd[2], int code) {
    int childErr;
    ssize_t n;

    close(pipeFd[1]);
    n = readFull(pipeFd[0], &childErr, sizeof(childErr));
    close(pipeFd[0]);
    if (n == (ssize_t)sizeof(childErr)) {
        int status;
        reap(pid, &status);
        errno = childErr;
        VLIBCErrSet(code);
        return -1;
    }
    return pid;
}

// Forks with a report pipe (both ends close-on-exec). The new process runs child with the
// pipe's write end, lifted above the standard descriptors; child writes the errno of a
// failure there and ends, or returns once the process is ready (closing the end), and then
// this returns 0 in it. In the parent: the child's pid once it got going, or -1 with the
// failure recorded as code.
template <typename Child>
static pid_t forkReporting(int code, Child child) {
    int pipeFd[2];
    pid_t pid;

    if (pipe2(pipeFd, O_CLOEXEC) < 0) {
        VLIBCErrSet(code);
        return -1;
    }
    // Buffered output must not be written twice nor after the child's. A stream that cannot be
    // written out keeps its own error for its owner to see.
    (void)fflush(nullptr);
    pid = fork();
    if (pid < 0) {
        KAVOFileCloseKeep(pipeFd[0]);
        KAVOFileCloseKeep(pipeFd[1]);
        VLIBCErrSet(code);
        return -1;
    }
    if (pid > 0) {
        return awaitReport(pid, pipeFd, code);
    }
    int report = liftFd(pipeFd[1]);
    if (report < 0) {
        _exit(127);
    }
    // A write end left at a standard descriptor would keep the parent waiting for the end of
    // the report as long as the new process lives.
    if (report != pipeFd[1]) {
        close(pipeFd[1]);
    }
    close(pipeFd[0]);
    child(report);
    return 0;
}

pid_t VLIBCProcSpawn(const char *path, char *const argv[], int in, int out, int err) {
    int fds[3] = {in, out, err};

    if (!checkPath(path) || argv == nullptr || argv[0] == nullptr) {
        return badArgument();
    }
    return forkReporting(KAVO_ERR_EXEC, [&](int report) {
        for (int i = 0; i < 3; i++) {
            if (fds[i] >= 0 && fds[i] != i && (fds[i] = liftFd(fds[i])) < 0) {
                writeErrno(report, errno);
                _exit(127);
            }
        }
        for (int i = 0; i < 3; i++) {
            if (fds[i] < 0) {
                continue;
            }
            if (fds[i] == i ? fcntl(i, F_SETFD, 0) < 0 : dup2(fds[i], i) < 0) {
                writeErrno(report, errno);
                _exit(127);
            }
        }
        execv(path, argv);
        writeErrno(report, errno);
        _exit(127);
    });
}

int VLIBCProcWait(pid_t pid) {
    int status;

    if (pid <= 0) {
        return badArgument();
    }
    if (reap(pid, &status) < 0) {
        VLIBCErrSet(KAVO_ERR_EXEC);
        return -1;
    }
    if (WIFEXITED(status)) {
        return (int)(int8_t)(uint8_t)WEXITSTATUS(status);
    }
    errno = EINTR;
    VLIBCErrSet(KAVO_ERR_EXEC);
    return -1;
}

// Runs and waits. A caller that ignores SIGCHLD would have its children reaped by the kernel
// and no status to read: the default disposition is restored for the run.
static int runAndWait(const char *path, char *const argv[]) {
    struct sigaction old, dfl;
    bool restore = false;
    pid_t pid;
    int ret, saved;

    if (sigaction(SIGCHLD, nullptr, &old) == 0 &&
        ((!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN) ||
         (old.sa_flags & SA_NOCLDWAIT))) {
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        restore = sigaction(SIGCHLD, &dfl, nullptr) == 0;
    }
    pid = VLIBCProcSpawn(path, argv, -1, -1, -1);
    ret = pid < 0 ? -1 : VLIBCProcWait(pid);
    saved = errno;
    if (restore) {
        sigaction(SIGCHLD, &old, nullptr);
    }
    errno = saved;
    return ret;
}

int VLIBCExec(const char *path, const char *a1, const char *a2, const char *a3, const char *a4) {
    const char *args[4] = {a1, a2, a3, a4};
    char *argv[6];
    int argc = 0, i;

    if (!checkPath(path)) {
        return -1;
    }
    argv[argc++] = (char *)path;
    for (i = 0; i < 4 && args[i] != nullptr; i++) {
        argv[argc++] = (char *)args[i];
    }
    argv[argc] = nullptr;
    return runAndWait(path, argv);
}

int VLIBCExecv(const char *path, char *const argv[], int wait) {
    if (!checkPath(path)) {
        return -1;
    }
    if (argv == nullptr || argv[0] == nullptr) {
        return badArgument();
    }
    if (wait) {
        return runAndWait(path, argv);
    }
    return (int)VLIBCProcSpawn(path, argv, -1, -1, -1);
}

// ---- the platform fork -------------------------------------------------------------------

// Closes every descriptor above the standard ones except keep.
static void closeOthers(int keep) {
    int fd;

    // keep is above the standard descriptors (lifted by the caller).
    bool below =
        keep == STDERR_FILENO + 1 || close_range(STDERR_FILENO + 1, (unsigned)keep - 1, 0) == 0;
    if (below && close_range((unsigned)keep + 1, ~0U, 0) == 0) {
        return;
    }
    // No close_range: one descriptor at a time.
    for (fd = STDERR_FILENO + 1; fd < PROC_MAX_FD_SCAN; fd++) {
        if (fd != keep) {
            close(fd);
        }
    }
}

// Prepares the new process as the flags say; 0, or -1 with errno set.
static int prepareChild(int flags, int *report) {
    int sig, fd;
    sigset_t none;

    if (flags & VLIBC_FORK_DEFAULT_SIGNALS) {
        for (sig = 1; sig < NSIG; sig++) {
            if (sig != SIGKILL && sig != SIGSTOP) {
                (void)signal(sig, SIG_DFL);  // a signal that cannot be reset stays as it is
            }
        }
        sigemptyset(&none);
        if (sigprocmask(SIG_SETMASK, &none, nullptr) < 0) {
            return -1;
        }
    }
    if ((flags & VLIBC_FORK_NEW_SESSION) && setsid() < 0) {
        return -1;
    }
    if ((flags & VLIBC_FORK_CHDIR_ROOT) && chdir("/") < 0) {
        return -1;
    }
    if (flags & VLIBC_FORK_NULL_STDIO) {
        fd = open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            return -1;
        }
        if (dup2(fd, STDIN_FILENO) < 0 || dup2(fd, STDOUT_FILENO) < 0 ||
            dup2(fd, STDERR_FILENO) < 0) {
            if (fd > STDERR_FILENO) {
                KAVOFileCloseKeep(fd);
            }
            return -1;
        }
        if (fd > STDERR_FILENO) {
            close(fd);
        }
    }
    if (flags & VLIBC_FORK_CLOSE_FDS) {
        closeOthers(*report);
    }
    return 0;
}

pid_t VLIBCProcForkEx(int flags) {
    if (flags & ~PROC_FORK_FLAGS) {
        return badArgument();
    }
    return forkReporting(KAVO_ERR_SYSTEM, [flags](int report) {
        if (prepareChild(flags, &report) < 0) {
            writeErrno(report, errno);
            _exit(127);
        }
        // End of file on the pipe tells the parent that the new process is ready.
        close(report);
    });
}

// ---- pid files -----------------------------------------------------------------------------

// The kernel hands out process ids below pid_max, which is at most 2^22.
#define PROC_PID_LIMIT (1 << 22)
#define PROC_PID_MAX_FILE "/proc/sys/kernel/pid_max"
#define PROC_LOCK_TRIES 8

// One past the highest process id the kernel may hand out.
static int64_t pidLimit(void) {
    char buf[32];
    int64_t value = 0;
    ssize_t n;
    int fd, i;

    fd = open(PROC_PID_MAX_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return PROC_PID_LIMIT;
    }
    n = readFull(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) {
        return PROC_PID_LIMIT;
    }
    for (i = 0; i < n && buf[i] >= '0' && buf[i] <= '9' && value <= PROC_PID_LIMIT; i++) {
        value = value * 10 + (buf[i] - '0');
    }
    if (value <= 1 || value > PROC_PID_LIMIT) {
        return PROC_PID_LIMIT;
    }
    return value;
}

// Opens a pid file for reading: regular files only, a FIFO cannot hang the caller. fd or -1.
static int openPidFile(const char *path) {
    struct stat st;
    int fd;

    fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (fstat(fd, &st) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_PARSE);
        return -1;
    }
    return fd;
}

// What a pid file that holds no pid gives its reader.
static int notAPid(void) {
    errno = EINVAL;
    VLIBCErrSet(KAVO_ERR_PARSE);
    return -1;
}

// Reads the pid an open pid file holds: the decimal pid, blanks and line ends around it
// allowed, nothing else, and within the kernel's range of process ids. 0 or -1.
static int readPidFd(int fd, pid_t *pid) {
    char buf[PROC_PIDFILE_MAX + 1];
    int64_t value = 0, limit = pidLimit();
    ssize_t n;
    int i = 0, digits = 0;

    n = pread(fd, buf, sizeof(buf), 0);
    if (n < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (n > PROC_PIDFILE_MAX) {
        return notAPid();
    }
    buf[n] = '\0';
    while (i < n && strchr(" \t\r\n", buf[i]) != nullptr) {
        i++;
    }
    // The value stays below the limit (at most 2^22) before each step: no overflow.
    while (i < n && buf[i] >= '0' && buf[i] <= '9') {
        value = value * 10 + (buf[i] - '0');
        digits++;
        if (value >= limit) {
            return notAPid();
        }
        i++;
    }
    while (i < n && strchr(" \t\r\n", buf[i]) != nullptr) {
        i++;
    }
    // pid 0 would signal a whole process group: never a pid.
    if (i != n || digits == 0 || value <= 0) {
        return notAPid();
    }
    *pid = (pid_t)value;
    return 0;
}

// Opens the pid file for reading, hands it to act and closes it again (errno kept): act's
// answer; missing when there is no such file; -1 when it cannot be opened.
template <typename Act>
static pid_t withPidFile(const char *path, pid_t missing, Act act) {
    int fd = openPidFile(path);

    if (fd < 0) {
        return errno == ENOENT ? missing : -1;
    }
    pid_t ret = act(fd);
    KAVOFileCloseKeep(fd);
    return ret;
}

static int readPidFile(const char *path, pid_t *pid) {
    return withPidFile(path, -1, [pid](int fd) { return (pid_t)readPidFd(fd, pid); });
}

int VLIBCProcPidFileCreate(const char *path) {
    char text[32];
    struct stat like;

    if (!checkPath(path)) {
        return -1;
    }
    if (VLIBCStrPrintf(text, sizeof(text), "%d\n", (int)getpid()) < 0) {
        return -1;
    }
    // Mode 0644 whatever the umask, owned by whoever writes it.
    memset(&like, 0, sizeof(like));
    like.st_mode = S_IFREG | 0644;
    like.st_uid = geteuid();
    like.st_gid = getegid();
    // The pid file appears whole: written beside itself and renamed into place.
    return KAVOFileReplace(path, ".pidtmp.", text, strlen(text), &like);
}

// The write lock over the whole file, as set or as asked about.
static void wholeFileLock(struct flock *fl) {
    memset(fl, 0, sizeof(*fl));
    fl->l_type = F_WRLCK;
    fl->l_whence = SEEK_SET;
}

// True when fd is still the file that path names (nobody unlinked or replaced it).
static bool stillNamed(int fd, const char *path) {
    struct stat atFd, atPath;

    return fstat(fd, &atFd) == 0 && lstat(path, &atPath) == 0 && atFd.st_dev == atPath.st_dev &&
           atFd.st_ino == atPath.st_ino;
}

// Opens the pid file (created when missing) and takes its lock. A holder that ends unlinks
// the file: a lock granted on the old file is worth nothing, and the lookup starts again on
// the file the name now holds. fd, or -1 with errno set (EAGAIN: another process owns it).
static int lockNamed(const char *path) {
    struct flock fl;
    struct stat st;

    for (int tries = 0; tries < PROC_LOCK_TRIES; tries++) {
        int fd =
            open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            return -1;
        }
        if (fstat(fd, &st) < 0) {
            KAVOFileCloseKeep(fd);
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {
            close(fd);
            errno = EINVAL;
            return -1;
        }
        wholeFileLock(&fl);
        if (fcntl(fd, F_SETLK, &fl) < 0) {
            KAVOFileCloseKeep(fd);
            if (errno == EACCES) {
                errno = EAGAIN;
            }
            return -1;
        }
        if (stillNamed(fd, path)) {
            return fd;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

int VLIBCProcPidFileLock(const char *path) {
    char text[32];
    int fd;

    if (!checkPath(path)) {
        return -1;
    }
    if (VLIBCStrPrintf(text, sizeof(text), "%d\n", (int)getpid()) < 0) {
        return -1;
    }
    // Just opened, so the offset is 0: the pid is written from the start.
    fd = lockNamed(path);
    if (fd >= 0 && (ftruncate(fd, 0) < 0 || KAVOFileWriteAll(fd, text, strlen(text)) < 0 ||
                    fchmod(fd, 0644) < 0)) {
        KAVOFileCloseKeep(fd);
        fd = -1;
    }
    if (fd < 0) {
        VLIBCErrSet(errno == EAGAIN ? KAVO_ERR_EXISTS : KAVO_ERR_SYSTEM);
    }
    return fd;
}

// The process that holds the lock of the open pid file, when the file holds that very number;
// 0 when nobody holds it or the numbers differ, -1 on failure.
static pid_t lockOwner(int fd) {
    struct flock fl;
    pid_t pid;

    wholeFileLock(&fl);
    if (fcntl(fd, F_GETLK, &fl) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (fl.l_type == F_UNLCK || fl.l_pid <= 0) {
        return 0;
    }
    if (readPidFd(fd, &pid) < 0 || pid != fl.l_pid) {
        return 0;
    }
    return pid;
}

pid_t VLIBCProcPidFileOwner(const char *path) {
    if (!checkPath(path)) {
        return -1;
    }
    return withPidFile(path, 0, lockOwner);
}

int VLIBCProcAliveByPidFile(const char *path) {
    pid_t pid;

    if (!checkPath(path) || readPidFile(path, &pid) < 0) {
        return 0;
    }
    if (kill(pid, 0) == 0 || errno == EPERM) {
        return 1;
    }
    VLIBCErrSet(KAVO_ERR_NOT_FOUND);
    return 0;
}

// Sends the signal to the owner of the open pid file. A process handle taken first and the
// owner asked again afterwards make sure that the process signalled is the one that holds the
// lock, even if the owner ended and its number went to another process meanwhile.
static int signalOwner(int fd, int sig) {
    pid_t pid = lockOwner(fd);
    int ret;

    if (pid <= 0) {
        if (pid == 0) {
            errno = ESRCH;
            VLIBCErrSet(KAVO_ERR_NOT_FOUND);
        }
        return -1;
    }
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    int pidFd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (pidFd >= 0) {
        if (lockOwner(fd) != pid) {
            close(pidFd);
            errno = ESRCH;
            VLIBCErrSet(KAVO_ERR_NOT_FOUND);
            return -1;
        }
        ret = (int)syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, 0);
        KAVOFileCloseKeep(pidFd);
        if (ret < 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
        }
        return ret < 0 ? -1 : 0;
    }
    if (errno != ENOSYS) {
        VLIBCErrSet(errno == ESRCH ? KAVO_ERR_NOT_FOUND : KAVO_ERR_SYSTEM);
        return -1;
    }
#endif
    ret = kill(pid, sig);
    if (ret < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    return ret < 0 ? -1 : 0;
}

int VLIBCProcSignalByPidFile(const char *path, int sig) {
    if (!checkPath(path)) {
        return -1;
    }
    if (sig < 0 || sig >= NSIG) {
        return badArgument();
    }
    return withPidFile(path, -1, [sig](int fd) { return (pid_t)signalOwner(fd, sig); });
}

// ---- banner --------------------------------------------------------------------------------

void VLIBCPrintBanner(const char *program) {
    if (program == nullptr || program[0] == '\0') {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return;
    }
    printf("%s - KAVO platform\n", program);
}
