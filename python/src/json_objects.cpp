#include "json_objects.h"

#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/value/json_reader.h"

namespace plintrove::py {

namespace {

nb::object checked_new(PyObject* obj) {
    if (obj == nullptr) throw nb::python_error();
    return nb::steal(obj);
}

}  // namespace

nb::object JsonObjects::operator()(std::string_view text) {
    const std::size_t mark = items_.size();
    try {
        return json_read(text, *this);
    } catch (...) {
        items_.resize(mark);
        throw;
    }
}

nb::object JsonObjects::mapping_or_null(std::string_view text) {
    const std::size_t mark = items_.size();
    nb::object decoded;
    try {
        decoded = json_read(text, *this);
    } catch (const Error&) {
        items_.resize(mark);
        return {};
    } catch (nb::python_error& e) {
        items_.resize(mark);
        // Where json.loads itself raises: int() beyond the host's limit on digits.
        if (!e.matches(PyExc_ValueError)) throw;
        return {};
    } catch (...) {
        items_.resize(mark);
        throw;
    }
    return PyDict_Check(decoded.ptr()) ? decoded : nb::object();
}

nb::object JsonObjects::integer(std::int64_t i) { return checked_new(PyLong_FromLongLong(i)); }

nb::object JsonObjects::big_integer(std::string_view digits) {
    // int() of the text, with the host's limit on digits.
    return checked_new(PyLong_FromString(std::string(digits).c_str(), nullptr, 10));
}

nb::object JsonObjects::real(double d) { return checked_new(PyFloat_FromDouble(d)); }

nb::object JsonObjects::end_list(std::size_t start) {
    const std::size_t n = items_.size() - start;
    nb::object list = checked_new(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), items_[start + i].release().ptr());
    items_.resize(start);
    return list;
}

nb::object JsonObjects::begin_map() { return checked_new(PyDict_New()); }

void JsonObjects::add_member(nb::object& map, std::string_view key, nb::object&& value) {
    // A repeated key keeps its first place and takes the last value, as in json.loads.
    if (PyDict_SetItem(map.ptr(), texts_.text(key).ptr(), value.ptr()) < 0) throw nb::python_error();
}

}  // namespace plintrove::py
