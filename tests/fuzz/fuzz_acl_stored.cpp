// Fuzz target: the reader of the ACL attribute's stored value (the compact form, or the text
// form older versions wrote) and the compact writer.
//
// Whatever the input, the reader may not read past it, crash or leak, and a refused value
// leaves the handle alone. A value that reads writes back to a compact value that reads to the
// same ACL and writes again to the same bytes; a compact value that reads is already in that
// form, byte for byte.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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
    // The exact length, in a copy of its own: nothing past it to lean on.
    unsigned char *value = static_cast<unsigned char *>(malloc(size > 0 ? size : 1));
    if (value == nullptr) {
        return 0;
    }
    memcpy(value, data, size);
    PKAVOACL acl = nullptr;
    if (KAVOACLFromStored(value, size, &acl) != 0) {
        if (acl != nullptr) {
            abort();
        }
        free(value);
        return 0;
    }
    size_t len = 0;
    unsigned char *out = KAVOACLToStored(acl, &len);
    if (out == nullptr) {
        abort();  // every ACL that was read can be stored
    }
    if (size > 0 && value[0] == 0 && (len != size || memcmp(out, value, size) != 0)) {
        abort();
    }
    PKAVOACL again = nullptr;
    if (KAVOACLFromStored(out, len, &again) != 0 || !sameAcl(acl, again)) {
        abort();
    }
    size_t len2 = 0;
    unsigned char *out2 = KAVOACLToStored(again, &len2);
    if (out2 == nullptr || len2 != len || memcmp(out2, out, len) != 0) {
        abort();
    }
    free(out2);
    KAVOACLFree(again);
    free(out);
    KAVOACLFree(acl);
    free(value);
    return 0;
}
