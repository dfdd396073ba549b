#include "plintrove/core/evaluation_recording.h"

#include <array>
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/core/graph_analysis.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/insert_statement.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

// ---- statement texts -------------------------------------------------------------------
// Built once per table kind: the connection caches prepared statements by their text, so
// an identical text on every call is what makes the cache hit.

constexpr std::array<std::string_view, 20> kBaseColumns{
    "timestamp",     "era_id",           "graph_json",
    "tree_depth",    "rotation_families_json", "passed_thresholds",
    "sharpe",        "returns",          "turnover",
    "drawdown",      "delta_exposure",   "max_weight",
    "quality_score", "agent_is_correlation", "per_column_stats_json",
    "rejection_reason", "named_universe", "metaparameters",
    "submitted",     "liquidity_metrics_json"};
constexpr std::array<std::string_view, 1> kSignalPoolColumns{"signal_pool_id"};
constexpr std::array<std::string_view, 3> kStrategyPoolColumns{
    "referenced_signal_ids_json", "strategy_pool_id", "strategy_signal_pool"};
constexpr std::array<std::string_view, 2> kSourceColumns{"source", "expression_elapsed_seconds"};

template <typename Columns>
void append_columns(std::vector<std::string>& columns, const Columns& names) {
    columns.insert(columns.end(), names.begin(), names.end());
}

std::string build_eval_sql(std::string_view table, bool strategy) {
    std::vector<std::string> columns;
    append_columns(columns, kBaseColumns);
    if (strategy) {
        append_columns(columns, kStrategyPoolColumns);
    } else {
        append_columns(columns, kSignalPoolColumns);
    }
    append_columns(columns, kSourceColumns);
    append_columns(columns, kEvalMetricColumnNames);
    append_columns(columns, IdentityColumns::columns());
    return insert_statement("INSERT INTO ", table, columns);
}

const std::string& eval_sql(bool strategy) {
    static const std::string signal_sql = build_eval_sql(kSignalTables.eval_table, false);
    static const std::string strategy_sql = build_eval_sql(kStrategyTables.eval_table, true);
    return strategy ? strategy_sql : signal_sql;
}

std::string build_fn_usage_sql(std::string_view table) {
    std::string sql = "INSERT INTO ";
    sql += table;
    sql += " (eval_id, function_name, rotation_family, function_family, function_subfamily) "
           "VALUES (?, ?, ?, ?, ?)";
    return sql;
}

std::string build_feat_usage_sql(std::string_view table) {
    std::string sql = "INSERT INTO ";
    sql += table;
    sql += " (eval_id, feature_name, feature_family, feature_subfamily) VALUES (?, ?, ?, ?)";
    return sql;
}

// `table` is one of the fixed usage tables in practice; any other name gets its own text.
const std::string& usage_sql(std::string_view table, bool functions) {
    static const std::array<std::string, 4> fixed{
        build_fn_usage_sql(kSignalTables.fn_table), build_fn_usage_sql(kStrategyTables.fn_table),
        build_feat_usage_sql(kSignalTables.feat_table),
        build_feat_usage_sql(kStrategyTables.feat_table)};
    if (functions) {
        if (table == kSignalTables.fn_table) return fixed[0];
        if (table == kStrategyTables.fn_table) return fixed[1];
    } else {
        if (table == kSignalTables.feat_table) return fixed[2];
        if (table == kStrategyTables.feat_table) return fixed[3];
    }
    thread_local std::string custom;
    custom = functions ? build_fn_usage_sql(table) : build_feat_usage_sql(table);
    return custom;
}

// ---- usage rows ------------------------------------------------------------------------

// The family columns of one usage row: pointers into the family table, null for NULL.
struct UsageFamily {
    const Value* family = nullptr;
    const Value* subfamily = nullptr;
};

