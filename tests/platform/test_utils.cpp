// Utils family: running a command by name.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavoutils.h"

using lumora::test::ApplianceRoot;

namespace {

// Sets PATH for one test and puts it back afterwards.
class PathScope {
   public:
    explicit PathScope(const char *path) {
        const char *old = getenv("PATH");
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        setenv("PATH", path, 1);
    }
    ~PathScope() {
        if (had_) {
            setenv("PATH", old_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }

   private:
    bool had_ = false;
    std::string old_;
};

// Runs fn with standard output and error going to a file; returns what was written.
template <typename Fn>
std::string captureOutput(Fn fn) {
    fflush(stdout);
    fflush(stderr);
    int out = dup(STDOUT_FILENO), err = dup(STDERR_FILENO);
    int fd = open("/tmp/captured", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    fn();
    fflush(stdout);
    fflush(stderr);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out);
    close(err);
    return ApplianceRoot::readFile("/tmp/captured");
}

// The argument vector a shell saw, from its own /proc entry.
const char *const kArgvScript = "tr '\\000' '|' < /proc/$$/cmdline > /tmp/argv; exit 4";

}  // namespace

TEST(ProcessRunner, BareNameIsLookedUpInPath) {
    ApplianceRoot root;
    // The first "tool" found is not executable and is skipped.
    root.writeFile("/tmp/bin1/tool", "#!/bin/sh\nexit 9\n", 0644);
    root.writeFile("/tmp/bin2/tool", "#!/bin/sh\necho \"$0 $*\" > /tmp/ran\nexit 6\n", 0755);
    PathScope path("/tmp/none:/tmp/bin1:/tmp/bin2:/usr/bin:/bin");

    EXPECT_EQ(KAVOUtils::ProcessRunner("tool", "tool", "a", "b c").run(true, false), 6);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/ran"), "/tmp/bin2/tool a b c\n");

    // Argument zero is passed as given, and up to ten strings in all.
    EXPECT_EQ(KAVOUtils::ProcessRunner("sh", "custom zero", "-c", kArgvScript, "1", "2", "3", "4",
                                       "5", "6")
                  .run(true, false),
              4);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/argv"),
              std::string("custom zero|-c|") + kArgvScript + "|1|2|3|4|5|6|");
    // The first null ends the list.
    EXPECT_EQ(
        KAVOUtils::ProcessRunner("sh", "sh", "-c", kArgvScript, nullptr, "lost").run(true, false),
        4);
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/argv"), std::string("sh|-c|") + kArgvScript + "|");

    EXPECT_EQ(KAVOUtils::ProcessRunner("/bin/sh", "sh", "-c", "exit 255").run(true, false), -1);
    EXPECT_EQ(KAVOUtils::ProcessRunner("/bin/sh", "sh", "-c", "exit 3").run(true, false), 3);
}

TEST(ProcessRunner, MissingProgramAndBadArguments) {
    ApplianceRoot root;
    PathScope path("/tmp/none:/usr/bin:/bin");

    VLIBCErrSetEx(0, "none", 0, nullptr);
    EXPECT_EQ(KAVOUtils::ProcessRunner("no-such-tool-here", "x").run(true, false), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_EXEC);
    EXPECT_EQ(KAVOUtils::ProcessRunner("no-such-tool-here", "x").run(false, false), -1);
    EXPECT_EQ(KAVOUtils::ProcessRunner("/tmp/no/such/tool", "x").run(true, false), -1);
    EXPECT_EQ(KAVOUtils::ProcessRunner("/tmp/no/such/tool", "x").run(false, true), -1);
    EXPECT_EQ(KAVOUtils::ProcessRunner(nullptr, "x").run(true, false), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOUtils::ProcessRunner("", "x").run(true, false), -1);
    EXPECT_EQ(KAVOUtils::ProcessRunner("/bin/sh", nullptr).run(true, false), -1);
}

TEST(ProcessRunner, QuietSendsOutputAway) {
    ApplianceRoot root;
    const char *script = "echo to-out; echo to-err >&2";
    std::string loud = captureOutput(
        [&] { EXPECT_EQ(KAVOUtils::ProcessRunner("sh", "sh", "-c", script).run(true, false), 0); });
    EXPECT_EQ(loud, "to-out\nto-err\n");
    std::string quiet = captureOutput(
        [&] { EXPECT_EQ(KAVOUtils::ProcessRunner("sh", "sh", "-c", script).run(true, true), 0); });
    EXPECT_EQ(quiet, "");
}

TEST(ProcessRunner, WithoutWaitingStartsAndLeavesNoZombie) {
    ApplianceRoot root;
    // The program waits until the test lets it finish, then writes its mark.
    ASSERT_EQ(mkfifo("/tmp/gate", 0600), 0);
    EXPECT_EQ(KAVOUtils::ProcessRunner("/bin/sh", "sh", "-c",
                                       "read x < /tmp/gate; echo done > /tmp/mark.new; "
                                       "mv /tmp/mark.new /tmp/mark")
                  .run(false, false),
              0);
    // It runs: opening the gate for writing blocks until the program opens it for reading.
    int gate = open("/tmp/gate", O_WRONLY);
    ASSERT_GE(gate, 0);
    ASSERT_EQ(write(gate, "go\n", 3), 3);
    close(gate);
    for (int i = 0; i < 3000 && !ApplianceRoot::exists("/tmp/mark"); i++) {
        usleep(10000);
    }
    EXPECT_EQ(ApplianceRoot::readFile("/tmp/mark"), "done\n");
    // The caller has no child left to reap: the program was not its child.
    int status;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
