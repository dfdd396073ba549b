#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "python_ref.h"
#include "plintrove/core/database_report.h"
#include "plintrove/core/reason_descriptions.h"
#include "plintrove/maintenance/era_transition.h"
#include "plintrove/maintenance/evaluation_pruning.h"
#include "plintrove/queries/auto_metadata.h"
#include "plintrove/queries/rejection_reporting.h"
#include "plintrove/storage/conn_wrapper.h"

namespace plintrove::py {

namespace {


// The module's own describer function, kept alive for the life of the process so that
// an unreplaced plintrove.reason_descriptions.describe_reason is recognised by identity.
PyObject* g_builtin_describer = nullptr;

// The describer plintrove.reason_descriptions.describe_reason names at this moment. The
// built-in one runs in C++ without the GIL; a host replacement is called under the GIL,
// its errors travel unchanged, and its result is read with Python's own item lookup (a
// missing "rendered" or "machine" is Python's KeyError). Call with the GIL held.
ReasonDescriber current_describer() {
    nb::object fn = nb::module_::import_("plintrove.reason_descriptions").attr("describe_reason");
    if (fn.ptr() == g_builtin_describer) return ReasonDescriber(plintrove::describe_reason);
    std::shared_ptr<PyObject> ref = shared_python_ref(fn);
    return [ref](const std::string& text, const std::string& kind) -> Value {
        GilGuard gil;
        try {
            nb::object result = nb::handle(ref.get())(text, nb::arg("kind") = kind);
            nb::object rendered = result["rendered"];
            nb::object machine = result["machine"];
            return Mapping{{"rendered", to_value(rendered)}, {"machine", to_value(machine)}};
        } catch (nb::python_error& e) {
            rethrow_python_error(e);
        }
    };
}

// A Python progress callable as the library's progress function: called under the GIL
// as progress(eval_table, done, total); what it raises travels out of the deletion.
DeletionProgressFn progress_from(nb::handle progress) {
    if (progress.is_none()) return {};
    std::shared_ptr<PyObject> ref = shared_python_ref(progress);
    return [ref](const DeletionProgress& report) {
        GilGuard gil;
        try {
            nb::handle(ref.get())(nb::str(report.eval_table.data(), report.eval_table.size()),
                                  report.done, report.total);
        } catch (nb::python_error& e) {
            rethrow_python_error(e);
        }
    };
}

void bind_tracker_operations(TrackerClass& cls) {
    cls.def(
        "get_rejection_summary",
        [](SearchTracker& t, nb::handle era_id, nb::handle eval_type, nb::handle named_universe,
           nb::handle metaparameters, nb::handle source, nb::handle strategy_pool_id,
           nb::handle signal_pool_id, nb::handle strategy_signal_pool) {
            Value type = from_arg<Value>(eval_type, "eval_type");
            SettingsFilter filter{from_arg<Value>(era_id, "era_id"),
                                  from_arg<Value>(named_universe, "named_universe"),
                                  from_arg<Value>(metaparameters, "metaparameters"),
                                  from_arg<Value>(source, "source"),
                                  from_arg<Value>(strategy_pool_id, "strategy_pool_id"),
                                  from_arg<Value>(signal_pool_id, "signal_pool_id"),
                                  from_arg<Value>(strategy_signal_pool, "strategy_signal_pool")};
            nb::gil_scoped_release release;
            return get_rejection_summary(t, type, filter);
        },
        nb::arg("era_id").none() = nb::none(), nb::arg("eval_type").none() = nb::none(),
        nb::arg("named_universe").none() = nb::none(),
        nb::arg("metaparameters").none() = nb::none(), nb::arg("source").none() = nb::none(),
        nb::arg("strategy_pool_id").none() = nb::none(),
        nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_signal_pool").none() = nb::none(),
        "Rejected evaluations per rejection reason, with each reason's share, largest first.");
    def_converted(cls, "get_auto_metadata", &get_auto_metadata, nb::arg("eval_id").none(),
            "Expression complexity, submission date and rotation families of one evaluation.");
    cls.def(
        "_collect_reason_descriptions",
        [](SearchTracker& t) {
            ReasonDescriber describe = current_describer();
            nb::gil_scoped_release release;
            return collect_reason_descriptions(t, describe);
        },
        "Every stored status, rejection reason and failure reason with its description.");
    cls.def(
        "get_db_info",
        [](SearchTracker& t) {
            ReasonDescriber describe = current_describer();
            nb::gil_scoped_release release;
            return get_db_info(t, describe);
        },
        "File size, row counts of every tracker table and the catalogue of stored reasons.");

    cls.def(
        "handle_era_transition",
        [](SearchTracker& t, nb::handle new_era_id, nb::handle previous_era_id,
           nb::handle progress) {
            const std::int64_t era = int_arg(new_era_id, "new_era_id");
            const auto previous =
                from_arg<std::optional<std::int64_t>>(previous_era_id, "previous_era_id");
            DeletionProgressFn report = progress_from(progress);
            nb::gil_scoped_release release;
            handle_era_transition(t, era, previous, report);
        },
        nb::arg("new_era_id").none(), nb::arg("previous_era_id").none() = nb::none(), nb::kw_only(),
        nb::arg("progress").none() = nb::none(),
        "Drop the work of other eras; evaluations, attempts and statuses of the previous "
        "era stay. progress(eval_table, done, total) is called after every chunk deleted.");
    cls.def(
        "delete_evaluations",
        [](SearchTracker& t, nb::object eval_type, nb::handle keep_last, nb::handle progress) {
            Value type = to_value_or_str(eval_type);
            const std::int64_t keep = int_arg(keep_last, "keep_last");
            DeletionProgressFn report = progress_from(progress);
            nb::gil_scoped_release release;
            return delete_evaluations(t, type, keep, report);
        },
        nb::arg("eval_type").none() = nb::none(), nb::arg("keep_last").none() = 50000, nb::kw_only(),
        nb::arg("progress").none() = nb::none(),
        "Keep the newest keep_last evaluations of each type, deleting the older ones. "
        "progress(eval_table, done, total) is called after every chunk deleted and every "
        "index rebuilt.");
    cls.def(
        "delete_failed_evaluations",
        [](SearchTracker& t, nb::object eval_type, nb::handle progress) {
            Value type = to_value_or_str(eval_type);
            DeletionProgressFn report = progress_from(progress);
            nb::gil_scoped_release release;
            return delete_failed_evaluations(t, type, report);
        },
        nb::arg("eval_type").none() = nb::none(), nb::kw_only(),
        nb::arg("progress").none() = nb::none(),
        "Delete every evaluation that did not pass its thresholds. progress(eval_table, "
        "done, total) is called after every chunk deleted and every index rebuilt.");
    def_converted(cls, "_reindex_evaluation_tables", &reindex_evaluation_tables, nb::arg("eval_table"),
            nb::arg("fn_table"), nb::arg("feat_table"),
            "Rebuild the indexes of an evaluation table and its usage tables.");
}

void bind_module_functions(nb::module_& m) {
    def_converted_free(
        m, "_describe_reason", &describe_reason, nb::arg("text"), nb::arg("kind") = "rejection_reason",
        "The built-in describer: {'rendered': sentence, 'machine': snake_case token} for a "
        "stored status ('status'), rejection reason or failure reason.");
    g_builtin_describer = m.attr("_describe_reason").ptr();
    Py_INCREF(g_builtin_describer);

    m.def(
        "_render_reason_entry",
        [](Value raw, std::string_view kind) {
            return render_reason_entry(raw, kind, current_describer());
        },
        nb::arg("raw").none(), nb::arg("kind"),
        "One catalogue entry: {'raw': raw, 'rendered': ..., 'machine': ...}.");
    m.def(
        "_delete_eval_ids",
        [](ConnWrapper& conn, Value id_list, std::string_view eval_table,
           std::string_view fn_table, std::string_view feat_table) {
            if (!id_list.truthy()) return;
            if (!id_list.is_list()) throw nb::type_error("id_list must be a list of eval_ids");
            const Params& ids = id_list.as_list();
            nb::gil_scoped_release release;
            delete_eval_ids(conn, ids, eval_table, fn_table, feat_table);
        },
        nb::arg("conn"), nb::arg("id_list").none(), nb::arg("eval_table"), nb::arg("fn_table"),
        nb::arg("feat_table"),
        "Delete evaluations with their function and feature usage rows; neither begins nor "
        "commits.");
}

}  // namespace

void bind_reporting(nb::module_& m, TrackerClass& cls) {
    bind_tracker_operations(cls);
    bind_module_functions(m);
}

}  // namespace plintrove::py
