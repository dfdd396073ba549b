#pragma once
// Conversions between Python objects and the library's values and records. Everything
// the binding files need: include this and the nanobind STL casters.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

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
// A dict key as to_value converts it: str, None, bool, int or float; anything else raises
// TypeError("keys must be str, int, float, bool or None, not X"), as json.dumps would.
Value key_to_value(nb::handle key);
// Whether to_value(obj) is true, with containers and text read in place rather than
// converted; raises what converting a scalar raises.
bool converted_truthy(nb::handle obj);
nb::object from_value(const Value& v);
// Python's truth test of any object, as bool(obj) gives it; its own error travels.
bool truth(nb::handle obj);

inline constexpr std::array<double BacktestStats::*, 8> kStatsFigures{
    &BacktestStats::sharpe,         &BacktestStats::returns,    &BacktestStats::turnover,
    &BacktestStats::drawdown,       &BacktestStats::delta_exposure, &BacktestStats::max_weight,
    &BacktestStats::quality_score,  &BacktestStats::correlation};

// The attributes of a statistics object, each as getattr gives it. A BacktestStats record
// of exactly the library's class holds them in its slots, read there directly; any other
// object is asked by name. GIL held.
class StatsAttributes {
public:
    explicit StatsAttributes(nb::handle obj) : obj_(obj) {}
    // The figure of kStatsFigures[i].
    nb::object figure(std::size_t i) const { return get(i, false); }
    nb::object liquidity_metrics() const { return get(kStatsFigures.size(), false); }
    // None where the object has none.
    nb::object custom_stats() const { return get(kStatsFigures.size() + 1, true); }

private:
    static constexpr std::size_t kStatsFields = kStatsFigures.size() + 2;
    nb::object get(std::size_t field, bool optional) const;
    nb::handle obj_;
};

// Any object with the BacktestStats attributes (a BacktestStats record or a look-alike),
// read in the order recording reads them: `liquidity_metrics`, then the eight figures.
// Liquidity metrics other than None are only ever stored as JSON text, so they are written
// to `liquidity_metrics_json` instead (and are None in `out`). `custom_stats` is optional
// (missing means none). A missing attribute or a value that does not convert is not raised
// here but returned, for the recording to raise at the point where it reads the statistics,
// after the checks that come before.
std::exception_ptr read_backtest_stats(nb::handle obj, BacktestStats& out,
                                       std::optional<std::string>& liquidity_metrics_json);

template <typename T, typename = void>
struct is_record : std::false_type {};
template <typename T>
struct is_record<T, std::void_t<decltype(T::fields()), decltype(T::kName)>> : std::true_type {};

// C++ record -> instance of the matching Python record class.
template <typename R>
nb::object record_to_py(const R& record);

// A new instance of the record class of R whose fields, in field order, hold `values` (one
// per field), bypassing __init__.
template <typename R>
nb::object record_from_values(const nb::object* values);

// Registers the record classes as module attributes (called once at import).
void register_records(nb::module_& m);

// ---- arguments of bound calls -------------------------------------------------------------
// Each converts one argument, with the GIL held, and names it in a one-line TypeError when
// the object cannot serve. Integers accept any object with __index__ (numpy integers, for
// one) and raise OverflowError beyond 64 bits; text refuses lone surrogates with
// UnicodeEncodeError, as the host's own driver would.
std::int64_t int_arg(nb::handle obj, const char* name);
double real_arg(nb::handle obj, const char* name);
std::string text_arg(nb::handle obj, const char* name);
// Anything the library's values hold; other objects are refused naming the argument.
Value value_arg(nb::handle obj, const char* name);
// Raises the pending conversion error of argument `name`: a TypeError naming the argument,
// as value_arg raises it, anything else as it is.
[[noreturn]] void raise_argument_conversion_error(nb::python_error& e, const char* name);
// For arguments the library validates itself (types, statuses, sources): an object that is
// no value arrives as its text form and meets the validator's own message.
Value validated_arg(nb::handle obj);

template <typename T>
struct ArgConverter;
template <>
struct ArgConverter<std::int64_t> {
    static std::int64_t get(nb::handle h, const char* name) { return int_arg(h, name); }
};
template <>
struct ArgConverter<double> {
    static double get(nb::handle h, const char* name) { return real_arg(h, name); }
};
template <>
struct ArgConverter<bool> {
    static bool get(nb::handle h, const char*) { return truth(h); }
};
template <>
struct ArgConverter<std::string> {
    static std::string get(nb::handle h, const char* name) { return text_arg(h, name); }
};
template <>
struct ArgConverter<Value> {
    static Value get(nb::handle h, const char* name);
};
template <>
struct ArgConverter<std::vector<std::string>> {
    static std::vector<std::string> get(nb::handle h, const char* name);
};
template <typename T>
struct ArgConverter<std::optional<T>> {
    static std::optional<T> get(nb::handle h, const char* name) {
        if (h.is_none()) return std::nullopt;
        return ArgConverter<T>::get(h, name);
    }
};

