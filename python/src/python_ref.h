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
    ~GilGuard() {
        // Unwound from inside a call that had given the GIL up (the finalizing interpreter
        // ends daemon threads that way), the thread has no GIL to give back.
        if (PyGILState_Check()) PyGILState_Release(state_);
    }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

// A strong reference that any thread may drop last: released under the GIL, or left
// alone once the interpreter is gone. Call with the GIL held.
std::shared_ptr<PyObject> shared_python_ref(nb::handle obj);

// A strong reference held for a bound object, which shows it to the garbage collector
// (tp_traverse) and drops it to break a cycle (tp_clear). Read, visited and cleared with the
// GIL held; whoever drops it last releases it as shared_python_ref does.
class ClearableRef {
public:
    explicit ClearableRef(nb::handle obj);
    ~ClearableRef();
    ClearableRef(const ClearableRef&) = delete;
    ClearableRef& operator=(const ClearableRef&) = delete;

    PyObject* get() const { return obj_; }  // null once cleared
    int visit(visitproc visit, void* arg) const { return obj_ ? visit(obj_, arg) : 0; }
    void clear() { Py_CLEAR(obj_); }

private:
    PyObject* obj_;
};

// Call with the GIL held.
std::shared_ptr<ClearableRef> clearable_ref(nb::handle obj);

}  // namespace plintrove::py
