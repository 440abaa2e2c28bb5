// kavophoto_music: tells whether an audio file can be read and prints its title tag.
//
//   kavophoto_music [-t] [-h] PATH
#include <getopt.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#define SZ_SOURCE "kavophoto_music"

static const char SZ_USAGE[] =
    "\nUsage: kavophoto_music [-t] mp3path\n"
    "           -t Get music id3 title.\n"
    "           -h Help.\n\n";

static void printUsage(void) {
    fputs(SZ_USAGE, stderr);
}

// Opens the file and, with printTitle, prints its title. 0 or -1.
static int readMusic(const char *path, bool printTitle) {
    TagLib::FileRef file(path, true, TagLib::AudioProperties::Average);
    if (file.isNull()) {
        syslog(LOG_ERR, "%s:%d Invalid path: %s", SZ_SOURCE, __LINE__, path);
        return -1;
    }
    if (!printTitle) {
        return 0;
    }
    // A format that carries no tag at all has no title: print an empty line for it.
    TagLib::Tag *tag = file.tag();
    puts(tag ? tag->title().toCString(true) : "");
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
