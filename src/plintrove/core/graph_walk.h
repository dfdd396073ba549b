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
#include "plintrove/value/value.h"

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

// The children of a node for the depth walk: false values (missing, None, empty) make a
// leaf; a true value must be a list, as iterating anything else would fail on its items.
template <typename Nodes, typename Node>
Node depth_children(const Nodes& nodes, Node node) {
    Node children = nodes.find(node, GraphKey::Children);
    if (children == nullptr || !nodes.truthy(children)) return nullptr;
    if (!nodes.is_list(children)) {
        throw TypeError(std::string("expression graph children must be a list, got ") +
                        nodes.type_name(children));
    }
    return children;
}

// The children of a node for the name walk, which iterates `children` without a truth
// test first: a missing key, None (missing means none, as for the depth), an empty list,
// text or mapping yields nothing; numbers are not iterable at all.
template <typename Nodes, typename Node>
Node name_children(const Nodes& nodes, Node node) {
    Node children = nodes.find(node, GraphKey::Children);
    if (children == nullptr || nodes.is_none(children)) return nullptr;
    if (nodes.is_list(children)) return children;
    if (nodes.is_empty_text_or_map(children)) return nullptr;
    throw TypeError(std::string("expression graph children must be a list, got ") +
                    nodes.type_name(children));
}

template <typename Nodes, typename Node>
std::int64_t tree_depth(const Nodes& nodes, Node graph) {
    if (!nodes.truthy(graph)) return 0;
    // A false child adds nothing, so the depth is the deepest level of a true node.
    std::int64_t depth = 0;
    std::vector<std::pair<Node, std::int64_t>> stack;
    stack.reserve(16);
    stack.emplace_back(graph, 1);
    while (!stack.empty()) {
        auto [node, level] = stack.back();
        stack.pop_back();
        depth = std::max(depth, level);
        require_mapping(nodes, node);
        Node children = depth_children(nodes, node);
        if (children == nullptr) continue;
        // Reversed, so children are visited (and fail) in list order.
        for (std::size_t i = nodes.size(children); i-- > 0;) {
            Node child = nodes.item(children, i);
            if (nodes.truthy(child)) stack.emplace_back(child, level + 1);
        }
    }
    return depth;
}

// The types of function nodes: rotation, filtration, reduction and function nodes.
inline bool is_function_type(std::string_view t) {
    return t == "function" || t == "rotation" || t == "filtration" || t == "reduction";
}

// The names of a graph's nodes, in walk order: `sink_of(type)` gives for a node whose "type"
// is text where its name goes (a pointer; null for nowhere), and `take(sink, name)` gets each
// true name of such a node. One walk thus collects several lists, each as its own walk would.
template <typename Nodes, typename Node, typename SinkOf, typename Take>
void walk_names(const Nodes& nodes, Node graph, SinkOf sink_of, Take take) {
    if (!nodes.truthy(graph)) return;
    std::vector<Node> stack;
    stack.reserve(16);
    stack.push_back(graph);
    while (!stack.empty()) {
        Node node = stack.back();
        stack.pop_back();
        require_mapping(nodes, node);
        Node gtype = nodes.find(node, GraphKey::Type);
        std::string_view t;
        if (gtype != nullptr && nodes.is_text(gtype, &t)) {
            if (auto* sink = sink_of(t)) {
                Node name = nodes.find(node, GraphKey::Node);
                if (name != nullptr && nodes.truthy(name)) take(sink, name);
            }
        }
        Node children = name_children(nodes, node);
        if (children == nullptr) continue;
        for (std::size_t i = nodes.size(children); i-- > 0;) {
            Node child = nodes.item(children, i);
            if (nodes.truthy(child)) stack.push_back(child);
        }
    }
}

// A graph's function names (rotation, filtration, reduction and function nodes) to
// `functions` and its feature names to `features`, in one walk.
template <typename Nodes, typename Node, typename Sink, typename Take>
void function_and_feature_names(const Nodes& nodes, Node graph, Sink* functions,
                                Sink* features, Take take) {
    walk_names(
        nodes, graph,
        [&](std::string_view t) -> Sink* {
            if (t == "feature") return features;
            return is_function_type(t) ? functions : nullptr;
        },
        take);
}

}  // namespace plintrove::graph_walk
