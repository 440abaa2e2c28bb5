// The private appliance root: mounts, accounts, shares, stand-ins, log capture, the database,
// and running programs as real processes.
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace lumora::test {

namespace {

// Scratch space for the overlay layers: a tmpfs on /run, which the fresh /run then covers, so
// that the layers lie outside every overlaid tree wherever the build is.
const char *const kScratch = "/run";
// Records of stand-in calls and the recording helper, reachable by every account.
const char *const kTestRun = "/run/.lumora-test";
const char *const kPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

[[noreturn]] void die(const std::string &what) {
    fprintf(stderr, "harness: %s: %s\n", what.c_str(), strerror(errno));
    abort();
}

void mustMount(const char *src, const char *target, const char *type, unsigned long flags,
               const char *data) {
    if (mount(src, target, type, flags, data) != 0) {
        die(std::string("mount ") + (type ? type : "bind") + " on " + target);
    }
}

void mkdirs(const std::string &path, mode_t mode) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            continue;
        }
        cur += "/" + part;
        if (mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) {
            die("mkdir " + cur);
        }
    }
}

void writeAll(const std::string &path, const std::string &content, int flags, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
    if (fd < 0) {
        die("open " + path);
    }
    size_t off = 0;
    while (off < content.size()) {
        ssize_t n = write(fd, content.data() + off, content.size() - off);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("write " + path);
        }
        off += (size_t)n;
    }
    close(fd);
}

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        out += (char)std::stoi(h.substr(i, 2), nullptr, 16);
    }
    return out;
}

std::string shellQuote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string recordFileFor(const std::string &path) {
    std::string name;
    for (char c : path) {
        name += (c == '/') ? '_' : c;
    }
    return std::string(kTestRun) + "/calls/" + name;
}

}  // namespace

// The built programs, bound into every root at a path that every account can reach (the
// build tree itself may lie in a folder only root can enter).
const char *const kBinInRoot = "/run/.lumora-test/bin";

std::string program(const std::string &name) {
    return std::string(kBinInRoot) + "/" + name;
}

std::string sourceDir() {
    return LUMORA_TEST_SOURCE_DIR;
}

struct ApplianceRoot::Impl {
    std::vector<std::string> mounts;  // in mount order; unmounted in reverse
    int logFd = -1;
    std::thread logThread;
    std::atomic<bool> stop{false};
    mutable std::mutex logMutex;
    std::vector<std::string> log;  // raw datagrams
    int pgSockFd = -1;             // the run's PostgreSQL socket folder, -1 when no server runs

    void track(const std::string &target) {
        mounts.push_back(target);
    }

