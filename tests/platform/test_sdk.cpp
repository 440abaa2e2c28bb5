// Users and login names, user enumeration, and EA directories.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"
#include "kavosdk.h"

using lumora::test::ApplianceRoot;

namespace {

std::string convert(const char *name, size_t size = KAVO_LOGIN_NAME_SIZE, int *result = nullptr) {
    std::vector<char> buf(size, 'x');
    int r = KAVOUserLoginNameConvert(name, buf.data(), size);
    if (result != nullptr) {
        *result = r;
    }
    if (r <= 0) {
        return "<" + std::to_string(r) + ">";
    }
    return std::string(buf.data());
}

std::vector<std::string> enumUsers() {
    PVLIBC_SZLIST list = VLIBCSzListAlloc(2);
    std::vector<std::string> names;
    EXPECT_NE(list, nullptr);
    if (list == nullptr) {
        return names;
    }
    int r = VLIBUserEnum(&list, VLIB_USER_ENUM_LOCAL, 0);
    EXPECT_GE(r, 0);
    for (int i = 0; i < list->nItem; i++) {
        names.push_back(VLIBCSzListGet(list, i));
    }
    VLIBCSzListFree(list);
    return names;
}

bool isDir(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(Users, LoginNameIgnoresAsciiCaseAndKeepsAccountSpelling) {
    ApplianceRoot root;
    root.addUser("Alice");
    root.addUser("bob");

    EXPECT_EQ(convert("alice"), "Alice");
    EXPECT_EQ(convert("ALICE"), "Alice");
    EXPECT_EQ(convert("Alice"), "Alice");
    EXPECT_EQ(convert("BoB"), "bob");
    EXPECT_EQ(convert("alic"), "<0>");
    EXPECT_EQ(convert("alicee"), "<0>");
    EXPECT_EQ(convert("nosuchuser"), "<0>");
}

TEST(Users, LoginNameExactSpellingWinsOverOtherCase) {
    ApplianceRoot root;
    root.addUser("Carl");
    root.addUser("carl");

    EXPECT_EQ(convert("carl"), "carl");
    EXPECT_EQ(convert("Carl"), "Carl");
    // No exact match: the first account in database order.
    EXPECT_EQ(convert("CARL"), "Carl");
}

TEST(Users, LoginNameRefusesBadArgumentsWithoutOverrun) {
    ApplianceRoot root;
    root.addUser("averyveryverylongname");
    char buf[8];

    EXPECT_EQ(KAVOUserLoginNameConvert(nullptr, buf, sizeof(buf)), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOUserLoginNameConvert("", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOUserLoginNameConvert("bob", nullptr, 10), -1);
    EXPECT_EQ(KAVOUserLoginNameConvert("bob", buf, 0), -1);

    // The account name does not fit: refused, and nothing is written past the buffer.
    char guarded[16];
    memset(guarded, '#', sizeof(guarded));
    EXPECT_EQ(KAVOUserLoginNameConvert("AVERYVERYVERYLONGNAME", guarded, 8), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    for (size_t i = 8; i < sizeof(guarded); i++) {
        EXPECT_EQ(guarded[i], '#') << i;
    }
    int r = 0;
    EXPECT_EQ(convert("AVERYVERYVERYLONGNAME", 22, &r), "averyveryverylongname");
    EXPECT_EQ(r, 1);
}

TEST(Users, UserRecordIsOneBlock) {
    ApplianceRoot root;
    gid_t gid = root.addGroup("carolgrp", 2345);
    uid_t uid = root.addUser("carol", 1234, gid, "/volume1/homes/carol");

    PKAVOUSER user = nullptr;
    ASSERT_EQ(KAVOUserGet("carol", &user), 0);
    ASSERT_NE(user, nullptr);
    EXPECT_STREQ(user->szName, "carol");
    EXPECT_EQ(user->uid, uid);
    EXPECT_EQ(user->uid, 1234u);
    EXPECT_EQ(user->gid, 2345u);
    EXPECT_STREQ(user->szHome, "/volume1/homes/carol");
    // Released with the system allocator alone: the leak checker sees any second block.
    free(user);

    user = nullptr;
    ASSERT_EQ(KAVOUserGet("carol", &user), 0);
    KAVOUserFree(user);
    KAVOUserFree(nullptr);
}

TEST(Users, UserGetMissingAndBadArguments) {
    ApplianceRoot root;
    root.addUser("dora");
    PKAVOUSER user = reinterpret_cast<PKAVOUSER>(0x1);

    EXPECT_EQ(KAVOUserGet("DORA", &user), -1);  // names are exact here
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_NOT_FOUND);
    EXPECT_EQ(KAVOUserGet("nosuchuser", &user), -1);
    EXPECT_EQ(KAVOUserGet(nullptr, &user), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOUserGet("", &user), -1);
    EXPECT_EQ(KAVOUserGet("dora", nullptr), -1);
    std::string longName(600, 'a');
    EXPECT_EQ(KAVOUserGet(longName.c_str(), &user), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
}

TEST(Users, EnumListsLocalAccountsInDatabaseOrder) {
    ApplianceRoot root;
    root.addUser("u_sys", 999);
    root.addUser("u_zed", 1500);
    root.addUser("u_first", 1000);
    root.addUser("u_last", 65533);
    root.addUser("u_nobody", 65534);
    root.addUser("u_high", 70000);
    root.addUser("u_amy", 1600);

    std::vector<std::string> all = enumUsers();
    std::vector<std::string> ours;
    for (const std::string &name : all) {
        if (name.compare(0, 2, "u_") == 0) {
            ours.push_back(name);
        }
        PKAVOUSER user = nullptr;
        ASSERT_EQ(KAVOUserGet(name.c_str(), &user), 0) << name;
        EXPECT_GE(user->uid, 1000u) << name;
        EXPECT_LT(user->uid, 65534u) << name;
        KAVOUserFree(user);
    }
    EXPECT_EQ(ours, (std::vector<std::string>{"u_zed", "u_first", "u_last", "u_amy"}));

    PVLIBC_SZLIST list = VLIBCSzListAlloc(4);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(VLIBUserEnum(&list, 5, 0), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(list->nItem, 0);
    VLIBCSzListFree(list);
    EXPECT_EQ(VLIBUserEnum(nullptr, VLIB_USER_ENUM_LOCAL, 0), -1);
}

TEST(EADirs, PathsOfAFileAndItsEntries) {
    char buf[KAVO_PATH_SIZE];

    ASSERT_EQ(KAVOEADirPath(0, "/volume1/photo/a/IMG_1.JPG", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/volume1/photo/a/@eaDir/IMG_1.JPG");
    ASSERT_EQ(KAVOEADirPath(0, "/volume1/photo/album/", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/volume1/photo/@eaDir/album");
    ASSERT_EQ(KAVOEADirPath(0, "/top", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/@eaDir/top");

    ASSERT_EQ(KAVOEAPath(0, "/volume1/photo/a/IMG_1.JPG", "KAVOPHOTO_THUMB_PREVIEW.jpg", buf,
                         sizeof(buf), 0),
              0);
    EXPECT_STREQ(buf, "/volume1/photo/a/@eaDir/IMG_1.JPG/KAVOPHOTO_THUMB_PREVIEW.jpg");

    // Entries never reach out of the EA directory; paths need a last component.
    EXPECT_EQ(KAVOEAPath(0, "/v/p/a.jpg", "../x", buf, sizeof(buf), 0), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOEAPath(0, "/v/p/a.jpg", "..", buf, sizeof(buf), 0), -1);
    EXPECT_EQ(KAVOEAPath(0, "/v/p/a.jpg", "", buf, sizeof(buf), 0), -1);
    EXPECT_EQ(KAVOEAPath(0, "/v/p/a.jpg", nullptr, buf, sizeof(buf), 0), -1);
    EXPECT_EQ(KAVOEADirPath(0, "/", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOEADirPath(0, "/v/..", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOEADirPath(0, "", buf, sizeof(buf)), -1);
    EXPECT_EQ(KAVOEADirPath(0, nullptr, buf, sizeof(buf)), -1);
    std::string longPath = "/" + std::string(4100, 'a');
    EXPECT_EQ(KAVOEADirPath(0, longPath.c_str(), buf, sizeof(buf)), -1);
}

TEST(EADirs, SmallBuffersAreNeverOverrun) {
    char guarded[64];
    memset(guarded, '#', sizeof(guarded));

    // "/v/@eaDir/name" needs 15 bytes.
    EXPECT_EQ(KAVOEADirPath(0, "/v/name", guarded, 14), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    for (size_t i = 14; i < sizeof(guarded); i++) {
        EXPECT_EQ(guarded[i], '#') << i;
    }
    EXPECT_EQ(KAVOEADirPath(0, "/v/name", guarded, 15), 0);
    EXPECT_STREQ(guarded, "/v/@eaDir/name");

    memset(guarded, '#', sizeof(guarded));
    EXPECT_EQ(KAVOEAPath(0, "/v/name", "E", guarded, 16, 0), -1);
    for (size_t i = 16; i < sizeof(guarded); i++) {
        EXPECT_EQ(guarded[i], '#') << i;
    }
    EXPECT_EQ(KAVOEAPath(0, "/v/name", "E", guarded, 17, 0), 0);
    EXPECT_STREQ(guarded, "/v/@eaDir/name/E");
}

TEST(EADirs, MakeWithAndWithoutMissingParents) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");

    // Flag 1: the photo's folder must be there.
    EXPECT_EQ(KAVOEAMKDir(1, "/volume1/photo/missing/@eaDir/a.jpg"), -1);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/missing"));

    root.makeDir("/volume1/photo/album");
    EXPECT_EQ(KAVOEAMKDir(1, "/volume1/photo/album/@eaDir/a.jpg"), 0);
    EXPECT_TRUE(isDir("/volume1/photo/album/@eaDir/a.jpg"));
    EXPECT_EQ(KAVOEAMKDir(1, "/volume1/photo/album/@eaDir/a.jpg"), 0);  // already there

    // Flag 0 makes whatever is missing.
    EXPECT_EQ(KAVOEAMKDir(0, "/volume1/photo/new/deep/@eaDir/b.jpg"), 0);
    EXPECT_TRUE(isDir("/volume1/photo/new/deep/@eaDir/b.jpg"));
    EXPECT_EQ(KAVOEAMKDir(0, "/var/services/photo/@eaDir"), 0);
    EXPECT_TRUE(isDir("/volume1/photo/@eaDir"));

    // Something else in the way.
    root.writeFile("/volume1/photo/album/@eaDir/c.jpg", "x");
    EXPECT_EQ(KAVOEAMKDir(0, "/volume1/photo/album/@eaDir/c.jpg"), -1);
    EXPECT_EQ(KAVOEAMKDir(0, nullptr), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
    EXPECT_EQ(KAVOEAMKDir(0, ""), -1);
}

TEST(EADirs, HiddenNames) {
    EXPECT_NE(KAVOEAIsHiddenDir("@eaDir"), 0);
    EXPECT_NE(KAVOEAIsHiddenDir("@tmp"), 0);
    EXPECT_NE(KAVOEAIsHiddenDir("@sharebin"), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir("@eaDir2"), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir("eaDir"), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir("@EADIR"), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir("#recycle"), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir(""), 0);
    EXPECT_EQ(KAVOEAIsHiddenDir(nullptr), 0);
}

TEST(EADirs, RemoveTakesOnlyThePathsEAData) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/photo/a/x.jpg", "photo");
    root.writeFile("/volume1/photo/a/@eaDir/x.jpg/KAVOPHOTO_THUMB_PREVIEW.jpg", "p");
    root.writeFile("/volume1/photo/a/@eaDir/x.jpg/deep/more", "m");
    root.writeFile("/volume1/photo/a/@eaDir/x.jpg2/KEEP", "k");
    KAVOEA_REMOVE_OPT opt = {1, 0};

    EXPECT_EQ(KAVOEARemove("/volume1/photo/a/x.jpg", -1, &opt), 0);
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/a/@eaDir/x.jpg"));
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a/x.jpg"), "photo");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/photo/a/@eaDir/x.jpg2/KEEP"), "k");

    // No EA data is no error.
    EXPECT_EQ(KAVOEARemove("/volume1/photo/a/x.jpg", -1, &opt), 0);
    EXPECT_EQ(KAVOEARemove("/volume1/photo/none/y.jpg", -1, &opt), 0);
    EXPECT_EQ(KAVOEARemove(nullptr, -1, &opt), -1);
    EXPECT_EQ(KAVOEARemove("/volume1/photo/a/x.jpg", -1, nullptr), -1);
    EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_BAD_PARAMETERS);
}

TEST(EADirs, PlantedLinksAreNeverFollowed) {
    ApplianceRoot root;
    root.addShare("photo", "/volume1/photo");
    root.writeFile("/volume1/victim/album/keep.jpg", "k");
    root.writeFile("/volume1/victim/x.jpg/keep", "k2");
    root.writeFile("/volume1/photo/a/x.jpg", "x");
    root.writeFile("/volume1/photo/b/y.jpg", "y");
    root.makeDir("/volume1/photo/b/@eaDir");
    // "@eaDir" of a/ is a link out; the EA directory of b/y.jpg is a link out.
    ASSERT_EQ(symlink("/volume1/victim", "/volume1/photo/a/@eaDir"), 0);
    ASSERT_EQ(symlink("/volume1/victim/album", "/volume1/photo/b/@eaDir/y.jpg"), 0);
    KAVOEA_REMOVE_OPT opt = {1, 0};

    EXPECT_EQ(KAVOEARemove("/volume1/photo/a/x.jpg", -1, &opt), -1);
    EXPECT_EQ(KAVOEARemove("/volume1/photo/b/y.jpg", -1, &opt), 0);  // the link itself goes
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/photo/b/@eaDir/y.jpg"));
    ASSERT_EQ(symlink("/volume1/victim/album", "/volume1/photo/b/@eaDir/y.jpg"), 0);
    EXPECT_EQ(KAVOEAMKDir(1, "/volume1/photo/a/@eaDir/x.jpg"), -1);
    EXPECT_EQ(KAVOEAMKDir(1, "/volume1/photo/b/@eaDir/y.jpg"), -1);
    for (int create : {0, 1}) {
        EXPECT_EQ(KAVOEADirOpenBeneath("/volume1/photo", "/volume1/photo/a/x.jpg", create), -1);
        EXPECT_EQ(errno, ELOOP);
        EXPECT_EQ(KAVOEADirOpenBeneath("/volume1/photo", "/volume1/photo/b/y.jpg", create), -1);
        EXPECT_EQ(errno, ELOOP);
    }
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/victim/album/keep.jpg"), "k");
    EXPECT_EQ(ApplianceRoot::readFile("/volume1/victim/x.jpg/keep"), "k2");
    EXPECT_FALSE(ApplianceRoot::exists("/volume1/victim/album/@eaDir"));

    // Reached beneath the root, an item's EA directory is made and opened as asked.
    int fd = KAVOEADirOpenBeneath("/volume1/photo", "/volume1/photo/b/z.jpg", 1);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(isDir("/volume1/photo/b/@eaDir/z.jpg"));
    EXPECT_EQ(KAVOEADirOpenBeneath("/volume1/photo", "/volume1/photo/b/w.jpg", 0), -1);
    EXPECT_EQ(errno, ENOENT);
}
