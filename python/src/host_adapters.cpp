#include "host_adapters.h"

#include "convert.h"
#include "errors.h"
#include "plintrove/core/errors.h"
#include "python_ref.h"

namespace plintrove::py {

PyIdentity::PyIdentity(nb::handle identity) : identity_(shared_python_ref(identity)) {}

Identity::Ids PyIdentity::read() const {
    if (!interpreter_running()) throw RuntimeError("the Python interpreter is shutting down");
    GilGuard gil;
    // Interned once, under the GIL; their hashes are cached with them.
    static PyObject* const instance_id = PyUnicode_InternFromString("instance_id");
    static PyObject* const author_id = PyUnicode_InternFromString("author_id");
    if (instance_id == nullptr || author_id == nullptr) {
        PyErr_Clear();
        throw RuntimeError("could not make the identity's attribute names");
    }
    auto attribute = [this](PyObject* name) {
        nb::object value = nb::steal(PyObject_GetAttr(object().ptr(), name));
        if (!value.is_valid()) throw nb::python_error();
        return to_value(value);
    };
    try {
        Ids ids;
        ids.instance_id = attribute(instance_id);
        ids.author_id = attribute(author_id);
        return ids;
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
