#pragma once
// Python objects seen through the library's host interfaces (core/host.h). The writer's
// queue and status adapters live in writer_adapters.h.

#include <nanobind/nanobind.h>

#include <memory>

#include "plintrove/core/host.h"

namespace nb = nanobind;

namespace plintrove::py {

// Any object with readable `instance_id` and `author_id`. Both are read at every call,
// under the GIL, so the host may change them between writes.
class PyIdentity final : public Identity {
public:
    explicit PyIdentity(nb::handle identity);  // GIL held
    Ids read() const override;
    nb::handle object() const { return identity_.get(); }

private:
    std::shared_ptr<PyObject> identity_;
};

// The identity to attach for a Python argument; none for None. GIL held.
std::shared_ptr<Identity> identity_from(nb::handle identity);
// The very object attached, or None. GIL held.
nb::object identity_object(const std::shared_ptr<Identity>& identity);

}  // namespace plintrove::py
