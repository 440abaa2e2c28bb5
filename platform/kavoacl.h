// libkavoacl: ACLs of files and folders, kept in the extended attribute "security.kavo.acl".
//
// Every process that can reach a path may read its ACL; only root (or a setuid-root program)
// may change it. Its text form, as `kavoacl_show PATH` prints it and KAVOACLToText writes it:
//
//     kavoacl 1 inherit|-
//     KIND:ID:allow|deny:PERMS:INHERIT        (one line per entry, in order)
//
// KIND is user, group or everyone; ID the numeric uid or gid, -1 for everyone; PERMS the
// 13-letter field "rwxpdDaARWcCo" and INHERIT the 4-letter field "fdin" (see below), "-" for
// a letter that is not set. A path "has an ACL" when the attribute exists.
//
// Stored form. The attribute is written in a compact form of 8 bytes an entry, so that an
// album holds at least 450 entries where a file system keeps all attributes of a file in one
// 4 KiB block (ext4 with 4 KiB blocks and 256-byte inodes fits about 500):
//
//     byte 0     0x00 (no text form starts with it)
//     byte 1     'K'
//     byte 2     2, the version of the form
//     byte 3     flags: 0x1 the path inherits; other bits 0
//     then per entry, in order, two little-endian 32-bit words:
//       id       the uid or gid, 0xFFFFFFFF for everyone
//       bits     0-12 permission bits, 13-16 inheritance bits, 17-18 kind (0 user, 1 group,
//                2 everyone), 19 allow (1) or deny (0), 20-31 zero
//
// The text form as the attribute's value, which earlier versions wrote, is read as well and
// replaced by the compact form on the next change. A change that does not fit in the space the
// file system gives a file's attributes fails with KAVO_ERR_ACL and errno ENOSPC or E2BIG; the
// ACL stays as it was.
//
// The effective ACL of a path is its own entries followed, when it inherits, by the entries of
// its parent's effective ACL that reach it: those with f for a file, with d for a folder; an
// entry with n reaches only the parent's direct children.
//
// Descriptors. Every operation acts on one open file: a descriptor the caller gives (fd >= 0;
// O_PATH descriptors are reached through "/proc/self/fd/N", which names the opened inode
// itself), or one opened from path with O_PATH | O_NOFOLLOW. A path whose last component is a
// symbolic link is refused (ELOOP); links before it are the caller's to rule out, which is
// why privileged callers open their targets beneath a trusted root (kavocore.h) and pass the
// descriptor.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kavocore.h"

#define SZ_KAVO_ACL_XATTR "security.kavo.acl"

// Entry kinds.
#define KAVO_ACE_USER 1
#define KAVO_ACE_GROUP 4
#define KAVO_ACE_EVERYONE 8

// Permission bits, in the order of the text form's letters r w x p d D a A R W c C o.
#define KAVO_PERM_READ 0x4           // r
#define KAVO_PERM_WRITE 0x2          // w
#define KAVO_PERM_EXECUTE 0x1        // x
#define KAVO_PERM_APPEND 0x8         // p
#define KAVO_PERM_DELETE 0x80        // d
#define KAVO_PERM_DELETE_SUB 0x100   // D
#define KAVO_PERM_READ_ATTR 0x10     // a
#define KAVO_PERM_WRITE_ATTR 0x200   // A
#define KAVO_PERM_READ_XATTR 0x20    // R
#define KAVO_PERM_WRITE_XATTR 0x400  // W
#define KAVO_PERM_READ_ACL 0x40      // c
#define KAVO_PERM_WRITE_ACL 0x800    // C
#define KAVO_PERM_OWNERSHIP 0x1000   // o
#define KAVO_PERM_ALL 0x1FFF

// Inheritance bits; text positions: f (1), d (2), i (3, inherit only), n (4).
#define KAVO_INHERIT_DIR 0x1           // d: reaches sub-folders
#define KAVO_INHERIT_FILE 0x2          // f: reaches files
#define KAVO_INHERIT_ONLY 0x4          // i: does not apply to the path itself
#define KAVO_INHERIT_NO_PROPAGATE 0x8  // n: reaches direct children only

typedef struct _tag_KAVOACE {
    int32_t type;      // KAVO_ACE_USER, KAVO_ACE_GROUP or KAVO_ACE_EVERYONE
    int32_t id;        // uid, gid, or -1 for everyone
    uint32_t perm;     // permission bits
    uint16_t inherit;  // inheritance bits
    int32_t isAllow;   // 1 allow, 0 deny
    int32_t level;     // 0
    int32_t reserved;  // 0
} KAVOACE, *PKAVOACE;

