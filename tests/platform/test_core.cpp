// Core family: errors, bounded strings, string lists, key/value and section files, line
// lookup, plain-file tests, program execution, the platform fork, pid files and the banner.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavocore.h"

using lumora::test::ApplianceRoot;

namespace {

const char *const kFile = "/tmp/kv/settings.conf";

std::string getValue(const char *file, const char *key, int *ret = nullptr) {
    char buf[4096];
    int r = VLIBCFileGetKeyValue(file, key, buf, sizeof(buf), 0);
    if (ret != nullptr) {
        *ret = r;
    }
    return r > 0 ? std::string(buf) : std::string("<" + std::to_string(r) + ">");
}

std::string sectionValue(const char *file, const char *section, const char *key) {
    char buf[4096];
    int r = VLIBCFileGetSectionValue(file, section, key, buf, sizeof(buf));
    return r >= 0 ? std::string(buf) : std::string("<missing>");
}

// Names in the folder that a writer left behind.
std::vector<std::string> leftovers(const char *dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir);
    struct dirent *de;
    if (d == nullptr) {
        return out;
    }
    while ((de = readdir(d)) != nullptr) {
        if (strstr(de->d_name, "tmp") != nullptr) {
            out.push_back(de->d_name);
        }
    }
    closedir(d);
    return out;
}

int waitStatus(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string longString(size_t n, char c = 'a') {
    return std::string(n, c);
}

}  // namespace

// ---- errors, bounded strings, string lists ------------------------------------------------------

TEST(CoreErrors, RecordKeepsErrnoAndNamesTheSource) {
    errno = EACCES;
    VLIBCErrSetEx(0x1234, "/some/folder/source.cpp", 77, "extra");
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(VLIBCErrGet(), 0x1234);
    EXPECT_STREQ(VLIBCErrorGetFile(), "source.cpp");
    EXPECT_EQ(VLIBCErrorGetLine(), 77);

    VLIBCErrSetEx(512, "kavophoto_update_db", 12, nullptr);
    EXPECT_EQ(VLIBCErrGet(), 512);
    EXPECT_STREQ(VLIBCErrorGetFile(), "kavophoto_update_db");
}

TEST(CoreErrors, FailedOperationRecordsCodeAndKeepsSystemReason) {
    ApplianceRoot root;
    char buf[64];

    VLIBCErrSetEx(0, "x", 0, nullptr);
    errno = 0;
    EXPECT_LT(VLIBCFileGetKeyValue("/tmp/no/such/file", "key", buf, sizeof(buf), 0), 0);
    EXPECT_EQ(errno, ENOENT);  // callers log "%m" right after the call
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_SYSTEM);
    EXPECT_STREQ(VLIBCErrorGetFile(), "keyvalue.cpp");
    EXPECT_GT(VLIBCErrorGetLine(), 0);
}

TEST(CoreStrings, CopyAndPrintfFitOrFailWithoutOverrun) {
    struct {
        char buf[8];
        char canary[8];
    } area;

    memset(&area, 'Z', sizeof(area));
    EXPECT_EQ(VLIBCStrCopy(area.buf, sizeof(area.buf), "1234567"), 0);
    EXPECT_STREQ(area.buf, "1234567");
    EXPECT_EQ(VLIBCStrCopy(area.buf, sizeof(area.buf), "12345678"), -1);
    EXPECT_STREQ(area.buf, "");
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(std::string(area.canary, 8), std::string(8, 'Z'));
    EXPECT_EQ(VLIBCStrCopy(area.buf, sizeof(area.buf), nullptr), -1);
    EXPECT_EQ(VLIBCStrCopy(nullptr, 8, "x"), -1);
    EXPECT_EQ(VLIBCStrCopy(area.buf, 0, "x"), -1);

    EXPECT_EQ(VLIBCStrPrintf(area.buf, sizeof(area.buf), "%s-%d", "ab", 1234), 0);
    EXPECT_STREQ(area.buf, "ab-1234");
    EXPECT_EQ(VLIBCStrPrintf(area.buf, sizeof(area.buf), "%s-%d", "ab", 12345), -1);
    EXPECT_STREQ(area.buf, "");
    EXPECT_EQ(std::string(area.canary, 8), std::string(8, 'Z'));
    EXPECT_EQ(VLIBCStrPrintf(area.buf, sizeof(area.buf), nullptr), -1);
}

