#pragma once
// Reading the columns of a submission row into the typed fields of its record. A column
// whose stored kind cannot fill the field raises TypeError naming the column, so a bad row
// is reported instead of silently read as zero.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

std::int64_t int_field(const Value& v, std::string_view column);
double real_field(const Value& v, std::string_view column);
std::string text_field(const Value& v, std::string_view column);
std::optional<std::int64_t> opt_int_field(const Value& v, std::string_view column);
std::optional<double> opt_real_field(const Value& v, std::string_view column);
std::optional<std::string> opt_text_field(const Value& v, std::string_view column);

}  // namespace plintrove
