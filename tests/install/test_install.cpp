// Installation: "cmake --install" of this build lays out exactly the package's programs and the
// lumorad unit, the database hook setuid root, and writes nothing outside the place it was given
// (every install here runs with the rest of the file system read-only); a private prefix works,
// the programs run from where they were installed, and the Debian package carries stripped
// programs, its maintainer scripts and the unit where systemd reads it.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavoacl.h"

namespace {

using lumora::test::ApplianceRoot;
using lumora::test::RunOptions;
using lumora::test::RunResult;

const std::string kHook = "kavophoto_acl_pgsql";

std::vector<std::string> programs() {
    std::vector<std::string> out;
    std::stringstream list(LUMORA_PROGRAMS);
    std::string name;
    while (std::getline(list, name, ',')) {
        out.push_back(name);
    }
    return out;
}

std::string under(const std::string &prefix, const std::string &dir) {
    return dir[0] == '/' ? dir : prefix + "/" + dir;
}
std::string binDir(const std::string &prefix) {
    return under(prefix, LUMORA_INSTALL_BINDIR);
}
std::string unitPath(const std::string &prefix) {
    return under(prefix, LUMORA_INSTALL_UNITDIR) + "/lumorad.service";
}

// Every path below top that is not a directory.
std::set<std::string> *fileSink() {
    static std::set<std::string> sink;
    return &sink;
}

std::set<std::string> filesBelow(const std::string &top) {
    fileSink()->clear();
    nftw(
        top.c_str(),
        [](const char *path, const struct stat *, int type, struct FTW *) {
            if (type != FTW_D && type != FTW_DP) {
                fileSink()->insert(path);
            }
            return 0;
        },
        16, FTW_PHYS);
    return *fileSink();
}

class Install : public ::testing::Test {
   protected:
    // Installs this build with nothing writable but the folder "writable" (made first);
    // destDir "" installs without DESTDIR, prefix "" keeps the configured one.
    RunResult install(const std::string &writable, const std::string &destDir,
                      const std::string &prefix = "") {
        root.makeDir(writable);
        std::vector<std::string> argv = {LUMORA_CONFINE, writable,    "--",
                                         LUMORA_CMAKE,   "--install", LUMORA_BUILD_DIR};
        if (!prefix.empty()) {
            argv.insert(argv.end(), {"--prefix", prefix});
        }
        RunOptions opt;
        if (!destDir.empty()) {
            opt.env["DESTDIR"] = destDir;
        }
        return root.run(argv, opt);
    }

    // The programs and the unit are all there is below top, each with the mode the package
    // expects.
    void expectLayout(const std::string &top, const std::string &destDir,
                      const std::string &prefix) {
        std::set<std::string> want;
        for (const std::string &p : programs()) {
            want.insert(destDir + binDir(prefix) + "/" + p);
        }
        want.insert(destDir + unitPath(prefix));
        EXPECT_EQ(filesBelow(top), want);
        for (const std::string &p : programs()) {
            std::string path = destDir + binDir(prefix) + "/" + p;
            struct stat st;
            ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
            EXPECT_EQ(st.st_uid, 0u) << path;
            EXPECT_EQ(st.st_gid, 0u) << path;
            EXPECT_EQ(st.st_mode & 07777, p == kHook ? 04755u : 0755u) << path;
        }
    }

