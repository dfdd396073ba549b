#pragma once
// Errors crossing between Python and the library. Library errors become Python's
// exception classes (bind_errors.cpp registers the translation); a Python exception raised
// by a host callback travels through C++ as a library error that keeps the exception
// object, so the caller sees the very exception the callback raised.

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace plintrove::py {

// Throws the Python exception `e` as a library error: an sqlite3.Error becomes a
// DatabaseError (result code from its sqlite_errorcode, else SQLITE_ERROR), one of the
// module's PostgreSQL error classes a PostgresError (kind and sqlstate kept), anything else
// a HostError; both carry the exception object. Call with the GIL held, from the catch
// clause around a call into Python.
[[noreturn]] void rethrow_python_error(nb::python_error& e);

}  // namespace plintrove::py