    void drainLog() {
        char buf[65536];
        while (!stop) {
            struct pollfd p = {logFd, POLLIN, 0};
            int r = poll(&p, 1, 50);
            if (r <= 0) {
                continue;
            }
            ssize_t n;
            while ((n = recv(logFd, buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
                std::lock_guard<std::mutex> lock(logMutex);
                log.emplace_back(buf, (size_t)n);
            }
        }
    }

    // Waits until every datagram already sent is taken in.
    void syncLog() const {
        for (int i = 0; i < 200; ++i) {
            int pending = 0;
            if (ioctl(logFd, FIONREAD, &pending) == 0 && pending == 0) {
                break;
            }
            usleep(5000);
        }
        usleep(20000);
    }
};

// A folder opened before the private root is made, bound back at its own path when the root's
// mounts hide or overlay it.
static int openFolder(const char *path) {
    int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        die(std::string("open ") + path);
    }
    return fd;
}

static std::string fdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

ApplianceRoot::ApplianceRoot() : impl_(new Impl) {
    // What the root needs from the host, taken while it is still in view: the source and build
    // trees, the built programs, the stand-ins' recorder and the run's PostgreSQL socket folder.
    const char *const trees[] = {LUMORA_SOURCE_TOP, LUMORA_BUILD_TOP};
    int treeFd[2] = {openFolder(trees[0]), openFolder(trees[1])};
    int binFd = openFolder(LUMORA_BIN_DIR);
    std::string record = readFile(LUMORA_RECORD_BIN);
    if (record.empty()) {
        die(std::string("reading ") + LUMORA_RECORD_BIN);
    }
    impl_->pgSockFd = open(LUMORA_PG_DIR "/sock", O_PATH | O_DIRECTORY | O_CLOEXEC);

    // Scratch tmpfs for the overlay layers of /etc, /dev, /var and /usr.
    mustMount("lumora-scratch", kScratch, "tmpfs", 0, "mode=0700");
    impl_->track(kScratch);
    const std::string s = std::string(kScratch) + "/layers";
    for (const char *d : {"etc", "dev", "var", "usr"}) {
        mkdirs(s + "/" + d + "-up", 0755);
        mkdirs(s + "/" + d + "-work", 0755);
        std::string opts = std::string("lowerdir=/") + d + ",upperdir=" + s + "/" + d +
                           "-up,workdir=" + s + "/" + d + "-work";
        std::string target = std::string("/") + d;
        mustMount("overlay", target.c_str(), "overlay", 0, opts.c_str());
        impl_->track(target);
    }
    // Fresh appliance folders.
    for (const char *d :
         {"/run", "/tmp", "/var/packages", "/var/services", "/usr/kavo", "/volume1"}) {
        mkdirs(d, 0755);
        const char *mode = (strcmp(d, "/tmp") == 0) ? "mode=1777" : "mode=0755";
        mustMount("lumora-root", d, "tmpfs", 0, mode);
        impl_->track(d);
    }
    // The source and build trees stay where they are, whichever of those folders holds them.
    for (int i = 0; i < 2; ++i) {
        struct stat now, was;
        if (fstat(treeFd[i], &was) != 0) {
            die(std::string("stat ") + trees[i]);
        }
        if (stat(trees[i], &now) != 0 || now.st_dev != was.st_dev || now.st_ino != was.st_ino) {
            mkdirs(trees[i], 0755);
            mustMount(fdPath(treeFd[i]).c_str(), trees[i], nullptr, MS_BIND | MS_REC, nullptr);
            impl_->track(trees[i]);
        }
        close(treeFd[i]);
    }
    mkdirs("/run/lock", 0755);
    mkdirs("/usr/kavo/bin", 0755);
    mkdirs("/usr/kavo/etc", 0755);
    mkdirs("/var/packages/Lumora/etc", 0755);
    mkdirs("/var/packages/Lumora/target/bin", 0755);

    // Stand-in records and the recorder, usable by every account.
    mkdirs(std::string(kTestRun) + "/calls", 0777);
    chmod(kTestRun, 0777);
    chmod((std::string(kTestRun) + "/calls").c_str(), 0777);
    writeAll(std::string(kTestRun) + "/record", record, O_TRUNC, 0755);

    mkdirs(kBinInRoot, 0755);
    mustMount(fdPath(binFd).c_str(), kBinInRoot, nullptr, MS_BIND, nullptr);
    impl_->track(kBinInRoot);
    close(binFd);

    // The system log: a datagram socket at /dev/log.
    unlink("/dev/log");
    impl_->logFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (impl_->logFd < 0) {
        die("socket");
    }
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(impl_->logFd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        die("bind /dev/log");
    }
    chmod("/dev/log", 0666);
    int rcv = 4 << 20;
    setsockopt(impl_->logFd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    impl_->logThread = std::thread([this] { impl_->drainLog(); });
}

ApplianceRoot::~ApplianceRoot() {
    impl_->stop = true;
    if (impl_->logThread.joinable()) {
        impl_->logThread.join();
    }
    if (impl_->logFd >= 0) {
        close(impl_->logFd);
    }
    if (impl_->pgSockFd >= 0) {
        close(impl_->pgSockFd);
    }
    for (auto it = impl_->mounts.rbegin(); it != impl_->mounts.rend(); ++it) {
        if (umount2(it->c_str(), MNT_DETACH) != 0) {
            fprintf(stderr, "harness: umount %s: %s\n", it->c_str(), strerror(errno));
        }
    }
    delete impl_;
}

// ---- accounts -------------------------------------------------------------------------------

static bool nameTaken(const char *file, const std::string &name) {
    std::string content = ApplianceRoot::readFile(file);
    return content.find("\n" + name + ":") != std::string::npos ||
           content.compare(0, name.size() + 1, name + ":") == 0;
}

static bool idTaken(const char *file, unsigned id) {
    std::istringstream in(ApplianceRoot::readFile(file));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, pw, num;
        if (std::getline(fields, name, ':') && std::getline(fields, pw, ':') &&
            std::getline(fields, num, ':') && num == std::to_string(id)) {
            return true;
        }
    }
    return false;
}

static unsigned freeId(const char *file, unsigned from) {
    while (idTaken(file, from)) {
        ++from;
    }
    return from;
}

gid_t ApplianceRoot::addGroup(const std::string &name, gid_t gid,
                              const std::vector<std::string> &members) {
    if (nameTaken("/etc/group", name)) {
        return gidOf(name);
    }
    if (gid == 0) {
        gid = freeId("/etc/group", 1001);
    }
    std::string list;
    for (const auto &m : members) {
        list += (list.empty() ? "" : ",") + m;
    }
    writeAll("/etc/group", name + ":x:" + std::to_string(gid) + ":" + list + "\n", O_APPEND, 0644);
    return gid;
}

uid_t ApplianceRoot::addUser(const std::string &name, uid_t uid, gid_t gid,
                             const std::string &home) {
    if (uid == 0) {
        uid = freeId("/etc/passwd", 1001);
    }
    if (gid == 0) {
        gid = addGroup(name, freeId("/etc/group", uid));
    }
    std::string dir = home.empty() ? "/volume1/homes/" + name : home;
    writeAll("/etc/passwd",
             name + ":x:" + std::to_string(uid) + ":" + std::to_string(gid) + ":" + name + ":" +
                 dir + ":/bin/sh\n",
             O_APPEND, 0644);
    writeAll("/etc/shadow", name + ":*:19000:0:99999:7:::\n", O_APPEND, 0640);
    if (home.empty()) {
        makeDir(dir, 0755, uid, gid);
    }
    return uid;
}

void ApplianceRoot::addLumoraAccounts() {
    if (!nameTaken("/etc/group", "administrators")) {
        addGroup("administrators", 101);
    }
    if (!nameTaken("/etc/passwd", "Lumora")) {
        gid_t g = addGroup("Lumora", 990);
        addUser("Lumora", 990, g, "/var/packages/Lumora/target");
    }
    if (!nameTaken("/etc/passwd", "admin")) {
        addUser("admin", 1024, 100, "/volume1/homes/admin");
        makeDir("/volume1/homes/admin", 0755, 1024, 100);
        // admin belongs to administrators.
        std::string groups = readFile("/etc/group");
        std::string needle = "administrators:x:101:";
        size_t at = groups.find(needle);
        if (at != std::string::npos) {
            size_t end = groups.find('\n', at);
            bool empty = end == at + needle.size();
            groups.insert(end, empty ? "admin" : ",admin");
            writeAll("/etc/group", groups, O_TRUNC, 0644);
        }
    }
    if (!nameTaken("/etc/passwd", "postgres")) {
        gid_t g = addGroup("postgres", 0);
        addUser("postgres", freeId("/etc/passwd", 120), g, "/var/lib/postgresql");
    }
}

// One id of an account or group, looked up with getpwnam_r or getgrnam_r in the root's own
// files. False when there is no such name.
template <typename Entry, typename Id>
static bool idOf(int (*lookup)(const char *, Entry *, char *, size_t, Entry **),
                 const std::string &name, Id Entry::*field, Id *id) {
    Entry entry, *res = nullptr;
    char buf[4096];
    if (lookup(name.c_str(), &entry, buf, sizeof buf, &res) != 0 || res == nullptr) {
        return false;
    }
    *id = entry.*field;
    return true;
}

uid_t ApplianceRoot::uidOf(const std::string &user) const {
    uid_t uid = (uid_t)-1;
    if (!idOf(getpwnam_r, user, &passwd::pw_uid, &uid)) {
        ADD_FAILURE() << "no account " << user;
    }
    return uid;
}

gid_t ApplianceRoot::gidOf(const std::string &name) const {
    gid_t gid = (gid_t)-1;
    if (!idOf(getgrnam_r, name, &group::gr_gid, &gid)) {
        ADD_FAILURE() << "no group " << name;
    }
    return gid;
}

// ---- shares ---------------------------------------------------------------------------------

void ApplianceRoot::addShare(const std::string &name, const std::string &path,
                             const std::map<std::string, std::string> &options) {
    makeDir(path, 0777);
    chmod(path.c_str(), 0777);
    std::string section = "[" + name + "]\n\tpath=\"" + path + "\"\n";
    for (const auto &kv : options) {
        section += "\t" + kv.first + "=\"" + kv.second + "\"\n";
    }
    writeAll("/usr/kavo/etc/shares.conf", section, O_APPEND, 0644);
    if (name == "photo") {
        unlink("/var/services/photo");
        if (symlink(path.c_str(), "/var/services/photo") != 0) {
            die("symlink /var/services/photo");
        }
    }
}

void ApplianceRoot::addHomesShare(const std::map<std::string, std::string> &options) {
    addShare("homes", "/volume1/homes", options);
    chmod("/volume1/homes", 0755);
}

// ---- files ----------------------------------------------------------------------------------

void ApplianceRoot::writeFile(const std::string &path, const std::string &content, mode_t mode,
                              uid_t uid, gid_t gid) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        mkdirs(path.substr(0, slash), 0755);
    }
    writeAll(path, content, O_TRUNC, mode);
    if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), uid, gid) != 0) {
        die("chmod/chown " + path);
    }
}

