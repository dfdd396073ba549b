#include "convert.h"

#include "errors.h"
#include "json_text.h"
#include "plintrove/value/json.h"
#include "str_utf8.h"

#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace plintrove::py {

namespace {

// ---- Python -> Value ---------------------------------------------------------------------

// __name__ of the object's type, as json.dumps quotes it.
std::string type_name(PyObject* obj) {
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (name == nullptr) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* text = PyUnicode_AsUTF8(name);
    std::string out = text ? text : Py_TYPE(obj)->tp_name;
    if (!text) PyErr_Clear();
    Py_DECREF(name);
    return out;
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

Value int_value(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        // int.__repr__, as json.dumps writes int subclasses too.
        nb::object digits = nb::steal(PyLong_Type.tp_repr(obj));
        if (!digits) throw nb::python_error();
        return Value(BigInt{nb::cast<std::string>(digits)});
    }
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return Value(v);
}

std::string text_of(PyObject* obj) {
    Py_ssize_t size = 0;
    if (const char* data = str_utf8(obj, &size))
        return std::string(data, static_cast<std::size_t>(size));
    // Lone surrogates (json.loads can produce them) travel as their three-byte form.
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    if (!bytes) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

Value key_value(PyObject* key) {
    if (PyUnicode_Check(key)) return Value(text_of(key));
    if (key == Py_None) return Value();
    if (PyBool_Check(key)) return Value(key == Py_True);
    if (PyLong_Check(key)) return int_value(key);
    if (PyFloat_Check(key)) return Value(PyFloat_AS_DOUBLE(key));
    raise_type_error("keys must be str, int, float, bool or None, not " + type_name(key));
}

bool is_container(PyObject* obj) {
    return PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
}

Value scalar_value(PyObject* obj) {
    // The exact built-in types first: their subtype checks cost more than the conversion.
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return Value(text_of(obj));
    if (type == &PyFloat_Type) return Value(PyFloat_AS_DOUBLE(obj));
    if (type == &PyLong_Type) return int_value(obj);
    if (obj == Py_None) return Value();
    if (PyBool_Check(obj)) return Value(obj == Py_True);
    if (PyLong_Check(obj)) return int_value(obj);
    if (PyFloat_Check(obj)) return Value(PyFloat_AS_DOUBLE(obj));
    if (PyUnicode_Check(obj)) return Value(text_of(obj));
    // Numbers of other libraries (numpy scalars and the like).
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number != nullptr && number->nb_index != nullptr) {
        nb::object index = nb::steal(PyNumber_Index(obj));
        if (index) return int_value(index.ptr());
        PyErr_Clear();
    }
    if (number != nullptr && number->nb_float != nullptr) {
        const double d = PyFloat_AsDouble(obj);
        if (!(d == -1.0 && PyErr_Occurred())) return Value(d);
        PyErr_Clear();
    }
    raise_type_error("Object of type " + type_name(obj) + " is not JSON serializable");
}

// One container being converted: the items done so far and where to continue.
struct Level {
    nb::object container;
    bool dict = false;
    Py_ssize_t pos = 0;
    std::vector<Mapping::Item> items;
    List list;
    Value key;  // of the dict item being converted

    explicit Level(PyObject* obj) : container(nb::borrow(obj)), dict(PyDict_Check(obj)) {
        if (dict) items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        else list.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
    }
    void add(Value v) {
        if (dict) items.emplace_back(std::move(key), std::move(v));
        else list.push_back(std::move(v));
    }
    Value finish() {
        return dict ? Value(Mapping::from_unique_items(std::move(items))) : Value(std::move(list));
    }
};

// Without recursion, so no host recursion limit lets a deep graph reach the end of the C
// stack; nesting is capped where the JSON layer stops, as a RecursionError.
Value convert(PyObject* root) {
    if (!is_container(root)) return scalar_value(root);
    // Empty ones (a statistics object's custom statistics, usually) need no walk.
    if (PyDict_Check(root) ? PyDict_GET_SIZE(root) == 0 : PySequence_Fast_GET_SIZE(root) == 0) {
        return PyDict_Check(root) ? Value(Mapping{}) : Value(List{});
    }
    std::vector<Level> stack;
    stack.emplace_back(root);
    while (true) {
        Level& level = stack.back();
        nb::object child;
        if (level.dict) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            if (PyDict_Next(level.container.ptr(), &level.pos, &key, &value)) {
                nb::object held_key = nb::borrow(key);
                child = nb::borrow(value);
                level.key = key_value(key);
            }
        } else if (level.pos < PySequence_Fast_GET_SIZE(level.container.ptr())) {
            // Re-read the size each time: converting an item may run code that edits the list.
            child = nb::borrow(PySequence_Fast_GET_ITEM(level.container.ptr(), level.pos++));
        }
        if (!child.is_valid()) {
            Value done = level.finish();
            stack.pop_back();
            if (stack.empty()) return done;
            stack.back().add(std::move(done));
        } else if (is_container(child.ptr())) {
            if (stack.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while converting a Python object");
                throw nb::python_error();
            }
            stack.emplace_back(child.ptr());
        } else {
            level.add(scalar_value(child.ptr()));
        }
    }
}

