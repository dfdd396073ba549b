#include "writer_adapters.h"

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "convert.h"
#include "family_entries.h"
#include "json_text.h"
#include "plintrove/value/json.h"
#include "prepared_graph.h"

namespace plintrove::py {

namespace {

// The keys the writer reads (others stay unconverted, as the writer never looks at them),
// by their position in kItemKeyNames.
constexpr std::size_t kItemKeyCount = kItemKeyNames.size();
constexpr std::size_t key_index(ItemKey key) { return static_cast<std::size_t>(key); }
constexpr std::size_t kGraphKey = key_index(ItemKey::Graph);
constexpr std::size_t kMetaparametersKey = key_index(ItemKey::Metaparameters);
constexpr std::size_t kFunctionFamiliesKey = key_index(ItemKey::FunctionFamilies);
constexpr std::size_t kFeatureFamiliesKey = key_index(ItemKey::FeatureFamilies);
constexpr std::size_t kPerColumnStatsKey = key_index(ItemKey::PerColumnStats);

// The JSON text of a value the writer only stores as text, or nothing where the text would
// not give the value back when the item is handed back to the host (it then stays a value).
std::optional<std::string> stored_json(nb::handle value) {
    std::string text;
    if (!write_json_text(value, text).decodes_back()) return std::nullopt;
    return text;
}

// Reads one item's fields in key order. The graph is prepared in place rather than kept as a
// value, and the fields stored only as text are written to it; the family tables come after
// the graph, so only the entries of the graph's own names are converted, as recording does.
class ItemFields {
public:
    ItemFields() { fields_.reserve(kItemKeyCount); }

    void add(std::size_t key, nb::handle value) {
        if (key == kGraphKey) {
            prepared_ = prepare_graph(value, name_objects_);
            if (prepared_) return;
        }
        // A false metaparameters value is stored as "{}" and None per-column stats as NULL,
        // so only the others have a text of their own.
        if (key == kMetaparametersKey && converted_truthy(value)) {
            metaparameters_json_ = stored_json(value);
            if (metaparameters_json_) return;
        }
        if (key == kPerColumnStatsKey && !value.is_none()) {
            per_column_stats_json_ = stored_json(value);
            if (per_column_stats_json_) return;
        }
        Value converted;
        if (key == kFunctionFamiliesKey || key == kFeatureFamiliesKey) {
            const GraphNames* names = graph_names();
            const bool functions = key == kFunctionFamiliesKey;
            const List* kind_names = names == nullptr ? nullptr
                                     : functions      ? &names->functions
                                                      : &names->features;
            const std::vector<nb::object>* objects = !prepared_ ? nullptr
                                                     : functions ? &name_objects_.functions
                                                                 : &name_objects_.features;
            converted = families_for(value, kind_names, objects);
        } else {
            converted = to_value(value);
        }
        fields_.add(static_cast<ItemKey>(key), std::move(converted));
    }

    void finish(QueueItem& out) {
        out.fields = std::move(fields_);
        out.prepared_graph = std::move(prepared_);
        out.metaparameters_json = std::move(metaparameters_json_);
        out.per_column_stats_json = std::move(per_column_stats_json_);
    }

private:
    // The names of the graph, or null where its analysis refuses it.
    const GraphNames* graph_names() {
        if (prepared_) return prepared_->names ? &*prepared_->names : nullptr;
        if (!names_tried_) {
            static const Value kNone;
            const Value* graph = fields_.find(ItemKey::Graph);
            names_ = extract_graph_names(graph != nullptr ? *graph : kNone);
            names_tried_ = true;
        }
        return names_ ? &*names_ : nullptr;
    }

