#pragma once
// The depth and name walks of an expression graph, written once for every representation of
// it: library Values, or the host's own objects read in place (the binding), so both accept,
// refuse and report exactly alike. All walks are iterative, so a graph of any depth cannot
// exhaust the stack.
//
// A Nodes type provides, for its `Node` handle (a pointer, null never passed in):
//   bool truthy(Node); bool is_map(Node); bool is_list(Node); bool is_none(Node);
//   bool is_text(Node, std::string_view* text);  the text of a text node
//   bool is_empty_text_or_map(Node);
//   Node find(Node map, GraphKey key);            the value of the key's text, or null
//   std::size_t size(Node list); Node item(Node list, std::size_t i);
//   std::string type_name(Node);                  Python's name for the node's type

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plintrove/core/errors.h"

namespace plintrove::graph_walk {

// The keys the walks read from a node.
enum class GraphKey { Type, Node, Children };
constexpr const char* key_text(GraphKey key) {
    return key == GraphKey::Type ? "type" : key == GraphKey::Node ? "node" : "children";
}

// A true node that is not a mapping has no `.get`; the host would fail there too.
template <typename Nodes, typename Node>
void require_mapping(const Nodes& nodes, Node node) {
    if (!nodes.is_map(node)) {
        throw TypeError(std::string("expression graph nodes must be dicts, got ") +
                        nodes.type_name(node));
    }
}

template <typename Nodes, typename Node>
std::string children_error(const Nodes& nodes, Node children) {
    return std::string("expression graph children must be a list, got ") +
           nodes.type_name(children);
}

// What a walk reads. The depth walk takes any false `children` (missing, None, empty) for a
// leaf and needs a true one to be a list, as iterating anything else would fail on its
// items. The name walk iterates `children` without a truth test: a missing key, None, an
// empty list, text or mapping yields nothing, and numbers are not iterable at all. Read in
// one walk, both are taken as their own walks would, and where both refuse a graph the
// depth's refusal is the one raised.
enum class Reading { Depth, Names, DepthAndNames };

// The depth of the graph, and its names in walk order: `sink_of(type)` gives for a node whose
// "type" is text where its name goes (a pointer; null for nowhere), and `take(sink, name)`
// gets each true name of such a node. A false child adds nothing, so the depth is the
// deepest level of a true node.
template <Reading kReading, typename Nodes, typename Node, typename SinkOf, typename Take>
std::int64_t walk(const Nodes& nodes, Node graph, SinkOf sink_of, Take take) {
    constexpr bool kNames = kReading != Reading::Depth;
    if (!nodes.truthy(graph)) return 0;
    std::int64_t depth = 0;
    std::string names_refusal;  // met by the names, raised when the depth refuses nothing
    std::vector<std::pair<Node, std::int64_t>> stack;
    stack.reserve(16);
    stack.emplace_back(graph, 1);
    while (!stack.empty()) {
        auto [node, level] = stack.back();
        stack.pop_back();
        depth = std::max(depth, level);
        require_mapping(nodes, node);
        if (kNames && names_refusal.empty()) {
            Node gtype = nodes.find(node, GraphKey::Type);
            std::string_view t;
            if (gtype != nullptr && nodes.is_text(gtype, &t)) {
                if (auto* sink = sink_of(t)) {
                    Node name = nodes.find(node, GraphKey::Node);
                    if (name != nullptr && nodes.truthy(name)) take(sink, name);
                }
            }
        }
        Node children = nodes.find(node, GraphKey::Children);
        if (children == nullptr || nodes.is_none(children)) continue;
        if (!nodes.is_list(children)) {
            if (nodes.is_empty_text_or_map(children)) continue;
            // Only a false number is left to the depth as a leaf.
            if (kReading == Reading::Names || nodes.truthy(children)) {
                throw TypeError(children_error(nodes, children));
            }
            if (kNames && names_refusal.empty()) names_refusal = children_error(nodes, children);
            continue;
        }
        // Reversed, so children are visited (and fail) in list order.
        for (std::size_t i = nodes.size(children); i-- > 0;) {
            Node child = nodes.item(children, i);
            if (nodes.truthy(child)) stack.emplace_back(child, level + 1);
        }
    }
    if (!names_refusal.empty()) throw TypeError(names_refusal);
    return depth;
}

template <typename Nodes, typename Node>
std::int64_t tree_depth(const Nodes& nodes, Node graph) {
    return walk<Reading::Depth>(
        nodes, graph, [](std::string_view) -> void* { return nullptr; }, [](void*, Node) {});
}

template <typename Nodes, typename Node, typename SinkOf, typename Take>
void walk_names(const Nodes& nodes, Node graph, SinkOf sink_of, Take take) {
    walk<Reading::Names>(nodes, graph, sink_of, take);
}

template <typename Nodes, typename Node, typename SinkOf, typename Take>
std::int64_t depth_and_names(const Nodes& nodes, Node graph, SinkOf sink_of, Take take) {
    return walk<Reading::DepthAndNames>(nodes, graph, sink_of, take);
}

// The types of function nodes: rotation, filtration, reduction and function nodes.
inline bool is_function_type(std::string_view t) {
    return t == "function" || t == "rotation" || t == "filtration" || t == "reduction";
}

// A sink_of sending function names to `functions` and feature names to `features`.
template <typename Sink>
auto function_or_feature(Sink* functions, Sink* features) {
    return [functions, features](std::string_view t) -> Sink* {
        if (t == "feature") return features;
        return is_function_type(t) ? functions : nullptr;
    };
}

}  // namespace plintrove::graph_walk
