#include "plintrove/queries/evaluation_history.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/placeholder_list.h"
#include "plintrove/value/json_reader.h"

namespace plintrove {

namespace {

constexpr std::string_view kHistoryColumns =
    "eval_id, timestamp, era_id, graph_json, tree_depth, rotation_families_json, "
    "passed_thresholds, sharpe, returns, turnover, drawdown, delta_exposure, max_weight, "
    "quality_score, agent_is_correlation, per_column_stats_json, rejection_reason, "
    "named_universe, metaparameters, submitted, liquidity_metrics_json, source, "
    "expression_elapsed_seconds, is_correlation, is_pnl_mi, agent_is_pnl_mi, failure_reason, "
    "failure_detail";

void check_page_args(const Value& eval_type, const SettingsFilter& f,
                     std::optional<std::int64_t> limit, std::int64_t offset) {
    validate_eval_type(eval_type);
    validate_source_query(f.source);
    if (limit && *limit < 1) throw ValueError("limit must be >= 1");
    if (offset < 0) throw ValueError("offset must be >= 0");
}

// Hosts pass sys.maxsize for "no limit": sums stop at the largest integer instead of wrapping.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::int64_t>::max() : sum;
}

template <typename T>
std::vector<T> page(std::vector<T> all, std::optional<std::int64_t> limit, std::int64_t offset) {
    const auto n = static_cast<std::int64_t>(all.size());
    const std::int64_t begin = std::min(offset, n);
    const std::int64_t end = limit ? std::min(n, saturating_add(begin, *limit)) : n;
    return std::vector<T>(std::make_move_iterator(all.begin() + begin),
                          std::make_move_iterator(all.begin() + end));
}

constexpr bool same_names(std::string_view a, std::string_view b) { return a == b; }

// The layout names every field of R, in the record's order.
template <typename R, std::size_t N>
constexpr bool names_every_field(const HistoryField (&layout)[N]) {
    const auto fields = R::fields();
    if (std::tuple_size_v<decltype(fields)> != N) return false;
    std::size_t i = 0;
    bool same = true;
    std::apply([&](const auto&... f) { ((same = same && same_names(f.name, layout[i++].name)), ...); },
               fields);
    return same;
}
static_assert(names_every_field<EvaluationRecord>(kHistoryFields));
static_assert(names_every_field<PerColumnStatsRecord>(kPerColumnFields));

// Raises what decoding the row's JSON columns would raise, in column order.
template <std::size_t N>
void check_json_columns(const StoredEvaluation& e, const HistoryField (&layout)[N]) {
    for (std::size_t c = 0; c < e.columns.size(); ++c) {
        const bool json = std::any_of(std::begin(layout), std::end(layout), [&](const HistoryField& f) {
            return (f.source == HistorySource::Json || f.source == HistorySource::JsonList) &&
                   f.column(e.strategy) == static_cast<int>(c);
        });
        if (!json) continue;
        if (const std::string* text = rows::json_column_text(e.columns[c])) {
            JsonCheck check;
            json_read(*text, check);
        }
    }
}

// Runs `select_head` + " WHERE eval_id IN (?,...)" over the ids in chunks and appends the
// columns after eval_id of each row to its evaluation's `usage`; each evaluation's rows come
// from exactly one chunk, so its rows match those of a single lookup.
void lookup_usage(SearchTracker& tracker, const std::string& select_head, const Params& ids,
                  const std::unordered_map<std::int64_t, StoredEvaluation*>& by_id,
                  std::vector<Value> StoredEvaluation::*usage) {
    for (std::size_t start = 0; start < ids.size(); start += kUsageLookupChunk) {
        const std::size_t count = std::min(kUsageLookupChunk, ids.size() - start);
        std::string sql = select_head;
        sql += " WHERE eval_id IN (";
        sql += placeholder_list(count, ",");
        sql += ')';
        Params chunk(ids.begin() + static_cast<std::ptrdiff_t>(start),
                     ids.begin() + static_cast<std::ptrdiff_t>(start + count));
        tracker.conn().for_each_row(sql, chunk, [&](const Row& r) {
            auto found = by_id.find(rows::to_int(r[0]));
            if (found == by_id.end()) return;
            std::vector<Value>& out = found->second->*usage;
            out.insert(out.end(), r.begin() + 1, r.end());
        });
    }
}

// The history columns of one table; its type's own columns follow the shared ones.
std::string history_select(std::string_view eval_table, std::string_view label) {
    std::string sql = "SELECT ";
    sql += kHistoryColumns;
    sql += label == "strategy" ? ", referenced_signal_ids_json, strategy_pool_id, strategy_signal_pool"
                               : ", signal_pool_id";
    sql += " FROM ";
    sql += eval_table;
    sql += ' ';
    return sql;
}

// The fetched rows of one table with their usage rows, JSON columns checked.
void append_evaluations(SearchTracker& tracker, const EvalTables& tables, std::string_view label,
                        std::vector<Row>& rows, std::vector<StoredEvaluation>& out) {
    if (rows.empty()) return;
    const std::size_t first = out.size();
    Params ids;
    ids.reserve(rows.size());
    for (Row& r : rows) {
        ids.push_back(r.at(0));
        out.push_back(StoredEvaluation{label == "strategy", std::move(r), {}, {}});
    }
    std::unordered_map<std::int64_t, StoredEvaluation*> by_id;
    by_id.reserve(ids.size());
    for (std::size_t i = first; i < out.size(); ++i) by_id.emplace(rows::to_int(ids[i - first]), &out[i]);
    lookup_usage(tracker,
                 "SELECT eval_id, function_name, rotation_family, function_family, "
                 "function_subfamily FROM " + std::string(tables.fn_table),
                 ids, by_id, &StoredEvaluation::function_usage);
    lookup_usage(tracker,
                 "SELECT eval_id, feature_name, feature_family, feature_subfamily FROM " +
                     std::string(tables.feat_table),
                 ids, by_id, &StoredEvaluation::feature_usage);
    for (std::size_t i = first; i < out.size(); ++i) check_json_columns(out[i], kHistoryFields);
}

}  // namespace

