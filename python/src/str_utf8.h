#pragma once
// The UTF-8 text of a str read in place.

#include <Python.h>

#include <string_view>

namespace plintrove::py {

// A compact ASCII str holds its UTF-8 text itself; any other str hands out its cached UTF-8
// form. Null, with the Python error set, for a str holding lone surrogates.
inline const char* str_utf8(PyObject* str, Py_ssize_t* size) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
    return PyUnicode_AsUTF8AndSize(str, size);
}

// The text of an exact str held as compact ASCII, read in place; false for any other object.
inline bool exact_ascii_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
}

}  // namespace plintrove::py
