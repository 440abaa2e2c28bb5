// The ACL service: entry texts, the attribute's text form, changes of a path's ACL, and the
// permissions a process gets through several levels of inheritance.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../acl/acl_test_util.h"
#include "harness.h"
#include "kavoacl.h"

using lumora::test::ApplianceRoot;

namespace {

const char *const kLumoraText = "user:Lumora:allow:rwxpdDaARWcCo:fd--";
const char *const kAdminText = "user:admin:allow:rwxpdDaARWc--:fd--";
const char *const kAdminsText = "group:administrators:allow:rwxpdDaARWc--:fd--";
const char *const kEveryoneText = "everyone:*:allow:r-x---a-R-c--:f--n";

const uint32_t kBrowse = 0x75;
const uint32_t kUpload = 0x18B;
const uint32_t kManage = 0x7FF;
const uint16_t kAlbumInherit = 10;  // what the programs write numerically

// The path's ACL in text form, as kavoacl_show prints it (a value that does not parse comes
// back as it is stored); *present tells whether the attribute exists.
std::string rawAcl(const std::string &path, bool *present = nullptr) {
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), SZ_KAVO_ACL_XATTR, buf, sizeof(buf));
    PKAVOACL acl = nullptr;
    std::string out;

    if (present != nullptr) {
        *present = n >= 0;
    }
    if (n < 0) {
        return std::string();
    }
    if (KAVOACLFromStored(buf, (size_t)n, &acl) != 0) {
        return std::string(buf, (size_t)n);
    }
    char *text = KAVOACLToText(acl);
    out = text != nullptr ? text : "<unprintable>";
    free(text);
    KAVOACLFree(acl);
    return out;
}

// The value as stored.
std::string storedAcl(const std::string &path) {
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), SZ_KAVO_ACL_XATTR, buf, sizeof(buf));
    return n < 0 ? std::string() : std::string(buf, (size_t)n);
}

void setRawAcl(const std::string &path, const std::string &value) {
    ASSERT_EQ(setxattr(path.c_str(), SZ_KAVO_ACL_XATTR, value.data(), value.size(), 0), 0)
        << strerror(errno);
}

KAVOACE aceNumeric(int32_t type, int32_t id, uint32_t perm, uint16_t inherit, int32_t allow = 1) {
    KAVOACE ace;

    memset(&ace, 0, sizeof(ace));
    ace.type = type;
    ace.id = id;
    ace.perm = perm;
    ace.inherit = inherit;
    ace.isAllow = allow;
    return ace;
}

void addText(const std::string &path, const char *text) {
    KAVOACE ace;

    memset(&ace, 0, sizeof(ace));
    ASSERT_EQ(KAVOACLAceFromStr(1, text, &ace), 0) << text;
    ASSERT_EQ(KAVOACLAdd(path.c_str(), &ace), 0) << path << " " << text;
}

bool allZero(const KAVOACE &ace) {
    static const KAVOACE zero = {};
    return memcmp(&ace, &zero, sizeof(ace)) == 0;
}

// Runs KAVOACLPermGet for each path in a forked child that has taken on the user's identity
// (effective uid, effective gid and supplementary groups). -1 stands for a failed call.
std::vector<int64_t> permsAs(const std::string &user, const std::vector<std::string> &paths) {
    std::vector<int64_t> result;
    int fds[2];
    pid_t pid;
    int status = 0;

    if (pipe(fds) < 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    pid = fork();
    if (pid == 0) {
        struct passwd *pw = getpwnam(user.c_str());
        close(fds[0]);
        if (pw == nullptr || initgroups(user.c_str(), pw->pw_gid) < 0 || setegid(pw->pw_gid) < 0 ||
            seteuid(pw->pw_uid) < 0) {
            _exit(3);
        }
        for (const std::string &p : paths) {
            uint32_t mask = 0;
            int64_t v = KAVOACLPermGet(p.c_str(), &mask) < 0 ? -1 : (int64_t)mask;
            if (write(fds[1], &v, sizeof(v)) != (ssize_t)sizeof(v)) {
                _exit(4);
            }
        }
        _exit(0);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        ADD_FAILURE() << "fork: " << strerror(errno);
        return result;
    }
    for (;;) {
        int64_t v;
        ssize_t n = read(fds[0], &v, sizeof(v));
        if (n != (ssize_t)sizeof(v)) {
            break;
        }
        result.push_back(v);
    }
    close(fds[0]);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child for " << user;
    EXPECT_EQ(result.size(), paths.size());
    return result;
}

}  // namespace

// ---- Entry texts ---------------------------------------------------------------------------

TEST(AceText, SystemTextsGiveTheirEntries) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    struct Case {
        const char *text;
        int32_t type;
        int32_t id;
        uint32_t perm;
        uint16_t inherit;
    } cases[] = {
        {kLumoraText, KAVO_ACE_USER, (int32_t)root.uidOf("Lumora"), KAVO_PERM_ALL, 0x3},
        {kAdminText, KAVO_ACE_USER, (int32_t)root.uidOf("admin"), kManage, 0x3},
        {kAdminsText, KAVO_ACE_GROUP, (int32_t)root.gidOf("administrators"), kManage, 0x3},
        {kEveryoneText, KAVO_ACE_EVERYONE, -1, kBrowse, kAlbumInherit},
    };
    for (const Case &c : cases) {
        KAVOACE ace;
        memset(&ace, 0, sizeof(ace));
        ASSERT_EQ(KAVOACLAceFromStr(1, c.text, &ace), 0) << c.text;
        EXPECT_EQ(ace.type, c.type) << c.text;
        EXPECT_EQ(ace.id, c.id) << c.text;
        EXPECT_EQ(ace.perm, c.perm) << c.text;
        EXPECT_EQ(ace.inherit, c.inherit) << c.text;
        EXPECT_EQ(ace.isAllow, 1) << c.text;
        EXPECT_EQ(ace.level, 0) << c.text;
        EXPECT_EQ(ace.reserved, 0) << c.text;
    }
}

