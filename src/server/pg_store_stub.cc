// open_postgres_store for a server built without libpq.
#include "server/pg_store.h"
#include "server/store.h"

std::unique_ptr<ResultStore> open_postgres_store(const std::string& uri, int, std::string* error) {
    *error = "this quillmoth-server was built without PostgreSQL support (libpq was not found at build time); "
             "cannot open " + redact_db_uri(uri);
    return nullptr;
}
