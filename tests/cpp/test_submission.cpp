#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/storage/connection.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/sim_parent.h"
#include "plintrove/submission/status_check.h"
#include "plintrove/submission/submission_tables.h"

using namespace plintrove;

namespace {

template <typename E>
std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error>";
}

// Records every statement and answers each SELECT with the next scripted row set.
class ScriptedConnection : public Connection {
public:
    std::vector<std::pair<std::string, Params>> statements;
    std::vector<std::vector<Row>> answers;

    Cursor execute(std::string_view sql, const Params& params) override {
        statements.emplace_back(std::string(sql), params);
        std::vector<Row> rows;
        if (sql.rfind("SELECT", 0) == 0 && !answers.empty()) {
            rows = answers.front();
            answers.erase(answers.begin());
        }
        return Cursor(std::move(rows), std::nullopt, sql.rfind("INSERT", 0) == 0 ? 1 : -1);
    }
    void commit() override { statements.emplace_back("<commit>", Params{}); }
    void rollback() override {}
    void close() override {}
    bool in_transaction() override { return false; }
};

}  // namespace

TEST(SubmissionTables, MapTypeAndRoleToTables) {
    EXPECT_EQ(submission_table(Value("signal"), "retry"), "signal_submission_retry");
    EXPECT_EQ(submission_table(Value("strategy"), "attempts"), "strategy_submission_attempts");
    EXPECT_EQ(submission_pool_column(Value("strategy")), "strategy_pool_id");
    EXPECT_EQ(eval_table(Value("signal")), "signal_evaluations");
    for (const Value& bad : {Value("other"), Value(), Value("Signal"), Value(1)}) {
        EXPECT_EQ(message_of<ValueError>([&] { submission_table(bad, "queue"); }),
                  "eval_type must be 'signal' or 'strategy'");
        EXPECT_EQ(message_of<ValueError>([&] { eval_table(bad); }),
                  "eval_type must be 'signal' or 'strategy'");
    }
    EXPECT_EQ(message_of<KeyError>([] { submission_table(Value("signal"), "queues"); }), "queues");
}

TEST(PayloadFields, FirstNonNullTopLevelMemberOfAnObject) {
    std::string payload = R"({"signal_pool_id": null, "strategy_pool_id": "p2", "n": 3})";
    EXPECT_TRUE(submission_own_pool_id_from_payload(payload, Value("signal")).is_none());
    EXPECT_EQ(submission_own_pool_id_from_payload(payload, Value("strategy")), Value("p2"));
    EXPECT_EQ(submission_pool_id_from_payload(payload, Value("other")), Value("p2"));
    EXPECT_EQ(payload_field_from_json(payload, {"signal_pool_id", "n", "strategy_pool_id"}),
              Value(3));
    EXPECT_TRUE(payload_field_from_json(R"({"a": {"strategy_signal_pool": "x"}})",
                                        {"strategy_signal_pool"})
                    .is_none());
    for (const char* not_an_object : {R"(["strategy_pool_id", "p2"])", "not json {", "\"p2\"",
                                      "", "{\"strategy_pool_id\": \"p2\""}) {
        EXPECT_TRUE(payload_field_from_json(not_an_object, {"strategy_pool_id"}).is_none())
            << not_an_object;
    }
    EXPECT_EQ(strategy_signal_pool_from_payload(R"({"strategy_signal_pool": "sp"})"),
              Value("sp"));
}

TEST(PoolResolution, ExplicitArgumentThenPayloadThenStoredRow) {
    ScriptedConnection conn;
    // The matching explicit argument wins without reading anything.
    EXPECT_EQ(submission_own_pool_id(conn, 1, Value("signal"), R"({"signal_pool_id": "p9"})",
                                     Value("p1"), Value()),
              Value("p1"));
    EXPECT_EQ(submission_own_pool_id(conn, 1, Value("signal"), std::nullopt, Value(""), Value()),
              Value(""));
    EXPECT_TRUE(conn.statements.empty());

    // The other type's argument is ignored: the payload decides, then the row.
    EXPECT_EQ(submission_own_pool_id(conn, 1, Value("signal"), R"({"signal_pool_id": "p9"})",
                                     Value(), Value("p3")),
              Value("p9"));
    EXPECT_TRUE(conn.statements.empty());
    conn.answers = {{Row{Value("stored")}}};
    EXPECT_EQ(submission_own_pool_id(conn, 7, Value("signal"), "[]", Value(), Value("p3")),
              Value("stored"));
    ASSERT_EQ(conn.statements.size(), 1u);
    EXPECT_EQ(conn.statements[0].first,
              "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?");
    EXPECT_EQ(conn.statements[0].second, (Params{Value(7)}));

    conn.statements.clear();
    EXPECT_TRUE(
        submission_own_pool_id(conn, 8, Value("strategy"), std::nullopt, Value(), Value())
            .is_none());
    EXPECT_EQ(conn.statements.at(0).first,
              "SELECT strategy_pool_id FROM strategy_evaluations WHERE eval_id=?");
}

