// The database client: statements, rows read after the connection is closed, failures with
// the server's own text, no server at all, and no client library.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavodb.h"

using lumora::test::ApplianceRoot;
using lumora::test::program;
using lumora::test::RunResult;

namespace {

PKAVODB connectPhoto() {
    return KAVODBConnect(nullptr, "postgres", nullptr, "photo");
}

// Runs fn with standard error going to a file and returns what was written there.
template <typename Fn>
std::string stderrOf(Fn fn) {
    char path[] = "/tmp/dbstderrXXXXXX";
    int fd = mkstemp(path);
    int saved = dup(2);
    std::string text;

    if (fd < 0 || saved < 0) {
        ADD_FAILURE() << "cannot capture standard error";
        return text;
    }
    fflush(stderr);
    dup2(fd, 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    text = ApplianceRoot::readFile(path);
    unlink(path);
    return text;
}

}  // namespace

TEST(Database, RowsStayReadableAfterClose) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql(
        "CREATE TABLE photo_share (shareid integer PRIMARY KEY, sharename text, "
        "public boolean, note text);"
        "INSERT INTO photo_share VALUES (3, 'album3', false, NULL), (1, '/', true, 'root'), "
        "(2, 'album1/album2', true, 'tief ü');");

    PKAVODB db = connectPhoto();
    ASSERT_NE(db, nullptr) << VLIBCErrGet();
    PKAVODB_RES res = nullptr;
    PKAVODB_RES count = nullptr;
    ASSERT_EQ(KAVODBExecute(db,
                            "SELECT shareid, sharename, public, note FROM photo_share "
                            "ORDER BY shareid",
                            &res),
              0);
    ASSERT_EQ(KAVODBExecute(db, "SELECT count(*) AS \"Total\" FROM photo_share", &count), 0);
    KAVODBClose(db);  // the rows are read only now

    ASSERT_EQ(KAVODBNumRows(res), 3);
    const char *expect[3][4] = {
        {"1", "/", "t", "root"},
        {"2", "album1/album2", "t", "tief ü"},
        {"3", "album3", "f", ""},  // SQL null reads as ""
    };
    const char *columns[4] = {"shareid", "sharename", "public", "note"};
    KAVODB_ROW row = -1;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(KAVODBFetchRow(res, &row), 0) << i;
        EXPECT_EQ(row, i);
        // fields by name, in any order
        for (int c = 3; c >= 0; c--) {
            const char *v = KAVODBFetchField(res, row, columns[c]);
            ASSERT_NE(v, nullptr) << columns[c];
            EXPECT_STREQ(v, expect[i][c]) << columns[c];
        }
        EXPECT_EQ(KAVODBFetchField(res, row, "nosuchcolumn"), nullptr);
    }
    EXPECT_NE(KAVODBFetchRow(res, &row), 0);
    EXPECT_NE(KAVODBFetchRow(res, &row), 0);  // and stays at the end
    EXPECT_EQ(KAVODBFetchField(res, 3, "shareid"), nullptr);
    EXPECT_EQ(KAVODBFetchField(res, -1, "shareid"), nullptr);
    KAVODBFreeResult(res);

    ASSERT_EQ(KAVODBFetchRow(count, &row), 0);
    ASSERT_NE(KAVODBFetchField(count, row, "Total"), nullptr);  // a quoted column name
    EXPECT_STREQ(KAVODBFetchField(count, row, "Total"), "3");
    EXPECT_NE(KAVODBFetchRow(count, &row), 0);
    KAVODBFreeResult(count);

    // Releasing nothing is harmless.
    KAVODBFreeResult(nullptr);
    KAVODBClose(nullptr);
}

