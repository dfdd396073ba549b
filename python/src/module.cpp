#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <vector>

#include "argument_errors.h"
#include "bindings.h"
#include "convert.h"
#include "plintrove/core/logging.h"
#include "plintrove/core/operation_scope.h"
#include "python_ref.h"
#include "signed_method.h"

namespace plintrove::py {

namespace {

// Forwards the library's log records to the module logger with the format and arguments
// as given, so host handlers and filters see them as records of any Python logger.
void forward_logging_to(nb::handle logger) {
    PyObject* target = nb::borrow(logger).release().ptr();  // module lifetime
    set_log_sink([target](LogLevel level, const std::string& format, const std::vector<Value>& args) {
        if (!interpreter_running()) return;
        GilGuard gil;
        try {
            nb::object call = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size() + 2)));
            if (!call) throw nb::python_error();
            PyTuple_SET_ITEM(call.ptr(), 0, nb::int_(static_cast<int>(level)).release().ptr());
            PyTuple_SET_ITEM(call.ptr(), 1, from_value(Value(format)).release().ptr());
            for (std::size_t i = 0; i < args.size(); ++i)
                PyTuple_SET_ITEM(call.ptr(), static_cast<Py_ssize_t>(i + 2),
                                 from_value(args[i]).release().ptr());
            nb::object log = nb::getattr(target, "log");
            if (!nb::steal(PyObject_Call(log.ptr(), call.ptr(), nullptr))) throw nb::python_error();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable(target);
        }
    });
}

// A thread waiting for a tracker's operation lock must not hold the GIL: the holder may
// need it (identity, replaced statements, describer) before it lets go.
void release_gil_while_waiting(const std::function<void()>& wait) {
    if (!PyGILState_Check()) {
        wait();
        return;
    }
    nb::gil_scoped_release release;
    wait();
}

}  // namespace

}  // namespace plintrove::py

NB_MODULE(search_tracking, m) {
    using namespace plintrove::py;
    m.doc() = "Search tracking subcomponent \u2014 SQLite-backed evaluation and submission tracking.";

    nb::object logger = nb::module_::import_("logging").attr("getLogger")(plintrove::kLoggerName);
    m.attr("logger") = logger;
    forward_logging_to(logger);
    plintrove::set_operation_wait_hook(&release_gil_while_waiting);

    bind_errors(m);
    bind_constants(m);
    register_records(m);
    bind_connection(m);
    bind_storage(m);
    TrackerClass tracker(m, "SearchTracker", nb::dynamic_attr(), nb::type_slots(tracker_type_slots()),
                         "SQLite-backed search evaluation and submission tracker.");
    bind_lifecycle(m, tracker);
    bind_recording(m, tracker);
    bind_queries(m, tracker);
    bind_submission(m, tracker);
    bind_reporting(m, tracker);
    bind_trial_ledger(m, tracker);
    bind_writer(m);
    use_plain_argument_errors(m);
    bind_signed_method(m);
    nb::module_::import_("plintrove._signatures").attr("expose")(m);
}
