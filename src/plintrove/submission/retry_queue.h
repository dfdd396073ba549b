#pragma once
// The retry queue: rejected submissions waiting to be tried again, oldest first, each at
// most five times (the limit lives in the SQL of dequeue_retryable and get_retry_counts).

#include <cstdint>
#include <optional>
#include <string>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Inserts an item with retry_count 0 and commits; returns the new retry_id.
std::optional<std::int64_t> enqueue_retry(SearchTracker& t, std::int64_t eval_id,
                                          const Value& eval_type,
                                          const std::optional<std::string>& payload_json,
                                          std::int64_t era_id, const Value& rejection_reason,
                                          std::optional<double> retry_after = std::nullopt,
                                          const Value& signal_pool_id = Value(),
                                          const Value& strategy_pool_id = Value());

// Takes out the oldest ready item (retry_count < 5, retry_after passed or none); none when
// there is none. An item is handed to exactly one caller, also when several connections
// dequeue at once.
std::optional<SubmissionRetryItem> dequeue_retryable(SearchTracker& t);

// Replaces every retry row of the evaluation in its type's table with one new row counting
// retry_count + 1, at the back of the queue. `retry_id` is part of the calling convention
// and not used: the rows go by eval_id.
void increment_retry(SearchTracker& t, const Value& retry_id, std::int64_t eval_id,
                     const Value& eval_type, const std::optional<std::string>& payload_json,
                     std::int64_t era_id, const Value& rejection_reason, std::int64_t retry_count,
                     std::optional<double> retry_after = std::nullopt,
                     const Value& signal_pool_id = Value(),
                     const Value& strategy_pool_id = Value());

// Deletes the retry rows of both types (of one era when given); returns how many there were.
std::int64_t clear_retry_queue(SearchTracker& t, std::optional<std::int64_t> era_id = std::nullopt);

RetryCounts get_retry_counts(SearchTracker& t, std::optional<std::int64_t> era_id = std::nullopt);

}  // namespace plintrove
