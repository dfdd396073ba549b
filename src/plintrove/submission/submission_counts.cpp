#include "plintrove/submission/submission_counts.h"

#include <array>
#include <string>
#include <string_view>

#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/evaluation_counts.h"
#include "plintrove/storage/placeholder_list.h"

namespace plintrove {

namespace {

constexpr std::array<std::string_view, 4> kAcceptedStatuses{"signal_found", "signal_useful",
                                                            "strategy_found", "strategy_useful"};
constexpr std::array<std::string_view, 8> kRejectedStatuses{
    "signal_is_rejected",   "signal_not_useful",   "signal_os_failed",
    "signal_useful_transition_failed", "strategy_is_rejected", "strategy_not_useful",
    "strategy_os_failed",   "strategy_useful_transition_failed"};

std::int64_t count_both(SearchTracker& t, std::string_view signal_table,
                        std::string_view strategy_table, const std::string& clause,
                        const Params& params) {
    return count_where(t, signal_table, clause, params) +
           count_where(t, strategy_table, clause, params);
}

// "status IN (?, ...)" over `statuses`, then the era condition; parameters in that order.
template <std::size_t N>
std::int64_t count_statuses(SearchTracker& t, const std::array<std::string_view, N>& statuses,
                            std::optional<std::int64_t> era_id) {
    std::string clause = "status IN (" + placeholder_list(N, ", ") + ")";
    Params params(statuses.begin(), statuses.end());
    if (era_id) {
        clause += " AND era_id=?";
        params.emplace_back(*era_id);
    }
    return count_both(t, "signal_submission_status", "strategy_submission_status", clause,
                      params);
}

}  // namespace

SubmissionCounts get_submission_counts(SearchTracker& t, std::optional<std::int64_t> era_id,
                                       std::int64_t discarded_count) {
    OperationScope operation(t);
    std::string era_clause = era_id ? "era_id=?" : "";
    Params era_params;
    if (era_id) era_params.emplace_back(*era_id);

    SubmissionCounts counts;
    counts.queued = count_both(t, "signal_submission_queue", "strategy_submission_queue",
                               era_clause, era_params);
    counts.pending =
        count_both(t, "signal_submission_status", "strategy_submission_status",
                   era_id ? "finalized_at IS NULL AND era_id=?" : "finalized_at IS NULL",
                   era_params);
    counts.accepted = count_statuses(t, kAcceptedStatuses, era_id);
    counts.rejected = count_statuses(t, kRejectedStatuses, era_id);
    counts.retrying = count_both(t, "signal_submission_retry", "strategy_submission_retry",
                                 era_clause, era_params);
    counts.discarded = discarded_count;
    counts.total = counts.queued + counts.pending + counts.accepted + counts.rejected +
                   counts.retrying;
    return counts;
}

}  // namespace plintrove
