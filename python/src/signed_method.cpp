#include "signed_method.h"

#include <Python.h>
#include <structmember.h>

#include <cstddef>

namespace plintrove::py {

namespace {

struct SignedMethod {
    PyObject_HEAD
    PyObject* func;
    PyObject* dict;
    vectorcallfunc vectorcall;
};

SignedMethod* as_signed(PyObject* self) { return reinterpret_cast<SignedMethod*>(self); }

PyObject* forward(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(as_signed(self)->func, args, nargsf, kwnames);
}

PyObject* signed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* func = nullptr;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_ParseTuple(args, "O:_SignedMethod", &func)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_SignedMethod() takes no keywords");
        return nullptr;
    }
    if (!PyCallable_Check(func)) {
        PyErr_SetString(PyExc_TypeError, "_SignedMethod() needs a callable");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_signed(self)->func = Py_NewRef(func);
    as_signed(self)->vectorcall = forward;
    return self;
}

// Bound like a Python function: a method object over the signed method itself, which
// inspect reads through __func__.
PyObject* signed_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int signed_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_signed(self)->func);
    Py_VISIT(as_signed(self)->dict);
    return 0;
}

int signed_clear(PyObject* self) {
    Py_CLEAR(as_signed(self)->func);
    Py_CLEAR(as_signed(self)->dict);
    return 0;
}

void signed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    signed_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__wrapped__", T_OBJECT, offsetof(SignedMethod, func), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(SignedMethod, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(SignedMethod, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {{Py_tp_new, reinterpret_cast<void*>(signed_new)},
                        {Py_tp_dealloc, reinterpret_cast<void*>(signed_dealloc)},
                        {Py_tp_traverse, reinterpret_cast<void*>(signed_traverse)},
                        {Py_tp_clear, reinterpret_cast<void*>(signed_clear)},
                        {Py_tp_descr_get, reinterpret_cast<void*>(signed_get)},
                        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                        {Py_tp_members, kMembers},
                        {Py_tp_getset, kGetSet},
                        {0, nullptr}};

// METHOD_DESCRIPTOR: tracker.m(...) calls straight through, with the tracker first, without
// making the method object.
PyType_Spec kSpec = {"plintrove.search_tracking._SignedMethod", sizeof(SignedMethod), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_METHOD_DESCRIPTOR,
                     kSlots};

}  // namespace

void bind_signed_method(nb::module_& m) {
    nb::object type = nb::steal(PyType_FromSpec(&kSpec));
    if (!type) throw nb::python_error();
    m.attr("_SignedMethod") = type;
}

}  // namespace plintrove::py
