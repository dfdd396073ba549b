#pragma once
// The entries of a host family table that one graph's names use.

#include <vector>

#include "convert.h"

namespace plintrove::py {

// A family table is consulted only for the names of the graph, so only their entries are
// converted: a host passing its whole catalogue with every evaluation then pays for a
// handful of lookups, not for the catalogue. Anything but a non-empty plain dict (a
// subclass may answer lookups its own way), or a graph the analysis refuses (`names` is
// null then), is converted whole and meets the library's own checks. `name_objects`, when
// given, are the graph's own objects of `names`: a plain str among them is looked up as it
// is, its hash already known. GIL held.
Value families_for(nb::handle families, const List* names,
                   const std::vector<nb::object>* name_objects);

}  // namespace plintrove::py
