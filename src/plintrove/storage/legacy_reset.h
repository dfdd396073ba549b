#pragma once
// Databases written before the pool redesign are not migrated: they are checkpointed,
// closed and moved aside with their side files, and a fresh database takes their place.

#include <cstdint>
#include <memory>
#include <string>

#include "plintrove/storage/connection.h"
#include "plintrove/storage/sqlite_connection.h"

namespace plintrove {

// True when the open database has a table or column layout from before the redesign.
bool sqlite_needs_pre_pool_redesign_reset(Connection& conn);

// Rows in the queue tables that exist (old and split); unreadable tables count 0.
std::int64_t sqlite_pre_redesign_queue_count(Connection& conn);

// Moves the closed database at `db_path` and its -wal/-shm files to the archive name and
// logs it. Raises IOError when a move fails.
void archive_pre_pool_redesign_sqlite_db(const std::string& db_path,
                                         std::int64_t dropped_queue_count);

// `raw_conn` itself when no reset is needed; otherwise closes it, archives the file and
// returns a connection on a new, empty database at `db_path`.
std::unique_ptr<SqliteConnection> reset_pre_pool_redesign_sqlite_db_if_needed(
    const std::string& db_path, std::unique_ptr<SqliteConnection> raw_conn);

}  // namespace plintrove
