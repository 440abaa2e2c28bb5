// A minimal system-log receiver for the demonstration: binds a datagram socket (normally
// /dev/log inside a private root) and appends every message to a file as one line,
// "ident: text", without the priority and time stamp. Runs until it is killed.
//
//   logsink SOCKET FILE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

// "<pri>Mmm dd hh:mm:ss ident[pid]: text" -> "ident: text".
static std::string tidy(const char *raw, size_t len) {
    std::string s(raw, len);
    size_t p = 0;
    if (!s.empty() && s[0] == '<') {
        size_t end = s.find('>');
        p = end == std::string::npos ? 0 : end + 1;
    }
    if (s.size() >= p + 16 && s[p + 3] == ' ' && s[p + 6] == ' ' && s[p + 9] == ':') {
        p += 16;
    }
    s.erase(0, p);
    size_t colon = s.find(": ");
    size_t bracket = s.find('[');
    if (colon != std::string::npos && bracket != std::string::npos && bracket < colon) {
        s.erase(bracket, colon - bracket);
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) {
        s.pop_back();
    }
    for (char &c : s) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return s + "\n";
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: logsink SOCKET FILE\n");
        return 2;
    }
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof addr.sun_path) {
        fprintf(stderr, "logsink: socket path too long\n");
        return 1;
    }
    memcpy(addr.sun_path, argv[1], strlen(argv[1]) + 1);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        fprintf(stderr, "logsink: %s: %m\n", argv[2]);
        return 1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "logsink: socket: %m\n");
        close(out);
        return 1;
    }
    unlink(argv[1]);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        fprintf(stderr, "logsink: bind %s: %m\n", argv[1]);
        close(fd);
        close(out);
        return 1;
    }
    chmod(argv[1], 0666);
    static char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "logsink: recv: %m\n");
            break;
        }
        std::string line = tidy(buf, (size_t)n);
        if (write(out, line.data(), line.size()) != (ssize_t)line.size()) {
            fprintf(stderr, "logsink: write: %m\n");
            break;
        }
    }
    close(fd);
    close(out);
    return 1;
}
