// libkavodb: a thin client of the local PostgreSQL server (libpq).
//
// libpq ("libpq.so.5") is loaded by the first KAVODBConnect, so that a program pays for it only
// when a command opens the database. When it cannot be loaded, KAVODBConnect logs the library's
// name and the loader's reason, records KAVO_ERR_DB and returns null, as for a server that is
// away.
//
// A result set holds all rows of its statement and stays readable after the connection that
// produced it is closed, until KAVODBFreeResult. Field values arrive as text.
#pragma once

#include "kavocore.h"

typedef struct _tag_KAVODB KAVODB, *PKAVODB;
typedef struct _tag_KAVODB_RES KAVODB_RES, *PKAVODB_RES;
typedef int KAVODB_ROW;  // index of the fetched row

// host and password null for the local server; null on failure.
PKAVODB KAVODBConnect(const char *host, const char *user, const char *password, const char *dbname);
// 0: the statement ran and *resultOut is set (free it); -1: failure (see KAVODBErrorGet).
int KAVODBExecute(PKAVODB db, const char *sql, PKAVODB_RES *resultOut);
const char *KAVODBErrorGet(PKAVODB db);  // never null
// 0 with *rowOut set to the next row; non-zero when there are no more rows.
int KAVODBFetchRow(PKAVODB_RES result, KAVODB_ROW *rowOut);
// The named field of a fetched row; "" for SQL null; null for an unknown column or row.
const char *KAVODBFetchField(PKAVODB_RES result, KAVODB_ROW row, const char *column);
int KAVODBNumRows(PKAVODB_RES result);
void KAVODBFreeResult(PKAVODB_RES result);
void KAVODBClose(PKAVODB db);
