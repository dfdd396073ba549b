#pragma once
// Reading an expression graph: depth, function and feature names, rotation families.
// All walks are iterative, so a graph of any depth cannot exhaust the stack.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
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

// A graph read once where it arrives, with no value of it kept: its JSON text as json.dumps
// writes it, its truth, and its analysis, or the error the analysis met (raised where the
// analysis would run).
struct PreparedGraph {
    std::string json;
    bool truthy = false;
    std::int64_t depth = 0;
    std::optional<GraphNames> names;  // absent exactly when `analysis_error` is set
    std::exception_ptr analysis_error;
};

// The depth and names of a graph: its preparation's when it has one, else computed from the
// value. Raises the analysis's error either way.
class GraphAnalysis {
public:
    GraphAnalysis(const Value& graph, const PreparedGraph* prepared);
    GraphAnalysis(const GraphAnalysis&) = delete;
    GraphAnalysis& operator=(const GraphAnalysis&) = delete;

    std::int64_t depth() const { return depth_; }
    const GraphNames& names() const { return *names_; }

private:
    std::int64_t depth_ = 0;
    std::optional<GraphNames> extracted_;
    const GraphNames* names_ = nullptr;
};

List collect_rotation_families(const List& functions, const Value& function_families);
// The same families in place: pointers into `function_families`, which must outlive them.
std::vector<const Value*> rotation_families_of(const List& functions,
                                               const Value& function_families);
// Adds a function's family to `families` unless an equal one is there already.
void add_rotation_family(std::vector<const Value*>& families, const Value* family);

}  // namespace plintrove
