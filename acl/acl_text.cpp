// Album ACL module: adding an ACE given in text form (used by kavophoto_acl only).
#include "kavophoto_acl.h"

#include <syslog.h>

#include "kavoacl.h"
#include "kavocore.h"

static bool addACLFromStringTo(int fd, const char *path, const char *aceText) {
    KAVOACE ace = {};

    if (KAVOACLAceFromStr(1, aceText, &ace) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Fail to convert acl ace[%s]", aceText);
        return false;
    }
    if ((fd >= 0 ? KAVOACLAddFd(fd, &ace) : KAVOACLAdd(path, &ace)) < 0) {
        KAVOLOG(SZ_KAVOPHOTO_ACL_LOG, "Fail to add acl to [%s][%s]", path, aceText);
        return false;
    }
    return true;
}

bool addACLFromString(const char *path, const char *aceText) {
    return addACLFromStringTo(-1, path, aceText);
}

bool addACLFromStringFd(int fd, const char *path, const char *aceText) {
    return addACLFromStringTo(fd, path, aceText);
}