// ---- Value -> Python ---------------------------------------------------------------------

nb::object checked(PyObject* obj) {
    if (obj == nullptr) throw nb::python_error();
    return nb::steal(obj);
}

nb::object text_object(const std::string& text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                        "surrogatepass"));
}

// ---- record members ----------------------------------------------------------------------

nb::object to_py(const std::string& v) { return text_object(v); }
nb::object to_py(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }
nb::object to_py(double v) { return checked(PyFloat_FromDouble(v)); }
nb::object to_py(bool v) { return nb::borrow(v ? Py_True : Py_False); }
nb::object to_py(const Value& v) { return from_value(v); }
// The annotation text of a member from its default, as plintrove._record knows them. A
// Value holds any JSON-like value; one whose default is a container is typed by it.
const char* type_text(const std::string&) { return "str"; }
const char* type_text(std::int64_t) { return "int"; }
const char* type_text(double) { return "float"; }
const char* type_text(bool) { return "bool"; }
const char* type_text(const OptText&) { return "str | None"; }
const char* type_text(const OptInt&) { return "int | None"; }
const char* type_text(const OptReal&) { return "float | None"; }
const char* type_text(const Value& default_value) {
    if (default_value.is_map()) return "dict[str, Any]";
    if (default_value.is_list()) return "list[Any]";
    return "Any";
}

template <typename T>
nb::object to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : nb::none();
}

void read_attr(double& out, nb::handle value) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    out = d;
}

template <typename R, typename... Rs>
constexpr std::size_t index_in(std::tuple<Rs...>*) {
    std::size_t i = 0, found = sizeof...(Rs);
    ((std::is_same_v<R, Rs> ? (found = i, ++i) : ++i), ...);
    return found;
}
template <typename R>
constexpr std::size_t kRecordIndex = index_in<R>(static_cast<AllRecords*>(nullptr));

// The Python class of each record and its slot descriptors in field order; module
// lifetime, filled once at import. `offsets` place each field's slot in an instance (empty
// where a descriptor is not the plain object slot); `checked_tag` is the class's version
// tag when its attributes were last found to be those slots (0: not since it changed).
struct RecordClass {
    PyTypeObject* type = nullptr;
    std::vector<PyObject*> slots;
    std::vector<Py_ssize_t> offsets;
    unsigned int checked_tag = 0;
};
std::array<RecordClass, std::tuple_size_v<AllRecords>> g_record_classes;

template <typename R>
void register_record(nb::module_& m, nb::handle make_record) {
    const R defaults{};
    nb::list names, values, types;
    std::apply(
        [&](const auto&... field) {
            (names.append(nb::str(field.name)), ...);
            (values.append(to_py(defaults.*(field.member))), ...);
            (types.append(nb::str(type_text(defaults.*(field.member)))), ...);
        },
        R::fields());
    nb::object cls = make_record(R::kName, R::kDoc, names, values, "plintrove.search_tracking", types);
    m.attr(R::kName) = cls;

    RecordClass& entry = g_record_classes[kRecordIndex<R>];
    nb::object members = nb::getattr(cls, "__dict__");
    for (nb::handle name : names) {
        nb::object slot = members[name];
        if (Py_TYPE(slot.ptr())->tp_descr_set == nullptr)
            throw nb::type_error("record field is not a slot");
        if (Py_IS_TYPE(slot.ptr(), &PyMemberDescr_Type)) {
            const PyMemberDef* member =
                reinterpret_cast<PyMemberDescrObject*>(slot.ptr())->d_member;
            if (member->type == T_OBJECT_EX) entry.offsets.push_back(member->offset);
        }
        entry.slots.push_back(slot.release().ptr());
    }
    if (entry.offsets.size() != entry.slots.size()) entry.offsets.clear();
    entry.type = reinterpret_cast<PyTypeObject*>(cls.release().ptr());
}

