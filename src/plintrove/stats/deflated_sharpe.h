#pragma once
// Sharpe ratios corrected for the shape of returns and for selection among many trials.
// Every function works in per-period units: sr = SR_annual / sqrt(P), V = V_annual / P.
// Skew is g3 and kurtosis g4 is the plain one (3 for normal returns).

#include <cstdint>

namespace plintrove {

inline constexpr double kEulerGamma = 0.5772156649015329;

// Probability that the true Sharpe exceeds `benchmark` given an observed `sr` over
// `observations` periods. ValueError for observations <= 1, for g4 < 1 + g3^2 (no
// distribution has it; excess kurtosis passed by mistake usually lands here) and for
// non-finite inputs.
double probabilistic_sharpe(double sr, double benchmark, double observations, double skew,
                            double kurtosis);

// Expected maximum of `n_trials` independent standard normal draws, by the extreme-value
// approximation; 0 for one trial and never below 0. ValueError for n_trials < 1 or
// non-finite.
double expected_max_z(double n_trials);

// Expected maximum Sharpe of `n_trials` null trials whose Sharpes vary with `variance`.
double expected_max_sharpe(double n_trials, double variance);

// Observations needed for `sr` to beat `benchmark` at one-sided `confidence`; +inf when
// sr <= benchmark. Same refusals as probabilistic_sharpe.
double min_track_record_length(double sr, double benchmark, double skew, double kurtosis,
                               double confidence);

// Years of data below which the best of `n_trials` null trials is expected to reach an
// annual Sharpe of `target_sharpe_annual` (trials of unit annual variance); +inf when the
// target is not positive.
double min_backtest_length_years(double n_trials, double target_sharpe_annual);

// The whole correction for one observed annual Sharpe, converting to per-period units
// with `periods_per_year`.
struct DeflationInputs {
    double sharpe_annual = 0.0;
    double observations = 0.0;
    double periods_per_year = 252.0;
    double skew = 0.0;
    double kurtosis = 3.0;
    double n_trials = 1.0;
    double variance_annual = 0.0;
    double confidence = 0.95;
};
struct Deflation {
    double psr_zero = 0.0;          // PSR against a zero Sharpe
    double expected_max_z = 0.0;    // of n_trials standard normal draws
    double sr0_annual = 0.0;        // the null benchmark: expected best of the trials
    double dsr = 0.0;               // PSR against sr0
    double z = 0.0;                 // the statistic behind dsr
    double p_value = 0.0;           // 1 - dsr
    bool passes = false;            // dsr >= confidence
    double min_track_record_length = 0.0;  // observations needed to beat sr0
};
Deflation deflate_sharpe(const DeflationInputs& in);

}  // namespace plintrove
