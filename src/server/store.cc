#include <memory>
#include <string>

#include "server/store.h"

std::unique_ptr<ResultStore> open_result_store(const std::string& db, int connections, std::string* error) {
    if (db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0)
        return open_postgres_store(db, connections, error);
    return open_sqlite_store(db, error);
}

void gather_cpu_entries(const std::vector<CpuRow>& rows, std::vector<CpuEntry>* out) {
    out->clear();
    std::vector<double> multi, single;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || rows[i].processor_key != rows[i - 1].processor_key) {
            out->push_back(CpuEntry{rows[i].processor_key, rows[i].cpu, rows[i].architecture, 0, 0, 0});
            multi.clear();
            single.clear();
        }
        multi.push_back(rows[i].multi);
        single.push_back(rows[i].single);
        CpuEntry& e = out->back();
        e.count = static_cast<int64_t>(multi.size());
        if (i + 1 == rows.size() || rows[i + 1].processor_key != e.processor_key) {
            e.median_multi = percentile(&multi, 50);
            e.median_single = percentile(&single, 50);
        }
    }
}

#ifndef QM_HAVE_LIBPQ
// Built without libpq: a PostgreSQL URI is a clear error, never a file name.
std::unique_ptr<ResultStore> open_postgres_store(const std::string&, int, std::string* error) {
    *error = "this quillmoth-server was built without PostgreSQL support (libpq)";
    return nullptr;
}
#endif
