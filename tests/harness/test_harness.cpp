// The harness itself: the private root must hide the host, capture the log, record stand-ins,
// run programs as other accounts and reach the run's database.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using lumora::test::ApplianceRoot;
using lumora::test::RunOptions;

TEST(Harness, AccountsAndFilesStayPrivate) {
    {
        ApplianceRoot root;
        uid_t uid = root.addUser("harnessuser");
        EXPECT_GE(uid, 1001u);
        EXPECT_EQ(root.uidOf("harnessuser"), uid);
        root.writeFile("/usr/kavo/etc/probe", "x");
        root.writeFile("/etc/lumora-harness-probe", "x");
        // The host (seen through the first process's root) has none of it.
        EXPECT_EQ(ApplianceRoot::readFile("/proc/1/root/etc/passwd").find("harnessuser:"),
                  std::string::npos);
        EXPECT_FALSE(ApplianceRoot::exists("/proc/1/root/etc/lumora-harness-probe"));
        EXPECT_TRUE(ApplianceRoot::exists("/etc/lumora-harness-probe"));
        // Nor a folder at its root for a mount that the host's root has no folder for.
        root.mountTmpfs("/lumora-harness-volume/photo");
        root.writeFile("/lumora-harness-volume/photo/a.jpg", "x");
        EXPECT_FALSE(ApplianceRoot::exists("/proc/1/root/lumora-harness-volume"));
        // The build stays reachable, wherever it lies.
        EXPECT_TRUE(ApplianceRoot::exists(lumora::test::program("lumorad")));
        EXPECT_TRUE(ApplianceRoot::exists(lumora::test::sourceDir() + "/harness/harness.h"));
    }
    // A new root starts clean.
    ApplianceRoot again;
    EXPECT_FALSE(ApplianceRoot::exists("/etc/lumora-harness-probe"));
    EXPECT_FALSE(ApplianceRoot::exists("/usr/kavo/etc/probe"));
}

TEST(Harness, RunsProgramsAsAccountsWithInputAndStatus) {
    ApplianceRoot root;
    root.addUser("runner");
    RunOptions opt;
    opt.asUser = "runner";
    opt.input = "from stdin";
    auto r = root.run({"/bin/sh", "-c", "id -un; cat; echo err >&2; exit 7"}, opt);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "runner\nfrom stdin");
    EXPECT_EQ(r.err, "err\n");
    auto killed = root.run({"/bin/sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(killed.status, -1);
    EXPECT_EQ(killed.signal, SIGTERM);
}

TEST(Harness, CapturesSyslogAndRecordsStandIns) {
    ApplianceRoot root;
    auto r = root.run({"/usr/bin/logger", "--rfc3164", "-t", "probe", "probe:12 hello log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(root.logged("probe:12 hello log"));
    auto with = root.logLinesWithIdent();
    ASSERT_FALSE(with.empty());
    EXPECT_EQ(with.back(), "probe: probe:12 hello log");
    root.clearLog();
    EXPECT_TRUE(root.logLines().empty());

    root.addUser("caller");
    root.standIn("/usr/kavo/bin/worker", 3, "echo out-$1");
    RunOptions opt;
    opt.asUser = "caller";
    auto w = root.run({"/usr/kavo/bin/worker", "a b", "", "c'd"}, opt);
    EXPECT_EQ(w.status, 3);
    EXPECT_EQ(w.out, "out-a b\n");
    auto calls = root.calls("/usr/kavo/bin/worker");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"/usr/kavo/bin/worker", "a b", "", "c'd"}));
    EXPECT_EQ(calls[0].uid, root.uidOf("caller"));
}

TEST(Harness, ReachesTheRunsDatabase) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql("CREATE TABLE t (a int); INSERT INTO t VALUES (1), (2);");
    EXPECT_EQ(root.sql("SELECT sum(a) FROM t;"), "3\n");
    // A second root gets an empty database again.
    root.useDatabase();
    EXPECT_EQ(root.sql("SELECT count(*) FROM pg_tables WHERE tablename = 't';"), "0\n");
}

// The swapper trades names while it runs and leaves each pair as it found it.
TEST(Harness, SwapperTradesNamesAndPutsThemBack) {
    ApplianceRoot root;
    root.makeDir("/volume1/d");
    ASSERT_EQ(symlink("/volume1/d", "/volume1/l"), 0);
    struct stat before, st;
    ASSERT_EQ(lstat("/volume1/d", &before), 0);
    bool sawLink = false;
    {
        lumora::test::Swapper swapper("/volume1/d", "/volume1/l", 2);
        for (int i = 0; i < 100000 && !sawLink; i++) {
            sawLink = lstat("/volume1/d", &st) == 0 && S_ISLNK(st.st_mode);
        }
    }
    EXPECT_TRUE(sawLink);
    ASSERT_EQ(lstat("/volume1/d", &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino);
    ASSERT_EQ(lstat("/volume1/l", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}
