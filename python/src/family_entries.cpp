#include "family_entries.h"

#include "family_pairs.h"

#include <array>
#include <utility>
#include <vector>

namespace plintrove::py {

namespace {

// An entry as to_value converts it. The usual one, a pair of plain texts (or None), is
// converted without the general walk: reading those runs no host code, so the entry cannot
// change on the way.
Value entry_value(PyObject* entry) {
    if (const Value* shared = shared_family_pair(entry)) return *shared;
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

// Python's == of two names; texts, the usual names, are compared as bytes directly.
bool same_name(const Value& a, const Value& b) {
    if (a.is_text() && b.is_text()) return a.as_text() == b.as_text();
    return a == b;
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
    // The hash of each used name: equal names hash alike, so only names of the same hash are
    // compared, and hashing the lookup's own keys runs no host code. A graph's handful of
    // names keeps them on the stack.
    std::array<Py_hash_t, 16> few_hashes;
    std::vector<Py_hash_t> many_hashes;
    Py_hash_t* used_hashes = few_hashes.data();
    if (names->size() > few_hashes.size()) {
        many_hashes.resize(names->size());
        used_hashes = many_hashes.data();
    }
    for (std::size_t i = 0; i < names->size(); ++i) {
        const Value& name = (*names)[i];
        // Any other object is looked up as the name it converted to, as the whole table
        // converted would be searched.
        PyObject* own = name_objects != nullptr ? (*name_objects)[i].ptr() : nullptr;
        nb::object key = own != nullptr && PyUnicode_CheckExact(own) ? nb::borrow(own)
                                                                      : from_value(name);
        const Py_hash_t hash = PyObject_Hash(key.ptr());
        if (hash == -1) {
            // An unhashable name finds no entry, as in the whole table converted.
            PyErr_Clear();
            continue;
        }
        bool seen = false;
        for (std::size_t j = 0; j < used.size() && !seen; ++j) {
            seen = used_hashes[j] == hash && same_name(used[j].first, name);
        }
        if (seen) continue;
        PyObject* entry = PyDict_GetItemWithError(families.ptr(), key.ptr());
        if (entry == nullptr) {
            if (PyErr_Occurred()) PyErr_Clear();
            continue;
        }
        nb::object held = nb::borrow(entry);
        used_hashes[used.size()] = hash;
        used.emplace_back(name, entry_value(entry));
    }
    return Value(Mapping::from_unique_items(std::move(used)));
}

}  // namespace plintrove::py
