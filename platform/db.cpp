// libkavodb: a thin client of the local PostgreSQL server on libpq.
//
// A connection is a PGconn and the text of its last error. A result set wraps the PGresult
// of its statement as it came from libpq, so nothing is copied, and since a PGresult does not
// depend on the PGconn that produced it, the rows stay readable after KAVODBClose.
#include "kavodb.h"

#include <errno.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <string.h>

struct _tag_KAVODB {
    PGconn *conn;
    char *szErr;  // text of the last failure, null when none
};

struct _tag_KAVODB_RES {
    PGresult *res;
    int nRows;
    int nextRow;  // the row the next KAVODBFetchRow hands out
};

#define SZ_NO_CONNECTION "no database connection"

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
    free(db->szErr);
    db->szErr = copy;
}

PKAVODB KAVODBConnect(const char *host, const char *user, const char *password,
                      const char *dbname) {
    const char *keys[5];
    const char *values[5];
    int n = 0;
    PKAVODB db;

    // Every value left null takes libpq's default: no host means the local socket.
    if (host != nullptr) {
        keys[n] = "host";
        values[n++] = host;
    }
    if (user != nullptr) {
        keys[n] = "user";
        values[n++] = user;
    }
    if (password != nullptr) {
        keys[n] = "password";
        values[n++] = password;
    }
    if (dbname != nullptr) {
        keys[n] = "dbname";
        values[n++] = dbname;
    }
    keys[n] = nullptr;
    values[n] = nullptr;

    db = (PKAVODB)calloc(1, sizeof(*db));
    if (db == nullptr) {
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    db->conn = PQconnectdbParams(keys, values, 0);
    if (db->conn == nullptr) {
        free(db);
        errno = ENOMEM;
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (PQstatus(db->conn) != CONNECTION_OK) {
        dbErrorKeep(db, PQerrorMessage(db->conn));
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->szErr);
        KAVODBClose(db);
        return nullptr;
    }
    PQsetNoticeProcessor(db->conn, dbNoticeDrop, nullptr);
    return db;
}

int KAVODBExecute(PKAVODB db, const char *sql, PKAVODB_RES *pResult) {
    PGresult *res;
    ExecStatusType status;
    PKAVODB_RES result;

    if (pResult != nullptr) {
        *pResult = nullptr;
    }
    if (db == nullptr || sql == nullptr || sql[0] == '\0' || pResult == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }

    res = PQexec(db->conn, sql);
    if (res == nullptr) {
        dbErrorKeep(db, PQerrorMessage(db->conn));
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->szErr);
        return -1;
    }
    status = PQresultStatus(res);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        dbErrorKeep(db, PQresultErrorMessage(res));
        PQclear(res);
        VLIBCErrSetEx(KAVO_ERR_DB, __FILE__, __LINE__, db->szErr);
        return -1;
    }

    result = (PKAVODB_RES)calloc(1, sizeof(*result));
    if (result == nullptr) {
        PQclear(res);
        dbErrorKeep(db, "out of memory");
        VLIBCErrSet(KAVO_ERR_OUT_OF_MEMORY);
        return -1;
    }
    result->res = res;
    result->nRows = PQntuples(res);
    result->nextRow = 0;
    *pResult = result;
    return 0;
}

const char *KAVODBErrorGet(PKAVODB db) {
    if (db == nullptr) {
        return SZ_NO_CONNECTION;
    }
    if (db->szErr != nullptr) {
        return db->szErr;
    }
    return "";
}

int KAVODBFetchRow(PKAVODB_RES result, KAVODB_ROW *pRow) {
    if (result == nullptr || pRow == nullptr) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return -1;
    }
    if (result->nextRow >= result->nRows) {
        return 1;
    }
    *pRow = result->nextRow++;
    return 0;
}

const char *KAVODBFetchField(PKAVODB_RES result, KAVODB_ROW row, const char *column) {
    int col;
    int i;
    int nFields;

    if (result == nullptr || column == nullptr || row < 0 || row >= result->nRows) {
        VLIBCErrSet(KAVO_ERR_BAD_PARAMETERS);
        return nullptr;
    }
    // PQfnumber reads the name as SQL does (folded to lower case unless quoted); a column
    // whose name was given quoted in the statement is also found by its exact spelling.
    col = PQfnumber(result->res, column);
    if (col < 0) {
        nFields = PQnfields(result->res);
        for (i = 0; i < nFields; i++) {
            if (strcmp(PQfname(result->res, i), column) == 0) {
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
    return PQgetvalue(result->res, row, col);
}

int KAVODBNumRows(PKAVODB_RES result) {
    if (result == nullptr) {
        return 0;
    }
    return result->nRows;
}

void KAVODBFreeResult(PKAVODB_RES result) {
    if (result == nullptr) {
        return;
    }
    PQclear(result->res);
    free(result);
}

void KAVODBClose(PKAVODB db) {
    if (db == nullptr) {
        return;
    }
    if (db->conn != nullptr) {
        PQfinish(db->conn);
    }
    free(db->szErr);
    free(db);
}
