#pragma once
// An expression graph read in place from the host's objects: one walk writes its JSON text,
// and the library's graph walks read its depth and names, with no library value of it built.

#include <optional>
#include <vector>

#include "convert.h"
#include "plintrove/core/graph_analysis.h"

namespace plintrove::py {

// The names of a prepared graph as the host's own objects, one for each of its names and in
// their order, held so that host code run by later conversions cannot free them.
struct GraphNameObjects {
    std::vector<nb::object> functions;
    std::vector<nb::object> features;
};

// Raises what to_value(graph) raises, at the same object. A graph whose JSON text would not
// decode back to it (a key that is not a plain str, a lone surrogate) comes back absent, so
// such a graph travels as a value. The objects of its names go to `name_objects`. GIL held.
std::optional<PreparedGraph> prepare_graph(nb::handle graph, GraphNameObjects& name_objects);

}  // namespace plintrove::py
