#pragma once

#include <sqlite3.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace brindlow::devserver {

// One SQLite connection behind a mutex: the stand-in's records are small and few.
class Database {
public:
    using Value = std::variant<std::nullptr_t, int64_t, double, std::string>;
    using Row = std::vector<Value>;

    explicit Database(const std::string& path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void execute(const std::string& sql, const std::vector<Value>& binds = {});
    std::vector<Row> query(const std::string& sql, const std::vector<Value>& binds = {});
    int64_t lastInsertId();

    static std::string text(const Value& v) { return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : ""; }
    static int64_t integer(const Value& v) { return std::holds_alternative<int64_t>(v) ? std::get<int64_t>(v) : 0; }

private:
    std::vector<Row> run(const std::string& sql, const std::vector<Value>& binds);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;  // guarded by mutex_
};

}  // namespace brindlow::devserver