std::vector<StoredEvaluation> get_evaluation_history(SearchTracker& tracker,
                                                     const Value& eval_type, bool passed_only,
                                                     std::optional<std::int64_t> limit,
                                                     std::int64_t offset,
                                                     const SettingsFilter& filter) {
    OperationScope operation(tracker);
    check_page_args(eval_type, filter, limit, offset);
    const auto pairs = eval_table_pairs(eval_type);
    const auto tables = eval_table_triplets(eval_type);
    std::vector<StoredEvaluation> fetched;
    for (std::size_t t = 0; t < pairs.size(); ++t) {
        const auto& [eval_table, label] = pairs[t];
        FilterClauses f = build_settings_filter("", filter, eval_table);
        if (passed_only) f.clauses.emplace_back("passed_thresholds = 1");
        std::string sql = history_select(eval_table, label);
        sql += join_clauses(f.clauses);
        sql += " ORDER BY timestamp DESC";
        if (limit) {
            // Enough rows from each table to fill the page after merging.
            sql += " LIMIT ?";
            f.params.emplace_back(saturating_add(*limit, offset));
        }
        std::vector<Row> rows = tracker.conn().execute(sql, f.params).fetchall();
        append_evaluations(tracker, tables[t], label, rows, fetched);
    }
    if (pairs.size() > 1) {
        // A timestamp stored as something other than a number sorts as 0.
        std::stable_sort(fetched.begin(), fetched.end(),
                         [](const StoredEvaluation& a, const StoredEvaluation& b) {
                             return rows::to_real(a.columns[1]) > rows::to_real(b.columns[1]);
                         });
    }
    return page(std::move(fetched), limit, offset);
}

std::vector<StoredEvaluation> get_evaluation_history_chunk(SearchTracker& tracker,
                                                           const Value& eval_type,
                                                           bool passed_only,
                                                           std::int64_t after_eval_id,
                                                           std::int64_t limit,
                                                           const SettingsFilter& filter) {
    tracker.check_closed();
    validate_eval_type_strict(eval_type);
    validate_source_query(filter.source);
    if (limit < 1) throw ValueError("limit must be >= 1");
    const auto [eval_table, label] = eval_table_pairs(eval_type).at(0);
    FilterClauses f = build_settings_filter("", filter, eval_table);
    if (passed_only) f.clauses.emplace_back("passed_thresholds = 1");
    f.clauses.emplace_back("eval_id > ?");
    f.params.emplace_back(after_eval_id);
    f.params.emplace_back(limit);
    std::string sql = history_select(eval_table, label);
    sql += join_clauses(f.clauses);
    sql += " ORDER BY eval_id ASC LIMIT ?";
    std::vector<Row> rows = tracker.conn().execute(sql, f.params).fetchall();
    std::vector<StoredEvaluation> results;
    results.reserve(rows.size());
    append_evaluations(tracker, eval_table_triplets(eval_type).at(0), label, rows, results);
    return results;
}

std::vector<StoredEvaluation> get_per_column_stats_batch(
    SearchTracker& tracker, const Value& eval_type, std::optional<bool> passed_only,
    std::optional<std::int64_t> limit, std::int64_t offset, const SettingsFilter& filter) {
    OperationScope operation(tracker);
    check_page_args(eval_type, filter, limit, offset);
    std::vector<StoredEvaluation> results;
    for (const auto& [eval_table, label] : eval_table_pairs(eval_type)) {
        FilterClauses f = build_settings_filter("", filter, eval_table);
        if (passed_only) {
            f.clauses.emplace_back(*passed_only ? "passed_thresholds = 1" : "passed_thresholds = 0");
        }
        std::string sql =
            "SELECT eval_id, passed_thresholds, per_column_stats_json, rejection_reason, source "
            "FROM ";
        sql += eval_table;
        sql += ' ';
        sql += join_clauses(f.clauses);
        sql += " ORDER BY eval_id ASC";
        for (Row& r : tracker.conn().execute(sql, f.params).fetchall()) {
            results.push_back(StoredEvaluation{label == "strategy", std::move(r), {}, {}});
            check_json_columns(results.back(), kPerColumnFields);
        }
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const StoredEvaluation& a, const StoredEvaluation& b) {
                         return rows::to_int(a.columns[0]) < rows::to_int(b.columns[0]);
                     });
    return page(std::move(results), limit, offset);
}

}  // namespace plintrove