// Whether getattr on an instance of the record's class still answers from the slots: the
// class keeps the generic lookup and each field name finds its own slot. Checked again only
// after the class changes (assigning to a class attribute clears its version tag).
bool slots_answer(RecordClass& entry) {
    PyTypeObject* type = entry.type;
    if (type->tp_version_tag != 0 && type->tp_version_tag == entry.checked_tag) return true;
    if (entry.offsets.empty() || type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (PyObject* slot : entry.slots) {
        if (_PyType_Lookup(type, reinterpret_cast<PyDescrObject*>(slot)->d_name) != slot)
            return false;
    }
    entry.checked_tag = type->tp_version_tag;  // the lookups gave it one where they could
    return entry.checked_tag != 0;
}

// The value of field `i` of a record of exactly R's class, read from its slot; null where
// getattr must answer (another class, a class whose attributes are not the slots, an
// unset slot).
template <typename R>
PyObject* record_slot_value(PyObject* obj, std::size_t i) {
    RecordClass& entry = g_record_classes[kRecordIndex<R>];
    if (Py_TYPE(obj) != entry.type || !slots_answer(entry)) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + entry.offsets[i]);
}

template <typename... Rs>
void register_all(nb::module_& m, nb::handle make_record, std::tuple<Rs...>*) {
    (register_record<Rs>(m, make_record), ...);
}

}  // namespace

Value to_value(nb::handle obj) {
    PyObject* o = obj.ptr();
    return PyUnicode_CheckExact(o) ? Value(text_of(o)) : convert(o);
}

Value key_to_value(nb::handle key) { return key_value(key.ptr()); }

bool converted_truthy(nb::handle obj) {
    PyObject* o = obj.ptr();
    if (PyDict_Check(o)) return PyDict_GET_SIZE(o) > 0;
    if (PyList_Check(o) || PyTuple_Check(o)) return PySequence_Fast_GET_SIZE(o) > 0;
    if (PyUnicode_Check(o)) return PyUnicode_GET_LENGTH(o) > 0;
    if (o == Py_None) return false;
    return scalar_value(o).truthy();
}

Value to_value_or_str(nb::handle obj) {
    try {
        return convert(obj.ptr());
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    }
    nb::object text = checked(PyObject_Str(obj.ptr()));
    return Value(text_of(text.ptr()));
}

nb::object from_value(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None: return nb::none();
        case Value::Kind::Bool: return nb::borrow(v.as_bool() ? Py_True : Py_False);
        case Value::Kind::Int: return checked(PyLong_FromLongLong(v.as_int()));
        case Value::Kind::BigInt:
            return checked(PyLong_FromString(v.as_big_int().digits.c_str(), nullptr, 10));
        case Value::Kind::Float: return checked(PyFloat_FromDouble(v.as_float()));
        case Value::Kind::Text: return text_object(v.as_text());
        case Value::Kind::List: {
            const List& items = v.as_list();
            nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
            for (std::size_t i = 0; i < items.size(); ++i)
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                                from_value(items[i]).release().ptr());
            return list;
        }
        case Value::Kind::Map: {
            nb::object dict = checked(PyDict_New());
            for (const auto& [key, value] : v.as_map()) {
                if (PyDict_SetItem(dict.ptr(), from_value(key).ptr(), from_value(value).ptr()) < 0)
                    throw nb::python_error();
            }
            return dict;
        }
    }
    return nb::none();
}