TEST(AceText, EachLetterIsItsOwnBit) {
    ApplianceRoot root;
    const char letters[] = "rwxpdDaARWcCo";
    const uint32_t bits[] = {0x4,   0x2,  0x1,   0x8,  0x80,  0x100, 0x10,
                             0x200, 0x20, 0x400, 0x40, 0x800, 0x1000};
    const char inherit[] = "fdin";
    const uint16_t inheritBits[] = {0x2, 0x1, 0x4, 0x8};

    for (int i = 0; i < 13; i++) {
        std::string perm(13, '-');
        perm[i] = letters[i];
        std::string text = "everyone:*:deny:" + perm + ":----";
        KAVOACE ace = {};
        ASSERT_EQ(KAVOACLAceFromStr(1, text.c_str(), &ace), 0) << text;
        EXPECT_EQ(ace.perm, bits[i]) << text;
        EXPECT_EQ(ace.isAllow, 0) << text;
        EXPECT_EQ(ace.inherit, 0) << text;
    }
    for (int i = 0; i < 4; i++) {
        std::string field(4, '-');
        field[i] = inherit[i];
        std::string text = "everyone:*:allow:-------------:" + field;
        KAVOACE ace = {};
        ASSERT_EQ(KAVOACLAceFromStr(1, text.c_str(), &ace), 0) << text;
        EXPECT_EQ(ace.inherit, inheritBits[i]) << text;
        EXPECT_EQ(ace.perm, 0u) << text;
    }
    KAVOACE upload = {};
    ASSERT_EQ(KAVOACLAceFromStr(1, "everyone:*:allow:-wxpdD-------:fd--", &upload), 0);
    EXPECT_EQ(upload.perm, kUpload);
}

TEST(AceText, MalformedTextsAreRefused) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    root.addUser("alice");
    const std::string longName(3000, 'a');
    const char *bad[] = {
        "",
        "everyone:*:allow:r-x---a-R-c--",              // four fields
        "everyone:*:allow:r-x---a-R-c--:f--n:",        // six fields
        "everyone:*:allow:r-x---a-R-c--:f--n:x",       // six fields
        "everyone:*:allow:r-x---a-R-c--:f--n ",        // trailing garbage
        "everyone:*:allow:r-x---a-R-c--:f--n\n",       // trailing line end
        " everyone:*:allow:r-x---a-R-c--:f--n",        // leading blank
        "Everyone:*:allow:r-x---a-R-c--:f--n",         // kind word case
        "users:alice:allow:r-x---a-R-c--:f--n",        // unknown kind word
        "everyone:*:Allow:r-x---a-R-c--:f--n",         // allow word case
        "everyone:*:permit:r-x---a-R-c--:f--n",        // neither allow nor deny
        "everyone:*:allow:r-x---a-R-c-:f--n",          // 12 permission letters
        "everyone:*:allow:r-x---a-R-c---:f--n",        // 14 permission letters
        "everyone:*:allow:x-r---a-R-c--:f--n",         // letters out of place
        "everyone:*:allow:R-x---a-R-c--:f--n",         // wrong case
        "everyone:*:allow:r?x---a-R-c--:f--n",         // neither letter nor '-'
        "everyone:*:allow:r-x---a-R-c--:f-n",          // 3 inheritance letters
        "everyone:*:allow:r-x---a-R-c--:f--n-",        // 5 inheritance letters
        "everyone:*:allow:r-x---a-R-c--:d--n",         // d in the first position
        "everyone:*:allow:r-x---a-R-c--:fd-i",         // i in the fourth position
        "everyone:alice:allow:r-x---a-R-c--:f--n",     // everyone with a name
        "everyone::allow:r-x---a-R-c--:f--n",          // everyone without "*"
        "user:*:allow:r-x---a-R-c--:f--n",             // "*" for a user
        "user::allow:r-x---a-R-c--:f--n",              // no name
        "user:nosuchuser:allow:r-x---a-R-c--:f--n",    // unknown user
        "group:nosuchgroup:allow:r-x---a-R-c--:f--n",  // unknown group
        "group:alice2:allow:r-x---a-R-c--:f--n",       // unknown group
        "user:1001:allow:r-x---a-R-c--:f--n",          // ids are no names
        "user:alice :allow:r-x---a-R-c--:f--n",        // name with a blank
    };
    for (const char *text : bad) {
        KAVOACE ace = {};
        EXPECT_EQ(KAVOACLAceFromStr(1, text, &ace), -1) << "[" << text << "]";
        EXPECT_TRUE(allZero(ace)) << "[" << text << "]";
        EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_PARSE) << "[" << text << "]";
    }
    std::string over = "user:" + longName + ":allow:r-x---a-R-c--:f--n";
    KAVOACE ace = {};
    EXPECT_EQ(KAVOACLAceFromStr(1, over.c_str(), &ace), -1);
    EXPECT_TRUE(allZero(ace));

    // Only selector 1 is known; null arguments are refused, not followed.
    EXPECT_EQ(KAVOACLAceFromStr(2, kEveryoneText, &ace), -1);
    EXPECT_EQ(KAVOACLAceFromStr(1, nullptr, &ace), -1);
    EXPECT_EQ(KAVOACLAceFromStr(1, kEveryoneText, nullptr), -1);
    EXPECT_TRUE(allZero(ace));

    // The account database decides, the same name is fine once it exists.
    root.addGroup("alice2");
    EXPECT_EQ(KAVOACLAceFromStr(1, "group:alice2:allow:r-x---a-R-c--:f--n", &ace), 0);
    EXPECT_EQ(ace.id, (int32_t)root.gidOf("alice2"));
}

