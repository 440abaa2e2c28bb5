// Fuzz target: the entry text parser and the attribute text parser of the ACL service.
//
// Whatever the input, neither parser may read past it, crash or leak; an attribute text that
// parses must write back to a text that parses to the same ACL.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kavoacl.h"

static bool sameAcl(const KAVOACL *a, const KAVOACL *b) {
    if (a->blInherit != b->blInherit || a->nAce != b->nAce) {
        return false;
    }
    for (int i = 0; i < a->nAce; i++) {
        const KAVOACE *x = &a->pAce[i];
        const KAVOACE *y = &b->pAce[i];
        if (x->type != y->type || x->id != y->id || x->perm != y->perm ||
            x->inherit != y->inherit || x->isAllow != y->isAllow) {
            return false;
        }
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The entry parser reads a terminated string: everything up to the first zero byte.
    std::string text(reinterpret_cast<const char *>(data), size);
    KAVOACE ace;
    memset(&ace, 0, sizeof(ace));
    if (KAVOACLAceFromStr(1, text.c_str(), &ace) == 0) {
        if (ace.type != KAVO_ACE_USER && ace.type != KAVO_ACE_GROUP &&
            ace.type != KAVO_ACE_EVERYONE) {
            abort();
        }
        if ((ace.perm & ~(uint32_t)KAVO_PERM_ALL) != 0 || (ace.inherit & ~0xF) != 0 ||
            (ace.isAllow != 0 && ace.isAllow != 1) || ace.level != 0 || ace.reserved != 0) {
            abort();
        }
        if ((ace.type == KAVO_ACE_EVERYONE) != (ace.id == -1)) {
            abort();
        }
    }

    // The attribute parser is given the exact length: the copy has no terminator to lean on.
    char *exact = static_cast<char *>(malloc(size > 0 ? size : 1));
    if (exact == nullptr) {
        return 0;
    }
    memcpy(exact, data, size);
    PKAVOACL acl = nullptr;
    if (KAVOACLFromText(exact, size, &acl) == 0) {
        char *out = KAVOACLToText(acl);
        if (out == nullptr) {
            abort();  // every ACL that was read can be written
        }
        PKAVOACL again = nullptr;
        if (KAVOACLFromText(out, strlen(out), &again) != 0 || !sameAcl(acl, again)) {
            abort();
        }
        KAVOACLFree(again);
        free(out);
        KAVOACLFree(acl);
    } else if (acl != nullptr) {
        abort();  // a refused text leaves the handle alone
    }
    free(exact);
    return 0;
}
