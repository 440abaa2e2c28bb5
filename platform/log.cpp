// The system's one logging call: a message formatted here, made safe for one syslog line.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "kavocore.h"

// syslog itself cuts messages far below this; longer ones are cut here too.
#define LOG_MESSAGE_SIZE 8192

// Copies fmt with every "%m" replaced by the error text (its own "%" doubled), so that the
// message can be formatted before syslog sees it. Returns false when it does not fit.
static bool expandErrno(char *out, size_t size, const char *fmt, int err) {
    const char *text = strerror(err);
    size_t n = 0;

    for (const char *p = fmt; *p != '\0'; p++) {
        if (p[0] == '%' && p[1] == '%') {
            if (n + 2 >= size) {
                return false;
            }
            out[n++] = '%';
            out[n++] = '%';
            p++;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char *t = text; *t != '\0'; t++) {
                if (n + 2 >= size) {
                    return false;
                }
                if (*t == '%') {
                    out[n++] = '%';
                }
                out[n++] = *t;
            }
            p++;
        } else {
            if (n + 1 >= size) {
                return false;
            }
            out[n++] = *p;
        }
    }
    out[n] = '\0';
    return true;
}

void KAVOSyslog(const char *fmt, ...) {
    int saved = errno;
    char format[LOG_MESSAGE_SIZE];
    char message[LOG_MESSAGE_SIZE];
    char safe[LOG_MESSAGE_SIZE];
    size_t len, n = 0;
    va_list ap;

    if (!expandErrno(format, sizeof(format), fmt, saved)) {
        syslog(LOG_ERR, "%s", "(message too long for the log)");
        errno = saved;
        return;
    }
    va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    (void)vsnprintf(message, sizeof(message), format, ap);  // a longer message is cut
#pragma GCC diagnostic pop
    va_end(ap);
    len = strlen(message);
    if (len > 0 && message[len - 1] == '\n') {
        message[--len] = '\0';
    }
    for (size_t i = 0; i < len && n + 5 < sizeof(safe); i++) {
        unsigned char c = (unsigned char)message[i];

        if (c < 0x20 || c == 0x7F) {
            n += (size_t)snprintf(safe + n, sizeof(safe) - n, "\\x%02X", c);
        } else {
            safe[n++] = (char)c;
        }
    }
    safe[n] = '\0';
    syslog(LOG_ERR, "%s", safe);
    errno = saved;
}