// Resolves every usage row's family columns and checks every name can be stored, so that a
// bad name or family entry is refused before the first usage row is written.
std::vector<UsageFamily> resolve_usage(const List& names, const Value& families,
                                       std::string_view families_name) {
    std::vector<UsageFamily> rows(names.size());
    const Mapping* table = nullptr;
    if (families.truthy()) {
        if (!families.is_map()) {
            throw TypeError(std::string(families_name) + " must be a dict");
        }
        table = &families.as_map();
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Value& name = names[i];
        if (name.is_list() || name.is_map() || name.is_big_int()) {
            throw TypeError("expression graph node names must be text or numbers, got " +
                            py_repr(name));
        }
        if (table == nullptr) continue;
        const Value* entry = table->find(name);
        if (entry == nullptr) continue;
        if (!entry->is_list() || entry->as_list().size() < 2) {
            throw ValueError(std::string(families_name) + "[" + py_repr(name) +
                             "] must be a (family, subfamily) sequence");
        }
        rows[i] = {&entry->as_list()[0], &entry->as_list()[1]};
    }
    return rows;
}

Value or_none(const Value* v) { return v == nullptr ? Value() : *v; }

// Nothing is read back from a usage row, so a connection may send them together with the
// statement that follows (PostgreSQL pipelines them up to the COMMIT).
void write_usage_rows(Connection& conn, std::int64_t eval_id, const List& functions,
                      const std::vector<UsageFamily>& fn_families, const List& features,
                      const std::vector<UsageFamily>& feat_families, std::string_view fn_table,
                      std::string_view feat_table) {
    if (!functions.empty()) {
        const std::string& sql = usage_sql(fn_table, true);
        // One parameter vector reused for every row, so text buffers keep their capacity.
        Params params(5);
        params[0] = Value(eval_id);
        for (std::size_t i = 0; i < functions.size(); ++i) {
            params[1] = functions[i];
            params[2] = or_none(fn_families[i].family);
            params[3] = params[2];
            params[4] = or_none(fn_families[i].subfamily);
            conn.execute_unread(sql, params);
        }
    }
    if (!features.empty()) {
        const std::string& sql = usage_sql(feat_table, false);
        Params params(4);
        params[0] = Value(eval_id);
        for (std::size_t i = 0; i < features.size(); ++i) {
            params[1] = features[i];
            params[2] = or_none(feat_families[i].family);
            params[3] = or_none(feat_families[i].subfamily);
            conn.execute_unread(sql, params);
        }
    }
}

}  // namespace

// ---- encoding --------------------------------------------------------------------------

// JSON is written into one buffer per thread that keeps its capacity, then copied once at
// its final size into the parameter.
Value json_param(const Value& v) {
    thread_local std::string buffer;
    buffer.clear();
    json_dumps_into(v, buffer);
    return Value(std::string(buffer));
}

Value rotation_families_param(const std::vector<const Value*>& families) {
    // A container among them is written as part of the list, whose depth it adds to.
    if (std::any_of(families.begin(), families.end(),
                    [](const Value* family) { return family->is_list() || family->is_map(); })) {
        List copies;
        for (const Value* family : families) copies.push_back(*family);
        return json_param(Value(std::move(copies)));
    }
    thread_local std::string buffer;
    buffer.assign(1, '[');
    for (std::size_t i = 0; i < families.size(); ++i) {
        if (i > 0) buffer += ", ";
        json_dumps_into(*families[i], buffer);
    }
    buffer += ']';
    return Value(std::string(buffer));
}

Value json_column(std::optional<std::string> text, const Value& value) {
    if (text) return Value(std::move(*text));
    return value.is_none() ? Value() : json_param(value);
}

