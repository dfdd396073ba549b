#pragma once
// The Python object of a tracker's connection (tracker._conn).

#include <nanobind/nanobind.h>

#include <memory>

#include "plintrove/storage/conn_wrapper.h"

namespace nb = nanobind;

namespace plintrove::py {

// A new Python object for `conn`, with the state a replacement of execute, commit or
// close relies on. The tracker keeps it for its lifetime. GIL held.
nb::object connection_object(const std::shared_ptr<ConnWrapper>& conn);

}  // namespace plintrove::py
