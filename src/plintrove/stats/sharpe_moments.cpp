#include "plintrove/stats/sharpe_moments.h"

namespace plintrove {

void SharpeMoments::add(double x) {
    ++count;
    const double delta = x - mean;
    mean += delta / static_cast<double>(count);
    m2 += delta * (x - mean);
}

void SharpeMoments::merge(const SharpeMoments& other) {
    if (other.count == 0) return;
    if (count == 0) {
        *this = other;
        return;
    }
    const double n_a = static_cast<double>(count);
    const double n_b = static_cast<double>(other.count);
    const double n = n_a + n_b;
    const double delta = other.mean - mean;
    mean += delta * n_b / n;
    m2 += other.m2 + delta * delta * n_a * n_b / n;
    count += other.count;
}

std::optional<double> SharpeMoments::variance() const {
    if (count < 2) return std::nullopt;
    return m2 / static_cast<double>(count - 1);
}

}  // namespace plintrove
