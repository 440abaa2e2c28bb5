// Platform errors: the last error code, the source file and line where it was recorded.
//
// Recording an error never changes errno, so a caller may record the failure of a system
// call and still log "%m" with the system's own reason afterwards.
#include <errno.h>
#include <string.h>

#include "kavocore.h"

// Enough for any source name; longer names are cut (they only label messages).
#define ERR_FILE_MAX 256
#define ERR_EXTRA_MAX 256

static int errCode;
static int errLine;
static char errFile[ERR_FILE_MAX];
static char errExtra[ERR_EXTRA_MAX];

// Copies at most size - 1 bytes and terminates; used only for diagnostic labels.
static void copyLabel(char *dst, size_t size, const char *src) {
    size_t len;

    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void VLIBCErrSetEx(int code, const char *file, int line, const char *extra) {
    int saved = errno;
    const char *slash;

    errCode = code;
    errLine = line;
    // Keep only the file's own name: callers print it as "file:line".
    if (file != nullptr && (slash = strrchr(file, '/')) != nullptr && slash[1] != '\0') {
        file = slash + 1;
    }
    copyLabel(errFile, sizeof(errFile), file);
    copyLabel(errExtra, sizeof(errExtra), extra);
    errno = saved;
}

int VLIBCErrGet(void) {
    return errCode;
}

const char *VLIBCErrorGetFile(void) {
    return errFile;
}

int VLIBCErrorGetLine(void) {
    return errLine;
}
