#pragma once
// The PostgreSQL client library, loaded with dlopen at first use: the module must import
// and run on SQLite on machines without libpq, so nothing links against it.

#include <libpq-fe.h>

namespace plintrove {

// The libpq entry points the PostgreSQL connection uses.
struct LibPq {
    decltype(&::PQconnectdbParams) connectdbParams;
    decltype(&::PQstatus) status;
    decltype(&::PQerrorMessage) errorMessage;
    decltype(&::PQfinish) finish;
    decltype(&::PQsetNoticeProcessor) setNoticeProcessor;
    decltype(&::PQserverVersion) serverVersion;
    decltype(&::PQtransactionStatus) transactionStatus;
    decltype(&::PQsocket) socket;
    decltype(&::PQconsumeInput) consumeInput;
    decltype(&::PQenterPipelineMode) enterPipelineMode;
    decltype(&::PQpipelineSync) pipelineSync;
    decltype(&::PQsendQueryParams) sendQueryParams;
    decltype(&::PQsendPrepare) sendPrepare;
    decltype(&::PQsendQueryPrepared) sendQueryPrepared;
    decltype(&::PQflush) flush;
    decltype(&::PQsetSingleRowMode) setSingleRowMode;
    decltype(&::PQgetResult) getResult;
    decltype(&::PQresultStatus) resultStatus;
    decltype(&::PQresultErrorField) resultErrorField;
    decltype(&::PQresultErrorMessage) resultErrorMessage;
    decltype(&::PQclear) clear;
    decltype(&::PQntuples) ntuples;
    decltype(&::PQnfields) nfields;
    decltype(&::PQftype) ftype;
    decltype(&::PQgetvalue) getvalue;
    decltype(&::PQgetlength) getlength;
    decltype(&::PQgetisnull) getisnull;
    decltype(&::PQcmdTuples) cmdTuples;
};

// Loads `library` (a name dlopen resolves) and its entry points. Raises RuntimeError with
// the message users of this storage know, carrying the loader's own error as its cause.
LibPq load_libpq(const char* library);

// Loads libpq.so.5 once. When it cannot be loaded, raises RuntimeError with the message
// users of this storage know, carrying the loader's own error as its cause; a later call
// tries again.
const LibPq& libpq();

}  // namespace plintrove