bool truth(nb::handle obj) {
    const int t = PyObject_IsTrue(obj.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

// StatsAttributes numbers the attributes as the record orders its fields.
static_assert([]<std::size_t... I>(std::index_sequence<I...>) {
    constexpr auto fields = BacktestStats::fields();
    return ((std::get<I>(fields).member == kStatsFigures[I]) && ...) &&
           std::get<kStatsFigures.size()>(fields).member == &BacktestStats::liquidity_metrics &&
           std::get<kStatsFigures.size() + 1>(fields).member == &BacktestStats::custom_stats &&
           std::tuple_size_v<decltype(fields)> == kStatsFigures.size() + 2;
}(std::make_index_sequence<kStatsFigures.size()>()));

nb::object StatsAttributes::get(std::size_t field, bool optional) const {
    // Asked in place of getattr for every attribute, as host code run between two reads
    // (converting a figure, say) may change the object or its class.
    if (PyObject* value = record_slot_value<BacktestStats>(obj_.ptr(), field)) {
        return nb::borrow(value);
    }
    static const std::array<PyObject*, kStatsFields> names = [] {
        std::array<PyObject*, kStatsFields> out{};
        std::size_t i = 0;
        std::apply(
            [&](const auto&... f) { ((out[i++] = PyUnicode_InternFromString(f.name)), ...); },
            BacktestStats::fields());
        for (PyObject* name : out) {
            if (name == nullptr) throw nb::python_error();
        }
        return out;
    }();
    return optional ? nb::getattr(obj_, nb::handle(names[field]), nb::none())
                    : nb::getattr(obj_, nb::handle(names[field]));
}

std::exception_ptr read_backtest_stats(nb::handle obj, BacktestStats& out,
                                       std::optional<std::string>& liquidity_metrics_json) {
    const StatsAttributes attributes(obj);
    try {
        nb::object metrics = attributes.liquidity_metrics();
        out.liquidity_metrics = Value();
        if (!metrics.is_none()) {
            std::string text;
            write_json_text(metrics, text);
            liquidity_metrics_json = std::move(text);
        }
        for (std::size_t i = 0; i < kStatsFigures.size(); ++i) {
            read_attr(out.*kStatsFigures[i], attributes.figure(i));
        }
        nb::object custom = attributes.custom_stats();
        out.custom_stats = custom.is_none() ? Value(Mapping{}) : to_value(custom);
        return nullptr;
    } catch (nb::python_error& e) {
        try {
            rethrow_python_error(e);
        } catch (...) {
            return std::current_exception();
        }
    } catch (const std::exception&) {
        return std::current_exception();
    }
}

template <typename R>
nb::object record_from_values(const nb::object* values) {
    const RecordClass& entry = g_record_classes[kRecordIndex<R>];
    // Filled slot by slot, bypassing __init__ and its defaults.
    nb::object obj = checked(entry.type->tp_alloc(entry.type, 0));
    for (std::size_t i = 0; i < entry.slots.size(); ++i) {
        if (Py_TYPE(entry.slots[i])->tp_descr_set(entry.slots[i], obj.ptr(), values[i].ptr()) < 0)
            throw nb::python_error();
    }
    return obj;
}

template <typename R>
nb::object record_to_py(const R& record) {
    std::array<nb::object, std::tuple_size_v<decltype(R::fields())>> values;
    std::size_t i = 0;
    std::apply([&](const auto&... field) { ((values[i++] = to_py(record.*(field.member))), ...); },
               R::fields());
    return record_from_values<R>(values.data());
}

template nb::object record_from_values<EvaluationRecord>(const nb::object*);
template nb::object record_from_values<PerColumnStatsRecord>(const nb::object*);

void register_records(nb::module_& m) {
    nb::object make_record = nb::module_::import_("plintrove._record").attr("make_record");
    register_all(m, make_record, static_cast<AllRecords*>(nullptr));
}

// ---- arguments -----------------------------------------------------------------------------

namespace {

[[noreturn]] void raise_argument_error(const char* name, const char* expected, nb::handle obj) {
    raise_type_error(std::string(name) + " must be " + expected + ", not '" +
                     type_name(obj.ptr()) + "'");
}

// Arguments whose values the library checks itself, naming them in its own messages.
constexpr std::string_view kValidatedArguments[] = {"eval_type", "source", "status",
                                                    "initial_status", "kind"};
// Arguments whose shape (text, mapping) the library checks: an object that is no value
// arrives as an empty list, which each of those checks refuses with its own message.
constexpr std::string_view kShapeCheckedArguments[] = {"metaparameters", "signal_pool_id",
                                                       "strategy_pool_id", "strategy_signal_pool"};

template <std::size_t N>
bool listed(const std::string_view (&names)[N], std::string_view name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

}  // namespace

std::int64_t int_arg(nb::handle obj, const char* name) {
    nb::object index;
    PyObject* number = obj.ptr();
    if (!PyLong_Check(number)) {
        PyNumberMethods* methods = Py_TYPE(number)->tp_as_number;
        if (methods == nullptr || methods->nb_index == nullptr)
            raise_argument_error(name, "an integer", obj);
        index = checked(PyNumber_Index(number));
        number = index.ptr();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to SQLite INTEGER");
        throw nb::python_error();
    }
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double real_arg(nb::handle obj, const char* name) {
    if (PyFloat_Check(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    PyNumberMethods* methods = Py_TYPE(obj.ptr())->tp_as_number;
    if (PyUnicode_Check(obj.ptr()) || methods == nullptr ||
        (methods->nb_float == nullptr && methods->nb_index == nullptr)) {
        raise_argument_error(name, "a real number", obj);
    }
    const double d = PyFloat_AsDouble(obj.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

std::string text_arg(nb::handle obj, const char* name) {
    if (!PyUnicode_Check(obj.ptr())) raise_argument_error(name, "str", obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

void raise_argument_conversion_error(nb::python_error& e, const char* name) {
    if (!e.matches(PyExc_TypeError)) throw;
    const std::string message = nb::cast<std::string>(nb::str(e.value()));
    raise_type_error("argument " + std::string(name) + ": " + message);
}

Value value_arg(nb::handle obj, const char* name) {
    try {
        return to_value(obj);
    } catch (nb::python_error& e) {
        raise_argument_conversion_error(e, name);
    }
}

Value validated_arg(nb::handle obj) { return to_value_or_str(obj); }

Value ArgConverter<Value>::get(nb::handle h, const char* name) {
    const std::string_view argument(name);
    if (listed(kValidatedArguments, argument)) return validated_arg(h);
    if (listed(kShapeCheckedArguments, argument)) {
        try {
            return to_value(h);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TypeError)) throw;
            return Value(List{});
        }
    }
    return value_arg(h, name);
}

std::vector<std::string> ArgConverter<std::vector<std::string>>::get(nb::handle h,
                                                                   const char* name) {
    if (PyUnicode_Check(h.ptr()) || !PySequence_Check(h.ptr()))
        raise_argument_error(name, "a sequence of str", h);
    nb::object items = checked(PySequence_Fast(h.ptr(), "not a sequence"));
    std::vector<std::string> out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
        out.push_back(text_arg(PySequence_Fast_GET_ITEM(items.ptr(), i), name));
    return out;
}

#define PLINTROVE_RECORD_TO_PY(R) template nb::object record_to_py<R>(const R&);
PLINTROVE_RECORD_TO_PY(FunctionStats)
PLINTROVE_RECORD_TO_PY(FeatureStats)
PLINTROVE_RECORD_TO_PY(EvaluationRecord)
PLINTROVE_RECORD_TO_PY(PerColumnStatsRecord)
PLINTROVE_RECORD_TO_PY(RejectionCount)
PLINTROVE_RECORD_TO_PY(AutoMetadata)
PLINTROVE_RECORD_TO_PY(CooccurrencePair)
PLINTROVE_RECORD_TO_PY(VelocityStats)
PLINTROVE_RECORD_TO_PY(DeleteResult)
PLINTROVE_RECORD_TO_PY(DatabaseInfo)
PLINTROVE_RECORD_TO_PY(SubmissionQueueItem)
PLINTROVE_RECORD_TO_PY(PendingSubmission)
PLINTROVE_RECORD_TO_PY(SubmissionCounts)
PLINTROVE_RECORD_TO_PY(SubmissionRetryItem)
PLINTROVE_RECORD_TO_PY(RetryCounts)
PLINTROVE_RECORD_TO_PY(BacktestStats)
PLINTROVE_RECORD_TO_PY(TrialLedgerEntry)
PLINTROVE_RECORD_TO_PY(DeflatedSharpe)
PLINTROVE_RECORD_TO_PY(MultipleTestingCandidate)
#undef PLINTROVE_RECORD_TO_PY

}  // namespace plintrove::py