void ApplianceRoot::makeDir(const std::string &path, mode_t mode, uid_t uid, gid_t gid) {
    mkdirs(path, 0755);
    if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), uid, gid) != 0) {
        die("chmod/chown " + path);
    }
}

std::string ApplianceRoot::readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ApplianceRoot::exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// ---- stand-ins ------------------------------------------------------------------------------

void ApplianceRoot::standIn(const std::string &path, int status, const std::string &script) {
    std::string rec = recordFileFor(path);
    std::string text = "#!/bin/sh\n" + std::string(kTestRun) + "/record " + shellQuote(rec) +
                       " \"$0\" \"$@\"\n" + script + "\nexit " + std::to_string(status) + "\n";
    writeFile(path, text, 0755);
    unlink(rec.c_str());
}

std::vector<StandInCall> ApplianceRoot::calls(const std::string &path) const {
    std::vector<StandInCall> out;
    std::istringstream in(readFile(recordFileFor(path)));
    std::string line;
    StandInCall cur;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "call ") == 0) {
            cur = StandInCall();
            std::istringstream ids(line.substr(5));
            ids >> cur.uid >> cur.euid;
        } else if (line.compare(0, 4, "cwd ") == 0) {
            cur.cwd = unhex(line.substr(4));
        } else if (line.compare(0, 4, "arg ") == 0) {
            cur.argv.push_back(unhex(line.substr(4)));
        } else if (line == "arg") {
            cur.argv.emplace_back();
        } else if (line == "end") {
            out.push_back(cur);
        }
    }
    return out;
}

