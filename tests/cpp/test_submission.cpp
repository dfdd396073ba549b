#include <gtest/gtest.h>

#include "test_support.h"

#include <functional>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/sim_parent.h"

using namespace plintrove;
using namespace plintrove::test_support;

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

