// Installation: "cmake --install" of this build lays out exactly the package's programs and the
// lumorad unit, the database hook setuid root; a private prefix works, and the programs run
// from where they were installed.
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

std::string binDir(const std::string &prefix) {
    std::string bin = LUMORA_INSTALL_BINDIR;
    return bin[0] == '/' ? bin : prefix + "/" + bin;
}

// Every path below top that is not a directory, relative to top.
std::set<std::string> *fileSink() {
    static std::set<std::string> sink;
    return &sink;
}
size_t topLength = 0;

std::set<std::string> filesBelow(const std::string &top) {
    fileSink()->clear();
    topLength = top.size();
    nftw(
        top.c_str(),
        [](const char *path, const struct stat *, int type, struct FTW *) {
            if (type != FTW_D && type != FTW_DP) {
                fileSink()->insert(std::string(path).substr(topLength));
            }
            return 0;
        },
        16, FTW_PHYS);
    return *fileSink();
}

class Install : public ::testing::Test {
   protected:
    // Installs this build; destDir receives the files (DESTDIR), prefix "" keeps the
    // configured one.
    RunResult install(const std::string &destDir, const std::string &prefix = "") {
        std::vector<std::string> argv = {LUMORA_CMAKE, "--install", LUMORA_BUILD_DIR};
        if (!prefix.empty()) {
            argv.insert(argv.end(), {"--prefix", prefix});
        }
        RunOptions opt;
        opt.env["DESTDIR"] = destDir;
        return root.run(argv, opt);
    }

    // The programs and the unit are all there is, each with the mode the package expects.
    void expectLayout(const std::string &destDir, const std::string &prefix) {
        std::set<std::string> want;
        for (const std::string &p : programs()) {
            want.insert(binDir(prefix) + "/" + p);
        }
        want.insert(std::string(LUMORA_INSTALL_UNITDIR) + "/lumorad.service");
        EXPECT_EQ(filesBelow(destDir), want);
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
    RunResult r = install(stage);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expectLayout(stage, LUMORA_INSTALL_PREFIX);

    // The unit starts the installed daemon, which forks, and stops it through "-k".
    std::string unit = ApplianceRoot::readFile(stage + LUMORA_INSTALL_UNITDIR + "/lumorad.service");
    std::string daemon = binDir(LUMORA_INSTALL_PREFIX) + "/lumorad";
    for (const std::string &line :
         {std::string("Type=forking"), std::string("PIDFile=/var/run/lumorad.pid"),
          "ExecStart=" + daemon, "ExecStop=" + daemon + " -k"}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
    }
    EXPECT_NE(unit.find("[Install]\n"), std::string::npos) << unit;
}

TEST_F(Install, ProgramsRunFromAPrivatePrefix) {
    const std::string stage = "/volume1/stage";
    const std::string prefix = "/opt/lumora";
    RunResult r = install(stage, prefix);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expectLayout(stage, prefix);
    const std::string bin = stage + binDir(prefix);
    // The unit names the daemon where it was installed.
    std::string unit = ApplianceRoot::readFile(stage + LUMORA_INSTALL_UNITDIR + "/lumorad.service");
    EXPECT_NE(unit.find("\nExecStart=" + binDir(prefix) + "/lumorad\n"), std::string::npos) << unit;

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

}  // namespace
