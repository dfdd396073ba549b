#pragma once
// Python's str.isprintable() for one code point, as repr() uses it to decide what to escape.

namespace plintrove {

// False for categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs other than the ASCII space.
bool py_is_printable(char32_t cp);

}  // namespace plintrove
