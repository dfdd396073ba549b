#include "plintrove/stats/deflated_sharpe.h"

#include <cmath>
#include <limits>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/stats/normal_distribution.h"

namespace plintrove {

namespace {

// The variance factor of the Sharpe estimator under non-normal returns.
double sharpe_variance_factor(double sr, double skew, double kurtosis) {
    if (!std::isfinite(skew) || !std::isfinite(kurtosis)) {
        throw ValueError("skew and kurtosis must be finite");
    }
    if (kurtosis < 1.0 + skew * skew) {
        throw ValueError("kurtosis must be at least 1 + skew^2 (plain kurtosis, 3 for normal "
                         "returns, not excess kurtosis); got skew=" +
                         std::to_string(skew) + " kurtosis=" + std::to_string(kurtosis));
    }
    // Positive for every admissible (g3, g4): it is the variance of a quadratic in the
    // standardised return.
    return 1.0 - skew * sr + (kurtosis - 1.0) / 4.0 * sr * sr;
}

void require_finite(double v, const char* name) {
    if (!std::isfinite(v)) throw ValueError(std::string(name) + " must be finite");
}

}  // namespace

double probabilistic_sharpe(double sr, double benchmark, double observations, double skew,
                            double kurtosis) {
    require_finite(sr, "sharpe");
    require_finite(benchmark, "benchmark sharpe");
    if (!(observations > 1.0) || !std::isfinite(observations)) {
        throw ValueError("observations must be a finite number greater than 1");
    }
    const double factor = sharpe_variance_factor(sr, skew, kurtosis);
    return normal_cdf((sr - benchmark) * std::sqrt(observations - 1.0) / std::sqrt(factor));
}

double expected_max_z(double n_trials) {
    if (!std::isfinite(n_trials) || n_trials < 1.0) {
        throw ValueError("number of trials must be a finite number >= 1");
    }
    if (n_trials == 1.0) return 0.0;
    // -Phi^-1(1/N) rather than Phi^-1(1 - 1/N): 1 - 1/N rounds to 1 for huge N.
    const double z =
        (1.0 - kEulerGamma) * -normal_ppf(1.0 / n_trials) +
        kEulerGamma * -normal_ppf(1.0 / (n_trials * std::exp(1.0)));
    // Just above one trial the approximation dips below zero; the maximum of one draw
    // has expectation 0 and more draws cannot lower it.
    return z > 0.0 ? z : 0.0;
}

double expected_max_sharpe(double n_trials, double variance) {
    if (!std::isfinite(variance) || variance < 0.0) {
        throw ValueError("sharpe variance must be a finite number >= 0");
    }
    return std::sqrt(variance) * expected_max_z(n_trials);
}

double min_track_record_length(double sr, double benchmark, double skew, double kurtosis,
                               double confidence) {
    require_finite(sr, "sharpe");
    require_finite(benchmark, "benchmark sharpe");
    if (!(confidence > 0.0 && confidence < 1.0)) {
        throw ValueError("confidence must be between 0 and 1");
    }
    const double factor = sharpe_variance_factor(sr, skew, kurtosis);
    if (sr <= benchmark) return std::numeric_limits<double>::infinity();
    const double z = normal_ppf(confidence) / (sr - benchmark);
    return 1.0 + factor * z * z;
}

double min_backtest_length_years(double n_trials, double target_sharpe_annual) {
    require_finite(target_sharpe_annual, "target sharpe");
    if (target_sharpe_annual <= 0.0) return std::numeric_limits<double>::infinity();
    const double ratio = expected_max_z(n_trials) / target_sharpe_annual;
    return ratio * ratio;
}

Deflation deflate_sharpe(const DeflationInputs& in) {
    if (!(in.periods_per_year > 0.0) || !std::isfinite(in.periods_per_year)) {
        throw ValueError("periods_per_year must be a finite number > 0");
    }
    const double root_p = std::sqrt(in.periods_per_year);
    const double sr = in.sharpe_annual / root_p;
    Deflation out;
    out.psr_zero = probabilistic_sharpe(sr, 0.0, in.observations, in.skew, in.kurtosis);
    out.expected_max_z = expected_max_z(in.n_trials);
    out.sr0_annual = expected_max_sharpe(in.n_trials, in.variance_annual);
    const double sr0 = out.sr0_annual / root_p;
    const double factor = sharpe_variance_factor(sr, in.skew, in.kurtosis);
    out.z = (sr - sr0) * std::sqrt(in.observations - 1.0) / std::sqrt(factor);
    out.dsr = normal_cdf(out.z);
    out.p_value = normal_cdf(-out.z);
    out.passes = out.dsr >= in.confidence;
    out.min_track_record_length =
        min_track_record_length(sr, sr0, in.skew, in.kurtosis, in.confidence);
    return out;
}

}  // namespace plintrove
