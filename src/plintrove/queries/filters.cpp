#include "plintrove/queries/filters.h"

#include <string>

#include "plintrove/core/evaluation_validation.h"
#include "plintrove/queries/validators.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

void add(FilterClauses& out, std::string clause, Value param) {
    out.clauses.push_back(std::move(clause));
    out.params.push_back(std::move(param));
}

}  // namespace

std::vector<EvalTablePair> eval_table_pairs(const Value& eval_type) {
    return filter_by_eval_type(eval_type, EvalTablePair{kSignalTables.eval_table, "signal"},
                               EvalTablePair{kStrategyTables.eval_table, "strategy"});
}

std::vector<EvalTables> eval_table_triplets(const Value& eval_type) {
    return filter_by_eval_type(eval_type, kSignalTables, kStrategyTables);
}

std::vector<UsageTablePair> fn_usage_table_pairs(const Value& eval_type) {
    return filter_by_eval_type(
        eval_type, UsageTablePair{kSignalTables.fn_table, kSignalTables.eval_table},
        UsageTablePair{kStrategyTables.fn_table, kStrategyTables.eval_table});
}

std::vector<UsageTablePair> feat_usage_table_pairs(const Value& eval_type) {
    return filter_by_eval_type(
        eval_type, UsageTablePair{kSignalTables.feat_table, kSignalTables.eval_table},
        UsageTablePair{kStrategyTables.feat_table, kStrategyTables.eval_table});
}

void add_pool_filters(FilterClauses& out, std::string_view prefix,
                      std::optional<std::string_view> eval_table, const Value& strategy_pool_id,
                      const Value& signal_pool_id, const Value& strategy_signal_pool) {
    if (!eval_table) return;
    const Value strategy_pool = validate_optional_pool_query(strategy_pool_id, "strategy_pool_id");
    const Value signal_pool = validate_optional_pool_query(signal_pool_id, "signal_pool_id");
    const Value signal_pool_of_strategy =
        validate_optional_pool_query(strategy_signal_pool, "strategy_signal_pool");
    const std::string p(prefix);

    if (*eval_table == kSignalTables.eval_table) {
        if (!strategy_pool.is_none() || !signal_pool_of_strategy.is_none()) {
            // Strategy pools never own signal rows.
            out.clauses.emplace_back("1 = 0");
        } else if (!signal_pool.is_none()) {
            add(out, p + "signal_pool_id = ?", signal_pool);
        }
    } else if (*eval_table == kStrategyTables.eval_table) {
        if (!signal_pool.is_none()) {
            out.clauses.emplace_back("1 = 0");
        } else {
            // Each narrows by itself: the signal pool alone selects the strategies built
            // on it, whatever their own pool.
            if (!strategy_pool.is_none()) add(out, p + "strategy_pool_id = ?", strategy_pool);
            if (!signal_pool_of_strategy.is_none()) {
                add(out, p + "strategy_signal_pool = ?", signal_pool_of_strategy);
            }
        }
    }
}

std::string json_path_key(const Value& key) {
    std::string out(".");
    out += json_quote(py_str(key));
    return out;
}

FilterClauses build_settings_filter(std::string_view table_alias, const SettingsFilter& filter,
                                    std::optional<std::string_view> eval_table) {
    FilterClauses out;
    const std::string prefix = table_alias.empty() ? std::string() : std::string(table_alias) + ".";

    if (!filter.era_id.is_none()) add(out, prefix + "era_id = ?", filter.era_id);
    if (!filter.named_universe.is_none()) {
        add(out, prefix + "named_universe = ?", filter.named_universe);
    }
    if (!filter.metaparameters.is_none()) {
        validate_metaparameters_shape(filter.metaparameters);
        const std::string clause = "json_extract(" + prefix + "metaparameters, ?) = ?";
        for (const auto& [pool_id, stages] : filter.metaparameters.as_map()) {
            std::string pool_path("$");
            pool_path += json_path_key(pool_id);
            for (const auto& [stage, value] : stages.as_map()) {
                out.clauses.push_back(clause);
                out.params.emplace_back(pool_path + json_path_key(stage));
                out.params.push_back(value);
            }
        }
    }
    if (!filter.source.is_none()) add(out, prefix + "source = ?", filter.source);
    add_pool_filters(out, prefix, eval_table, filter.strategy_pool_id, filter.signal_pool_id,
                     filter.strategy_signal_pool);
    return out;
}

std::string join_clauses(const std::vector<std::string>& clauses, std::string_view prefix) {
    if (clauses.empty()) return {};
    std::string out(prefix);
    out += ' ';
    for (std::size_t i = 0; i < clauses.size(); ++i) {
        if (i) out += " AND ";
        out += clauses[i];
    }
    return out;
}

}  // namespace plintrove
