#pragma once
// The tracker's tables on PostgreSQL: the SQLite table statements with each column type
// mapped to the PostgreSQL type that holds the same values.

#include <string>
#include <string_view>
#include <vector>

namespace plintrove {

// INTEGER keys become identity keys (never reused, like SQLite's AUTOINCREMENT), INTEGER
// becomes BIGINT (SQLite integers are 64-bit), REAL becomes DOUBLE PRECISION (SQLite reals
// are 8-byte), TEXT compares by code point as SQLite's does (COLLATE "C"); defaults,
// uniqueness and references stay as they are.
std::string postgres_table_ddl(std::string_view sqlite_ddl);

// Every table statement, in the order of the SQLite schema; each succeeds on an existing
// database.
const std::vector<std::string>& postgres_schema_ddls();

}  // namespace plintrove
