#pragma once
// The connection surface every statement of the tracker goes through.

#include <cstdint>
#include <functional>
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
    using RowFn = std::function<void(const Row&)>;

    virtual ~Connection() = default;
    virtual Cursor execute(std::string_view sql, const Params& params = {}) = 0;
    // Passes each result row to `on_row` in turn instead of collecting them, for scans of
    // millions of rows. The row lives only for the call, and `on_row` must not use this
    // connection: it may run while the connection's lock is held. By default the rows come
    // from execute's cursor.
    virtual void for_each_row(std::string_view sql, const Params& params, const RowFn& on_row);
    // Runs a data-changing statement whose cursor the caller does not read. A connection
    // may send it together with later statements and report its failure at the next
    // statement, commit or rollback; by default it runs at once.
    virtual void execute_unread(std::string_view sql, const Params& params) { execute(sql, params); }
    // Raises what binding `params` to a statement would raise (a value the storage cannot
    // hold), without running anything: an operation of several statements checks all its
    // values before its first write, so it never fails halfway. `columns` names the column
    // each value is meant for, where the caller knows it (a storage whose columns hold
    // their own type alone checks the value against it). By default nothing.
    virtual void check_params(const Params& params, const std::vector<std::string>& columns = {});
    // The same for the values of a built statement, whose text says which column each is
    // bound to.
    virtual void check_statement(std::string_view sql, const Params& params);
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual void close() = 0;
    virtual bool in_transaction() = 0;
    // One public operation's start and end (operations nest: the outermost counts). On
    // SQLite a failed statement undoes only itself, so a transaction the operation found
    // open stays usable; a back end whose failed statement aborts the whole transaction
    // keeps it so by making the operation undoable on its own. By default nothing to do.
    virtual void enter_operation() {}
    virtual void leave_operation(bool failed) { (void)failed; }
    // "postgres" on the PostgreSQL adapter; none on SQLite.
    virtual std::optional<std::string> dialect() const { return std::nullopt; }
};

}  // namespace plintrove
