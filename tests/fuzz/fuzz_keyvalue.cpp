// Fuzz target: the key/value reader, the line lookup and the key/value writer.
//
// Input: the first line is the key, the rest is the file. The readers must never write past
// the buffers they are given and must leave them terminated; when the writer accepts a key
// and a value, the reader must give that value back, and a key that was absent must be added
// at the end without touching a byte before it.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kavocore.h"

static const char *const kFile = "fuzz_keyvalue.conf";

static void writeFile(const std::string &content) {
    int fd = open(kFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        abort();
    }
    if (write(fd, content.data(), content.size()) != (ssize_t)content.size()) {
        abort();
    }
    close(fd);
}

static std::string readFile() {
    std::string out;
    char chunk[4096];
    ssize_t n;
    int fd = open(kFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        abort();
    }
    while ((n = read(fd, chunk, sizeof(chunk))) > 0) {
        out.append(chunk, (size_t)n);
    }
    close(fd);
    return out;
}

// Runs both readers with a buffer of exactly size bytes (so that any overrun is caught).
static void readWith(const char *key, size_t size) {
    char *buf = (char *)malloc(size);
    int r;

    if (buf == nullptr) {
        abort();
    }
    r = VLIBCFileGetKeyValue(kFile, key, buf, size, 0);
    if (r > 0 && (memchr(buf, '\0', size) == nullptr || (size_t)r > size)) {
        abort();
    }
    r = VLIBCFileGetLine(kFile, key, buf, size, VLIBC_FILE_GETLINE_PREFIX);
    if (r > 0 && ((size_t)r >= size || buf[r] != '\0' || strncmp(buf, key, strlen(key)) != 0)) {
        abort();
    }
    free(buf);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nl = input.find('\n');
    std::string key = nl == std::string::npos ? std::string("key") : input.substr(0, nl);
    std::string content = nl == std::string::npos ? input : input.substr(nl + 1);
    char before[4096], after[4096];
    int had;

    key = key.c_str();  // a key is a C string
    writeFile(content);
    readWith(key.c_str(), 1);
    readWith(key.c_str(), 7);
    readWith(key.c_str(), 4096);

    // A value made of the file's first bytes (no line breaks, no zero bytes).
    std::string value = content.substr(0, 40).c_str();
    for (char &c : value) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    had = VLIBCFileGetKeyValue(kFile, key.c_str(), before, sizeof(before), 0);
    if (VLIBCFileSetKeyValue(kFile, key.c_str(), value.c_str(), nullptr) > 0) {
        if (VLIBCFileGetKeyValue(kFile, key.c_str(), after, sizeof(after), 0) <= 0 ||
            value != after) {
            abort();
        }
        if (had == 0) {
            std::string expect = content;
            if (!expect.empty() && expect.back() != '\n') {
                expect.push_back('\n');
            }
            expect += key + "=\"" + value + "\"\n";
            if (readFile() != expect) {
                abort();
            }
        }
    }
    unlink(kFile);
    return 0;
}
