// libpq, loaded the first time a server is named: a run that keeps no record, or keeps it in a file,
// never loads libpq and the many libraries it brings, and starts as quickly as it did without a
// record. Inside the record's library only.
#ifndef KAVELWRITE_HISTORY_PQ_H
#define KAVELWRITE_HISTORY_PQ_H

#include <libpq-fe.h>

#include <string>

// The functions of libpq that the record calls.
struct PqLibrary {
    decltype(&PQconnectdbParams) connectdbParams;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) errorMessage;
    decltype(&PQsetNoticeProcessor) setNoticeProcessor;
    decltype(&PQreset) reset;
    decltype(&PQfinish) finish;
    decltype(&PQexecParams) execParams;
    decltype(&PQresultStatus) resultStatus;
    decltype(&PQresultErrorField) resultErrorField;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetlength) getlength;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQclear) clear;
    decltype(&PQconninfoParse) conninfoParse;
    decltype(&PQconninfoFree) conninfoFree;
    decltype(&PQfreemem) freemem;
};

// Returns libpq's functions, loading the library at the first call; null, with *sReason saying why,
// when it cannot be loaded.
const PqLibrary* LoadPq(std::string* sReason);
// Returns the functions of a libpq already loaded: only for what a loaded libpq handed out.
const PqLibrary& Pq();

#endif
