// Key/value and section files, line lookup, plain-file tests, and the layer's file writing
// (write-all, replace without tearing, close keeping errno).
//
// A key/value line is KEY=VALUE with optional blanks (space, tab) before the key and around
// "=". A value in double quotes is returned without them; any other value is returned as it
// stands. A section file adds "[NAME]" lines; a key belongs to the section whose header line
// came last before it. Readers take the first line of a key.
//
// Writers never tear a file: under an exclusive flock on the file's folder (so writers of one
// folder follow one another, also across the rename), KAVOFileReplace writes the new content
// to a temporary file in the same folder (".NAME.kvtmp.XXXXXX") that gets the old file's owner
// and mode, is synced and renamed over the file. Every line but the one replaced or added is
// kept byte for byte. A temporary file left by a writer that was killed is removed by the next
// writer.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "kavocore.h"

#define KV_KEY_MAX 1023          // longest key or section name
#define KV_VALUE_MAX 4095        // longest value written (fits the callers' 4096 buffers)
#define KV_TMP_TAG ".kvtmp."     // marks the writer's temporary files
#define KV_TMP_RANDOM 6          // the "XXXXXX" of mkostemp
#define KV_FILE_MAX (64L << 20)  // a writer refuses files larger than this

// ---- argument checks ------------------------------------------------------------------------

static bool hasLineBreak(const char *s) {
    return strpbrk(s, "\r\n") != nullptr;
}

static bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

static bool checkPath(const char *path) {
    return KAVOPathArgCheck(path) == 0;
}

