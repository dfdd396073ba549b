#include "plintrove/core/graph_analysis.h"

#include <algorithm>
#include <string>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

// A true node that is not a mapping has no `.get`; the host would fail there too.
const Mapping& node_mapping(const Value& node) {
    if (!node.is_map()) {
        throw TypeError(std::string("expression graph nodes must be dicts, got ") +
                        py_type_name(node));
    }
    return node.as_map();
}

// The children of a node for the depth walk: false values (missing, None, empty) make a
// leaf; a true value must be a list, as iterating anything else would fail on its items.
const List* depth_children(const Mapping& node) {
    const Value* children = node.find(std::string_view("children"));
    if (children == nullptr || !children->truthy()) return nullptr;
    if (!children->is_list()) {
        throw TypeError(std::string("expression graph children must be a list, got ") +
                        py_type_name(*children));
    }
    return &children->as_list();
}

// The children of a node for the name walk, which iterates `children` without a truth
// test first: a missing key, None (missing means none, as for the depth), an empty list,
// text or mapping yields nothing; numbers are not iterable at all.
const List* name_children(const Mapping& node) {
    const Value* children = node.find(std::string_view("children"));
    if (children == nullptr || children->is_none()) return nullptr;
    if (children->is_list()) return &children->as_list();
    bool empty_iterable = (children->is_text() && children->as_text().empty()) ||
                          (children->is_map() && children->as_map().empty());
    if (empty_iterable) return nullptr;
    throw TypeError(std::string("expression graph children must be a list, got ") +
                    py_type_name(*children));
}

bool is_function_kind(const Value& gtype) {
    if (!gtype.is_text()) return false;
    const std::string& t = gtype.as_text();
    return t == "rotation" || t == "filtration" || t == "reduction";
}

}  // namespace

std::int64_t compute_tree_depth(const Value& graph) {
    if (!graph.truthy()) return 0;
    // A false child adds nothing, so the depth is the deepest level of a true node.
    std::int64_t depth = 0;
    std::vector<std::pair<const Value*, std::int64_t>> stack;
    stack.reserve(16);
    stack.emplace_back(&graph, 1);
    while (!stack.empty()) {
        auto [node, level] = stack.back();
        stack.pop_back();
        depth = std::max(depth, level);
        const List* children = depth_children(node_mapping(*node));
        if (children == nullptr) continue;
        // Reversed, so children are visited (and fail) in list order.
        for (auto it = children->rbegin(); it != children->rend(); ++it) {
            if (it->truthy()) stack.emplace_back(&*it, level + 1);
        }
    }
    return depth;
}

List extract_names(const Value& graph, std::string_view node_type) {
    List names;
    if (!graph.truthy()) return names;
    const bool functions = node_type == "function";
    std::vector<const Value*> stack;
    stack.reserve(16);
    stack.push_back(&graph);
    while (!stack.empty()) {
        const Value* node = stack.back();
        stack.pop_back();
        const Mapping& map = node_mapping(*node);
        const Value* gtype = map.find(std::string_view("type"));
        bool counts = gtype != nullptr &&
                      ((functions && is_function_kind(*gtype)) ||
                       (gtype->is_text() && gtype->as_text() == node_type));
        if (counts) {
            const Value* name = map.find(std::string_view("node"));
            if (name != nullptr && name->truthy()) names.push_back(*name);
        }
        const List* children = name_children(map);
        if (children == nullptr) continue;
        for (auto it = children->rbegin(); it != children->rend(); ++it) {
            if (it->truthy()) stack.push_back(&*it);
        }
    }
    return names;
}

std::optional<GraphNames> extract_graph_names(const Value& graph) {
    try {
        return GraphNames{extract_names(graph, "function"), extract_names(graph, "feature")};
    } catch (const Error&) {
        return std::nullopt;
    }
}

List collect_rotation_families(const List& functions, const Value& function_families) {
    List families;
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
        const Value& family = entry->as_list().front();
        if (std::find(families.begin(), families.end(), family) == families.end()) {
            families.push_back(family);
        }
    }
    return families;
}

}  // namespace plintrove
