#include "bulk_converter.h"

namespace plintrove::py {

namespace {

// Longer texts rarely repeat, and keeping them would hold on to memory for nothing.
constexpr std::size_t kSharedTextLimit = 64;

nb::object checked_new(PyObject* obj) {
    if (obj == nullptr) throw nb::python_error();
    return nb::steal(obj);
}

nb::object new_text(std::string_view s) {
    return checked_new(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

}  // namespace

BulkConverter::~BulkConverter() {
    for (auto& [text, obj] : texts_) Py_DECREF(obj);
}

nb::object BulkConverter::text(std::string_view s) {
    if (s.size() > kSharedTextLimit) return new_text(s);
    auto found = texts_.find(s);
    if (found != texts_.end()) return nb::borrow(found->second);
    nb::object obj = new_text(s);
    texts_.emplace(std::string(s), obj.inc_ref().ptr());
    return obj;
}

nb::object BulkConverter::operator()(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None: return nb::none();
        case Value::Kind::Bool: return nb::borrow(v.as_bool() ? Py_True : Py_False);
        case Value::Kind::Int: return checked_new(PyLong_FromLongLong(v.as_int()));
        case Value::Kind::BigInt:
            return checked_new(PyLong_FromString(v.as_big_int().digits.c_str(), nullptr, 10));
        case Value::Kind::Float: return checked_new(PyFloat_FromDouble(v.as_float()));
        case Value::Kind::Text: return text(v.as_text());
        case Value::Kind::List: {
            const List& items = v.as_list();
            nb::object list = checked_new(PyList_New(static_cast<Py_ssize_t>(items.size())));
            for (std::size_t i = 0; i < items.size(); ++i) {
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                                (*this)(items[i]).release().ptr());
            }
            return list;
        }
        case Value::Kind::Map: {
            nb::object dict = checked_new(PyDict_New());
            for (const auto& [key, value] : v.as_map()) {
                if (PyDict_SetItem(dict.ptr(), (*this)(key).ptr(), (*this)(value).ptr()) < 0)
                    throw nb::python_error();
            }
            return dict;
        }
    }
    return nb::none();
}

}  // namespace plintrove::py
