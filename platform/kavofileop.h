// libkavofileop: copying and moving files and folders, and making folders.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "kavocore.h"

// Copy options: fifteen 32-bit words; callers set the words they need, all others are 0.
enum {
    KAVO_COPY_OVERWRITE = 0,   // 1: replace an existing destination
    KAVO_COPY_REMOVE_SRC = 1,  // 1: move (the source is gone afterwards)
    KAVO_COPY_SET_OWNER = 2,   // 1: give the copy the owner in KAVO_COPY_UID / KAVO_COPY_GID
    KAVO_COPY_WITH_EA = 3,     // 1: carry the EA directory of each item along
    KAVO_COPY_UID = 12,
    KAVO_COPY_GID = 13,
    KAVO_COPY_KEEP_TIMES = 14,  // 1: keep access and modification times
    KAVO_COPY_WORDS = 15
};
typedef struct _tag_KAVOCOPY_OPT {
    int32_t opt[KAVO_COPY_WORDS];
} KAVOCOPY_OPT;

// Copy or move one file / one folder tree. A move within one file system is a rename; across
// file systems (or into an existing folder) it copies (contents, owner when permitted, every
// extended attribute, mode, times as asked), flushes the copy, and removes from the source
// only what was copied and has not changed since; what changed is copied again, at most three
// rounds, after which the move fails with the changed items kept in the source. Nothing is left
// half-written: a file is written unnamed (or under a hidden ".kavocopy.XXXXXX" name) beside
// the destination and linked into place; a later copy into the same folder removes such names
// that a stopped copy left. No link is followed below the named items, no other file system is
// entered (a mount inside fails the copy), and a folder is never copied into itself. A failed
// copy of a new folder removes what it made. The folder that holds each path is opened as
// named. 0 or -1 (errno and the platform error set).
int KAVOFileCopy(const char *src, const char *dst, const KAVOCOPY_OPT *opt);
int KAVOFileCopyDirectory(const char *src, const char *dst, const KAVOCOPY_OPT *opt);
// The same on names (one component each) in folders the caller opened, for instance beneath a
// share root with KAVOPathOpenParent: nothing is looked up by path again. 0 or -1.
int KAVOFileCopyAt(int srcDir, const char *srcName, int dstDir, const char *dstName,
                   const KAVOCOPY_OPT *opt);
int KAVOFileCopyDirectoryAt(int srcDir, const char *srcName, int dstDir, const char *dstName,
                            const KAVOCOPY_OPT *opt);
// Copies one file; fd must be -1 and flags 0. 0 or -1.
int KAVOCopyFileI(const char *src, const char *dst, const KAVOCOPY_OPT *opt, int fd, int flags);
// mkdir -p; uid/gid -1 leave the owner, mode -1 means 0777 less umask. 0 or -1.
int KAVOFSMkdirP(const char *dir, int flags1, int flags2, int uid, int gid, int mode);
