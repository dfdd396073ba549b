#include "python_ref.h"

namespace plintrove::py {

bool interpreter_running() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() && !Py_IsFinalizing();
#else
    return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

std::shared_ptr<PyObject> shared_python_ref(nb::handle obj) {
    Py_XINCREF(obj.ptr());
    return std::shared_ptr<PyObject>(obj.ptr(), [](PyObject* p) {
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
    });
}

}  // namespace plintrove::py
