#include "python_ref.h"

namespace plintrove::py {

bool interpreter_running() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() && !Py_IsFinalizing();
#else
    return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

namespace {

void release(PyObject* p) {
    if (p == nullptr) return;
    // A thread that holds the GIL may release even while the interpreter shuts down
    // (module globals are dropped then); any other thread must not touch it by then.
    if (PyGILState_Check()) {
        Py_DECREF(p);
        return;
    }
    if (!interpreter_running()) return;
    GilGuard gil;
    Py_DECREF(p);
}

}  // namespace

std::shared_ptr<PyObject> shared_python_ref(nb::handle obj) {
    Py_XINCREF(obj.ptr());
    return std::shared_ptr<PyObject>(obj.ptr(), release);
}

ClearableRef::ClearableRef(nb::handle obj) : obj_(obj.ptr()) { Py_XINCREF(obj_); }

ClearableRef::~ClearableRef() { release(obj_); }

std::shared_ptr<ClearableRef> clearable_ref(nb::handle obj) {
    return std::make_shared<ClearableRef>(obj);
}

}  // namespace plintrove::py