typedef struct _tag_KAVOACL {
    int blInherit;  // the path inherits its parent's effective ACL
    int nAce;
    int nAlloc;
    KAVOACE *pAce;
} KAVOACL, *PKAVOACL;

// Removal criteria: the fields named in fields must all be equal for an entry to go.
#define KAVO_ACE_MATCH_OWNER 0x1  // type and id together
#define KAVO_ACE_MATCH_PERM 0x2
#define KAVO_ACE_MATCH_INHERIT 0x4
#define KAVO_ACE_MATCH_ALLOW 0x8
typedef struct _tag_KAVOACE_CRITERIA {
    uint32_t fields;
    KAVOACE ace;
} KAVOACE_CRITERIA;

int KAVOACLIsApply(const char *path);                       // 1 own ACL, 0 none, -1 error
int KAVOACLIsApplyFd(int fd);                               // the same on a descriptor
int KAVOACLIsSupport(const char *path, int fd, int flags);  // 1 carries an ACL, 0 not, -1 error
int KAVOACLDelete(const char *path, int fd);                // removes the attribute; 0 or -1
// Selector 1: "KIND:NAME:allow|deny:PERMS:INHERIT"; names resolve through the account
// database ("*" for everyone). 0 or -1 (KAVO_ERR_PARSE).
int KAVOACLAceFromStr(int selector, const char *text, PKAVOACE ace);
PKAVOACE KAVOACLAceAlloc(void);  // zeroed; release with free(); null on failure
// Appends the entry unless an equal one is there (creating the attribute without the
// inherit flag). 0 or -1.
int KAVOACLAdd(const char *path, const KAVOACE *ace);
int KAVOACLAddFd(int fd, const KAVOACE *ace);
// Replaces the path's ACL by one that holds no entries of its own and inherits. 0 or -1.
int KAVOACLEnforceInherit(const char *path);
int KAVOACLEnforceInheritFd(int fd);
// Sets (enable 1) or clears the inherit flag, keeping the entries. 0 or -1.
int KAVOACLArchiveEnable(const char *path, int fd, int enable, int flags);
// < 0 failure; 0 no ACL (*aclOut untouched); > 0 with *aclOut set (release with KAVOACLFree).
int KAVOACLGet(const char *path, int fd, int flags, PKAVOACL *aclOut);
int KAVOACLAceRemove(PKAVOACL acl, const KAVOACE_CRITERIA *criteria, int flags);  // 0 or -1
int KAVOACLSet(const char *path, int fd, const KAVOACL *acl);                     // 0 or -1
void KAVOACLFree(PKAVOACL acl);
// The permission bits the calling process (euid, its groups, everyone) has on the path:
// allow entries of the effective ACL less matching deny entries; from the mode bits when no
// ACL is found up the chain; every bit for root. 0 or -1.
int KAVOACLPermGet(const char *path, uint32_t *mask);
// Holds the lock that every change of an ACL takes, so that a read, edit and write of one ACL
// (KAVOACLGet, KAVOACLAceRemove, KAVOACLSet) is one step for other processes. Calls nest;
// the operations may be called while it is held. A caller making many changes in a row (the
// conversion's walk) may hold it across them, so that each change costs one attribute write.
void KAVOACLLock(void);
void KAVOACLUnlock(void);
// Reports an ACL error to the log. Returns 0.
int KAVOACLPrintErr(int code, int flag, const char *file, int line);

// ---- Stored and text forms, shared by the service, kavoacl_show and the tests -------------
// Parses an attribute value in either stored form (compact or text). 0 or -1 (KAVO_ERR_PARSE).
int KAVOACLFromStored(const void *value, size_t len, PKAVOACL *aclOut);
// Writes the compact stored form of an ACL into a malloc'ed buffer, *lenOut its length. null on
// failure (KAVO_ERR_BAD_PARAMETERS for an entry that cannot be stored).
unsigned char *KAVOACLToStored(const KAVOACL *acl, size_t *lenOut);
// Parses the attribute text into a new ACL (release with KAVOACLFree). 0 or -1.
int KAVOACLFromText(const char *text, size_t len, PKAVOACL *aclOut);
// Writes the attribute text of an ACL. Returns a malloc'ed string or null.
char *KAVOACLToText(const KAVOACL *acl);
// The effective ACL of a path (entries inherited through the chain). 0 or -1.
int KAVOACLGetEffective(const char *path, PKAVOACL *aclOut);
