// Album ACL module shared by kavophoto_acl and kavophoto_acl_pgsql: the photo roots, the
// account lookup, the permission levels and the ACEs the system writes, and the walk that
// brings a new path below a root under the root's ACL inheritance.
//
// Every failure is logged (source name "kavophoto_acl") before the operation returns false.
//
// Privilege. Both programs run as root over trees that gallery users write. A path is named
// by its resolved form (for the messages and the prefix tests), but every change is made on a
// descriptor reached beneath the share root or the personal root without following a link:
// a folder swapped for a link between the check and the change is refused, not followed.
// Album names of the database that hold ".." are refused.
//
// Keeping the folders in step with the database. The hook changes one folder inside the
// database transaction that changes the right; the full conversion rebuilds every folder from
// what the database holds. The conversion holds SHARE locks on the album and permission
// tables for its whole run: it waits for every open transaction that changed a right (whose
// hook may already have run), and holds new ones back until it has written the tree, so once
// a transaction commits the album's ACL is what the database holds, whichever came first.
// Not covered: a transaction that rolls back after its hook ran leaves the folder with the
// change it undid in the database, until the next full conversion.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kavoacl.h"

#define SZ_KAVOPHOTO_ACL_LOG "kavophoto_acl"

#define SZ_PHOTO_SHARE_NAME "photo"
#define SZ_PERSONAL_PHOTO_DIR "/photo"

// Permission levels: hook word, per-user table, group permission bit, ACE mask.
#define SZ_LEVEL_BROWSE "browse"
#define SZ_LEVEL_UPLOAD "upload"
#define SZ_LEVEL_MANAGE "manage"
#define SZ_TABLE_BROWSE "photo_access_right_for_nmx_account"
#define SZ_TABLE_UPLOAD "photo_upload_right_for_nmx_account"
#define SZ_TABLE_MANAGE "photo_manage_right_for_nmx_account"
#define PHOTO_GROUP_BIT_BROWSE 1
#define PHOTO_GROUP_BIT_UPLOAD 2
#define PHOTO_GROUP_BIT_MANAGE 4
#define PHOTO_ACE_MASK_BROWSE 0x75u
#define PHOTO_ACE_MASK_UPLOAD 0x18Bu
#define PHOTO_ACE_MASK_MANAGE 0x7FFu

// Field values of every ACE the system writes.
#define PHOTO_ACE_INHERIT 10
#define PHOTO_ACE_ALLOW 1

// Fills ace (every field) as the album entries are written: kind type (KAVO_ACE_USER,
// KAVO_ACE_GROUP or KAVO_ACE_EVERYONE) for id (-1 for everyone) with the mask of one level.
void fillAlbumAce(KAVOACE *ace, int32_t type, int32_t id, uint32_t mask);

// The four ACEs written in text form.
#define SZ_ACE_LUMORA "user:Lumora:allow:rwxpdDaARWcCo:fd--"
#define SZ_ACE_ADMIN "user:admin:allow:rwxpdDaARWc--:fd--"
#define SZ_ACE_ADMINISTRATORS "group:administrators:allow:rwxpdDaARWc--:fd--"
#define SZ_ACE_EVERYONE "everyone:*:allow:r-x---a-R-c--:f--n"

// True when path equals root or continues with "/" right after it (KAVOPathIsBeneath). Both
// are resolved paths.
bool isPathUnderRoot(const char *path, const char *root);

// The resolved path of the share "photo" into root (size bytes).
bool getPhotoPath(char *root, size_t size);

// Looks an account up. Each out-argument is optional (null): home receives the resolved
// personal root (home directory + "/photo", homeSize bytes); uid and gid the account's uid
// and primary gid. A personal root that cannot be resolved, or resolves to a place outside
// the user's (resolved) home directory, fails the lookup; uid and gid then stay untouched.
bool getUserInfo(const char *name, char *home, size_t homeSize, uid_t *uid, gid_t *gid);

// getUserInfo with the personal root asked for, which it also opens (O_RDONLY | O_DIRECTORY):
// "photo" is followed inside the home only, through links that stay inside it, and what was
// found is opened without following a link, so the returned folder is the one every change is
// made in. The folder's descriptor, or -1 (logged as getUserInfo logs).
int openPersonalRoot(const char *name, char *home, size_t homeSize, uid_t *uid, gid_t *gid);

// Adds one ACE given in text form to the ACL of path; nothing is removed.
bool addACLFromString(const char *path, const char *aceText);
// The same on an open file; path names it in the log.
bool addACLFromStringFd(int fd, const char *path, const char *aceText);

// Brings target (a resolved path below root) under root's ACL inheritance: every level from
// the nearest one with an ACL down to target is set to inherit. When uid is not -1, target
// is then given the owner uid:gid. A target that is root, or has an ACL of its own, is left
// alone, owner included.
bool applyACLToPath(const char *target, const char *root, uid_t uid, gid_t gid);
// The same beneath the open folder rootFd of root: every level is opened from the one above
// it without following a link, and the changes are made on what was opened, so a level
// swapped for a link meanwhile is refused (logged) rather than followed. sameAs (or -1) is a
// descriptor of target opened before: a walk that reaches another file is refused.
bool applyACLToPathAt(int rootFd, const char *root, const char *target, uid_t uid, gid_t gid,
                      int sameAs);

// False (logged) for an album name of the database that holds a ".." component.
bool albumNameAllowed(const char *sharename);

// The folder of an album below the share root, for a name of the database: "/" (or any name
// that begins with '/') is the root itself; otherwise the name is taken below the root, a
// link in it followed only while it stays inside the share. A name with a ".." component, or
// one that leads out of the share, is refused and logged. flags are those of open(2) (O_PATH,
// O_DIRECTORY, O_RDONLY...). fd, or -1 (errno set; logged for refused names).
int openAlbumFolder(int rootFd, const char *root, const char *sharename, int flags);
