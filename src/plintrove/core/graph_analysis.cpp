#include "plintrove/core/graph_analysis.h"

#include <algorithm>
#include <string>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/core/graph_walk.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

// Library values seen through the graph walks.
struct ValueNodes {
    using Node = const Value*;
    static bool truthy(Node v) { return v->truthy(); }
    static bool is_map(Node v) { return v->is_map(); }
    static bool is_list(Node v) { return v->is_list(); }
    static bool is_none(Node v) { return v->is_none(); }
    static bool is_text(Node v, std::string_view* text) {
        if (!v->is_text()) return false;
        *text = v->as_text();
        return true;
    }
    static bool is_empty_text_or_map(Node v) {
        return (v->is_text() && v->as_text().empty()) || (v->is_map() && v->as_map().empty());
    }
    static Node find(Node map, graph_walk::GraphKey key) {
        return map->as_map().find(graph_walk::key_text(key));
    }
    static std::size_t size(Node list) { return list->as_list().size(); }
    static Node item(Node list, std::size_t i) { return &list->as_list()[i]; }
    static std::string type_name(Node v) { return py_type_name(*v); }
};

void take_name(List* list, const Value* name) { list->push_back(*name); }

}  // namespace

std::int64_t compute_tree_depth(const Value& graph) {
    return graph_walk::tree_depth(ValueNodes{}, &graph);
}

List extract_names(const Value& graph, std::string_view node_type) {
    List out;
    const bool functions = node_type == "function";
    graph_walk::walk_names(
        ValueNodes{}, &graph,
        [&](std::string_view t) -> List* {
            return t == node_type || (functions && graph_walk::is_function_type(t)) ? &out
                                                                                    : nullptr;
        },
        take_name);
    return out;
}

GraphAnalysis::GraphAnalysis(const Value& graph, const PreparedGraph* prepared) {
    if (prepared != nullptr) {
        if (prepared->analysis_error) std::rethrow_exception(prepared->analysis_error);
        depth_ = prepared->depth;
        names_ = &*prepared->names;
        return;
    }
    GraphNames& names = extracted_.emplace();
    depth_ = graph_walk::depth_and_names(
        ValueNodes{}, &graph, graph_walk::function_or_feature(&names.functions, &names.features),
        take_name);
    names_ = &names;
}

std::optional<GraphNames> extract_graph_names(const Value& graph) {
    try {
        GraphNames names;
        graph_walk::walk_names(
            ValueNodes{}, &graph,
            graph_walk::function_or_feature(&names.functions, &names.features), take_name);
        return names;
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::vector<const Value*> rotation_families_of(const List& functions,
                                               const Value& function_families) {
    std::vector<const Value*> families;
    if (!function_families.truthy()) return families;
    if (!function_families.is_map()) {
        throw TypeError(std::string("function_families must be a dict, got ") +
                        py_type_name(function_families));
    }
    const Mapping& table = function_families.as_map();
    for (const Value& name : functions) {
        const Value* entry = table.find(name);
        if (entry == nullptr) continue;
        if (!entry->is_list() || entry->as_list().empty()) {
            throw ValueError("function_families[" + py_repr(name) +
                             "] must be a (family, subfamily) sequence");
        }
        add_rotation_family(families, &entry->as_list().front());
    }
    return families;
}

void add_rotation_family(std::vector<const Value*>& families, const Value* family) {
    if (std::none_of(families.begin(), families.end(),
                     [family](const Value* seen) { return *seen == *family; })) {
        families.push_back(family);
    }
}

List collect_rotation_families(const List& functions, const Value& function_families) {
    List families;
    for (const Value* family : rotation_families_of(functions, function_families)) {
        families.push_back(*family);
    }
    return families;
}

}  // namespace plintrove
