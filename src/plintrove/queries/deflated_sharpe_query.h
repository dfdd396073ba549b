#pragma once
// One evaluation's Sharpe deflated by the trials of its scope.

#include <cstdint>
#include <optional>

#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Arguments left none fall back to the evaluation's stored custom statistics, then to the
// defaults (normal returns, 252 periods per year, the ledger's trials and variance), each
// fallback to a default listed in `assumptions`.
struct DeflatedSharpeArgs {
    std::int64_t eval_id = 0;
    Value eval_type;
    std::optional<double> observations;
    std::optional<double> skew;
    std::optional<double> kurtosis;
    std::optional<double> periods_per_year;
    std::optional<double> n_trials;
    std::optional<double> sharpe_variance;
    Value n_effective = Value("raw");
    double confidence = 0.95;
};

// ValueError for an unknown eval_id, a bad eval_type, method or confidence, and for the
// inputs the statistics refuse (observations <= 1, kurtosis below 1 + skew^2, ...).
DeflatedSharpe get_deflated_sharpe(SearchTracker& tracker, const DeflatedSharpeArgs& args);

// The host's statistics of an evaluation that the corrections read: observations, skew,
// kurtosis, periods per year; each none unless stored as a number.
struct CustomReturnStats {
    std::optional<double> n_obs, skew, kurtosis, periods_per_year;
};
CustomReturnStats custom_return_stats(const Value& custom_stats_json);

}  // namespace plintrove
