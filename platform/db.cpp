// libkavodb: a thin client of the local PostgreSQL server on libpq.
//
// A connection is a PGconn and the text of its last error. A result set wraps the PGresult
// of its statement as it came from libpq, so nothing is copied, and since a PGresult does not
// depend on the PGconn that produced it, the rows stay readable after KAVODBClose.
//
// libpq and the many libraries it pulls in (TLS, GSSAPI, LDAP) are loaded by the first
// KAVODBConnect, not when the program starts: most commands of the programs that link this
// client never open the database and would otherwise pay for loading them on every run.
// libpq-fe.h gives the types only; the entry points are resolved by name.
#include "kavodb.h"

#include <dlfcn.h>
#include <errno.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <string.h>

#define SZ_SOURCE "kavodb"
#define SZ_LIBPQ "libpq.so.5"  // the library's ABI name: its major version

struct _tag_KAVODB {
    PGconn *conn;
    char *lastError;  // text of the last failure, null when none
};

struct _tag_KAVODB_RES {
    PGresult *res;
    int rowCount;
    int nextRow;  // the row the next KAVODBFetchRow hands out
};

#define SZ_NO_CONNECTION "no database connection"

// The entry points of libpq used here, resolved once; each member bears its function's name.
static struct {
    bool loaded;
    decltype(&::PQconnectdbParams) PQconnectdbParams;
    decltype(&::PQstatus) PQstatus;
    decltype(&::PQerrorMessage) PQerrorMessage;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor;
    decltype(&::PQexec) PQexec;
    decltype(&::PQresultStatus) PQresultStatus;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage;
    decltype(&::PQntuples) PQntuples;
    decltype(&::PQnfields) PQnfields;
    decltype(&::PQfnumber) PQfnumber;
    decltype(&::PQfname) PQfname;
    decltype(&::PQgetvalue) PQgetvalue;
    decltype(&::PQclear) PQclear;
    decltype(&::PQfinish) PQfinish;
} pq;

