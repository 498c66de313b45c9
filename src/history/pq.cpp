// libpq, looked up by its soname when a server is first named.
#include "pq.h"

#include <dlfcn.h>

namespace {

PqLibrary library;
bool bLoaded = false;

// Looks up one function into *function; false when the library lacks it.
template <typename Function> bool Find(void* handle, const char* txtName, Function* function) {
    *function = reinterpret_cast<Function>(dlsym(handle, txtName));
    return *function != nullptr;
}

} // namespace

const PqLibrary* LoadPq(std::string* sReason) {
    if (bLoaded) return &library;
    void* handle = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* txtError = dlerror();
        *sReason = std::string("libpq cannot be loaded: ") + (txtError != nullptr ? txtError : "libpq.so.5");
        return nullptr;
    }
    // The library stays loaded for the rest of the process: connections may outlive any caller.
    bool bComplete =
        Find(handle, "PQconnectdbParams", &library.connectdbParams) &&
        Find(handle, "PQstatus", &library.status) && Find(handle, "PQerrorMessage", &library.errorMessage) &&
        Find(handle, "PQsetNoticeProcessor", &library.setNoticeProcessor) &&
        Find(handle, "PQreset", &library.reset) && Find(handle, "PQfinish", &library.finish) &&
        Find(handle, "PQexecParams", &library.execParams) &&
        Find(handle, "PQresultStatus", &library.resultStatus) &&
        Find(handle, "PQresultErrorField", &library.resultErrorField) &&
        Find(handle, "PQntuples", &library.ntuples) && Find(handle, "PQnfields", &library.nfields) &&
        Find(handle, "PQgetisnull", &library.getisnull) && Find(handle, "PQgetlength", &library.getlength) &&
        Find(handle, "PQgetvalue", &library.getvalue) && Find(handle, "PQclear", &library.clear) &&
        Find(handle, "PQconninfoParse", &library.conninfoParse) &&
        Find(handle, "PQconninfoFree", &library.conninfoFree) && Find(handle, "PQfreemem", &library.freemem);
    if (!bComplete) {
        *sReason = "libpq.so.5 lacks a function the record needs";
        return nullptr;
    }
    bLoaded = true;
    return &library;
}

const PqLibrary& Pq() {
    return library;
}
