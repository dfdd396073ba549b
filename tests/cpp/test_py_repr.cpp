#include <gtest/gtest.h>

#include <limits>

#include "plintrove/value/py_repr.h"

using namespace plintrove;

TEST(PyRepr, TextPicksPythonsQuotes) {
    EXPECT_EQ(py_repr(std::string_view("pool_a")), "'pool_a'");
    EXPECT_EQ(py_repr(std::string_view("")), "''");
    EXPECT_EQ(py_repr(std::string_view("it's")), "\"it's\"");
    EXPECT_EQ(py_repr(std::string_view("say \"hi\"")), "'say \"hi\"'");
    EXPECT_EQ(py_repr(std::string_view("both ' and \"")), "'both \\' and \"'");
    EXPECT_EQ(py_repr(Value("a\\b")), "'a\\\\b'");
}

TEST(PyRepr, TextEscapesWhatPythonCannotPrint) {
    // Python: repr('\x00\t\n\r\x1f\x7f\x85\xa0\xad') and the wider non-printables.
    EXPECT_EQ(py_repr(std::string_view("\x00\t\n\r\x1f\x7f", 6)), "'\\x00\\t\\n\\r\\x1f\\x7f'");
    EXPECT_EQ(py_repr(std::string_view("\xC2\x85\xC2\xA0\xC2\xAD")), "'\\x85\\xa0\\xad'");
    EXPECT_EQ(py_repr(std::string_view("\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\x8B\xEF\xBB\xBF")),
              "'\\u2028\\u2029\\u200b\\ufeff'");
    EXPECT_EQ(py_repr(std::string_view("\xCD\xB8")), "'\\u0378'");  // unassigned
    EXPECT_EQ(py_repr(std::string_view("\xED\xA0\x80")), "'\\ud800'");  // lone surrogate
    EXPECT_EQ(py_repr(std::string_view("\xF3\xA0\x80\x81\xF3\xB0\x80\x80")),
              "'\\U000e0001\\U000f0000'");
    // Printable non-ASCII stays as it is.
    EXPECT_EQ(py_repr(std::string_view("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xC2\xA1")),
              "'\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xC2\xA1'");
}

TEST(PyRepr, FloatsMatchPython) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(py_float_repr(nan), "nan");
    EXPECT_EQ(py_float_repr(inf), "inf");
    EXPECT_EQ(py_float_repr(-inf), "-inf");
    EXPECT_EQ(py_float_repr(1.0), "1.0");
    EXPECT_EQ(py_float_repr(-0.0), "-0.0");
    EXPECT_EQ(py_float_repr(1e-5), "1e-05");
    EXPECT_EQ(py_float_repr(1e16), "1e+16");
    EXPECT_EQ(py_float_repr(0.1 + 0.2), "0.30000000000000004");
    std::string out = "x=";
    py_float_repr_into(2.5, out);
    EXPECT_EQ(out, "x=2.5");
}

TEST(PyRepr, ValuesAndContainers) {
    EXPECT_EQ(py_repr(Value()), "None");
    EXPECT_EQ(py_repr(Value(true)), "True");
    EXPECT_EQ(py_repr(Value(false)), "False");
    EXPECT_EQ(py_repr(Value(-12)), "-12");
    EXPECT_EQ(py_repr(Value(BigInt{"-1180591620717411303424"})), "-1180591620717411303424");
    EXPECT_EQ(py_repr(Value(List{})), "[]");
    EXPECT_EQ(py_repr(Value(Mapping{})), "{}");
    EXPECT_EQ(py_repr(Value(List{1, "a"})), "[1, 'a']");
    const Value m = Mapping{{"a", 1}, {2, Value()}, {1.5, List{true, "it's", 1e-5}}};
    EXPECT_EQ(py_repr(m), "{'a': 1, 2: None, 1.5: [True, \"it's\", 1e-05]}");
}

TEST(PyStr, TextIsUnquotedOthersAreRepr) {
    EXPECT_EQ(py_str(Value("it's\n")), "it's\n");
    EXPECT_EQ(py_str(Value()), "None");
    EXPECT_EQ(py_str(Value(1e16)), "1e+16");
    EXPECT_EQ(py_str(Value(List{"a"})), "['a']");
}
