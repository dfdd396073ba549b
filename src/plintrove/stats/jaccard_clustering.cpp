#include "plintrove/stats/jaccard_clustering.h"

#include <cmath>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "plintrove/core/errors.h"

namespace plintrove {

namespace {

// Distinct sets up to this many are compared pair by pair; beyond, the quadratic number of
// pairs costs more than signatures.
constexpr std::size_t kExactPairsLimit = 400;
// 32 bands of 8 at the default threshold of 0.8: a pair at the threshold shares a band with
// probability 0.997.
constexpr int kHashes = 256;

class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        std::iota(parent_.begin(), parent_.end(), 0);
    }
    std::size_t find(std::size_t x) {
        while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
        return x;
    }
    void join(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::size_t> parent_;
};

std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The band width whose S-curve (1 - (1 - s^r)^b) reaches half at a little below the
// threshold, so pairs at the threshold are found with high probability.
int rows_per_band(double threshold) {
    int best = 1;
    double best_gap = std::numeric_limits<double>::infinity();
    for (int r = 1; r <= kHashes; ++r) {
        if (kHashes % r != 0) continue;
        const double b = kHashes / r;
        const double midpoint = std::pow(1.0 / b, 1.0 / r);
        const double gap = std::fabs(midpoint - 0.85 * threshold);
        if (gap < best_gap) {
            best_gap = gap;
            best = r;
        }
    }
    return best;
}

void join_similar_lsh(const std::vector<const std::vector<std::uint32_t>*>& distinct,
                      double threshold, DisjointSets& sets) {
    const std::size_t n = distinct.size();
    // One mixing per element, then a multiply-add per hash function: a cheap family that
    // is random enough for MinHash once the element ids are scrambled.
    std::uint64_t mul[kHashes], add[kHashes];
    for (int h = 0; h < kHashes; ++h) {
        mul[h] = mix(0x632be59bd9b4e019ULL * (h + 1)) | 1ULL;
        add[h] = mix(0x9e3779b97f4a7c15ULL ^ static_cast<std::uint64_t>(h));
    }
    std::vector<std::uint64_t> signatures(n * kHashes, std::numeric_limits<std::uint64_t>::max());
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t* sig = &signatures[i * kHashes];
        for (std::uint32_t element : *distinct[i]) {
            const std::uint64_t base = mix(element);
            for (int h = 0; h < kHashes; ++h) sig[h] = std::min(sig[h], base * mul[h] + add[h]);
        }
    }
    const int r = rows_per_band(threshold);
    for (int band = 0; band < kHashes / r; ++band) {
        std::unordered_map<std::uint64_t, std::vector<std::size_t>> buckets;
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t key = 0x84222325cbf29ce4ULL + static_cast<std::uint64_t>(band);
            for (int k = 0; k < r; ++k) key = mix(key ^ signatures[i * kHashes + band * r + k]);
            buckets[key].push_back(i);
        }
        for (const auto& [key, members] : buckets) {
            for (std::size_t a = 0; a < members.size(); ++a) {
                for (std::size_t b = a + 1; b < members.size(); ++b) {
                    if (sets.find(members[a]) == sets.find(members[b])) continue;
                    if (jaccard(*distinct[members[a]], *distinct[members[b]]) >= threshold) {
                        sets.join(members[a], members[b]);
                    }
                }
            }
        }
    }
}

}  // namespace

double jaccard(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    if (a.empty() && b.empty()) return 1.0;
    std::size_t i = 0, j = 0, common = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            ++common;
            ++i;
            ++j;
        } else if (a[i] < b[j]) {
            ++i;
        } else {
            ++j;
        }
    }
    return static_cast<double>(common) / static_cast<double>(a.size() + b.size() - common);
}

std::vector<std::size_t> cluster_by_jaccard(const std::vector<std::vector<std::uint32_t>>& sets,
                                            double threshold) {
    if (!(threshold > 0.0 && threshold <= 1.0)) {
        throw ValueError("similarity must be greater than 0 and at most 1");
    }
    // Identical sets first: searches re-evaluate the same shapes over and over. Sets are
    // bucketed by a hash of their elements and compared only within a bucket.
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash;
    std::vector<const std::vector<std::uint32_t>*> distinct;
    std::vector<std::size_t> distinct_of(sets.size());
    for (std::size_t i = 0; i < sets.size(); ++i) {
        std::uint64_t h = 0x84222325cbf29ce4ULL ^ sets[i].size();
        for (std::uint32_t element : sets[i]) h = mix(h ^ element);
        std::vector<std::size_t>& bucket = by_hash[h];
        std::size_t found = distinct.size();
        for (std::size_t d : bucket) {
            if (*distinct[d] == sets[i]) {
                found = d;
                break;
            }
        }
        if (found == distinct.size()) {
            bucket.push_back(found);
            distinct.push_back(&sets[i]);
        }
        distinct_of[i] = found;
    }
    DisjointSets groups(distinct.size());
    if (threshold < 1.0) {
        if (distinct.size() <= kExactPairsLimit) {
            for (std::size_t a = 0; a < distinct.size(); ++a) {
                for (std::size_t b = a + 1; b < distinct.size(); ++b) {
                    if (jaccard(*distinct[a], *distinct[b]) >= threshold) groups.join(a, b);
                }
            }
        } else {
            join_similar_lsh(distinct, threshold, groups);
        }
    }
    std::vector<std::size_t> label_of_root(distinct.size(), std::numeric_limits<std::size_t>::max());
    std::vector<std::size_t> labels(sets.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        std::size_t& label = label_of_root[groups.find(distinct_of[i])];
        if (label == std::numeric_limits<std::size_t>::max()) label = next++;
        labels[i] = label;
    }
    return labels;
}

}  // namespace plintrove
