#pragma once
// The standard normal distribution: its CDF and quantile function, both accurate to
// about 1e-15 in the tails that significance tests live in.

namespace plintrove {

// Phi(x). Exact at +-inf; NaN for NaN.
double normal_cdf(double x);
// Phi^-1(p) for p in [0, 1]: -inf at 0, +inf at 1; ValueError outside [0, 1] or for NaN.
double normal_ppf(double p);

}  // namespace plintrove
