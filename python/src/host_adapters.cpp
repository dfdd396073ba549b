#include "host_adapters.h"

#include "convert.h"
#include "errors.h"
#include "plintrove/core/errors.h"
#include "python_ref.h"

namespace plintrove::py {

PyIdentity::PyIdentity(nb::handle identity) : identity_(shared_python_ref(identity)) {}

Value PyIdentity::instance_id() const { return read("instance_id"); }

Value PyIdentity::author_id() const { return read("author_id"); }

Value PyIdentity::read(const char* attribute) const {
    if (!interpreter_running()) throw RuntimeError("the Python interpreter is shutting down");
    GilGuard gil;
    try {
        return to_value(nb::getattr(object(), attribute));
    } catch (nb::python_error& e) {
        rethrow_python_error(e);
    }
}

std::shared_ptr<Identity> identity_from(nb::handle identity) {
    if (identity.is_none()) return nullptr;
    return std::make_shared<PyIdentity>(identity);
}

nb::object identity_object(const std::shared_ptr<Identity>& identity) {
    if (auto* adapted = dynamic_cast<const PyIdentity*>(identity.get()))
        return nb::borrow(adapted->object());
    return nb::none();
}

}  // namespace plintrove::py
