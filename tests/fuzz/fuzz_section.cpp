// Fuzz target: the section reader and writer.
//
// Input: the first line is the section name, the second the key, the rest is the file. The
// reader must never write past its buffer; when the writer accepts the names and the value,
// the reader must give the value back, and the value of another key must not change.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kavocore.h"

static const char *const kFile = "fuzz_section.conf";

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

// Reads with a buffer of exactly size bytes; the value, or "\x01missing".
static std::string readWith(const char *section, const char *key, size_t size) {
    char *buf = (char *)malloc(size);
    std::string out = "\x01missing";
    int r;

    if (buf == nullptr) {
        abort();
    }
    r = VLIBCFileGetSectionValue(kFile, section, key, buf, size);
    if (r >= 0) {
        if ((size_t)r >= size || buf[r] != '\0') {
            abort();
        }
        out.assign(buf, (size_t)r);
    }
    free(buf);
    return out;
}

static std::string takeLine(std::string *rest) {
    size_t nl = rest->find('\n');
    std::string line;
    if (nl == std::string::npos) {
        line = *rest;
        rest->clear();
    } else {
        line = rest->substr(0, nl);
        rest->erase(0, nl + 1);
    }
    return line.c_str();  // names are C strings
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string content(reinterpret_cast<const char *>(data), size);
    std::string section = takeLine(&content);
    std::string key = takeLine(&content);
    const char *other = key == "other" ? "path" : "other";

    writeFile(content);
    readWith(section.c_str(), key.c_str(), 1);
    readWith(section.c_str(), key.c_str(), 5);
    std::string otherBefore = readWith(section.c_str(), other, 4096);
    std::string globalBefore = readWith("global", key.c_str(), 4096);

    std::string value = content.substr(0, 40).c_str();
    for (char &c : value) {
        if (c == '\n' || c == '\r') {
            c = '_';
        }
    }
    if (VLIBCFileSetSectionValue(kFile, section.c_str(), key.c_str(), value.c_str()) > 0) {
        if (readWith(section.c_str(), key.c_str(), 4096) != value) {
            abort();
        }
        if (readWith(section.c_str(), other, 4096) != otherBefore) {
            abort();
        }
        if (section != "global" && readWith("global", key.c_str(), 4096) != globalBefore) {
            abort();
        }
    }
    unlink(kFile);
    return 0;
}
