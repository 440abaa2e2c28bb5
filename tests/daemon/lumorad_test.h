// Shared pieces of the lumorad tests: the appliance paths, a fixture whose teardown ends every
// process the test started (the daemon detaches, so it is found by its mount namespace), and
// small helpers to start and watch the daemon.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace lumorad_test {

namespace lt = lumora::test;

const std::string kPhotoRoot = "/volume1/photo";
const std::string kEaDir = "/var/services/photo/@eaDir";
const std::string kQueue = "/var/services/photo/@eaDir/kavophoto_face.queue";
const std::string kWorkCopy = "/var/services/photo/@eaDir/kavophoto_face.queue.tmp";
const std::string kPidFile = "/var/run/lumorad.pid";
const std::string kFace = "/usr/kavo/bin/facerecognition";
const std::string kWatermark = "/var/packages/Lumora/target/bin/watermark";

inline std::string lumorad() {
    return lt::program("lumorad");
}

// Polls cond every 10 ms until it holds or the time is up; true when it held.
template <class Cond>
bool waitUntil(Cond cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline std::string readLink(const std::string &path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        return "";
    }
    buf[n] = '\0';
    return buf;
}

// State letter of /proc/PID/stat, '\0' when the process is not there.
inline char processState(pid_t pid) {
    std::string stat = lt::ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) {
        return '\0';
    }
    return stat[paren + 2];
}

// The nice value of a process (field 19 of /proc/PID/stat), or 99 when unreadable.
inline int processNice(pid_t pid) {
    std::string stat = lt::ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return 99;
    }
    const char *p = stat.c_str() + paren + 2;
    for (int field = 3; field < 19 && p; field++) {
        p = strchr(p, ' ');
        if (p) {
            p++;
        }
    }
    return p ? atoi(p) : 99;
}

inline bool processGone(pid_t pid) {
    while (waitpid(pid, nullptr, WNOHANG) > 0) {
    }
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    char state = processState(pid);
    return state == '\0' || state == 'Z' || state == 'X';
}

// Every process of this test binary's mount namespace but the test itself: the daemons, the
// workers they started and the helpers the test started.
inline std::vector<pid_t> processesOfThisTest() {
    std::vector<pid_t> out;
    std::string ns = readLink("/proc/self/ns/mnt");
    pid_t self = getpid();
    DIR *dir = opendir("/proc");
    if (!dir || ns.empty()) {
        if (dir) {
            closedir(dir);
        }
        return out;
    }
    while (struct dirent *ent = readdir(dir)) {
        char *end = nullptr;
        long pid = strtol(ent->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) {
            continue;
        }
        if (readLink(std::string("/proc/") + ent->d_name + "/ns/mnt") != ns) {
            continue;
        }
        char state = processState((pid_t)pid);
        if (state == '\0' || state == 'Z' || state == 'X') {
            continue;
        }
        out.push_back((pid_t)pid);
    }
    closedir(dir);
    return out;
}

// The command name of a process (from /proc/PID/stat), "" when it is not there.
inline std::string processName(pid_t pid) {
    std::string stat = lt::ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    return open == std::string::npos || close == std::string::npos || close < open
               ? ""
               : stat.substr(open + 1, close - open - 1);
}