// ---- log ------------------------------------------------------------------------------------

// "<pri>Mmm dd hh:mm:ss ident[pid]: message" -> ident and message.
static void splitLogLine(const std::string &raw, std::string *ident, std::string *message) {
    size_t p = 0;
    if (!raw.empty() && raw[0] == '<') {
        p = raw.find('>');
        p = (p == std::string::npos) ? 0 : p + 1;
    }
    if (raw.size() >= p + 16 && raw[p + 3] == ' ' && raw[p + 6] == ' ' && raw[p + 9] == ':') {
        p += 16;
    }
    size_t colon = raw.find(": ", p);
    std::string id = colon == std::string::npos ? "" : raw.substr(p, colon - p);
    size_t space = id.find(' ');  // a sender that names the host first
    if (space != std::string::npos) {
        id.erase(0, space + 1);
    }
    size_t bracket = id.find('[');
    if (bracket != std::string::npos) {
        id.erase(bracket);
    }
    std::string msg = colon == std::string::npos ? raw.substr(p) : raw.substr(colon + 2);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\0')) {
        msg.pop_back();
    }
    *ident = id;
    *message = msg;
}

std::vector<std::string> ApplianceRoot::logLines() const {
    impl_->syncLog();
    std::lock_guard<std::mutex> lock(impl_->logMutex);
    std::vector<std::string> out;
    for (const auto &raw : impl_->log) {
        std::string ident, msg;
        splitLogLine(raw, &ident, &msg);
        out.push_back(msg);
    }
    return out;
}

