#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_recording.h"

namespace plintrove {
namespace {

// Records every statement.
class RecordingConnection : public Connection {
public:
    std::vector<std::pair<std::string, Params>> statements;

    Cursor execute(std::string_view sql, const Params& params) override {
        statements.emplace_back(std::string(sql), params);
        return Cursor({}, std::nullopt, 1);
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
    RecordingConnection conn;
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
    RecordingConnection conn;
    EXPECT_THROW(insert_usage_rows(conn, 1, {"rank"}, {Value(List{"a"})}, "signal_function_usage",
                                   "signal_feature_usage", Value(), Value()),
                 TypeError);
    EXPECT_THROW(insert_usage_rows(conn, 1, {"rank"}, {}, "signal_function_usage",
                                   "signal_feature_usage", Value(Mapping{{"rank", List{"X"}}}),
                                   Value()),
                 ValueError);
    EXPECT_TRUE(conn.statements.empty());
}

}  // namespace
}  // namespace plintrove
