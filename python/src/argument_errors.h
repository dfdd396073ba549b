#pragma once
// Calls that do not fit a bound function's parameters (a misspelt keyword, too many or too
// few arguments) fail with the one-line TypeError Python gives for its own functions,
// instead of nanobind's listing of every overload.

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace plintrove::py {

// Applies to every nanobind function of the module and of its classes; call once, after
// everything is bound.
void use_plain_argument_errors(nb::module_& m);

}  // namespace plintrove::py
