// libkavoshare: shares (from /usr/kavo/etc/shares.conf), their temporary and bin paths, and
// the user-home check.
//
// shares.conf is a section file: "[NAME]" per share with the keys path (absolute), encrypted,
// hide_unreadable, recycle_bin, recycle_bin_admin_only ("yes"/"no"; missing means "no").
// The share "homes" is the root of user homes.
#pragma once

#include <stddef.h>

#include "kavocore.h"

#define SZF_SHARES_CONF "/usr/kavo/etc/shares.conf"
#define SZ_HOMES_SHARE "homes"
#define SHARE_STATUS_ENCRYPTED 0x2

typedef struct _tag_KAVOSHARE {
    char *szName;
    char *szPath;
    unsigned int fStatus;  // SHARE_STATUS_ENCRYPTED when "encrypted" is "yes"
    int blHideUnreadable;
    int blRecycleBin;
    int blRecycleBinAdminOnly;
} KAVOSHARE, *PKAVOSHARE;

int KAVOShareGet(const char *name, PKAVOSHARE *shareOut);  // 0 with *shareOut set, -1 on failure
void KAVOShareFree(PKAVOSHARE share);
const char *VLIBSharePathGet(const KAVOSHARE *share);      // the path, or null
int VLIBShareHideUnreadableSet(PKAVOSHARE share, int on);  // 0 or -1
int KAVOShareUpdate(const KAVOSHARE *share);               // writes hide_unreadable back; 0 or -1

// Volume of a share path: its first component ("/volume1" for "/volume1/photo").
// Temporary path: volume + "/@tmp", created mode 01777 when missing (sticky: every account
// may put items there, none may rename or replace another's). 0 or -1.
int KAVOShareTmpPathGet(const char *sharePath, char *buf, size_t size);
// Opens (making it when missing) the temporary folder "@tmp" of the trusted folder base (a
// volume) without following a link; a new one, and one of the caller's that is writable by all
// without the sticky bit, get it (01777). Folder fd or -1 (a file or a link there: ENOTDIR).
int KAVOShareTmpDirOpen(const char *base);
// Name and path of the share whose path holds the given path (the longest match). 0 or -1.
int KAVOShareNamePathGet(const char *path, char *name, size_t nameSize, char *sharePath,
                         size_t pathSize);
// The volume of the share holding the path. 0 or -1.
int KAVOShareBinPathGet(const char *path, char *buf, size_t size);

typedef struct _tag_KAVOHOME_CHECK_RESULT {
    char *szHomePath;  // the home directory that holds the path
    char *szUser;      // its account
} KAVOHOME_CHECK_RESULT, *PKAVOHOME_CHECK_RESULT;

// 1: the path lies in the home of an account whose home lies under the "homes" share, and
// *resultOut holds that home; 0: it does not; -1: failure.
int KAVOServiceHomePathCheck(const char *path, int flags1, int flags2,
                             PKAVOHOME_CHECK_RESULT *resultOut);
void KAVOHomeCheckResultFree(PKAVOHOME_CHECK_RESULT result);
