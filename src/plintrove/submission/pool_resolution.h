#pragma once
// Which pool owns a submitted evaluation, and for strategies which pool its signals come
// from: an explicit argument wins, then the payload's top-level members, then the stored
// evaluation row. These helpers never commit; the calling operation owns the transaction.
// Every type other than "signal" is treated as a strategy; callers validate the type.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/storage/connection.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The first of `keys` present with a non-null value in the payload's top-level JSON
// object; None when the text is not well-formed JSON or not an object.
Value payload_field_from_json(std::string_view payload_json,
                              const std::vector<std::string>& keys);

Value submission_own_pool_id_from_payload(std::string_view payload_json,
                                          const Value& eval_type);
// A second name for submission_own_pool_id_from_payload.
Value submission_pool_id_from_payload(std::string_view payload_json, const Value& eval_type);
Value strategy_signal_pool_from_payload(std::string_view payload_json);

// The pool columns stored on the evaluation row; None when the row is missing.
Value evaluation_own_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type);
Value evaluation_signal_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type);

// The explicit argument matching the type, else the payload (when non-empty), else the row.
Value submission_own_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type,
                             const std::optional<std::string>& payload_json,
                             const Value& signal_pool_id, const Value& strategy_pool_id);
// submission_own_pool_id as text for a submission row; ValueError naming the type's pool
// column when it is missing or not a usable id.
std::string required_submission_own_pool_id(Connection& conn, std::int64_t eval_id,
                                            const Value& eval_type,
                                            const std::optional<std::string>& payload_json,
                                            const Value& signal_pool_id,
                                            const Value& strategy_pool_id);
// The explicit argument, else the payload (when non-empty), else None for a signal and the
// stored strategy_signal_pool for a strategy.
Value submission_strategy_signal_pool(Connection& conn, std::int64_t eval_id,
                                      const Value& eval_type,
                                      const std::optional<std::string>& payload_json,
                                      const Value& strategy_signal_pool);

}  // namespace plintrove
