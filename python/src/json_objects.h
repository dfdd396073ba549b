#pragma once
// Python objects straight from JSON text, exactly as json.loads(text) gives them, with no
// library Values in between. The grammar is the library's own reader, so what is accepted
// and every error message are those of json_loads; texts come from a BulkConverter, so
// keys and short texts repeated across many documents are one str object each.

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "bulk_converter.h"

namespace nb = nanobind;

namespace plintrove::py {

class JsonObjects {
public:
    explicit JsonObjects(BulkConverter& texts) : texts_(texts) {}

    // json.loads(text); malformed text and deep nesting raise the library's errors.
    nb::object operator()(std::string_view text);
    // The mapping a text holding a JSON object decodes to; an invalid object when the text
    // is not JSON or holds another kind of value.
    nb::object mapping_or_null(std::string_view text);

    // The builder JsonReader drives.
    using Result = nb::object;
    using ListParts = std::size_t;  // where the list's items start on the item stack
    using MapParts = nb::object;
    nb::object null() { return nb::none(); }
    nb::object boolean(bool b) { return nb::borrow(b ? Py_True : Py_False); }
    nb::object integer(std::int64_t i);
    nb::object big_integer(std::string_view digits);
    nb::object real(double d);
    nb::object text(std::string_view s) { return texts_.text(s); }
    std::size_t begin_list() { return items_.size(); }
    void add_item(std::size_t, nb::object&& item) { items_.push_back(std::move(item)); }
    nb::object end_list(std::size_t start);
    nb::object begin_map();
    void add_member(nb::object& map, std::string_view key, nb::object&& value);
    nb::object end_map(nb::object& map) { return std::move(map); }

private:
    BulkConverter& texts_;
    // Items of the lists being read, innermost last: each list is made at its full size.
    std::vector<nb::object> items_;
};

}  // namespace plintrove::py
