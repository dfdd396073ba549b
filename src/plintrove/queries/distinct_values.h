#pragma once
// Sorted distinct values of an evaluation column across both evaluation tables.

#include <string_view>

#include "plintrove/core/search_tracker.h"

namespace plintrove {

// `column` is written into the statement as given. NULL comes back as None, where the
// storage's ascending order puts it.
List get_distinct_column(SearchTracker& tracker, std::string_view column);

List get_available_eras(SearchTracker& tracker);
List get_available_named_universes(SearchTracker& tracker);
// Same list as get_available_named_universes.
List get_available_universes(SearchTracker& tracker);

}  // namespace plintrove
