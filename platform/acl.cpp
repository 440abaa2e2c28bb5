// libkavoacl: ACLs of files and folders, kept in the extended attribute "security.kavo.acl"
// (both stored forms in kavoacl.h).
//
// Every operation acts on one descriptor: the caller's, or one opened here from the path with
// O_PATH | O_NOFOLLOW. Every change of an ACL is one whole-value setxattr call. Changes hold an
// exclusive flock on SZF_KAVO_ACL_LOCK while they read and write, so two programs adding entries to
// one folder at the same time both see their entry kept.
#include "kavoacl.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "kavosdk.h"

#define SZ_ACL_HEADER_INHERIT "kavoacl 1 inherit"
#define SZ_ACL_HEADER_PLAIN "kavoacl 1 -"
#define KAVO_ACL_TEXT_MAX 65536   // the largest value an extended attribute holds
#define KAVO_ACL_VALUE_MAX 65536  // the same for the value read back, in either form
#define KAVO_ACL_BIN_HEADER 4
#define KAVO_ACL_BIN_ENTRY 8
#define KAVO_ACL_BIN_VERSION 2
#define KAVO_ACL_BIN_INHERIT 0x1
#define KAVO_ACL_ACE_MAX 1024   // entries of one path's own ACL
#define KAVO_ACE_TEXT_MAX 1024  // one entry in text form
#define KAVO_ACE_FIELDS 5
#define KAVO_PERM_LEN 13
#define KAVO_INHERIT_LEN 4
#define KAVO_INHERIT_ALL 0xF
#define SZF_KAVO_ACL_LOCK "/run/kavoacl.lock"

static const char SZ_PERM_LETTERS[KAVO_PERM_LEN + 1] = "rwxpdDaARWcCo";
static const uint32_t RG_PERM_BITS[KAVO_PERM_LEN] = {
    KAVO_PERM_READ,       KAVO_PERM_WRITE,       KAVO_PERM_EXECUTE,   KAVO_PERM_APPEND,
    KAVO_PERM_DELETE,     KAVO_PERM_DELETE_SUB,  KAVO_PERM_READ_ATTR, KAVO_PERM_WRITE_ATTR,
    KAVO_PERM_READ_XATTR, KAVO_PERM_WRITE_XATTR, KAVO_PERM_READ_ACL,  KAVO_PERM_WRITE_ACL,
    KAVO_PERM_OWNERSHIP,
};
static const char SZ_INHERIT_LETTERS[KAVO_INHERIT_LEN + 1] = "fdin";
static const uint32_t RG_INHERIT_BITS[KAVO_INHERIT_LEN] = {
    KAVO_INHERIT_FILE,
    KAVO_INHERIT_DIR,
    KAVO_INHERIT_ONLY,
    KAVO_INHERIT_NO_PROPAGATE,
};

// A piece of a text that is not terminated where it ends.
typedef struct _tag_SLICE {
    const char *p;
    size_t len;
} SLICE;

// Refuses the arguments of an operation: -1 (KAVO_ERR_BAD_PARAMETERS, EINVAL).
static int aclBadArgs(void) {
    errno = EINVAL;
    VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
    return -1;
}

// Releases what a parse has read so far (acl may be null) and refuses the text: -1
// (KAVO_ERR_PARSE, EINVAL).
static int aclMalformed(PKAVOACL acl) {
    KAVOACLFree(acl);
    errno = EINVAL;
    VLIBCErrSet(KAVO_ERR_PARSE);
    return -1;
}

// ---- Fields of the text forms ------------------------------------------------------------

static int sliceIs(const SLICE *s, const char *word) {
    size_t len = strlen(word);

    return s->len == len && memcmp(s->p, word, len) == 0;
}

// Splits text into exactly KAVO_ACE_FIELDS fields at ':'. 0 or -1.
static int aceSplit(const char *text, size_t len, SLICE fields[KAVO_ACE_FIELDS]) {
    size_t start = 0;
    size_t i;
    int count = 0;

    for (i = 0; i <= len; i++) {
        if (i < len && text[i] != ':') {
            continue;
        }
        if (count == KAVO_ACE_FIELDS) {
            return -1;  // one ':' too many
        }
        fields[count].p = text + start;
        fields[count].len = i - start;
        count++;
        start = i + 1;
    }
    return count == KAVO_ACE_FIELDS ? 0 : -1;
}

// A word field: one of the words of a table, each standing for its value.
typedef struct _tag_FIELD_WORD {
    const char *word;
    int32_t value;
} FIELD_WORD;

static const FIELD_WORD KIND_WORDS[] = {
    {"user", KAVO_ACE_USER},
    {"group", KAVO_ACE_GROUP},
    {"everyone", KAVO_ACE_EVERYONE},
};
static const FIELD_WORD ALLOW_WORDS[] = {
    {"allow", 1},
    {"deny", 0},
};

static int aceParseWord(const SLICE *s, const FIELD_WORD *words, size_t count, int32_t *value) {
    size_t i;

    for (i = 0; i < count; i++) {
        if (sliceIs(s, words[i].word)) {
            *value = words[i].value;
            return 0;
        }
    }
    return -1;
}

static int aceParseKind(const SLICE *s, int32_t *type) {
    return aceParseWord(s, KIND_WORDS, sizeof(KIND_WORDS) / sizeof(KIND_WORDS[0]), type);
}

static int aceParseAllow(const SLICE *s, int32_t *allow) {
    return aceParseWord(s, ALLOW_WORDS, sizeof(ALLOW_WORDS) / sizeof(ALLOW_WORDS[0]), allow);
}

