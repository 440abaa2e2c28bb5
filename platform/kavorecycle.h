// libkavorecycle: the recycle bin of a share.
//
// The bin of a share lies at share path + "/#recycle/", and an item keeps its path relative to
// the share there; missing folders are created. An item already in the bin keeps its place
// and the newcomer gets a numbered name ("name (1).ext", "name (2).ext", ...). For the share
// name "home" the settings of the "homes" share apply and the share path is the user's home.
// A folder on the way that a file or a link of the same name blocks in the bin is numbered the
// same way ("album (1)/..."). The item and the bin are reached from the share path without
// following any link (a path through a link, or a link planted in the bin or as "@eaDir", is
// never followed: refused, or numbered past); the item is renamed from its opened folder.
#pragma once

#include "kavocore.h"

#define SZ_RECYCLE_DIR "#recycle"

int KAVORecycleStatusGet(const char *shareName, int *on);                  // 0 or -1
int KAVORecycleAdminOnlyStatusGet(const char *shareName, int *adminOnly);  // 0 or -1
// Move a file / a folder (relative path) into the share's bin. flags must be 0. With
// adminOnly the bin folder is made readable by the group "administrators" only. 0 or -1.
int KAVORecycleUnlinkFileWithSharePath(const char *sharePath, const char *relPath, int flags,
                                       int adminOnly);
int KAVORecycleRmDirWithSharePath(const char *sharePath, const char *relPath, int flags,
                                  int adminOnly);
// The bin path an item would take (numbered when taken). 0 or -1. Exposed for the tests.
int KAVORecycleTargetPath(const char *sharePath, const char *relPath, char *buf, size_t size);