TEST(CoreStringList, GrowsPastItsCapacity) {
    PVLIBC_SZLIST list = VLIBCSzListAlloc(2);
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(VLIBCSzListPush(&list, ("user" + std::to_string(i)).c_str()), 0);
    }
    EXPECT_EQ(list->nItem, 1000);
    EXPECT_GE(list->nAlloc, 1000);
    for (int i = 0; i < 1000; i++) {
        ASSERT_STREQ(VLIBCSzListGet(list, i), ("user" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(VLIBCSzListGet(list, 1000), nullptr);
    EXPECT_EQ(VLIBCSzListGet(list, -1), nullptr);
    EXPECT_EQ(VLIBCSzListPush(&list, nullptr), -1);
    EXPECT_EQ(list->nItem, 1000);
    VLIBCSzListFree(list);

    EXPECT_EQ(VLIBCSzListAlloc(0), nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(VLIBCSzListAlloc(-5), nullptr);
    EXPECT_EQ(VLIBCSzListGet(nullptr, 0), nullptr);
    EXPECT_EQ(VLIBCSzListPush(nullptr, "x"), -1);
    VLIBCSzListFree(nullptr);

    list = VLIBCSzListAlloc(512);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->nItem, 0);
    EXPECT_EQ(VLIBCSzListGet(list, 0), nullptr);
    VLIBCSzListFree(list);
}

// ---- key/value readers ----------------------------------------------------------------------

TEST(KeyValueRead, QuotesBlanksAndFirstLine) {
    ApplianceRoot root;
    root.writeFile(kFile,
                   "# settings\n"
                   "plain=\"yes\"\n"
                   "spaced = \"with blanks\"\n"
                   "  indented\t=\t\"tab\"\n"
                   "bare=unquoted value\n"
                   "empty=\"\"\n"
                   "inner=\"a \"quoted\" word\"\n"
                   "trailing=\"v\"   \n"
                   "half=\"open\n"
                   "crlf=\"dos\"\r\n"
                   "dup=\"first\"\n"
                   "dup=\"second\"\n"
                   "prefixed=\"long\"\n"
                   "last=\"no newline\"");
    const struct {
        const char *key;
        const char *value;  // "<0>": not found
    } cases[] = {
        {"plain", "yes"},
        {"spaced", "with blanks"},
        {"indented", "tab"},
        {"bare", "unquoted value"},
        {"empty", ""},  // an empty value is still found
        {"inner", "a \"quoted\" word"},
        {"trailing", "v"},
        {"half", "\"open"},
        {"crlf", "dos"},
        {"dup", "first"},
        {"last", "no newline"},
        {"prefix", "<0>"},  // "prefixed" is another key
        {"# settings", "<0>"},
        {"missing", "<0>"},
    };
    for (const auto &c : cases) {
        int r = -1;
        EXPECT_EQ(getValue(kFile, c.key, &r), c.value) << c.key;
        if (strcmp(c.value, "<0>") == 0) {
            EXPECT_EQ(r, 0) << c.key;
            EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND) << c.key;
        } else {
            EXPECT_GT(r, 0) << c.key;
        }
    }
}

TEST(KeyValueRead, SmallBufferFailsWithoutOverrun) {
    ApplianceRoot root;
    root.writeFile(kFile, "key=\"123456789\"\n");
    struct {
        char buf[10];
        char canary[16];
    } area;

    memset(&area, 'Z', sizeof(area));
    EXPECT_GT(VLIBCFileGetKeyValue(kFile, "key", area.buf, 10, 0), 0);  // exactly fits
    EXPECT_STREQ(area.buf, "123456789");
    memset(&area, 'Z', sizeof(area));
    EXPECT_LT(VLIBCFileGetKeyValue(kFile, "key", area.buf, 9, 0), 0);
    EXPECT_EQ(area.buf[0], '\0');
    EXPECT_EQ(area.buf[9], 'Z');
    EXPECT_EQ(std::string(area.canary, 16), std::string(16, 'Z'));
    area.buf[0] = 'Z';
    EXPECT_LT(VLIBCFileGetKeyValue(kFile, "key", area.buf, 0, 0), 0);
    EXPECT_EQ(area.buf[0], 'Z');  // a size of 0 allows no byte at all
}

TEST(KeyValueRead, BadArgumentsAreRefused) {
    ApplianceRoot root;
    root.writeFile(kFile, "key=\"v\"\n");
    char buf[64];
    std::string longPath = "/tmp/" + longString(5000);

    const struct {
        const char *file;
        const char *key;
        bool badArgument;  // refused before the file is looked at
    } cases[] = {
        {nullptr, "key", true}, {"", "key", true},         {longPath.c_str(), "key", true},
        {kFile, nullptr, true}, {kFile, "", true},         {kFile, "key=", true},
        {kFile, "key\n", true}, {"/tmp/kv", "key", false},  // a folder
    };
    for (const auto &c : cases) {
        EXPECT_LT(VLIBCFileGetKeyValue(c.file, c.key, buf, sizeof(buf), 0), 0)
            << (c.file ? c.file : "(null)") << " " << (c.key ? c.key : "(null)");
        if (c.badArgument) {
            EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
        }
    }
    EXPECT_LT(VLIBCFileGetKeyValue(kFile, "key", nullptr, 64, 0), 0);
    // A FIFO in place of a settings file or a queue is refused at once, never waited on.
    ASSERT_EQ(mkfifo("/tmp/kv/fifo", 0666), 0);
    EXPECT_LT(VLIBCFileGetKeyValue("/tmp/kv/fifo", "key", buf, sizeof(buf), 0), 0);
    EXPECT_LT(VLIBCFileGetSectionValue("/tmp/kv/fifo", "s", "key", buf, sizeof(buf)), 0);
    EXPECT_LT(VLIBCFileGetLine("/tmp/kv/fifo", "F", buf, sizeof(buf), VLIBC_FILE_GETLINE_PREFIX),
              0);
}

// ---- key/value writer -----------------------------------------------------------------------

TEST(KeyValueWrite, ReplacesInPlaceAndKeepsEveryOtherByte) {
    ApplianceRoot root;
    const std::string before =
        "# comment = \"kept\"\n"
        "\n"
        "alpha = \"1\"\r\n"
        "  key  =  old value  \n"
        "weird line without equals\n"
        "key=\"second copy\"\n"
        "\ttail=\"x\"";
    root.writeFile(kFile, before);

    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "key", "new", nullptr), 0);
    EXPECT_EQ(ApplianceRoot::readFile(kFile),
              "# comment = \"kept\"\n"
              "\n"
              "alpha = \"1\"\r\n"
              "key=\"new\"\n"
              "weird line without equals\n"
              "key=\"second copy\"\n"
              "\ttail=\"x\"");
    EXPECT_EQ(getValue(kFile, "key"), "new");

    // The last line has no line end: an appended line must not join it.
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "added", "v 2", nullptr), 0);
    EXPECT_EQ(ApplianceRoot::readFile(kFile),
              "# comment = \"kept\"\n"
              "\n"
              "alpha = \"1\"\r\n"
              "key=\"new\"\n"
              "weird line without equals\n"
              "key=\"second copy\"\n"
              "\ttail=\"x\"\n"
              "added=\"v 2\"\n");
    EXPECT_EQ(getValue(kFile, "tail"), "x");
    EXPECT_EQ(getValue(kFile, "added"), "v 2");

    // Replacing the last line that lacks a line end.
    root.writeFile(kFile, "a=\"1\"\nb=\"2\"");
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "b", "3", nullptr), 0);
    EXPECT_EQ(ApplianceRoot::readFile(kFile), "a=\"1\"\nb=\"3\"\n");

    // An empty value and a value with quotes read back as written.
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "a", "", nullptr), 0);
    EXPECT_EQ(getValue(kFile, "a"), "");
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "a", "say \"hi\"", nullptr), 0);
    EXPECT_EQ(getValue(kFile, "a"), "say \"hi\"");
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
}