// The arguments of a process (from /proc/PID/cmdline).
inline std::vector<std::string> processArgs(pid_t pid) {
    std::string text = lt::ApplianceRoot::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        end = end == std::string::npos ? text.size() : end;
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// The lumorad processes of this test: by their command name, or by the program they were
// started as (the first argument, or the second under an emulator that runs the program).
// Not by /proc/PID/exe, which names the emulator when there is one.
inline std::vector<pid_t> lumoradProcesses() {
    std::vector<pid_t> out;
    for (pid_t pid : processesOfThisTest()) {
        std::vector<std::string> args = processArgs(pid);
        if (processName(pid) == "lumorad" || (!args.empty() && args[0] == lumorad()) ||
            (args.size() > 1 && args[1] == lumorad())) {
            out.push_back(pid);
        }
    }
    return out;
}

// Starts a helper process (argv[0] is the program path) and returns its pid.
inline pid_t spawn(const std::vector<std::string> &argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> args;
        for (const auto &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        int fd = open("/dev/null", O_RDWR);
        if (fd >= 0) {
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Starts a process that looks like the named worker to anyone who asks its name (a sleeper
// run under that name) and returns its pid.
inline pid_t spawnWorker(const std::string &name) {
    const std::string path = "/tmp/workers/" + name;
    mkdir("/tmp/workers", 0755);
    unlink(path.c_str());
    if (symlink("/bin/sleep", path.c_str()) != 0) {
        return -1;
    }
    return spawn({path, "120"});
}

// A pid that certainly belongs to no process: a child that has ended and been reaped.
inline pid_t deadPid() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

inline void stopProcess(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Fixture: a private appliance root with the photo share and recording worker stand-ins.
// Teardown ends whatever the test left running before the root goes away.
class LumoradTest : public ::testing::Test {
   protected:
    void SetUp() override {
        root.addShare("photo", kPhotoRoot);
        root.standIn(kFace);
        root.standIn(kWatermark);
    }

    void TearDown() override {
        for (int round = 0; round < 50; round++) {
            std::vector<pid_t> left = processesOfThisTest();
            if (left.empty()) {
                break;
            }
            for (pid_t pid : left) {
                kill(pid, SIGKILL);
            }
            waitUntil(
                [&] {
                    for (pid_t pid : left) {
                        if (!processGone(pid)) {
                            return false;
                        }
                    }
                    return true;
                },
                5);
        }
    }

    // Runs the daemon (it detaches at once) and returns the pid its pid file names, 0 when no
    // live daemon shows up.
    pid_t startDaemon(const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv = {lumorad()};
        argv.insert(argv.end(), args.begin(), args.end());
        return startDaemonBy(argv);
    }

    // The same with a command that ends in running the daemon (a shell that sets a limit).
    pid_t startDaemonBy(const std::vector<std::string> &argv) {
        lt::RunResult r = root.run(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        pid_t pid = 0;
        waitUntil(
            [&] {
                pid = daemonPid();
                return pid > 0 && !processGone(pid);
            },
            30);
        return pid;
    }

    // The pid in the daemon's pid file, 0 when there is none.
    static pid_t daemonPid() {
        std::string text = lt::ApplianceRoot::readFile(kPidFile);
        return text.empty() ? 0 : (pid_t)atoi(text.c_str());
    }

    // Stops the daemon with "-k" and waits until it is gone.
    void stopDaemon(pid_t pid) {
        lt::RunResult r = root.run({lumorad(), "-k"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(waitUntil([&] { return processGone(pid); }, 30)) << "daemon still running";
    }

    // "-k" when no daemon owns the pid file: status 0, and the one message callers look for.
    // The log is expected to hold nothing before.
    void expectStopReachesNobody() const {
        lt::RunResult r = root.run({lumorad(), "-k"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lumoradLog(), std::vector<std::string>{"VLIBCProcSignalByPidFile() failed."});
    }

    // True once neither queue file is left: every pass that had work has ended.
    static bool queueDrained() {
        return !lt::ApplianceRoot::exists(kQueue) && !lt::ApplianceRoot::exists(kWorkCopy);
    }

    // The arguments after the program path of every recorded call.
    std::vector<std::vector<std::string>> argsOf(const std::string &path) const {
        std::vector<std::vector<std::string>> out;
        for (const auto &call : root.calls(path)) {
            EXPECT_FALSE(call.argv.empty());
            if (!call.argv.empty()) {
                EXPECT_EQ(call.argv[0], path);
                out.emplace_back(call.argv.begin() + 1, call.argv.end());
            }
        }
        return out;
    }

    // The log lines of lumorad, without their "lumorad:LINE " prefix.
    std::vector<std::string> lumoradLog() const {
        std::vector<std::string> out;
        for (const auto &line : root.logLinesWithIdent()) {
            if (line.compare(0, 9, "lumorad: ") != 0) {
                continue;
            }
            std::string msg = line.substr(9);
            EXPECT_EQ(msg.compare(0, 8, "lumorad:"), 0) << msg;
            size_t space = msg.find(' ');
            out.push_back(space == std::string::npos ? "" : msg.substr(space + 1));
        }
        return out;
    }

    lt::ApplianceRoot root;
};

}  // namespace lumorad_test
