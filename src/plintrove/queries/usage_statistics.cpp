#include "plintrove/queries/usage_statistics.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "plintrove/core/operation_scope.h"
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

void check_query_args(const Value& eval_type, const SettingsFilter& f) {
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

// Function names as small integers, so the pair counter hashes one integer per pair
// rather than two strings.
class NameIds {
public:
    std::uint32_t id(std::string_view name) {
        auto found = ids_.find(name);
        if (found != ids_.end()) return found->second;
        const auto next = static_cast<std::uint32_t>(names_.size());
        names_.emplace_back(name);
        ids_.emplace(names_.back(), next);
        return next;
    }
    const std::string& name(std::uint32_t id) const { return names_[id]; }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> ids_;
    std::vector<std::string> names_;
};

struct PairCounts {
    std::int64_t total = 0;
    std::int64_t passed = 0;
};

}  // namespace

std::vector<FunctionStats> get_function_stats(SearchTracker& tracker, const Value& eval_type,
                                              const SettingsFilter& filter) {
    OperationScope operation(tracker);
    check_query_args(eval_type, filter);
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
    OperationScope operation(tracker);
    check_query_args(eval_type, filter);
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
    OperationScope operation(tracker);
    check_query_args(eval_type, filter);
    // Instead of the self-join "f1.function_name < f2.function_name", each evaluation's usage
    // rows are read once, in eval_id order, and paired here the same way: every two rows with
    // different names count once, smaller name first (byte order, as SQLite's BINARY
    // collation), and a NULL name pairs with nothing. The counts are the join's, but one pass
    // over the usage rows replaces a join quadratic per evaluation and the sort of its
    // output. The function_name key of the ORDER BY lets SQLite read the covering
    // (eval_id, function_name, ...) index; the pairing does not depend on it.
    NameIds names;
    std::unordered_map<std::uint64_t, PairCounts> counter;
    std::vector<std::uint32_t> group;  // name ids of the current evaluation's usage rows
    std::int64_t group_passed = 0;
    auto count_group = [&] {
        for (std::size_t i = 0; i < group.size(); ++i) {
            for (std::size_t j = i + 1; j < group.size(); ++j) {
                std::uint32_t a = group[i], b = group[j];
                if (a == b) continue;
                if (names.name(b) < names.name(a)) std::swap(a, b);
                PairCounts& c = counter[(std::uint64_t{a} << 32) | b];
                c.total += 1;
                c.passed += group_passed;
            }
        }
        group.clear();
    };
    for (const auto& [usage_table, eval_table] : fn_usage_table_pairs(eval_type)) {
        FilterClauses f = build_settings_filter("e", filter, eval_table);
        if (passed_only) f.clauses.emplace_back("e.passed_thresholds = 1");
        std::string sql = "SELECT fu.eval_id, fu.function_name, e.passed_thresholds FROM ";
        sql += usage_table;
        sql += " fu JOIN ";
        sql += eval_table;
        sql += " e ON fu.eval_id = e.eval_id WHERE 1=1 ";
        sql += join_clauses(f.clauses, "AND");
        sql += " ORDER BY fu.eval_id, fu.function_name";
        std::optional<std::int64_t> current;
        tracker.conn().for_each_row(sql, f.params, [&](const Row& r) {
            const std::int64_t eval_id = rows::to_int(r[0]);
            if (eval_id != current) {
                count_group();
                current = eval_id;
                group_passed = rows::to_int(r[2]);
            }
            if (r[1].is_text()) group.push_back(names.id(r[1].as_text()));
        });
        count_group();  // eval_ids are per table: no group spans two tables
    }
    std::vector<CooccurrencePair> pairs;
    pairs.reserve(counter.size());
    for (const auto& [key, counts] : counter) {
        CooccurrencePair p;
        p.function_a = names.name(static_cast<std::uint32_t>(key >> 32));
        p.function_b = names.name(static_cast<std::uint32_t>(key & 0xffffffffu));
        p.total_cooccurrences = counts.total;
        p.passed_cooccurrences = counts.passed;
        pairs.push_back(std::move(p));
    }
    // Name pairs are unique, so the key orders completely.
    std::sort(pairs.begin(), pairs.end(), [](const CooccurrencePair& a, const CooccurrencePair& b) {
        if (a.total_cooccurrences != b.total_cooccurrences)
            return a.total_cooccurrences > b.total_cooccurrences;
        if (a.function_a != b.function_a) return a.function_a < b.function_a;
        return a.function_b < b.function_b;
    });
    return pairs;
}

}  // namespace plintrove