    ApplianceRoot root;
};

TEST_F(Install, ThePackageLayoutUnderItsConfiguredPrefix) {
    const std::string stage = "/volume1/stage";
    RunResult r = install(stage, stage);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expectLayout(stage, stage, LUMORA_INSTALL_PREFIX);

    // The unit starts the installed daemon, which forks, and stops it through "-k".
    std::string unit = ApplianceRoot::readFile(stage + unitPath(LUMORA_INSTALL_PREFIX));
    std::string daemon = binDir(LUMORA_INSTALL_PREFIX) + "/lumorad";
    for (const std::string &line :
         {std::string("Type=forking"), std::string("PIDFile=/run/lumorad.pid"),
          "ExecStart=" + daemon, "ExecStop=" + daemon + " -k"}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
    }
    EXPECT_NE(unit.find("[Install]\n"), std::string::npos) << unit;
}

TEST_F(Install, TheUnitPassesSystemdsCheck) {
    const std::string analyze = "/usr/bin/systemd-analyze";
    if (access(analyze.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "no systemd-analyze on this host";
    }
    // Installed where it names the daemon, so that the check finds the program it starts.
    RunResult r = install("/var/packages", "");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = root.run({analyze, "verify", unitPath(LUMORA_INSTALL_PREFIX)});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(Install, ProgramsRunFromAPrivatePrefix) {
    const std::string prefix = "/volume1/lumora";
    RunResult r = install(prefix, "", prefix);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expectLayout(prefix, "", prefix);
    const std::string bin = binDir(prefix);
    // The unit names the daemon where it was installed.
    std::string unit = ApplianceRoot::readFile(unitPath(prefix));
    EXPECT_NE(unit.find("\nExecStart=" + bin + "/lumorad\n"), std::string::npos) << unit;

    // An identity answer of the share hook, from the installed copy.
    r = root.run({bin + "/kavophoto_sdk_share_set", "--name"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Lumora");

    // The installed hook changes ACLs, which needs root, when the database account runs it.
    root.addLumoraAccounts();
    root.addUser("alice");
    root.addShare("photo", "/volume1/photo");
    KAVOACE base = {};
    ASSERT_EQ(KAVOACLAceFromStr(1, "user:Lumora:allow:rwxpdDaARWcCo:fd--", &base), 0);
    ASSERT_EQ(KAVOACLAdd("/volume1/photo", &base), 0);
    RunOptions asPostgres;
    asPostgres.asUser = "postgres";
    r = root.run({bin + "/" + kHook, "--add", "/", "everyone"}, asPostgres);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet("/volume1/photo", -1, 2, &acl), 0);
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(acl->nAce, 2);
    EXPECT_EQ(acl->pAce[1].type, 8);
    EXPECT_EQ(acl->pAce[1].id, -1);
    EXPECT_EQ(acl->pAce[1].perm, 0x75u);
    KAVOACLFree(acl);

    // Anyone else is turned away by the installed copy too.
    RunOptions asAlice;
    asAlice.asUser = "alice";
    r = root.run({bin + "/" + kHook, "--del", "/", "everyone"}, asAlice);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "uid not match[" + std::to_string(root.uidOf("alice")) + "][" +
                         std::to_string(root.uidOf("postgres")) + "]");
}

TEST_F(Install, TheDebianPackage) {
    // Made from the build's package set-up, writing only into its own folder and the build
    // tree (cpack brings the build up to date first).
    const std::string out = "/volume1/pkg";
    root.makeDir(out);
    RunOptions opt;
    opt.env["CCACHE_DISABLE"] = "1";  // a build brought up to date writes into itself only
    opt.timeoutSeconds = 840;         // a partly built tree is built whole first
    RunResult r =
        root.run({LUMORA_CONFINE, out, LUMORA_BUILD_DIR, "--", LUMORA_CPACK, "-G", "DEB",
                  "--config", std::string(LUMORA_BUILD_DIR) + "/CPackConfig.cmake", "-B", out},
                 opt);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string deb = out + "/lumora-backend_" LUMORA_VERSION "_" + LUMORA_DEB_ARCH + ".deb";
    const std::string ddeb =
        out + "/lumora-backend-dbgsym_" LUMORA_VERSION "_" + LUMORA_DEB_ARCH + ".ddeb";
    for (const auto &x : {std::make_pair(deb, out + "/x"), std::make_pair(ddeb, out + "/dbg")}) {
        r = root.run({"/usr/bin/dpkg-deb", "-x", x.first, x.second});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    r = root.run({"/usr/bin/dpkg-deb", "-e", deb, out + "/control"});
    ASSERT_EQ(r.status, 0) << r.err;

    // The programs, the unit where systemd reads it and the Debian documents; nothing else.
    const std::string x = out + "/x";
    std::set<std::string> want = {x + LUMORA_PACKAGE_UNITDIR "/lumorad.service",
                                  x + "/usr/share/doc/lumora-backend/copyright",
                                  x + "/usr/share/doc/lumora-backend/changelog.gz",
                                  x + "/usr/share/lintian/overrides/lumora-backend"};
    for (const std::string &p : programs()) {
        want.insert(x + binDir(LUMORA_INSTALL_PREFIX) + "/" + p);
    }
    EXPECT_EQ(filesBelow(x), want);
    struct stat st;
    ASSERT_EQ(stat((x + binDir(LUMORA_INSTALL_PREFIX) + "/" + kHook).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    // Stripped programs, each linked to its debug information in the dbgsym package.
    for (const std::string &p : programs()) {
        r = root.run({"/usr/bin/readelf", "-S", "-W", x + binDir(LUMORA_INSTALL_PREFIX) + "/" + p});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find(" .symtab "), std::string::npos) << p;
        EXPECT_EQ(r.out.find(" .debug_info "), std::string::npos) << p;
        EXPECT_NE(r.out.find(" .gnu_debuglink "), std::string::npos) << p;
    }
    EXPECT_EQ(filesBelow(out + "/dbg/usr/lib/debug/.build-id").size(), programs().size());
    // dpkg checks what it installed against md5sums: each line names a file of the package.
    r = root.run({"/usr/bin/dpkg-deb", "-I", ddeb, "md5sums"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream sums(r.out);
    std::string line;
    size_t listed = 0;
    while (std::getline(sums, line)) {
        ++listed;
        EXPECT_TRUE(line.size() > 34 && ApplianceRoot::exists(out + "/dbg/" + line.substr(34)))
            << line;
    }
    EXPECT_EQ(listed, programs().size());

    // systemd hears of the unit when the package comes and goes.
    for (const char *script : {"postinst", "postrm"}) {
        std::string text = ApplianceRoot::readFile(out + "/control/" + script);
        EXPECT_NE(text.find("systemctl --system daemon-reload"), std::string::npos) << script;
        ASSERT_EQ(stat((out + "/control/" + script).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
    }
}

}  // namespace
