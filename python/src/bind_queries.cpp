#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/pair.h>

#include "bindings.h"
#include "convert.h"
#include "history_records.h"
#include "plintrove/queries/distinct_values.h"
#include "plintrove/queries/evaluation_counts.h"
#include "plintrove/queries/evaluation_history.h"
#include "plintrove/queries/evaluation_stats_rows.h"
#include "plintrove/queries/evaluation_velocity.h"
#include "plintrove/queries/failure_detail_decoding.h"
#include "plintrove/queries/filters.h"
#include "plintrove/queries/usage_statistics.h"
#include "plintrove/queries/validators.h"

namespace plintrove::py {

namespace {

using Release = nb::call_guard<nb::gil_scoped_release>;

// The settings arguments every query shares, converted while the GIL is held.
SettingsFilter settings(nb::handle era_id, nb::handle named_universe, nb::handle metaparameters,
                        nb::handle source, nb::handle strategy_pool_id, nb::handle signal_pool_id,
                        nb::handle strategy_signal_pool) {
    SettingsFilter f;
    f.era_id = from_arg<Value>(era_id, "era_id");
    f.named_universe = from_arg<Value>(named_universe, "named_universe");
    f.metaparameters = from_arg<Value>(metaparameters, "metaparameters");
    f.source = from_arg<Value>(source, "source");
    f.strategy_pool_id = from_arg<Value>(strategy_pool_id, "strategy_pool_id");
    f.signal_pool_id = from_arg<Value>(signal_pool_id, "signal_pool_id");
    f.strategy_signal_pool = from_arg<Value>(strategy_signal_pool, "strategy_signal_pool");
    return f;
}

nb::list rows_to_tuples(const std::vector<Row>& rows) {
    nb::list out;
    for (const Row& r : rows) {
        nb::list items;
        for (const Value& v : r) items.append(from_value(v));
        out.append(nb::tuple(items));
    }
    return out;
}

template <typename Pair>
nb::list pairs_to_tuples(const std::vector<Pair>& pairs) {
    nb::list out;
    for (const auto& [a, b] : pairs) out.append(nb::make_tuple(nb::str(a.data(), a.size()),
                                                               nb::str(b.data(), b.size())));
    return out;
}

// A validator argument: any object; text and None keep their identity, others keep their
// printed form for the message (they never pass).
Value validator_arg(nb::handle h) { return to_value_or_str(h); }

// Binds a query whose Python parameters are era_id, eval_type, then those of `Extra`, then
// the settings keywords, all None by default unless `extra_args` say otherwise. The settings
// and the type are converted first, with the GIL held; `query(t, type, filter, extra...)`
// converts its own arguments and releases the GIL for the database work.
template <typename... Extra, typename Query, typename... ExtraArgs>
void def_filtered_query(TrackerClass& cls, const char* name, Query query, const char* doc,
                        ExtraArgs&&... extra_args) {
    cls.def(
        name,
        [query](SearchTracker& t, nb::handle era_id, nb::handle eval_type, Extra... extra,
                nb::handle named_universe, nb::handle metaparameters, nb::handle source,
                nb::handle strategy_pool_id, nb::handle signal_pool_id,
                nb::handle strategy_signal_pool) {
            SettingsFilter f = settings(era_id, named_universe, metaparameters, source,
                                        strategy_pool_id, signal_pool_id, strategy_signal_pool);
            Value type = from_arg<Value>(eval_type, "eval_type");
            return query(t, type, f, extra...);
        },
        nb::arg("era_id").none() = nb::none(), nb::arg("eval_type").none() = nb::none(),
        std::forward<ExtraArgs>(extra_args)..., nb::arg("named_universe").none() = nb::none(),
        nb::arg("metaparameters").none() = nb::none(), nb::arg("source").none() = nb::none(),
        nb::arg("strategy_pool_id").none() = nb::none(),
        nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_signal_pool").none() = nb::none(), doc);
}

// For queries that take the type and the filter alone.
template <typename Result>
void def_filtered_query(TrackerClass& cls, const char* name,
                        Result (*query)(SearchTracker&, const Value&, const SettingsFilter&),
                        const char* doc) {
    def_filtered_query<>(
        cls, name,
        [query](SearchTracker& t, const Value& type, const SettingsFilter& f) {
            nb::gil_scoped_release release;
            return query(t, type, f);
        },
        doc);
}

// get_signal_stats and get_strategy_stats: one evaluation table's stats rows.
void def_stats_rows(TrackerClass& cls, const char* name,
                    List (*query)(SearchTracker&, const Value&, std::optional<std::int64_t>)) {
    cls.def(
        name,
        [query](SearchTracker& t, nb::handle eval_id, nb::handle limit) {
            Value id = from_arg<Value>(eval_id, "eval_id");
            const auto lim = from_arg<std::optional<std::int64_t>>(limit, "limit");
            nb::gil_scoped_release release;
            return Value(query(t, id, lim));
        },
        nb::arg("eval_id").none() = nb::none(), nb::arg("limit").none() = 1000);
}

}  // namespace

void bind_queries(nb::module_& m, TrackerClass& cls) {
    // ---- usage statistics ----------------------------------------------------------------
    def_filtered_query(cls, "get_function_stats", &get_function_stats,
                       "Per-function yield, highest yield first.");
    def_filtered_query(cls, "get_feature_stats", &get_feature_stats,
                       "Per-feature yield, highest yield first.");
    def_filtered_query<nb::handle>(
        cls, "get_function_cooccurrence",
        [](SearchTracker& t, const Value& type, const SettingsFilter& f, nb::handle passed_only) {
            const bool passed = truth(passed_only);
            nb::gil_scoped_release release;
            return get_function_cooccurrence(t, type, passed, f);
        },
        "Function pairs used together, most frequent first.",
        nb::arg("passed_only").none() = false);
    cls.def(
        "_usage_stats_query",
        [](SearchTracker& t, std::vector<std::pair<std::string, std::string>> usage_tables,
           std::string select_cols, std::string group_cols, std::string outer_cols,
           nb::handle era_id, nb::handle named_universe, nb::handle metaparameters,
           nb::handle source, nb::handle strategy_pool_id, nb::handle signal_pool_id,
           nb::handle strategy_signal_pool) {
            SettingsFilter f = settings(era_id, named_universe, metaparameters, source,
                                        strategy_pool_id, signal_pool_id, strategy_signal_pool);
            std::vector<UsageTablePair> pairs;
            for (const auto& [usage, eval] : usage_tables) pairs.push_back({usage, eval});
            std::vector<Row> rows;
            {
                nb::gil_scoped_release release;
                rows = usage_stats_query(t, pairs, select_cols, group_cols, outer_cols, f);
            }
            return rows_to_tuples(rows);
        },
        nb::arg("usage_tables").none(), nb::arg("select_cols").none(), nb::arg("group_cols").none(),
        nb::arg("outer_cols").none(), nb::arg("era_id").none(), nb::arg("named_universe").none(),
        nb::arg("metaparameters").none(), nb::arg("source").none(), nb::arg("strategy_pool_id").none() = nb::none(),
        nb::arg("signal_pool_id").none() = nb::none(), nb::arg("strategy_signal_pool").none() = nb::none(),
        "Build and execute a usage stats query across signal/strategy tables.");

    // ---- history and counts --------------------------------------------------------------
    def_filtered_query<nb::handle, nb::handle, nb::handle>(
        cls, "get_evaluation_history",
        [](SearchTracker& t, const Value& type, const SettingsFilter& f, nb::handle passed_only,
           nb::handle limit, nb::handle offset) {
            const bool passed = truth(passed_only);
            const auto lim = from_arg<std::optional<std::int64_t>>(limit, "limit");
            const std::int64_t skip = int_arg(offset, "offset");
            std::vector<StoredEvaluation> stored;
            {
                nb::gil_scoped_release release;
                stored = get_evaluation_history(t, type, passed, lim, skip, f);
            }
            return stored_records<EvaluationRecord>(stored, kHistoryFields);
        },
        "Stored evaluations with their usage, newest first.",
        nb::arg("passed_only").none() = false, nb::arg("limit").none() = 1000,
        nb::arg("offset").none() = 0);
    def_filtered_query<nb::handle, nb::handle, nb::handle>(
        cls, "get_evaluation_history_chunk",
        [](SearchTracker& t, const Value& type, const SettingsFilter& f, nb::handle passed_only,
           nb::handle after_eval_id, nb::handle limit) {
            const bool passed = truth(passed_only);
            const std::int64_t after = int_arg(after_eval_id, "after_eval_id");
            const std::int64_t count = int_arg(limit, "limit");
            std::vector<StoredEvaluation> stored;
            {
                nb::gil_scoped_release release;
                stored = get_evaluation_history_chunk(t, type, passed, after, count, f);
            }
            return stored_records<EvaluationRecord>(stored, kHistoryFields);
        },
        "The next limit evaluations of one type after after_eval_id, by ascending eval_id, "
        "as EvaluationRecords; an empty list past the last one.",
        nb::arg("passed_only").none() = false, nb::arg("after_eval_id").none() = 0,
        nb::arg("limit").none() = 1000);
    def_filtered_query<nb::handle, nb::handle, nb::handle>(
        cls, "get_per_column_stats_batch",
        [](SearchTracker& t, const Value& type, const SettingsFilter& f, nb::handle passed_only,
           nb::handle limit, nb::handle offset) {
            const std::optional<bool> passed =
                passed_only.is_none() ? std::nullopt : std::optional<bool>(truth(passed_only));
            const auto lim = from_arg<std::optional<std::int64_t>>(limit, "limit");
            const std::int64_t skip = int_arg(offset, "offset");
            std::vector<StoredEvaluation> stored;
            {
                nb::gil_scoped_release release;
                stored = get_per_column_stats_batch(t, type, passed, lim, skip, f);
            }
            return stored_records<PerColumnStatsRecord>(stored, kPerColumnFields);
        },
        "Per-column statistics of stored evaluations, by ascending eval_id.",
        nb::arg("passed_only").none() = nb::none(), nb::arg("limit").none() = nb::none(),
        nb::arg("offset").none() = 0);
    def_filtered_query(cls, "get_evaluation_count", &get_evaluation_count,
                       "Number of stored evaluations matching the filters.");
    cls.def(
        "get_evaluation_velocity",
        [](SearchTracker& t, nb::handle window_minutes, nb::handle eval_type) {
            const std::int64_t window = int_arg(window_minutes, "window_minutes");
            Value type = from_arg<Value>(eval_type, "eval_type");
            nb::gil_scoped_release release;
            return get_evaluation_velocity(t, window, type);
        },
        nb::arg("window_minutes").none() = 60, nb::arg("eval_type").none() = nb::none(),
        "Evaluations and passes per hour over the last window_minutes.");
    def_stats_rows(cls, "get_signal_stats", &get_signal_stats);
    def_stats_rows(cls, "get_strategy_stats", &get_strategy_stats);
    cls.def(
        "_evaluation_stats_rows",
        [](SearchTracker& t, nb::handle table, nb::handle eval_id, nb::handle limit) {
            const std::string name = text_arg(table, "table");
            Value id = from_arg<Value>(eval_id, "eval_id");
            const auto lim = from_arg<std::optional<std::int64_t>>(limit, "limit");
            nb::gil_scoped_release release;
            return Value(evaluation_stats_rows(t, name, id, lim));
        },
        nb::arg("table").none(), nb::arg("eval_id").none() = nb::none(), nb::arg("limit").none() = 1000);
    cls.def(
        "_count_where",
        [](SearchTracker& t, nb::handle table, nb::handle where_clause, nb::handle params) {
            const std::string name = text_arg(table, "table");
            const std::string where = text_arg(where_clause, "where_clause");
            Value p = from_arg<Value>(params, "params");
            Params bound = p.is_list() ? p.as_list() : Params{};
            nb::gil_scoped_release release;
            return count_where(t, name, where, bound);
        },
        nb::arg("table").none(), nb::arg("where_clause").none() = "", nb::arg("params").none() = nb::tuple(),
        "Execute SELECT COUNT(*) with optional WHERE clause.");
    def_converted(
        cls, "_get_distinct_column",
        +[](SearchTracker& t, std::string column) { return Value(get_distinct_column(t, column)); },
        nb::arg("column").none(),
        "Return sorted distinct values of a column across both evaluation tables.");
    cls.def("get_available_eras",
            [](SearchTracker& t) { return Value(get_available_eras(t)); }, Release());
    cls.def("get_available_named_universes",
            [](SearchTracker& t) { return Value(get_available_named_universes(t)); }, Release());
    cls.def("get_available_universes",
            [](SearchTracker& t) { return Value(get_available_universes(t)); }, Release());

    // ---- module-level helpers -------------------------------------------------------------
    m.def(
        "_filter_by_eval_type",
        [](nb::handle eval_type, nb::object signal_item, nb::object strategy_item) {
            nb::list out;
            for (auto& item : filter_by_eval_type(validator_arg(eval_type), std::move(signal_item),
                                                  std::move(strategy_item))) {
                out.append(item);
            }
            return out;
        },
        nb::arg("eval_type").none(), nb::arg("signal_item").none(), nb::arg("strategy_item").none());
    m.def(
        "_eval_table_pairs",
        [](nb::handle eval_type) { return pairs_to_tuples(eval_table_pairs(validator_arg(eval_type))); },
        nb::arg("eval_type").none());
    m.def(
        "_eval_table_triplets",
        [](nb::handle eval_type) {
            nb::list out;
            for (const EvalTables& t : eval_table_triplets(validator_arg(eval_type))) {
                out.append(nb::make_tuple(std::string(t.eval_table), std::string(t.fn_table),
                                          std::string(t.feat_table)));
            }
            return out;
        },
        nb::arg("eval_type").none());
    m.def(
        "_fn_usage_table_pairs",
        [](nb::handle eval_type) {
            return pairs_to_tuples(fn_usage_table_pairs(validator_arg(eval_type)));
        },
        nb::arg("eval_type").none());
    m.def(
        "_feat_usage_table_pairs",
        [](nb::handle eval_type) {
            return pairs_to_tuples(feat_usage_table_pairs(validator_arg(eval_type)));
        },
        nb::arg("eval_type").none());

    m.def("_validate_eval_type", [](nb::handle v) { validate_eval_type(validator_arg(v)); },
          nb::arg("eval_type").none());
    m.def("_validate_eval_type_strict",
          [](nb::handle v) { validate_eval_type_strict(validator_arg(v)); }, nb::arg("eval_type").none());
    m.def("_validate_management_eval_type",
          [](nb::handle v) { validate_management_eval_type(validator_arg(v)); },
          nb::arg("eval_type").none());
    m.def("_validate_source_query", [](nb::handle v) { validate_source_query(validator_arg(v)); },
          nb::arg("source").none());
    m.def("_validate_source_record",
          [](nb::handle v) { validate_source_record(validator_arg(v)); }, nb::arg("source").none());
    m.def(
        "_validate_optional_pool_query",
        [](nb::object value, nb::handle field_name) {
            validate_optional_pool_query(validator_arg(value), text_arg(field_name, "field_name"));
            return value;
        },
        nb::arg("value").none(), nb::arg("field_name").none());

    m.def(
        "_add_pool_filters",
        [](nb::list clauses, nb::list params, std::string_view prefix,
           std::optional<std::string> eval_table, nb::handle strategy_pool_id,
           nb::handle signal_pool_id, nb::handle strategy_signal_pool) {
            FilterClauses added;
            std::optional<std::string_view> table;
            if (eval_table) table = *eval_table;
            add_pool_filters(added, prefix, table, to_value(strategy_pool_id),
                             to_value(signal_pool_id), to_value(strategy_signal_pool));
            for (const std::string& c : added.clauses) clauses.append(nb::str(c.c_str()));
            for (const Value& p : added.params) params.append(from_value(p));
        },
        nb::arg("clauses").none(), nb::arg("params").none(), nb::arg("prefix").none(), nb::arg("eval_table").none(),
        nb::arg("strategy_pool_id").none() = nb::none(), nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_signal_pool").none() = nb::none());
    m.def(
        "_json_path_key", [](nb::handle key) { return json_path_key(validator_arg(key)); },
        nb::arg("key").none());
    m.def(
        "_build_settings_filter",
        [](nb::handle table_alias, nb::handle era_id, nb::handle named_universe,
           nb::handle metaparameters, nb::handle source, std::optional<std::string> eval_table,
           nb::handle strategy_pool_id, nb::handle signal_pool_id,
           nb::handle strategy_signal_pool) {
            const Value alias = to_value(table_alias);
            SettingsFilter f = settings(era_id, named_universe, metaparameters, source,
                                        strategy_pool_id, signal_pool_id, strategy_signal_pool);
            std::optional<std::string_view> table;
            if (eval_table) table = *eval_table;
            FilterClauses out = build_settings_filter(
                alias.is_text() ? std::string_view(alias.as_text()) : std::string_view(), f, table);
            nb::list clauses;
            for (const std::string& c : out.clauses) clauses.append(nb::str(c.c_str()));
            return nb::make_tuple(clauses, from_value(Value(out.params)));
        },
        nb::arg("table_alias").none(), nb::arg("era_id").none(), nb::arg("named_universe").none(),
        nb::arg("metaparameters").none(), nb::arg("source").none(), nb::arg("eval_table").none() = nb::none(),
        nb::arg("strategy_pool_id").none() = nb::none(), nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_signal_pool").none() = nb::none(),
        "Build WHERE clause fragments for settings filtering on an eval table.");
    m.def(
        "_join_clauses",
        [](std::optional<std::vector<std::string>> clauses, std::string_view prefix) {
            return clauses ? join_clauses(*clauses, prefix) : std::string();
        },
        nb::arg("clauses").none(), nb::arg("prefix").none() = "WHERE",
        "Join filter clauses into a SQL fragment, or return empty string if none.");
    m.def(
        "_failure_detail_from_storage",
        [](nb::object value) -> nb::object {
            // Only text is ever decoded; anything else comes back as the very same object.
            if (!nb::isinstance<nb::str>(value)) return value;
            Value decoded = failure_detail_from_storage(Value(nb::cast<std::string>(value)));
            return decoded.is_map() ? from_value(decoded) : value;
        },
        nb::arg("value").none());
}

}  // namespace plintrove::py
