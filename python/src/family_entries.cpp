#include "family_entries.h"

namespace plintrove::py {

Value families_for(nb::handle families, const List* names) {
    if (names == nullptr || !PyDict_CheckExact(families.ptr()) ||
        PyDict_GET_SIZE(families.ptr()) == 0) {
        return to_value(families);
    }
    Mapping used;
    for (const Value& name : *names) {
        if (used.find(name) != nullptr) continue;
        nb::object key = from_value(name);
        PyObject* entry = PyDict_GetItemWithError(families.ptr(), key.ptr());
        if (entry == nullptr) {
            // An unhashable name finds no entry, as in the whole table converted.
            if (PyErr_Occurred()) PyErr_Clear();
            continue;
        }
        nb::object held = nb::borrow(entry);
        used.set(name, to_value(held));
    }
    return Value(std::move(used));
}

}  // namespace plintrove::py
