#pragma once
// Conversions between Python objects and the library's values and records. Everything
// the binding files need: include this and the nanobind STL casters.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <type_traits>

#include "plintrove/core/records.h"
#include "plintrove/value/value.h"

namespace nb = nanobind;

namespace plintrove::py {

// Python object -> Value: None, bool, int (beyond 64 bits as BigInt), float, str,
// dict (keys kept in order), list and tuple (as lists). Anything else raises
// TypeError("Object of type X is not JSON serializable"), as json.dumps would.
Value to_value(nb::handle obj);
// Like to_value, but an object that cannot be converted becomes its str() text.
Value to_value_or_str(nb::handle obj);
nb::object from_value(const Value& v);
// Python's truth test of any object, as bool(obj) gives it; its own error travels.
bool truth(nb::handle obj);

// Any object with the BacktestStats attributes (a BacktestStats record or a look-alike).
// Missing attributes raise AttributeError, as reading them would.
BacktestStats backtest_stats_from(nb::handle obj);

template <typename T, typename = void>
struct is_record : std::false_type {};
template <typename T>
struct is_record<T, std::void_t<decltype(T::fields()), decltype(T::kName)>> : std::true_type {};

// C++ record -> instance of the matching Python record class.
template <typename R>
nb::object record_to_py(const R& record);

// Registers the record classes as module attributes (called once at import).
void register_records(nb::module_& m);

}  // namespace plintrove::py

// Let bound functions take and return Value and records directly.
namespace nanobind::detail {

template <>
struct type_caster<plintrove::Value> {
    NB_TYPE_CASTER(plintrove::Value, const_name("object"))

    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        try {
            value = plintrove::py::to_value(src);
            return true;
        } catch (...) {
            PyErr_Clear();
            return false;
        }
    }
    static handle from_cpp(const plintrove::Value& v, rv_policy, cleanup_list*) noexcept {
        try {
            return plintrove::py::from_value(v).release();
        } catch (python_error& e) {
            e.restore();
            return handle();
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "value conversion failed");
            return handle();
        }
    }
};

template <typename T>
struct type_caster<T, enable_if_t<plintrove::py::is_record<T>::value>> {
    NB_TYPE_CASTER(T, const_name("object"))

    bool from_python(handle, uint8_t, cleanup_list*) noexcept { return false; }
    static handle from_cpp(const T& r, rv_policy, cleanup_list*) noexcept {
        try {
            return plintrove::py::record_to_py(r).release();
        } catch (python_error& e) {
            e.restore();
            return handle();
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "record conversion failed");
            return handle();
        }
    }
};

}  // namespace nanobind::detail
