#pragma once
// Evaluations and passes per hour over a recent window.

#include <cstdint>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"

namespace plintrove {

// Counts the evaluations stamped within the last `window_minutes` minutes of wall-clock time.
VelocityStats get_evaluation_velocity(SearchTracker& tracker, std::int64_t window_minutes = 60,
                                      const Value& eval_type = Value());

}  // namespace plintrove
