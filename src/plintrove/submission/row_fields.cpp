#include "plintrove/submission/row_fields.h"

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

[[noreturn]] void unexpected(const Value& v, std::string_view column, std::string_view wanted) {
    throw TypeError("column " + std::string(column) + " holds " + py_repr(v) + ", expected " +
                    std::string(wanted));
}

}  // namespace

std::int64_t int_field(const Value& v, std::string_view column) {
    if (v.is_int()) return v.as_int();
    if (v.is_bool()) return v.as_bool() ? 1 : 0;
    unexpected(v, column, "an integer");
}

double real_field(const Value& v, std::string_view column) {
    if (v.is_float()) return v.as_float();
    if (v.is_int()) return static_cast<double>(v.as_int());
    unexpected(v, column, "a real");
}

std::string text_field(const Value& v, std::string_view column) {
    if (v.is_text()) return v.as_text();
    unexpected(v, column, "text");
}

std::optional<std::int64_t> opt_int_field(const Value& v, std::string_view column) {
    if (v.is_none()) return std::nullopt;
    return int_field(v, column);
}

std::optional<double> opt_real_field(const Value& v, std::string_view column) {
    if (v.is_none()) return std::nullopt;
    return real_field(v, column);
}

std::optional<std::string> opt_text_field(const Value& v, std::string_view column) {
    if (v.is_none()) return std::nullopt;
    return text_field(v, column);
}

}  // namespace plintrove
