#include "Database.h"

#include <memory>

namespace brindlow::devserver {

Database::Database(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
    execute("PRAGMA journal_mode=WAL");
    execute("PRAGMA synchronous=NORMAL");
}

Database::~Database() { sqlite3_close(db_); }

void Database::execute(const std::string& sql, const std::vector<Value>& binds) { run(sql, binds); }

std::vector<Database::Row> Database::query(const std::string& sql, const std::vector<Value>& binds) {
    return run(sql, binds);
}

int64_t Database::lastInsertId() {
    std::lock_guard lock(mutex_);
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Database::Row> Database::run(const std::string& sql, const std::vector<Value>& binds) {
    std::lock_guard lock(mutex_);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("SQL error: ") + sqlite3_errmsg(db_) + " in " + sql);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, &sqlite3_finalize);
    for (size_t i = 0; i < binds.size(); ++i) {
        const int index = int(i) + 1;
        const Value& v = binds[i];
        if (std::holds_alternative<std::nullptr_t>(v)) sqlite3_bind_null(stmt, index);
        else if (const auto* n = std::get_if<int64_t>(&v)) sqlite3_bind_int64(stmt, index, *n);
        else if (const auto* d = std::get_if<double>(&v)) sqlite3_bind_double(stmt, index, *d);
        else {
            const auto& s = std::get<std::string>(v);
            sqlite3_bind_text(stmt, index, s.data(), int(s.size()), SQLITE_TRANSIENT);
        }
    }
    std::vector<Row> rows;
    for (;;) {
        const int step = sqlite3_step(stmt);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) throw std::runtime_error(std::string("SQL error: ") + sqlite3_errmsg(db_));
        Row row;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_INTEGER: row.emplace_back(int64_t(sqlite3_column_int64(stmt, c))); break;
                case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(stmt, c)); break;
                case SQLITE_NULL: row.emplace_back(nullptr); break;
                default: {
                    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                    row.emplace_back(std::string(p, size_t(sqlite3_column_bytes(stmt, c))));
                }
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace brindlow::devserver
