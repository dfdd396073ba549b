#include "plintrove/storage/postgres_column_types.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include <sqlite3.h>

#include "plintrove/core/schema.h"

namespace plintrove {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

using TypeMap = std::unordered_map<std::string, PostgresColumnType>;

// The "    name TYPE ..." lines of the table statements; table constraints have no type.
TypeMap schema_column_types() {
    TypeMap types;
    TypeMap conflicting;
    for (std::string_view ddl : kSchemaDdls) {
        std::size_t line = ddl.find('\n');
        while (line != std::string_view::npos) {
            const std::size_t next = ddl.find('\n', line + 1);
            std::string_view text = ddl.substr(
                line + 1, next == std::string_view::npos ? std::string_view::npos : next - line - 1);
            line = next;
            while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
            const std::size_t space = text.find(' ');
            if (space == std::string_view::npos) continue;
            std::string_view type = text.substr(space + 1);
            type = type.substr(0, type.find_first_of(" ,"));
            const PostgresColumnType column_type = type == "INTEGER" ? PostgresColumnType::Integer
                                           : type == "REAL"  ? PostgresColumnType::Real
                                           : type == "TEXT"  ? PostgresColumnType::Text
                                                             : PostgresColumnType::Unknown;
            if (column_type == PostgresColumnType::Unknown) continue;
            auto [it, added] = types.emplace(std::string(text.substr(0, space)), column_type);
            if (!added && it->second != column_type) conflicting.insert(*it);
        }
    }
    for (const auto& [name, type] : conflicting) types[name] = PostgresColumnType::Unknown;
    return types;
}

// The text of a number without the blanks around it and a leading "+".
std::string_view number_part(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.starts_with('+')) text.remove_prefix(1);
    return text;
}

// A number as SQLite reads one from text: blanks around, an optional sign, decimal digits
// with an optional point and exponent. Not "nan" or "inf", which SQLite keeps as text.
std::optional<double> numeric_text(std::string_view text) {
    text = number_part(text);
    const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty() ||
        !(std::isdigit(static_cast<unsigned char>(digits.front())) || digits.front() == '.'))
        return std::nullopt;
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return d;
}

std::optional<std::int64_t> integral(double d) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d)
        return std::nullopt;
    return static_cast<std::int64_t>(d);
}

// Integer text, or numeric text naming an integer ("2.0", "1e3"); digits beyond a double's
// precision are read as the integer they spell.
std::optional<std::int64_t> integer_text(std::string_view text) {
    const std::string_view number = number_part(text);
    std::int64_t n = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (ec == std::errc() && end == number.data() + number.size()) return n;
    std::optional<double> d = numeric_text(text);
    return d ? integral(*d) : std::nullopt;
}

template <typename T>
std::string number_text(T x) {
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, x).ptr);
}

// A real number as SQLite writes it into a text column (its own format, 15 digits).
std::string sqlite_real_text(double d) {
    char buffer[40];
    sqlite3_snprintf(sizeof buffer, buffer, "%!.15g", d);
    return buffer;
}

ColumnValue refused(std::string what, PostgresColumnType type) {
    return {ColumnValue::Form::Refused,
            std::move(what) + " in a " + postgres_type_name(type) + " column"};
}

std::string described(const std::string& text) {
    constexpr std::size_t kShown = 40;
    return "the text '" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "'";
}

}  // namespace

PostgresColumnType postgres_column_type(std::string_view column) {
    static const TypeMap types = schema_column_types();
    auto found = types.find(std::string(column));
    return found == types.end() ? PostgresColumnType::Unknown : found->second;
}

const char* postgres_type_name(PostgresColumnType type) {
    switch (type) {
        case PostgresColumnType::Integer: return "bigint";
        case PostgresColumnType::Real: return "double precision";
        case PostgresColumnType::Text: return "text";
        case PostgresColumnType::Unknown: break;
    }
    return "unknown";
}

ColumnValue postgres_column_value(const Value& value, PostgresColumnType type) {
    switch (type) {
        case PostgresColumnType::Text:
            if (value.is_bool()) return {ColumnValue::Form::Text, value.as_bool() ? "1" : "0"};
            if (value.is_int()) return {ColumnValue::Form::Text, number_text(value.as_int())};
            // NaN stays as it is: it binds as NULL, as SQLite stores it.
            if (value.is_float() && !std::isnan(value.as_float()))
                return {ColumnValue::Form::Text, sqlite_real_text(value.as_float())};
            return {};
        case PostgresColumnType::Integer:
            if (value.is_float()) {
                if (std::optional<std::int64_t> n = integral(value.as_float()))
                    return {ColumnValue::Form::Text, number_text(*n)};
                return refused("the real number " + number_text(value.as_float()), type);
            }
            if (value.is_text()) {
                if (std::optional<std::int64_t> n = integer_text(value.as_text()))
                    return {ColumnValue::Form::Text, number_text(*n)};
                return refused(described(value.as_text()), type);
            }
            return {};
        case PostgresColumnType::Real:
            if (value.is_text()) {
                std::optional<double> d = numeric_text(value.as_text());
                if (d && std::isfinite(*d)) return {ColumnValue::Form::Text, number_text(*d)};
                return refused(described(value.as_text()), type);
            }
            return {};
        case PostgresColumnType::Unknown: break;
    }
    return {};
}

}  // namespace plintrove
