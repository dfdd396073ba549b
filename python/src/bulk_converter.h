#pragma once
// Python objects for many records at once. Texts that repeat across them -- mapping keys,
// function and feature names, families, universes -- become one str object each, shared by
// every place they occur, instead of a new one per occurrence.

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>
#include <unordered_map>

#include "plintrove/value/value.h"

namespace nb = nanobind;

namespace plintrove::py {

class BulkConverter {
public:
    BulkConverter() = default;
    ~BulkConverter();
    BulkConverter(const BulkConverter&) = delete;
    BulkConverter& operator=(const BulkConverter&) = delete;

    nb::object operator()(const Value& v);
    nb::object text(const std::string& s);

private:
    std::unordered_map<std::string, PyObject*> texts_;  // strong references
};

}  // namespace plintrove::py
