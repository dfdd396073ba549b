#pragma once
// The submission queue: two tables (one per evaluation type) read as one queue, served by
// priority and then by queue_id.

#include <cstdint>
#include <optional>
#include <string>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Inserts an item with priority 0 and commits. Returns the new queue_id (none only when
// the storage reports no key). Validates the type, a non-empty payload, era_id > 0 and the
// resolved own pool id before any write.
std::optional<std::int64_t> enqueue_submission(SearchTracker& t, std::int64_t eval_id,
                                               const Value& eval_type,
                                               const std::optional<std::string>& payload_json,
                                               std::int64_t era_id,
                                               const Value& signal_pool_id = Value(),
                                               const Value& strategy_pool_id = Value());

// Takes the head item (highest priority, then lowest queue_id) out of the queue; none when
// both tables are empty. An item is handed to exactly one caller, also when several
// connections dequeue at once.
std::optional<SubmissionQueueItem> dequeue_submission(SearchTracker& t);

// Puts an item back with priority 1, ahead of every enqueued item. The payload and era are
// not checked.
std::optional<std::int64_t> requeue_submission(SearchTracker& t, std::int64_t eval_id,
                                               const Value& eval_type,
                                               const std::optional<std::string>& payload_json,
                                               std::int64_t era_id,
                                               const Value& signal_pool_id = Value(),
                                               const Value& strategy_pool_id = Value());

// Sets the evaluation's submitted flag; ValueError when the evaluation does not exist.
void mark_submitted(SearchTracker& t, std::int64_t eval_id,
                    const Value& eval_type = Value("signal"));

}  // namespace plintrove
