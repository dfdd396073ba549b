#pragma once
// JSON text in exactly the forms Python's json module writes and reads.

#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

// json.dumps(v): ", " and ": " separators, keys in order, ensure_ascii,
// NaN/Infinity/-Infinity, floats as repr(). Raises TypeError for keys JSON cannot hold.
std::string json_dumps(const Value& v);
void json_dumps_into(const Value& v, std::string& out);

// json.dumps(v, sort_keys=True, separators=(",", ":"), allow_nan=False).
// Raises ValueError("Out of range float values are not JSON compliant") on NaN/inf and
// TypeError when keys cannot be compared or encoded, as Python does.
std::string json_dumps_compact_sorted(const Value& v);

// json.loads(text): accepts all that Python accepts (NaN, Infinity, -Infinity, big
// integers, duplicate keys with the last value winning in the first key's place).
// Raises ValueError with Python's JSONDecodeError message on malformed text.
Value json_loads(std::string_view text);

// The JSON string literal of `text` with ensure_ascii escaping (surrounding quotes included).
std::string json_quote(std::string_view text);

}  // namespace plintrove
