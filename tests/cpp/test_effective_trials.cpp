#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/graph_skeleton.h"
#include "plintrove/stats/jaccard_clustering.h"
#include "plintrove/value/json.h"

namespace plintrove {
namespace {

using Set = std::vector<std::uint32_t>;

// Clusters of single linkage over exact Jaccard, by brute force.
std::vector<std::size_t> brute_force_clusters(const std::vector<Set>& sets, double threshold) {
    std::vector<std::size_t> label(sets.size());
    for (std::size_t i = 0; i < sets.size(); ++i) label[i] = i;
    bool changed = true;
    while (changed) {
        changed = false;
        for (std::size_t a = 0; a < sets.size(); ++a) {
            for (std::size_t b = a + 1; b < sets.size(); ++b) {
                if (label[a] != label[b] && jaccard(sets[a], sets[b]) >= threshold) {
                    const std::size_t low = std::min(label[a], label[b]);
                    const std::size_t high = std::max(label[a], label[b]);
                    for (std::size_t& l : label) l = l == high ? low : l;
                    changed = true;
                }
            }
        }
    }
    return label;
}

// Same partition, whatever the labels.
void expect_same_partition(const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = i + 1; j < a.size(); ++j) {
            ASSERT_EQ(a[i] == a[j], b[i] == b[j]) << i << " " << j;
        }
    }
}

std::vector<Set> random_sets(std::size_t count, std::size_t near_duplicates, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::uint32_t> element(0, 3000);
    std::vector<Set> sets;
    for (std::size_t i = 0; i < count; ++i) {
        std::set<std::uint32_t> s;
        while (s.size() < 10) s.insert(element(rng));
        sets.emplace_back(s.begin(), s.end());
    }
    // Near duplicates: one element swapped (Jaccard 9/11), or the same set again.
    for (std::size_t i = 0; i < near_duplicates; ++i) {
        Set copy = sets[i * 7 % count];
        if (i % 3 != 0) copy[0] = 5000 + static_cast<std::uint32_t>(i);
        std::sort(copy.begin(), copy.end());
        sets.push_back(copy);
    }
    return sets;
}

TEST(JaccardClustering, SmallFamiliesMatchBruteForce) {
    const std::vector<Set> sets{{1, 2, 3}, {1, 2, 3, 4}, {7, 8}, {}, {}, {1, 2, 3}, {8, 9}};
    for (double threshold : {0.3, 0.5, 0.75, 1.0}) {
        expect_same_partition(cluster_by_jaccard(sets, threshold),
                              brute_force_clusters(sets, threshold));
    }
    // Labels count from 0 in order of first appearance.
    EXPECT_EQ(cluster_by_jaccard(sets, 1.0),
              (std::vector<std::size_t>{0, 1, 2, 3, 3, 0, 4}));
    EXPECT_THROW(cluster_by_jaccard(sets, 0.0), ValueError);
    EXPECT_THROW(cluster_by_jaccard(sets, 1.5), ValueError);
}

TEST(JaccardClustering, LargeFamiliesThroughSignaturesFindTheNearDuplicates) {
    // Far more distinct sets than are compared pair by pair.
    const std::vector<Set> sets = random_sets(2000, 500, 11);
    const auto got = cluster_by_jaccard(sets, 0.8);
    const auto expected = brute_force_clusters(sets, 0.8);
    const auto clusters = [](const std::vector<std::size_t>& labels) {
        return std::set<std::size_t>(labels.begin(), labels.end()).size();
    };
    // Never a false merge; a missed pair is possible but must stay rare.
    for (std::size_t i = 0; i < sets.size(); ++i) {
        for (std::size_t j = i + 1; j < sets.size(); ++j) {
            if (got[i] == got[j]) ASSERT_EQ(expected[i], expected[j]) << i << " " << j;
        }
    }
    EXPECT_LE(clusters(got) - clusters(expected), 3u);
    EXPECT_LT(clusters(expected), sets.size() - 400);
}

TEST(GraphSkeleton, ConstantsAndParametersDoNotCountButShapeAndNamesDo) {
    const auto skeleton = [](const char* text) { return graph_skeleton(json_loads(text)); };
    const std::string base = skeleton(
        R"({"type": "rotation", "node": "rank", "window": 5, "children": [
             {"type": "feature", "node": "close"}, {"type": "constant", "node": 3.5}]})");
    EXPECT_EQ(base, skeleton(R"({"type": "rotation", "node": "rank", "window": 60, "children": [
             {"type": "feature", "node": "close"}, {"type": "constant", "node": -1}]})"));
    for (const char* different : {
             R"({"type": "rotation", "node": "zscore", "children": [
                  {"type": "feature", "node": "close"}, {"type": "constant", "node": 3.5}]})",
             R"({"type": "rotation", "node": "rank", "children": [
                  {"type": "feature", "node": "open"}, {"type": "constant", "node": 3.5}]})",
             R"({"type": "rotation", "node": "rank", "children": [
                  {"type": "constant", "node": 3.5}, {"type": "feature", "node": "close"}]})",
             R"({"type": "rotation", "node": "rank", "children": [
                  {"type": "feature", "node": "close", "children": [{"type": "constant"}]},
                  {"type": "constant", "node": 3.5}]})"}) {
        EXPECT_NE(base, skeleton(different)) << different;
    }
    // A graph deeper than any stack would allow.
    Value deep = Mapping{{Value("type"), Value("feature")}, {Value("node"), Value("x")}};
    for (int i = 0; i < 200000; ++i) {
        deep = Mapping{{Value("type"), Value("rotation")}, {Value("node"), Value("rank")},
                       {Value("children"), Value(List{deep})}};
    }
    EXPECT_EQ(graph_skeleton(deep).size(), skeleton(R"({"type": "rotation", "node": "rank"})").size() * 200000 + skeleton(R"({"type": "feature", "node": "x"})").size());
}

}  // namespace
}  // namespace plintrove