namespace {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- validation ------------------------------------------------------------------------

void validate_record_params(const EvaluationArgs& a, const Value& required_pool_id) {
    if (a.era_id <= 0) throw ValueError("era_id must be > 0");
    const bool graph_truthy = a.prepared_graph ? a.prepared_graph->truthy : a.graph.truthy();
    if (!graph_truthy) throw ValueError("graph must not be empty");
    if (!a.named_universe.truthy()) throw ValueError("named_universe must not be empty");
    validate_metaparameters_shape(a.metaparameters, "metaparameters", required_pool_id);
    if (a.passed_thresholds && !a.rejection_reason.is_none()) {
        throw ValueError("rejection_reason must be None when passed_thresholds is True");
    }
    if (!a.passed_thresholds && a.rejection_reason.is_text() &&
        a.rejection_reason.as_text().empty()) {
        throw ValueError("rejection_reason must not be empty string");
    }
    validate_source_record(a.source);
}

// The pool columns that differ between the two evaluation tables.
struct PoolColumns {
    bool strategy = false;
    // Validated arguments of the caller: signal_pool_id or strategy_pool_id, and for
    // strategies the referenced ids and the signal pool.
    const Value* pool_id = nullptr;
    const Value* referenced_signal_ids = nullptr;
    const Value* strategy_signal_pool = nullptr;
};

std::int64_t insert_evaluation(SearchTracker& tracker, EvaluationArgs& a,
                               const EvalTables& tables, const PoolColumns& pools) {
    // Analysis and encoding, all before the first write.
    const PreparedGraph* prepared = a.prepared_graph ? &*a.prepared_graph : nullptr;
    const GraphAnalysis analysis(a.graph, prepared);
    const std::int64_t tree_depth = analysis.depth();
    const GraphNames& names = analysis.names();
    const List& functions = names.functions;
    const List& features = names.features;
    const std::vector<UsageFamily> fn_families =
        resolve_usage(functions, a.function_families, "function_families");
    const std::vector<UsageFamily> feat_families =
        resolve_usage(features, a.feature_families, "feature_families");
    // The usage rows' check of each function's entry is stricter than the rotation families'
    // own, so these are what rotation_families_of gives, without looking the names up again.
    std::vector<const Value*> families;
    for (const UsageFamily& row : fn_families) {
        if (row.family != nullptr) add_rotation_family(families, row.family);
    }
    Value rotation_families = rotation_families_param(families);

    Params values;
    values.reserve(34);
    values.emplace_back(now_seconds());
    values.emplace_back(a.era_id);
    values.push_back(prepared ? Value(std::move(a.prepared_graph->json)) : json_param(a.graph));
    values.emplace_back(tree_depth);
    values.push_back(std::move(rotation_families));
    values.emplace_back(a.passed_thresholds ? 1 : 0);
    if (a.stats_error) std::rethrow_exception(a.stats_error);
    const BacktestStats& s = a.stats;
    for (double stat : {s.sharpe, s.returns, s.turnover, s.drawdown, s.delta_exposure,
                        s.max_weight, s.quality_score, s.correlation}) {
        values.emplace_back(stat);
    }
    values.push_back(json_column(std::move(a.per_column_stats_json), a.per_column_stats));
    values.push_back(a.rejection_reason);
    values.push_back(a.named_universe);
    values.push_back(json_param(a.metaparameters));
    values.emplace_back(0);
    values.push_back(json_column(std::move(a.liquidity_metrics_json), s.liquidity_metrics));
    if (pools.strategy) {
        values.push_back(json_param(*pools.referenced_signal_ids));
        values.push_back(*pools.pool_id);
        values.push_back(*pools.strategy_signal_pool);
    } else {
        values.push_back(*pools.pool_id);
    }
    values.push_back(a.source);
    values.push_back(a.expression_elapsed_seconds);
    values.push_back(a.is_correlation);
    values.push_back(a.is_pnl_mi);
    values.push_back(a.agent_is_pnl_mi);
    values.push_back(a.failure_reason);
    values.push_back(failure_detail_for_storage(a.failure_detail));

    // Raises when no identity is attached; read now, never cached.
    IdentityColumns identity = tracker.identity_columns();
    for (Value& v : identity.values) values.push_back(std::move(v));
    const std::string& sql = eval_sql(pools.strategy);

    // A failure from here on is rolled back by the caller's OperationScope (unless the
    // transaction was the caller's own).
    ConnWrapper& conn = tracker.conn();
    Cursor cursor = conn.execute(sql, values);
    std::optional<std::int64_t> eval_id = cursor.lastrowid();
    if (!eval_id) {
        throw RuntimeError(std::string("INSERT INTO ") + std::string(tables.eval_table) +
                           " returned no eval_id");
    }
    write_usage_rows(conn, *eval_id, functions, fn_families, features, feat_families,
                     tables.fn_table, tables.feat_table);
    store_custom_stats(conn, tables.eval_table, *eval_id, s.custom_stats);
    TrialLedgerBatch ledger;
    ledger.add(pools.strategy,
               TrialScope{Value(a.era_id), *pools.pool_id, a.named_universe, a.source}, *eval_id,
               s.sharpe, !a.failure_reason.is_none());
    ledger.write(conn);
    conn.commit();
    return *eval_id;
}

}  // namespace

