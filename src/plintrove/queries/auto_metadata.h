#pragma once
// The metadata derived automatically for a submission of one evaluation.

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"

namespace plintrove {

// The signal evaluation with this id, else the strategy evaluation; ValueError
// "Evaluation with eval_id=<id> not found" when neither table holds it.
AutoMetadata get_auto_metadata(SearchTracker& tracker, const Value& eval_id);

}  // namespace plintrove
