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

std::string text_field(const Value& v, std::string_view column) {
    if (v.is_text()) return v.as_text();
    unexpected(v, column, "text");
}

}  // namespace plintrove