template <typename T>
T from_arg(nb::handle h, const char* name) {
    return ArgConverter<T>::get(h, name);
}

// What a parameter of type P is held as between conversion and the call.
template <typename P>
struct arg_storage {
    using type = std::decay_t<P>;
};
template <>
struct arg_storage<std::string_view> {
    using type = std::string;
};
template <>
struct arg_storage<std::optional<std::string_view>> {
    using type = std::optional<std::string>;
};
template <typename P>
using arg_storage_t = typename arg_storage<std::decay_t<P>>::type;

namespace detail {

template <typename T>
concept NamedArg = requires(const T& a) {
    { a.name_ } -> std::convertible_to<const char*>;
};

template <std::size_t N, typename... Extra>
std::array<const char*, N> arg_names(const Extra&... extra) {
    std::array<const char*, N> names{};
    std::size_t i = 0;
    auto take = [&](const auto& e) {
        if constexpr (NamedArg<std::decay_t<decltype(e)>>) {
            if (i < N) names[i++] = e.name_;
        }
    };
    (take(extra), ...);
    return names;
}

template <typename>
using any_object = nb::handle;

// Converts `args` in order, each under its name, then calls fn(head..., converted...) with
// the GIL released.
template <typename R, typename Fn, typename... A, std::size_t... I, typename... Head>
R call_converted(Fn fn, const std::array<const char*, sizeof...(A)>& names,
                 std::index_sequence<I...>, std::tuple<any_object<A>...> args, Head&... head) {
    // Braced initialisation converts in argument order.
    std::tuple<arg_storage_t<A>...> converted{
        ArgConverter<arg_storage_t<A>>::get(std::get<I>(args), names[I])...};
    nb::gil_scoped_release release;
    return fn(head..., std::get<I>(converted)...);
}

// An nb::arg that lets None through to the converter, which names what it expected.
template <typename E>
auto accepting_none(const E& e) {
    using traits = nb::detail::arg_traits<E>;
    if constexpr (!traits::is_arg) {
        return e;
    } else {
        constexpr std::uint32_t flags = traits::flags | nb::detail::cast_flags::accepts_none;
        using Arg = nb::arg_t<flags, traits::locked>;
        if constexpr (traits::has_default) return nb::arg_v_t<flags, traits::locked>(Arg(e), nb::object(e.value));
        else return Arg(e);
    }
}

// The names of fn's converted arguments: a module function names its head argument too.
template <typename Scope, std::size_t N, std::size_t Skip, typename... Extra>
std::array<const char*, N> converted_names(const Extra&... extra) {
    const auto all = arg_names<N + Skip>(extra...);
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = all[i + Skip];
    return names;
}

}  // namespace detail

// Binds fn(head, args...) taking every argument as any object: each is converted by its
// ArgConverter under the name its nb::arg gives it, then the GIL is released around fn.
// `head` (the tracker, a connection) is bound as nanobind binds it.
template <typename Scope, typename R, typename Head, typename... A, typename... Extra>
void def_converted(Scope& scope, const char* name, R (*fn)(Head&, A...), const Extra&... extra) {
    constexpr std::size_t skip = std::is_same_v<Scope, nb::module_> ? 1 : 0;
    const auto names = detail::converted_names<Scope, sizeof...(A), skip>(extra...);
    scope.def(
        name,
        [fn, names](Head& head, detail::any_object<A>... args) -> R {
            return detail::call_converted<R, R (*)(Head&, A...), A...>(
                fn, names, std::index_sequence_for<A...>{}, std::make_tuple(args...), head);
        },
        detail::accepting_none(extra)...);
}

// The same for a module function without a head argument.
template <typename R, typename... A, typename... Extra>
void def_converted_free(nb::module_& m, const char* name, R (*fn)(A...), const Extra&... extra) {
    const auto names = detail::arg_names<sizeof...(A)>(extra...);
    m.def(
        name,
        [fn, names](detail::any_object<A>... args) -> R {
            return detail::call_converted<R, R (*)(A...), A...>(
                fn, names, std::index_sequence_for<A...>{}, std::make_tuple(args...));
        },
        detail::accepting_none(extra)...);
}

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
