#include "plintrove/queries/usage_statistics.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"

namespace plintrove {

std::vector<Row> usage_stats_query(SearchTracker& tracker,
                                   const std::vector<UsageTablePair>& usage_tables,
                                   std::string_view select_cols, std::string_view group_cols,
                                   std::string_view outer_cols, const SettingsFilter& filter) {
    std::vector<std::string> inner;
    Params params;
    for (const auto& [usage_table, eval_table] : usage_tables) {
        FilterClauses f = build_settings_filter("e", filter, eval_table);
        std::string sql = "SELECT ";
        sql += select_cols;
        sql += ", COUNT(*) as total, SUM(e.passed_thresholds) as passed FROM ";
        sql += usage_table;
        sql += " fu JOIN ";
        sql += eval_table;
        sql += " e ON fu.eval_id = e.eval_id WHERE 1=1 ";
        sql += join_clauses(f.clauses, "AND");
        sql += " GROUP BY ";
        sql += group_cols;
        inner.push_back(std::move(sql));
        params.insert(params.end(), std::make_move_iterator(f.params.begin()),
                      std::make_move_iterator(f.params.end()));
    }
    std::string sql;
    if (inner.size() == 1) {
        sql = std::move(inner.front());
    } else {
        sql = "SELECT ";
        sql += outer_cols;
        sql += ", SUM(total) as total, SUM(passed) as passed FROM (";
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (i) sql += " UNION ALL ";
            sql += inner[i];
        }
        // PostgreSQL requires an alias on a subquery in FROM; SQLite accepts it.
        sql += ") AS usage_union GROUP BY ";
        sql += outer_cols;
    }
    return tracker.conn().execute(sql, params).fetchall();
}

namespace {

void check_query_args(SearchTracker& tracker, const Value& eval_type, const SettingsFilter& f) {
    tracker.check_closed();
    validate_eval_type(eval_type);
    validate_source_query(f.source);
}

template <typename Stats>
void sort_by_yield(std::vector<Stats>& stats) {
    std::stable_sort(stats.begin(), stats.end(), [](const Stats& a, const Stats& b) {
        if (a.yield_rate != b.yield_rate) return a.yield_rate > b.yield_rate;
        return a.total_evaluations > b.total_evaluations;
    });
}

double ratio(std::int64_t passed, std::int64_t total) {
    return static_cast<double>(passed) / static_cast<double>(total);
}

}  // namespace

std::vector<FunctionStats> get_function_stats(SearchTracker& tracker, const Value& eval_type,
                                              const SettingsFilter& filter) {
    check_query_args(tracker, eval_type, filter);
    std::vector<Row> rows = usage_stats_query(
        tracker, fn_usage_table_pairs(eval_type), "fu.function_name, fu.rotation_family",
        "fu.function_name, fu.rotation_family", "function_name, rotation_family", filter);
    std::vector<FunctionStats> stats;
    stats.reserve(rows.size());
    for (const Row& r : rows) {
        FunctionStats s;
        s.function_name = rows::to_text(r.at(0));
        s.rotation_family = rows::to_opt_text(r.at(1));
        s.total_evaluations = rows::to_int(r.at(2));
        s.passed_evaluations = rows::to_int(r.at(3));
        s.yield_rate = ratio(s.passed_evaluations, s.total_evaluations);
        stats.push_back(std::move(s));
    }
    sort_by_yield(stats);
    return stats;
}

std::vector<FeatureStats> get_feature_stats(SearchTracker& tracker, const Value& eval_type,
                                            const SettingsFilter& filter) {
    check_query_args(tracker, eval_type, filter);
    std::vector<Row> rows = usage_stats_query(tracker, feat_usage_table_pairs(eval_type),
                                              "fu.feature_name", "fu.feature_name",
                                              "feature_name", filter);
    std::vector<FeatureStats> stats;
    stats.reserve(rows.size());
    for (const Row& r : rows) {
        FeatureStats s;
        s.feature_name = rows::to_text(r.at(0));
        s.total_evaluations = rows::to_int(r.at(1));
        s.passed_evaluations = rows::to_int(r.at(2));
        s.yield_rate = ratio(s.passed_evaluations, s.total_evaluations);
        stats.push_back(std::move(s));
    }
    sort_by_yield(stats);
    return stats;
}

std::vector<CooccurrencePair> get_function_cooccurrence(SearchTracker& tracker,
                                                        const Value& eval_type, bool passed_only,
                                                        const SettingsFilter& filter) {
    check_query_args(tracker, eval_type, filter);
    // The database counts row pairs per name pair and table; the counter only merges the
    // tables, so a store of millions of usage rows moves one row per pair and table.
    std::map<std::pair<std::string, std::string>, std::pair<std::int64_t, std::int64_t>> counter;
    for (const auto& [usage_table, eval_table] : fn_usage_table_pairs(eval_type)) {
        FilterClauses f = build_settings_filter("e", filter, eval_table);
        if (passed_only) f.clauses.emplace_back("e.passed_thresholds = 1");
        std::string sql =
            "SELECT f1.function_name, f2.function_name, COUNT(*), SUM(e.passed_thresholds) FROM ";
        sql += usage_table;
        sql += " f1 JOIN ";
        sql += usage_table;
        sql += " f2 ON f1.eval_id = f2.eval_id AND f1.function_name < f2.function_name JOIN ";
        sql += eval_table;
        sql += " e ON f1.eval_id = e.eval_id WHERE 1=1 ";
        sql += join_clauses(f.clauses, "AND");
        sql += " GROUP BY f1.function_name, f2.function_name";
        for (const Row& r : tracker.conn().execute(sql, f.params).fetchall()) {
            auto& entry = counter[{rows::to_text(r.at(0)), rows::to_text(r.at(1))}];
            entry.first += rows::to_int(r.at(2));
            entry.second += rows::to_int(r.at(3));
        }
    }
    std::vector<CooccurrencePair> pairs;
    pairs.reserve(counter.size());
    for (auto& [names, counts] : counter) {
        CooccurrencePair p;
        p.function_a = names.first;
        p.function_b = names.second;
        p.total_cooccurrences = counts.first;
        p.passed_cooccurrences = counts.second;
        pairs.push_back(std::move(p));
    }
    // The map already orders by (function_a, function_b); a stable sort on the total keeps that
    // as the tie-break.
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.total_cooccurrences > b.total_cooccurrences;
    });
    return pairs;
}

}  // namespace plintrove
