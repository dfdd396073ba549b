#include "prepared_graph.h"

#include <Python.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/core/graph_walk.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"

namespace plintrove::py {

namespace {

bool is_container(PyObject* obj) {
    return PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj);
}

// A text's JSON literal; one with lone surrogates takes its converted form.
void write_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        json_quote_into(std::string_view(data, static_cast<std::size_t>(size)), out);
    } else {
        PyErr_Clear();
        json_quote_into(to_value(text).as_text(), out);
    }
}

void write_scalar(PyObject* obj, std::string& out) {
    if (PyUnicode_Check(obj)) write_text(obj, out);
    else json_dumps_into(to_value(obj), out);
}

// The JSON text of `obj` exactly as json_dumps_into(to_value(obj)) writes it, converting
// containers in the order to_value does; false at the first key that is not text. Clears
// `exact_keys` at a key of a subclass of str.
bool write_json(PyObject* root, std::string& out, bool& exact_keys) {
    if (!is_container(root)) {
        write_scalar(root, out);
        return true;
    }
    struct Frame {
        nb::object container;
        bool dict;
        Py_ssize_t pos = 0;
        Py_ssize_t written = 0;
    };
    std::vector<Frame> stack;
    stack.reserve(16);
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
                if (!PyUnicode_Check(key)) return false;
                if (!PyUnicode_CheckExact(key)) exact_keys = false;
                nb::object held_key = nb::borrow(key);
                child = nb::borrow(value);
                if (frame.written++ > 0) out.append(", ");
                write_text(key, out);
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
            if (stack.empty()) return true;
        } else if (is_container(child.ptr())) {
            if (stack.size() >= static_cast<std::size_t>(kMaxJsonDepth)) {
                PyErr_SetString(PyExc_RecursionError,
                                "maximum recursion depth exceeded while converting a Python object");
                throw nb::python_error();
            }
            open(child.ptr());
        } else {
            write_scalar(child.ptr(), out);
        }
    }
}

// The host's objects seen through the graph walks as to_value would convert them (tuples
// are lists; other numbers are the int or float they convert to). The graph is held by the
// caller and converted whole before any walk, so every conversion here succeeds.
struct PyNodes {
    using Node = PyObject*;
    // Whether every key is a str itself: a subclass may hash or compare its own way, so
    // keys are then compared by text one by one.
    bool exact_keys = true;
    mutable std::string scratch;

    static bool truthy(Node o) {
        if (PyDict_Check(o)) return PyDict_GET_SIZE(o) > 0;
        if (PyList_Check(o) || PyTuple_Check(o)) return PySequence_Fast_GET_SIZE(o) > 0;
        if (PyUnicode_Check(o)) return PyUnicode_GET_LENGTH(o) > 0;
        if (o == Py_None) return false;
        return to_value(o).truthy();
    }
    static bool is_map(Node o) { return PyDict_Check(o); }
    static bool is_list(Node o) { return PyList_Check(o) || PyTuple_Check(o); }
    static bool is_none(Node o) { return o == Py_None; }
    bool is_text(Node o, std::string_view* text) const {
        if (!PyUnicode_Check(o)) return false;
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(o, &size)) {
            *text = std::string_view(data, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
            scratch = to_value(o).as_text();
            *text = scratch;
        }
        return true;
    }
    static bool is_empty_text_or_map(Node o) {
        return (PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) == 0) ||
               (PyDict_Check(o) && PyDict_GET_SIZE(o) == 0);
    }
    // The first text key equal to `key`, as Mapping::find compares them.
    Node find(Node map, graph_walk::GraphKey key) const {
        if (exact_keys) {
            PyObject* v = PyDict_GetItemWithError(map, key_object(key));
            if (v == nullptr && PyErr_Occurred()) throw nb::python_error();
            return v;
        }
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        while (PyDict_Next(map, &pos, &k, &v)) {
            if (PyUnicode_Check(k) && PyUnicode_CompareWithASCIIString(k, graph_walk::key_text(key)) == 0) {
                return v;
            }
        }
        return nullptr;
    }
    // The walks' keys as interned str objects, made once (their hashes are cached with them).
    static PyObject* key_object(graph_walk::GraphKey key) {
        static const std::array<PyObject*, 3> keys = [] {
            std::array<PyObject*, 3> out{};
            for (auto k : {graph_walk::GraphKey::Type, graph_walk::GraphKey::Node,
                           graph_walk::GraphKey::Children}) {
                PyObject* text = PyUnicode_InternFromString(graph_walk::key_text(k));
                if (text == nullptr) throw nb::python_error();
                out[static_cast<std::size_t>(k)] = text;
            }
            return out;
        }();
        return keys[static_cast<std::size_t>(key)];
    }
    static std::size_t size(Node list) {
        return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list));
    }
    static Node item(Node list, std::size_t i) {
        return PySequence_Fast_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    }
    static std::string type_name(Node o) { return py_type_name(to_value(o)); }
    static Value name(Node o) { return to_value(o); }
};

}  // namespace

std::optional<PreparedGraph> prepare_graph(nb::handle graph) {
    PreparedGraph out;
    PyNodes nodes;
    if (!write_json(graph.ptr(), out.json, nodes.exact_keys)) return std::nullopt;
    out.truthy = nodes.truthy(graph.ptr());
    // The depth first: where both walks refuse a graph, the depth's error is the one raised.
    try {
        out.depth = graph_walk::tree_depth(nodes, graph.ptr());
        out.names = GraphNames{graph_walk::names(nodes, graph.ptr(), "function"),
                               graph_walk::names(nodes, graph.ptr(), "feature")};
    } catch (const Error&) {
        out.analysis_error = std::current_exception();
    }
    return out;
}

}  // namespace plintrove::py
