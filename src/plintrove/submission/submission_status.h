#pragma once
// Submission status: applying polled verdicts until a terminal status, and reading the
// status rows of both types back as one set.

#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/submission/eval_server_metrics.h"
#include "plintrove/value/value.h"

namespace plintrove {

// The optional parts of a polled verdict. None never erases a stored value.
// metrics.strategy_signal_pool also goes onto a strategy's status row.
struct SubmissionStatusUpdate {
    Value is_stats_json;
    Value payment_json;
    Value rejection_reason;
    Value payment_usdc;  // stored as float(payment_usdc)
    Value useful_flag;   // stored as 1 or 0 by truth value
    EvalServerMetrics metrics;
};

// Applies `status` to the row of `submission_id` unless that row's status is already
// terminal; a terminal `status` finalizes the row. Also writes the server's metrics onto
// the evaluation row. Commits once, whether or not a row changed; returns whether one did.
bool update_submission_status(SearchTracker& t, const Value& submission_id, const Value& status,
                              const SubmissionStatusUpdate& update = {});

// The rows not yet finalized, oldest submission first.
std::vector<PendingSubmission> get_pending_submissions(SearchTracker& t);

// The newest status row of the simulation as a mapping (with "last_status" repeating
// "status"), or None.
Value get_submission_for_sim(SearchTracker& t, const Value& sim_id);

}  // namespace plintrove
