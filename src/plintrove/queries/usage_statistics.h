#pragma once
// Per-function and per-feature yield, and function co-occurrence, over the usage tables.

#include <string_view>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/filters.h"

namespace plintrove {

// One grouped statement over every (usage table, evaluation table) pair; with more than one
// pair the per-table groups are summed by an outer query over their UNION ALL. Each row is
// the group columns followed by total and passed. Checks nothing itself.
std::vector<Row> usage_stats_query(SearchTracker& tracker,
                                   const std::vector<UsageTablePair>& usage_tables,
                                   std::string_view select_cols, std::string_view group_cols,
                                   std::string_view outer_cols, const SettingsFilter& filter);

// Sorted by yield, then total, both descending (stable).
std::vector<FunctionStats> get_function_stats(SearchTracker& tracker, const Value& eval_type,
                                              const SettingsFilter& filter);
std::vector<FeatureStats> get_feature_stats(SearchTracker& tracker, const Value& eval_type,
                                            const SettingsFilter& filter);

// Pairs of distinct function names used by one evaluation, combined across the evaluation
// types; most frequent first, ties by name.
std::vector<CooccurrencePair> get_function_cooccurrence(SearchTracker& tracker,
                                                        const Value& eval_type, bool passed_only,
                                                        const SettingsFilter& filter);

}  // namespace plintrove
