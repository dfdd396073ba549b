#pragma once
// Recording a submission the evaluation server has taken, as a status row.

#include <cstdint>
#include <optional>

#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The arguments of both recording operations, with their defaults. era_id, submission_id
// and sim_id are stored as given; the era id of a new sims parent row goes through int().
struct SubmissionRecordArgs {
    std::int64_t eval_id = 0;
    Value eval_type;
    Value submission_id;
    Value era_id;
    Value sim_id;  // none or empty: the synthetic id search-<type>-<eval_id>
    Value initial_status = Value("pending");
    Value signal_pool_id;
    Value strategy_pool_id;
    Value strategy_signal_pool;
};

// Inserts a status row (creating its sims parent first when missing) and commits; returns
// the new status_id. The sims row is written before the pool and identity checks and is not
// undone when they fail.
std::optional<std::int64_t> record_submission(SearchTracker& t, const SubmissionRecordArgs& args);

// At most once per simulation id: inside one BEGIN IMMEDIATE transaction (unless the caller
// already holds one, which the writes then join), refuses a sim id already present in either
// status table, requires the evaluation row, inserts the status row and sets the evaluation's
// submitted flag. On an error it rolls back only a transaction it began itself.
std::optional<std::int64_t> record_submission_once_and_mark_submitted(
    SearchTracker& t, const SubmissionRecordArgs& args);

}  // namespace plintrove
