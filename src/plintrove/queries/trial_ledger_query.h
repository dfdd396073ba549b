#pragma once
// Reading the trial ledger: one entry per scope, with the statistics the number of trials
// and the spread of their Sharpes imply.

#include <cstdint>
#include <string_view>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/queries/effective_trials.h"
#include "plintrove/value/value.h"

namespace plintrove {

struct TrialLedgerFilter {
    Value era_id;
    Value eval_type;
    Value named_universe;
    Value source;
    Value signal_pool_id;    // keeps signal scopes of this pool only
    Value strategy_pool_id;  // keeps strategy scopes of this pool only
};

// One ledger row as stored.
struct LedgerRow {
    bool strategy = false;
    TrialScope scope;
    TrialTally tally;
    bool rebuilt = false;
    std::int64_t rows_pruned = 0;  // deleted from the scope since its ledger row began
};

// Validates the filter (the messages of the other queries) and reads the matching rows,
// signal scopes first, each kind ordered by era, pool, universe and source.
std::vector<LedgerRow> read_trial_ledger(Connection& conn, const TrialLedgerFilter& filter);

// The trials a ledger row stands for: every trial that produced a result, errored ones
// excepted (their Sharpe is a placeholder and no selection could have picked them).
std::int64_t candidate_trials(const TrialTally& tally);

std::vector<TrialLedgerEntry> get_trial_ledger(SearchTracker& tracker,
                                               const TrialLedgerFilter& filter,
                                               const Value& n_effective, double similarity);

}  // namespace plintrove