// A key is not empty, fits, holds no line break and no "=", and has no blank at either end
// (blanks around the key are not part of it when a line is read).
static bool checkKey(const char *key) {
    size_t len;

    if (key == nullptr || key[0] == '\0') {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    len = strnlen(key, KV_KEY_MAX + 1);
    if (len > KV_KEY_MAX || hasLineBreak(key) || strchr(key, '=') != nullptr || isBlank(key[0]) ||
        isBlank(key[len - 1])) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

static bool checkSection(const char *section) {
    if (section == nullptr || section[0] == '\0' || strnlen(section, KV_KEY_MAX + 1) > KV_KEY_MAX ||
        hasLineBreak(section)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

static bool checkValue(const char *value) {
    if (value == nullptr || strnlen(value, KV_VALUE_MAX + 1) > KV_VALUE_MAX ||
        hasLineBreak(value)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

static bool checkBuffer(char *buf, size_t size) {
    if (buf == nullptr || size == 0) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    return true;
}

// A reader's answer: 0 (nothing found) records KAVO_ERR_NOT_FOUND.
static int readAnswer(int ret) {
    if (ret == 0) {
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
    }
    return ret;
}

// ---- line parsing ----------------------------------------------------------------------------

// Length of a line without its line end ("\n", "\r\n", or a lone "\r" at the end of file).
static size_t lineLength(const char *line, size_t len) {
    if (len > 0 && line[len - 1] == '\n') {
        len--;
    }
    if (len > 0 && line[len - 1] == '\r') {
        len--;
    }
    return len;
}

// When the line (without its line end) is "[NAME]", possibly with blanks outside the
// brackets, sets the name and returns true.
static bool sectionHeader(const char *line, size_t len, const char **name, size_t *nameLen) {
    while (len > 0 && isBlank(line[0])) {
        line++;
        len--;
    }
    while (len > 0 && isBlank(line[len - 1])) {
        len--;
    }
    if (len < 2 || line[0] != '[' || line[len - 1] != ']') {
        return false;
    }
    *name = line + 1;
    *nameLen = len - 2;
    return true;
}

// When the line (without its line end) sets key, returns true with the raw value: everything
// after "=" and the blanks that follow it.
static bool lineSetsKey(const char *line, size_t len, const char *key, size_t keyLen,
                        const char **value, size_t *valueLen) {
    size_t i = 0;

    while (i < len && isBlank(line[i])) {
        i++;
    }
    if (len - i < keyLen || memcmp(line + i, key, keyLen) != 0) {
        return false;
    }
    i += keyLen;
    while (i < len && isBlank(line[i])) {
        i++;
    }
    if (i >= len || line[i] != '=') {
        return false;
    }
    i++;
    while (i < len && isBlank(line[i])) {
        i++;
    }
    *value = line + i;
    *valueLen = len - i;
    return true;
}

// A value in double quotes (blanks after the closing quote allowed) loses its quotes; any
// other value stands as it is.
static void unquote(const char **value, size_t *len) {
    const char *v = *value;
    size_t n = *len;

    while (n > 0 && isBlank(v[n - 1])) {
        n--;
    }
    if (n >= 2 && v[0] == '"' && v[n - 1] == '"') {
        *value = v + 1;
        *len = n - 2;
    }
}

// ---- readers ---------------------------------------------------------------------------------

// Looks the key up (in the section when one is named). 1: value copied and *outLen set;
// 0: absent; -1: the file cannot be read or the buffer is too small (error recorded).
static int readValue(const char *file, const char *section, const char *key, char *buf, size_t size,
                     size_t *outLen) {
    FILE *fp;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    size_t keyLen = strlen(key);
    size_t sectionLen = section != nullptr ? strlen(section) : 0;
    bool inSection = section == nullptr;
    int ret = 0;
    int saved;

    buf[0] = '\0';
    // Settings files are read by root in folders others may write: a FIFO put in their place
    // must not hang the reader, and anything but a regular file is no settings file.
    int fd = KAVOFileOpenRegular(AT_FDCWD, file, O_RDONLY, 0);
    if (fd < 0) {
        VLIBCErrSet(VLIBCErrGet());  // reported as this file's failure, same code and errno
        return -1;
    }
    fp = fdopen(fd, "r");
    if (fp == nullptr) {
        KAVOFileCloseKeep(fd);
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    while ((n = getline(&line, &cap, fp)) >= 0) {
        size_t len = lineLength(line, (size_t)n);
        const char *name, *value;
        size_t nameLen, valueLen;

        if (section != nullptr && sectionHeader(line, len, &name, &nameLen)) {
            inSection = nameLen == sectionLen && memcmp(name, section, sectionLen) == 0;
            continue;
        }
        if (!inSection || !lineSetsKey(line, len, key, keyLen, &value, &valueLen)) {
            continue;
        }
        unquote(&value, &valueLen);
        if (valueLen >= size) {
            errno = ENOBUFS;
            VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
            ret = -1;
            break;
        }
        memcpy(buf, value, valueLen);
        buf[valueLen] = '\0';
        *outLen = valueLen;
        ret = 1;
        break;
    }
    if (ret == 0 && !feof(fp)) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        ret = -1;
    }
    saved = errno;
    free(line);
    (void)fclose(fp);  // only read: closing loses nothing
    errno = saved;
    return readAnswer(ret);
}

// Returns the value's length plus one, so that an empty value still reads as found.
int VLIBCFileGetKeyValue(const char *file, const char *key, char *buf, size_t size, int flags) {
    size_t len = 0;
    int ret;

    (void)flags;
    if (!checkBuffer(buf, size)) {
        return -1;
    }
    buf[0] = '\0';
    if (!checkPath(file) || !checkKey(key)) {
        return -1;
    }
    ret = readValue(file, nullptr, key, buf, size, &len);
    if (ret <= 0) {
        return ret;
    }
    return len >= INT_MAX ? INT_MAX : (int)len + 1;
}

// Returns the value's length.
int VLIBCFileGetSectionValue(const char *file, const char *section, const char *key, char *buf,
                             size_t size) {
    size_t len = 0;
    int ret;

    if (!checkBuffer(buf, size)) {
        return -1;
    }
    buf[0] = '\0';
    if (!checkPath(file) || !checkSection(section) || !checkKey(key)) {
        return -1;
    }
    ret = readValue(file, section, key, buf, size, &len);
    if (ret <= 0) {
        return -1;
    }
    return len >= INT_MAX ? INT_MAX : (int)len;
}

// The state of VLIBCFileGetLine's scan: the first line beginning with the text wins, unless a
// later line equals the text exactly.
struct LineScan {
    const char *text;
    size_t textLen;
    char *buf;
    size_t size;
    bool found;
    bool tooSmall;
    int ret;
};

// Judges one line that begins with the text (len is its length without the line end; line
// holds at least min(len, size) bytes). True when the scan can stop (an exact match).
static bool candidateLine(LineScan *s, const char *line, size_t len) {
    bool exact = len == s->textLen;

    if (s->found && !exact) {
        return false;
    }
    s->found = true;
    s->tooSmall = len >= s->size || len >= INT_MAX;
    if (!s->tooSmall) {
        memcpy(s->buf, line, len);
        s->buf[len] = '\0';
        s->ret = (int)len;
    }
    return exact;
}

// Judges the candidates among the whole lines of data[0, end): the line at 0 and every line
// that follows a "\n" and begins with the text (found with memmem on "\n" + text, so the
// lines that cannot match cost nothing but the search). True when the scan can stop.
static bool scanLines(LineScan *s, const char *needle, const char *data, size_t end) {
    const char *p = data, *limit = data + end;

    for (;;) {
        size_t left = (size_t)(limit - p);
        if (left >= s->textLen && memcmp(p, s->text, s->textLen) == 0) {
            const char *nl = (const char *)memchr(p, '\n', left);
            size_t len = nl ? (size_t)(nl - p) : left;
            if (len > 0 && p[len - 1] == '\r') {
                len--;
            }
            if (candidateLine(s, p, len)) {
                return true;
            }
        }
        const char *next = (const char *)memmem(p, left, needle, s->textLen + 1);
        if (next == nullptr) {
            return false;
        }
        p = next + 1;
    }
}

// Returns the line's length (the text is not empty, so a line found gives more than 0).
// A line equal to the text wins over an earlier, longer line that only begins with it, so
// that a caller comparing the length of the line found with its text (the face queue's
// duplicate check) finds an entry already there; otherwise the first line that begins with
// the text is given. The file is streamed in blocks: a long queue is scanned without holding
// more than a block and one unfinished line.
int VLIBCFileGetLine(const char *file, const char *text, char *buf, size_t size, int option) {
    enum { BLOCK = 64 * 1024 };
    LineScan s;
    char *data = nullptr, *needle = nullptr;
    size_t have = 0, cap;
    int fd = -1, saved, ret;
    bool failed = false, skipping = false;

    (void)option;
    if (!checkBuffer(buf, size)) {
        return -1;
    }
    buf[0] = '\0';
    if (!checkPath(file)) {
        return -1;
    }
    if (text == nullptr || text[0] == '\0' || hasLineBreak(text)) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    memset(&s, 0, sizeof(s));
    s.text = text;
    s.textLen = strlen(text);
    s.buf = buf;
    s.size = size;
    // An unfinished line is kept while it could still be judged whole: up to the longer of the
    // text and the buffer (plus "\r\n"); a longer line is judged by its start and skipped.
    size_t lineMax = (s.textLen > size ? s.textLen : size) + 2;
    cap = lineMax + BLOCK;
    data = (char *)malloc(cap);
    needle = (char *)malloc(s.textLen + 1);
    if (data == nullptr || needle == nullptr) {
        free(data);
        free(needle);
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    needle[0] = '\n';
    memcpy(needle + 1, text, s.textLen);
    fd = KAVOFileOpenRegular(AT_FDCWD, file, O_RDONLY, 0);
    if (fd < 0) {
        saved = errno;
        free(data);
        free(needle);
        errno = saved;
        VLIBCErrSet(VLIBCErrGet());
        return -1;
    }
    for (;;) {
        ssize_t n = read(fd, data + have, cap - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0) {
            if (!skipping && have > 0) {
                scanLines(&s, needle, data, have);  // a last line without a line end
            }
            break;
        }
        have += (size_t)n;
        if (skipping) {  // the rest of an over-long line
            const char *nl = (const char *)memchr(data, '\n', have);
            if (nl == nullptr) {
                have = 0;
                continue;
            }
            skipping = false;
            have -= (size_t)(nl + 1 - data);
            memmove(data, nl + 1, have);
        }
        const char *last = (const char *)memrchr(data, '\n', have);
        if (last == nullptr) {
            if (have >= lineMax) {
                // Longer than anything that could be returned: judged by its start alone.
                if (memcmp(data, text, s.textLen) == 0 && candidateLine(&s, data, SIZE_MAX)) {
                    break;
                }
                skipping = true;
                have = 0;
            }
            continue;
        }
        size_t whole = (size_t)(last + 1 - data);
        if (scanLines(&s, needle, data, whole)) {
            break;
        }
        have -= whole;
        memmove(data, data + whole, have);
    }
    ret = s.ret;
    if (failed && !s.found) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        ret = -1;
    } else if (s.found && s.tooSmall) {
        buf[0] = '\0';
        errno = ENOBUFS;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        ret = -1;
    }
    free(data);
    free(needle);
    KAVOFileCloseKeep(fd);
    return readAnswer(ret);
}

// ---- writers -----------------------------------------------------------------------------------

// Formats the new line. The format must hold exactly two "%s" (key, then value) and nothing
// else but plain text and "%%"; a line break is allowed only at its end. The line always ends
// with "\n".
static bool formatValid(const char *format, size_t formatLen) {
    size_t conversions = 0;

    if (formatLen == 0 || formatLen > KV_KEY_MAX) {
        return false;
    }
    for (size_t i = 0; i < formatLen; i++) {
        if (format[i] == '\r' || (format[i] == '\n' && i + 1 != formatLen)) {
            return false;
        }
        if (format[i] != '%') {
            continue;
        }
        if (format[i + 1] == 's') {
            conversions++;
        } else if (format[i + 1] != '%') {
            return false;
        }
        i++;
    }
    return conversions == 2;
}

static bool formatLine(const char *format, const char *key, const char *value, std::string *out) {
    std::vector<char> buf;
    size_t formatLen;
    int n = -1;

    if (format == nullptr) {
        format = SZ_KEY_VALUE_FORMAT;
    }
    formatLen = strnlen(format, KV_KEY_MAX + 1);
    if (formatValid(format, formatLen)) {
        try {
            buf.resize(formatLen + strlen(key) + strlen(value) + 2);
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return false;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        n = snprintf(buf.data(), buf.size(), format, key, value);
#pragma GCC diagnostic pop
    }
    if (n < 0 || (size_t)n >= buf.size()) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return false;
    }
    try {
        out->assign(buf.data(), (size_t)n);
        if (out->empty() || out->back() != '\n') {
            out->push_back('\n');
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return false;
    }
    return true;
}

// Builds the new content: the first line of the key (inside the section when one is named)
// is replaced; otherwise the line is appended (at the end of the section's first block, or in
// a new section at the end). All other bytes stay as they are, except that a last line
// without its line end gets one when a line must follow it.
static void updateContent(const std::string &old, const char *section, const char *key,
                          const std::string &newLine, std::string *out) {
    const char *data = old.data();
    size_t size = old.size();
    size_t keyLen = strlen(key);
    size_t sectionLen = section != nullptr ? strlen(section) : 0;
    bool inSection = section == nullptr;
    bool sectionSeen = false, firstBlockOpen = false;
    size_t insertAt = size, pos = 0;

    while (pos < size) {
        const char *nl = (const char *)memchr(data + pos, '\n', size - pos);
        size_t full = nl != nullptr ? (size_t)(nl - (data + pos)) + 1 : size - pos;
        size_t len = lineLength(data + pos, full);
        const char *name, *value;
        size_t nameLen, valueLen;

        if (section != nullptr && sectionHeader(data + pos, len, &name, &nameLen)) {
            inSection = nameLen == sectionLen && memcmp(name, section, sectionLen) == 0;
            if (inSection && !sectionSeen) {
                sectionSeen = true;
                firstBlockOpen = true;
                insertAt = pos + full;
            } else {
                firstBlockOpen = false;
            }
        } else if (inSection && lineSetsKey(data + pos, len, key, keyLen, &value, &valueLen)) {
            out->assign(old, 0, pos);
            out->append(newLine);
            out->append(old, pos + full, std::string::npos);
            return;
        } else if (firstBlockOpen) {
            size_t i = 0;
            while (i < len && isBlank(data[pos + i])) {
                i++;
            }
            if (i < len) {
                insertAt = pos + full;
            }
        }
        pos += full;
    }

    if (section == nullptr || !sectionSeen) {
        *out = old;
        if (!out->empty() && out->back() != '\n') {
            out->push_back('\n');
        }
        if (section != nullptr) {
            out->push_back('[');
            out->append(section);
            out->append("]\n");
        }
        out->append(newLine);
        return;
    }
    out->assign(old, 0, insertAt);
    if (insertAt > 0 && old[insertAt - 1] != '\n') {
        out->push_back('\n');
    }
    out->append(newLine);
    out->append(old, insertAt, std::string::npos);
}

// Reads the whole file; a missing file reads as empty with *exists false.
static int readWhole(const char *path, std::string *content, struct stat *st, bool *exists) {
    char chunk[65536];
    ssize_t n;
    int fd;

    *exists = false;
    // O_NONBLOCK: a FIFO put in the file's place must not hang the writer (it is refused below).
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return 0;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (fstat(fd, st) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st->st_mode) || st->st_size > KV_FILE_MAX) {
        errno = S_ISREG(st->st_mode) ? EFBIG : EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        close(fd);
        return -1;
    }
    *exists = true;
    try {
        for (;;) {
            n = read(fd, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            content->append(chunk, (size_t)n);
            if ((off_t)content->size() > KV_FILE_MAX) {
                errno = EFBIG;
                n = -1;
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        close(fd);
        return -1;
    }
    if (n < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// Takes the writers' lock of the folder; returns its descriptor (released by close).
static int lockFolder(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);

    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    while (flock(fd, LOCK_EX) < 0) {
        if (errno == EINTR) {
            continue;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        close(fd);
        return -1;
    }
    return fd;
}

// With the lock held, every temporary file of this file in the folder is a leftover of a
// writer that died; remove them.
static void removeLeftovers(int dirFd, const char *base) {
    char prefix[KAVO_REPLACE_NAME_MAX + 16];
    size_t prefixLen;
    struct dirent *de;
    DIR *d;
    int fd;

    if (VLIBCStrPrintf(prefix, sizeof(prefix), ".%.*s" KV_TMP_TAG, KAVO_REPLACE_NAME_MAX, base) <
        0) {
        return;
    }
    prefixLen = strlen(prefix);
    fd = dup(dirFd);
    if (fd < 0) {
        return;
    }
    d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return;
    }
    rewinddir(d);
    while ((de = readdir(d)) != nullptr) {
        if (strncmp(de->d_name, prefix, prefixLen) == 0 &&
            strlen(de->d_name) == prefixLen + KV_TMP_RANDOM) {
            unlinkat(dirfd(d), de->d_name, 0);
        }
    }
    closedir(d);
}

// Splits path into its folder and its last component.
static int splitPath(const char *path, char *dir, size_t dirSize, const char **base) {
    const char *slash = strrchr(path, '/');

    if (slash == nullptr) {
        *base = path;
        return VLIBCStrCopy(dir, dirSize, ".");
    }
    *base = slash + 1;
    if (slash == path) {
        return VLIBCStrCopy(dir, dirSize, "/");
    }
    if ((size_t)(slash - path) >= dirSize) {
        return -1;
    }
    memcpy(dir, path, (size_t)(slash - path));
    dir[slash - path] = '\0';
    return 0;
}

// follow: a link at file is followed (its target gets the content); otherwise it is refused.
static int writeValue(const char *file, const char *section, const char *key, const char *value,
                      const char *format, bool follow) {
    char path[KAVO_PATH_SIZE], dir[KAVO_PATH_SIZE];
    const char *base;
    std::string newLine, old, content;
    struct stat st, lst;
    bool exists = false;
    int dirFd = -1, ret = -1, saved;

    if (!checkPath(file) || (section != nullptr && !checkSection(section)) || !checkKey(key) ||
        !checkValue(value)) {
        return -1;
    }
    if (!formatLine(format, key, value, &newLine)) {
        return -1;
    }

    // A link is followed so that the link stays and its target gets the new content.
    if (follow && lstat(file, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char *real = realpath(file, nullptr);
        if (real == nullptr) {
            VLIBCErrSet(KAVO_ERR_SYSTEM);
            return -1;
        }
        ret = VLIBCStrCopy(path, sizeof(path), real);
        free(real);
        if (ret < 0) {
            return -1;
        }
        ret = -1;
    } else if (VLIBCStrCopy(path, sizeof(path), file) < 0) {
        return -1;
    }
    if (splitPath(path, dir, sizeof(dir), &base) < 0 || base[0] == '\0') {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }

    dirFd = lockFolder(dir);
    if (dirFd < 0) {
        return -1;
    }
    removeLeftovers(dirFd, base);

    if (readWhole(path, &old, &st, &exists) < 0) {
        goto out;
    }
    try {
        updateContent(old, section, key, newLine, &content);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        goto out;
    }

    if (KAVOFileReplace(path, KV_TMP_TAG, content.data(), content.size(), exists ? &st : nullptr) <
        0) {
        goto out;
    }
    fsync(dirFd);
    ret = 1;

out:
    saved = errno;
    close(dirFd);
    errno = saved;
    return ret;
}

int VLIBCFileSetKeyValue(const char *file, const char *key, const char *value, const char *format) {
    return writeValue(file, nullptr, key, value, format, true);
}

int VLIBCFileSetKeyValueAt(int dirFd, const char *name, const char *key, const char *value,
                           const char *format) {
    char file[KAVO_PATH_SIZE];

    if (dirFd < 0 || name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr ||
        strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    // The descriptor's own name in /proc stands for exactly the folder that was opened: every
    // step of the writer (lock, read, temporary file, rename) then happens in that folder.
    if (VLIBCStrPrintf(file, sizeof(file), "/proc/self/fd/%d/%s", dirFd, name) < 0) {
        errno = ENAMETOOLONG;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return writeValue(file, nullptr, key, value, format, false);
}

int VLIBCFileSetSectionValue(const char *file, const char *section, const char *key,
                             const char *value) {
    if (section == nullptr) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return writeValue(file, section, key, value, nullptr, true);
}

// ---- plain files -----------------------------------------------------------------------------

int KAVOPathArgCheck(const char *path) {
    if (path == nullptr || path[0] == '\0' || strnlen(path, KAVO_PATH_SIZE) >= KAVO_PATH_SIZE) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}

void KAVOFileCloseKeep(int fd) {
    int saved = errno;

    if (fd >= 0) {
        close(fd);
    }
    errno = saved;
}

int KAVOFileWriteAll(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;

    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

int KAVOFileReplace(const char *path, const char *tag, const void *data, size_t len,
                    const struct stat *like) {
    char tmpl[KAVO_PATH_SIZE];
    const char *base;
    size_t dirLen, baseLen;
    struct stat st;
    mode_t mode;
    int fd, closed, saved, ret = -1;

    if (!checkPath(path) || tag == nullptr || strchr(tag, '/') != nullptr ||
        KAVOPathSplit(path, &dirLen, &base, &baseLen) != 0) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (baseLen > KAVO_REPLACE_NAME_MAX) {
        baseLen = KAVO_REPLACE_NAME_MAX;
    }
    if (VLIBCStrPrintf(tmpl, sizeof(tmpl), "%.*s.%.*s%sXXXXXX", (int)dirLen, path, (int)baseLen,
                       base, tag) < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = mkostemp(tmpl, O_CLOEXEC);
    if (fd < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    if (like != nullptr) {
        mode = like->st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0644 & ~mask;
    }
    if (KAVOFileWriteAll(fd, data, len) < 0 || fstat(fd, &st) < 0) {
        goto out;
    }
    if (like != nullptr && (st.st_uid != like->st_uid || st.st_gid != like->st_gid) &&
        fchown(fd, like->st_uid, like->st_gid) < 0) {
        goto out;
    }
    if (fchmod(fd, mode) < 0 || fsync(fd) < 0) {
        goto out;
    }
    closed = close(fd);
    fd = -1;
    if (closed < 0 || rename(tmpl, path) < 0) {
        goto out;
    }
    ret = 0;

out:
    if (ret < 0) {
        KAVOFileCloseKeep(fd);
        saved = errno;
        unlink(tmpl);
        errno = saved;
        VLIBCErrSet(KAVO_ERR_SYSTEM);
    }
    return ret;
}

int VLIBCFileTouch(const char *path) {
    struct stat st;
    int fd;

    if (!checkPath(path)) {
        return -1;
    }
    if (stat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            VLIBCErrSet(KAVO_ERR_EXISTS);
            return -1;
        }
        utimensat(AT_FDCWD, path, nullptr, 0);
        return 0;
    }
    // Created only as a new name: never through a dangling link.
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST && stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
            return 0;
        }
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return -1;
    }
    close(fd);
    return 0;
}

// stat's path for the kind checks below: 1 with *mode set, or 0 with the error recorded.
static int statMode(const char *path, mode_t *mode) {
    struct stat st;

    if (!checkPath(path)) {
        return 0;
    }
    if (stat(path, &st) < 0) {
        VLIBCErrSet(KAVO_ERR_SYSTEM);
        return 0;
    }
    *mode = st.st_mode;
    return 1;
}

int VLIBCFileExist(const char *path) {
    mode_t mode;

    return statMode(path, &mode) && S_ISREG(mode) ? 1 : 0;
}

int VLIBCFileCheckDir(const char *path) {
    mode_t mode;

    return statMode(path, &mode) && S_ISDIR(mode) ? 1 : 0;
}
