#pragma once
// The built-in describer of stored submission statuses and rejection/failure reasons.
// A host may substitute its own; this one gives a readable sentence ("rendered") and a
// stable snake_case token ("machine") for any text.

#include <array>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

inline constexpr std::array<std::string_view, 3> kReasonKinds{"status", "rejection_reason",
                                                              "failure_reason"};

// {"rendered": sentence, "machine": token}. Raises ValueError for a kind outside
// kReasonKinds.
Value describe_reason(std::string_view text, std::string_view kind);

// The token alone: the words joined by "_", ASCII letters in lower case. Numbers are dropped so that a
// reason carrying a measured value maps to one token whatever the value; a text of
// numbers only keeps them, and a text without any word gives "unknown".
std::string reason_machine_token(std::string_view text);

}  // namespace plintrove
