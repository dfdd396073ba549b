#pragma once
// The connection surface every statement of the tracker goes through.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/value/value.h"

namespace plintrove {

// A statement's result, fully materialised: rows are read while the connection is held,
// so a cursor never keeps a prepared statement busy.
class Cursor {
public:
    Cursor() = default;
    Cursor(std::vector<Row> rows, std::optional<std::int64_t> lastrowid, std::int64_t rowcount)
        : rows_(std::move(rows)), lastrowid_(lastrowid), rowcount_(rowcount) {}

    std::optional<Row> fetchone();
    std::vector<Row> fetchall();  // the rows not yet fetched

    std::optional<std::int64_t> lastrowid() const { return lastrowid_; }
    // Rows changed by INSERT/UPDATE/DELETE; -1 for other statements (as sqlite3 reports).
    std::int64_t rowcount() const { return rowcount_; }

private:
    std::vector<Row> rows_;
    std::size_t pos_ = 0;
    std::optional<std::int64_t> lastrowid_;
    std::int64_t rowcount_ = -1;
};

class Connection {
public:
    virtual ~Connection() = default;
    virtual Cursor execute(std::string_view sql, const Params& params = {}) = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual void close() = 0;
    virtual bool in_transaction() = 0;
    // "postgres" on the PostgreSQL adapter; none on SQLite.
    virtual std::optional<std::string> dialect() const { return std::nullopt; }
};

}  // namespace plintrove
