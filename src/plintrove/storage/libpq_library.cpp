#include "plintrove/storage/libpq_library.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "plintrove/core/errors.h"

namespace plintrove {

namespace {

constexpr const char* kMissingLibraryMessage =
    "psycopg2-binary is required when PLINTROVE_DB_URL uses Postgres.";

template <typename Fn>
void resolve(void* handle, Fn& slot, const char* symbol) {
    void* address = dlsym(handle, symbol);
    if (!address) {
        const char* why = dlerror();
        throw RuntimeError(kMissingLibraryMessage,
                           std::make_exception_ptr(RuntimeError(why ? why : symbol)));
    }
    slot = reinterpret_cast<Fn>(address);
}

}  // namespace

LibPq load_libpq(const char* library) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw RuntimeError(kMissingLibraryMessage,
                           std::make_exception_ptr(RuntimeError(why ? why : "dlopen failed")));
    }
    LibPq pq{};
#define PLINTROVE_PQ(field, symbol) resolve(handle, pq.field, #symbol)
    PLINTROVE_PQ(connectdbParams, PQconnectdbParams);
    PLINTROVE_PQ(status, PQstatus);
    PLINTROVE_PQ(errorMessage, PQerrorMessage);
    PLINTROVE_PQ(finish, PQfinish);
    PLINTROVE_PQ(setNoticeProcessor, PQsetNoticeProcessor);
    PLINTROVE_PQ(serverVersion, PQserverVersion);
    PLINTROVE_PQ(transactionStatus, PQtransactionStatus);
    PLINTROVE_PQ(socket, PQsocket);
    PLINTROVE_PQ(consumeInput, PQconsumeInput);
    PLINTROVE_PQ(enterPipelineMode, PQenterPipelineMode);
    PLINTROVE_PQ(pipelineSync, PQpipelineSync);
    PLINTROVE_PQ(sendQueryParams, PQsendQueryParams);
    PLINTROVE_PQ(sendPrepare, PQsendPrepare);
    PLINTROVE_PQ(sendQueryPrepared, PQsendQueryPrepared);
    PLINTROVE_PQ(flush, PQflush);
    PLINTROVE_PQ(setSingleRowMode, PQsetSingleRowMode);
    PLINTROVE_PQ(getResult, PQgetResult);
    PLINTROVE_PQ(resultStatus, PQresultStatus);
    PLINTROVE_PQ(resultErrorField, PQresultErrorField);
    PLINTROVE_PQ(resultErrorMessage, PQresultErrorMessage);
    PLINTROVE_PQ(clear, PQclear);
    PLINTROVE_PQ(ntuples, PQntuples);
    PLINTROVE_PQ(nfields, PQnfields);
    PLINTROVE_PQ(ftype, PQftype);
    PLINTROVE_PQ(getvalue, PQgetvalue);
    PLINTROVE_PQ(getlength, PQgetlength);
    PLINTROVE_PQ(getisnull, PQgetisnull);
    PLINTROVE_PQ(cmdTuples, PQcmdTuples);
#undef PLINTROVE_PQ
    // The handle stays open for the process: connections may live until exit.
    return pq;
}

const LibPq& libpq() {
    static LibPq loaded;
    static std::once_flag once;
    // call_once lets a later call try again when this one throws.
    std::call_once(once, [] { loaded = load_libpq("libpq.so.5"); });
    return loaded;
}

}  // namespace plintrove
