#pragma once
// The "?" list of a statement: one placeholder per bound value.

#include <cstddef>
#include <string>
#include <string_view>

namespace plintrove {

// n "?"s joined by `separator` ("," or ", ", as each statement's text has it).
inline std::string placeholder_list(std::size_t n, std::string_view separator) {
    std::string out;
    out.reserve(n * (1 + separator.size()));
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += separator;
        out += '?';
    }
    return out;
}

}  // namespace plintrove
