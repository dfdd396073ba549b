#pragma once
// Conversions from stored column values (as the connection returns them) to record fields.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/value/json.h"
#include "plintrove/value/py_repr.h"
#include "plintrove/value/value.h"

namespace plintrove::rows {

// Integers as stored; PostgreSQL aggregates may arrive as reals. NULL counts as 0.
inline std::int64_t to_int(const Value& v) {
    if (v.is_int()) return v.as_int();
    if (v.is_float()) return static_cast<std::int64_t>(std::trunc(v.as_float()));
    if (v.is_bool()) return v.as_bool() ? 1 : 0;
    return 0;
}

inline double to_real(const Value& v) {
    if (v.is_float()) return v.as_float();
    if (v.is_int()) return static_cast<double>(v.as_int());
    if (v.is_bool()) return v.as_bool() ? 1.0 : 0.0;
    return 0.0;
}

inline std::string to_text(const Value& v) {
    if (v.is_none()) return {};
    return py_str(v);
}

inline std::optional<std::string> to_opt_text(const Value& v) {
    if (v.is_none()) return std::nullopt;
    return py_str(v);
}

// The text of a JSON column, or none when it is NULL or the empty text (the column's
// fallback applies). A stored number raises what json.loads raises for one.
inline const std::string* json_column_text(const Value& v) {
    if (v.is_none()) return nullptr;
    if (!v.is_text()) {
        throw TypeError(std::string("the JSON object must be str, bytes or bytearray, not ") +
                        (v.is_int() ? "int" : "float"));
    }
    return v.as_text().empty() ? nullptr : &v.as_text();
}

// A JSON column: decoded when present and not the empty text, else `fallback`. A stored
// text that does not parse raises the decoder's error, failing the whole read.
inline Value json_column(const Value& v, Value fallback = Value()) {
    const std::string* text = json_column_text(v);
    return text ? json_loads(*text) : fallback;
}

}  // namespace plintrove::rows
