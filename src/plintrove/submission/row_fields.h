#pragma once
// Reading the key and type columns of a submission row, which the tables themselves fix
// (an integer row key, a literal type). A column whose stored kind cannot fill the field
// raises TypeError naming the column, so a bad row is reported instead of read as zero.

#include <cstdint>
#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

std::int64_t int_field(const Value& v, std::string_view column);
std::string text_field(const Value& v, std::string_view column);

}  // namespace plintrove
