#include "plintrove/submission/sim_parent.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/storage/insert_statement.h"
#include "plintrove/submission/wall_clock.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// int(text) in base 10: surrounding blanks, an optional sign, digits with single
// underscores between them.
Value int_from_text(const std::string& text) {
    auto invalid = [&] {
        return ValueError("invalid literal for int() with base 10: " + py_repr(Value(text)));
    };
    std::size_t begin = 0, end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    bool negative = false;
    if (begin < end && (text[begin] == '+' || text[begin] == '-')) {
        negative = text[begin] == '-';
        ++begin;
    }
    std::string digits;
    bool previous_digit = false;
    for (std::size_t i = begin; i < end; ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
            previous_digit = true;
        } else if (c == '_' && previous_digit && i + 1 < end && text[i + 1] >= '0' &&
                   text[i + 1] <= '9') {
            previous_digit = false;
        } else {
            throw invalid();
        }
    }
    if (digits.empty()) throw invalid();
    std::size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    if (digits.size() < 19 || (digits.size() == 19 && digits <= "9223372036854775807")) {
        std::int64_t magnitude = std::stoll(digits);
        return Value(negative ? -magnitude : magnitude);
    }
    if (negative && digits == "9223372036854775808") return Value(INT64_MIN);
    return Value(BigInt{(negative ? "-" : "") + digits});
}

Value int_from_float(double d) {
    if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw ValueError("cannot convert float infinity to integer");
    double truncated = std::trunc(d);
    if (truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0) {
        return Value(static_cast<std::int64_t>(truncated));
    }
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.0f", truncated);
    return Value(BigInt{buffer});
}

}  // namespace

Value python_int(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool: return Value(static_cast<std::int64_t>(value.as_bool()));
        case Value::Kind::Int:
        case Value::Kind::BigInt: return value;
        case Value::Kind::Float: return int_from_float(value.as_float());
        case Value::Kind::Text: return int_from_text(value.as_text());
        default:
            throw TypeError(
                std::string("int() argument must be a string, a bytes-like object or a real "
                            "number, not '") +
                py_type_name(value) + "'");
    }
}

std::string synthetic_submission_sim_id(const Value& eval_id, const Value& eval_type) {
    return "search-" + py_str(eval_type) + "-" + py_str(eval_id);
}

void ensure_submission_sim_parent(Connection& conn, const Value& sim_id, const Value& era_id) {
    if (!sim_id.truthy()) throw ValueError("sim_id must not be empty");
    if (conn.execute("SELECT 1 FROM sims WHERE id=?", {sim_id}).fetchone()) return;

    static const std::string insert_sql =
        insert_statement("INSERT INTO ", "sims",
                         std::vector<std::string>(kSimInsertColumns.begin(),
                                                  kSimInsertColumns.end())) +
        " ON CONFLICT(id) DO NOTHING";
    Value era = era_id.is_none() ? Value() : python_int(era_id);
    conn.execute(insert_sql, {sim_id, Value("{}"), era, Value(0), Value(), Value("unknown"),
                              Value("[]"), Value("{}"), Value("{}"), Value("unknown"),
                              Value("{}"), Value("submitted"), Value(0.0),
                              Value(wall_clock_now()), Value(), Value(), Value(), Value()});
}

}  // namespace plintrove
