#pragma once
// Dropping the work of other eras when the search moves to a new one.

#include <cstdint>
#include <optional>

#include "plintrove/core/search_tracker.h"
#include "plintrove/maintenance/deletion_progress.h"

namespace plintrove {

// Queue and retry rows stay for `new_era_id` only; attempts, statuses and evaluations
// (with their usage rows) stay for it and `previous_era_id`. Emptied tables restart their
// keys at 1. Runs in the connection's implicit transaction and commits at the end; an
// error leaves the statements before it pending on the connection. `progress` hears of
// every chunk of evaluations deleted.
void handle_era_transition(SearchTracker& tracker, std::int64_t new_era_id,
                           std::optional<std::int64_t> previous_era_id = std::nullopt,
                           const DeletionProgressFn& progress = {});

}  // namespace plintrove
