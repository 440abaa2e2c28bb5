// Bounded string helpers: a copy or a formatted text either fits its buffer whole or the
// call fails with an empty, terminated buffer. Nothing is ever written past the size, and a
// caller that ignores the result never works on a silently shortened path.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kavocore.h"

// The arguments both helpers check first: false (recorded, dst emptied where there is one)
// when there is no buffer or no source text.
static bool checkArgs(char *dst, size_t size, const char *src) {
    if (dst == nullptr || size == 0) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    if (src == nullptr) {
        dst[0] = '\0';
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

int VLIBCStrCopy(char *dst, size_t size, const char *src) {
    size_t len;

    if (!checkArgs(dst, size, src)) {
        return -1;
    }
    len = strnlen(src, size);
    if (len >= size) {
        dst[0] = '\0';
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    memmove(dst, src, len);
    dst[len] = '\0';
    return 0;
}

int VLIBCStrPrintf(char *dst, size_t size, const char *fmt, ...) {
    va_list ap;
    int len;

    if (!checkArgs(dst, size, fmt)) {
        return -1;
    }
    va_start(ap, fmt);
    len = vsnprintf(dst, size, fmt, ap);
    va_end(ap);
    if (len < 0 || (size_t)len >= size) {
        dst[0] = '\0';
        if (len >= 0) {
            errno = ENAMETOOLONG;
        }
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}
