// Running a command by name: a bare program name is looked up in PATH (no shell).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kavoutils.h"

#define RUNNER_DEFAULT_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

namespace KAVOUtils {

ProcessRunner::ProcessRunner(const char *program, const char *arg0, const char *a1, const char *a2,
                             const char *a3, const char *a4, const char *a5, const char *a6,
                             const char *a7, const char *a8)
    : program_(program) {
    const char *args[kMaxArgs - 1] = {arg0, a1, a2, a3, a4, a5, a6, a7, a8};
    int i;

    for (i = 0; i <= kMaxArgs; i++) {
        argv_[i] = nullptr;
    }
    // The first null ends the list.
    for (i = 0; i < kMaxArgs - 1 && args[i] != nullptr; i++) {
        argv_[i] = args[i];
    }
}

// Finds the program: a name with a "/" is used as it is, a bare name is the first executable
// regular file of that name in PATH. 0, or -1 (errno ENOENT when nothing was found).
static int resolveProgram(const char *program, char *path, size_t size) {
    const char *dirs, *p, *end;
    struct stat st;
    char dir[KAVO_PATH_SIZE];
    size_t len;

    if (strchr(program, '/') != nullptr) {
        return VLIBCStrCopy(path, size, program);
    }
    dirs = getenv("PATH");
    if (dirs == nullptr || dirs[0] == '\0') {
        dirs = RUNNER_DEFAULT_PATH;
    }
    for (p = dirs;; p = end + 1) {
        end = strchr(p, ':');
        if (end == nullptr) {
            end = p + strlen(p);
        }
        len = (size_t)(end - p);
        // An empty entry is the current folder.
        if (len == 0
                ? VLIBCStrCopy(dir, sizeof(dir), ".") == 0
                : len < sizeof(dir) && VLIBCStrPrintf(dir, sizeof(dir), "%.*s", (int)len, p) == 0) {
            if (VLIBCStrPrintf(path, size, "%s/%s", dir, program) == 0 && stat(path, &st) == 0 &&
                S_ISREG(st.st_mode) && access(path, X_OK) == 0) {
                return 0;
            }
        }
        if (*end == '\0') {
            break;
        }
    }
    path[0] = '\0';
    errno = ENOENT;
    return -1;
}

int ProcessRunner::run(bool wait, bool quiet) {
    char path[KAVO_PATH_SIZE];
    char *const *argv = const_cast<char *const *>(argv_);
    int devNull = -1, ret = -1, status;
    pid_t pid, helper;

    if (KAVOPathArgCheck(program_) != 0) {
        return -1;
    }
    if (argv_[0] == nullptr) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (resolveProgram(program_, path, sizeof(path)) < 0) {
        VLIBCErrSet(KAVO_ERR_EXEC);
        return -1;
    }
    if (quiet) {
        devNull = open("/dev/null", O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (devNull < 0) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
    }

    if (wait) {
        pid = VLIBCProcSpawn(path, argv, -1, devNull, devNull);
        ret = pid < 0 ? -1 : VLIBCProcWait(pid);
        goto out;
    }

    // Without waiting, the program is started from a short-lived helper process, so that it
    // is adopted by init and never lingers as a zombie of the caller. Buffered output must
    // not be written twice; a stream that cannot be written out keeps its own error.
    (void)fflush(nullptr);
    helper = fork();
    if (helper < 0) {
        VLIBCErrSet(KAVO_ERR_EXEC);
        goto out;
    }
    if (helper == 0) {
        // The helper's exit status carries the errno of a failed start.
        if (VLIBCProcSpawn(path, argv, -1, devNull, devNull) < 0) {
            _exit(errno > 0 && errno < 256 ? errno : EIO);
        }
        _exit(0);
    }
    for (;;) {
        pid = waitpid(helper, &status, 0);
        if (pid == helper || errno != EINTR) {
            break;
        }
    }
    if (pid == helper && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        ret = 0;
    } else {
        errno = pid == helper && WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
        VLIBCErrSet(KAVO_ERR_EXEC);
    }

out:
    KAVOFileCloseKeep(devNull);
    return ret;
}

}  // namespace KAVOUtils
