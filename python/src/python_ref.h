#pragma once
// Holding Python objects from C++ code that may run on any thread, with or without the
// GIL: the library calls host callbacks from statement paths and the writer thread, and
// drops its references from destructors that run wherever the last owner lets go.

#include <Python.h>
#include <nanobind/nanobind.h>

#include <memory>

namespace nb = nanobind;

namespace plintrove::py {

// True while a thread that does not hold the GIL may still take it.
bool interpreter_running();

// Holds the GIL for its scope, from any thread. Not noexcept on purpose: a finalizing
// interpreter may end a waiting thread by unwinding it, and that must pass through.
class GilGuard {
public:
    GilGuard() : state_(PyGILState_Ensure()) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

// A strong reference that any thread may drop last: released under the GIL, or left
// alone once the interpreter is gone. Call with the GIL held.
std::shared_ptr<PyObject> shared_python_ref(nb::handle obj);

}  // namespace plintrove::py