// ---- The attribute's text form -------------------------------------------------------------

TEST(AclText, RoundTrip) {
    const std::string text =
        "kavoacl 1 inherit\n"
        "user:1001:allow:rwxpdDaARWcCo:fd--\n"
        "group:0:deny:-w-----------:----\n"
        "everyone:-1:allow:r-x---a-R-c--:f--n\n"
        "user:4294967294:allow:-------------:fdin\n";
    PKAVOACL acl = nullptr;

    ASSERT_EQ(KAVOACLFromText(text.data(), text.size(), &acl), 0);
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(acl->blInherit, 1);
    ASSERT_EQ(acl->nAce, 4);
    EXPECT_EQ(acl->pAce[0].type, KAVO_ACE_USER);
    EXPECT_EQ(acl->pAce[0].id, 1001);
    EXPECT_EQ(acl->pAce[0].perm, (uint32_t)KAVO_PERM_ALL);
    EXPECT_EQ(acl->pAce[1].type, KAVO_ACE_GROUP);
    EXPECT_EQ(acl->pAce[1].isAllow, 0);
    EXPECT_EQ(acl->pAce[1].perm, (uint32_t)KAVO_PERM_WRITE);
    EXPECT_EQ(acl->pAce[2].type, KAVO_ACE_EVERYONE);
    EXPECT_EQ(acl->pAce[2].id, -1);
    EXPECT_EQ(acl->pAce[2].perm, kBrowse);
    EXPECT_EQ(acl->pAce[2].inherit, kAlbumInherit);
    EXPECT_EQ((uint32_t)acl->pAce[3].id, 4294967294u);
    EXPECT_EQ(acl->pAce[3].inherit, 0xF);
    char *out = KAVOACLToText(acl);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), text);
    free(out);
    KAVOACLFree(acl);

    // A last line without its line end is read; the writer always ends lines.
    const std::string bare = "kavoacl 1 -\neveryone:-1:allow:r-x---a-R-c--:f--n";
    acl = nullptr;
    ASSERT_EQ(KAVOACLFromText(bare.data(), bare.size(), &acl), 0);
    EXPECT_EQ(acl->blInherit, 0);
    EXPECT_EQ(acl->nAce, 1);
    out = KAVOACLToText(acl);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), bare + "\n");
    free(out);
    KAVOACLFree(acl);
}

TEST(AclText, MalformedAttributesAreRefused) {
    const std::string bad[] = {
        "",
        "kavoacl 1\n",
        "kavoacl 2 -\n",
        "kavoacl 1 inherit \n",
        "kavoacl 1 -\r\n",
        "kavoacl 1 -\n\n",
        "kavoacl 1 -\neveryone:-1:allow:r-x---a-R-c--:f--n\n\n",
        "kavoacl 1 -\neveryone:0:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:-1:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:01:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:+1:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:4294967295:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:99999999999:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:alice:allow:r-x---a-R-c--:f--n\n",
        "kavoacl 1 -\nuser:1:allow:r-x---a-R-c--:f--n:\n",
        "kavoacl 1 -\nuser:1:allow:r-x---a-R-c--\n",
        std::string("kavoacl 1 -\nuser:1:allow:r-x---a-R-c--:f--n\0\n", 45),
    };
    for (const std::string &text : bad) {
        PKAVOACL acl = nullptr;
        EXPECT_EQ(KAVOACLFromText(text.data(), text.size(), &acl), -1) << "[" << text << "]";
        EXPECT_EQ(acl, nullptr);
    }
    // The length given is the end: nothing past it is read.
    const std::string withTail = "kavoacl 1 -\nuser:1:allow:r-x---a-R-c--:f--n\nGARBAGE";
    PKAVOACL acl = nullptr;
    ASSERT_EQ(KAVOACLFromText(withTail.data(), withTail.size() - 7, &acl), 0);
    EXPECT_EQ(acl->nAce, 1);
    KAVOACLFree(acl);

    // Entries that the text form cannot hold are not written.
    KAVOACE wrong[] = {
        aceNumeric(KAVO_ACE_USER, 5, 0x2000, 0),
        aceNumeric(KAVO_ACE_USER, 5, kBrowse, 0x10),
        aceNumeric(KAVO_ACE_EVERYONE, 0, kBrowse, 0),
        aceNumeric(KAVO_ACE_USER, -1, kBrowse, 0),
        aceNumeric(2, 5, kBrowse, 0),
        aceNumeric(KAVO_ACE_USER, 5, kBrowse, 0, 2),
    };
    for (KAVOACE &ace : wrong) {
        KAVOACL one = {0, 1, 1, &ace};
        EXPECT_EQ(KAVOACLToText(&one), nullptr);
    }
}

// ---- Changes of a path's ACL ---------------------------------------------------------------

