#pragma once
// Reading an expression graph: depth, function and feature names, rotation families.
// All walks are iterative, so a graph of any depth cannot exhaust the stack.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "plintrove/value/value.h"

namespace plintrove {

std::int64_t compute_tree_depth(const Value& graph);
// node_type "function" (rotation, filtration, reduction and function nodes) or "feature".
List extract_names(const Value& graph, std::string_view node_type);

// A graph's function and feature names, extracted once for every reader of them.
struct GraphNames {
    List functions;
    List features;
};
// Both lists, or none where extract_names raises for the graph (both walks refuse the same
// graphs, so one list never comes without the other).
std::optional<GraphNames> extract_graph_names(const Value& graph);

List collect_rotation_families(const List& functions, const Value& function_families);

}  // namespace plintrove
