// libkavosdk: accounts of the system account database.
//
// Login names are matched ignoring ASCII case only (never the locale's rules), and an exact
// match is always preferred, so "Bob" and "bob" living side by side both stay reachable.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "accounts.h"
#include "kavosdk.h"

// Upper bound of one account line, and the ids that VLIBUserEnum lists.
#define PW_BUF_MIN 1024
#define PW_BUF_MAX (1024 * 1024)
#define USER_ENUM_UID_MIN 1000
#define USER_ENUM_UID_END 65534

static int asciiLower(int c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 'a';
    }
    return c;
}

static int asciiCaseEqual(const char *a, const char *b) {
    while (*a != '\0' && *b != '\0') {
        if (asciiLower((unsigned char)*a) != asciiLower((unsigned char)*b)) {
            return 0;
        }
        a++;
        b++;
    }
    return *a == '\0' && *b == '\0';
}

static size_t pwBufferSize(void) {
    long n = sysconf(_SC_GETPW_R_SIZE_MAX);

    if (n < PW_BUF_MIN) {
        return PW_BUF_MIN;
    }
    return (size_t)n;
}

// The reentrant lookups by name (getpwnam_r, getgrnam_r) in one shape: the entry into *entry
// with its strings in buf; *found tells whether there was one. Returns the call's error number.
typedef int (*NameLookup)(const char *name, void *entry, char *buf, size_t size, bool *found);

static int passwdByName(const char *name, void *entry, char *buf, size_t size, bool *found) {
    struct passwd *result = nullptr;
    int err = getpwnam_r(name, (struct passwd *)entry, buf, size, &result);

    *found = result != nullptr;
    return err;
}

static int groupByName(const char *name, void *entry, char *buf, size_t size, bool *found) {
    struct group *result = nullptr;
    int err = getgrnam_r(name, (struct group *)entry, buf, size, &result);

    *found = result != nullptr;
    return err;
}

