#pragma once
// Text carrying a lone surrogate from the host language, which no database stores.

#include <string>

namespace plintrove {

// A lone surrogate travels in its three-byte form (0xED 0xA0-0xBF ..), which is not UTF-8.
// Raises UnicodeEncodeError, as the host's own driver refuses it, before it can be stored.
void refuse_lone_surrogates(const std::string& text);

}  // namespace plintrove
