#pragma once
// Running count, mean and sum of squared deviations of Sharpe ratios (Welford), and the
// parallel merge of two such summaries, so a batch can be folded into a stored summary
// with the same result as adding its values one by one.

#include <cstdint>
#include <optional>

namespace plintrove {

struct SharpeMoments {
    std::int64_t count = 0;
    double mean = 0.0;
    double m2 = 0.0;

    void add(double x);
    void merge(const SharpeMoments& other);
    // Sample variance (n - 1); none below two values.
    std::optional<double> variance() const;
};

}  // namespace plintrove