// Runs the lookup with a buffer grown on ERANGE. 1 found (*bufOut owned by the caller),
// 0 absent, -1 on failure (error recorded).
static int lookupGrown(NameLookup lookup, const char *name, void *entry, char **bufOut) {
    size_t size = pwBufferSize();
    char *buf = nullptr;
    bool found = false;
    int err;

    *bufOut = nullptr;
    for (;;) {
        char *grown = (char *)realloc(buf, size);
        if (grown == nullptr) {
            free(buf);
            errno = ENOMEM;
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return -1;
        }
        buf = grown;
        err = lookup(name, entry, buf, size, &found);
        if (err != ERANGE || size >= PW_BUF_MAX) {
            break;
        }
        size *= 2;
    }
    if (!found) {
        free(buf);
        if (err != 0 && err != ENOENT && err != ESRCH) {
            errno = err;
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        return 0;
    }
    *bufOut = buf;
    return 1;
}

static int lookupName(const char *name, struct passwd *pw, char **bufOut) {
    return lookupGrown(passwdByName, name, pw, bufOut);
}

// Shared with the other platform libraries (accounts.h).
int kavoWalkAccounts(int (*cb)(const struct passwd *pw, void *ctx), void *ctx) {
    size_t size = pwBufferSize();
    char *buf = (char *)malloc(size);
    struct passwd pw;
    struct passwd *ent = nullptr;
    int ret = 0;

    if (buf == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    setpwent();
    for (;;) {
        int err = getpwent_r(&pw, buf, size, &ent);
        if (err == ERANGE && size < PW_BUF_MAX) {
            // The entry is read again with the larger buffer.
            char *grown = (char *)realloc(buf, size * 2);
            if (grown == nullptr) {
                VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
                ret = -1;
                break;
            }
            buf = grown;
            size *= 2;
            continue;
        }
        if (err == ENOENT || (err == 0 && ent == nullptr)) {
            break;
        }
        if (err != 0) {
            errno = err;
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            ret = -1;
            break;
        }
        if (cb(ent, ctx) != 0) {
            break;
        }
    }
    endpwent();
    free(buf);
    return ret;
}

struct NameMatch {
    const char *name;
    char *buf;
    size_t size;
    int found;  // 1 copied, -1 did not fit
};

static int matchCaseless(const struct passwd *pw, void *ctx) {
    NameMatch *m = (NameMatch *)ctx;

    if (pw->pw_name == nullptr || !asciiCaseEqual(pw->pw_name, m->name)) {
        return 0;
    }
    m->found = VLIBCStrCopy(m->buf, m->size, pw->pw_name) == 0 ? 1 : -1;
    return 1;
}

int KAVOUserLoginNameConvert(const char *name, char *buf, size_t size, int flags) {
    struct passwd pw;
    char *pwBuf = nullptr;
    NameMatch m;
    int r;

    (void)flags;
    if (name == nullptr || name[0] == '\0' || buf == nullptr || size == 0 || strlen(name) >= size) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    buf[0] = '\0';

    // An account spelled exactly so wins over any other spelling.
    r = lookupName(name, &pw, &pwBuf);
    if (r < 0) {
        return -1;
    }
    if (r == 1) {
        r = VLIBCStrCopy(buf, size, pw.pw_name);
        free(pwBuf);
        if (r != 0) {
            VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
            return -1;
        }
        return 1;
    }

    m.name = name;
    m.buf = buf;
    m.size = size;
    m.found = 0;
    if (kavoWalkAccounts(matchCaseless, &m) < 0) {
        buf[0] = '\0';
        return -1;
    }
    if (m.found < 0) {
        buf[0] = '\0';
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (m.found == 0) {
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
        return 0;
    }
    return 1;
}

// The entry of that exact name: 0 with entry filled (its strings in *buf, which the caller
// frees), or -1: no such entry (ENOENT, KAVO_ERR_NOT_FOUND) or a failed lookup.
static int findEntry(NameLookup lookup, const char *name, void *entry, char **buf) {
    int found = lookupGrown(lookup, name, entry, buf);

    if (found == 0) {
        errno = ENOENT;
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
    }
    return found > 0 ? 0 : -1;
}

int KAVOUserGet(const char *name, PKAVOUSER *userOut) {
    struct passwd pw;
    char *pwBuf = nullptr;
    PKAVOUSER user;

    if (kavoRecordLookupStart(name, KAVO_LOGIN_NAME_SIZE, userOut) != 0) {
        return -1;
    }
    if (findEntry(passwdByName, name, &pw, &pwBuf) != 0) {
        return -1;
    }

    user = kavoRecordWithStrings(pw.pw_name, &KAVOUSER::szName,
                                 pw.pw_dir != nullptr ? pw.pw_dir : "", &KAVOUSER::szHome);
    if (user == nullptr) {
        free(pwBuf);
        return -1;
    }
    user->uid = pw.pw_uid;
    user->gid = pw.pw_gid;
    free(pwBuf);
    *userOut = user;
    return 0;
}

int KAVOUserIdsGet(const char *name, uid_t *uid, gid_t *gid) {
    struct passwd pw;
    char *buf = nullptr;

    if (name == nullptr || name[0] == '\0' || uid == nullptr || gid == nullptr) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (findEntry(passwdByName, name, &pw, &buf) != 0) {
        return -1;
    }
    *uid = pw.pw_uid;
    *gid = pw.pw_gid;
    free(buf);
    return 0;
}

int KAVOGroupIdGet(const char *name, gid_t *gid) {
    struct group gr;
    char *buf = nullptr;

    if (name == nullptr || name[0] == '\0' || gid == nullptr) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (findEntry(groupByName, name, &gr, &buf) != 0) {
        return -1;
    }
    *gid = gr.gr_gid;
    free(buf);
    return 0;
}

void KAVOUserFree(PKAVOUSER user) {
    free(user);
}

struct EnumCtx {
    PVLIBC_SZLIST *listRef;
    int count;
    int failed;
};

static int collectLocal(const struct passwd *pw, void *ctx) {
    EnumCtx *e = (EnumCtx *)ctx;

    if (pw->pw_name == nullptr || pw->pw_name[0] == '\0' || pw->pw_uid < USER_ENUM_UID_MIN ||
        pw->pw_uid >= USER_ENUM_UID_END) {
        return 0;
    }
    if (VLIBCSzListPush(e->listRef, pw->pw_name) != 0) {
        e->failed = 1;
        return 1;
    }
    e->count++;
    return 0;
}

int VLIBUserEnum(PVLIBC_SZLIST *listRef, int type, int flags) {
    EnumCtx e;

    (void)flags;
    if (listRef == nullptr || *listRef == nullptr || type != VLIB_USER_ENUM_LOCAL) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    e.listRef = listRef;
    e.count = 0;
    e.failed = 0;
    if (kavoWalkAccounts(collectLocal, &e) < 0) {
        return -1;
    }
    if (e.failed) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    return e.count;
}
