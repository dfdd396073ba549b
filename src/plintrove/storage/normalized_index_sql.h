#pragma once
// A comparable form of an index definition, for callers that check stored index SQL.

#include <optional>
#include <string>
#include <string_view>

namespace plintrove {

// Trimmed, every whitespace run made one blank, upper case (ASCII); none gives "".
std::string normalized_index_sql(std::optional<std::string_view> sql);

}  // namespace plintrove
