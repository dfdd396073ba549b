#pragma once
// The shape of an expression graph with its constants removed: node kinds, the names of
// function and feature nodes, and the tree structure. Two candidates that differ only in
// a window length or a threshold have the same skeleton.

#include <string>

#include "plintrove/value/value.h"

namespace plintrove {

// A text that is equal for two graphs exactly when their skeletons are.
std::string graph_skeleton(const Value& graph);

}  // namespace plintrove
