#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/stats/deflated_sharpe.h"
#include "plintrove/stats/normal_distribution.h"
#include "plintrove/stats/p_value_adjustment.h"
#include "plintrove/stats/sharpe_moments.h"

namespace plintrove {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(NormalDistribution, QuantilesMatchReferenceValuesAndInvertTheCdf) {
    // Reference quantiles to 15 digits, including deep tails where a plain rational
    // approximation loses digits.
    const struct { double p, x; } cases[] = {
        {0.5, 0.0},
        {0.975, 1.959963984540054},
        {0.95, 1.644853626951472},
        {1e-4, -3.719016485455709},
        {1e-10, -6.361340902404056},
        {1e-300, -37.0470962993612},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(normal_ppf(c.p), c.x, 1e-12 * (1.0 + std::fabs(c.x))) << c.p;
        // 1 - p itself is rounded, so the upper tail is only as good as its argument.
        if (c.p >= 1e-4) EXPECT_NEAR(normal_ppf(1.0 - c.p), -c.x, 1e-9) << c.p;
    }
    for (double x = -30.0; x <= 5.0; x += 0.37) {
        EXPECT_NEAR(normal_ppf(normal_cdf(x)), x, 1e-9) << x;
    }
    EXPECT_EQ(normal_ppf(0.0), -kInf);
    EXPECT_EQ(normal_ppf(1.0), kInf);
    for (double bad : {-0.1, 1.5, kNan}) EXPECT_THROW(normal_ppf(bad), ValueError) << bad;
}

TEST(DeflatedSharpe, WorkedExampleOfTenThousandTrials) {
    DeflationInputs in;
    in.sharpe_annual = 2.5;
    in.observations = 1260;
    in.periods_per_year = 252;
    in.n_trials = 10000;
    in.variance_annual = 0.25;
    const Deflation d = deflate_sharpe(in);
    EXPECT_NEAR(d.expected_max_z, 3.8607, 5e-4);
    EXPECT_NEAR(d.sr0_annual, 1.930, 5e-4);
    EXPECT_NEAR(d.dsr, 0.897, 5e-4);
    EXPECT_FALSE(d.passes);
    EXPECT_GT(d.psr_zero, 0.9999995);
    EXPECT_NEAR(d.min_track_record_length, 2128, 1.0);
    EXPECT_NEAR(d.p_value, 1.0 - d.dsr, 1e-12);

    const double years = 1260.0 / 252.0;
    const double p = sharpe_p_value(2.5, years);
    const double adjusted = adjust_p_values({p}, 10000, AdjustmentMethod::Bonferroni)[0];
    EXPECT_NEAR(haircut_sharpe(2.5, adjusted, years), 1.649, 5e-4);
}

TEST(DeflatedSharpe, PaperExampleWithSkewAndFatTails) {
    DeflationInputs in;
    in.sharpe_annual = 2.5;
    in.observations = 1250;
    in.periods_per_year = 250;
    in.skew = -3;
    in.kurtosis = 10;
    in.n_trials = 100;
    in.variance_annual = 0.5;
    EXPECT_NEAR(deflate_sharpe(in).dsr, 0.9004, 5e-4);
}

TEST(DeflatedSharpe, OneTrialOrNoSpreadReducesToPsrAgainstZero) {
    DeflationInputs in;
    in.sharpe_annual = 1.2;
    in.observations = 500;
    for (auto [n, v] : {std::pair{1.0, 0.7}, std::pair{5000.0, 0.0}}) {
        in.n_trials = n;
        in.variance_annual = v;
        const Deflation d = deflate_sharpe(in);
        EXPECT_EQ(d.sr0_annual, 0.0);
        EXPECT_DOUBLE_EQ(d.dsr, d.psr_zero);
    }
}

TEST(DeflatedSharpe, SamplingFrequencyDoesNotChangeTheAnswer) {
    // The same daily series described in daily units (P = 1) or annual ones (P = 252).
    const double sr_daily = 0.2, v_daily = 0.002;
    DeflationInputs daily;
    daily.sharpe_annual = sr_daily;
    daily.variance_annual = v_daily;
    daily.periods_per_year = 1;
    daily.observations = 900;
    daily.n_trials = 300;
    DeflationInputs annual = daily;
    annual.sharpe_annual = sr_daily * std::sqrt(252.0);
    annual.variance_annual = v_daily * 252.0;
    annual.periods_per_year = 252;
    EXPECT_NEAR(deflate_sharpe(daily).dsr, deflate_sharpe(annual).dsr, 1e-12);
    EXPECT_NEAR(deflate_sharpe(daily).min_track_record_length,
                deflate_sharpe(annual).min_track_record_length, 1e-6);
}

TEST(DeflatedSharpe, RefusesImpossibleInputs) {
    // Excess kurtosis of normal returns (0) passed where plain kurtosis (3) is meant.
    EXPECT_THROW(probabilistic_sharpe(0.1, 0, 100, 0.0, 0.0), ValueError);
    EXPECT_THROW(probabilistic_sharpe(0.1, 0, 100, -3.0, 9.0), ValueError);
    EXPECT_NO_THROW(probabilistic_sharpe(0.1, 0, 100, -3.0, 10.0));
    for (double t : {1.0, 0.5, kNan, kInf}) {
        EXPECT_THROW(probabilistic_sharpe(0.1, 0, t, 0, 3), ValueError) << t;
    }
    for (double n : {0.0, 0.999, -5.0, kNan, kInf}) EXPECT_THROW(expected_max_z(n), ValueError) << n;
    EXPECT_THROW(probabilistic_sharpe(kNan, 0, 100, 0, 3), ValueError);
}

TEST(DeflatedSharpe, ExpectedMaximumAcrossTheRangeOfTrialCounts) {
    EXPECT_EQ(expected_max_z(1.0), 0.0);
    EXPECT_EQ(expected_max_z(1.05), 0.0);  // clamped where the approximation dips below 0
    double previous = 0.0;
    for (double n : {2.0, 10.0, 1e3, 1e6, 1e12, 1e18, 1e300}) {
        const double z = expected_max_z(n);
        EXPECT_TRUE(std::isfinite(z)) << n;
        EXPECT_GT(z, previous) << n;
        previous = z;
    }
    EXPECT_EQ(min_track_record_length(0.05, 0.1, 0, 3, 0.95), kInf);
    EXPECT_EQ(min_backtest_length_years(100, 0.0), kInf);
    // Two years of data let the best of 45 null trials reach an annual Sharpe of about 1.
    EXPECT_NEAR(min_backtest_length_years(45, 1.0), 4.8, 0.3);
}

TEST(PValueAdjustment, MethodsAgainstHandComputedFamilies) {
    const std::vector<double> p{0.04, 0.01, 0.03, 0.005};
    // Sorted: 0.005, 0.01, 0.03, 0.04 over a family of 4.
    EXPECT_EQ(adjust_p_values(p, 4, AdjustmentMethod::Bonferroni),
              (std::vector<double>{0.16, 0.04, 0.12, 0.02}));
    const auto holm = adjust_p_values(p, 4, AdjustmentMethod::Holm);
    const std::vector<double> holm_expected{0.06, 0.03, 0.06, 0.02};
    for (std::size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(holm[i], holm_expected[i], 1e-15);
    const double c4 = 1.0 + 0.5 + 1.0 / 3 + 0.25;
    const auto bhy = adjust_p_values(p, 4, AdjustmentMethod::Bhy);
    const std::vector<double> bhy_expected{0.04 * c4, 0.02 * c4, 0.04 * c4, 0.02 * c4};
    for (std::size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(bhy[i], bhy_expected[i], 1e-15);
    // A larger family than the values given: Holm's first step multiplies by the family.
    EXPECT_NEAR(adjust_p_values({0.001}, 30, AdjustmentMethod::Holm)[0], 0.03, 1e-15);
    EXPECT_EQ(adjust_p_values({0.5}, 10, AdjustmentMethod::Bonferroni)[0], 1.0);
    EXPECT_THROW(adjust_p_values(p, 3, AdjustmentMethod::Holm), ValueError);
    EXPECT_THROW(parse_adjustment_method("fdr"), ValueError);
}

TEST(SharpeMoments, MergingChunksEqualsAddingOneByOne) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> draw(1.5, 0.8);
    std::vector<double> xs(1000);
    for (double& x : xs) x = draw(rng) + 1e6;  // a large offset tests the cancellation
    SharpeMoments sequential;
    for (double x : xs) sequential.add(x);
    SharpeMoments merged;
    for (std::size_t start = 0; start < xs.size(); start += 37) {
        SharpeMoments chunk;
        for (std::size_t i = start; i < std::min(xs.size(), start + 37); ++i) chunk.add(xs[i]);
        merged.merge(chunk);
    }
    merged.merge(SharpeMoments{});
    EXPECT_EQ(merged.count, sequential.count);
    EXPECT_NEAR(merged.mean, sequential.mean, 1e-9);
    EXPECT_NEAR(*merged.variance() / *sequential.variance(), 1.0, 1e-9);
    EXPECT_NEAR(*sequential.variance(), 0.64, 0.08);
    SharpeMoments one;
    one.add(2.0);
    EXPECT_FALSE(one.variance().has_value());
}

TEST(DeflatedSharpe, PureNoiseSearchesRarelyPass) {
    // 200 searches, each picking the best of 1,000 strategies without skill over one year
    // of daily returns; at 95% confidence about 5% or fewer may pass.
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> noise(0.0, 0.01);
    const int searches = 200, trials = 1000, days = 252;
    int passed = 0;
    for (int s = 0; s < searches; ++s) {
        SharpeMoments moments;
        double best = -kInf;
        for (int t = 0; t < trials; ++t) {
            double sum = 0.0, sum_sq = 0.0;
            for (int d = 0; d < days; ++d) {
                const double r = noise(rng);
                sum += r;
                sum_sq += r * r;
            }
            const double mean = sum / days;
            const double sd = std::sqrt((sum_sq - days * mean * mean) / (days - 1));
            const double sharpe_annual = mean / sd * std::sqrt(252.0);
            moments.add(sharpe_annual);
            best = std::max(best, sharpe_annual);
        }
        DeflationInputs in;
        in.sharpe_annual = best;
        in.observations = days;
        in.n_trials = trials;
        in.variance_annual = *moments.variance();
        if (deflate_sharpe(in).passes) ++passed;
        // Without the correction nearly every search would have "found" something.
        EXPECT_GT(probabilistic_sharpe(best / std::sqrt(252.0), 0, days, 0, 3), 0.95);
    }
    EXPECT_LE(passed, 16);  // 5% of 200 is 10; 16 leaves room for sampling noise
}

}  // namespace
}  // namespace plintrove
