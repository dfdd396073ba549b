#pragma once
// The types of the tracker's columns on PostgreSQL, and what a bound value becomes there.
// SQLite converts a value to its column's type where it can (the text "12" in an INTEGER
// column is stored as 12, the integer 5 in a TEXT column as "5") and keeps it unchanged
// where it cannot; a PostgreSQL column holds its own type alone and the server refuses the
// rest. Values are converted as SQLite converts them and the others refused before anything
// is sent, so an operation of several statements never fails halfway on one.

#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

enum class PostgresColumnType { Unknown, Integer, Real, Text };

// The type of a column of the tracker's tables, by name; Unknown for a name they lack or
// give different types.
PostgresColumnType postgres_column_type(std::string_view column);

// The server's name of the type ("bigint", "double precision", "text").
const char* postgres_type_name(PostgresColumnType type);

struct ColumnValue {
    enum class Form {
        AsIs,     // sent as it is
        Text,     // `text` sent instead, for the server to read as the column's type
        Refused,  // the column cannot hold it; `text` says why
    } form = Form::AsIs;
    std::string text;
};

// `value` bound to a column of `type`: numbers in text columns as the text SQLite stores,
// numeric text and integral reals in integer columns as integers, numeric text in real
// columns as reals.
ColumnValue postgres_column_value(const Value& value, PostgresColumnType type);

// True when the value goes to the column as it is, the common case, decided without a call.
inline bool postgres_column_takes(const Value& value, PostgresColumnType type) {
    switch (value.kind()) {
        case Value::Kind::None: return true;
        case Value::Kind::Int: return type != PostgresColumnType::Text;
        case Value::Kind::Float: return type == PostgresColumnType::Real || type == PostgresColumnType::Unknown;
        case Value::Kind::Text:
            return type == PostgresColumnType::Text || type == PostgresColumnType::Unknown;
        default: return type == PostgresColumnType::Unknown;
    }
}

}  // namespace plintrove
