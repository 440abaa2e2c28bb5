// Test harness: a private, real appliance root for every test.
//
// The harness main (linked into every test binary) moves the test process into its own mount
// namespace once, with all mounts private, and into a root of its own there: a tmpfs on /mnt
// that holds every top-level entry of the host's root (folders and files bound in, links
// copied), entered with chroot, so that folders such as /volume1 are made in it and never on
// the host. Each test then builds an ApplianceRoot, which overlays /etc, /dev, /var and /usr
// (writes land in throwaway upper layers on a scratch tmpfs), mounts fresh /run, /tmp,
// /var/packages, /var/services, /usr/kavo and /volume1 (tmpfs), binds the source and build
// trees back at their own paths where those mounts hide them and the built programs at
// /run/.lumora-test/bin, binds a /dev/log socket that captures every syslog line, and undoes
// all of it when it goes out of scope. Programs run by the test inherit the namespace and the
// root, so they see the private root at their true paths.
//
// Typical use:
//
//     TEST(Foo, Bar) {
//         lumora::test::ApplianceRoot root;
//         root.addLumoraAccounts();
//         root.addShare("photo", "/volume1/photo");
//         auto r = root.run({lumora::test::program("kavophoto_config"), "-g", "key"});
//         EXPECT_EQ(r.status, 0);
//         EXPECT_EQ(r.out, "value\n");
//         EXPECT_TRUE(root.logged("some text"));
//     }
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lumora::test {

// Absolute path of a built program ("lumorad", "kavophoto_acl", ...), valid while an
// ApplianceRoot exists (the build's programs are bound into it, reachable by every account).
std::string program(const std::string &name);
// Folder of the test sources (for data files kept beside the tests).
std::string sourceDir();

struct RunResult {
    int status = -1;  // exit status 0..255, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it, else 0
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

struct RunOptions {
    uid_t uid = 0;          // run as this user (real and effective; groups from account)
    gid_t gid = 0;          // and this group; ignored when asUser is set
    std::string asUser;     // run as this account (uid, gid, supplementary groups)
    std::string input;      // fed to standard input
    std::string cwd = "/";  // working folder
    std::map<std::string, std::string> env;  // added to a minimal environment (PATH, HOME=/)
    int timeoutSeconds = 120;                // killed (SIGKILL) after this
};

// A recorded call of a stand-in program.
struct StandInCall {
    std::vector<std::string> argv;  // argv[0] first
    uid_t uid = 0;                  // real uid it ran as
    uid_t euid = 0;
    std::string cwd;
};

class ApplianceRoot {
   public:
    ApplianceRoot();
    ~ApplianceRoot();
    ApplianceRoot(const ApplianceRoot &) = delete;
    ApplianceRoot &operator=(const ApplianceRoot &) = delete;

    // ---- accounts (written to the overlaid /etc/passwd, /etc/group, /etc/shadow) ----------
    // uid/gid 0 picks the next free id from 1001 (users) or 1001 (groups). home "" gives
    // /volume1/homes/NAME (created, owned by the user, mode 0755). Returns the uid.
    uid_t addUser(const std::string &name, uid_t uid = 0, gid_t gid = 0,
                  const std::string &home = "");
    gid_t addGroup(const std::string &name, gid_t gid = 0,
                   const std::vector<std::string> &members = {});
    // "Lumora" (system user and its primary group), "admin" (in "administrators"), the group
    // "administrators", and "postgres" when missing.
    void addLumoraAccounts();
    uid_t uidOf(const std::string &user) const;
    gid_t gidOf(const std::string &group) const;

    // ---- shares (section file /usr/kavo/etc/shares.conf) -------------------------------------
    // Creates the folder (mode 0777) and the section. For "photo" also the link
    // /var/services/photo -> path. options: key -> value, e.g. {"recycle_bin", "yes"}.
    void addShare(const std::string &name, const std::string &path,
                  const std::map<std::string, std::string> &options = {});
    // The "homes" share at /volume1/homes.
    void addHomesShare(const std::map<std::string, std::string> &options = {});

    // ---- files --------------------------------------------------------------------------------
    // Writes a file (creating parent folders, mode 0755), then sets mode and owner.
    void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644,
                   uid_t uid = 0, gid_t gid = 0);
    void makeDir(const std::string &path, mode_t mode = 0755, uid_t uid = 0, gid_t gid = 0);
    static std::string readFile(const std::string &path);  // "" when missing
    static bool exists(const std::string &path);           // lstat succeeds

    // A recording stand-in for an outside program: an executable at path that appends its
    // arguments, uid, euid and cwd to a record and exits with status. script (optional) is
    // shell text run before exiting (e.g. to print JSON or sleep); it sees "$@".
    void standIn(const std::string &path, int status = 0, const std::string &script = "");
    // The calls a stand-in recorded, in order.
    std::vector<StandInCall> calls(const std::string &path) const;

    // ---- the system log ----------------------------------------------------------------
    // Every syslog line received on /dev/log since the root was made, message text only
    // (the "<pri>timestamp ident[pid]: " prefix removed). Waits briefly for stragglers.
    std::vector<std::string> logLines() const;
    // Full lines including identity: "ident: message" (the pid dropped).
    std::vector<std::string> logLinesWithIdent() const;
    bool logged(const std::string &substring) const;
    void clearLog();

    // ---- database ----------------------------------------------------------------------
    // Binds the run's PostgreSQL socket folder onto /run/postgresql and recreates the
    // database "photo" empty. Fails the test (GTest fatal) when no server runs.
    void useDatabase();
    // Runs SQL as "postgres" on database "photo" (psql -v ON_ERROR_STOP=1); fails the test on
    // error. Returns psql's unaligned, tuples-only output.
    std::string sql(const std::string &statements) const;
    // Stops access to the server from this root (unmounts the socket folder), to test
    // "no server at all".
    void dropDatabaseAccess();

    // ---- programs --------------------------------------------------------------------------
    RunResult run(const std::vector<std::string> &argv, const RunOptions &opt = {}) const;

    // Additional file system, for cross-device tests: a fresh tmpfs at the path.
    void mountTmpfs(const std::string &path);

   private:
    struct Impl;
    Impl *impl_;
};

// An account racing a privileged program: exchanges each pair of names (rename exchange) in
// turn, over and over, in a child process, until stop() or for at most `seconds`. stop() (the
// destructor calls it) ends the child and exchanges back every pair whose first name no longer
// holds the file it held at the start.
class Swapper {
   public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    explicit Swapper(const Pairs &pairs, int seconds = 4);
    Swapper(const std::string &a, const std::string &b, int seconds = 4)
        : Swapper(Pairs{{a, b}}, seconds) {}
    ~Swapper();
    Swapper(const Swapper &) = delete;
    Swapper &operator=(const Swapper &) = delete;
    void stop();

   private:
    Pairs pairs_;
    std::vector<ino_t> inodes_;  // of each pair's first name at the start (0: none)
    pid_t pid_ = -1;
};

}  // namespace lumora::test
