// Helpers shared by the album ACL tests: reading a path's ACL and owner, building entries,
// and snapshots of a whole tree. Folders swapped for links: lumora::test::Swapper.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "kavoacl.h"

namespace acltest {

const uint32_t kBrowse = 0x75, kUpload = 0x18B, kManage = 0x7FF;
const uint32_t kEveryoneId = 0xFFFFFFFFu;  // the id of an everyone entry, -1

// The album and permission tables of the gallery database that the conversion reads.
const char *const kAlbumSchema = R"SQL(
CREATE TABLE photo_share (shareid serial PRIMARY KEY, sharename text, public boolean DEFAULT false,
                          is_subdir boolean DEFAULT false);
CREATE TABLE photo_access_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_upload_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_manage_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_group_permission_for_nmx_account (groupid integer, permission integer,
                                                     shareid integer);
)SQL";
const uint16_t kAlbumInherit = 10;  // "f--n"

struct Entry {
    int32_t type;
    int32_t id;
    uint32_t perm;
    uint16_t inherit;
    int32_t allow;
    bool operator==(const Entry &o) const {
        return type == o.type && id == o.id && perm == o.perm && inherit == o.inherit &&
               allow == o.allow;
    }
};

inline std::ostream &operator<<(std::ostream &os, const Entry &e) {
    return os << "{" << e.type << "," << e.id << ",0x" << std::hex << e.perm << ",0x" << e.inherit
              << std::dec << "," << e.allow << "}";
}

// The id field of an entry for a uid or gid: the same 32 bits.
inline int32_t aceId(uint32_t id) {
    return static_cast<int32_t>(id);
}

// An album entry as the conversions and the hook write it; id is a uid or gid, or
// (uint32_t)-1 for everyone.
inline Entry albumEntry(int32_t type, uint32_t id, uint32_t perm) {
    return Entry{type, aceId(id), perm, kAlbumInherit, 1};
}

struct Acl {
    bool present = false;
    bool inherit = false;
    std::vector<Entry> entries;
};

// The ACL stored on the path itself (not followed through links).
inline Acl aclOf(const std::string &path) {
    Acl out;
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), SZ_KAVO_ACL_XATTR, buf, sizeof buf);
    if (n < 0) {
        return out;
    }
    PKAVOACL acl = nullptr;
    if (KAVOACLFromStored(buf, (size_t)n, &acl) != 0 || !acl) {
        ADD_FAILURE() << "unreadable ACL on " << path;
        return out;
    }
    out.present = true;
    out.inherit = acl->blInherit != 0;
    for (int i = 0; i < acl->nAce; ++i) {
        const KAVOACE &a = acl->pAce[i];
        out.entries.push_back(Entry{a.type, a.id, a.perm, a.inherit, a.isAllow});
    }
    KAVOACLFree(acl);
    return out;
}

// The path's ACL in text form (as kavoacl_show prints it), "<none>" without one; a value
// that does not parse comes back as stored.
inline std::string rawAcl(const std::string &path) {
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), SZ_KAVO_ACL_XATTR, buf, sizeof buf);
    if (n < 0) {
        return std::string("<none>");
    }
    PKAVOACL acl = nullptr;
    if (KAVOACLFromStored(buf, (size_t)n, &acl) != 0) {
        return std::string(buf, (size_t)n);
    }
    char *text = KAVOACLToText(acl);
    std::string out = text ? text : "<unprintable>";
    free(text);
    KAVOACLFree(acl);
    return out;
}

// Writes entries onto a path as root, from the ACE text form.
inline void addAceText(const std::string &path, const std::string &text) {
    KAVOACE ace = {};
    ASSERT_EQ(KAVOACLAceFromStr(1, text.c_str(), &ace), 0) << text;
    ASSERT_EQ(KAVOACLAdd(path.c_str(), &ace), 0) << path;
}

inline void addEntry(const std::string &path, const Entry &e) {
    KAVOACE ace = {};
    ace.type = e.type;
    ace.id = e.id;
    ace.perm = e.perm;
    ace.inherit = e.inherit;
    ace.isAllow = e.allow;
    ASSERT_EQ(KAVOACLAdd(path.c_str(), &ace), 0) << path;
}

// The base ACL that a converted root carries.
inline void writeBaseAcl(const std::string &root) {
    addAceText(root, "user:Lumora:allow:rwxpdDaARWcCo:fd--");
    addAceText(root, "user:admin:allow:rwxpdDaARWc--:fd--");
    addAceText(root, "group:administrators:allow:rwxpdDaARWc--:fd--");
}

inline std::vector<Entry> baseEntries(const lumora::test::ApplianceRoot &root) {
    return {Entry{1, aceId(root.uidOf("Lumora")), 0x1FFF, 3, 1},
            Entry{1, aceId(root.uidOf("admin")), 0x7FF, 3, 1},
            Entry{4, aceId(root.gidOf("administrators")), 0x7FF, 3, 1}};
}

inline uid_t ownerOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : (uid_t)-2;
}

inline gid_t groupOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_gid : (gid_t)-2;
}

inline mode_t modeOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Every path below top (top included): owner, group and raw ACL text.
struct TreeState {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    std::string acl;
    bool operator==(const TreeState &o) const {
        return uid == o.uid && gid == o.gid && mode == o.mode && acl == o.acl;
    }
};

inline std::ostream &operator<<(std::ostream &os, const TreeState &t) {
    return os << t.uid << ":" << t.gid << " " << std::oct << t.mode << std::dec << " [" << t.acl
              << "]";
}

inline std::map<std::string, TreeState> *treeSink() {
    static std::map<std::string, TreeState> sink;
    return &sink;
}

inline std::map<std::string, TreeState> snapshot(const std::string &top) {
    treeSink()->clear();
    nftw(
        top.c_str(),
        [](const char *path, const struct stat *st, int, struct FTW *) {
            (*treeSink())[path] =
                TreeState{st->st_uid, st->st_gid, st->st_mode & 07777, rawAcl(path)};
            return 0;
        },
        16, FTW_PHYS);
    return *treeSink();
}

// A real ext4 file system (4 KiB blocks, 256-byte inodes) on a loop device, mounted at dir.
// The image lies in the private root's /tmp.
inline void mountExt4(const std::string &dir) {
    std::string img = "/tmp/ext4-" + std::to_string(getpid()) + ".img";
    std::string cmd = "truncate -s 32M " + img + " && mkfs.ext4 -q -F -b 4096 -I 256 " + img +
                      " && mkdir -p " + dir + " && mount -o loop " + img + " " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Polls until cond holds or about 60 seconds pass (for work left to a background process).
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 600; ++i) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return cond();
}

}  // namespace acltest
