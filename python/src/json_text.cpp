#include "json_text.h"

#include <Python.h>

#include <string_view>
#include <vector>

#include "plintrove/value/json.h"

namespace plintrove::py {

namespace {

bool is_container(PyObject* obj) {
    return PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
}

// A text's JSON literal; one with lone surrogates takes its converted form.
void write_text(PyObject* text, std::string& out, JsonTextForms& forms) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        json_quote_into(std::string_view(data, static_cast<std::size_t>(size)), out);
    } else {
        PyErr_Clear();
        forms.lone_surrogate = true;
        json_quote_into(to_value(text).as_text(), out);
    }
}

void write_key(PyObject* key, std::string& out, JsonTextForms& forms) {
    if (PyUnicode_Check(key)) {
        if (!PyUnicode_CheckExact(key)) forms.str_subclass_key = true;
        write_text(key, out, forms);
    } else {
        json_key_into(key_to_value(key), out);
        forms.non_text_key = true;
    }
}

void write_scalar(PyObject* obj, std::string& out, JsonTextForms& forms) {
    if (PyUnicode_Check(obj)) write_text(obj, out, forms);
    else json_dumps_into(to_value(obj), out);
}

// Iterative, as to_value is, so no depth reaches the end of the C stack.
void write_json(PyObject* root, std::string& out, JsonTextForms& forms) {
    if (!is_container(root)) {
        write_scalar(root, out, forms);
        return;
    }
    struct Frame {
        nb::object container;
        bool dict;
        Py_ssize_t pos = 0;
        Py_ssize_t written = 0;
    };
    std::vector<Frame> stack;
    stack.reserve(8);
    auto open = [&](PyObject* obj) {
        const bool dict = PyDict_Check(obj);
        out.push_back(dict ? '{' : '[');
        stack.push_back(Frame{nb::borrow(obj), dict});
    };
    open(root);
    while (true) {
        Frame& frame = stack.back();
        nb::object child;
        if (frame.dict) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            if (PyDict_Next(frame.container.ptr(), &frame.pos, &key, &value)) {
                nb::object held_key = nb::borrow(key);
                child = nb::borrow(value);
                if (frame.written++ > 0) out.append(", ");
                write_key(key, out, forms);
                out.append(": ");
            }
        } else if (frame.pos < PySequence_Fast_GET_SIZE(frame.container.ptr())) {
            // Re-read the size each time, as to_value does.
            child = nb::borrow(PySequence_Fast_GET_ITEM(frame.container.ptr(), frame.pos++));
            if (frame.written++ > 0) out.append(", ");
        }
        if (!child.is_valid()) {
            out.push_back(frame.dict ? '}' : ']');
            stack.pop_back();
            if (stack.empty()) return;
        } else if (is_container(child.ptr())) {
            if (stack.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while converting a Python object");
                throw nb::python_error();
            }
            open(child.ptr());
        } else {
            write_scalar(child.ptr(), out, forms);
        }
    }
}

}  // namespace

JsonTextForms write_json_text(nb::handle obj, std::string& out) {
    JsonTextForms forms;
    const std::size_t mark = out.size();
    try {
        write_json(obj.ptr(), out, forms);
    } catch (...) {
        out.resize(mark);
        throw;
    }
    return forms;
}

std::optional<std::string> json_text_arg(nb::handle obj, const char* name) {
    if (obj.is_none()) return std::nullopt;
    std::string text;
    try {
        write_json_text(obj, text);
    } catch (nb::python_error& e) {
        raise_argument_conversion_error(e, name);
    }
    return text;
}

}  // namespace plintrove::py
