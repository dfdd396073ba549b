#pragma once
// JSON text in exactly the forms Python's json module writes and reads. Both directions are
// our own code: the writer must match json.dumps byte for byte, and the decoder follows
// json.loads's acceptance rules and messages (big integers, NaN, duplicate keys), which a
// small dedicated parser gets right more simply than a general JSON library.

#include <array>
#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

// Containers nested deeper than this raise, as Python's recursion limit would, instead of
// exhausting the C++ stack.
constexpr int kMaxJsonDepth = 1000;

// json.dumps(v): ", " and ": " separators, keys in order, ensure_ascii,
// NaN/Infinity/-Infinity, floats as repr(). Raises TypeError for keys JSON cannot hold, and
// RecursionError for containers nested more than 1000 deep.
std::string json_dumps(const Value& v);
// Appends to `out`; on an error `out` is left as it was.
void json_dumps_into(const Value& v, std::string& out);

// json.dumps(v, separators=(",", ":")): keys in their order, ASCII only. Appends to `out`.
void json_dumps_compact_into(const Value& v, std::string& out);

// json.dumps(v, sort_keys=True, separators=(",", ":"), allow_nan=False).
// Raises ValueError("Out of range float values are not JSON compliant") on NaN/inf and
// TypeError when keys cannot be compared or encoded, as Python does.
std::string json_dumps_compact_sorted(const Value& v);

// json.loads(text): accepts all that Python accepts (NaN, Infinity, -Infinity, big
// integers, duplicate keys with the last value winning in the first key's place).
// Raises ValueError with Python's JSONDecodeError message on malformed text, and
// RecursionError for containers nested more than 1000 deep.
Value json_loads(std::string_view text);

// The JSON string literal of `text` with ensure_ascii escaping (surrounding quotes included).
std::string json_quote(std::string_view text);
// The same, appended to `out`.
void json_quote_into(std::string_view text, std::string& out);

namespace json_detail {
// Bytes that a JSON string written with ensure_ascii carries unchanged.
inline constexpr std::array<bool, 256> kAsciiPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7F; ++c) t[c] = c != '"' && c != '\\';
    return t;
}();
}  // namespace json_detail

// How many of the first bytes of `text` its string literal carries unescaped.
inline std::size_t json_plain_prefix(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && json_detail::kAsciiPlain[static_cast<unsigned char>(text[n])]) ++n;
    return n;
}
// A mapping key as json.dumps writes it: text quoted, other scalars as their quoted JSON
// spelling. Raises TypeError for a container, as json.dumps would.
void json_key_into(const Value& key, std::string& out);

}  // namespace plintrove