// A letter field: each position holds its own letter, which sets that position's bit, or '-'.
static int aceParseLetters(const SLICE *s, const char *letters, const uint32_t *bits, size_t count,
                           uint32_t *value) {
    uint32_t found = 0;
    size_t i;

    if (s->len != count) {
        return -1;
    }
    for (i = 0; i < count; i++) {
        if (s->p[i] == letters[i]) {
            found |= bits[i];
        } else if (s->p[i] != '-') {
            return -1;
        }
    }
    *value = found;
    return 0;
}

// The letter field of value: count letters and a terminator.
static void aceWriteLetters(uint32_t value, const char *letters, const uint32_t *bits, size_t count,
                            char *field) {
    size_t i;

    for (i = 0; i < count; i++) {
        field[i] = (value & bits[i]) != 0 ? letters[i] : '-';
    }
    field[count] = '\0';
}

static int aceParsePerm(const SLICE *s, uint32_t *perm) {
    return aceParseLetters(s, SZ_PERM_LETTERS, RG_PERM_BITS, KAVO_PERM_LEN, perm);
}

static int aceParseInherit(const SLICE *s, uint16_t *inherit) {
    uint32_t bits = 0;

    if (aceParseLetters(s, SZ_INHERIT_LETTERS, RG_INHERIT_BITS, KAVO_INHERIT_LEN, &bits) < 0) {
        return -1;
    }
    *inherit = (uint16_t)bits;
    return 0;
}

// The numeric id of the attribute text: "-1" for everyone, otherwise a decimal uid or gid
// without sign or leading zeros, below (uid_t)-1.
static int aceParseId(const SLICE *s, int32_t type, int32_t *id) {
    uint64_t value = 0;
    size_t i;

    if (type == KAVO_ACE_EVERYONE) {
        if (!sliceIs(s, "-1")) {
            return -1;
        }
        *id = -1;
        return 0;
    }
    if (s->len == 0 || s->len > 10 || (s->len > 1 && s->p[0] == '0')) {
        return -1;
    }
    for (i = 0; i < s->len; i++) {
        if (s->p[i] < '0' || s->p[i] > '9') {
            return -1;
        }
        value = value * 10 + (uint64_t)(s->p[i] - '0');
    }
    if (value >= UINT32_MAX) {
        return -1;
    }
    *id = (int32_t)(uint32_t)value;
    return 0;
}

// An entry the text form can hold.
static int aceValid(const KAVOACE *ace) {
    switch (ace->type) {
        case KAVO_ACE_EVERYONE:
            if (ace->id != -1) {
                return 0;
            }
            break;
        case KAVO_ACE_USER:
        case KAVO_ACE_GROUP:
            if (ace->id == -1) {
                return 0;
            }
            break;
        default:
            return 0;
    }
    if ((ace->perm & ~(uint32_t)KAVO_PERM_ALL) != 0 || (ace->inherit & ~KAVO_INHERIT_ALL) != 0) {
        return 0;
    }
    return ace->isAllow == 0 || ace->isAllow == 1;
}

static int aceEqual(const KAVOACE *a, const KAVOACE *b) {
    return a->type == b->type && a->id == b->id && a->perm == b->perm && a->inherit == b->inherit &&
           a->isAllow == b->isAllow;
}

// ---- Account names --------------------------------------------------------------------------

// The uid of a user or gid of a group. 0, or -1 with the error recorded: an account that does
// not exist makes the text one that does not parse.
static int aceAccountId(int32_t type, const char *name, int32_t *id) {
    uid_t uid = 0;
    gid_t gid = 0;
    uint32_t value;
    int rc;

    rc = type == KAVO_ACE_USER ? KAVOUserIdsGet(name, &uid, &gid) : KAVOGroupIdGet(name, &gid);
    if (rc < 0) {
        // Some account databases tell a missing name by one of these codes.
        if (errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM) {
            errno = ENOENT;
            VLIBCErrSet(KAVO_ERR_PARSE);
        }
        return -1;
    }
    value = type == KAVO_ACE_USER ? (uint32_t)uid : (uint32_t)gid;
    if (value == UINT32_MAX) {
        return aclMalformed(nullptr);
    }
    *id = (int32_t)value;
    return 0;
}

int KAVOACLAceFromStr(int selector, const char *text, PKAVOACE ace) {
    SLICE f[KAVO_ACE_FIELDS];
    char name[KAVO_ACE_TEXT_MAX + 1];
    KAVOACE parsed;
    size_t len;

    if (selector != 1 || text == nullptr || ace == nullptr) {
        return aclBadArgs();
    }
    len = strnlen(text, KAVO_ACE_TEXT_MAX + 1);
    memset(&parsed, 0, sizeof(parsed));
    if (len > KAVO_ACE_TEXT_MAX || aceSplit(text, len, f) < 0 ||
        aceParseKind(&f[0], &parsed.type) < 0 || aceParseAllow(&f[2], &parsed.isAllow) < 0 ||
        aceParsePerm(&f[3], &parsed.perm) < 0 || aceParseInherit(&f[4], &parsed.inherit) < 0) {
        return aclMalformed(nullptr);
    }
    if (parsed.type == KAVO_ACE_EVERYONE) {
        if (!sliceIs(&f[1], "*")) {
            return aclMalformed(nullptr);
        }
        parsed.id = -1;
    } else {
        if (f[1].len == 0 || sliceIs(&f[1], "*")) {
            return aclMalformed(nullptr);
        }
        memcpy(name, f[1].p, f[1].len);  // f[1].len <= len <= KAVO_ACE_TEXT_MAX
        name[f[1].len] = '\0';
        if (aceAccountId(parsed.type, name, &parsed.id) < 0) {
            return -1;
        }
    }
    *ace = parsed;
    return 0;
}

