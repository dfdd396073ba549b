#pragma once
// The statements that create the tracker's SQLite tables and indexes.

#include <array>
#include <string_view>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

// The shared parent table `sims`; status rows refer to its `id`.
extern const std::string_view kSimsDdl;

// Each statement creates one table when missing (sims first, since status rows refer
// to it); all succeed on an existing database.
extern const std::vector<std::string_view> kSchemaDdls;

// Every index of the tracker, idempotent; run after the tables and column migration.
extern const std::vector<std::string_view> kSchemaIndexes;

// The columns table creation adds to evaluation tables of an older layout.
inline constexpr std::array<TableColumns, 2> kSqliteEvalColumnMigrations{{
    {"signal_evaluations", kSignalEvalColumnMigrations},
    {"strategy_evaluations", kStrategyEvalColumnMigrations},
}};

}  // namespace plintrove
