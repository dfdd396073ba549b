#include <cstdint>
#include <utility>

#include "bindings.h"
#include "convert.h"
#include "family_entries.h"
#include "json_text.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_recording.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/core/graph_analysis.h"
#include "prepared_graph.h"

namespace plintrove::py {

namespace {

// The tail of keyword arguments both recording methods share, after their pool arguments.
struct CommonTail {
    nb::handle function_families, feature_families, per_column_stats, rejection_reason, source,
        expression_elapsed_seconds, is_correlation, is_pnl_mi, agent_is_pnl_mi, failure_reason,
        failure_detail;
};

// Converts with the GIL held; the caller releases it for the validation and the writes.
void fill_args(EvaluationArgs& a, nb::handle graph, nb::handle stats, nb::handle era_id,
               nb::handle passed_thresholds, nb::handle named_universe,
               nb::handle metaparameters, const CommonTail& t) {
    GraphNameObjects name_objects;
    a.prepared_graph = prepare_graph(graph, name_objects);
    if (!a.prepared_graph) a.graph = to_value(graph);
    a.stats_error = read_backtest_stats(stats, a.stats, a.liquidity_metrics_json);
    a.era_id = int_arg(era_id, "era_id");
    a.passed_thresholds = truth(passed_thresholds);
    a.named_universe = from_arg<Value>(named_universe, "named_universe");
    a.metaparameters = from_arg<Value>(metaparameters, "metaparameters");
    const std::optional<GraphNames> extracted =
        a.prepared_graph ? std::nullopt : extract_graph_names(a.graph);
    const std::optional<GraphNames>& graph_names =
        a.prepared_graph ? a.prepared_graph->names : extracted;
    const GraphNames* names = graph_names ? &*graph_names : nullptr;
    const bool own = a.prepared_graph.has_value();
    a.function_families = families_for(t.function_families, names ? &names->functions : nullptr,
                                       own ? &name_objects.functions : nullptr);
    a.feature_families = families_for(t.feature_families, names ? &names->features : nullptr,
                                      own ? &name_objects.features : nullptr);
    a.per_column_stats_json = json_text_arg(t.per_column_stats, "per_column_stats");
    a.rejection_reason = from_arg<Value>(t.rejection_reason, "rejection_reason");
    a.source = from_arg<Value>(t.source, "source");
    a.expression_elapsed_seconds =
        from_arg<Value>(t.expression_elapsed_seconds, "expression_elapsed_seconds");
    a.is_correlation = from_arg<Value>(t.is_correlation, "is_correlation");
    a.is_pnl_mi = from_arg<Value>(t.is_pnl_mi, "is_pnl_mi");
    a.agent_is_pnl_mi = from_arg<Value>(t.agent_is_pnl_mi, "agent_is_pnl_mi");
    a.failure_reason = from_arg<Value>(t.failure_reason, "failure_reason");
    a.failure_detail = to_value_or_str(t.failure_detail);
}

}  // namespace

void bind_recording(nb::module_& m, TrackerClass& cls) {
    cls.def(
        "record_signal_evaluation",
        [](SearchTracker& tracker, nb::handle graph, nb::handle stats, nb::handle era_id,
           nb::handle passed_thresholds, nb::handle named_universe, nb::handle metaparameters,
           nb::handle signal_pool_id, nb::handle function_families, nb::handle feature_families,
           nb::handle per_column_stats, nb::handle rejection_reason, nb::handle source,
           nb::handle expression_elapsed_seconds, nb::handle is_correlation,
           nb::handle is_pnl_mi, nb::handle agent_is_pnl_mi, nb::handle failure_reason,
           nb::handle failure_detail) {
            SignalEvaluationArgs args;
            fill_args(args, graph, stats, era_id, passed_thresholds, named_universe,
                      metaparameters,
                      {function_families, feature_families, per_column_stats, rejection_reason,
                       source, expression_elapsed_seconds, is_correlation, is_pnl_mi,
                       agent_is_pnl_mi, failure_reason, failure_detail});
            args.signal_pool_id = from_arg<Value>(signal_pool_id, "signal_pool_id");
            nb::gil_scoped_release release;
            return record_signal_evaluation(tracker, std::move(args));
        },
        nb::arg("graph").none(), nb::arg("stats").none(), nb::arg("era_id").none(),
        nb::arg("passed_thresholds").none(), nb::arg("named_universe").none(),
        nb::arg("metaparameters").none(),
        nb::arg("signal_pool_id") = nb::none(), nb::arg("function_families") = nb::none(),
        nb::arg("feature_families") = nb::none(), nb::arg("per_column_stats") = nb::none(),
        nb::arg("rejection_reason") = nb::none(), nb::arg("source").none() = "search",
        nb::arg("expression_elapsed_seconds") = nb::none(),
        nb::arg("is_correlation") = nb::none(), nb::arg("is_pnl_mi") = nb::none(),
        nb::arg("agent_is_pnl_mi") = nb::none(), nb::arg("failure_reason") = nb::none(),
        nb::arg("failure_detail") = nb::none(),
        "Record a signal evaluation with its usage rows; returns the new eval_id.");

    cls.def(
        "record_strategy_evaluation",
        [](SearchTracker& tracker, nb::handle graph, nb::handle stats, nb::handle era_id,
           nb::handle passed_thresholds, nb::handle referenced_signal_ids,
           nb::handle named_universe, nb::handle metaparameters, nb::handle strategy_pool_id,
           nb::handle strategy_signal_pool, nb::handle function_families,
           nb::handle feature_families, nb::handle per_column_stats, nb::handle rejection_reason,
           nb::handle source, nb::handle expression_elapsed_seconds, nb::handle is_correlation,
           nb::handle is_pnl_mi, nb::handle agent_is_pnl_mi, nb::handle failure_reason,
           nb::handle failure_detail) {
            StrategyEvaluationArgs args;
            fill_args(args, graph, stats, era_id, passed_thresholds, named_universe,
                      metaparameters,
                      {function_families, feature_families, per_column_stats, rejection_reason,
                       source, expression_elapsed_seconds, is_correlation, is_pnl_mi,
                       agent_is_pnl_mi, failure_reason, failure_detail});
            args.referenced_signal_ids = from_arg<Value>(referenced_signal_ids, "referenced_signal_ids");
            args.strategy_pool_id = from_arg<Value>(strategy_pool_id, "strategy_pool_id");
            args.strategy_signal_pool = from_arg<Value>(strategy_signal_pool, "strategy_signal_pool");
            nb::gil_scoped_release release;
            return record_strategy_evaluation(tracker, std::move(args));
        },
        nb::arg("graph").none(), nb::arg("stats").none(), nb::arg("era_id").none(),
        nb::arg("passed_thresholds").none(), nb::arg("referenced_signal_ids").none(),
        nb::arg("named_universe").none(), nb::arg("metaparameters").none(),
        nb::arg("strategy_pool_id").none(), nb::arg("strategy_signal_pool") = nb::none(),
        nb::arg("function_families") = nb::none(), nb::arg("feature_families") = nb::none(),
        nb::arg("per_column_stats") = nb::none(), nb::arg("rejection_reason") = nb::none(),
        nb::arg("source").none() = "search", nb::arg("expression_elapsed_seconds") = nb::none(),
        nb::arg("is_correlation") = nb::none(), nb::arg("is_pnl_mi") = nb::none(),
        nb::arg("agent_is_pnl_mi") = nb::none(), nb::arg("failure_reason") = nb::none(),
        nb::arg("failure_detail") = nb::none(),
        "Record a strategy evaluation with its usage rows; returns the new eval_id.");

    m.def("_compute_tree_depth",
          [](nb::handle graph) { return compute_tree_depth(to_value(graph)); },
          nb::arg("graph").none(), "Compute the depth of an expression graph.");
    m.def("_extract_names",
          [](nb::handle graph, std::string_view node_type) {
              return Value(extract_names(to_value(graph), node_type));
          },
          nb::arg("graph").none(), nb::arg("node_type"));
    m.def("_collect_rotation_families",
          [](nb::handle functions, nb::handle function_families) {
              Value names = to_value(functions);
              if (!names.is_list()) throw nb::type_error("functions must be a list");
              return Value(collect_rotation_families(names.as_list(), to_value(function_families)));
          },
          nb::arg("functions"), nb::arg("function_families").none(),
          "Build deduplicated list of rotation families from function names.");
    m.def("_validate_metaparameters_shape",
          [](nb::handle metaparameters, std::string_view field_name, nb::handle required_pool_id) {
              validate_metaparameters_shape(to_value(metaparameters), field_name,
                                            to_value(required_pool_id));
          },
          nb::arg("metaparameters").none(), nb::arg("field_name") = "metaparameters",
          nb::arg("required_pool_id") = nb::none());
    m.def("_validate_pool_id_required",
          [](nb::handle value, std::string_view field_name) {
              return validate_pool_id_required(to_value(value), field_name);
          },
          nb::arg("value").none(), nb::arg("field_name"));
    m.def("_failure_detail_for_storage",
          [](nb::object value) { return failure_detail_for_storage(to_value_or_str(value)); },
          nb::arg("value").none());
    m.def("_check_strategy_signal_pool_references",
          [](ConnWrapper& conn, nb::handle strategy_pool_id, nb::handle strategy_signal_pool,
             nb::handle referenced_signal_ids) {
              Value pool = to_value(strategy_pool_id);
              Value signal_pool = to_value(strategy_signal_pool);
              Value ids = to_value(referenced_signal_ids);
              nb::gil_scoped_release release;
              check_strategy_signal_pool_references(conn, pool, signal_pool, ids);
          },
          nb::arg("conn"), nb::arg("strategy_pool_id").none(),
          nb::arg("strategy_signal_pool").none(), nb::arg("referenced_signal_ids").none());
}

}  // namespace plintrove::py
