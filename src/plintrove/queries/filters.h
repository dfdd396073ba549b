#pragma once
// Settings and pool filters: SQL condition texts with `?` placeholders and their values.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The settings every read-side query can be narrowed by. None (the default) omits a
// condition; eval_type is not part of it (it selects tables).
struct SettingsFilter {
    Value era_id;
    Value named_universe;
    Value metaparameters;
    Value source;
    Value strategy_pool_id;
    Value signal_pool_id;
    Value strategy_signal_pool;
};

struct FilterClauses {
    std::vector<std::string> clauses;
    Params params;
};

struct EvalTablePair {
    std::string_view eval_table;
    std::string_view label;  // "signal" or "strategy"
};
struct UsageTablePair {
    std::string_view usage_table;
    std::string_view eval_table;
};

// [signal_item, strategy_item] narrowed to the one `eval_type` names; None keeps both and
// any other value keeps neither (callers validate first).
template <typename T>
std::vector<T> filter_by_eval_type(const Value& eval_type, T signal_item, T strategy_item) {
    std::vector<T> out;
    const bool both = eval_type.is_none();
    const bool text = eval_type.is_text();
    if (both || (text && eval_type.as_text() == "signal")) out.push_back(std::move(signal_item));
    if (both || (text && eval_type.as_text() == "strategy")) out.push_back(std::move(strategy_item));
    return out;
}

std::vector<EvalTablePair> eval_table_pairs(const Value& eval_type);
std::vector<EvalTables> eval_table_triplets(const Value& eval_type);
std::vector<UsageTablePair> fn_usage_table_pairs(const Value& eval_type);
std::vector<UsageTablePair> feat_usage_table_pairs(const Value& eval_type);

void add_pool_filters(FilterClauses& out, std::string_view prefix,
                      std::optional<std::string_view> eval_table, const Value& strategy_pool_id,
                      const Value& signal_pool_id, const Value& strategy_signal_pool);
std::string json_path_key(const Value& key);
FilterClauses build_settings_filter(std::string_view table_alias, const SettingsFilter& filter,
                                    std::optional<std::string_view> eval_table = std::nullopt);
std::string join_clauses(const std::vector<std::string>& clauses, std::string_view prefix = "WHERE");

}  // namespace plintrove
