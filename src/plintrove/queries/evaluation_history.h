#pragma once
// Stored evaluations themselves: the paged history with usage lists, and the lightweight
// per-column statistics batch.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/filters.h"

namespace plintrove {

// Ids per usage lookup: well below SQLite's bound-parameter limit (999 on old builds).
inline constexpr std::size_t kUsageLookupChunk = 500;

// Newest first across the selected tables (signal before strategy at equal timestamps),
// sliced to [offset, offset + limit); limit None means no limit.
std::vector<EvaluationRecord> get_evaluation_history(SearchTracker& tracker,
                                                     const Value& eval_type, bool passed_only,
                                                     std::optional<std::int64_t> limit,
                                                     std::int64_t offset,
                                                     const SettingsFilter& filter);

// The next `limit` evaluations of one type ("signal" or "strategy") with eval_id above
// `after_eval_id`, in ascending eval_id, as full history records. Reading a whole table
// chunk by chunk (each chunk after the last id of the one before) holds one chunk at a
// time and runs one short read statement per chunk.
std::vector<EvaluationRecord> get_evaluation_history_chunk(SearchTracker& tracker,
                                                           const Value& eval_type,
                                                           bool passed_only,
                                                           std::int64_t after_eval_id,
                                                           std::int64_t limit,
                                                           const SettingsFilter& filter);

// Ascending eval_id across the selected tables (signal first at equal ids). passed_only
// None keeps both outcomes, true only passed, false only failed.
std::vector<PerColumnStatsRecord> get_per_column_stats_batch(
    SearchTracker& tracker, const Value& eval_type, std::optional<bool> passed_only,
    std::optional<std::int64_t> limit, std::int64_t offset, const SettingsFilter& filter);

}  // namespace plintrove
