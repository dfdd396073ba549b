#include <gtest/gtest.h>

#include "test_support.h"

#include <functional>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/queries/filters.h"

using namespace plintrove;
using namespace plintrove::test_support;

namespace {

std::string value_error(const std::function<void()>& fn) { return message_of<ValueError>(fn); }

Mapping pool(std::initializer_list<Mapping::Item> stages) { return Mapping(stages); }

}  // namespace

TEST(FilterTableSelection, NarrowsToTheNamedTypeInSignalStrategyOrder) {
    EXPECT_EQ(filter_by_eval_type<int>(Value(), 1, 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(filter_by_eval_type<int>(Value("strategy"), 1, 2), (std::vector<int>{2}));
    EXPECT_EQ(filter_by_eval_type<int>(Value("signal"), 1, 2), (std::vector<int>{1}));
    EXPECT_TRUE(filter_by_eval_type<int>(Value("Strategy"), 1, 2).empty());
    EXPECT_TRUE(filter_by_eval_type<int>(Value(1), 1, 2).empty());
}

TEST(FilterJsonPathKey, QuotesKeysLikeJsonWithAsciiEscapes) {
    EXPECT_EQ(json_path_key(Value("lookback")), ".\"lookback\"");
    EXPECT_EQ(json_path_key(Value("a\"b\\c")), ".\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_path_key(Value(5)), ".\"5\"");
    EXPECT_EQ(json_path_key(Value("tab\there\n")), ".\"tab\\there\\n\"");
    EXPECT_EQ(json_path_key(Value("caf\xc3\xa9")), ".\"caf\\u00e9\"");
    EXPECT_EQ(json_path_key(Value("\xf0\x9f\x98\x80")), ".\"\\ud83d\\ude00\"");
    EXPECT_EQ(json_path_key(Value("\x01")), ".\"\\u0001\"");
}

TEST(FilterSettings, BuildsConditionsInFixedOrderWithMatchingParams) {
    SettingsFilter f;
    f.era_id = 3;
    f.metaparameters = Mapping{{"pool_a", pool({{"lookback", 20}})}};
    f.source = "search";
    FilterClauses out = build_settings_filter("e", f);
    EXPECT_EQ(out.clauses, (std::vector<std::string>{
                               "e.era_id = ?", "json_extract(e.metaparameters, ?) = ?",
                               "e.source = ?"}));
    ASSERT_EQ(out.params.size(), 4u);
    EXPECT_EQ(out.params[0], Value(3));
    EXPECT_EQ(out.params[1], Value("$.\"pool_a\".\"lookback\""));
    EXPECT_TRUE(out.params[2].is_int());
    EXPECT_EQ(out.params[2], Value(20));
    EXPECT_EQ(out.params[3], Value("search"));

    FilterClauses bare = build_settings_filter("", f);
    EXPECT_EQ(bare.clauses[0], "era_id = ?");
    EXPECT_EQ(bare.clauses[1], "json_extract(metaparameters, ?) = ?");
    EXPECT_EQ(bare.clauses[2], "source = ?");
}

TEST(FilterSettings, KeepsMappingOrderAndFalsyPresentValues) {
    SettingsFilter f;
    f.era_id = 0;
    f.named_universe = "";
    f.metaparameters = Mapping{{"zeta", pool({{"b", 1.5}, {"a", "x"}})},
                               {"alpha", pool({{"k", true}})}};
    FilterClauses out = build_settings_filter("", f);
    ASSERT_EQ(out.clauses.size(), 5u);
    EXPECT_EQ(out.clauses[0], "era_id = ?");
    EXPECT_EQ(out.clauses[1], "named_universe = ?");
    EXPECT_EQ(out.params, (Params{Value(0), Value(""), Value("$.\"zeta\".\"b\""), Value(1.5),
                                  Value("$.\"zeta\".\"a\""), Value("x"),
                                  Value("$.\"alpha\".\"k\""), Value(true)}));
    EXPECT_TRUE(build_settings_filter("e", SettingsFilter{}).clauses.empty());
}

TEST(FilterSettings, RejectsMalformedMetaparametersBeforeAddingConditions) {
    SettingsFilter f;
    f.metaparameters = Mapping{};
    EXPECT_EQ(value_error([&] { build_settings_filter("e", f); }),
              "metaparameters must be a non-empty per-pool dict");
    f.metaparameters = Mapping{{"pool_a", pool({{"lookback", 0}})}};
    EXPECT_EQ(value_error([&] { build_settings_filter("e", f); }),
              "metaparameters values must contain non-empty keys and values");
}

TEST(FilterPools, SignalTableRefusesStrategyPoolsAndFiltersItsOwn) {
    SettingsFilter f;
    f.strategy_signal_pool = "sp";
    f.signal_pool_id = "sig";
    FilterClauses out = build_settings_filter("e", f, "signal_evaluations");
    EXPECT_EQ(out.clauses, std::vector<std::string>{"1 = 0"});
    EXPECT_TRUE(out.params.empty());

    SettingsFilter g;
    g.signal_pool_id = "sig";
    out = build_settings_filter("e", g, "signal_evaluations");
    EXPECT_EQ(out.clauses, std::vector<std::string>{"e.signal_pool_id = ?"});
    EXPECT_EQ(out.params, Params{Value("sig")});

    out = build_settings_filter("e", g, "strategy_evaluations");
    EXPECT_EQ(out.clauses, std::vector<std::string>{"1 = 0"});
    EXPECT_TRUE(out.params.empty());
}

TEST(FilterPools, StrategyTableAddsPoolThenSignalPool) {
    SettingsFilter f;
    f.era_id = 2;
    f.strategy_pool_id = "st";
    f.strategy_signal_pool = "sp";
    FilterClauses out = build_settings_filter("", f, "strategy_evaluations");
    EXPECT_EQ(out.clauses, (std::vector<std::string>{"era_id = ?", "strategy_pool_id = ?",
                                                     "strategy_signal_pool = ?"}));
    EXPECT_EQ(out.params, (Params{Value(2), Value("st"), Value("sp")}));

    // The signal pool of a strategy narrows by itself too.
    SettingsFilter g;
    g.strategy_signal_pool = "sp";
    out = build_settings_filter("", g, "strategy_evaluations");
    EXPECT_EQ(out.clauses, std::vector<std::string>{"strategy_signal_pool = ?"});
    EXPECT_EQ(out.params, Params{Value("sp")});
    EXPECT_TRUE(build_settings_filter("", f, "sims").clauses.size() == 1);
}

TEST(FilterPools, ValidatesPoolsInOrderOnlyWhenATableIsGiven) {
    SettingsFilter f;
    f.strategy_pool_id = "";
    f.signal_pool_id = 7;
    EXPECT_EQ(value_error([&] { build_settings_filter("e", f, "signal_evaluations"); }),
              "strategy_pool_id must be a non-empty string");
    f.strategy_pool_id = Value();
    EXPECT_EQ(value_error([&] { build_settings_filter("e", f, "strategy_evaluations"); }),
              "signal_pool_id must be a non-empty string");
    f.signal_pool_id = Value();
    f.strategy_signal_pool = "";
    EXPECT_EQ(value_error([&] { build_settings_filter("e", f, "other_table"); }),
              "strategy_signal_pool must be a non-empty string");
    f.signal_pool_id = 7;
    EXPECT_TRUE(build_settings_filter("e", f).clauses.empty());

    FilterClauses direct;
    direct.clauses.push_back("x = ?");
    direct.params.push_back(Value(1));
    add_pool_filters(direct, "e.", std::string_view("strategy_evaluations"), Value("st"), Value(),
                     Value());
    EXPECT_EQ(direct.clauses, (std::vector<std::string>{"x = ?", "e.strategy_pool_id = ?"}));
    EXPECT_EQ(direct.params, (Params{Value(1), Value("st")}));
}
