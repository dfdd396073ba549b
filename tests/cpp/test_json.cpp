#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "plintrove/core/errors.h"
#include "plintrove/value/json.h"

// What Python's json module itself writes is compared against it on generated values in the
// Python tests; these cases cover the inputs and failures that comparison cannot reach.

using namespace plintrove;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

template <typename E, typename F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(JsonDumps, KeysAreConvertedLikePython) {
    // {1: 'a', 1.5: 'b', nan: 'c', inf: 'd', -inf: 'e', True: 'f', False: 'g', None: 'h',
    //  2**64: 'i', -0.0: 'j'}: True joins 1 and -0.0 joins False, as in a dict display.
    const Value v = Mapping{{1, "a"},       {1.5, "b"},   {kNaN, "c"},
                            {kInf, "d"},    {-kInf, "e"}, {true, "f"},
                            {false, "g"},   {Value(), "h"}, {BigInt{"18446744073709551616"}, "i"},
                            {-0.0, "j"}};
    EXPECT_EQ(json_dumps(v),
              R"({"1": "f", "1.5": "b", "NaN": "c", "Infinity": "d", "-Infinity": "e", )"
              R"("false": "j", "null": "h", "18446744073709551616": "i"})");
    EXPECT_EQ(json_dumps(Value(Mapping{{"\xC3\xA9", 1}})), R"({"\u00e9": 1})");
}

TEST(JsonDumps, ContainerKeysRaiseTypeError) {
    Mapping m;
    m.set("ok", 1);
    m.set(List{1}, 2);
    const Value v = List{Value(std::move(m))};
    EXPECT_EQ(error_of<TypeError>([&] { json_dumps(v); }),
              "keys must be str, int, float, bool or None, not list");
    Mapping d;
    d.set(Mapping{}, 1);
    EXPECT_EQ(error_of<TypeError>([&] { json_dumps(Value(std::move(d))); }),
              "keys must be str, int, float, bool or None, not dict");

    // The appending form leaves the buffer as it was.
    std::string out = "prefix";
    EXPECT_THROW(json_dumps_into(v, out), TypeError);
    EXPECT_EQ(out, "prefix");
    json_dumps_into(Value(List{1, "a"}), out);
    EXPECT_EQ(out, R"(prefix[1, "a"])");
}

TEST(JsonLoads, AcceptsWhatPythonAccepts) {
    EXPECT_EQ(json_loads(" \t\n\r-Infinity\n ").as_float(), -kInf);
    EXPECT_EQ(json_loads("1e400").as_float(), kInf);
    EXPECT_EQ(json_loads("-1E+400").as_float(), -kInf);
    const Value tiny = json_loads("-1e-400");
    EXPECT_EQ(tiny.as_float(), 0.0);
    EXPECT_TRUE(std::signbit(tiny.as_float()));
    EXPECT_TRUE(std::signbit(json_loads("-0.0").as_float()));
    EXPECT_TRUE(json_loads("-0").is_int());
    EXPECT_EQ(json_loads("2.5E-3").as_float(), 0.0025);
    EXPECT_EQ(json_loads(R"("\"\\\/\b\f\n\r\t\u00e9\u00E9")").as_text(),
              "\"\\/\b\f\n\r\t\xC3\xA9\xC3\xA9");
    // Raw non-ASCII and DEL pass through; lone surrogates survive a round trip.
    EXPECT_EQ(json_loads("\"\xC3\xA9\x7f\"").as_text(), "\xC3\xA9\x7f");
    EXPECT_EQ(json_dumps(json_loads(R"(["\ud800", "\udc00\ud83d", "\ud800\u0041"])")),
              R"(["\ud800", "\udc00\ud83d", "\ud800A"])");
    EXPECT_EQ(json_loads(R"({"a": [true, false, null], "b": {}})"),
              Value(Mapping{{"a", List{true, false, Value()}}, {"b", Mapping{}}}));
}

TEST(JsonLoads, DuplicateKeysKeepFirstPlaceAndLastValue) {
    EXPECT_EQ(json_dumps(json_loads(R"({"a": 1, "b": 2, "a": 3})")), R"({"a": 3, "b": 2})");
    // Large objects use an index for the duplicate check.
    std::string text = "{";
    for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
    text += R"("k3": "late", "k39": "last", "k0": "again"})";
    const Value v = json_loads(text);
    ASSERT_EQ(v.as_map().size(), 40u);
    EXPECT_EQ(v.as_map().items()[0].second, Value("again"));
    EXPECT_EQ(v.as_map().items()[3].second, Value("late"));
    EXPECT_EQ(v.as_map().items()[39].second, Value("last"));
}

TEST(JsonLoads, MalformedTextRaisesPythonsMessages) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Expecting value: line 1 column 1 (char 0)"},
        {" ", "Expecting value: line 1 column 2 (char 1)"},
        {"nul", "Expecting value: line 1 column 1 (char 0)"},
        {"-", "Expecting value: line 1 column 1 (char 0)"},
        {"[1,]", "Expecting value: line 1 column 4 (char 3)"},
        {"[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)"},
        {"{", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
        {"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)"},
        {"{1:2}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
        {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
        {"{\"a\": 1 \"b\"}", "Expecting ',' delimiter: line 1 column 9 (char 8)"},
        {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
        {"[\"a\\", "Unterminated string starting at: line 1 column 2 (char 1)"},
        {"\"a\\x\"", "Invalid \\escape: line 1 column 3 (char 2)"},
        {"\"\\u12\"", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
        {"\"\\u12zz\"", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
        {"\"\\ud800\\u12x4\"", "Invalid \\uXXXX escape: line 1 column 9 (char 8)"},
        {"\"\\ud800\\udc00", "Invalid \\uXXXX escape: line 1 column 9 (char 8)"},
        {"\"a\nb\"", "Invalid control character at: line 1 column 3 (char 2)"},
        {"01", "Extra data: line 1 column 2 (char 1)"},
        {"1.", "Extra data: line 1 column 2 (char 1)"},
        {"1e+ ", "Extra data: line 1 column 2 (char 1)"},
        {"{} {}", "Extra data: line 1 column 4 (char 3)"},
        {"\xEF\xBB\xBF" "1", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
        // Positions count code points and lines.
        {"[\"\xC3\xA9\xF0\x9F\x98\x80\", x]", "Expecting value: line 1 column 8 (char 7)"},
        {"[1,\n 2,\n  x]", "Expecting value: line 3 column 3 (char 10)"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(error_of<ValueError>([&] { json_loads(text); }), message) << text;
    }
}

TEST(JsonNesting, IsBoundedBothWays) {
    const std::string ok = std::string(1000, '[') + std::string(1000, ']');
    const Value v = json_loads(ok);
    EXPECT_EQ(json_dumps(v), ok);
    const std::string deep = std::string(1001, '[') + std::string(1001, ']');
    EXPECT_EQ(error_of<RuntimeError>([&] { json_loads(deep); }),
              "maximum recursion depth exceeded while decoding a JSON array from a unicode string");
    EXPECT_EQ(error_of<RuntimeError>([&] { json_loads("{\"a\": " + ok + "}"); }),
              "maximum recursion depth exceeded while decoding a JSON array from a unicode string");
    const Value deeper = Mapping{{"a", v}};
    EXPECT_EQ(error_of<RuntimeError>([&] { json_dumps_compact_sorted(deeper); }),
              "maximum recursion depth exceeded while encoding a JSON object");
}
