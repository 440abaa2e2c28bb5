// Inside the platform libraries only: a walk over the system account database, and the
// records that the user and share calls hand out.
#pragma once

#include <pwd.h>
#include <stdlib.h>
#include <string.h>

#include "kavocore.h"

// Walks the account database in order; cb returns non-zero to stop. 0, or -1 on failure (error
// recorded).
int kavoWalkAccounts(int (*cb)(const struct passwd *pw, void *ctx), void *ctx);

// A record with copies of the strings a and b behind it in one block, so that free() alone
// releases it all: its fields first and second point at the copies, every other field is
// zero. Null (KAVO_ERR_OUT_OF_MEMORY recorded) when the block cannot be had.
template <typename Record>
Record *kavoRecordWithStrings(const char *a, char *Record::*first, const char *b,
                              char *Record::*second) {
    size_t aLen = strlen(a), bLen = strlen(b);
    Record *record = (Record *)calloc(1, sizeof(Record) + aLen + 1 + bLen + 1);

    if (record == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    record->*first = (char *)(record + 1);
    memcpy(record->*first, a, aLen + 1);
    record->*second = record->*first + aLen + 1;
    memcpy(record->*second, b, bLen + 1);
    return record;
}

// What a call that looks a record up by name checks first: clears *out, then refuses a name
// that is null, empty or not shorter than size, and a null out. 0, or -1
// (KAVO_ERR_BAD_PARAMETERS recorded).
template <typename Record>
int kavoRecordLookupStart(const char *name, size_t size, Record **out) {
    if (out != nullptr) {
        *out = nullptr;
    }
    if (name == nullptr || name[0] == '\0' || out == nullptr || strlen(name) >= size) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    return 0;
}
