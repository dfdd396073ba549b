#include "argument_errors.h"

#include <Python.h>

#include <cctype>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace plintrove::py {

namespace {

// nanobind's own call of each wrapped function; filled at import, read-only afterwards.
std::unordered_map<PyObject*, vectorcallfunc> g_calls;

struct Param {
    std::string name;
    bool has_default = false;
    bool keyword_only = false;
};

// The parameter list of a function's nanobind signature ("def f(a: int, b: str = \0) -> R").
struct Signature {
    std::string text;  // between the parentheses
    std::vector<Param> params;
};

std::vector<std::string> split_top_level(std::string_view text) {
    std::vector<std::string> parts;
    int depth = 0;
    std::string current;
    for (char c : text) {
        if (c == '[' || c == '(' || c == '{') ++depth;
        if (c == ']' || c == ')' || c == '}') --depth;
        if (c == ',' && depth == 0) {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

std::string trimmed(std::string_view s) {
    const auto begin = s.find_first_not_of(' ');
    if (begin == std::string_view::npos) return {};
    return std::string(s.substr(begin, s.find_last_not_of(' ') - begin + 1));
}

// Only a function with a single signature is explained; nullopt-like empty text otherwise.
Signature signature_of(PyObject* func) {
    Signature sig;
    nb::object overloads = nb::steal(PyObject_GetAttrString(func, "__nb_signature__"));
    if (!overloads || !PyTuple_Check(overloads.ptr()) || PyTuple_GET_SIZE(overloads.ptr()) != 1) {
        PyErr_Clear();
        return sig;
    }
    nb::handle first = PyTuple_GET_ITEM(overloads.ptr(), 0);
    if (!PyTuple_Check(first.ptr()) || PyTuple_GET_SIZE(first.ptr()) < 1) return sig;
    const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(first.ptr(), 0));
    if (text == nullptr) {
        PyErr_Clear();
        return sig;
    }
    const std::string_view full(text);
    const auto open = full.find('(');
    if (open == std::string_view::npos) return sig;
    int depth = 0;
    std::size_t close = open;
    for (; close < full.size(); ++close) {
        if (full[close] == '(' || full[close] == '[') ++depth;
        if (full[close] == ')' || full[close] == ']') --depth;
        if (depth == 0) break;
    }
    // Defaults appear as \0, \1, ... placeholders.
    for (char c : full.substr(open + 1, close - open - 1)) {
        if (std::isdigit(static_cast<unsigned char>(c)) && !sig.text.empty() && sig.text.back() == '\\') {
            sig.text.back() = '.';
            sig.text += "..";
        } else if (!(std::isdigit(static_cast<unsigned char>(c)) && sig.text.size() >= 3 &&
                     sig.text.compare(sig.text.size() - 3, 3, "...") == 0)) {
            sig.text += c;
        }
    }
    bool keyword_only = false;
    for (const std::string& part : split_top_level(sig.text)) {
        const std::string item = trimmed(part);
        if (item == "/") continue;
        if (item.rfind('*', 0) == 0) {
            keyword_only = true;  // "*" or "*args"; "**kwargs" takes any keyword
            if (item.rfind("**", 0) == 0) sig.params.push_back({"**", true, true});
            continue;
        }
        Param p;
        p.name = item.substr(0, item.find_first_of(":= "));
        p.has_default = item.find('=') != std::string::npos;
        p.keyword_only = keyword_only;
        sig.params.push_back(std::move(p));
    }
    return sig;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// Python's own message for a call that does not fit, or "" when the call fits its shape
// (an argument of a type the binding does not take).
std::string shape_error(const std::string& fn, const std::vector<Param>& params,
                        std::size_t nargs, PyObject* kwnames) {
    std::size_t positional = 0, required = 0;
    bool any_keyword = false;
    for (const Param& p : params) {
        if (p.name == "**") {
            any_keyword = true;
            continue;
        }
        if (p.keyword_only) continue;
        ++positional;
        if (!p.has_default) ++required;
    }
    if (nargs > positional) {
        std::string takes = required == positional
                                ? std::to_string(positional)
                                : "from " + std::to_string(required) + " to " + std::to_string(positional);
        return fn + "() takes " + takes + " positional argument" + (positional == 1 ? "" : "s") +
               " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    }
    std::vector<bool> given(params.size(), false);
    for (std::size_t i = 0; i < nargs; ++i) given[i] = true;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (key == nullptr) {
            PyErr_Clear();
            continue;
        }
        std::size_t i = 0;
        while (i < params.size() && params[i].name != key) ++i;
        if (i == params.size()) {
            if (any_keyword) continue;
            return fn + "() got an unexpected keyword argument '" + key + "'";
        }
        if (given[i]) return fn + "() got multiple values for argument '" + key + "'";
        given[i] = true;
    }
    for (const bool keyword_only : {false, true}) {
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            if (!given[i] && !p.has_default && p.name != "**" && p.keyword_only == keyword_only)
                missing.push_back(p.name);
        }
        if (missing.empty()) continue;
        return fn + "() missing " + std::to_string(missing.size()) + " required " +
               (keyword_only ? "keyword-only" : "positional") + " argument" +
               (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing);
    }
    return {};
}

std::string qualname_of(PyObject* func) {
    nb::object name = nb::steal(PyObject_GetAttrString(func, "__qualname__"));
    const char* text = name ? PyUnicode_AsUTF8(name.ptr()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "function";
    }
    return text;
}

// Replaces nanobind's overload listing, when that is the error raised, by one line.
void explain(PyObject* func, std::size_t nargs, PyObject* kwnames) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    nb::object text = nb::steal(value ? PyObject_Str(value) : nullptr);
    const char* message = text ? PyUnicode_AsUTF8(text.ptr()) : nullptr;
    if (message == nullptr || std::string_view(message).find(
                                  "(): incompatible function arguments") == std::string_view::npos) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    const std::string fn = qualname_of(func);
    const Signature sig = signature_of(func);
    std::string plain = shape_error(fn, sig.params, nargs, kwnames);
    if (plain.empty()) plain = fn + "() got an argument of a type it does not take; expected (" + sig.text + ")";
    PyErr_SetString(PyExc_TypeError, plain.c_str());
}

PyObject* call_with_plain_errors(PyObject* func, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) {
    PyObject* result = g_calls.find(func)->second(func, args, nargsf, kwnames);
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
        // nanobind keeps a flag of its own next to Python's offset bit.
        const size_t flags = PY_VECTORCALL_ARGUMENTS_OFFSET | (PY_VECTORCALL_ARGUMENTS_OFFSET >> 1);
        explain(func, nargsf & ~flags, kwnames);
    }
    return result;
}

bool is_nanobind_function(PyObject* obj) {
    const char* type_name = Py_TYPE(obj)->tp_name;
    return std::string_view(type_name) == "nanobind.nb_func" ||
           std::string_view(type_name) == "nanobind.nb_method";
}

// nanobind functions call through the vectorcall slot each object carries (at the offset
// its type publishes), so the slot can route through the explanation.
void wrap(PyObject* func) {
    if (!is_nanobind_function(func) || g_calls.count(func)) return;
    const Py_ssize_t offset = Py_TYPE(func)->tp_vectorcall_offset;
    if (offset <= 0) return;
    auto* slot = reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(func) + offset);
    if (*slot == nullptr) return;
    g_calls.emplace(func, *slot);
    *slot = call_with_plain_errors;
}

void wrap_all(nb::handle namespace_dict) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(namespace_dict.ptr(), &pos, &key, &value)) wrap(value);
}

}  // namespace

void use_plain_argument_errors(nb::module_& m) {
    nb::object module_dict = nb::getattr(m, "__dict__");
    wrap_all(module_dict);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(module_dict.ptr(), &pos, &key, &value)) {
        if (PyType_Check(value)) wrap_all(nb::handle(reinterpret_cast<PyTypeObject*>(value)->tp_dict));
    }
}

}  // namespace plintrove::py
