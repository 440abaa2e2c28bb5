// libkavosdk: users and login names, and EA (extended-attribute data) directories.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "kavocore.h"

// ---- Users ------------------------------------------------------------------------------------
// One heap block holding the record and its strings: free it with KAVOUserFree or free().
// An id of (uid_t)-1 / (gid_t)-1 counts as missing.
typedef struct _tag_KAVOUSER {
    char *szName;  // the account's own name (first field)
    uid_t uid;
    gid_t gid;     // primary group
    char *szHome;  // home directory (pw_dir)
} KAVOUSER, *PKAVOUSER;

#define KAVO_LOGIN_NAME_SIZE 493

// 1 with the account's own spelling in buf when an account matches the name ignoring ASCII
// case; 0 when none matches; -1 on bad arguments (buffer too small included).
int KAVOUserLoginNameConvert(const char *name, char *buf, size_t size, int flags = 0);
// 0 with *userOut set; -1 when there is no such user (or on bad arguments).
int KAVOUserGet(const char *name, PKAVOUSER *userOut);
void KAVOUserFree(PKAVOUSER user);
// The uid and primary gid of the account of that exact name (the account database read with a
// buffer grown as it needs). 0; or -1 with errno ENOENT (KAVO_ERR_NOT_FOUND) when there is no
// such account, or another errno when the database cannot be read.
int KAVOUserIdsGet(const char *name, uid_t *uid, gid_t *gid);
// The gid of the group of that exact name, read as KAVOUserIdsGet reads an account: 0; or -1
// with errno ENOENT (KAVO_ERR_NOT_FOUND) when there is no such group, or another errno.
int KAVOGroupIdGet(const char *name, gid_t *gid);
// Type 11: accounts with 1000 <= uid < 65534, in account-database order, appended to *listRef.
#define VLIB_USER_ENUM_LOCAL 11
int VLIBUserEnum(PVLIBC_SZLIST *listRef, int type, int flags);

// ---- EA directories ------------------------------------------------------------------------
// The EA directory of "/a/b/name" is "/a/b/@eaDir/name"; its entry E is "/a/b/@eaDir/name/E".
#define SZ_EA_DIR_NAME "@eaDir"

int KAVOEADirPath(int flags, const char *path, char *buf, size_t size);  // 0 or -1
int KAVOEAPath(int flags, const char *path, const char *entry, char *buf, size_t size,
               int flags2);  // 0 or -1
// Creates the EA directory (and a missing "@eaDir" above it), mode 0777 less umask. With
// flag 1 missing parents up to the photo's folder are an error; with 0 they are created too.
int KAVOEAMKDir(int flags, const char *eaDir);  // 0 or -1
// Non-zero for "@eaDir", "@tmp" and "@sharebin".
int KAVOEAIsHiddenDir(const char *name);

typedef struct _tag_KAVOEA_REMOVE_OPT {
    int blRemoveAll;  // 1: remove the whole EA directory of the path
    int reserved;     // 0
} KAVOEA_REMOVE_OPT;
// Removes the path's EA directory; a path without EA data is no error. 0 or -1.
// The folder of the path is opened as named; "@eaDir" and the path's own EA directory are
// reached from it without following a link, and the removal walks by descriptors.
int KAVOEARemove(const char *path, int fd, const KAVOEA_REMOVE_OPT *opt);

// ---- EA directories by descriptor ----------------------------------------------------------
// For programs running as root over folders that users write: the folder of an item is opened
// once (KAVOPathOpenParent beneath the share or home root) and its EA data is reached from that
// descriptor, never through a link. A link (or a file) in the place of "@eaDir" or of the
// item's EA directory is refused with ELOOP or ENOTDIR and nothing is made, read or removed
// through it.
//
// Opens "@eaDir" of the open folder dirFd (create 1: made when missing, mode 0777 less umask).
// Folder fd (O_RDONLY | O_DIRECTORY | O_CLOEXEC) or -1 with errno set (ENOENT when missing).
int KAVOEARootOpenAt(int dirFd, int create);
// Opens the EA directory of the item name in the open folder dirFd ("@eaDir/name"), made when
// create is 1 as above. Folder fd or -1 with errno set.
int KAVOEADirOpenAt(int dirFd, const char *name, int create);
// The same for path beneath the trusted root (a share or home root). Folder fd or -1.
int KAVOEADirOpenBeneath(const char *root, const char *path, int create);
// Removes the EA directory of the item name in the open folder dirFd; none is no error.
// 0 or -1 with errno set.
int KAVOEARemoveAt(int dirFd, const char *name, const KAVOEA_REMOVE_OPT *opt);
