#include <memory>
#include <string>

#include "server/store.h"

std::unique_ptr<ResultStore> open_result_store(const std::string& db, int connections, std::string* error) {
    if (db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0)
        return open_postgres_store(db, connections, error);
    return open_sqlite_store(db, error);
}

#ifndef QM_HAVE_LIBPQ
// Built without libpq: a PostgreSQL URI is a clear error, never a file name.
std::unique_ptr<ResultStore> open_postgres_store(const std::string&, int, std::string* error) {
    *error = "this quillmoth-server was built without PostgreSQL support (libpq)";
    return nullptr;
}
#endif
