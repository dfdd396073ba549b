#pragma once
// The UTF-8 text of a str read in place.

#include <Python.h>

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

}  // namespace plintrove::py
