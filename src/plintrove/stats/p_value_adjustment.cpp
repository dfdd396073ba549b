#include "plintrove/stats/p_value_adjustment.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "plintrove/core/errors.h"
#include "plintrove/stats/normal_distribution.h"

namespace plintrove {

AdjustmentMethod parse_adjustment_method(std::string_view method) {
    if (method == "bonferroni") return AdjustmentMethod::Bonferroni;
    if (method == "holm") return AdjustmentMethod::Holm;
    if (method == "bhy") return AdjustmentMethod::Bhy;
    throw ValueError("method must be 'holm', 'bonferroni' or 'bhy'");
}

std::vector<double> adjust_p_values(const std::vector<double>& p_values, double n_tests,
                                    AdjustmentMethod method) {
    const std::size_t k = p_values.size();
    if (!std::isfinite(n_tests) || n_tests < static_cast<double>(k) || n_tests < 1.0) {
        throw ValueError("number of tests must be finite and at least the number of p-values");
    }
    for (double p : p_values) {
        if (!(p >= 0.0 && p <= 1.0)) throw ValueError("p-values must be in [0, 1]");
    }
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return p_values[a] < p_values[b]; });
    std::vector<double> adjusted(k);
    switch (method) {
        case AdjustmentMethod::Bonferroni:
            for (std::size_t i = 0; i < k; ++i) adjusted[i] = std::min(1.0, p_values[i] * n_tests);
            break;
        case AdjustmentMethod::Holm: {
            double running = 0.0;  // step-down: adjusted values never decrease with rank
            for (std::size_t rank = 0; rank < k; ++rank) {
                const std::size_t i = order[rank];
                running = std::max(running,
                                   std::min(1.0, (n_tests - static_cast<double>(rank)) * p_values[i]));
                adjusted[i] = running;
            }
            break;
        }
        case AdjustmentMethod::Bhy: {
            // c(m) = sum 1/j; for large m ln(m) + gamma + 1/(2m) is exact to rounding.
            double harmonic = 0.0;
            if (n_tests <= 1e6) {
                const auto m = static_cast<std::int64_t>(std::floor(n_tests));
                for (std::int64_t j = m; j >= 1; --j) harmonic += 1.0 / static_cast<double>(j);
            } else {
                harmonic = std::log(n_tests) + 0.5772156649015329 + 0.5 / n_tests;
            }
            double running = 1.0;  // step-up: adjusted values never increase towards rank 1
            for (std::size_t rank = k; rank-- > 0;) {
                const std::size_t i = order[rank];
                const double value =
                    p_values[i] * n_tests * harmonic / static_cast<double>(rank + 1);
                running = std::min(running, std::min(1.0, value));
                adjusted[i] = running;
            }
            break;
        }
    }
    return adjusted;
}

double sharpe_p_value(double sharpe_annual, double years) {
    if (!std::isfinite(sharpe_annual)) throw ValueError("sharpe must be finite");
    if (!(years > 0.0) || !std::isfinite(years)) throw ValueError("years must be positive");
    return 2.0 * normal_cdf(-std::fabs(sharpe_annual) * std::sqrt(years));
}

double haircut_sharpe(double sharpe_annual, double adjusted_p, double years) {
    if (!(years > 0.0) || !std::isfinite(years)) throw ValueError("years must be positive");
    if (!(adjusted_p >= 0.0 && adjusted_p <= 1.0)) throw ValueError("p-value must be in [0, 1]");
    // Nothing survives an adjusted p of 1: zero, not the -0 that -Phi^-1(0.5) gives.
    const double magnitude = std::max(0.0, -normal_ppf(adjusted_p / 2.0)) / std::sqrt(years);
    return sharpe_annual < 0.0 ? -magnitude : magnitude;
}

}  // namespace plintrove
