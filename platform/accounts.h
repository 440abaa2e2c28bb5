// Inside the platform libraries only: a walk over the system account database.
#pragma once

#include <pwd.h>

// Walks the account database in order; cb returns non-zero to stop. 0, or -1 on failure (error
// recorded).
int kavoWalkAccounts(int (*cb)(const struct passwd *pw, void *ctx), void *ctx);