    QueueItemFields fields_;
    std::optional<PreparedGraph> prepared_;
    GraphNameObjects name_objects_;
    std::optional<std::string> metaparameters_json_;
    std::optional<std::string> per_column_stats_json_;
    std::optional<GraphNames> names_;
    bool names_tried_ = false;
};

// Items taken from the queue under one GIL acquisition; bounds both the time the GIL is
// held in one go and the memory of items taken ahead of the drain that asked for them.
constexpr std::size_t kTakeLimit = 256;

std::string str_of(nb::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (s == nullptr) {
        PyErr_Clear();
        return Py_TYPE(obj.ptr())->tp_name;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    std::string text = data != nullptr ? std::string(data, static_cast<std::size_t>(size))
                                       : std::string(Py_TYPE(obj.ptr())->tp_name);
    if (data == nullptr) PyErr_Clear();
    Py_DECREF(s);
    return text;
}

// The pending Python error as the error of an unreadable item. GIL held.
std::exception_ptr unreadable_item(nb::handle item) {
    nb::python_error error;
    return std::make_exception_ptr(UnreadableItemError(
        str_of(error.value()), shared_python_ref(error.value()), shared_python_ref(item)));
}

// The statistics the writer stores, read in the order writing reads them: the liquidity
// metrics of a present object first (written to `liquidity_json` where they have a text of
// their own), then the eight figures, then the host's own statistics (kept for the trial
// ledger's corrections; an object without them has none). A None or missing stats object
// thus fails on `sharpe`.
BacktestStats stats_from(nb::handle obj, std::optional<std::string>& liquidity_json) {
    const StatsAttributes attributes(obj);
    BacktestStats stats;
    if (!obj.is_none()) {
        nb::object metrics = attributes.liquidity_metrics();
        if (!metrics.is_none()) liquidity_json = stored_json(metrics);
        stats.liquidity_metrics = liquidity_json ? Value() : to_value(metrics);
    }
    for (std::size_t i = 0; i < kStatsFigures.size(); ++i) {
        nb::object v = attributes.figure(i);
        const double d = PyFloat_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        stats.*kStatsFigures[i] = d;
    }
    // Statistics that cannot be stored as JSON are left out rather than failing the batch:
    // they only refine the corrections, the evaluation itself is complete without them.
    nb::object custom = attributes.custom_stats();
    if (!custom.is_none()) {
        try {
            stats.custom_stats = to_value(custom);
        } catch (const nb::python_error&) {
        } catch (const std::exception&) {
        }
    }
    return stats;
}

// The item keys as interned Python strings, made once (their hashes are cached with them).
const std::array<PyObject*, kItemKeyCount + 1>& item_key_objects() {
    static const auto keys = [] {
        std::array<PyObject*, kItemKeyCount + 1> out{};
        for (std::size_t i = 0; i < kItemKeyCount; ++i) {
            out[i] = PyUnicode_FromStringAndSize(kItemKeyNames[i].data(),
                                                 static_cast<Py_ssize_t>(kItemKeyNames[i].size()));
            if (out[i] != nullptr) PyUnicode_InternInPlace(&out[i]);
        }
        out[kItemKeyCount] = PyUnicode_InternFromString("stats");
        for (PyObject* key : out) {
            if (key == nullptr) throw nb::python_error();
        }
        return out;
    }();
    return keys;
}

// Reports the pending Python error through sys.unraisablehook. GIL held.
void report_unraisable(PyObject* context) { PyErr_WriteUnraisable(context); }

}  // namespace

QueueItem queue_item_from(nb::handle item) {
    QueueItem out;
    try {
        const auto& keys = item_key_objects();
        ItemFields fields;
        PyObject* obj = item.ptr();
        nb::object stats;
        if (PyDict_Check(obj)) {
            for (std::size_t i = 0; i < kItemKeyCount; ++i) {
                PyObject* v = PyDict_GetItemWithError(obj, keys[i]);  // borrowed
                if (v != nullptr) {
                    fields.add(i, v);
                } else if (PyErr_Occurred()) {
                    throw nb::python_error();
                }
            }
            PyObject* s = PyDict_GetItemWithError(obj, keys[kItemKeyCount]);
            if (s == nullptr && PyErr_Occurred()) throw nb::python_error();
            stats = nb::borrow(s != nullptr ? s : Py_None);
        } else {
            // Anything else is read the way the writer would read it: item.get(key, default).
            nb::object get = item.attr("get");
            nb::object missing = nb::steal(PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0));
            if (!missing.is_valid()) throw nb::python_error();
            for (std::size_t i = 0; i < kItemKeyCount; ++i) {
                nb::object v = get(nb::handle(keys[i]), missing);
                if (!v.is(missing)) fields.add(i, v);
            }
            stats = get(nb::handle(keys[kItemKeyCount]), nb::none());
        }
        out.stats = stats_from(stats, out.liquidity_metrics_json);
        fields.finish(out);
    } catch (nb::python_error& e) {
        e.restore();
        out = QueueItem{};
        out.conversion_error = unreadable_item(item);
    } catch (const std::exception& e) {
        // Conversions refuse values as json.dumps would, with a TypeError.
        PyErr_SetString(PyExc_TypeError, e.what());
        out = QueueItem{};
        out.conversion_error = unreadable_item(item);
    }
    return out;
}

std::vector<QueueItem> queue_items_from(nb::handle items) {
    std::vector<QueueItem> out;
    for (nb::handle item : items) out.push_back(queue_item_from(item));
    return out;
}

nb::object queue_item_to_py(const QueueItem& item) {
    if (item.conversion_error) {
        try {
            std::rethrow_exception(item.conversion_error);
        } catch (const UnreadableItemError& e) {
            return nb::borrow(e.item().get());
        }
    }
    // Every field goes back in its place, in key order; a text decodes to the value read.
    nb::dict out;
    const auto& keys = item_key_objects();
    for (std::size_t i = 0; i < kItemKeyCount; ++i) {
        const std::optional<std::string>* text =
            i == kMetaparametersKey   ? &item.metaparameters_json
            : i == kPerColumnStatsKey ? &item.per_column_stats_json
                                      : nullptr;
        nb::handle key(keys[i]);
        if (i == kGraphKey && item.prepared_graph) {
            out[key] = from_value(json_loads(item.prepared_graph->json));
        } else if (text != nullptr && *text) {
            out[key] = from_value(json_loads(**text));
        } else if (const Value* v = item.fields.find(static_cast<ItemKey>(i))) {
            out[key] = from_value(*v);
        }
    }
    if (item.stats) {
        BacktestStats stats = *item.stats;
        if (item.liquidity_metrics_json) {
            stats.liquidity_metrics = json_loads(*item.liquidity_metrics_json);
        }
        out["stats"] = record_to_py(stats);
    } else {
        out["stats"] = nb::none();
    }
    return std::move(out);
}

// ---- queue -----------------------------------------------------------------------------

PyEvaluationQueue::PyEvaluationQueue(std::shared_ptr<ClearableRef> queue)
    : queue_(std::move(queue)) {}

std::optional<QueueItem> PyEvaluationQueue::get_nowait() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_.empty()) {
        if (exhausted_) {
            exhausted_ = false;
            return std::nullopt;
        }
        if (!interpreter_running()) return std::nullopt;
        GilGuard gil;
        if (queue_->get() == nullptr) return std::nullopt;
        PyObject* method = PyObject_GetAttrString(queue_->get(), "get_nowait");
        if (method == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        while (taken_.size() < kTakeLimit) {
            PyObject* raw = PyObject_CallNoArgs(method);
            if (raw == nullptr) {
                // Any error, the queue's "empty" one included, ends the drain.
                PyErr_Clear();
                exhausted_ = true;
                break;
            }
            nb::object obj = nb::steal(raw);
            taken_.push_back(queue_item_from(obj));
        }
        Py_DECREF(method);
        if (taken_.empty()) {
            exhausted_ = false;
            return std::nullopt;
        }
    }
    return take_held_locked();
}