std::int64_t record_signal_evaluation(SearchTracker& tracker, SignalEvaluationArgs&& args) {
    OperationScope operation(tracker, OperationScope::RollBackOnFailure{});
    validate_pool_id_required(args.signal_pool_id, "signal_pool_id");
    validate_record_params(args, args.signal_pool_id);
    PoolColumns pools;
    pools.pool_id = &args.signal_pool_id;
    return insert_evaluation(tracker, args, kSignalTables, pools);
}

std::int64_t record_strategy_evaluation(SearchTracker& tracker, StrategyEvaluationArgs&& args) {
    OperationScope operation(tracker, OperationScope::RollBackOnFailure{});
    validate_pool_id_required(args.strategy_pool_id, "strategy_pool_id");
    validate_pool_id_required(args.strategy_signal_pool, "strategy_signal_pool");
    validate_record_params(args, args.strategy_pool_id);
    if (!args.referenced_signal_ids.truthy()) {
        throw ValueError("referenced_signal_ids must not be empty");
    }
    check_strategy_signal_pool_references(tracker.conn(), args.strategy_pool_id,
                                          args.strategy_signal_pool,
                                          args.referenced_signal_ids);
    PoolColumns pools;
    pools.strategy = true;
    pools.pool_id = &args.strategy_pool_id;
    pools.referenced_signal_ids = &args.referenced_signal_ids;
    pools.strategy_signal_pool = &args.strategy_signal_pool;
    return insert_evaluation(tracker, args, kStrategyTables, pools);
}

void insert_usage_rows(Connection& conn, std::int64_t eval_id, const List& functions,
                       const List& features, std::string_view fn_table,
                       std::string_view feat_table, const Value& function_families,
                       const Value& feature_families) {
    const std::vector<UsageFamily> fn_families =
        resolve_usage(functions, function_families, "function_families");
    const std::vector<UsageFamily> feat_families =
        resolve_usage(features, feature_families, "feature_families");
    write_usage_rows(conn, eval_id, functions, fn_families, features, feat_families, fn_table,
                     feat_table);
}

void check_strategy_signal_pool_references(Connection& conn, const Value& strategy_pool_id,
                                           const Value& strategy_signal_pool,
                                           const Value& referenced_signal_ids) {
    // Anything but a list of ids would be iterated as its characters or keys, which never
    // names signals; an empty text or mapping iterates nothing, as an empty list does.
    if (!referenced_signal_ids.is_list()) {
        bool empty_iterable =
            (referenced_signal_ids.is_text() && referenced_signal_ids.as_text().empty()) ||
            (referenced_signal_ids.is_map() && referenced_signal_ids.as_map().empty());
        if (empty_iterable) return;
        throw TypeError("referenced_signal_ids must be a list of signal ids");
    }
    static const std::string sql = "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?";
    Params params(1);
    for (const Value& signal_id : referenced_signal_ids.as_list()) {
        if (signal_id.is_list() || signal_id.is_map()) {
            throw TypeError("referenced_signal_ids entries must be signal ids, got " +
                            py_repr(signal_id));
        }
        params[0] = signal_id;
        std::optional<Row> row = conn.execute(sql, params).fetchone();
        Value actual = row && !row->empty() ? (*row)[0] : Value();
        if (actual != strategy_signal_pool) {
            throw CrossPoolReferenceError(
                "strategy_pool_id=" + py_repr(strategy_pool_id) +
                " strategy_id=<pending> referenced_signal_id=" + py_repr(signal_id) +
                " expected_strategy_signal_pool=" + py_repr(strategy_signal_pool) +
                " actual_signal_pool_id=" + py_repr(actual));
        }
    }
}

Value failure_detail_for_storage(const Value& value) {
    if (value.is_none() || value.is_text()) return value;
    try {
        return Value(json_dumps_compact_sorted(value));
    } catch (const TypeError&) {
        return Value(py_str(value));
    } catch (const ValueError&) {
        return Value(py_str(value));
    }
}

}  // namespace plintrove
