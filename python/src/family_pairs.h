#pragma once
// Family entries that are a pair of plain texts, converted once and shared. A host's family
// tables repeat the same few hundred (family, subfamily) pairs in every evaluation, so each
// item takes a reference to a list already made instead of building and later freeing its own.

#include <Python.h>

#include "plintrove/value/value.h"

namespace plintrove::py {

// The entry as a list of its two texts, valid until the next call, or null when it is not a
// list or tuple of exactly two plain ASCII str (the others convert as before). Shared lists
// are never changed, and their owners may drop them on any thread. GIL held: it orders every
// use of the store.
const Value* shared_family_pair(PyObject* entry);

}  // namespace plintrove::py
