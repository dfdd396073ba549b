#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/value/value.h"

using namespace plintrove;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(Value, TruthinessFollowsPython) {
    for (const Value& falsy : {Value(), Value(false), Value(0), Value(0.0), Value(-0.0), Value(""),
                               Value(List{}), Value(Mapping{})}) {
        EXPECT_FALSE(falsy.truthy()) << static_cast<int>(falsy.kind());
    }
    for (const Value& truthy : {Value(true), Value(-1), Value(kNaN), Value(0.5), Value(" "),
                                Value(BigInt{"-18446744073709551616"}), Value(List{Value()}),
                                Value(Mapping{{Value(), Value()}})}) {
        EXPECT_TRUE(truthy.truthy()) << static_cast<int>(truthy.kind());
    }
}

TEST(Value, NumbersCompareExactlyAcrossKinds) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(1), Value(true));
    EXPECT_EQ(Value(true), Value(1.0));
    EXPECT_EQ(Value(false), Value(-0.0));
    EXPECT_NE(Value(2), Value(true));
    EXPECT_NE(Value(kNaN), Value(kNaN));
    EXPECT_EQ(Value(kInf), Value(kInf));
    // 2**53 + 1 is not the double next to it: no rounding of the integer.
    EXPECT_NE(Value(9007199254740993LL), Value(9007199254740992.0));
    EXPECT_EQ(Value(9007199254740992LL), Value(9007199254740992.0));
    EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0));
    EXPECT_EQ(Value(BigInt{"9223372036854775808"}), Value(9223372036854775808.0));
    EXPECT_NE(Value(BigInt{"9223372036854775809"}), Value(9223372036854775808.0));
    EXPECT_EQ(Value(BigInt{"-1267650600228229401496703205376"}), Value(-std::ldexp(1.0, 100)));
    EXPECT_NE(Value(BigInt{"18446744073709551616"}), Value(BigInt{"18446744073709551617"}));
    EXPECT_NE(Value(BigInt{"9223372036854775808"}), Value(std::numeric_limits<std::int64_t>::min()));
}

TEST(Value, OtherKindsNeverEqualAcross) {
    EXPECT_EQ(Value(), Value(nullptr));
    EXPECT_NE(Value(), Value(false));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(List{}), Value(Mapping{}));
    EXPECT_NE(Value(""), Value());
}

TEST(Value, ContainersCompareLikePython) {
    EXPECT_EQ(Value(List{1, 2.0, "x"}), Value(List{1.0, 2, "x"}));
    EXPECT_NE(Value(List{1, 2}), Value(List{2, 1}));
    EXPECT_NE(Value(List{1}), Value(List{1, 1}));
    EXPECT_NE(Value(List{kNaN}), Value(List{kNaN}));
    const Value a = Mapping{{"x", 1}, {"y", List{Mapping{{"z", true}}}}};
    const Value b = Mapping{{"y", List{Mapping{{"z", 1.0}}}}, {"x", 1}};
    EXPECT_EQ(a, b);  // order does not matter
    EXPECT_NE(a, Value(Mapping{{"x", 1}}));
    EXPECT_NE(a, Value(Mapping{{"x", 1}, {"y", List{}}}));
    EXPECT_NE(Value(Mapping{{"x", 1}}), Value(Mapping{{"w", 1}}));
    EXPECT_EQ(Value(Mapping{{1, "a"}}), Value(Mapping{{1.0, "a"}}));
}

TEST(Value, MappingKeysUsePythonEquality) {
    Mapping m{{1, "int"}, {"1", "text"}, {Value(), "none"}};
    ASSERT_NE(m.find(Value(1.0)), nullptr);
    EXPECT_EQ(*m.find(Value(1.0)), Value("int"));
    EXPECT_EQ(*m.find(Value(true)), Value("int"));
    EXPECT_EQ(*m.find("1"), Value("text"));
    EXPECT_EQ(*m.find(Value("1")), Value("text"));
    EXPECT_EQ(*m.find(Value()), Value("none"));
    EXPECT_EQ(m.find(Value(false)), nullptr);
    EXPECT_EQ(m.find("2"), nullptr);

    // d[1.0] = x keeps the original key 1 and its place.
    m.set(1.0, "replaced");
    m.set("new", 7);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_TRUE(m.items()[0].first.is_int());
    EXPECT_EQ(m.items()[0].second, Value("replaced"));
    EXPECT_EQ(m.items()[3].first, Value("new"));

    Mapping nan_keys;
    nan_keys.set(kNaN, 1);
    nan_keys.set(kNaN, 2);
    EXPECT_EQ(nan_keys.size(), 2u);  // NaN keys never match
}

