#pragma once
// The best candidates of a search with their p-values corrected for every trial the
// ledger counted in the scopes searched, and the Sharpe that survives the correction.

#include <cstdint>
#include <optional>
#include <vector>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/trial_ledger_query.h"
#include "plintrove/value/value.h"

namespace plintrove {

struct MultipleTestingArgs {
    Value method = Value("holm");
    double alpha = 0.05;
    std::int64_t top = 20;
    TrialLedgerFilter filter;
    // Override the stored custom statistics of every candidate.
    std::optional<double> observations;
    std::optional<double> periods_per_year;
};

// Candidates by descending Sharpe (signals before strategies at equal Sharpe). The family
// is every non-errored trial of the matching ledger scopes; candidates without a number
// of observations get the status "missing_observations" and no p-values.
std::vector<MultipleTestingCandidate> get_multiple_testing_summary(SearchTracker& tracker,
                                                                   const MultipleTestingArgs& args);

}  // namespace plintrove
