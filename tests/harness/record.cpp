// Records one call of a stand-in program: record FILE ARG...
// Appends, in one write, a record of the caller's ids, working folder and arguments:
//   "call <uid> <euid>\n" "cwd <hex>\n" then "arg <hex>\n" per argument, then "end\n".
// The stand-in script passes its own path as the first ARG, so argv[0] is recorded as the
// program was called.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

static std::string hex(const char *s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = (const unsigned char *)s; *p; ++p) {
        out += digits[*p >> 4];
        out += digits[*p & 15];
    }
    return out;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        strcpy(cwd, "?");
    }
    std::string rec = "call " + std::to_string(getuid()) + " " + std::to_string(geteuid()) + "\n";
    rec += "cwd " + hex(cwd) + "\n";
    for (int i = 2; i < argc; ++i) {
        rec += "arg " + hex(argv[i]) + "\n";
    }
    rec += "end\n";
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        perror(argv[1]);
        return 2;
    }
    flock(fd, LOCK_EX);
    ssize_t n = write(fd, rec.data(), rec.size());
    close(fd);
    return n == (ssize_t)rec.size() ? 0 : 2;
}
