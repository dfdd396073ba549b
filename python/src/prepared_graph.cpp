#include "prepared_graph.h"

#include <Python.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_text.h"
#include "plintrove/core/graph_walk.h"
#include "plintrove/value/py_repr.h"
#include "str_utf8.h"

namespace plintrove::py {

namespace {

// The host's objects seen through the graph walks as to_value would convert them (tuples
// are lists; other numbers are the int or float they convert to). The graph is held by the
// caller and written whole to its text before any walk, so every conversion here succeeds.
struct PyNodes {
    using Node = PyObject*;

    const std::vector<GraphMembers>& members;
    mutable std::size_t at = 0;  // where the last dict was found

    static bool truthy(Node o) { return converted_truthy(o); }
    static bool is_map(Node o) { return PyDict_Check(o); }
    static bool is_list(Node o) { return PyList_Check(o) || PyTuple_Check(o); }
    static bool is_none(Node o) { return o == Py_None; }
    // Texts hold no lone surrogates here: such a graph travels as a value.
    static bool is_text(Node o, std::string_view* text) {
        if (!PyUnicode_Check(o)) return false;
        Py_ssize_t size = 0;
        const char* data = str_utf8(o, &size);
        if (data == nullptr) throw nb::python_error();
        *text = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }
    static bool is_empty_text_or_map(Node o) {
        return (PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) == 0) ||
               (PyDict_Check(o) && PyDict_GET_SIZE(o) == 0);
    }
    // The members kept while the text was written, dicts in the order written: the walk
    // meets them in that order too (it skips some), so each is looked for from the last found.
    // Every key is an exact str here, so a member is kept exactly when the dict has it; the
    // dict's own lookup is the fallback.
    Node find(Node map, graph_walk::GraphKey key) const {
        for (; at < members.size(); ++at) {
            if (members[at].dict == map) return members[at].members[static_cast<std::size_t>(key)];
        }
        at = 0;
        PyObject* v = PyDict_GetItemWithError(map, key_object(key));
        if (v == nullptr && PyErr_Occurred()) throw nb::python_error();
        return v;
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
};

// A name list being collected: the names as the library holds them, and their objects.
struct NameSink {
    List& values;
    std::vector<nb::object>& objects;
};

}  // namespace

std::optional<PreparedGraph> prepare_graph(nb::handle graph, GraphNameObjects& name_objects) {
    PreparedGraph out;
    std::vector<GraphMembers> members;
    members.reserve(16);
    if (!write_json_text(graph, out.json, &members).decodes_back()) return std::nullopt;
    PyNodes nodes{members};
    out.truthy = nodes.truthy(graph.ptr());
    try {
        // Room for the names of a typical graph, so their lists seldom grow.
        GraphNames names;
        names.functions.reserve(8);
        names.features.reserve(8);
        name_objects.functions.reserve(8);
        name_objects.features.reserve(8);
        NameSink functions{names.functions, name_objects.functions};
        NameSink features{names.features, name_objects.features};
        out.depth = graph_walk::depth_and_names(
            nodes, graph.ptr(), graph_walk::function_or_feature(&functions, &features),
            [](NameSink* sink, PyObject* name) {
                sink->objects.push_back(nb::borrow(name));
                std::string_view text;
                sink->values.push_back(PyNodes::is_text(name, &text) ? Value(text)
                                                                     : to_value(name));
            });
        out.names = std::move(names);
    } catch (const Error&) {
        out.analysis_error = std::current_exception();
    }
    return out;
}

}  // namespace plintrove::py
