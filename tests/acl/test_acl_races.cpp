// Folders swapped for links while the ACL programs run: a folder on the way to the target is
// exchanged with a link that leads out of the allowed root (rename exchange in a loop), and
// the program is run again and again meanwhile. Nothing outside the root may change.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acl_test_util.h"
#include "harness.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunOptions;
using lumora::test::Swapper;
using namespace acltest;

namespace {

const std::string kShare = "/volume1/photo";
const std::string kOutside = "/volume1/outside";
const std::string kAliceHome = "/volume1/homes/alice";
const std::string kAliceRoot = kAliceHome + "/photo";
const int kRuns = 30;

class Races : public ::testing::Test {
   protected:
    void SetUp() override {
        root.addLumoraAccounts();
        root.addHomesShare();
        alice = root.addUser("alice");
        root.addUser("bob");
        root.addShare("photo", kShare);
        writeBaseAcl(kShare);
        // What the attacker aims at: root's files with an ACL of their own.
        root.writeFile(kOutside + "/x.jpg", "secret", 0600);
        root.writeFile(kOutside + "/sub/y.jpg", "secret", 0600);
        writeBaseAcl(kOutside);
        addEntry(kOutside + "/sub/y.jpg", albumEntry(1, 0, kManage));
        before = snapshot(kOutside);
    }

    // Runs argv kRuns times while the two names are swapped; returns how many runs succeeded.
    // A run that meets the link refuses, so on a busy machine every one of them may: it goes
    // on (at most five times as long) until one has also done its work.
    int runSwapped(const std::vector<std::string> &argv, const std::string &a, const std::string &b,
                   const RunOptions &opt = {}) {
        int ok = 0;
        Swapper swap(a, b);
        for (int i = 0; i < kRuns || (ok == 0 && i < 5 * kRuns); i++) {
            ok += root.run(argv, opt).status == 0;
        }
        swap.stop();
        return ok;
    }

    void expectOutsideUntouched() {
        EXPECT_EQ(snapshot(kOutside), before);
    }

    ApplianceRoot root;
    uid_t alice = 0;
    std::map<std::string, TreeState> before;
};

// The inheritance walk, the owner change and the mode change of --apply and --apply_uvo.
TEST_F(Races, ApplyStaysBeneathTheRoot) {
    root.writeFile(kShare + "/album/sub/x.jpg", "mine");
    ASSERT_EQ(symlink(kOutside.c_str(), (kShare + "/album/evil").c_str()), 0);
    const std::vector<std::string> apply = {program("kavophoto_acl"), "--apply",
                                            kShare + "/album/sub/x.jpg", "alice"};
    EXPECT_GT(runSwapped(apply, kShare + "/album/sub", kShare + "/album/evil"), 0);
    expectOutsideUntouched();

    // Without ACL control on the share the path is opened up (0777) instead.
    ASSERT_EQ(removexattr(kShare.c_str(), SZ_KAVO_ACL_XATTR), 0);
    EXPECT_GT(runSwapped(apply, kShare + "/album/sub", kShare + "/album/evil"), 0);
    expectOutsideUntouched();

    root.writeFile(kAliceRoot + "/trip/x.jpg", "mine");
    ASSERT_EQ(root.run({program("kavophoto_acl"), "--convert", "alice"}).status, 0);
    ASSERT_EQ(symlink(kOutside.c_str(), (kAliceRoot + "/evil").c_str()), 0);
    EXPECT_GT(
        runSwapped({program("kavophoto_acl"), "--apply_uvo", "alice", kAliceRoot + "/trip/x.jpg"},
                   kAliceRoot + "/trip", kAliceRoot + "/evil"),
        0);
    expectOutsideUntouched();
}

// The personal conversion: its root ("photo", which may link inside the home) and its walk.
TEST_F(Races, PersonalConversionStaysInTheHome) {
    root.writeFile(kAliceHome + "/gallery/trip/x.jpg", "mine", 0644, alice);
    ASSERT_EQ(symlink("gallery", kAliceRoot.c_str()), 0);
    ASSERT_EQ(symlink(kOutside.c_str(), (kAliceHome + "/evil").c_str()), 0);
    ASSERT_EQ(symlink(kOutside.c_str(), (kAliceHome + "/gallery/evil").c_str()), 0);
    const std::vector<std::string> convert = {program("kavophoto_acl"), "--convert", "alice"};
    EXPECT_GT(runSwapped(convert, kAliceHome + "/gallery", kAliceHome + "/evil"), 0);
    expectOutsideUntouched();
    EXPECT_GT(runSwapped(convert, kAliceHome + "/gallery/trip", kAliceHome + "/gallery/evil"), 0);
    expectOutsideUntouched();
    EXPECT_TRUE(aclOf(kAliceHome + "/gallery/trip/x.jpg").inherit);
}

// The hook, setuid root and run by "postgres", on an album swapped for a link to another
// user's personal root.
TEST_F(Races, TheHookStaysInTheShare) {
    root.writeFile("/volume1/homes/bob/photo/b.jpg", "bob's");
    ASSERT_EQ(root.run({program("kavophoto_acl"), "--convert", "bob"}).status, 0);
    auto bobBefore = snapshot("/volume1/homes/bob");
    root.makeDir(kShare + "/shared");
    ASSERT_EQ(symlink("/volume1/homes/bob/photo", (kShare + "/evil").c_str()), 0);
    // The setuid-root copy that the database account runs.
    const std::string hook = "/usr/kavo/bin/kavophoto_acl_pgsql";
    root.writeFile(hook, ApplianceRoot::readFile(program("kavophoto_acl_pgsql")), 04755);
    ASSERT_EQ(chmod(hook.c_str(), 04755), 0);
    RunOptions asPostgres;
    asPostgres.asUser = "postgres";
    EXPECT_GT(runSwapped({hook, "--add", "shared", "user", std::to_string(alice), "manage"},
                         kShare + "/shared", kShare + "/evil", asPostgres),
              0);
    EXPECT_EQ(snapshot("/volume1/homes/bob"), bobBefore);
    expectOutsideUntouched();
}

}  // namespace