TEST(AclAttribute, AddKeepsOrderAndAddsNoDuplicate) {
    ApplianceRoot root;
    root.addLumoraAccounts();
    const std::string dir = "/volume1/photo";
    root.makeDir(dir);
    const std::string lumora = std::to_string(root.uidOf("Lumora"));
    const std::string admin = std::to_string(root.uidOf("admin"));
    const std::string admins = std::to_string(root.gidOf("administrators"));

    bool present = true;
    rawAcl(dir, &present);
    EXPECT_FALSE(present);
    EXPECT_EQ(KAVOACLIsApply(dir.c_str()), 0);
    EXPECT_EQ(KAVOACLIsSupport(dir.c_str(), -1, 2), 0);

    addText(dir, kLumoraText);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 -\nuser:" + lumora + ":allow:rwxpdDaARWcCo:fd--\n");
    EXPECT_EQ(KAVOACLIsApply(dir.c_str()), 1);
    EXPECT_EQ(KAVOACLIsSupport(dir.c_str(), -1, 2), 1);

    addText(dir, kAdminText);
    addText(dir, kAdminsText);
    addText(dir, kLumoraText);  // already there
    KAVOACE everyone = aceNumeric(KAVO_ACE_EVERYONE, -1, kBrowse, kAlbumInherit);
    ASSERT_EQ(KAVOACLAdd(dir.c_str(), &everyone), 0);
    addText(dir, kEveryoneText);  // the same entry in text form
    KAVOACE upload = aceNumeric(KAVO_ACE_EVERYONE, -1, kUpload, kAlbumInherit);
    ASSERT_EQ(KAVOACLAdd(dir.c_str(), &upload), 0);  // differs by mask: a new entry
    EXPECT_EQ(rawAcl(dir),
              "kavoacl 1 -\n"
              "user:" +
                  lumora +
                  ":allow:rwxpdDaARWcCo:fd--\n"
                  "user:" +
                  admin +
                  ":allow:rwxpdDaARWc--:fd--\n"
                  "group:" +
                  admins +
                  ":allow:rwxpdDaARWc--:fd--\n"
                  "everyone:-1:allow:r-x---a-R-c--:f--n\n"
                  "everyone:-1:allow:-wxpdD-------:f--n\n");

    // Entries the form cannot hold, and missing paths, are refused and change nothing.
    const std::string before = rawAcl(dir);
    KAVOACE wrong = aceNumeric(KAVO_ACE_USER, 7, 0x4000, 0);
    EXPECT_EQ(KAVOACLAdd(dir.c_str(), &wrong), -1);
    EXPECT_EQ(rawAcl(dir), before);
    EXPECT_EQ(KAVOACLAdd("/volume1/photo/missing", &everyone), -1);
    EXPECT_EQ(KAVOACLIsApply("/volume1/photo/missing"), -1);
    EXPECT_EQ(KAVOACLAdd(nullptr, &everyone), -1);
    EXPECT_EQ(KAVOACLIsApply(""), -1);
}

TEST(AclAttribute, EnforceInheritArchiveAndDelete) {
    ApplianceRoot root;
    const std::string dir = "/volume1/photo/album";
    root.makeDir(dir);
    root.writeFile(dir + "/a.jpg", "jpeg");

    addText(dir, kEveryoneText);
    ASSERT_EQ(KAVOACLArchiveEnable(dir.c_str(), -1, 1, 0), 0);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\neveryone:-1:allow:r-x---a-R-c--:f--n\n");
    ASSERT_EQ(KAVOACLArchiveEnable(dir.c_str(), -1, 0, 0), 0);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 -\neveryone:-1:allow:r-x---a-R-c--:f--n\n");

    // Enforcing inheritance drops the path's own entries.
    ASSERT_EQ(KAVOACLEnforceInherit(dir.c_str()), 0);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\n");
    ASSERT_EQ(KAVOACLEnforceInherit((dir + "/a.jpg").c_str()), 0);
    EXPECT_EQ(rawAcl(dir + "/a.jpg"), "kavoacl 1 inherit\n");
    EXPECT_EQ(KAVOACLIsApply((dir + "/a.jpg").c_str()), 1);

    // Adding to an inheriting path keeps it inheriting.
    addText(dir, kEveryoneText);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\neveryone:-1:allow:r-x---a-R-c--:f--n\n");

    // The inherit bit on a path without an ACL: setting creates one, clearing leaves none.
    const std::string bare = "/volume1/photo/bare";
    root.makeDir(bare);
    ASSERT_EQ(KAVOACLArchiveEnable(bare.c_str(), -1, 0, 0), 0);
    EXPECT_EQ(KAVOACLIsApply(bare.c_str()), 0);
    ASSERT_EQ(KAVOACLArchiveEnable(bare.c_str(), -1, 1, 0), 0);
    EXPECT_EQ(rawAcl(bare), "kavoacl 1 inherit\n");

    ASSERT_EQ(KAVOACLDelete(dir.c_str(), -1), 0);
    EXPECT_EQ(KAVOACLIsApply(dir.c_str()), 0);
    EXPECT_EQ(KAVOACLDelete(dir.c_str(), -1), 0);  // nothing left to remove
    EXPECT_EQ(KAVOACLDelete("/volume1/photo/missing", -1), -1);
    EXPECT_EQ(KAVOACLEnforceInherit("/volume1/photo/missing"), -1);
}

// An album holding five entries, one of them written from text, and inheriting.
class AclGetRemoveSet : public ::testing::Test {
   protected:
    void SetUp() override {
        root.addLumoraAccounts();
        root.addUser("alice");
        root.makeDir(dir);
        alice = static_cast<int32_t>(root.uidOf("alice"));
        addText(dir, kAdminText);
        addText(dir, kEveryoneText);  // written from text, removed by numbers
        browse = aceNumeric(KAVO_ACE_USER, alice, kBrowse, kAlbumInherit);
        KAVOACE upload = aceNumeric(KAVO_ACE_USER, alice, kUpload, kAlbumInherit);
        KAVOACE denied = aceNumeric(KAVO_ACE_EVERYONE, -1, kBrowse, kAlbumInherit, 0);
        ASSERT_EQ(KAVOACLAdd(dir.c_str(), &browse), 0);
        ASSERT_EQ(KAVOACLAdd(dir.c_str(), &upload), 0);
        ASSERT_EQ(KAVOACLAdd(dir.c_str(), &denied), 0);
        ASSERT_EQ(KAVOACLArchiveEnable(dir.c_str(), -1, 1, 0), 0);
    }

