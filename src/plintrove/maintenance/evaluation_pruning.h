#pragma once
// Pruning evaluation history: the oldest rows beyond a kept number, or every failed row,
// together with their function- and feature-usage rows.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/maintenance/deletion_progress.h"
#include "plintrove/storage/connection.h"

namespace plintrove {

// Ids bound per DELETE statement: well under every back end's limit on bound parameters.
inline constexpr std::size_t kDeleteChunkSize = 500;

// Keeps the newest `keep_last` evaluations of each selected type. Refused while a search
// is active. Runs under one write lock ("BEGIN IMMEDIATE" unless a transaction is open);
// a storage error rolls everything back and surfaces as IOError("Failed to delete
// evaluations: ...") carrying the DatabaseError as its cause. `progress` hears of every
// chunk deleted and every index rebuilt.
DeleteResult delete_evaluations(SearchTracker& tracker, const Value& eval_type = Value(),
                                std::int64_t keep_last = 50000,
                                const DeletionProgressFn& progress = {});

// Deletes every evaluation with passed_thresholds = 0, like delete_evaluations.
DeleteResult delete_failed_evaluations(SearchTracker& tracker, const Value& eval_type = Value(),
                                       const DeletionProgressFn& progress = {});

// Deletes usage rows (function, then feature) and then the evaluations themselves, in
// chunks of kDeleteChunkSize ids per statement, logging each table's count at INFO.
// Neither begins nor commits.
void delete_eval_ids(Connection& conn, const Params& id_list, std::string_view eval_table,
                     std::string_view fn_table, std::string_view feat_table);
// The same for ids read back from an evaluation table's integer key: a million of them
// take 8 MB here instead of 40 MB as values.
void delete_eval_ids(Connection& conn, const std::vector<std::int64_t>& id_list,
                     std::string_view eval_table, std::string_view fn_table,
                     std::string_view feat_table, const DeletionProgressFn& progress = {});

// The first column of every row as an integer key, taking each row out of the cursor as
// it is read. `expected` is a capacity hint.
std::vector<std::int64_t> eval_ids_of(Cursor cursor, std::size_t expected = 0);

// REINDEX of every index of the three tables, in table order, logging each table's count
// at INFO.
void reindex_evaluation_tables(SearchTracker& tracker, std::string_view eval_table,
                               std::string_view fn_table, std::string_view feat_table);

}  // namespace plintrove