TEST(PoolResolution, StrategySignalPoolReadsTheRowOnlyForStrategies) {
    ScriptedConnection conn;
    EXPECT_TRUE(submission_strategy_signal_pool(conn, 5, Value("signal"), R"({"x": 1})", Value())
                    .is_none());
    EXPECT_EQ(submission_strategy_signal_pool(conn, 5, Value("signal"), std::nullopt, Value("sp")),
              Value("sp"));
    EXPECT_TRUE(conn.statements.empty());

    conn.answers = {{Row{Value("stored_sp")}}};
    EXPECT_EQ(submission_strategy_signal_pool(conn, 5, Value("strategy"), std::nullopt, Value()),
              Value("stored_sp"));
    EXPECT_EQ(conn.statements.at(0).first,
              "SELECT strategy_signal_pool FROM strategy_evaluations WHERE eval_id=?");
}

TEST(SimParent, SyntheticIdAndPlaceholderRow) {
    EXPECT_EQ(synthetic_submission_sim_id(Value(7), Value("strategy")), "search-strategy-7");
    EXPECT_EQ(synthetic_submission_sim_id(Value(42), Value("signal")), "search-signal-42");

    ScriptedConnection conn;
    EXPECT_EQ(message_of<ValueError>([&] { ensure_submission_sim_parent(conn, Value("")); }),
              "sim_id must not be empty");
    EXPECT_EQ(message_of<ValueError>([&] { ensure_submission_sim_parent(conn, Value()); }),
              "sim_id must not be empty");
    EXPECT_TRUE(conn.statements.empty());

    // An existing row: no INSERT, and the era is not even converted.
    conn.answers = {{Row{Value(1)}}};
    ensure_submission_sim_parent(conn, Value("sim-1"), Value("not a number"));
    ASSERT_EQ(conn.statements.size(), 1u);
    EXPECT_EQ(conn.statements[0].first, "SELECT 1 FROM sims WHERE id=?");

    conn.statements.clear();
    ensure_submission_sim_parent(conn, Value("sim-2"), Value(" 12 "));
    ASSERT_EQ(conn.statements.size(), 2u);
    EXPECT_EQ(conn.statements[1].first,
              "INSERT INTO sims (id, graph_json, era_id, market_id, pool_id, named_universe, "
              "is_dates_json, metaparameters_json, search_state_json, frequency, "
              "resolved_context_json, status, progress, created_at, completed_at, stats_json, "
              "pnl_json, error_msg) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
              "?) ON CONFLICT(id) DO NOTHING");
    const Params& values = conn.statements[1].second;
    ASSERT_EQ(values.size(), 18u);
    EXPECT_EQ(values[0], Value("sim-2"));
    EXPECT_TRUE(values[2].is_int());
    EXPECT_EQ(values[2], Value(12));
    EXPECT_TRUE(values[3].is_int());
    EXPECT_TRUE(values[12].is_float());
    EXPECT_TRUE(values[13].is_float());
    EXPECT_GT(values[13].as_float(), 1.6e9);
    EXPECT_EQ(values[11], Value("submitted"));

    conn.statements.clear();
    EXPECT_EQ(message_of<ValueError>(
                  [&] { ensure_submission_sim_parent(conn, Value("sim-3"), Value("3x")); }),
              "invalid literal for int() with base 10: '3x'");
    EXPECT_EQ(conn.statements.size(), 1u);  // the SELECT only
}

TEST(SimParent, EraConversionFollowsPythonInt) {
    EXPECT_EQ(python_int(Value(2.9)), Value(2));
    EXPECT_EQ(python_int(Value(-2.9)), Value(-2));
    EXPECT_EQ(python_int(Value(true)), Value(1));
    EXPECT_EQ(python_int(Value("-1_000")), Value(-1000));
    EXPECT_EQ(python_int(Value("007")), Value(7));
    EXPECT_TRUE(python_int(Value("123456789012345678901234")).is_big_int());
    for (const char* bad : {"", " ", "1__0", "_1", "1_", "1.5", "0x10", "+"}) {
        EXPECT_EQ(message_of<ValueError>([&] { python_int(Value(bad)); }),
                  std::string("invalid literal for int() with base 10: '") + bad + "'");
    }
    EXPECT_EQ(message_of<TypeError>([] { python_int(Value(List{})); }),
              "int() argument must be a string, a bytes-like object or a real number, not "
              "'list'");
}

TEST(StatusCheck, MessageListsEveryStatusAsAPythonList) {
    require_valid_status(Value("pending"));
    require_valid_status(Value("strategy_useful_transition_failed"));
    std::string message = message_of<ValueError>([] { require_valid_status(Value("done")); });
    EXPECT_EQ(message.rfind("status must be one of ['queued', 'pending', 'signal_is_validating', ",
                            0),
              0u);
    EXPECT_NE(message.find("'strategy_useful_transition_failed', 'paid', 'rejected'], got 'done'"),
              std::string::npos);
    EXPECT_NE(message_of<ValueError>([] { require_valid_status(Value()); }).find("got None"),
              std::string::npos);
}
