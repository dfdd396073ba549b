#pragma once
// Submission attempts: one row per caller-chosen idempotency key.

#include <cstdint>
#include <optional>
#include <string>

#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Notes that an attempt with `idempotency_key` (stored as its str() text) has started and
// returns its attempt_id. A key already stored returns the first attempt's id and leaves
// that row unchanged, also when several connections record the key at once.
std::optional<std::int64_t> record_submission_attempt_started(
    SearchTracker& t, std::int64_t eval_id, const Value& eval_type, const Value& idempotency_key,
    std::int64_t era_id, const std::optional<std::string>& payload_json,
    const Value& signal_pool_id = Value(), const Value& strategy_pool_id = Value());

}  // namespace plintrove
