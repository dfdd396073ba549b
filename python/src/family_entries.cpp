#include "family_entries.h"

#include <utility>

namespace plintrove::py {

namespace {

// An entry as to_value converts it. The usual one, a pair of plain texts (or None), is
// converted without the general walk: reading those runs no host code, so the entry cannot
// change on the way.
Value entry_value(PyObject* entry) {
    if (!PyList_CheckExact(entry) && !PyTuple_CheckExact(entry)) return to_value(entry);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(entry);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(entry, i);
        if (!PyUnicode_CheckExact(item) && item != Py_None) return to_value(entry);
    }
    List items;
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        items.push_back(to_value(PySequence_Fast_GET_ITEM(entry, i)));
    }
    return Value(std::move(items));
}

}  // namespace

Value families_for(nb::handle families, const List* names,
                   const std::vector<nb::object>* name_objects) {
    if (names == nullptr || !PyDict_CheckExact(families.ptr()) ||
        PyDict_GET_SIZE(families.ptr()) == 0) {
        return to_value(families);
    }
    std::vector<Mapping::Item> used;
    used.reserve(names->size());
    for (std::size_t i = 0; i < names->size(); ++i) {
        const Value& name = (*names)[i];
        bool seen = false;
        for (const Mapping::Item& item : used) seen = seen || item.first == name;
        if (seen) continue;
        // Any other object is looked up as the name it converted to, as the whole table
        // converted would be searched.
        PyObject* own = name_objects != nullptr ? (*name_objects)[i].ptr() : nullptr;
        nb::object key = own != nullptr && PyUnicode_CheckExact(own) ? nb::borrow(own)
                                                                      : from_value(name);
        PyObject* entry = PyDict_GetItemWithError(families.ptr(), key.ptr());
        if (entry == nullptr) {
            // An unhashable name finds no entry, as in the whole table converted.
            if (PyErr_Occurred()) PyErr_Clear();
            continue;
        }
        nb::object held = nb::borrow(entry);
        used.emplace_back(name, entry_value(entry));
    }
    return Value(Mapping::from_unique_items(std::move(used)));
}

}  // namespace plintrove::py