// Looks one entry point up; false (logged) when the library lacks it.
#define DB_RESOLVE(lib, fn) \
    ((pq.fn = reinterpret_cast<decltype(pq.fn)>(dbResolve((lib), #fn))) != nullptr)

static void *dbResolve(void *lib, const char *name) {
    void *sym;
    const char *why;

    dlerror();
    sym = dlsym(lib, name);
    if (sym == nullptr) {
        why = dlerror();
        KAVOLOG(SZ_SOURCE, "cannot find %s in %s: %s", name, SZ_LIBPQ,
                why ? why : "no such symbol");
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, name);
    }
    return sym;
}

// Loads libpq on first use. 0 when its entry points are at hand; -1 (logged, platform error
// KAVO_ERR_DB) when the library cannot be loaded or lacks one of them. A failure is not
// remembered: the next connection tries again.
static int dbLibraryLoad(void) {
    void *lib;
    const char *why;

    if (pq.loaded) {
        return 0;
    }
    lib = dlopen(SZ_LIBPQ, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        why = dlerror();
        KAVOLOG(SZ_SOURCE, "cannot load %s: %s", SZ_LIBPQ, why ? why : "unknown reason");
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, SZ_LIBPQ);
        return -1;
    }
    if (!DB_RESOLVE(lib, PQconnectdbParams) || !DB_RESOLVE(lib, PQstatus) ||
        !DB_RESOLVE(lib, PQerrorMessage) || !DB_RESOLVE(lib, PQsetNoticeProcessor) ||
        !DB_RESOLVE(lib, PQexec) || !DB_RESOLVE(lib, PQresultStatus) ||
        !DB_RESOLVE(lib, PQresultErrorMessage) || !DB_RESOLVE(lib, PQntuples) ||
        !DB_RESOLVE(lib, PQnfields) || !DB_RESOLVE(lib, PQfnumber) || !DB_RESOLVE(lib, PQfname) ||
        !DB_RESOLVE(lib, PQgetvalue) || !DB_RESOLVE(lib, PQclear) || !DB_RESOLVE(lib, PQfinish)) {
        dlclose(lib);
        return -1;
    }
    // The library stays loaded for the life of the process: results may outlive connections.
    pq.loaded = true;
    return 0;
}

// Server notices (such as "table does not exist, skipping") are no errors; libpq would print
// them on standard error, which belongs to the programs.
static void dbNoticeDrop(void *arg, const char *message) {
    (void)arg;
    (void)message;
}

// Keeps a copy of the message, trailing line ends and blanks dropped, as the last error.
static void dbErrorKeep(PKAVODB db, const char *msg) {
    char *copy;
    size_t len;

    if (msg == nullptr || msg[0] == '\0') {
        msg = "unknown database error";
    }
    len = strlen(msg);
    while (len > 0 && (msg[len - 1] == '\n' || msg[len - 1] == '\r' || msg[len - 1] == ' ')) {
        len--;
    }
    copy = strndup(msg, len);
    if (copy == nullptr) {
        return;  // the previous text stays; the failure itself is still recorded
    }
    free(db->lastError);
    db->lastError = copy;
}

PKAVODB KAVODBConnect(const char *host, const char *user, const char *password,
                      const char *dbname) {
    const char *const given[][2] = {
        {"host", host}, {"user", user}, {"password", password}, {"dbname", dbname}};
    const char *keys[5];
    const char *values[5];
    int n = 0;
    PKAVODB db;

    // Every value left null takes libpq's default: no host means the local socket.
    for (const auto &kv : given) {
        if (kv[1] != nullptr) {
            keys[n] = kv[0];
            values[n++] = kv[1];
        }
    }
    keys[n] = nullptr;
    values[n] = nullptr;

    if (dbLibraryLoad() != 0) {
        return nullptr;
    }
    db = (PKAVODB)calloc(1, sizeof(*db));
    if (db == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    db->conn = pq.PQconnectdbParams(keys, values, 0);
    if (db->conn == nullptr) {
        free(db);
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (pq.PQstatus(db->conn) != CONNECTION_OK) {
        dbErrorKeep(db, pq.PQerrorMessage(db->conn));
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->lastError);
        KAVODBClose(db);
        return nullptr;
    }
    pq.PQsetNoticeProcessor(db->conn, dbNoticeDrop, nullptr);
    return db;
}

int KAVODBExecute(PKAVODB db, const char *sql, PKAVODB_RES *resultOut) {
    PGresult *res;
    ExecStatusType status;
    PKAVODB_RES result;

    if (resultOut != nullptr) {
        *resultOut = nullptr;
    }
    if (db == nullptr || sql == nullptr || sql[0] == '\0' || resultOut == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }

    res = pq.PQexec(db->conn, sql);
    if (res == nullptr) {
        dbErrorKeep(db, pq.PQerrorMessage(db->conn));
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->lastError);
        return -1;
    }
    status = pq.PQresultStatus(res);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        dbErrorKeep(db, pq.PQresultErrorMessage(res));
        pq.PQclear(res);
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->lastError);
        return -1;
    }

    result = (PKAVODB_RES)calloc(1, sizeof(*result));
    if (result == nullptr) {
        pq.PQclear(res);
        dbErrorKeep(db, "out of memory");
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    result->res = res;
    result->rowCount = pq.PQntuples(res);
    result->nextRow = 0;
    *resultOut = result;
    return 0;
}

const char *KAVODBErrorGet(PKAVODB db) {
    if (db == nullptr) {
        return SZ_NO_CONNECTION;
    }
    if (db->lastError != nullptr) {
        return db->lastError;
    }
    return "";
}

int KAVODBFetchRow(PKAVODB_RES result, KAVODB_ROW *rowOut) {
    if (result == nullptr || rowOut == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (result->nextRow >= result->rowCount) {
        return 1;
    }
    *rowOut = result->nextRow++;
    return 0;
}

const char *KAVODBFetchField(PKAVODB_RES result, KAVODB_ROW row, const char *column) {
    int col;
    int i;
    int fieldCount;

    if (result == nullptr || column == nullptr || row < 0 || row >= result->rowCount) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return nullptr;
    }
    // PQfnumber reads the name as SQL does (folded to lower case unless quoted); a column
    // whose name was given quoted in the statement is also found by its exact spelling.
    col = pq.PQfnumber(result->res, column);
    if (col < 0) {
        fieldCount = pq.PQnfields(result->res);
        for (i = 0; i < fieldCount; i++) {
            if (strcmp(pq.PQfname(result->res, i), column) == 0) {
                col = i;
                break;
            }
        }
    }
    if (col < 0) {
        VLIBCErrSet(KAVO_ERR_NOT_FOUND);
        return nullptr;
    }
    // PQgetvalue gives "" for an SQL null.
    return pq.PQgetvalue(result->res, row, col);
}

int KAVODBNumRows(PKAVODB_RES result) {
    if (result == nullptr) {
        return 0;
    }
    return result->rowCount;
}

void KAVODBFreeResult(PKAVODB_RES result) {
    if (result == nullptr) {
        return;
    }
    pq.PQclear(result->res);
    free(result);
}

void KAVODBClose(PKAVODB db) {
    if (db == nullptr) {
        return;
    }
    if (db->conn != nullptr) {
        pq.PQfinish(db->conn);
    }
    free(db->lastError);
    free(db);
}
