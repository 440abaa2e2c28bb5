// kavophoto_music: tells whether an audio file can be read and prints its title tag.
//
//   kavophoto_music [-t] [-h] PATH
//
// The file is opened once, as a regular file only and without blocking (a FIFO or a device
// named like a song must not hang the program), and TagLib reads it through that descriptor.
// This program links no platform library, so it has a log call of its own.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include <taglib/fileref.h>
#include <taglib/tag.h>
#include <taglib/tfilestream.h>

#define SZ_SOURCE "kavophoto_music"

// The size of one formatted log message (a path of any length fits), before its control
// characters are escaped.
#define LOG_MESSAGE_SIZE 8192

// Names its argument "mp3path" whatever the audio format: kept as callers expect it, 93 bytes
// with the blank lines and indents exactly so.
static const char SZ_USAGE[] =
    "\nUsage: kavophoto_music [-t] mp3path\n"
    "           -t Get music id3 title.\n"
    "           -h Help.\n\n";

static void printUsage(void) {
    // The usage goes with a failure or -h whatever: nothing is left to report its loss.
    (void)fputs(SZ_USAGE, stderr);
}

// This program's one log call, kept in step with the platform's (which it does not link):
// "kavophoto_music:LINE " and the message at error priority, "%m" being the text of errno at
// the call, a trailing newline dropped, and every control character (and DEL) written as
// "\xHH", so that a name holding a newline stays one syslog line. errno is kept.
static void logError(int line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void logError(int line, const char *fmt, ...) {
    static const char hexDigits[] = "0123456789ABCDEF";
    int saved = errno;
    char message[LOG_MESSAGE_SIZE];
    va_list ap;

    va_start(ap, fmt);
    int len = vsnprintf(message, sizeof(message), fmt, ap);
    va_end(ap);
    std::string text = len < 0 ? "(message not formatted)" : message;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::string safe;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            safe += "\\x";
            safe += hexDigits[c >> 4];
            safe += hexDigits[c & 0xf];
        } else {
            safe += (char)c;
        }
    }
    syslog(LOG_ERR, "%s:%d %s", SZ_SOURCE, line, safe.c_str());
    errno = saved;
}

// The title on one line: C0 and C1 control characters (a newline among them) become spaces.
static std::string oneLineTitle(const TagLib::String &title) {
    TagLib::String clean = title;
    for (wchar_t &c : clean) {
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
            c = L' ';
        }
    }
    return clean.to8Bit(true);
}

// Opens the file and, with printTitle, prints its title. A file that is no regular file, or
// that TagLib cannot read as audio with a tag, is an invalid path. 0 or -1.
static int readMusic(const char *path, bool printTitle) {
    struct stat st;

    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        logError(__LINE__, "Invalid path: %s", path);
        return -1;
    }
    // The stream reads the descriptor (and closes it); TagLib tells the format by content.
    TagLib::FileStream stream(fd, true);
    TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Average);
    if (file.isNull() || file.tag() == nullptr || file.audioProperties() == nullptr) {
        logError(__LINE__, "Invalid path: %s", path);
        return -1;
    }
    if (!printTitle) {
        return 0;
    }
    std::string title = oneLineTitle(file.tag()->title());
    if (puts(title.c_str()) == EOF || fflush(stdout) != 0) {
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    bool printTitle = false;
    int opt;

    openlog(SZ_SOURCE, LOG_CONS, LOG_USER);
    while ((opt = getopt(argc, argv, "ht")) != -1) {
        switch (opt) {
            case 'h':
                printUsage();
                return 0;
            case 't':
                printTitle = true;
                break;
            default:
                printUsage();
                return -1;
        }
    }
    if (argc < 2) {
        printUsage();
        return -1;
    }
    struct stat st;
    if (optind >= argc || stat(argv[optind], &st) != 0) {
        printUsage();
        return -1;
    }
    return readMusic(argv[optind], printTitle);
}
