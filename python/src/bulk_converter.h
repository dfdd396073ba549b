#pragma once
// Python objects for many records at once. Texts that repeat across them -- mapping keys,
// function and feature names, families, universes -- become one str object each, shared by
// every place they occur, instead of a new one per occurrence.

#include <Python.h>
#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <string_view>
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
    // UTF-8 text, lone surrogates as their three-byte form.
    nb::object text(std::string_view s);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>> texts_;  // strong references
};

}  // namespace plintrove::py
