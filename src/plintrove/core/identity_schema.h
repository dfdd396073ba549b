#pragma once
// The identity columns (instance_id, author_id) that tie rows to the acting library
// identity, and their indexes.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/storage/connection.h"

namespace plintrove {

// The tables whose inserts name the identity columns; table creation adds "sims".
inline constexpr std::array<std::string_view, 10> kSearchTrackingFkTables{
    "signal_evaluations",         "strategy_evaluations",
    "signal_submission_queue",    "strategy_submission_queue",
    "signal_submission_attempts", "strategy_submission_attempts",
    "signal_submission_status",   "strategy_submission_status",
    "signal_submission_retry",    "strategy_submission_retry"};

inline constexpr std::array<std::string_view, 2> kIdentityColumnNames{"instance_id", "author_id"};

// Adds the identity columns (TEXT) to each existing table that lacks them.
void sqlite_ensure_fk_columns(Connection& conn, const std::vector<std::string_view>& tables);

// The statements that add the identity columns (TEXT) to each table on PostgreSQL, where
// missing.
std::vector<std::string> postgres_fk_column_statements(const std::vector<std::string_view>& tables);

// One index per table over (instance_id, author_id), idempotent.
std::vector<std::string> fk_index_statements(const std::vector<std::string_view>& tables);

}  // namespace plintrove
