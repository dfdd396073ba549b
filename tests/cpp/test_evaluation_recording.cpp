#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_recording.h"

namespace plintrove {
namespace {

// Records every statement; answers SELECTs from a canned signal -> pool table.
class ScriptedConnection : public Connection {
public:
    std::vector<std::pair<std::string, Params>> statements;
    std::vector<std::pair<Value, Value>> pools;  // eval_id -> signal_pool_id

    Cursor execute(std::string_view sql, const Params& params) override {
        statements.emplace_back(std::string(sql), params);
        std::vector<Row> rows;
        for (const auto& [id, pool] : pools) {
            if (sql.starts_with("SELECT") && id == params.at(0)) rows.push_back({pool});
        }
        return Cursor(std::move(rows), std::nullopt, -1);
    }
    void commit() override {}
    void rollback() override {}
    void close() override {}
    bool in_transaction() override { return false; }
};

const char* kFnSql =
    "INSERT INTO strategy_function_usage (eval_id, function_name, rotation_family, "
    "function_family, function_subfamily) VALUES (?, ?, ?, ?, ?)";
const char* kFeatSql =
    "INSERT INTO strategy_feature_usage (eval_id, feature_name, feature_family, "
    "feature_subfamily) VALUES (?, ?, ?, ?)";

TEST(UsageRows, OneRowPerOccurrenceWithFamilies) {
    ScriptedConnection conn;
    Value fn_families(Mapping{{"rank", List{"X", "Y"}}});
    Value feat_families(Mapping{{"close", List{"price", "daily"}}});
    insert_usage_rows(conn, 9, {"rank", "zscore", "rank"}, {"close", "volume"},
                      "strategy_function_usage", "strategy_feature_usage", fn_families,
                      feat_families);
    std::vector<std::pair<std::string, Params>> expected{
        {kFnSql, {9, "rank", "X", "X", "Y"}},
        {kFnSql, {9, "zscore", Value(), Value(), Value()}},
        {kFnSql, {9, "rank", "X", "X", "Y"}},
        {kFeatSql, {9, "close", "price", "daily"}},
        {kFeatSql, {9, "volume", Value(), Value()}},
    };
    EXPECT_EQ(conn.statements, expected);
}

TEST(UsageRows, BadNamesAndEntriesAreRefusedBeforeTheFirstRow) {
    ScriptedConnection conn;
    EXPECT_THROW(insert_usage_rows(conn, 1, {"rank"}, {Value(List{"a"})}, "signal_function_usage",
                                   "signal_feature_usage", Value(), Value()),
                 TypeError);
    EXPECT_THROW(insert_usage_rows(conn, 1, {"rank"}, {}, "signal_function_usage",
                                   "signal_feature_usage", Value(Mapping{{"rank", List{"X"}}}),
                                   Value()),
                 ValueError);
    EXPECT_TRUE(conn.statements.empty());
}

std::string cross_pool_error(ScriptedConnection& conn, const List& ids) {
    try {
        check_strategy_signal_pool_references(conn, "strat_a", "pool_a", Value(ids));
    } catch (const CrossPoolReferenceError& e) {
        return e.what();
    }
    return "";
}

TEST(CrossPoolCheck, StopsAtTheFirstForeignOrMissingSignal) {
    ScriptedConnection conn;
    conn.pools = {{1, "pool_a"}, {2, "pool_b"}};
    EXPECT_EQ(cross_pool_error(conn, {1, 2, 3}),
              "strategy_pool_id='strat_a' strategy_id=<pending> referenced_signal_id=2 "
              "expected_strategy_signal_pool='pool_a' actual_signal_pool_id='pool_b'");
    ASSERT_EQ(conn.statements.size(), 2u);
    EXPECT_EQ(conn.statements[0].first,
              "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?");
    EXPECT_EQ(cross_pool_error(conn, {1, "3"}),
              "strategy_pool_id='strat_a' strategy_id=<pending> referenced_signal_id='3' "
              "expected_strategy_signal_pool='pool_a' actual_signal_pool_id=None");
    EXPECT_EQ(cross_pool_error(conn, {1, 1}), "");
    EXPECT_EQ(cross_pool_error(conn, {}), "");
}

TEST(FailureDetail, EncodingFallsBackToText) {
    EXPECT_EQ(failure_detail_for_storage(Value()), Value());
    EXPECT_EQ(failure_detail_for_storage(Value("{not json")), Value("{not json"));
    EXPECT_EQ(failure_detail_for_storage(Value(Mapping{{"b", 1}, {"a", List{1.5, Value()}}})),
              Value("{\"a\":[1.5,null],\"b\":1}"));
    EXPECT_EQ(failure_detail_for_storage(Value(Mapping{{"x", 1.0 / 0.0}})),
              Value("{'x': inf}"));
    // Keys of mixed kinds cannot be sorted.
    EXPECT_EQ(failure_detail_for_storage(Value(Mapping{{"b", 1}, {2, 3}})),
              Value("{'b': 1, 2: 3}"));
}

}  // namespace
}  // namespace plintrove
