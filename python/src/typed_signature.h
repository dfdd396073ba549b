#pragma once
// The typed signature of each public method of the bound classes. The methods take any
// object and convert it themselves (convert.h), so nanobind alone would show every parameter
// as `object`. The types come from one table by parameter name (the API names things
// consistently) and the result from the C++ return type or, where that is a value or a
// record, from a table by method name. The text goes to nanobind as nb::sig, so __doc__,
// help(), the generated stubs and plintrove._signatures (inspect.signature) all show it.

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace plintrove::py {

struct SignatureParam {
    const char* name;
    bool keyword_only;
    std::optional<std::string> default_text;  // as Python source; none when required
};

// "def name(self, a: T, b: T | None = None, *, c: T = 1) -> R". Throws std::logic_error for
// a parameter without a type or a result neither the C++ type nor the table gives, so a new
// binding cannot go out untyped.
std::string typed_signature(std::string_view method, const std::vector<SignatureParam>& params,
                            const std::optional<std::string>& cpp_result);

namespace detail {

template <typename F>
struct callable_result : callable_result<decltype(&F::operator())> {};
template <typename R, typename... A>
struct callable_result<R (*)(A...)> {
    using type = R;
};
template <typename R, typename C, typename... A>
struct callable_result<R (C::*)(A...)> {
    using type = R;
};
template <typename R, typename C, typename... A>
struct callable_result<R (C::*)(A...) const> {
    using type = R;
};
template <typename R, typename C, typename... A>
struct callable_result<R (C::*)(A...) noexcept> {
    using type = R;
};
template <typename R, typename C, typename... A>
struct callable_result<R (C::*)(A...) const noexcept> {
    using type = R;
};

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

// The Python type of a C++ result, where it says one; values and records say none.
template <typename R>
std::optional<std::string> result_text() {
    using T = std::remove_cvref_t<R>;
    if constexpr (std::is_void_v<T>) return "None";
    else if constexpr (std::is_same_v<T, bool>) return "bool";
    else if constexpr (std::is_integral_v<T>) return "int";
    else if constexpr (std::is_floating_point_v<T>) return "float";
    else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, nb::str>) return "str";
    else if constexpr (is_optional<T>::value) {
        std::optional<std::string> inner = result_text<typename T::value_type>();
        if (inner) *inner += " | None";
        return inner;
    } else return std::nullopt;
}

std::string default_text(nb::handle value);

template <typename... Extra>
std::vector<SignatureParam> signature_params(const Extra&... extra) {
    std::vector<SignatureParam> params;
    bool keyword_only = false;
    auto take = [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        using traits = nb::detail::arg_traits<E>;
        if constexpr (std::is_same_v<E, nb::kw_only>) {
            keyword_only = true;
        } else if constexpr (traits::is_arg) {
            SignatureParam p{e.name_, keyword_only, std::nullopt};
            if constexpr (traits::has_default)
                p.default_text = e.signature_ ? std::string(e.signature_) : default_text(e.value);
            params.push_back(std::move(p));
        }
    };
    (take(extra), ...);
    return params;
}

}  // namespace detail

// nb::class_ whose public methods are bound with their typed signature; methods named with
// one leading underscore keep nanobind's own rendering.
template <typename T, typename... Options>
class TypedClass : public nb::class_<T, Options...> {
    using Base = nb::class_<T, Options...>;

public:
    using Base::Base;

    template <typename Func, typename... Extra>
    TypedClass& def(const char* name, Func&& f, const Extra&... extra) {
        if (name[0] == '_' && name[1] != '_') {
            Base::def(name, std::forward<Func>(f), extra...);
            return *this;
        }
        using R = typename detail::callable_result<std::decay_t<Func>>::type;
        const std::string text =
            typed_signature(name, detail::signature_params(extra...), detail::result_text<R>());
        Base::def(name, std::forward<Func>(f), extra..., nb::sig(text.c_str()));
        return *this;
    }
};

}  // namespace plintrove::py