    // Removes what meets the criteria from the album's ACL as read; the count left.
    static int removeFrom(PKAVOACL acl, uint32_t fields, const KAVOACE &ace) {
        KAVOACE_CRITERIA crit;
        memset(&crit, 0, sizeof(crit));
        crit.fields = fields;
        crit.ace = ace;
        EXPECT_EQ(KAVOACLAceRemove(acl, &crit, 0), 0);
        return acl->nAce;
    }

    ApplianceRoot root;
    const std::string dir = "/volume1/photo/album";
    int32_t alice = 0;
    KAVOACE browse = {};
};

TEST_F(AclGetRemoveSet, AFolderWithoutAnAclGivesNone) {
    const std::string bare = "/volume1/photo/bare";
    root.makeDir(bare);
    PKAVOACL acl = nullptr;
    EXPECT_EQ(KAVOACLGet(bare.c_str(), -1, 2, &acl), 0);
    EXPECT_EQ(acl, nullptr);
}

TEST_F(AclGetRemoveSet, RemovalComparesOwnerMaskAndAllowOnly) {
    const uint32_t fields = KAVO_ACE_MATCH_OWNER | KAVO_ACE_MATCH_PERM | KAVO_ACE_MATCH_ALLOW;
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet(dir.c_str(), -1, 2, &acl), 0);
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(acl->nAce, 5);
    EXPECT_EQ(acl->blInherit, 1);

    // The inheritance flags are not compared.
    EXPECT_EQ(removeFrom(acl, fields, aceNumeric(KAVO_ACE_EVERYONE, -1, kBrowse, 0, 1)), 4);
    EXPECT_EQ(removeFrom(acl, fields, aceNumeric(KAVO_ACE_USER, alice, kUpload, 0, 1)), 3);
    EXPECT_EQ(removeFrom(acl, fields, aceNumeric(KAVO_ACE_USER, alice + 1, kBrowse, 0, 1)), 3);

    // Criteria that name nothing would match everything: refused, nothing removed.
    KAVOACE_CRITERIA none;
    memset(&none, 0, sizeof(none));
    EXPECT_EQ(KAVOACLAceRemove(acl, &none, 0), -1);
    none.fields = 0x100;
    EXPECT_EQ(KAVOACLAceRemove(acl, &none, 0), -1);
    EXPECT_EQ(acl->nAce, 3);

    ASSERT_EQ(KAVOACLSet(dir.c_str(), -1, acl), 0);
    KAVOACLFree(acl);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\nuser:" + std::to_string(root.uidOf("admin")) +
                               ":allow:rwxpdDaARWc--:fd--\nuser:" + std::to_string(alice) +
                               ":allow:r-x---a-R-c--:f--n\neveryone:-1:deny:r-x---a-R-c--:f--n\n");
}

TEST_F(AclGetRemoveSet, RemovingByOwnerAloneTakesEveryEntryOfIt) {
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet(dir.c_str(), -1, 2, &acl), 0);
    EXPECT_EQ(removeFrom(acl, KAVO_ACE_MATCH_OWNER, aceNumeric(KAVO_ACE_USER, alice, 0, 0)), 3);
    KAVOACLFree(acl);
}

TEST_F(AclGetRemoveSet, ADamagedAttributeIsReportedAndNotWrittenOver) {
    setRawAcl(dir, "kavoacl 1 -\nuser:oops\n");
    PKAVOACL acl = nullptr;
    EXPECT_EQ(KAVOACLGet(dir.c_str(), -1, 2, &acl), -1);
    EXPECT_EQ(acl, nullptr);
    EXPECT_EQ(KAVOACLIsApply(dir.c_str()), 1);
    EXPECT_EQ(KAVOACLAdd(dir.c_str(), &browse), -1);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 -\nuser:oops\n");
}