TEST(Database, StatementsWithoutRowsAndFailures) {
    ApplianceRoot root;
    root.useDatabase();
    root.sql("CREATE TABLE photo_share (shareid integer PRIMARY KEY, sharename text);");

    PKAVODB db = connectPhoto();
    ASSERT_NE(db, nullptr);
    PKAVODB_RES res = nullptr;
    KAVODB_ROW row = -1;

    ASSERT_EQ(KAVODBExecute(db, "INSERT INTO photo_share VALUES (1, 'a'), (2, 'b')", &res), 0);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(KAVODBNumRows(res), 0);
    EXPECT_NE(KAVODBFetchRow(res, &row), 0);
    KAVODBFreeResult(res);

    // A statement the server refuses: -1, no result, the server's text for the log.
    res = reinterpret_cast<PKAVODB_RES>(&row);  // must be reset by the call
    EXPECT_EQ(KAVODBExecute(db, "SELECT nosuchcolumn FROM photo_share", &res), -1);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_DB);
    std::string err = KAVODBErrorGet(db);
    EXPECT_NE(err.find("nosuchcolumn"), std::string::npos) << err;
    EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
    ASSERT_FALSE(err.empty());
    EXPECT_NE(err.back(), '\n');

    EXPECT_EQ(KAVODBExecute(db, "SELEC 1", &res), -1);
    EXPECT_NE(std::string(KAVODBErrorGet(db)).find("syntax error"), std::string::npos);
    EXPECT_EQ(KAVODBExecute(db, "INSERT INTO photo_share VALUES (1, 'again')", &res), -1);
    EXPECT_NE(std::string(KAVODBErrorGet(db)).find("duplicate key"), std::string::npos);

    // The connection is still good after a failure and the refused insert left nothing.
    ASSERT_EQ(KAVODBExecute(db, "SELECT sharename FROM photo_share ORDER BY shareid", &res), 0);
    EXPECT_EQ(KAVODBNumRows(res), 2);
    ASSERT_EQ(KAVODBFetchRow(res, &row), 0);
    EXPECT_STREQ(KAVODBFetchField(res, row, "sharename"), "a");
    KAVODBFreeResult(res);

    // Bad arguments are refused, not followed.
    EXPECT_EQ(KAVODBExecute(db, nullptr, &res), -1);
    EXPECT_EQ(KAVODBExecute(nullptr, "SELECT 1", &res), -1);
    EXPECT_EQ(KAVODBExecute(db, "SELECT 1", nullptr), -1);
    EXPECT_NE(KAVODBFetchRow(nullptr, &row), 0);
    EXPECT_EQ(KAVODBFetchField(nullptr, 0, "a"), nullptr);
    EXPECT_NE(KAVODBErrorGet(nullptr), nullptr);

    // Server notices are no errors and print nothing.
    std::string noise = stderrOf([&] {
        EXPECT_EQ(KAVODBExecute(db, "DROP TABLE IF EXISTS nosuchtable", &res), 0);
        KAVODBFreeResult(res);
    });
    EXPECT_EQ(noise, "");
    KAVODBClose(db);

    // A database that does not exist.
    EXPECT_EQ(KAVODBConnect(nullptr, "postgres", nullptr, "nosuchdb"), nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_DB);
}

TEST(Database, NoServer) {
    ApplianceRoot root;
    root.useDatabase();
    root.dropDatabaseAccess();

    EXPECT_EQ(connectPhoto(), nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_DB);
}

// The programs start without libpq and load it only to open the database: with the library
// gone, a command that needs no database still works, and one that does fails as for a server
// that is away, naming the library in the log.
TEST(Database, ClientLibraryMissing) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addShare("photo", "/volume1/photo");
    root.useDatabase();  // the server is there: only the library is missing
    // Where the loader finds the library on this machine (and CPU).
    void *handle = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    struct link_map *map = nullptr;
    ASSERT_EQ(dlinfo(handle, RTLD_DI_LINKMAP, &map), 0) << dlerror();
    char real[PATH_MAX];
    ASSERT_NE(realpath(map->l_name, real), nullptr) << map->l_name;
    const std::string lib = real;
    dlclose(handle);
    ASSERT_EQ(unlink(lib.c_str()), 0) << strerror(errno);  // in this root's /usr only

    root.writeFile("/volume1/photo/album/IMG_1.JPG", "jpeg", 0600);
    RunResult r = root.run({program("kavophoto_acl"), "--apply", "/volume1/photo/album/IMG_1.JPG"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    struct stat st;
    ASSERT_EQ(stat("/volume1/photo/album/IMG_1.JPG", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);  // a share root without an ACL: the path is opened up

    r = root.run({program("kavouserdata_lumora")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{}\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(root.logged("libpq.so.5"))  // the cause names the library
        << ::testing::PrintToString(root.logLines());
    EXPECT_TRUE(root.logged("Failed to connect to database"));
}
