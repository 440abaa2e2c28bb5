// kavophoto_music: tells whether an audio file can be read and prints its title tag.
//
//   kavophoto_music [-t] [-h] PATH
//
// The file is opened once, as a regular file only and without blocking (a FIFO or a device
// named like a song must not hang the program), and TagLib reads it through that descriptor.
// This program links no platform library, so its one log call escapes the path itself.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
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

static const char SZ_USAGE[] =
    "\nUsage: kavophoto_music [-t] mp3path\n"
    "           -t Get music id3 title.\n"
    "           -h Help.\n\n";

static void printUsage(void) {
    fputs(SZ_USAGE, stderr);
}

// The text with every control character (and DEL) written as "\\xHH", so that a name
// holding a newline stays one syslog line.
static std::string escaped(const char *text) {
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (*p < 0x20 || *p == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", *p);
            out += hex;
        } else {
            out += (char)*p;
        }
    }
    return out;
}

static void logInvalid(int line, const char *path) {
    syslog(LOG_ERR, "%s:%d Invalid path: %s", SZ_SOURCE, line, escaped(path).c_str());
}

// The title on one line: C0 and C1 control characters (a newline among them) become spaces.
static std::string oneLineTitle(const TagLib::String &title) {
    TagLib::String clean = title;
    for (unsigned int i = 0; i < clean.size(); i++) {
        wchar_t c = clean[i];
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
            clean[i] = L' ';
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
        logInvalid(__LINE__, path);
        return -1;
    }
    // The stream reads the descriptor (and closes it); TagLib tells the format by content.
    TagLib::FileStream stream(fd, true);
    TagLib::FileRef file(&stream, true, TagLib::AudioProperties::Average);
    if (file.isNull() || file.tag() == nullptr || file.audioProperties() == nullptr) {
        logInvalid(__LINE__, path);
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