std::vector<std::string> ApplianceRoot::logLinesWithIdent() const {
    impl_->syncLog();
    std::lock_guard<std::mutex> lock(impl_->logMutex);
    std::vector<std::string> out;
    for (const auto &raw : impl_->log) {
        std::string ident, msg;
        splitLogLine(raw, &ident, &msg);
        out.push_back(ident + ": " + msg);
    }
    return out;
}

bool ApplianceRoot::logged(const std::string &substring) const {
    for (const auto &line : logLines()) {
        if (line.find(substring) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void ApplianceRoot::clearLog() {
    impl_->syncLog();
    std::lock_guard<std::mutex> lock(impl_->logMutex);
    impl_->log.clear();
}

// ---- database -------------------------------------------------------------------------------

void ApplianceRoot::useDatabase() {
    ASSERT_GE(impl_->pgSockFd, 0) << "no PostgreSQL server for this run (" LUMORA_PG_DIR ")";
    makeDir("/run/postgresql", 0755);
    mustMount(fdPath(impl_->pgSockFd).c_str(), "/run/postgresql", nullptr, MS_BIND, nullptr);
    impl_->track("/run/postgresql");
    RunResult r =
        run({"/usr/bin/psql", "-X", "-q", "-h", "/run/postgresql", "-U", "postgres", "-d",
             "postgres", "-v", "ON_ERROR_STOP=1", "-c",
             "DROP DATABASE IF EXISTS photo WITH (FORCE)", "-c", "CREATE DATABASE photo"});
    ASSERT_EQ(r.status, 0) << r.err;
}

std::string ApplianceRoot::sql(const std::string &statements) const {
    RunOptions opt;
    opt.input = statements;
    RunResult r = run({"/usr/bin/psql", "-X", "-q", "-A", "-t", "-h", "/run/postgresql", "-U",
                       "postgres", "-d", "photo", "-v", "ON_ERROR_STOP=1", "-f", "-"},
                      opt);
    EXPECT_EQ(r.status, 0) << "psql failed: " << r.err;
    return r.out;
}

void ApplianceRoot::dropDatabaseAccess() {
    if (umount2("/run/postgresql", MNT_DETACH) == 0) {
        auto &m = impl_->mounts;
        for (auto it = m.begin(); it != m.end(); ++it) {
            if (*it == "/run/postgresql") {
                m.erase(it);
                break;
            }
        }
    }
}

// ---- programs -------------------------------------------------------------------------------

RunResult ApplianceRoot::run(const std::vector<std::string> &argv, const RunOptions &opt) const {
    RunResult result;
    if (argv.empty()) {
        ADD_FAILURE() << "run: empty command";
        return result;
    }
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        die("pipe");
    }
    std::vector<std::string> envStore = {"PATH=" + std::string(kPath), "HOME=/", "LANG=C"};
    for (const char *pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *v = getenv(pass)) {
            envStore.push_back(std::string(pass) + "=" + v);
        }
    }
    for (const auto &kv : opt.env) {
        envStore.push_back(kv.first + "=" + kv.second);
    }
    std::vector<char *> envp, args;
    for (auto &e : envStore) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);

    uid_t uid = opt.uid;
    gid_t gid = opt.gid;
    bool initGroups = false;
    if (!opt.asUser.empty()) {
        uid = uidOf(opt.asUser);
        (void)idOf(getpwnam_r, opt.asUser, &passwd::pw_gid, &gid);  // uidOf reports a miss
        initGroups = true;
    }

    pid_t pid = fork();
    if (pid < 0) {
        die("fork");
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGPIPE, SIG_DFL);
        if (chdir(opt.cwd.c_str()) != 0) {
            _exit(126);
        }
        if (initGroups) {
            if (initgroups(opt.asUser.c_str(), gid) != 0) {
                _exit(126);
            }
        } else if (uid != 0 || gid != 0) {
            if (setgroups(0, nullptr) != 0) {
                _exit(126);
            }
        }
        if ((gid != 0 && setgid(gid) != 0) || (uid != 0 && setuid(uid) != 0)) {
            _exit(126);
        }
        execve(args[0], args.data(), envp.data());
        fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Feed the input, gather both streams, and stop the program at the deadline.
    size_t written = 0;
    if (opt.input.empty()) {
        close(in[1]);
        in[1] = -1;
    } else {
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeoutSeconds);
    bool killed = false;
    int open = 2;
    void (*oldPipe)(int) = signal(SIGPIPE, SIG_IGN);
    while (open > 0 || in[1] >= 0) {
        struct pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (out[0] >= 0) {
            outIdx = n;
            fds[n++] = {out[0], POLLIN, 0};
        }
        if (err[0] >= 0) {
            errIdx = n;
            fds[n++] = {err[0], POLLIN, 0};
        }
        if (in[1] >= 0) {
            inIdx = n;
            fds[n++] = {in[1], POLLOUT, 0};
        }
        int r = poll(fds, n, 100);
        if (std::chrono::steady_clock::now() > deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
            ADD_FAILURE() << "run: " << argv[0] << " timed out";
            break;
        }
        if (r <= 0) {
            continue;
        }
        char buf[65536];
        auto readInto = [&](int idx, int *fd, std::string *to) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) {
                return;
            }
            ssize_t got = read(*fd, buf, sizeof buf);
            if (got > 0) {
                to->append(buf, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(*fd);
                *fd = -1;
                --open;
            }
        };
        readInto(outIdx, &out[0], &result.out);
        readInto(errIdx, &err[0], &result.err);
        if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(in[1], opt.input.data() + written, opt.input.size() - written);
            if (w > 0) {
                written += (size_t)w;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) {
                written = opt.input.size();
            }
            if (written >= opt.input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    signal(SIGPIPE, oldPipe);
    for (int fd : {in[1], out[0], err[0]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = -1;
        result.signal = WTERMSIG(status);
    }
    return result;
}

void ApplianceRoot::mountTmpfs(const std::string &path) {
    mkdirs(path, 0755);
    mustMount("lumora-extra", path.c_str(), "tmpfs", 0, "mode=0755");
    impl_->track(path);
}

Swapper::Swapper(const Pairs &pairs, int seconds) : pairs_(pairs) {
    for (const auto &p : pairs_) {
        struct stat st;
        inodes_.push_back(lstat(p.first.c_str(), &st) == 0 ? st.st_ino : 0);
    }
    pid_ = fork();
    if (pid_ == 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            for (const auto &p : pairs_) {
                renameat2(AT_FDCWD, p.first.c_str(), AT_FDCWD, p.second.c_str(), RENAME_EXCHANGE);
            }
        }
        _exit(0);
    }
    EXPECT_GT(pid_, 0) << "fork: " << strerror(errno);
}

Swapper::~Swapper() {
    stop();
}

void Swapper::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    for (size_t i = pairs_.size(); i-- > 0;) {
        struct stat st;
        const auto &p = pairs_[i];
        if (inodes_[i] != 0 && lstat(p.first.c_str(), &st) == 0 && st.st_ino != inodes_[i]) {
            renameat2(AT_FDCWD, p.first.c_str(), AT_FDCWD, p.second.c_str(), RENAME_EXCHANGE);
        }
    }
}

}  // namespace lumora::test
