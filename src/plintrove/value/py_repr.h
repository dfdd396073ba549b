#pragma once
// Python's repr() and str() of a Value, for the quoted forms inside messages.

#include <string>
#include <string_view>

#include "plintrove/value/value.h"

namespace plintrove {

// repr(v): 'text' (Python's quote choice and escapes), None, True, 12, 1.5, [..], {..}.
std::string py_repr(const Value& v);
std::string py_repr(std::string_view text);

// str(v): text unchanged, everything else as repr().
std::string py_str(const Value& v);

// repr()/str() of a float, e.g. 1.0, 1e-05, 1e+16, nan, inf.
std::string py_float_repr(double d);
void py_float_repr_into(double d, std::string& out);

}  // namespace plintrove
