#pragma once
// Family-wise and false-discovery corrections of p-values, and the Sharpe "haircut" they
// imply.

#include <cstdint>
#include <string_view>
#include <vector>

namespace plintrove {

enum class AdjustmentMethod { Bonferroni, Holm, Bhy };

// ValueError naming the accepted methods for anything but "bonferroni", "holm", "bhy".
AdjustmentMethod parse_adjustment_method(std::string_view method);

// Adjusted p-values, in the order of `p_values`, for a family of `n_tests` tests of which
// `p_values` are the smallest (n_tests >= p_values.size()). The tests left out can only
// raise the step-up BHY values, so with a partial family BHY is conservative; Bonferroni
// and Holm are exact.
std::vector<double> adjust_p_values(const std::vector<double>& p_values, double n_tests,
                                    AdjustmentMethod method);

// Two-sided p-value of an annual Sharpe observed over `years`.
double sharpe_p_value(double sharpe_annual, double years);
// The annual Sharpe whose two-sided p-value over `years` is `adjusted_p`, with the sign of
// `sharpe_annual`.
double haircut_sharpe(double sharpe_annual, double adjusted_p, double years);

}  // namespace plintrove