TEST(AclAttribute, ConcurrentAddsAreAllKept) {
    ApplianceRoot root;
    const std::string dir = "/volume1/photo/album";
    root.makeDir(dir);
    const int kChildren = 4;
    const int kEach = 100;
    std::vector<pid_t> pids;
    int start[2];

    // The children start together, when the parent closes the pipe.
    ASSERT_EQ(pipe(start), 0);
    for (int c = 0; c < kChildren; c++) {
        pid_t pid = fork();
        if (pid == 0) {
            char byte;
            close(start[1]);
            if (read(start[0], &byte, 1) != 0) {
                _exit(2);
            }
            for (int i = 0; i < kEach; i++) {
                KAVOACE ace = aceNumeric(KAVO_ACE_USER, 5000 + c * kEach + i, kBrowse, 10);
                if (KAVOACLAdd(dir.c_str(), &ace) < 0) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet(dir.c_str(), -1, 2, &acl), 0);
    std::vector<bool> seen(kChildren * kEach, false);
    for (int i = 0; i < acl->nAce; i++) {
        int k = acl->pAce[i].id - 5000;
        ASSERT_TRUE(k >= 0 && k < kChildren * kEach);
        EXPECT_FALSE(seen[k]) << "twice: " << acl->pAce[i].id;
        seen[k] = true;
    }
    EXPECT_EQ(acl->nAce, kChildren * kEach);
    KAVOACLFree(acl);
}

// ---- Inheritance and permissions -----------------------------------------------------------

class AclInheritance : public ::testing::Test {
   protected:
    void SetUp() override {
        root_.addLumoraAccounts();
        root_.addUser("alice");
        root_.addUser("bob");
        root_.addUser("carol");
        root_.addUser("dave");
        root_.addGroup("viewers", 0, {"dave"});

        // share root: the three base entries
        root_.makeDir(P);
        addText(P, kLumoraText);
        addText(P, kAdminText);
        addText(P, kAdminsText);
        // album: inherits; browse for alice and everyone to its files, viewers read/write
        // below it
        root_.makeDir(A);
        ASSERT_EQ(KAVOACLEnforceInherit(A.c_str()), 0);
        KAVOACE alice =
            aceNumeric(KAVO_ACE_USER, (int32_t)root_.uidOf("alice"), kBrowse, kAlbumInherit);
        ASSERT_EQ(KAVOACLAdd(A.c_str(), &alice), 0);
        addText(A, kEveryoneText);
        addText(A, "group:viewers:allow:rw-----------:fd--");
        for (const std::string &d : {A + "/sub", A + "/sub/deeper"}) {
            root_.makeDir(d);
            ASSERT_EQ(KAVOACLEnforceInherit(d.c_str()), 0);
        }
        for (const std::string &f :
             {A + "/photo.jpg", A + "/sub/deep.jpg", A + "/sub/deeper/x.jpg"}) {
            root_.writeFile(f, "jpeg", 0600);
            ASSERT_EQ(KAVOACLEnforceInherit(f.c_str()), 0);
        }
        root_.writeFile(A + "/noattr.jpg", "jpeg", 0644);  // never put under the ACL

        // private album: everyone may browse, carol is denied reading, bob may write the
        // files below only (inherit-only)
        root_.makeDir(B);
        ASSERT_EQ(KAVOACLEnforceInherit(B.c_str()), 0);
        addText(B, "everyone:*:allow:r-x---a-R-c--:fd--");
        addText(B, "user:carol:deny:r------------:fd--");
        addText(B, "user:bob:allow:-w-----------:fdi-");
        root_.writeFile(B + "/file.jpg", "jpeg", 0600);
        ASSERT_EQ(KAVOACLEnforceInherit((B + "/file.jpg").c_str()), 0);

        // no ACL anywhere
        root_.makeDir("/volume1/plain");
        root_.writeFile("/volume1/plain/f.txt", "text", 0640, root_.uidOf("alice"),
                        root_.gidOf("viewers"));
    }

    ApplianceRoot root_;
    const std::string P = "/volume1/photo";
    const std::string A = "/volume1/photo/album";
    const std::string B = "/volume1/photo/private";
};

TEST_F(AclInheritance, EffectiveAclFollowsTheFlags) {
    const int32_t alice = (int32_t)root_.uidOf("alice");
    struct Expect {
        std::string path;
        int entries;    // size of the effective ACL
        bool hasAlice;  // alice's f--n entry reaches it
    } cases[] = {
        {P, 3, false},
        {A, 3 + 3, true},                 // own three, the base three
        {A + "/photo.jpg", 3 + 3, true},  // n entries reach direct files
        {A + "/sub", 3 + 1, false},       // base three, viewers (d); f--n do not reach folders
        {A + "/sub/deep.jpg", 3 + 1, false},
        {A + "/sub/deeper", 3 + 1, false},
        {A + "/sub/deeper/x.jpg", 3 + 1, false},
        {A + "/noattr.jpg", 0, false},  // no attribute: no inheritance
    };
    for (const Expect &e : cases) {
        PKAVOACL eff = nullptr;
        ASSERT_EQ(KAVOACLGetEffective(e.path.c_str(), &eff), 0) << e.path;
        ASSERT_NE(eff, nullptr);
        EXPECT_EQ(eff->nAce, e.entries) << e.path;
        bool hasAlice = false;
        for (int i = 0; i < eff->nAce; i++) {
            if (eff->pAce[i].type == KAVO_ACE_USER && eff->pAce[i].id == alice) {
                hasAlice = true;
                // an inherited n entry goes no further
                if (e.path != A) {
                    EXPECT_EQ(eff->pAce[i].inherit, 0) << e.path;
                }
            }
        }
        EXPECT_EQ(hasAlice, e.hasAlice) << e.path;
        KAVOACLFree(eff);
    }
    PKAVOACL eff = nullptr;
    EXPECT_EQ(KAVOACLGetEffective("/volume1/photo/none", &eff), -1);
    EXPECT_EQ(eff, nullptr);
}

TEST_F(AclInheritance, PermissionMasksThroughSeveralLevels) {
    const std::vector<std::string> paths = {
        A,                        // 0
        A + "/photo.jpg",         // 1
        A + "/sub",               // 2
        A + "/sub/deep.jpg",      // 3
        A + "/sub/deeper/x.jpg",  // 4
        B,                        // 5
        B + "/file.jpg",          // 6
        A + "/noattr.jpg",        // 7
        "/volume1/plain/f.txt",   // 8
        A + "/missing.jpg",       // 9
    };
    const uint32_t rw = KAVO_PERM_READ | KAVO_PERM_WRITE;
    struct Expect {
        const char *user;
        std::vector<int64_t> masks;
    } cases[] = {
        {"alice", {kBrowse, kBrowse, 0, 0, 0, kBrowse, kBrowse, 0x4, 0x6, -1}},
        {"bob", {kBrowse, kBrowse, 0, 0, 0, kBrowse, kBrowse | KAVO_PERM_WRITE, 0x4, 0x0, -1}},
        {"carol", {kBrowse, kBrowse, 0, 0, 0, kBrowse & ~0x4u, kBrowse & ~0x4u, 0x4, 0x0, -1}},
        {"dave", {kBrowse | rw, kBrowse | rw, rw, rw, rw, kBrowse, kBrowse, 0x4, 0x4, -1}},
        // the base entries of the share root reach every level of both albums
        {"Lumora",
         {KAVO_PERM_ALL, KAVO_PERM_ALL, KAVO_PERM_ALL, KAVO_PERM_ALL, KAVO_PERM_ALL, KAVO_PERM_ALL,
          KAVO_PERM_ALL, 0x4, 0x0, -1}},
        {"admin", {kManage, kManage, kManage, kManage, kManage, kManage, kManage, 0x4, 0x0, -1}},
    };
    for (const Expect &e : cases) {
        std::vector<int64_t> got = permsAs(e.user, paths);
        ASSERT_EQ(got.size(), paths.size()) << e.user;
        for (size_t i = 0; i < paths.size(); i++) {
            EXPECT_EQ(got[i], e.masks[i]) << e.user << " on " << paths[i];
        }
    }

    // root gets every bit, with or without an ACL; a missing path is still an error
    for (const std::string &p : {A + "/photo.jpg", std::string("/volume1/plain/f.txt")}) {
        uint32_t mask = 0;
        ASSERT_EQ(KAVOACLPermGet(p.c_str(), &mask), 0);
        EXPECT_EQ(mask, (uint32_t)KAVO_PERM_ALL) << p;
    }
    uint32_t mask = 0;
    EXPECT_EQ(KAVOACLPermGet((A + "/missing.jpg").c_str(), &mask), -1);
}

TEST_F(AclInheritance, OthersReadButDoNotChange) {
    // Run as alice: her ACL is readable, but no change goes through.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        struct passwd *pw = getpwnam("alice");
        close(fds[0]);
        if (pw == nullptr || initgroups("alice", pw->pw_gid) < 0 || setegid(pw->pw_gid) < 0 ||
            seteuid(pw->pw_uid) < 0) {
            _exit(3);
        }
        KAVOACE ace = aceNumeric(KAVO_ACE_EVERYONE, -1, KAVO_PERM_ALL, 0);
        int r[4] = {KAVOACLIsApply(A.c_str()), KAVOACLAdd(A.c_str(), &ace),
                    KAVOACLEnforceInherit((A + "/photo.jpg").c_str()),
                    KAVOACLDelete(A.c_str(), -1)};
        _exit(write(fds[1], r, sizeof(r)) == (ssize_t)sizeof(r) ? 0 : 4);
    }
    close(fds[1]);
    ASSERT_GT(pid, 0);
    int r[4] = {9, 9, 9, 9};
    EXPECT_EQ(read(fds[0], r, sizeof(r)), (ssize_t)sizeof(r));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[1], -1);
    EXPECT_EQ(r[2], -1);
    EXPECT_EQ(r[3], -1);
    EXPECT_EQ(rawAcl(A + "/photo.jpg"), "kavoacl 1 inherit\n");
    EXPECT_EQ(KAVOACLIsApply(A.c_str()), 1);
}

