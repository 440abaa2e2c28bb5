// kavoacl_show PATH: prints the ACL stored on PATH in its text form, whichever form it is
// stored in:
//
//     kavoacl 1 inherit|-
//     KIND:ID:allow|deny:PERMS:INHERIT        (one line per entry, in order)
//
// Exit status 0 when printed, 1 when PATH has no ACL of its own, 2 on any other failure
// (message on standard error). A link at PATH is followed, as by any reader.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>

#include "kavoacl.h"
#include "kavocore.h"

#define ACL_VALUE_MAX 65536

int main(int argc, char **argv) {
    static char value[ACL_VALUE_MAX];
    PKAVOACL acl = nullptr;
    char *text = nullptr;
    ssize_t len;

    if (argc != 2 || argv[1][0] == '\0') {
        (void)fprintf(stderr, "USAGE : kavoacl_show PATH\n");
        return 2;
    }
    len = getxattr(argv[1], SZ_KAVO_ACL_XATTR, value, sizeof(value));
    if (len < 0) {
        if (errno == ENODATA || errno == ENOTSUP) {
            (void)fprintf(stderr, "kavoacl_show: %s: no ACL\n", argv[1]);
            return 1;
        }
        (void)fprintf(stderr, "kavoacl_show: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    if (KAVOACLFromStored(value, (size_t)len, &acl) != 0 ||
        (text = KAVOACLToText(acl)) == nullptr) {
        (void)fprintf(stderr, "kavoacl_show: %s: the stored ACL is damaged\n", argv[1]);
        KAVOACLFree(acl);
        return 2;
    }
    // The text is the answer: a write that did not arrive is a failure, told at the close.
    (void)fputs(text, stdout);
    free(text);
    KAVOACLFree(acl);
    return KAVOStdoutClose() == 0 ? 0 : 2;
}
