#pragma once
// What the catalogue of an open SQLite database says about its tables, and adding the
// columns an older layout lacks.

#include <set>
#include <span>
#include <string>
#include <string_view>

#include "plintrove/core/constants.h"
#include "plintrove/storage/connection.h"

namespace plintrove {

// One table and the ordered (column, SQL type) pairs it must carry.
struct TableColumns {
    std::string_view table;
    std::span<const ColumnType> columns;
};

// A table name as an SQL identifier: double quotes doubled, the whole in double quotes.
std::string quote_sqlite_identifier(std::string_view name);

// True when a table (not a view or index) of that name exists.
bool sqlite_table_exists(Connection& conn, std::string_view table_name);

// The column names of a table; empty when it does not exist.
std::set<std::string> sqlite_table_columns(Connection& conn, std::string_view table_name);

// Adds, in order, every listed column a table lacks. Missing tables are skipped, never
// created; a failed ALTER propagates and keeps the columns added before it.
void sqlite_ensure_columns(Connection& conn, std::span<const TableColumns> table_columns);

}  // namespace plintrove
