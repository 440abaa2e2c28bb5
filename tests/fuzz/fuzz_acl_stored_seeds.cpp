// Writes the seed values of fuzz_acl_stored into a folder: ACLs stored by the compact writer
// (empty, inheriting, every kind, every bit, a long list) and one value in the text form.
//   fuzz_acl_stored_seeds FOLDER
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kavoacl.h"

static int put(const std::string &path, const void *data, size_t len) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        return -1;
    }
    size_t written = fwrite(data, 1, len, f);
    if (fclose(f) != 0 || written != len) {
        perror(path.c_str());
        return -1;
    }
    return 0;
}

static KAVOACE ace(int32_t type, int32_t id, uint32_t perm, uint16_t inherit, int32_t allow) {
    KAVOACE a;
    memset(&a, 0, sizeof(a));
    a.type = type;
    a.id = id;
    a.perm = perm;
    a.inherit = inherit;
    a.isAllow = allow;
    return a;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        (void)fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::vector<KAVOACE>> lists = {
        {},
        {ace(KAVO_ACE_USER, 1000, KAVO_PERM_READ | KAVO_PERM_EXECUTE, KAVO_INHERIT_DIR, 1)},
        {ace(KAVO_ACE_USER, 0, KAVO_PERM_ALL, 0xF, 1),
         ace(KAVO_ACE_GROUP, 100, KAVO_PERM_WRITE, 0, 0),
         ace(KAVO_ACE_EVERYONE, -1, KAVO_PERM_READ, KAVO_INHERIT_FILE | KAVO_INHERIT_ONLY, 1),
         ace(KAVO_ACE_GROUP, 0x7FFFFFFF, KAVO_PERM_DELETE | KAVO_PERM_OWNERSHIP, 0, 1)},
    };
    std::vector<KAVOACE> many;
    for (int i = 0; i < 300; i++) {
        many.push_back(ace(i % 3 == 2   ? KAVO_ACE_EVERYONE
                           : i % 3 == 1 ? KAVO_ACE_GROUP
                                        : KAVO_ACE_USER,
                           i % 3 == 2 ? -1 : 1000 + i, (uint32_t)i & KAVO_PERM_ALL,
                           (uint16_t)(i & 0xF), i & 1));
    }
    lists.push_back(many);
    int seed = 0;
    for (size_t i = 0; i < lists.size(); i++) {
        for (int inherit = 0; inherit < 2; inherit++) {
            KAVOACL acl;
            memset(&acl, 0, sizeof(acl));
            acl.blInherit = inherit;
            acl.nAce = (int)lists[i].size();
            acl.nAlloc = acl.nAce;
            acl.pAce = lists[i].empty() ? nullptr : lists[i].data();
            size_t len = 0;
            unsigned char *value = KAVOACLToStored(&acl, &len);
            if (value == nullptr) {
                (void)fprintf(stderr, "cannot store seed %zu\n", i);
                return 1;
            }
            int rc = put(dir + "/" + std::to_string(seed++) + "-compact", value, len);
            free(value);
            if (rc < 0) {
                return 1;
            }
        }
    }
    const char *text =
        "kavoacl 1 "
        "inherit\nuser:1000:allow:r-x----------:fd--\neveryone:-1:deny:-w-----------:----\n";
    return put(dir + "/" + std::to_string(seed) + "-text", text, strlen(text)) < 0 ? 1 : 0;
}
