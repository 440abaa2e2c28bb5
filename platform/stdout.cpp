// Standard output of the programs whose answer is what they print: written out and checked once
// at exit, so that an answer that never arrived is not reported as success.
#include <errno.h>
#include <stdio.h>

#include "kavocore.h"

int KAVOStdoutClose(void) {
    int err = 0;

    if (fflush(stdout) != 0) {
        err = errno;
    }
    if (err == 0 && ferror(stdout)) {
        // An earlier write failed; its own errno is gone.
        err = EIO;
    }
    // Closing a standard output that was never open is no failure when nothing was pending.
    if (fclose(stdout) != 0 && err == 0 && errno != EBADF) {
        err = errno;
    }
    if (err != 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        errno = err;
        return -1;
    }
    return 0;
}
