#pragma once
// A method that inspect can read. nanobind functions take no attributes and carry no
// __text_signature__, so inspect.signature fails on them; a signed method forwards every
// call unchanged (no Python frame: log records and tracebacks keep the caller's) to the
// function it wraps, binds like a Python function (tracker.m is a method object over it),
// and keeps an attribute dict where plintrove._signatures puts __signature__, __doc__ and
// the names.

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace plintrove::py {

// Adds the type to the module as `_SignedMethod`: _SignedMethod(function).
void bind_signed_method(nb::module_& m);

}  // namespace plintrove::py