TEST(Value, MappingDisplayKeepsFirstKeyAndLastValue) {
    // Python: {1: 'a', 'k': 'b', True: 'c', False: 'd', 0.0: 'e'} == {1: 'c', 'k': 'b', False: 'e'}
    const Mapping m{{1, "a"}, {"k", "b"}, {true, "c"}, {false, "d"}, {0.0, "e"}};
    ASSERT_EQ(m.size(), 3u);
    EXPECT_TRUE(m.items()[0].first.is_int());
    EXPECT_EQ(m.items()[0].second, Value("c"));
    EXPECT_TRUE(m.items()[2].first.is_bool());
    EXPECT_EQ(m.items()[2].second, Value("e"));
}

TEST(Value, GetReadsTextKeysOfMappingsOnly) {
    const Value m = Mapping{{"type", "feature"}, {1, "one"}};
    ASSERT_NE(m.get("type"), nullptr);
    EXPECT_EQ(*m.get("type"), Value("feature"));
    EXPECT_EQ(m.get("1"), nullptr);
    EXPECT_EQ(Value("type").get("type"), nullptr);
    EXPECT_EQ(Value(List{"type"}).get("type"), nullptr);
}

TEST(Value, LessThanFollowsPython) {
    EXPECT_TRUE(py_less(Value(9007199254740992.0), Value(9007199254740993LL)));
    EXPECT_FALSE(py_less(Value(9007199254740993LL), Value(9007199254740992.0)));
    EXPECT_TRUE(py_less(Value(false), Value(0.5)));
    EXPECT_TRUE(py_less(Value(BigInt{"-99999999999999999999"}), Value(-1e19)));
    // 1e30 is exactly 1000000000000000019884624838656.
    EXPECT_FALSE(py_less(Value(1e30), Value(BigInt{"1000000000000000000000000000001"})));
    EXPECT_TRUE(py_less(Value(1e30), Value(BigInt{"1000000000000000019884624838657"})));
    EXPECT_EQ(Value(1e30), Value(BigInt{"1000000000000000019884624838656"}));
    EXPECT_FALSE(py_less(Value(kNaN), Value(1)));
    EXPECT_FALSE(py_less(Value(1), Value(kNaN)));
    // Text orders by code point: U+FFFF before U+10000, é before U+2028.
    EXPECT_TRUE(py_less(Value("\xEF\xBF\xBF"), Value("\xF0\x90\x80\x80")));
    EXPECT_TRUE(py_less(Value("\xC3\xA9"), Value("\xE2\x80\xA8")));
    EXPECT_TRUE(py_less(Value("Z"), Value("a")));
    EXPECT_TRUE(py_less(Value(List{1, "b"}), Value(List{1.0, "c"})));
    EXPECT_TRUE(py_less(Value(List{1}), Value(List{1, 0})));

    auto message = [](const Value& a, const Value& b) {
        try {
            py_less(a, b);
        } catch (const TypeError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(Value(1), Value("a")), "'<' not supported between instances of 'int' and 'str'");
    EXPECT_EQ(message(Value(), Value(true)),
              "'<' not supported between instances of 'NoneType' and 'bool'");
    EXPECT_EQ(message(Value(Mapping{}), Value(Mapping{})),
              "'<' not supported between instances of 'dict' and 'dict'");
    EXPECT_EQ(message(Value(List{1}), Value(List{"a"})),
              "'<' not supported between instances of 'int' and 'str'");
}

TEST(Value, DroppingAValueKeepsTheContainersItSharesIntact) {
    // Levels alternate between mappings and lists, deep enough that freeing passes from
    // recursion to the explicit stack; copies of some levels are still held elsewhere.
    auto nest = [](const Value& inner, int level) {
        return level % 2 ? Value(Mapping{{"level", level}, {"child", inner}})
                         : Value(List{inner, "tail"});
    };
    Value v = List{"leaf"};
    std::vector<Value> kept;
    for (int level = 1; level <= 60; ++level) {
        v = nest(v, level);
        if (level % 7 == 0) kept.push_back(v);
    }
    const Value shared = List{List{"inner"}};
    v = List{v, Mapping{{"shared", shared}}};
    v = Value();

    Value rebuilt = List{"leaf"};
    std::vector<Value> expected;
    for (int level = 1; level <= 60; ++level) {
        rebuilt = nest(rebuilt, level);
        if (level % 7 == 0) expected.push_back(rebuilt);
    }
    ASSERT_EQ(kept.size(), expected.size());
    for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], expected[i]) << i;
    EXPECT_EQ(shared, Value(List{List{"inner"}}));
}
