#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/core/graph_analysis.h"

namespace plintrove {
namespace {

Value node(const char* type, Value name, List children = {}) {
    Mapping m{{"type", type}, {"node", std::move(name)}};
    if (!children.empty()) m.set("children", Value(std::move(children)));
    return Value(std::move(m));
}

TEST(GraphAnalysis, PreOrderWithChildrenInListOrder) {
    Value g = node("reduction", "sum",
                   {node("function", "f1", {node("feature", "a")}),
                    node("filtration", "g",
                         {node("feature", "b"), node("rotation", "r", {node("feature", "a")})}),
                    node("other", "skipped")});
    EXPECT_EQ(compute_tree_depth(g), 4);
    // "function" nodes count as functions; unknown kinds count as neither.
    EXPECT_EQ(extract_names(g, "function"), (List{"sum", "f1", "g", "r"}));
    EXPECT_EQ(extract_names(g, "feature"), (List{"a", "b", "a"}));
    EXPECT_EQ(extract_names(g, "other"), (List{"skipped"}));
}

TEST(GraphAnalysis, FalseValuesAddNothing) {
    EXPECT_EQ(compute_tree_depth(Value()), 0);
    EXPECT_EQ(compute_tree_depth(Value(Mapping{})), 0);
    EXPECT_TRUE(extract_names(Value(), "function").empty());

    // Empty names are skipped; None and {} children are leaves of depth 0; a true name
    // that is not text is kept as it is.
    Mapping m{{"type", "rotation"}, {"node", ""}};
    m.set("children", Value(List{Value(), Value(Mapping{}), node("feature", 7)}));
    Value g(std::move(m));
    EXPECT_EQ(compute_tree_depth(g), 2);
    EXPECT_TRUE(extract_names(g, "function").empty());
    EXPECT_EQ(extract_names(g, "feature"), (List{7}));

    // Children None is no children, for both walks.
    Value leaf(Mapping{{"type", "feature"}, {"node", "x"}, {"children", Value()}});
    EXPECT_EQ(compute_tree_depth(leaf), 1);
    EXPECT_EQ(extract_names(leaf, "feature"), (List{"x"}));
}

TEST(GraphAnalysis, DeepGraphIsWalkedWithoutRecursion) {
    constexpr int kDepth = 100000;
    // Built, walked and freed: none of it may recurse per level.
    auto g = std::make_unique<Value>(node("feature", "leaf"));
    for (int level = kDepth - 1; level >= 1; --level) {
        *g = node(level % 2 ? "rotation" : "feature", level, {*g});
    }
    EXPECT_EQ(compute_tree_depth(*g), kDepth);
    List functions = extract_names(*g, "function");
    ASSERT_EQ(functions.size(), static_cast<std::size_t>(kDepth / 2));
    // Parent before child: levels 1, 3, 5, ... from the root down.
    EXPECT_EQ(functions.front(), Value(1));
    EXPECT_EQ(functions.back(), Value(kDepth - 1));
    List features = extract_names(*g, "feature");
    ASSERT_EQ(features.size(), static_cast<std::size_t>(kDepth / 2));
    EXPECT_EQ(features.back(), Value("leaf"));
}

TEST(GraphAnalysis, RotationFamiliesFirstSeenWithoutDuplicates) {
    Value families(Mapping{{"rank", List{"X", "Y"}},
                           {"zscore", List{"Z", "Y"}},
                           {"demean", List{"X", "W"}}});
    List functions{"zscore", "unknown", "rank", "demean", "zscore"};
    EXPECT_EQ(collect_rotation_families(functions, families), (List{"Z", "X"}));
    EXPECT_TRUE(collect_rotation_families(functions, Value()).empty());
    EXPECT_TRUE(collect_rotation_families(functions, Value(Mapping{})).empty());
    EXPECT_THROW(collect_rotation_families(functions, Value(List{"rank"})), TypeError);
    EXPECT_THROW(collect_rotation_families({"rank"}, Value(Mapping{{"rank", List{}}})),
                 ValueError);
}

std::string shape_error(const Value& meta, const Value& required = Value()) {
    try {
        validate_metaparameters_shape(meta, "metaparameters", required);
    } catch (const ValueError& e) {
        return e.what();
    }
    return "";
}

TEST(MetaparameterShape, MessagesInCheckOrder) {
    Value good(Mapping{{"pool_a", Mapping{{"lookback", 20}}}});
    EXPECT_EQ(shape_error(good, "pool_a"), "");
    EXPECT_EQ(shape_error(Value()), "metaparameters must be a non-empty per-pool dict");
    EXPECT_EQ(shape_error(Value(List{1})), "metaparameters must be a non-empty per-pool dict");
    EXPECT_EQ(shape_error(good, "it's"),
              "metaparameters must include selected pool \"it's\"");
    EXPECT_EQ(shape_error(good, 5), "metaparameters must include selected pool 5");
    // The required pool is checked before the entries.
    EXPECT_EQ(shape_error(Value(Mapping{{"", Mapping{{"a", 1}}}}), "pool_b"),
              "metaparameters must include selected pool 'pool_b'");
    EXPECT_EQ(shape_error(Value(Mapping{{1, Mapping{{"a", 1}}}})),
              "metaparameters must be keyed by non-empty pool ids");
    EXPECT_EQ(shape_error(Value(Mapping{{"p", Mapping{}}})),
              "metaparameters values must be non-empty dicts keyed by stage");
    EXPECT_EQ(shape_error(Value(Mapping{{"p", List{1}}})),
              "metaparameters values must be non-empty dicts keyed by stage");
    EXPECT_EQ(shape_error(Value(Mapping{{"p", Mapping{{"a", 0}}}})),
              "metaparameters values must contain non-empty keys and values");
    EXPECT_EQ(shape_error(Value(Mapping{{"p", Mapping{{"", 1}}}})),
              "metaparameters values must contain non-empty keys and values");

    try {
        validate_metaparameters_shape(Value(), "filter");
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "filter must be a non-empty per-pool dict");
    }
}

}  // namespace
}  // namespace plintrove
