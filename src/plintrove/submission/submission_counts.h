#pragma once
// Counts of the submission pipeline: queued, pending, accepted, rejected and retrying.

#include <cstdint>
#include <optional>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"

namespace plintrove {

// Sums each count over both types (of one era when given). `discarded` is
// discarded_count as passed and is not part of `total`.
SubmissionCounts get_submission_counts(SearchTracker& t,
                                       std::optional<std::int64_t> era_id = std::nullopt,
                                       std::int64_t discarded_count = 0);

}  // namespace plintrove
