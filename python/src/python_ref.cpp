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
        if (p == nullptr || !interpreter_running()) return;
        GilGuard gil;
        Py_DECREF(p);
    });
}

}  // namespace plintrove::py
