// String lists: a growable array of owned strings with an item count.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "kavocore.h"

// Largest capacity a list may start with or grow to.
#define SZLIST_MAX_ITEMS (1 << 24)

PVLIBC_SZLIST VLIBCSzListAlloc(int capacity) {
    PVLIBC_SZLIST list;

    if (capacity < 1 || capacity > SZLIST_MAX_ITEMS) {
        errno = EINVAL;
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return nullptr;
    }
    list = (PVLIBC_SZLIST)calloc(1, sizeof(*list));
    if (list == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    list->pszItem = (char **)calloc((size_t)capacity, sizeof(char *));
    if (list->pszItem == nullptr) {
        free(list);
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    list->nAlloc = capacity;
    list->nItem = 0;
    return list;
}

int VLIBCSzListPush(PVLIBC_SZLIST *listRef, const char *s) {
    PVLIBC_SZLIST list;
    char **items;
    char *copy;
    int capacity;

    if (listRef == nullptr || *listRef == nullptr || s == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    list = *listRef;
    if (list->nItem < 0 || list->nItem > list->nAlloc || list->pszItem == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (list->nItem == list->nAlloc) {
        if (list->nAlloc >= SZLIST_MAX_ITEMS) {
            errno = ENOMEM;
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return -1;
        }
        capacity = list->nAlloc * 2;
        if (capacity > SZLIST_MAX_ITEMS) {
            capacity = SZLIST_MAX_ITEMS;
        }
        items = (char **)realloc(list->pszItem, (size_t)capacity * sizeof(char *));
        if (items == nullptr) {
            VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
            return -1;
        }
        memset(items + list->nAlloc, 0, (size_t)(capacity - list->nAlloc) * sizeof(char *));
        list->pszItem = items;
        list->nAlloc = capacity;
    }
    copy = strdup(s);
    if (copy == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    list->pszItem[list->nItem++] = copy;
    return 0;
}

const char *VLIBCSzListGet(const VLIBC_SZLIST *list, int index) {
    if (list == nullptr || list->pszItem == nullptr || index < 0 || index >= list->nItem) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return nullptr;
    }
    return list->pszItem[index];
}

void VLIBCSzListFree(PVLIBC_SZLIST list) {
    int i;

    if (list == nullptr) {
        return;
    }
    if (list->pszItem != nullptr) {
        for (i = 0; i < list->nItem && i < list->nAlloc; i++) {
            free(list->pszItem[i]);
        }
        free(list->pszItem);
    }
    free(list);
}
