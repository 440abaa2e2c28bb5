// libkavocore: logging, platform errors, key/value and section files, plain-file tests,
// writing files, program execution, the platform fork, pid files, standard output, the program
// banner, string lists, paths beneath a trusted root and bounded string helpers.
//
// Every operation that fails records a platform error (code, source file, line) that
// VLIBCErrGet, VLIBCErrorGetFile and VLIBCErrorGetLine return; no operation ends the program.
// Null, empty or over-long arguments are refused with KAVO_ERR_BAD_PARAMETERS.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>

// ---- Logging ------------------------------------------------------------------------------
// Every message of the system goes to syslog at LOG_ERR as "<source>:<line> text".
// KAVOSyslog formats the message itself ("%m" is the text of errno at the call), drops a
// trailing newline and writes every other control character (and DEL) as "\xHH", so that one
// message is always one syslog line whatever names or texts a user put into it. errno is kept.
void KAVOSyslog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define KAVOLOG(src, fmt, ...) KAVOSyslog("%s:%d " fmt, src, __LINE__, ##__VA_ARGS__)

// ---- Platform errors ----------------------------------------------------------------------
// Codes recorded by the layer. A failed system call keeps its errno beside the code, so
// callers that log "%m" right after a failure still see the system's reason.
#define KAVO_ERR_OUT_OF_MEMORY 0x0200   // 512: an allocation failed
#define KAVO_ERR_EXISTS 0x0900          // the target already exists
#define KAVO_ERR_SYSTEM 0x0B00          // a system call failed (errno holds the reason)
#define KAVO_ERR_BAD_PARAMETERS 0x0D00  // null, empty, malformed or over-long argument
#define KAVO_ERR_NOT_FOUND 0x1400       // key, section, line, user, share or entry absent
#define KAVO_ERR_EXEC 0x1A00            // a program could not be started or died by a signal
#define KAVO_ERR_DB 0x2000              // the database server refused or failed
#define KAVO_ERR_PARSE 0x2100           // text that cannot be parsed (ACE, ACL, JSON)
#define KAVO_ERR_ACL 0x3000             // the ACL service failed
#define KAVO_ERR_NOT_SUPPORTED 0x3100   // the path carries no ACL support

int VLIBCErrGet(void);
const char *VLIBCErrorGetFile(void);
int VLIBCErrorGetLine(void);
// Records an error; extra is the optional further value (may be null).
void VLIBCErrSetEx(int code, const char *file, int line, const char *extra = nullptr);
#define VLIBCErrSet(code) VLIBCErrSetEx((code), __FILE__, __LINE__, nullptr)

// ---- Key/value and section files ----------------------------------------------------------
// Lines key="value" (blanks around "=" allowed). Readers take the first line of the key.
#define SZ_KEY_VALUE_FORMAT "%s=\"%s\"\n"

// > 0: value copied (terminated); 0: key absent; < 0: file unreadable or buffer too small.
int VLIBCFileGetKeyValue(const char *file, const char *key, char *buf, size_t size, int flags);
// Replaces the key's line or appends one; format 0 means SZ_KEY_VALUE_FORMAT. The file is
// written beside itself and renamed over under an exclusive lock, keeping owner and mode;
// every other line is kept byte for byte. A key or value holding a newline, or a key holding
// "=", is refused. > 0 on success, -1 on failure.
// Limits: keys and section names up to 1023 bytes, values up to 4095 bytes (so that every
// value fits the 4096-byte buffers of the readers); the format holds exactly two "%s".
int VLIBCFileSetKeyValue(const char *file, const char *key, const char *value, const char *format);
// The same for the file name in the open folder dirFd, for files in folders that other accounts
// may write: every step happens in that folder, and a link (or anything but a regular file) at
// name is refused instead of followed. name is one component. > 0 on success, -1 on failure.
int VLIBCFileSetKeyValueAt(int dirFd, const char *name, const char *key, const char *value,
                           const char *format);
// Section files: "[name]" lines start a section; keys as above. >= 0 found, < 0 not found.
int VLIBCFileGetSectionValue(const char *file, const char *section, const char *key, char *buf,
                             size_t size);
// Replaces or adds key in section (adding the section when missing). > 0 success, -1 failure.
int VLIBCFileSetSectionValue(const char *file, const char *section, const char *key,
                             const char *value);
// Copies the first line that begins with text (without its line end). > 0 found, 0 no such
// line, < 0 the file cannot be read. Option 1028 is the only one the programs pass.
// A line equal to text is preferred to an earlier line that only begins with it.
#define VLIBC_FILE_GETLINE_PREFIX 1028
int VLIBCFileGetLine(const char *file, const char *text, char *buf, size_t size, int option);
// The file exists afterwards (created empty, mode 0644 less umask, when missing). 0 or -1.
int VLIBCFileTouch(const char *path);
// 1 when the path is an existing regular file, else 0.
int VLIBCFileExist(const char *path);
// 1 when the path is a directory, else 0.
int VLIBCFileCheckDir(const char *path);

// ---- Path arguments and writing files -------------------------------------------------------
// Room for a path of up to 4095 bytes and its terminator: the size of every path buffer.
#define KAVO_PATH_SIZE 4096

// The check every path argument of the layer gets: not null, not empty and shorter than
// KAVO_PATH_SIZE. 0, or -1 with errno EINVAL (and KAVO_ERR_BAD_PARAMETERS recorded).
int KAVOPathArgCheck(const char *path);
// Closes fd when it is open (>= 0) and leaves errno as it was, so that a failure met before
// the cleanup is still the one reported.
void KAVOFileCloseKeep(int fd);
// Writes all len bytes to fd, going on after short writes and EINTR. 0, or -1 with errno set.
int KAVOFileWriteAll(int fd, const void *data, size_t len);
// Bytes of a file's name kept in the name of its temporary file (KAVOFileReplace).
#define KAVO_REPLACE_NAME_MAX 200
// Replaces the file path by data without ever tearing it: the bytes go to a new file beside it,
// "." + the file's name (its first KAVO_REPLACE_NAME_MAX bytes) + tag + six random characters,
// which gets the owner and mode of like (mode 0644 less umask when like is null), is synced and
// renamed over path. The tag (".kvtmp.", ...) tells whose temporary file a leftover is. On
// failure the new file is removed and path is as it was. 0, or -1 with errno set (and the
// platform error recorded).
int KAVOFileReplace(const char *path, const char *tag, const void *data, size_t len,
                    const struct stat *like);

// ---- Programs ------------------------------------------------------------------------------
// Run the program (no shell), wait, and return its exit status read as a signed 8-bit number
// (status 255 reads as -1). Negative also when it cannot be started or dies by a signal
// (then the code is KAVO_ERR_EXEC and the result is -1).
int VLIBCExec(const char *path, const char *a1, const char *a2, const char *a3, const char *a4);
// argv[0] is the program path again; argv ends with a null. wait 1: wait for the end and
// return the status as above; wait 0: return the child's pid without waiting.
int VLIBCExecv(const char *path, char *const argv[], int wait);
// Starts path with argv (no shell, no PATH search) with the descriptors in, out and err as
// its standard input, output and error (-1 keeps the caller's). Returns the child's pid once
// the program runs; -1 (errno set, KAVO_ERR_EXEC) when it cannot be started.
pid_t VLIBCProcSpawn(const char *path, char *const argv[], int in, int out, int err);
// Waits for the child (EINTR-safe) and returns its exit status read as a signed 8-bit
// number; -1 with KAVO_ERR_EXEC when it died by a signal or cannot be waited for.
int VLIBCProcWait(pid_t pid);

// Flags of VLIBCProcForkEx.
#define VLIBC_FORK_NEW_SESSION 0x1
#define VLIBC_FORK_CHDIR_ROOT 0x2
#define VLIBC_FORK_NULL_STDIO 0x4
#define VLIBC_FORK_CLOSE_FDS 0x20
#define VLIBC_FORK_DEFAULT_SIGNALS 0x40
// < 0 failure, 0 in the new process, the new pid in the parent.
pid_t VLIBCProcForkEx(int flags);

// Pid files hold the decimal pid and a newline. A reader accepts blanks and line ends around
// the number and nothing else; a number of 0, or not below the kernel's pid_max (at most 2^22),
// is no pid.
int VLIBCProcPidFileCreate(const char *path);   // 0 or -1
int VLIBCProcAliveByPidFile(const char *path);  // 1 alive (kill 0 succeeds or EPERM), else 0
// A pid file owned for the life of its process: opened (created 0644 when missing; never through
// a link; regular files only), write-locked with a record lock (fcntl F_SETLK over the whole
// file, which the kernel drops when the process ends, however it ends) and given the caller's
// pid. The lock is taken on the file the name still holds once it is granted, so that two
// processes can never both own the name. Returns the descriptor, which must stay open; -1 with
// errno EAGAIN (KAVO_ERR_EXISTS) when another process owns the file, or another errno.
// Record locks belong to the process and are not inherited by fork, and closing any
// descriptor of the file in the owning process drops the lock: the owner never opens its pid
// file a second time (none of the readers below may run in it).
int VLIBCProcPidFileLock(const char *path);
// The pid of the process that owns the pid file (holds its lock and is the number the file
// holds); 0 when no process owns it (a stale file: its number may belong to anyone by now) or
// the file is missing; -1 when it cannot be read. The calling process never sees itself.
pid_t VLIBCProcPidFileOwner(const char *path);
// Sends the signal to the owner of the pid file, as above, and to no other process: a stale
// file, or a file that nobody locks, gets -1 (ESRCH) and nothing is signalled. 0 or -1.
int VLIBCProcSignalByPidFile(const char *path, int sig);

// Flushes and closes standard output and tells whether everything written to it arrived
// (a full disk, a closed pipe, a bad descriptor). Call it once, at the exit of a program whose
// answer is its standard output. 0, or -1 with errno (EIO when an earlier write failed).
int KAVOStdoutClose(void);

// Prints the platform's banner line for a program on standard output.
void VLIBCPrintBanner(const char *program);

// ---- String lists ----------------------------------------------------------------------------
typedef struct _tag_VLIBC_SZLIST {
    int nAlloc;      // capacity
    int nItem;       // number of strings
    char **pszItem;  // the strings, owned by the list
} VLIBC_SZLIST, *PVLIBC_SZLIST;

PVLIBC_SZLIST VLIBCSzListAlloc(int capacity);  // null on failure
// Appends a copy of the string, growing the list (the pointer may change). 0 or -1.
int VLIBCSzListPush(PVLIBC_SZLIST *listRef, const char *s);
const char *VLIBCSzListGet(const VLIBC_SZLIST *list, int index);  // null when out of range
void VLIBCSzListFree(PVLIBC_SZLIST list);

// ---- Paths beneath a trusted root -----------------------------------------------------------
// The programs run as root over shares and homes in which ordinary accounts create files,
// folders and symbolic links at any moment. A path under a trusted root (a share root, a
// personal root, the queue folder, a home) is therefore reached once, without following any
// symbolic link at or below the root and without leaving it, and every change is then made on
// what was opened: f* calls or AT_EMPTY_PATH on the descriptor, *at calls relative to an
// opened parent, never a second lookup by name.
//
// The kernel's openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS
// does the walk where it exists (Linux 5.6 and later); elsewhere a component-by-component
// walk with O_NOFOLLOW gives the same answer. The root itself is trusted: its own path is
// resolved as it stands. Symbolic links, ".." climbing above the root, an empty component
// left by "//" aside, and paths of 4096 bytes or more are refused.
//
// Errors: -1 with errno set (ELOOP for a link in the way, EXDEV for a path that leaves the
// root, ENOTDIR, ENOENT, ...) and the platform error KAVO_ERR_SYSTEM or KAVO_ERR_BAD_PARAMETERS.

// Opens the trusted root as a folder (O_DIRECTORY | O_CLOEXEC, read-only). fd or -1.
int KAVOPathOpenRoot(const char *root);
// Opens rel beneath the open folder rootFd. rel is relative to it ("" or "." is the root
// itself); flags are those of open(2) (O_NOFOLLOW and O_CLOEXEC are always added; O_CREAT,
// O_EXCL, O_DIRECTORY, O_PATH, O_NONBLOCK as the caller needs) and mode is used with O_CREAT.
// fd or -1.
int KAVOPathOpenAt(int rootFd, const char *rel, int flags, mode_t mode);
// The same for an absolute path that must lie beneath the absolute root (tested by whole
// components: "/volume1/photo2" is not beneath "/volume1/photo"). fd or -1.
int KAVOPathOpenBeneath(const char *root, const char *path, int flags, mode_t mode);
// 1 when path is root or lies beneath it, tested by whole components as above (both absolute,
// neither looked up); 0 otherwise, and for a null or empty argument.
int KAVOPathIsBeneath(const char *path, const char *root);
// Opens the folder that holds the last component of path (beneath root, as above) and copies
// that component into leaf, so the caller acts on it with *at calls. The leaf is never "",
// "." or ".."; path equal to root is refused (EINVAL). Folder fd or -1.
int KAVOPathOpenParent(const char *root, const char *path, char *leaf, size_t leafSize);
// Follows path beneath root where a link is followed on purpose (a personal root that links
// inside the home): symbolic links are followed (at most 40 in all), but only while every step
// stays beneath root; an absolute link target counts when it lies beneath root's own path.
// The place found is then opened link-free as by KAVOPathOpenAt with flags and mode, so a link
// swapped in meanwhile is refused rather than followed. resolved (may be null) receives the
// absolute path of the place. fd or -1.
int KAVOPathResolveBeneath(const char *root, const char *path, int flags, mode_t mode,
                           char *resolved, size_t size);
// Opens name relative to dirFd (AT_FDCWD and an absolute name allowed) as a regular file:
// O_NONBLOCK during the open, so that a FIFO cannot hang the caller (cleared afterwards unless
// flags hold it), O_NOCTTY and O_CLOEXEC added; anything but a regular file is refused with
// EINVAL. Links are followed only if flags lack O_NOFOLLOW. fd or -1.
int KAVOFileOpenRegular(int dirFd, const char *name, int flags, mode_t mode);
// The path an open descriptor stands for, from /proc/self/fd (for logs and for handing a
// place to an outside program). 0 or -1.
int KAVOPathOfFd(int fd, char *buf, size_t size);
// Removes name (a file, a link or a whole folder tree) from the open folder dirFd, walking by
// descriptors: no link is followed and no folder of another file system is entered (such a
// folder fails the removal with EXDEV, and what lies in it stays). A missing name is no error.
// What was removed before a failure stays removed. 0 or -1 with errno set.
int KAVOPathRemoveAt(int dirFd, const char *name);
// Splits path into its folder part (up to and including the last "/", possibly empty: *dirLen
// bytes of path) and its last component (*base, *baseLen bytes); trailing slashes are ignored.
// Nothing is looked up. 0, or -1 when there is no usable last component ("/", ".", "..").
int KAVOPathSplit(const char *path, size_t *dirLen, const char **base, size_t *baseLen);
// Tests only: 1 makes every lookup take the component walk even where openat2 exists.
void KAVOPathForceWalk(int on);

// ---- Bounded string helpers shared by the layer and the programs -----------------------------
// Copies src into dst of size bytes; fails (-1, nothing written past size, dst terminated)
// when it does not fit. 0 on success.
// A caller that does not look at the result may go on with a cut string, so both helpers warn
// when their result is dropped.
int VLIBCStrCopy(char *dst, size_t size, const char *src) __attribute__((warn_unused_result));
// snprintf that fails (-1) instead of truncating. 0 on success.
int VLIBCStrPrintf(char *dst, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4), warn_unused_result));