PKAVOACE KAVOACLAceAlloc(void) {
    PKAVOACE ace = (PKAVOACE)calloc(1, sizeof(KAVOACE));

    if (ace == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
    }
    return ace;
}

// ---- ACL records and their text ---------------------------------------------------------------

static PKAVOACL aclNew(int inherit) {
    PKAVOACL acl = (PKAVOACL)calloc(1, sizeof(KAVOACL));

    if (acl == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    acl->blInherit = inherit;
    return acl;
}

// Appends a copy of the entry; limit 0 means no limit (effective ACLs). 0 or -1.
static int aclAppend(PKAVOACL acl, const KAVOACE *ace, int limit) {
    KAVOACE *grown;
    int alloc;

    if (limit > 0 && acl->nAce >= limit) {
        errno = E2BIG;
        VLIBCErrSet(KAVO_ERR_ACL);
        return -1;
    }
    if (acl->nAce == acl->nAlloc) {
        if (acl->nAlloc > INT_MAX / 2 - 8) {
            errno = E2BIG;
            VLIBCErrSet(KAVO_ERR_ACL);
            return -1;
        }
        alloc = acl->nAlloc == 0 ? 8 : acl->nAlloc * 2;
        grown = (KAVOACE *)realloc(acl->pAce, (size_t)alloc * sizeof(KAVOACE));
        if (grown == nullptr) {
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return -1;
        }
        acl->pAce = grown;
        acl->nAlloc = alloc;
    }
    acl->pAce[acl->nAce++] = *ace;
    return 0;
}

void KAVOACLFree(PKAVOACL acl) {
    if (acl == nullptr) {
        return;
    }
    free(acl->pAce);
    free(acl);
}

// One entry line of the attribute, without its line end.
static int aclParseLine(const char *line, size_t len, KAVOACE *ace) {
    SLICE f[KAVO_ACE_FIELDS];

    memset(ace, 0, sizeof(*ace));
    if (aceSplit(line, len, f) < 0 || aceParseKind(&f[0], &ace->type) < 0 ||
        aceParseId(&f[1], ace->type, &ace->id) < 0 || aceParseAllow(&f[2], &ace->isAllow) < 0 ||
        aceParsePerm(&f[3], &ace->perm) < 0 || aceParseInherit(&f[4], &ace->inherit) < 0) {
        return -1;
    }
    return 0;
}

int KAVOACLFromText(const char *text, size_t len, PKAVOACL *aclOut) {
    PKAVOACL acl = nullptr;
    KAVOACE ace;
    const char *nl;
    size_t pos = 0;
    size_t lineLen;
    int first = 1;

    if (text == nullptr || aclOut == nullptr) {
        return aclBadArgs();
    }
    if (len == 0 || len > KAVO_ACL_TEXT_MAX || memchr(text, '\0', len) != nullptr) {
        return aclMalformed(nullptr);
    }
    acl = aclNew(0);
    if (acl == nullptr) {
        return -1;
    }
    // Lines end with '\n'; the last one may lack it. Empty lines are not part of the form.
    while (pos < len) {
        nl = (const char *)memchr(text + pos, '\n', len - pos);
        lineLen = nl != nullptr ? (size_t)(nl - (text + pos)) : len - pos;
        if (first) {
            SLICE header = {text + pos, lineLen};
            if (sliceIs(&header, SZ_ACL_HEADER_INHERIT)) {
                acl->blInherit = 1;
            } else if (!sliceIs(&header, SZ_ACL_HEADER_PLAIN)) {
                return aclMalformed(acl);
            }
            first = 0;
        } else if (aclParseLine(text + pos, lineLen, &ace) < 0 ||
                   aclAppend(acl, &ace, KAVO_ACL_ACE_MAX) < 0) {
            return aclMalformed(acl);
        }
        pos += lineLen + 1;
    }
    *aclOut = acl;
    return 0;
}

// Whether both forms can hold the ACL: a sound record of valid entries. 1, or 0 with the
// error recorded (KAVO_ERR_BAD_PARAMETERS).
static int aclStorable(const KAVOACL *acl) {
    int i;

    if (acl == nullptr || acl->nAce < 0 || acl->nAce > KAVO_ACL_ACE_MAX ||
        (acl->nAce > 0 && acl->pAce == nullptr)) {
        aclBadArgs();
        return 0;
    }
    for (i = 0; i < acl->nAce; i++) {
        if (!aceValid(&acl->pAce[i])) {
            aclBadArgs();
            return 0;
        }
    }
    return 1;
}

char *KAVOACLToText(const KAVOACL *acl) {
    char perm[KAVO_PERM_LEN + 1];
    char inherit[KAVO_INHERIT_LEN + 1];
    char *text;
    size_t size;
    size_t used;
    int written;
    int i;

    if (!aclStorable(acl)) {
        return nullptr;
    }
    // An entry line takes at most 9 + 11 + 6 + 14 + 5 + 1 bytes; 64 leaves room.
    size = 32 + (size_t)acl->nAce * 64;
    text = (char *)malloc(size);
    if (text == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    written =
        snprintf(text, size, "%s\n", acl->blInherit ? SZ_ACL_HEADER_INHERIT : SZ_ACL_HEADER_PLAIN);
    used = (size_t)written;
    for (i = 0; i < acl->nAce; i++) {
        const KAVOACE *ace = &acl->pAce[i];
        const char *kind = ace->type == KAVO_ACE_USER    ? "user"
                           : ace->type == KAVO_ACE_GROUP ? "group"
                                                         : "everyone";
        aceWriteLetters(ace->perm, SZ_PERM_LETTERS, RG_PERM_BITS, KAVO_PERM_LEN, perm);
        aceWriteLetters(ace->inherit, SZ_INHERIT_LETTERS, RG_INHERIT_BITS, KAVO_INHERIT_LEN,
                        inherit);
        if (ace->type == KAVO_ACE_EVERYONE) {
            written = snprintf(text + used, size - used, "%s:-1:%s:%s:%s\n", kind,
                               ace->isAllow ? "allow" : "deny", perm, inherit);
        } else {
            written = snprintf(text + used, size - used, "%s:%u:%s:%s:%s\n", kind,
                               (unsigned)(uint32_t)ace->id, ace->isAllow ? "allow" : "deny", perm,
                               inherit);
        }
        if (written < 0 || (size_t)written >= size - used) {
            free(text);
            errno = EOVERFLOW;
            VLIBCErrSet(KAVO_ERR_ACL);
            return nullptr;
        }
        used += (size_t)written;
    }
    if (used > KAVO_ACL_TEXT_MAX) {
        free(text);
        errno = E2BIG;
        VLIBCErrSet(KAVO_ERR_ACL);
        return nullptr;
    }
    return text;
}

// ---- The stored form ----------------------------------------------------------------------------

// Reads either stored form (the compact one, or the text form that older versions wrote).
int KAVOACLFromStored(const void *value, size_t len, PKAVOACL *aclOut) {
    const unsigned char *bytes = (const unsigned char *)value;
    PKAVOACL acl;
    size_t count;
    size_t i;

    if (value == nullptr || aclOut == nullptr) {
        return aclBadArgs();
    }
    if (len == 0 || bytes[0] != 0) {
        return KAVOACLFromText((const char *)value, len, aclOut);
    }
    if (len < KAVO_ACL_BIN_HEADER || bytes[1] != 'K' || bytes[2] != KAVO_ACL_BIN_VERSION ||
        (bytes[3] & ~KAVO_ACL_BIN_INHERIT) != 0 ||
        (len - KAVO_ACL_BIN_HEADER) % KAVO_ACL_BIN_ENTRY) {
        return aclMalformed(nullptr);
    }
    count = (len - KAVO_ACL_BIN_HEADER) / KAVO_ACL_BIN_ENTRY;
    if (count > KAVO_ACL_ACE_MAX) {
        return aclMalformed(nullptr);
    }
    acl = aclNew((bytes[3] & KAVO_ACL_BIN_INHERIT) ? 1 : 0);
    if (acl == nullptr) {
        return -1;
    }
    for (i = 0; i < count; i++) {
        const unsigned char *e = bytes + KAVO_ACL_BIN_HEADER + i * KAVO_ACL_BIN_ENTRY;
        uint32_t id =
            (uint32_t)e[0] | (uint32_t)e[1] << 8 | (uint32_t)e[2] << 16 | (uint32_t)e[3] << 24;
        uint32_t word =
            (uint32_t)e[4] | (uint32_t)e[5] << 8 | (uint32_t)e[6] << 16 | (uint32_t)e[7] << 24;
        uint32_t kind = (word >> 17) & 0x3;
        KAVOACE ace;

        memset(&ace, 0, sizeof(ace));
        ace.type = kind == 0 ? KAVO_ACE_USER : kind == 1 ? KAVO_ACE_GROUP : KAVO_ACE_EVERYONE;
        ace.id = (int32_t)id;
        ace.perm = word & KAVO_PERM_ALL;
        ace.inherit = (uint16_t)((word >> 13) & KAVO_INHERIT_ALL);
        ace.isAllow = (int32_t)((word >> 19) & 0x1);
        if (kind == 3 || (word >> 20) != 0 || !aceValid(&ace) || aclAppend(acl, &ace, 0) < 0) {
            return aclMalformed(acl);
        }
    }
    *aclOut = acl;
    return 0;
}

unsigned char *KAVOACLToStored(const KAVOACL *acl, size_t *lenOut) {
    unsigned char *stored;
    size_t len;
    int i;

    if (!aclStorable(acl)) {
        return nullptr;
    }
    len = KAVO_ACL_BIN_HEADER + (size_t)acl->nAce * KAVO_ACL_BIN_ENTRY;
    stored = (unsigned char *)malloc(len);
    if (stored == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    stored[0] = 0;
    stored[1] = 'K';
    stored[2] = KAVO_ACL_BIN_VERSION;
    stored[3] = acl->blInherit ? KAVO_ACL_BIN_INHERIT : 0;
    for (i = 0; i < acl->nAce; i++) {
        const KAVOACE *ace = &acl->pAce[i];
        unsigned char *e = stored + KAVO_ACL_BIN_HEADER + (size_t)i * KAVO_ACL_BIN_ENTRY;
        uint32_t id = (uint32_t)ace->id;
        uint32_t kind = ace->type == KAVO_ACE_USER ? 0 : ace->type == KAVO_ACE_GROUP ? 1 : 2;
        uint32_t word = ace->perm | (uint32_t)ace->inherit << 13 | kind << 17 |
                        (uint32_t)(ace->isAllow ? 1 : 0) << 19;
        e[0] = (unsigned char)id;
        e[1] = (unsigned char)(id >> 8);
        e[2] = (unsigned char)(id >> 16);
        e[3] = (unsigned char)(id >> 24);
        e[4] = (unsigned char)word;
        e[5] = (unsigned char)(word >> 8);
        e[6] = (unsigned char)(word >> 16);
        e[7] = (unsigned char)(word >> 24);
    }
    *lenOut = len;
    return stored;
}

// ---- The attribute ----------------------------------------------------------------------------

// What an operation acts on: a descriptor, either the caller's or one opened here from the
// path with O_PATH | O_NOFOLLOW, so that a read, an edit and a write reach one file, and a
// symbolic link is never followed at the path's last component.
typedef struct _tag_ACLTARGET {
    int fd;
    int owned;  // opened here: closed by aclTargetClose
} ACLTARGET;

static int aclTargetOpen(const char *path, int fd, ACLTARGET *t) {
    struct stat st;

    t->fd = -1;
    t->owned = 0;
    if (fd >= 0) {
        t->fd = fd;
        return 0;
    }
    if (path == nullptr || path[0] == '\0' || strnlen(path, PATH_MAX) >= PATH_MAX) {
        return aclBadArgs();
    }
    t->fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (t->fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    t->owned = 1;
    if (fstat(t->fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        close(t->fd);
        t->fd = -1;
        errno = ELOOP;
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    return 0;
}

static void aclTargetClose(ACLTARGET *t) {
    int err = errno;

    if (t->owned && t->fd >= 0) {
        close(t->fd);
    }
    t->fd = -1;
    errno = err;
}

// The f*xattr calls refuse O_PATH descriptors (EBADF); "/proc/self/fd/N" names the opened
// inode itself and reaches exactly what was opened. A descriptor of a link is refused.
static int aclProcName(int fd, char *buf, size_t size) {
    struct stat st;

    if (fstat(fd, &st) != 0) {
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    if (VLIBCStrPrintf(buf, size, "/proc/self/fd/%d", fd) < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

static ssize_t aclXattrGet(int fd, void *buf, size_t size) {
    char name[64];
    ssize_t got = fgetxattr(fd, SZ_KAVO_ACL_XATTR, buf, size);

    if (got >= 0 || errno != EBADF) {
        return got;
    }
    if (aclProcName(fd, name, sizeof(name)) < 0) {
        return -1;
    }
    return getxattr(name, SZ_KAVO_ACL_XATTR, buf, size);
}

static int aclXattrSet(int fd, const void *value, size_t len) {
    char name[64];

    if (fsetxattr(fd, SZ_KAVO_ACL_XATTR, value, len, 0) == 0) {
        return 0;
    }
    if (errno != EBADF || aclProcName(fd, name, sizeof(name)) < 0) {
        return -1;
    }
    return setxattr(name, SZ_KAVO_ACL_XATTR, value, len, 0);
}

static int aclXattrRemove(int fd) {
    char name[64];

    if (fremovexattr(fd, SZ_KAVO_ACL_XATTR) == 0) {
        return 0;
    }
    if (errno != EBADF || aclProcName(fd, name, sizeof(name)) < 0) {
        return -1;
    }
    return removexattr(name, SZ_KAVO_ACL_XATTR);
}

static int aclNoAttr(int err) {
    return err == ENODATA || err == ENOTSUP;
}

// Releases a buffer after a failure without losing the failure's errno.
static void aclFreeKeepingErrno(void *buf) {
    int err = errno;

    free(buf);
    errno = err;
}

// Reads the ACL of an open file. -1 failure, 0 no ACL, 1 with *acl set.
static int aclRead(int fd, PKAVOACL *acl) {
    char *buf;
    ssize_t len;
    int rc;

    buf = (char *)malloc(KAVO_ACL_VALUE_MAX);
    if (buf == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    len = aclXattrGet(fd, buf, KAVO_ACL_VALUE_MAX);
    if (len < 0) {
        aclFreeKeepingErrno(buf);
        if (aclNoAttr(errno)) {
            return 0;
        }
        VLIBCErrSet(errno == ERANGE ? KAVO_ERR_PARSE : KAVO_ERR_SYSTEM);
        return -1;
    }
    rc = KAVOACLFromStored(buf, (size_t)len, acl) < 0 ? -1 : 1;
    aclFreeKeepingErrno(buf);
    return rc;
}

// The same by path, links followed (for the read-only effective ACL).
static int aclReadPath(const char *path, PKAVOACL *acl) {
    ACLTARGET t = {open(path, O_PATH | O_CLOEXEC), 1};
    int rc;

    if (t.fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    rc = aclRead(t.fd, acl);
    aclTargetClose(&t);
    return rc;
}

// Writes the compact form. A value the file system has no room for (ENOSPC, E2BIG) is
// KAVO_ERR_ACL with errno kept, so callers can tell "full" from other failures.
static int aclWrite(int fd, const KAVOACL *acl) {
    unsigned char *value;
    size_t len = 0;
    int rc;

    value = KAVOACLToStored(acl, &len);
    if (value == nullptr) {
        return -1;
    }
    rc = aclXattrSet(fd, value, len);
    if (rc < 0) {
        VLIBCErrSet(errno == ENOTSUP                    ? KAVO_ERR_NOT_SUPPORTED
                    : errno == ENOSPC || errno == E2BIG ? KAVO_ERR_ACL
                                                        : KAVO_ERR_SYSTEM);
    }
    aclFreeKeepingErrno(value);
    return rc;
}

// The lock that keeps two changes of ACLs apart. Only root can open the lock file, so no other
// user can hold it and stall the changes; a process that cannot open it may not change an ACL
// either, and goes on unlocked (its write then fails). The lock is counted within the process,
// so that a caller holding it (KAVOACLLock) can still call the operations that take it. The
// file stays open between two holds (taking the lock is then one flock call); a forked child
// opens its own, since a shared open file would not keep the two apart.
static int g_lockFd = -1;
static pid_t g_lockPid = -1;
static int g_lockHeld = 0;
static int g_lockDepth = 0;

static int aclLockOpen(void) {
    struct stat st;
    int err = errno;

    if (g_lockDepth++ > 0) {
        return g_lockFd;
    }
    if (g_lockFd >= 0 && g_lockPid != getpid()) {
        close(g_lockFd);
        g_lockFd = -1;
    }
    if (g_lockFd < 0) {
        g_lockFd = open(SZF_KAVO_ACL_LOCK, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        // A lock file that someone else owns is not trusted to be free.
        if (g_lockFd >= 0 &&
            (fstat(g_lockFd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
            close(g_lockFd);
            g_lockFd = -1;
        }
        g_lockPid = getpid();
    }
    g_lockHeld = g_lockFd >= 0 && flock(g_lockFd, LOCK_EX) == 0;
    errno = err;
    return g_lockFd;
}

static void aclLockClose(int lockFd) {
    int err = errno;

    (void)lockFd;
    if (g_lockDepth > 0 && --g_lockDepth == 0 && g_lockHeld) {
        flock(g_lockFd, LOCK_UN);
        g_lockHeld = 0;
    }
    errno = err;
}

void KAVOACLLock(void) {
    aclLockOpen();
}

void KAVOACLUnlock(void) {
    aclLockClose(g_lockFd);
}

int KAVOACLIsApply(const char *path) {
    return KAVOACLIsSupport(path, -1, 0);
}

int KAVOACLIsApplyFd(int fd) {
    if (fd < 0) {
        errno = EBADF;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return KAVOACLIsSupport(nullptr, fd, 0);
}

int KAVOACLIsSupport(const char *path, int fd, int flags) {
    ACLTARGET t;
    int rc;

    (void)flags;
    if (aclTargetOpen(path, fd, &t) < 0) {
        return -1;
    }
    if (aclXattrGet(t.fd, nullptr, 0) >= 0) {
        rc = 1;
    } else if (aclNoAttr(errno)) {
        rc = 0;
    } else {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        rc = -1;
    }
    aclTargetClose(&t);
    return rc;
}

int KAVOACLDelete(const char *path, int fd) {
    ACLTARGET t;
    int lockFd;
    int rc = 0;

    if (aclTargetOpen(path, fd, &t) < 0) {
        return -1;
    }
    lockFd = aclLockOpen();
    if (aclXattrRemove(t.fd) < 0 && !aclNoAttr(errno)) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        rc = -1;
    }
    aclLockClose(lockFd);
    aclTargetClose(&t);
    return rc;
}

static int aclAddTo(int fd, const KAVOACE *ace) {
    PKAVOACL acl = nullptr;
    int lockFd;
    int rc;
    int i;

    lockFd = aclLockOpen();
    rc = aclRead(fd, &acl);
    if (rc < 0) {
        aclLockClose(lockFd);
        return -1;
    }
    if (rc == 0) {
        acl = aclNew(0);
        if (acl == nullptr) {
            aclLockClose(lockFd);
            return -1;
        }
    }
    for (i = 0; i < acl->nAce; i++) {
        if (aceEqual(&acl->pAce[i], ace)) {
            KAVOACLFree(acl);
            aclLockClose(lockFd);
            return 0;  // already there: nothing to write
        }
    }
    rc = aclAppend(acl, ace, KAVO_ACL_ACE_MAX);
    if (rc == 0) {
        rc = aclWrite(fd, acl);
    }
    KAVOACLFree(acl);
    aclLockClose(lockFd);
    return rc;
}

int KAVOACLAdd(const char *path, const KAVOACE *ace) {
    ACLTARGET t;
    int rc;

    if (ace == nullptr || !aceValid(ace)) {
        return aclBadArgs();
    }
    if (aclTargetOpen(path, -1, &t) < 0) {
        return -1;
    }
    rc = aclAddTo(t.fd, ace);
    aclTargetClose(&t);
    return rc;
}

int KAVOACLAddFd(int fd, const KAVOACE *ace) {
    if (fd < 0 || ace == nullptr || !aceValid(ace)) {
        return aclBadArgs();
    }
    return aclAddTo(fd, ace);
}

int KAVOACLEnforceInheritFd(int fd) {
    KAVOACL acl = {1, 0, 0, nullptr};
    int lockFd;
    int rc;

    if (fd < 0) {
        errno = EBADF;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    lockFd = aclLockOpen();
    rc = aclWrite(fd, &acl);
    aclLockClose(lockFd);
    return rc;
}

int KAVOACLEnforceInherit(const char *path) {
    ACLTARGET t;
    int rc;

    if (aclTargetOpen(path, -1, &t) < 0) {
        return -1;
    }
    rc = KAVOACLEnforceInheritFd(t.fd);
    aclTargetClose(&t);
    return rc;
}

int KAVOACLArchiveEnable(const char *path, int fd, int enable, int flags) {
    PKAVOACL acl = nullptr;
    ACLTARGET t;
    int lockFd;
    int rc;

    (void)flags;
    if (aclTargetOpen(path, fd, &t) < 0) {
        return -1;
    }
    lockFd = aclLockOpen();
    rc = aclRead(t.fd, &acl);
    if (rc == 0 && !enable) {
        rc = 0;  // no ACL, so no inherit flag to clear
    } else if (rc >= 0) {
        if (rc == 0) {
            acl = aclNew(0);
        }
        if (acl == nullptr) {
            rc = -1;
        } else {
            acl->blInherit = enable ? 1 : 0;
            rc = aclWrite(t.fd, acl);
        }
    }
    KAVOACLFree(acl);
    aclLockClose(lockFd);
    aclTargetClose(&t);
    return rc;
}

int KAVOACLGet(const char *path, int fd, int flags, PKAVOACL *aclOut) {
    PKAVOACL acl = nullptr;
    ACLTARGET t;
    int rc;

    (void)flags;
    if (aclOut == nullptr) {
        return aclBadArgs();
    }
    if (aclTargetOpen(path, fd, &t) < 0) {
        return -1;
    }
    rc = aclRead(t.fd, &acl);
    if (rc > 0) {
        *aclOut = acl;
    }
    aclTargetClose(&t);
    return rc;
}

int KAVOACLAceRemove(PKAVOACL acl, const KAVOACE_CRITERIA *criteria, int flags) {
    const uint32_t known =
        KAVO_ACE_MATCH_OWNER | KAVO_ACE_MATCH_PERM | KAVO_ACE_MATCH_INHERIT | KAVO_ACE_MATCH_ALLOW;
    const KAVOACE *want;
    int kept = 0;
    int i;

    (void)flags;
    // Criteria that name no field would match every entry: refused rather than emptying
    // the ACL by mistake.
    if (acl == nullptr || criteria == nullptr || criteria->fields == 0 ||
        (criteria->fields & ~known) != 0 || acl->nAce < 0 ||
        (acl->nAce > 0 && acl->pAce == nullptr)) {
        return aclBadArgs();
    }
    want = &criteria->ace;
    for (i = 0; i < acl->nAce; i++) {
        const KAVOACE *ace = &acl->pAce[i];
        int match = 1;

        if ((criteria->fields & KAVO_ACE_MATCH_OWNER) &&
            (ace->type != want->type || ace->id != want->id)) {
            match = 0;
        }
        if ((criteria->fields & KAVO_ACE_MATCH_PERM) && ace->perm != want->perm) {
            match = 0;
        }
        if ((criteria->fields & KAVO_ACE_MATCH_INHERIT) && ace->inherit != want->inherit) {
            match = 0;
        }
        if ((criteria->fields & KAVO_ACE_MATCH_ALLOW) &&
            (ace->isAllow != 0) != (want->isAllow != 0)) {
            match = 0;
        }
        if (!match) {
            acl->pAce[kept++] = *ace;
        }
    }
    acl->nAce = kept;
    return 0;
}

int KAVOACLSet(const char *path, int fd, const KAVOACL *acl) {
    ACLTARGET t;
    int lockFd;
    int rc;

    if (acl == nullptr) {
        return aclBadArgs();
    }
    if (aclTargetOpen(path, fd, &t) < 0) {
        return -1;
    }
    lockFd = aclLockOpen();
    rc = aclWrite(t.fd, acl);
    aclLockClose(lockFd);
    aclTargetClose(&t);
    return rc;
}

// ---- Effective ACL and permissions ------------------------------------------------------------

// Appends to eff the entries of the parent's effective ACL that reach a child: those with f
// for a file, with d for a folder. The child's copy applies to the child itself (inherit-only
// is cleared) and, when the entry carried n, goes no further down.
static int aclInheritInto(PKAVOACL eff, const KAVOACL *parent, int isDir) {
    uint16_t need = isDir ? KAVO_INHERIT_DIR : KAVO_INHERIT_FILE;
    KAVOACE copy;
    int i;

    for (i = 0; i < parent->nAce; i++) {
        if (!(parent->pAce[i].inherit & need)) {
            continue;
        }
        copy = parent->pAce[i];
        if (copy.inherit & KAVO_INHERIT_NO_PROPAGATE) {
            copy.inherit = 0;
        } else {
            copy.inherit &= (uint16_t)~KAVO_INHERIT_ONLY;
        }
        if (aclAppend(eff, &copy, 0) < 0) {
            return -1;
        }
    }
    return 0;
}

static PKAVOACL aclCopy(const KAVOACL *acl) {
    PKAVOACL copy = aclNew(acl != nullptr ? acl->blInherit : 0);
    int i;

    if (copy == nullptr || acl == nullptr) {
        return copy;
    }
    for (i = 0; i < acl->nAce; i++) {
        if (aclAppend(copy, &acl->pAce[i], 0) < 0) {
            KAVOACLFree(copy);
            return nullptr;
        }
    }
    return copy;
}

// The effective ACL of a resolved path. *found tells whether an ACL was found on the path
// or up its inheritance chain. 0 or -1.
static int aclEffective(const char *path, PKAVOACL *aclOut, int *found) {
    char cur[PATH_MAX];
    struct stat st;
    PKAVOACL *chain = nullptr;  // own ACLs from the path upwards (null: none)
    PKAVOACL *grown;
    PKAVOACL eff = nullptr;
    PKAVOACL next;
    char *slash;
    int chainLen = 0;
    int chainAlloc = 0;
    int isDir;
    int rc = -1;
    int i;

    *found = 0;
    if (VLIBCStrCopy(cur, sizeof(cur), path) < 0 || stat(cur, &st) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    isDir = S_ISDIR(st.st_mode);

    for (;;) {
        PKAVOACL own = nullptr;
        int got;

        if (chainLen == chainAlloc) {
            chainAlloc = chainAlloc == 0 ? 16 : chainAlloc * 2;
            grown = (PKAVOACL *)realloc(chain, (size_t)chainAlloc * sizeof(PKAVOACL));
            if (grown == nullptr) {
                VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
                goto out;
            }
            chain = grown;
        }
        got = aclReadPath(cur, &own);
        if (got < 0) {
            goto out;
        }
        chain[chainLen++] = own;
        if (own != nullptr) {
            *found = 1;
        }
        if (own == nullptr || !own->blInherit || strcmp(cur, "/") == 0) {
            break;
        }
        slash = strrchr(cur, '/');
        if (slash == nullptr) {
            break;
        }
        if (slash == cur) {
            cur[1] = '\0';
        } else {
            *slash = '\0';
        }
    }

    // From the top of the chain down: each level's own entries, then what reaches it.
    eff = aclCopy(chain[chainLen - 1]);
    if (eff == nullptr) {
        goto out;
    }
    for (i = chainLen - 2; i >= 0; i--) {
        next = aclCopy(chain[i]);
        if (next == nullptr || aclInheritInto(next, eff, i == 0 ? isDir : 1) < 0) {
            KAVOACLFree(next);
            goto out;
        }
        KAVOACLFree(eff);
        eff = next;
    }
    *aclOut = eff;
    eff = nullptr;
    rc = 0;
out:
    KAVOACLFree(eff);
    for (i = 0; i < chainLen; i++) {
        KAVOACLFree(chain[i]);
    }
    free(chain);
    return rc;
}

// The resolved form of the path a reader was given (release with free), the place of its
// answer given too. null with the error recorded.
static char *aclResolveArgs(const char *path, const void *answer) {
    char *resolved;

    if (path == nullptr || path[0] == '\0' || answer == nullptr) {
        aclBadArgs();
        return nullptr;
    }
    resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    return resolved;
}

int KAVOACLGetEffective(const char *path, PKAVOACL *aclOut) {
    char *resolved = aclResolveArgs(path, aclOut);
    int found;
    int rc;

    if (resolved == nullptr) {
        return -1;
    }
    rc = aclEffective(resolved, aclOut, &found);
    free(resolved);
    return rc;
}

// Whether the calling process belongs to the group: its effective or a supplementary group.
static int aclInGroup(gid_t gid, const gid_t *groups, int groupCount) {
    int i;

    if (getegid() == gid) {
        return 1;
    }
    for (i = 0; i < groupCount; i++) {
        if (groups[i] == gid) {
            return 1;
        }
    }
    return 0;
}

int KAVOACLPermGet(const char *path, uint32_t *mask) {
    struct stat st;
    PKAVOACL eff = nullptr;
    gid_t *groups = nullptr;
    uid_t euid = geteuid();
    uint32_t allow = 0;
    uint32_t deny = 0;
    char *resolved;
    int groupCount;
    int found;
    int i;

    resolved = aclResolveArgs(path, mask);
    if (resolved == nullptr) {
        return -1;
    }
    if (stat(resolved, &st) < 0) {
        free(resolved);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (euid == 0) {
        free(resolved);
        *mask = KAVO_PERM_ALL;
        return 0;
    }

    groupCount = getgroups(0, nullptr);
    if (groupCount < 0) {
        free(resolved);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (groupCount > 0) {
        groups = (gid_t *)calloc((size_t)groupCount, sizeof(gid_t));
        if (groups == nullptr) {
            free(resolved);
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return -1;
        }
        groupCount = getgroups(groupCount, groups);
        if (groupCount < 0) {
            free(groups);
            free(resolved);
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
    }

    if (aclEffective(resolved, &eff, &found) < 0) {
        free(groups);
        free(resolved);
        return -1;
    }
    free(resolved);

    if (!found) {
        // No ACL: the mode bits of the caller's class, whose r, w, x are 0x4, 0x2, 0x1.
        if (st.st_uid == euid) {
            allow = (st.st_mode >> 6) & 07;
        } else if (aclInGroup(st.st_gid, groups, groupCount)) {
            allow = (st.st_mode >> 3) & 07;
        } else {
            allow = st.st_mode & 07;
        }
    } else {
        for (i = 0; i < eff->nAce; i++) {
            const KAVOACE *ace = &eff->pAce[i];
            int match;

            if (ace->inherit & KAVO_INHERIT_ONLY) {
                continue;  // sits here only to be inherited
            }
            match = ace->type == KAVO_ACE_EVERYONE ||
                    (ace->type == KAVO_ACE_USER && (uid_t)(uint32_t)ace->id == euid) ||
                    (ace->type == KAVO_ACE_GROUP &&
                     aclInGroup((gid_t)(uint32_t)ace->id, groups, groupCount));
            if (!match) {
                continue;
            }
            if (ace->isAllow) {
                allow |= ace->perm;
            } else {
                deny |= ace->perm;
            }
        }
    }
    KAVOACLFree(eff);
    free(groups);
    *mask = allow & ~deny;
    return 0;
}

// ---- Reporting ------------------------------------------------------------------------------

static const char *aclErrText(int code) {
    switch (code) {
        case KAVO_ERR_OUT_OF_MEMORY:
            return "out of memory";
        case KAVO_ERR_SYSTEM:
            return "system call failed";
        case KAVO_ERR_BAD_PARAMETERS:
            return "bad parameters";
        case KAVO_ERR_NOT_FOUND:
            return "not found";
        case KAVO_ERR_PARSE:
            return "malformed ACL text";
        case KAVO_ERR_ACL:
            return "ACL too large or invalid";
        case KAVO_ERR_NOT_SUPPORTED:
            return "ACL not supported on this file system";
        default:
            return "ACL error";
    }
}

int KAVOACLPrintErr(int code, int flag, const char *file, int line) {
    (void)flag;
    if (file == nullptr) {
        file = "kavoacl";
    }
    if (code == KAVO_ERR_SYSTEM || code == KAVO_ERR_NOT_SUPPORTED) {
        KAVOSyslog("%s:%d ACL operation failed: %s [0x%X] (%m)", file, line, aclErrText(code),
                   (unsigned)code);
    } else {
        KAVOSyslog("%s:%d ACL operation failed: %s [0x%X]", file, line, aclErrText(code),
                   (unsigned)code);
    }
    return 0;
}
