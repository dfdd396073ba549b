#pragma once
// Groups sets that overlap: two sets whose Jaccard similarity reaches the threshold share
// a cluster, and clusters join through chains of such pairs. Identical sets are merged
// first; the distinct ones are compared exactly while all pairs fit, else through MinHash
// signatures banded for locality-sensitive hashing, every candidate pair then checked
// exactly (no false merges, rare missed ones).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plintrove {

// Each set holds sorted, distinct element ids. Returns a cluster label per set, labels
// numbered from 0 in order of first appearance. ValueError unless 0 < threshold <= 1.
std::vector<std::size_t> cluster_by_jaccard(const std::vector<std::vector<std::uint32_t>>& sets,
                                            double threshold);

double jaccard(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);

}  // namespace plintrove