// ---- Stored form and descriptors --------------------------------------------------------------

TEST(AclStored, CompactFormAndTheOldTextForm) {
    ApplianceRoot root;
    const std::string dir = "/volume1/photo/album";
    root.makeDir(dir);

    KAVOACE a = aceNumeric(KAVO_ACE_USER, 1025, kUpload, kAlbumInherit);
    KAVOACE g = aceNumeric(KAVO_ACE_GROUP, 70000, kManage, 0x3, 0);
    ASSERT_EQ(KAVOACLAdd(dir.c_str(), &a), 0);
    ASSERT_EQ(KAVOACLAdd(dir.c_str(), &g), 0);
    addText(dir, kEveryoneText);
    ASSERT_EQ(KAVOACLArchiveEnable(dir.c_str(), -1, 1, 0), 0);
    // 4 bytes of header and 8 an entry, little-endian.
    const std::string want(
        "\x00K\x02\x01"
        "\x01\x04\x00\x00\x8b\x41\x09\x00"
        "\x70\x11\x01\x00\xff\x67\x02\x00"
        "\xff\xff\xff\xff\x75\x40\x0d\x00",
        28);
    EXPECT_EQ(storedAcl(dir), want);
    EXPECT_EQ(rawAcl(dir),
              "kavoacl 1 inherit\n"
              "user:1025:allow:-wxpdD-------:f--n\n"
              "group:70000:deny:rwxpdDaARWc--:fd--\n"
              "everyone:-1:allow:r-x---a-R-c--:f--n\n");

    // An ACL stored in text form by an earlier version is read, and rewritten compactly on
    // the next change.
    setRawAcl(dir, "kavoacl 1 -\nuser:1025:allow:-wxpdD-------:f--n\n");
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet(dir.c_str(), -1, 2, &acl), 0);
    EXPECT_EQ(acl->nAce, 1);
    KAVOACLFree(acl);
    ASSERT_EQ(KAVOACLAdd(dir.c_str(), &g), 0);
    EXPECT_EQ(storedAcl(dir), std::string("\x00K\x02\x00", 4) + want.substr(4, 16));

    // Damaged compact values are refused, not half read.
    for (const std::string &bad :
         {std::string("\x00K\x02", 3), std::string("\x00K\x03\x00", 4),
          std::string("\x00J\x02\x00", 4), std::string("\x00K\x02\x02", 4),
          std::string("\x00K\x02\x00\x01\x00\x00\x00\x75\x00", 10),
          std::string("\x00K\x02\x00\x01\x00\x00\x00\x75\x00\x06\x00", 12),     // kind 3
          std::string("\x00K\x02\x00\x01\x00\x00\x00\x75\x00\x10\x00", 12),     // bit 20
          std::string("\x00K\x02\x00\xff\xff\xff\xff\x75\x00\x00\x00", 12),     // user -1
          std::string("\x00K\x02\x00\x00\x00\x00\x00\x75\x00\x04\x00", 12)}) {  // everyone 0
        acl = nullptr;
        EXPECT_EQ(KAVOACLFromStored(bad.data(), bad.size(), &acl), -1)
            << testing::PrintToString(bad);
        EXPECT_EQ(acl, nullptr);
    }
}