std::optional<QueueItem> PyEvaluationQueue::take_held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return take_held_locked();
}

std::optional<QueueItem> PyEvaluationQueue::take_held_locked() {
    if (taken_.empty()) return std::nullopt;
    QueueItem item = std::move(taken_.front());
    taken_.pop_front();
    return item;
}

std::optional<QueueItem> PyEvaluationQueue::get(double timeout_seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<QueueItem> held = take_held_locked()) return held;
    exhausted_ = false;
    if (!interpreter_running()) return std::nullopt;
    GilGuard gil;
    if (queue_->get() == nullptr) return std::nullopt;
    try {
        nb::object obj = nb::handle(queue_->get()).attr("get")(nb::arg("timeout") = timeout_seconds);
        return queue_item_from(obj);
    } catch (nb::python_error&) {
        return std::nullopt;  // the error is cleared when it is destroyed, under the GIL
    }
}

// ---- status ----------------------------------------------------------------------------

PySearchStatus::PySearchStatus(std::shared_ptr<ClearableRef> status) : status_(std::move(status)) {}

void PySearchStatus::set_attribute(const char* name, PyObject* value) {
    PyObject* status = status_->get();
    if (status != nullptr && (value == nullptr || PyObject_SetAttrString(status, name, value) != 0)) {
        report_unraisable(status);
    }
    Py_XDECREF(value);
}

void PySearchStatus::set_error_code(const std::string& code) {
    if (!interpreter_running()) return;
    GilGuard gil;
    set_attribute("error_code", PyUnicode_FromStringAndSize(code.data(), code.size()));
}

void PySearchStatus::set_recovery_advice(const std::string& advice) {
    if (!interpreter_running()) return;
    GilGuard gil;
    set_attribute("recovery_advice", PyUnicode_FromStringAndSize(advice.data(), advice.size()));
}

void PySearchStatus::set_running(bool running) {
    if (!interpreter_running()) return;
    GilGuard gil;
    set_attribute("running", PyBool_FromLong(running ? 1 : 0));
}

void PySearchStatus::append_error(const std::string& text) {
    if (!interpreter_running()) return;
    GilGuard gil;
    if (status_->get() == nullptr) return;
    try {
        nb::handle(status_->get()).attr("errors").attr("append")(nb::str(text.data(), text.size()));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable(status_->get());
    }
}

// ---- stop-workers callback -------------------------------------------------------------

std::function<void()> py_stop_workers(std::shared_ptr<ClearableRef> callback) {
    return [fn = std::move(callback)] {
        if (!interpreter_running()) return;
        GilGuard gil;
        // Hold the callable for the call: it may drop the writer, and with it this reference.
        nb::object held = nb::borrow(fn->get());
        if (!held.is_valid()) return;
        PyObject* result = PyObject_CallNoArgs(held.ptr());
        if (result == nullptr) {
            report_unraisable(held.ptr());
        } else {
            Py_DECREF(result);
        }
    };
}

}  // namespace plintrove::py
