#include "plintrove/queries/evaluation_history.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/failure_detail_decoding.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/placeholder_list.h"

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

struct UsageLists {
    List functions, function_metadata, features, feature_metadata;
};
using UsageById = std::unordered_map<std::int64_t, UsageLists>;

// Runs `select_head` + " WHERE eval_id IN (?,...)" over the ids in chunks; each evaluation's
// rows come from exactly one chunk, so its lists match those of a single lookup.
template <typename OnRow>
void lookup_usage(SearchTracker& tracker, const std::string& select_head, const Params& ids,
                  OnRow on_row) {
    for (std::size_t start = 0; start < ids.size(); start += kUsageLookupChunk) {
        const std::size_t count = std::min(kUsageLookupChunk, ids.size() - start);
        std::string sql = select_head;
        sql += " WHERE eval_id IN (";
        sql += placeholder_list(count, ",");
        sql += ')';
        Params chunk(ids.begin() + static_cast<std::ptrdiff_t>(start),
                     ids.begin() + static_cast<std::ptrdiff_t>(start + count));
        for (Row& r : tracker.conn().execute(sql, chunk).fetchall()) on_row(r);
    }
}

UsageById read_usage(SearchTracker& tracker, const EvalTables& tables, const Params& ids) {
    UsageById usage;
    lookup_usage(tracker,
                 "SELECT eval_id, function_name, rotation_family, function_family, "
                 "function_subfamily FROM " +
                     std::string(tables.fn_table),
                 ids, [&](Row& r) {
                     UsageLists& u = usage[rows::to_int(r[0])];
                     u.functions.push_back(r[1]);
                     u.function_metadata.emplace_back(Mapping{{"function_name", std::move(r[1])},
                                                              {"rotation_family", std::move(r[2])},
                                                              {"function_family", std::move(r[3])},
                                                              {"function_subfamily", std::move(r[4])}});
                 });
    lookup_usage(tracker,
                 "SELECT eval_id, feature_name, feature_family, feature_subfamily FROM " +
                     std::string(tables.feat_table),
                 ids, [&](Row& r) {
                     UsageLists& u = usage[rows::to_int(r[0])];
                     u.features.push_back(r[1]);
                     u.feature_metadata.emplace_back(Mapping{{"feature_name", std::move(r[1])},
                                                             {"feature_family", std::move(r[2])},
                                                             {"feature_subfamily", std::move(r[3])}});
                 });
    return usage;
}

EvaluationRecord history_record(Row& r, std::string_view label, UsageById& usage) {
    using namespace rows;
    EvaluationRecord e;
    e.eval_id = r[0];
    e.eval_type = std::string(label);
    e.timestamp = std::move(r[1]);
    e.era_id = std::move(r[2]);
    e.graph = json_column(r[3]);
    e.tree_depth = std::move(r[4]);
    e.rotation_families_used = json_column(r[5], Value(List{}));
    e.passed_thresholds = r[6].truthy();
    e.sharpe = std::move(r[7]);
    e.returns = std::move(r[8]);
    e.turnover = std::move(r[9]);
    e.drawdown = std::move(r[10]);
    e.delta_exposure = std::move(r[11]);
    e.max_weight = std::move(r[12]);
    e.quality_score = std::move(r[13]);
    e.correlation = r[14];
    e.agent_is_correlation = std::move(r[14]);
    e.per_column_stats = json_column(r[15]);
    e.rejection_reason = std::move(r[16]);
    e.named_universe = std::move(r[17]);
    e.metaparameters = json_column(r[18]);
    e.submitted = r[19].truthy();
    e.liquidity_metrics = json_column(r[20]);
    e.source = std::move(r[21]);
    e.expression_elapsed_seconds = std::move(r[22]);
    e.is_correlation = std::move(r[23]);
    e.is_pnl_mi = std::move(r[24]);
    e.agent_is_pnl_mi = std::move(r[25]);
    e.failure_reason = std::move(r[26]);
    e.failure_detail = failure_detail_from_storage(r[27]);
    if (label == "strategy") {
        e.referenced_signal_ids = json_column(r[28]);
        e.strategy_pool_id = std::move(r[29]);
        e.strategy_signal_pool = std::move(r[30]);
    } else {
        e.signal_pool_id = std::move(r[28]);
    }
    auto it = usage.find(rows::to_int(e.eval_id));
    if (it == usage.end()) {
        e.functions = List{};
        e.function_metadata = List{};
        e.features = List{};
        e.feature_metadata = List{};
    } else {
        e.functions = std::move(it->second.functions);
        e.function_metadata = std::move(it->second.function_metadata);
        e.features = std::move(it->second.features);
        e.feature_metadata = std::move(it->second.feature_metadata);
    }
    return e;
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

// Records of the fetched rows of one table, with their usage lists.
void append_records(SearchTracker& tracker, const EvalTables& tables, std::string_view label,
                    std::vector<Row>& rows, std::vector<EvaluationRecord>& out) {
    if (rows.empty()) return;
    Params ids;
    ids.reserve(rows.size());
    for (const Row& r : rows) ids.push_back(r.at(0));
    UsageById usage = read_usage(tracker, tables, ids);
    for (Row& r : rows) out.push_back(history_record(r, label, usage));
}

}  // namespace

std::vector<EvaluationRecord> get_evaluation_history(SearchTracker& tracker,
                                                     const Value& eval_type, bool passed_only,
                                                     std::optional<std::int64_t> limit,
                                                     std::int64_t offset,
                                                     const SettingsFilter& filter) {
    OperationScope operation(tracker);
    check_page_args(eval_type, filter, limit, offset);
    const auto pairs = eval_table_pairs(eval_type);
    const auto tables = eval_table_triplets(eval_type);
    std::vector<EvaluationRecord> results;
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
        append_records(tracker, tables[t], label, rows, results);
    }
    if (pairs.size() > 1) {
        // A timestamp stored as something other than a number sorts as 0.
        std::stable_sort(results.begin(), results.end(),
                         [](const EvaluationRecord& a, const EvaluationRecord& b) {
                             return rows::to_real(a.timestamp) > rows::to_real(b.timestamp);
                         });
    }
    return page(std::move(results), limit, offset);
}

std::vector<EvaluationRecord> get_evaluation_history_chunk(SearchTracker& tracker,
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
    std::vector<EvaluationRecord> results;
    results.reserve(rows.size());
    append_records(tracker, eval_table_triplets(eval_type).at(0), label, rows, results);
    return results;
}

std::vector<PerColumnStatsRecord> get_per_column_stats_batch(
    SearchTracker& tracker, const Value& eval_type, std::optional<bool> passed_only,
    std::optional<std::int64_t> limit, std::int64_t offset, const SettingsFilter& filter) {
    OperationScope operation(tracker);
    check_page_args(eval_type, filter, limit, offset);
    std::vector<PerColumnStatsRecord> results;
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
            PerColumnStatsRecord p;
            p.eval_id = std::move(r[0]);
            p.eval_type = std::string(label);
            p.passed_thresholds = r[1].truthy();
            p.per_column_stats = rows::json_column(r[2]);
            p.rejection_reason = std::move(r[3]);
            p.source = std::move(r[4]);
            results.push_back(std::move(p));
        }
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const PerColumnStatsRecord& a, const PerColumnStatsRecord& b) {
                         return rows::to_int(a.eval_id) < rows::to_int(b.eval_id);
                     });
    return page(std::move(results), limit, offset);
}

}  // namespace plintrove
