#pragma once
// Tolerant decoding of the stored failure_detail column.

#include "plintrove/value/value.h"

namespace plintrove {

// A text holding a JSON object gives the mapping; any other value (None, the empty text, a
// text that is not JSON or holds another JSON kind, a non-text value) comes back unchanged.
// Never raises on malformed content.
Value failure_detail_from_storage(const Value& value);

}  // namespace plintrove