TEST(KeyValueWrite, CreatesMissingFileAndUsesTheGivenForm) {
    ApplianceRoot root;
    root.makeDir("/tmp/kv");
    const char *ini = "/tmp/kv/php.ini";

    mode_t old = umask(022);
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "convertphotoacl", "running", nullptr), 0);
    umask(old);
    EXPECT_EQ(ApplianceRoot::readFile(kFile), "convertphotoacl=\"running\"\n");
    struct stat st;
    ASSERT_EQ(stat(kFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    EXPECT_GT(VLIBCFileSetKeyValue(ini, "upload_tmp_dir", "/volume1/@tmp", "%s = \"%s\"\n"), 0);
    EXPECT_GT(VLIBCFileSetKeyValue(ini, "upload_tmp_dir", "/volume2/@tmp", "%s = \"%s\"\n"), 0);
    EXPECT_EQ(ApplianceRoot::readFile(ini), "upload_tmp_dir = \"/volume2/@tmp\"\n");
    EXPECT_EQ(getValue(ini, "upload_tmp_dir"), "/volume2/@tmp");

    // Formats that are not a line of two strings are refused.
    EXPECT_EQ(VLIBCFileSetKeyValue(ini, "k", "v", "%s=%d\n"), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(VLIBCFileSetKeyValue(ini, "k", "v", "%s\n%s\n"), -1);
    EXPECT_EQ(VLIBCFileSetKeyValue(ini, "k", "v", "%s=%s=%s\n"), -1);
    EXPECT_EQ(VLIBCFileSetKeyValue(ini, "k", "v", "%n%s\n"), -1);
    EXPECT_EQ(ApplianceRoot::readFile(ini), "upload_tmp_dir = \"/volume2/@tmp\"\n");
}

TEST(KeyValueWrite, KeepsOwnerModeAndLink) {
    ApplianceRoot root;
    root.writeFile(kFile, "a=\"1\"\n", 0640, 1234, 2345);
    ASSERT_EQ(symlink("settings.conf", "/tmp/kv/link.conf"), 0);

    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "a", "2", nullptr), 0);
    EXPECT_GT(VLIBCFileSetKeyValue("/tmp/kv/link.conf", "b", "3", nullptr), 0);
    struct stat st;
    ASSERT_EQ(stat(kFile, &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 2345u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(lstat("/tmp/kv/link.conf", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ApplianceRoot::readFile(kFile), "a=\"2\"\nb=\"3\"\n");
}

TEST(KeyValueWrite, InAnOpenFolderNothingButItsRegularFile) {
    ApplianceRoot root;
    root.writeFile("/tmp/kv/victim", "secret=\"1\"\n", 0600);
    root.writeFile(kFile, "a=\"1\"\n", 0640, 1234, 2345);
    ASSERT_EQ(symlink("/tmp/kv/victim", "/tmp/kv/link.conf"), 0);
    ASSERT_EQ(mkfifo("/tmp/kv/fifo.conf", 0666), 0);
    ASSERT_EQ(mkdir("/tmp/kv/dir.conf", 0755), 0);
    int dirFd = open("/tmp/kv", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);

    EXPECT_GT(VLIBCFileSetKeyValueAt(dirFd, "settings.conf", "b", "2", nullptr), 0);
    EXPECT_EQ(ApplianceRoot::readFile(kFile), "a=\"1\"\nb=\"2\"\n");
    struct stat st;
    ASSERT_EQ(lstat(kFile, &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_GT(VLIBCFileSetKeyValueAt(dirFd, "new.conf", "c", "3", nullptr), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/kv/new.conf"), "c=\"3\"\n");

    for (const char *name : {"link.conf", "fifo.conf", "dir.conf", "../kv/settings.conf", ""}) {
        EXPECT_EQ(VLIBCFileSetKeyValueAt(dirFd, name, "b", "9", nullptr), -1) << name;
    }
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/kv/victim"), "secret=\"1\"\n");
    ASSERT_EQ(lstat("/tmp/kv/link.conf", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat("/tmp/kv/fifo.conf", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(ApplianceRoot::readFile(kFile), "a=\"1\"\nb=\"2\"\n");
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
    close(dirFd);
}

TEST(KeyValueWrite, InjectionAndBadArgumentsAreRefused) {
    ApplianceRoot root;
    const std::string before = "a=\"1\"\n";
    root.writeFile(kFile, before);
    std::string longValue = longString(5000);

    const struct {
        const char *file;
        const char *key;
        const char *value;
    } cases[] = {
        {kFile, "a", "x\nadmin=\"yes\""},
        {kFile, "a", "x\radmin=\"yes\""},
        {kFile, "a\nadmin", "yes"},
        {kFile, "admin=\"yes\"", "x"},
        {kFile, "a=b", "x"},
        {kFile, "", "x"},
        {kFile, " a", "x"},
        {kFile, nullptr, "x"},
        {kFile, "a", nullptr},
        {kFile, "a", longValue.c_str()},
        {nullptr, "a", "x"},
        {"", "a", "x"},
        {"/tmp/kv/", "a", "x"},
        {"/tmp/kv/missing/dir/f", "a", "x"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        EXPECT_EQ(VLIBCFileSetKeyValue(cases[i].file, cases[i].key, cases[i].value, nullptr), -1)
            << "case " << i;
    }
    EXPECT_EQ(VLIBCFileSetKeyValue(kFile, "a", "x\nadmin=\"yes\"", nullptr), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(ApplianceRoot::readFile(kFile), before);
    EXPECT_EQ(getValue(kFile, "admin"), "<0>");
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
}

// Two processes each set 500 different keys in one file at the same time: all 1,000 stay.
TEST(KeyValueWrite, ConcurrentWritersLoseNothing) {
    ApplianceRoot root;
    root.writeFile(kFile, "# shared\n");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pids[2];
    for (int w = 0; w < 2; w++) {
        pids[w] = fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            char c;
            close(go[1]);
            if (read(go[0], &c, 1) < 0) {
                _exit(2);
            }
            for (int i = 0; i < 500; i++) {
                std::string key = std::string(w == 0 ? "first" : "second") + std::to_string(i);
                if (VLIBCFileSetKeyValue(kFile, key.c_str(), std::to_string(i * 7).c_str(),
                                         nullptr) <= 0) {
                    _exit(1);
                }
            }
            _exit(0);
        }
    }
    close(go[0]);
    close(go[1]);  // both start together
    for (pid_t pid : pids) {
        int status = waitStatus(pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    for (int w = 0; w < 2; w++) {
        for (int i = 0; i < 500; i++) {
            std::string key = std::string(w == 0 ? "first" : "second") + std::to_string(i);
            ASSERT_EQ(getValue(kFile, key.c_str()), std::to_string(i * 7)) << key;
        }
    }
    std::string text = ApplianceRoot::readFile(kFile);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1001);
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
}

// A writer killed at any moment leaves the old file or the new one, never a torn one; the
// next writer removes what the killed one left behind.
TEST(KeyValueWrite, KilledWriterNeverTearsTheFile) {
    ApplianceRoot root;
    std::string head, tail;
    for (int i = 0; i < 3000; i++) {
        head += "head" + std::to_string(i) + "=\"" + longString(40, 'h') + "\"\n";
    }
    for (int i = 0; i < 3000; i++) {
        tail += "tail" + std::to_string(i) + "=\"" + longString(40, 't') + "\"\n";
    }
    root.writeFile(kFile, head + "counter=\"0\"\n" + tail, 0600, 321, 654);
    std::mt19937 rng(12345);
    long highest = 0;

    for (int round = 0; round < 40; round++) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            for (long n = 1;; n++) {
                std::string v = std::to_string(round * 1000000L + n);
                if (VLIBCFileSetKeyValue(kFile, "counter", v.c_str(), nullptr) <= 0) {
                    _exit(1);
                }
                if (n == 1 && write(ready[1], "x", 1) != 1) {
                    _exit(1);
                }
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);  // it has written at least once
        close(ready[0]);
        usleep(std::uniform_int_distribution<int>(0, 3000)(rng));
        kill(pid, SIGKILL);
        int status = waitStatus(pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string text = ApplianceRoot::readFile(kFile);
        ASSERT_GT(text.size(), head.size() + tail.size());
        ASSERT_EQ(text.compare(0, head.size(), head), 0) << "round " << round;
        ASSERT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0);
        std::string middle = text.substr(head.size(), text.size() - head.size() - tail.size());
        ASSERT_EQ(middle.compare(0, 9, "counter=\""), 0) << middle;
        ASSERT_EQ(middle.compare(middle.size() - 2, 2, "\"\n"), 0) << middle;
        long n = atol(getValue(kFile, "counter").c_str());
        EXPECT_GT(n, round * 1000000L) << "round " << round;
        highest = std::max(highest, n);
        struct stat st;
        ASSERT_EQ(stat(kFile, &st), 0);
        EXPECT_EQ(st.st_uid, 321u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_GT(highest, 39 * 1000000L);
    EXPECT_GT(VLIBCFileSetKeyValue(kFile, "counter", "done", nullptr), 0);
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
    EXPECT_EQ(ApplianceRoot::readFile(kFile), head + "counter=\"done\"\n" + tail);
}

// ---- section files ---------------------------------------------------------------------------

TEST(SectionFile, ReadsTheKeyOfItsOwnSection) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo", {{"encrypted", "no"}});
    root.addShare("homes", "/volume1/homes", {{"recycle_bin", "yes"}});
    const char *shares = "/usr/kavo/etc/shares.conf";
    EXPECT_EQ(sectionValue(shares, "photo", "path"), "/volume1/photo");
    EXPECT_EQ(sectionValue(shares, "homes", "path"), "/volume1/homes");
    EXPECT_EQ(sectionValue(shares, "homes", "recycle_bin"), "yes");
    EXPECT_EQ(sectionValue(shares, "photo", "recycle_bin"), "<missing>");
    EXPECT_EQ(sectionValue(shares, "music", "path"), "<missing>");
    EXPECT_EQ(sectionValue(shares, "phot", "path"), "<missing>");

    root.writeFile("/etc/ddns.conf",
                   "hostname=\"global\"\n"
                   "[Provider A]\n"
                   "  hostname = \"a.example.net\"\n"
                   " [ B ] \n"
                   "hostname=b.example.net\n"
                   "[empty]\n"
                   "hostname=\"\"\n");
    char buf[4096];
    EXPECT_EQ(
        VLIBCFileGetSectionValue("/etc/ddns.conf", "Provider A", "hostname", buf, sizeof(buf)), 13);
    EXPECT_STREQ(buf, "a.example.net");
    EXPECT_EQ(sectionValue("/etc/ddns.conf", " B ", "hostname"), "b.example.net");
    EXPECT_EQ(VLIBCFileGetSectionValue("/etc/ddns.conf", "empty", "hostname", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "");

    struct {
        char buf[5];
        char canary[8];
    } area;
    memset(&area, 'Z', sizeof(area));
    EXPECT_LT(VLIBCFileGetSectionValue("/etc/ddns.conf", "Provider A", "hostname", area.buf,
                                       sizeof(area.buf)),
              0);
    EXPECT_EQ(std::string(area.canary, 8), std::string(8, 'Z'));
    EXPECT_LT(VLIBCFileGetSectionValue("/etc/ddns.conf", nullptr, "hostname", buf, sizeof(buf)), 0);
    EXPECT_LT(VLIBCFileGetSectionValue("/etc/ddns.conf", "", "hostname", buf, sizeof(buf)), 0);
    EXPECT_LT(VLIBCFileGetSectionValue("/etc/missing.conf", "a", "hostname", buf, sizeof(buf)), 0);
}

TEST(SectionFile, WriterReplacesInsertsAndAddsSections) {
    ApplianceRoot root;
    const char *file = "/tmp/kv/shares.conf";
    root.writeFile(file,
                   "; shares\n"
                   "[photo]\n"
                   "\tpath=\"/volume1/photo\"\n"
                   "\thide_unreadable=\"no\"\n"
                   "\n"
                   "[music]\n"
                   "\tpath=\"/volume1/music\"");

    EXPECT_GT(VLIBCFileSetSectionValue(file, "photo", "hide_unreadable", "yes"), 0);
    EXPECT_GT(VLIBCFileSetSectionValue(file, "photo", "recycle_bin", "yes"), 0);
    EXPECT_GT(VLIBCFileSetSectionValue(file, "music", "encrypted", "no"), 0);
    EXPECT_GT(VLIBCFileSetSectionValue(file, "homes", "path", "/volume1/homes"), 0);
    EXPECT_EQ(ApplianceRoot::readFile(file),
              "; shares\n"
              "[photo]\n"
              "\tpath=\"/volume1/photo\"\n"
              "hide_unreadable=\"yes\"\n"
              "recycle_bin=\"yes\"\n"
              "\n"
              "[music]\n"
              "\tpath=\"/volume1/music\"\n"
              "encrypted=\"no\"\n"
              "[homes]\n"
              "path=\"/volume1/homes\"\n");
    EXPECT_EQ(sectionValue(file, "photo", "hide_unreadable"), "yes");
    EXPECT_EQ(sectionValue(file, "music", "encrypted"), "no");
    EXPECT_EQ(sectionValue(file, "photo", "encrypted"), "<missing>");
    EXPECT_EQ(sectionValue(file, "homes", "path"), "/volume1/homes");

    EXPECT_EQ(VLIBCFileSetSectionValue(file, "photo", "path", "/x\n[admin]"), -1);
    EXPECT_EQ(VLIBCFileSetSectionValue(file, "photo]\n[x", "path", "v"), -1);
    EXPECT_EQ(VLIBCFileSetSectionValue(file, nullptr, "path", "v"), -1);
    EXPECT_EQ(VLIBCFileSetSectionValue(file, "photo", "a=b", "v"), -1);
    EXPECT_EQ(sectionValue(file, "photo", "path"), "/volume1/photo");

    EXPECT_GT(VLIBCFileSetSectionValue("/tmp/kv/new.conf", "photo", "path", "/v"), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/kv/new.conf"), "[photo]\npath=\"/v\"\n");
    EXPECT_TRUE(leftovers("/tmp/kv").empty());
}

// ---- line lookup and plain files ---------------------------------------------------------------

TEST(GetLine, FirstLineBeginningWithTheText) {
    ApplianceRoot root;
    const char *queue = "/tmp/kv/queue";
    root.writeFile(queue,
                   "F\t/volume1/photo/a.jpg\n"
                   "F\t/volume1/photo/b.jpg.more\n"
                   "F\t/volume1/photo/b.jpg\r\n"
                   "W\tlast");
    char buf[4097];
    EXPECT_EQ(VLIBCFileGetLine(queue, "F\t/volume1/photo/a.jpg", buf, sizeof(buf), 1028), 22);
    EXPECT_STREQ(buf, "F\t/volume1/photo/a.jpg");
    EXPECT_GT(VLIBCFileGetLine(queue, "F\t/volume1/photo/b", buf, sizeof(buf), 1028), 0);
    EXPECT_STREQ(buf, "F\t/volume1/photo/b.jpg.more");
    EXPECT_GT(VLIBCFileGetLine(queue, "W", buf, sizeof(buf), 1028), 0);
    EXPECT_STREQ(buf, "W\tlast");
    EXPECT_EQ(VLIBCFileGetLine(queue, "F\t/volume1/photo/c.jpg", buf, sizeof(buf), 1028), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_LT(VLIBCFileGetLine("/tmp/kv/none", "F", buf, sizeof(buf), 1028), 0);
    EXPECT_LT(VLIBCFileGetLine(queue, "", buf, sizeof(buf), 1028), 0);
    EXPECT_LT(VLIBCFileGetLine(queue, nullptr, buf, sizeof(buf), 1028), 0);

    char exact[7];  // "W\tlast" and its terminator
    EXPECT_EQ(VLIBCFileGetLine(queue, "W", exact, sizeof(exact), 1028), 6);
    EXPECT_STREQ(exact, "W\tlast");
    struct {
        char buf[6];
        char canary[8];
    } area;
    memset(&area, 'Z', sizeof(area));
    EXPECT_LT(VLIBCFileGetLine(queue, "W", area.buf, sizeof(area.buf), 1028), 0);
    EXPECT_EQ(std::string(area.canary, 8), std::string(8, 'Z'));

    // A line longer than any buffer of the callers is read whole or refused, never cut.
    root.writeFile(queue, "F\t" + longString(10000) + "\n");
    EXPECT_LT(VLIBCFileGetLine(queue, "F", buf, sizeof(buf), 1028), 0);
}

// The queue asks whether its entry is there by the length of the line found: a longer line
// that only begins with the entry must not hide the entry itself.
TEST(GetLine, LineEqualToTheTextWins) {
    ApplianceRoot root;
    const char *queue = "/tmp/kv/queue";
    root.writeFile(queue,
                   "F\t/volume1/photo/album2\n"
                   "F\t/volume1/photo/" +
                       longString(5000) +
                       "\n"
                       "F\t/volume1/photo/album\n"
                       "F\t/volume1/photo/album\n");
    char buf[4097];
    EXPECT_EQ(VLIBCFileGetLine(queue, "F\t/volume1/photo/album", buf, sizeof(buf), 1028), 22);
    EXPECT_STREQ(buf, "F\t/volume1/photo/album");
    EXPECT_EQ(VLIBCFileGetLine(queue, "F\t/volume1/photo/alb", buf, sizeof(buf), 1028), 23);
    EXPECT_STREQ(buf, "F\t/volume1/photo/album2");
    EXPECT_EQ(VLIBCFileGetLine(queue, "F\t/volume1/photo/", buf, sizeof(buf), 1028), 23);
}

// The lookup reads the file in blocks; lines of every length, wherever they fall against the
// block edges, must be judged as a plain line-by-line reading would judge them.
static int referenceGetLine(const std::string &content, const std::string &text, size_t size,
                            std::string *out) {
    bool found = false;
    std::string best;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        std::string line = content.substr(pos, nl == std::string::npos ? nl : nl - pos);
        pos = nl == std::string::npos ? content.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.compare(0, text.size(), text) != 0 || line.size() < text.size()) {
            continue;
        }
        bool exact = line.size() == text.size();
        if (found && !exact) {
            continue;
        }
        found = true;
        best = line;
        if (exact) {
            break;
        }
    }
    *out = best;
    if (!found) {
        return 0;
    }
    return best.size() >= size ? -1 : (int)best.size();
}

TEST(GetLine, BlockEdgesAndLongLines) {
    ApplianceRoot root;
    const char *queue = "/tmp/kv/queue";
    std::mt19937 rng(7);
    const std::vector<std::string> texts = {"F /volume1/photo/album", "F /volume1/photo/album7",
                                            "W x", "F", "u a/b/c"};
    for (int round = 0; round < 40; ++round) {
        std::string content;
        while (content.size() < 200 * 1024) {
            int kind = (int)(rng() % 10);
            std::string line = texts[rng() % texts.size()];
            if (kind < 5) {
                line += std::to_string(rng() % 50);
            } else if (kind == 5) {
                line += std::string(1 + rng() % 70000, 'x');  // longer than a block
            } else if (kind == 6) {
                line += "\r";
            } else if (kind == 7) {
                line = "";
            }
            content += line + "\n";
        }
        if (round % 2) {
            content += texts[rng() % texts.size()] + "7";  // no line end at the end
        }
        root.writeFile(queue, content);
        for (const auto &text : texts) {
            for (const std::string &t : {text, text + "7", text + "12"}) {
                char buf[4097];
                std::string want;
                int expect = referenceGetLine(content, t, sizeof(buf), &want);
                int got = VLIBCFileGetLine(queue, t.c_str(), buf, sizeof(buf), 1028);
                if (expect < 0) {
                    EXPECT_LT(got, 0) << t;
                } else {
                    ASSERT_EQ(got, expect) << "round " << round << " text " << t;
                    EXPECT_EQ(std::string(buf), want) << t;
                }
            }
        }
    }
}

TEST(PlainFiles, TouchExistCheckDir) {
    ApplianceRoot root;
    root.makeDir("/tmp/kv");
    mode_t old = umask(022);
    EXPECT_EQ(VLIBCFileTouch("/tmp/kv/new"), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat("/tmp/kv/new", &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    root.writeFile("/tmp/kv/full", "content");
    EXPECT_EQ(VLIBCFileTouch("/tmp/kv/full"), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/kv/full"), "content");
    EXPECT_LT(VLIBCFileTouch("/tmp/kv"), 0);
    EXPECT_LT(VLIBCFileTouch("/tmp/kv/missing/x"), 0);
    EXPECT_LT(VLIBCFileTouch(nullptr), 0);
    // Never created through a dangling link.
    ASSERT_EQ(symlink("/tmp/kv/target", "/tmp/kv/dangling"), 0);
    EXPECT_LT(VLIBCFileTouch("/tmp/kv/dangling"), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/tmp/kv/target"));

    EXPECT_EQ(VLIBCFileExist("/tmp/kv/full"), 1);
    EXPECT_EQ(VLIBCFileExist("/tmp/kv"), 0);
    EXPECT_EQ(VLIBCFileExist("/tmp/kv/none"), 0);
    EXPECT_EQ(VLIBCFileExist(nullptr), 0);
    EXPECT_EQ(VLIBCFileExist(""), 0);
    EXPECT_EQ(VLIBCFileCheckDir("/tmp/kv"), 1);
    EXPECT_EQ(VLIBCFileCheckDir("/tmp/kv/full"), 0);
    EXPECT_EQ(VLIBCFileCheckDir("/tmp/kv/none"), 0);
    EXPECT_EQ(VLIBCFileCheckDir(nullptr), 0);
}

// ---- programs ----------------------------------------------------------------------------------

static void onAlarm(int) {}

TEST(Exec, StatusesReadAsSigned8Bit) {
    ApplianceRoot root;
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 0", nullptr, nullptr), 0);
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 3", nullptr, nullptr), 3);
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 127", nullptr, nullptr), 127);

    VLIBCErrSetEx(0, "none", 0, nullptr);
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 255", nullptr, nullptr), -1);
    EXPECT_EQ(VLIBCErrGet(), 0);  // a program's own -1 is not a platform failure
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 200", nullptr, nullptr), 200 - 256);

    EXPECT_LT(VLIBCExec("/tmp/no-such-program", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXEC);
    EXPECT_EQ(errno, ENOENT);
    root.writeFile("/tmp/not-executable", "#!/bin/sh\nexit 0\n", 0644);
    EXPECT_LT(VLIBCExec("/tmp/not-executable", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXEC);

    VLIBCErrSetEx(0, "none", 0, nullptr);
    EXPECT_LT(VLIBCExec("/bin/sh", "-c", "kill -TERM $$", nullptr, nullptr), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXEC);

    EXPECT_LT(VLIBCExec(nullptr, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_LT(VLIBCExec("", nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Exec, ArgumentsPassedWithoutShellAndFirstNullEndsThem) {
    ApplianceRoot root;
    const char *rec = "/tmp/args";
    std::string script = "printf '%s|' \"$0\" \"$@\" > /tmp/args";
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", script.c_str(), "zero", "$HOME;*"), 0);
    EXPECT_EQ(ApplianceRoot::readFile(rec), "zero|$HOME;*|");
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", script.c_str(), nullptr, "ignored"), 0);
    EXPECT_EQ(ApplianceRoot::readFile(rec), "/bin/sh|");

    char *argv[] = {
        (char *)"/bin/sh", (char *)"-c", (char *)"printf '%s|' \"$0\" \"$@\" > /tmp/args; exit 5",
        (char *)"a b",     (char *)"c",  nullptr};
    EXPECT_EQ(VLIBCExecv("/bin/sh", argv, 1), 5);
    EXPECT_EQ(ApplianceRoot::readFile(rec), "a b|c|");
    int pid = VLIBCExecv("/bin/sh", argv, 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(VLIBCProcWait(pid), 5);
    char *missing[] = {(char *)"/tmp/none", nullptr};
    EXPECT_LT(VLIBCExecv("/tmp/none", missing, 0), 0);
    EXPECT_LT(VLIBCExecv("/tmp/none", missing, 1), 0);
    EXPECT_LT(VLIBCExecv("/bin/sh", nullptr, 1), 0);
    char *empty[] = {nullptr};
    EXPECT_LT(VLIBCExecv("/bin/sh", empty, 1), 0);
}

TEST(Exec, WaitSurvivesInterruptsAndIgnoredChildSignal) {
    ApplianceRoot root;
    struct sigaction sa, oldAlarm, oldChild;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onAlarm;  // no SA_RESTART: waits see EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &oldAlarm), 0);
    struct itimerval every = {{0, 5000}, {0, 5000}}, off = {{0, 0}, {0, 0}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "sleep 0.3; exit 3", nullptr, nullptr), 3);
    EXPECT_EQ(VLIBCExec("/tmp/no-such-program", nullptr, nullptr, nullptr, nullptr), -1);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &oldAlarm, nullptr);

    // A caller that ignores SIGCHLD still gets the status.
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGCHLD, &sa, &oldChild), 0);
    EXPECT_EQ(VLIBCExec("/bin/sh", "-c", "exit 4", nullptr, nullptr), 4);
    struct sigaction now;
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);  // and the caller's choice is restored
    sigaction(SIGCHLD, &oldChild, nullptr);
}

TEST(ForkEx, NewProcessIsDetachedAsTheFlagsSay) {
    ApplianceRoot root;
    root.makeDir("/tmp/fork");
    int extra = open("/tmp/fork", O_RDONLY);  // not close-on-exec
    ASSERT_GE(extra, 3);
    signal(SIGUSR1, SIG_IGN);
    pid_t pid = VLIBCProcForkEx(0x67);
    if (pid == 0) {
        char cwd[256] = "";
        char fd0[64] = "", fd2[64] = "";
        struct sigaction sa;
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            _exit(3);
        }
        ssize_t n0 = readlink("/proc/self/fd/0", fd0, sizeof(fd0) - 1);
        ssize_t n2 = readlink("/proc/self/fd/2", fd2, sizeof(fd2) - 1);
        sigaction(SIGUSR1, nullptr, &sa);
        char out[512];
        int len = snprintf(out, sizeof(out), "sid=%d cwd=%s fd0=%.*s fd2=%.*s extra=%d usr1=%d\n",
                           getsid(0) == getpid(), cwd, (int)(n0 > 0 ? n0 : 0), fd0,
                           (int)(n2 > 0 ? n2 : 0), fd2, fcntl(extra, F_GETFD) >= 0,
                           sa.sa_handler == SIG_DFL);
        int fd = open("/tmp/fork/report", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, out, (size_t)len) != len) {
            _exit(4);
        }
        close(fd);
        _exit(0);
    }
    signal(SIGUSR1, SIG_DFL);
    close(extra);
    ASSERT_GT(pid, 0);
    int status = waitStatus(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/fork/report"),
              "sid=1 cwd=/ fd0=/dev/null fd2=/dev/null extra=0 usr1=1\n");

    EXPECT_LT(VLIBCProcForkEx(0x80), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
}

// With the standard descriptors closed, the report pipe lands on them: the platform fork must
// still return as soon as the new process is ready, not when it ends.
TEST(ForkEx, ReturnsAtOnceWhenTheStandardDescriptorsAreClosed) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    pid_t helper = fork();
    if (helper == 0) {
        close(result[0]);
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        pid_t pid = VLIBCProcForkEx(0);
        if (pid == 0) {
            sleep(5);
            _exit(0);
        }
        _exit(pid > 0 && write(result[1], &pid, sizeof(pid)) == (ssize_t)sizeof(pid) ? 0 : 1);
    }
    close(result[1]);
    ASSERT_GT(helper, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = waitStatus(helper);
    clock_gettime(CLOCK_MONOTONIC, &end);
    pid_t child = 0;
    EXPECT_EQ(read(result[0], &child, sizeof(child)), (ssize_t)sizeof(child));
    close(result[0]);
    if (child > 0) {
        kill(child, SIGKILL);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(end.tv_sec - start.tv_sec, 3) << "waited for the new process to end";
}

// ---- pid files ---------------------------------------------------------------------------------

// A child that has taken the pid file's lock and waits to be signalled; its pid, or -1.
pid_t lockingChild(const char *pidFile) {
    int ready[2];
    char ok = 0;

    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        ok = VLIBCProcPidFileLock(pidFile) >= 0 ? 1 : 2;
        if (write(ready[1], &ok, 1) != 1) {
            _exit(3);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    if (read(ready[0], &ok, 1) != 1 || ok != 1) {
        kill(pid, SIGKILL);
        waitStatus(pid);
        pid = -1;
    }
    close(ready[0]);
    return pid;
}

TEST(PidFile, CreateAndAlive) {
    ApplianceRoot root;
    const char *pidFile = "/run/test.pid";
    ASSERT_EQ(VLIBCProcPidFileCreate(pidFile), 0);
    EXPECT_EQ(ApplianceRoot::readFile(pidFile), std::to_string(getpid()) + "\n");
    EXPECT_EQ(VLIBCProcAliveByPidFile(pidFile), 1);
    EXPECT_LT(VLIBCProcPidFileCreate("/run/missing/dir/x.pid"), 0);
    EXPECT_LT(VLIBCProcPidFileCreate(nullptr), 0);

    pid_t dead = fork();
    if (dead == 0) {
        _exit(0);
    }
    waitStatus(dead);
    root.writeFile(pidFile, std::to_string(dead) + "\n");
    EXPECT_EQ(VLIBCProcAliveByPidFile(pidFile), 0);

    // Garbage is no process; 0 and negative numbers would reach process groups, and numbers
    // past 2^31 or 2^32 (4294967297 must not wrap to init's 1) lie beyond any pid.
    std::string pidMax = ApplianceRoot::readFile("/proc/sys/kernel/pid_max");
    for (std::string text :
         {"", "\n", "abc\n", "123abc\n", "0\n", "-1\n", "-123\n", "1 2\n", "+1\n", "2147483647\n",
          "2147483648\n", "4294967296\n", "4294967297\n", "9999999999\n", "99999999999999\n",
          "18446744073709551617\n", "4194304\n"}) {
        root.writeFile(pidFile, text);
        EXPECT_EQ(VLIBCProcAliveByPidFile(pidFile), 0) << text;
        EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_PARSE) << text;
        EXPECT_EQ(VLIBCProcSignalByPidFile(pidFile, SIGTERM), -1) << text;
    }
    // The kernel's own bound: pid_max itself is no pid, the number below it is one.
    ASSERT_FALSE(pidMax.empty());
    int limit = atoi(pidMax.c_str());
    root.writeFile(pidFile, std::to_string(limit) + "\n");
    EXPECT_EQ(VLIBCProcAliveByPidFile(pidFile), 0);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_PARSE);
    root.writeFile(pidFile, std::to_string(limit - 1) + "\n");
    if (VLIBCProcAliveByPidFile(pidFile) == 0) {
        EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    }

    EXPECT_EQ(VLIBCProcAliveByPidFile("/run/none.pid"), 0);
    EXPECT_EQ(VLIBCProcAliveByPidFile(nullptr), 0);
    EXPECT_EQ(VLIBCProcAliveByPidFile("/run"), 0);

    // A process of another user counts as alive (EPERM).
    root.writeFile(pidFile, "1\n");
    pid_t other = fork();
    if (other == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        _exit(VLIBCProcAliveByPidFile(pidFile) == 1 ? 0 : 1);
    }
    int status = waitStatus(other);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PidFile, OnlyTheProcessThatHoldsTheLockIsSignalled) {
    ApplianceRoot root;
    const char *pidFile = "/run/daemon.pid";
    pid_t sleeper = fork();
    if (sleeper == 0) {
        for (;;) {
            pause();
        }
    }

    pid_t owner = lockingChild(pidFile);
    ASSERT_GT(owner, 0);
    EXPECT_EQ(ApplianceRoot::readFile(pidFile), std::to_string(owner) + "\n");
    EXPECT_EQ(VLIBCProcPidFileOwner(pidFile), owner);
    // A second owner is refused while the first lives.
    errno = 0;
    EXPECT_EQ(VLIBCProcPidFileLock(pidFile), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXISTS);

    // The lock holder with another process's number written into the file: nobody owns it.
    root.writeFile(pidFile, std::to_string(sleeper) + "\n");
    EXPECT_EQ(VLIBCProcPidFileOwner(pidFile), 0);
    EXPECT_EQ(VLIBCProcSignalByPidFile(pidFile, SIGTERM), -1);
    root.writeFile(pidFile, std::to_string(owner) + "\n");
    EXPECT_EQ(VLIBCProcSignalByPidFile(pidFile, 1000), -1);
    EXPECT_EQ(VLIBCProcSignalByPidFile(pidFile, SIGTERM), 0);
    int status = waitStatus(owner);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    // The owner is gone and its file stays behind (a crash): whoever has that number now, or
    // any live process named in an unlocked file, gets no signal.
    EXPECT_EQ(VLIBCProcPidFileOwner(pidFile), 0);
    root.writeFile(pidFile, std::to_string(sleeper) + "\n");
    EXPECT_EQ(VLIBCProcPidFileOwner(pidFile), 0);
    EXPECT_EQ(VLIBCProcSignalByPidFile(pidFile, SIGTERM), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(waitpid(sleeper, &status, WNOHANG), 0) << "the foreign process was signalled";

    // A new owner takes the stale file over.
    owner = lockingChild(pidFile);
    ASSERT_GT(owner, 0);
    EXPECT_EQ(VLIBCProcPidFileOwner(pidFile), owner);
    kill(owner, SIGKILL);
    waitStatus(owner);
    kill(sleeper, SIGKILL);
    waitStatus(sleeper);

    // No pid file, a link, a FIFO (which must not hang the caller) or a folder.
    EXPECT_EQ(VLIBCProcPidFileOwner("/run/none.pid"), 0);
    EXPECT_EQ(VLIBCProcSignalByPidFile("/run/none.pid", SIGTERM), -1);
    ASSERT_EQ(symlink("/run/target.pid", "/run/link.pid"), 0);
    EXPECT_EQ(VLIBCProcPidFileLock("/run/link.pid"), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(ApplianceRoot::exists("/run/target.pid"));
    ASSERT_EQ(mkfifo("/run/fifo.pid", 0644), 0);
    EXPECT_EQ(VLIBCProcPidFileLock("/run/fifo.pid"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(VLIBCProcPidFileOwner("/run/fifo.pid"), -1);
    EXPECT_EQ(VLIBCProcSignalByPidFile("/run/fifo.pid", SIGTERM), -1);
    EXPECT_EQ(VLIBCProcPidFileLock("/run"), -1);
    EXPECT_EQ(VLIBCProcPidFileLock(nullptr), -1);
}

TEST(Banner, OneLineNamingTheProgram) {
    ApplianceRoot root;
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open("/tmp/banner", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    VLIBCPrintBanner("kavophotoio");
    VLIBCPrintBanner(nullptr);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text = ApplianceRoot::readFile("/tmp/banner");
    EXPECT_NE(text.find("kavophotoio"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_EQ(text.back(), '\n');
}

// ---- standard output at exit
// ---------------------------------------------------------------------

TEST(StdoutClose, ReportsWhatNeverArrived) {
    struct Case {
        const char *name;
        const char *target;  // null: standard output closed
        size_t bytes;        // written before the check
        int result;
        int err;  // 0: any reason
    };
    const Case cases[] = {
        {"null device", "/dev/null", 100000, 0, 0},
        {"full disk, buffered", "/dev/full", 10, -1, ENOSPC},
        {"full disk, flushed earlier", "/dev/full", 100000, -1, 0},
        {"full disk, nothing written", "/dev/full", 0, 0, 0},
        {"closed, nothing written", nullptr, 0, 0, 0},
        {"closed, written", nullptr, 10, -1, EBADF},
    };
    for (const Case &c : cases) {
        fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.target == nullptr) {
                close(STDOUT_FILENO);
            } else {
                int fd = open(c.target, O_WRONLY);
                if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
                    _exit(100);
                }
            }
            std::string text(c.bytes, 'x');
            fwrite(text.data(), 1, text.size(), stdout);
            int r = KAVOStdoutClose();
            _exit(r == c.result && (r == 0 || c.err == 0 || errno == c.err) ? 0 : 1);
        }
        int status = waitStatus(pid);
        ASSERT_TRUE(WIFEXITED(status)) << c.name;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.name;
    }
}