TEST(AclStored, DescriptorsAndLinks) {
    ApplianceRoot root;
    const std::string dir = "/volume1/photo/album";
    root.makeDir(dir);
    root.writeFile("/volume1/secret", "s", 0600);
    ASSERT_EQ(symlink("/volume1/secret", (dir + "/link").c_str()), 0);
    KAVOACE a = aceNumeric(KAVO_ACE_USER, 1025, kUpload, kAlbumInherit);

    // An O_PATH descriptor and a real one reach the same file.
    int pathFd = open(dir.c_str(), O_PATH | O_DIRECTORY);
    int realFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(pathFd, 0);
    ASSERT_GE(realFd, 0);
    EXPECT_EQ(KAVOACLIsApplyFd(pathFd), 0);
    ASSERT_EQ(KAVOACLAddFd(pathFd, &a), 0);
    EXPECT_EQ(KAVOACLIsApplyFd(realFd), 1);
    ASSERT_EQ(KAVOACLArchiveEnable(nullptr, pathFd, 1, 0), 0);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\nuser:1025:allow:-wxpdD-------:f--n\n");
    ASSERT_EQ(KAVOACLEnforceInheritFd(realFd), 0);
    EXPECT_EQ(rawAcl(dir), "kavoacl 1 inherit\n");
    ASSERT_EQ(KAVOACLDelete(nullptr, pathFd), 0);
    EXPECT_EQ(KAVOACLIsApplyFd(pathFd), 0);
    close(realFd);
    close(pathFd);

    // A link is never followed at the last component, by name or by descriptor.
    const std::string link = dir + "/link";
    int linkFd = open(link.c_str(), O_PATH | O_NOFOLLOW);
    ASSERT_GE(linkFd, 0);
    PKAVOACL acl = nullptr;
    KAVOACL empty = {1, 0, 0, nullptr};
    EXPECT_EQ(KAVOACLAdd(link.c_str(), &a), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(KAVOACLEnforceInherit(link.c_str()), -1);
    EXPECT_EQ(KAVOACLSet(link.c_str(), -1, &empty), -1);
    EXPECT_EQ(KAVOACLArchiveEnable(link.c_str(), -1, 1, 0), -1);
    EXPECT_EQ(KAVOACLIsApply(link.c_str()), -1);
    EXPECT_EQ(KAVOACLGet(link.c_str(), -1, 2, &acl), -1);
    EXPECT_EQ(KAVOACLAddFd(linkFd, &a), -1);
    EXPECT_EQ(KAVOACLEnforceInheritFd(linkFd), -1);
    EXPECT_EQ(KAVOACLDelete(nullptr, linkFd), -1);
    close(linkFd);
    bool present = true;
    rawAcl("/volume1/secret", &present);
    EXPECT_FALSE(present);
}

// On ext4 with 4 KiB blocks and 256-byte inodes every attribute of a file shares one block.
TEST(AclStored, AnAlbumHoldsFourHundredFiftyEntriesOnExt4) {
    ApplianceRoot root;
    const std::string mnt = "/volume1/ext4";
    acltest::mountExt4(mnt);
    const std::string dir = mnt + "/album";
    root.makeDir(dir);

    int stored = 0;
    for (int i = 0; i < 1024; i++) {
        KAVOACE ace = aceNumeric(KAVO_ACE_USER, 100000 + i, kBrowse, kAlbumInherit);
        if (KAVOACLAdd(dir.c_str(), &ace) != 0) {
            // Full: told as such, and the ACL is left as it was.
            EXPECT_EQ(VLIBCErrGet(), KAVO_ERR_ACL);
            EXPECT_TRUE(errno == ENOSPC || errno == E2BIG) << strerror(errno);
            break;
        }
        stored++;
    }
    EXPECT_GE(stored, 450);
    EXPECT_LT(stored, 1024);
    PKAVOACL acl = nullptr;
    ASSERT_GT(KAVOACLGet(dir.c_str(), -1, 2, &acl), 0);
    EXPECT_EQ(acl->nAce, stored);
    KAVOACLFree(acl);
    umount2(mnt.c_str(), MNT_DETACH);
}

TEST(AclReport, PrintErrLogs) {
    ApplianceRoot root;
    // The caller's place and the code; the words between are the service's own.
    EXPECT_EQ(KAVOACLPrintErr(KAVO_ERR_PARSE, 1, "caller.cpp", 77), 0);
    EXPECT_TRUE(root.logged("caller.cpp:77 "));
    EXPECT_TRUE(root.logged("[0x2100]"));
    EXPECT_EQ(KAVOACLPrintErr(KAVO_ERR_SYSTEM, 1, nullptr, 5), 0);
    EXPECT_TRUE(root.logged("kavoacl:5 "));
    EXPECT_TRUE(root.logged("[0xB00]"));
}
