#include <sqlite3.h>

#include <exception>
#include <string>

#include "bindings.h"
#include "errors.h"
#include "plintrove/core/errors.h"
#include "plintrove/storage/postgres_error.h"
#include "python_ref.h"

namespace plintrove::py {

namespace {

// Module-lifetime references, taken once at import.
PyObject* g_cross_pool_error = nullptr;
// The PostgreSQL storage's error classes: DatabaseError and its three kinds.
struct PostgresExceptionClasses {
    PyObject* database_error = nullptr;
    PyObject* operational_error = nullptr;
    PyObject* integrity_error = nullptr;
    PyObject* interface_error = nullptr;
} g_postgres;
struct SqliteExceptionClasses {
    PyObject* error = nullptr;
    PyObject* database_error = nullptr;
    PyObject* operational_error = nullptr;
    PyObject* integrity_error = nullptr;
    PyObject* interface_error = nullptr;
    PyObject* programming_error = nullptr;
    PyObject* internal_error = nullptr;
    PyObject* data_error = nullptr;
} g_sqlite;

struct CodeName {
    int code;
    const char* name;
};
#define PLINTROVE_CODE(name) {name, #name}
// The names Python's sqlite3 gives result codes in `sqlite_errorname`.
constexpr CodeName kSqliteCodeNames[] = {
    PLINTROVE_CODE(SQLITE_ERROR), PLINTROVE_CODE(SQLITE_INTERNAL), PLINTROVE_CODE(SQLITE_PERM),
    PLINTROVE_CODE(SQLITE_ABORT), PLINTROVE_CODE(SQLITE_BUSY), PLINTROVE_CODE(SQLITE_LOCKED),
    PLINTROVE_CODE(SQLITE_NOMEM), PLINTROVE_CODE(SQLITE_READONLY),
    PLINTROVE_CODE(SQLITE_INTERRUPT), PLINTROVE_CODE(SQLITE_IOERR),
    PLINTROVE_CODE(SQLITE_CORRUPT), PLINTROVE_CODE(SQLITE_NOTFOUND), PLINTROVE_CODE(SQLITE_FULL),
    PLINTROVE_CODE(SQLITE_CANTOPEN), PLINTROVE_CODE(SQLITE_PROTOCOL),
    PLINTROVE_CODE(SQLITE_EMPTY), PLINTROVE_CODE(SQLITE_SCHEMA), PLINTROVE_CODE(SQLITE_TOOBIG),
    PLINTROVE_CODE(SQLITE_CONSTRAINT), PLINTROVE_CODE(SQLITE_MISMATCH),
    PLINTROVE_CODE(SQLITE_MISUSE), PLINTROVE_CODE(SQLITE_NOLFS), PLINTROVE_CODE(SQLITE_AUTH),
    PLINTROVE_CODE(SQLITE_FORMAT), PLINTROVE_CODE(SQLITE_RANGE), PLINTROVE_CODE(SQLITE_NOTADB),
    PLINTROVE_CODE(SQLITE_NOTICE), PLINTROVE_CODE(SQLITE_WARNING),
    PLINTROVE_CODE(SQLITE_ERROR_MISSING_COLLSEQ), PLINTROVE_CODE(SQLITE_ERROR_RETRY),
    PLINTROVE_CODE(SQLITE_ERROR_SNAPSHOT), PLINTROVE_CODE(SQLITE_IOERR_READ),
    PLINTROVE_CODE(SQLITE_IOERR_SHORT_READ), PLINTROVE_CODE(SQLITE_IOERR_WRITE),
    PLINTROVE_CODE(SQLITE_IOERR_FSYNC), PLINTROVE_CODE(SQLITE_IOERR_DIR_FSYNC),
    PLINTROVE_CODE(SQLITE_IOERR_TRUNCATE), PLINTROVE_CODE(SQLITE_IOERR_FSTAT),
    PLINTROVE_CODE(SQLITE_IOERR_UNLOCK), PLINTROVE_CODE(SQLITE_IOERR_RDLOCK),
    PLINTROVE_CODE(SQLITE_IOERR_DELETE), PLINTROVE_CODE(SQLITE_IOERR_BLOCKED),
    PLINTROVE_CODE(SQLITE_IOERR_NOMEM), PLINTROVE_CODE(SQLITE_IOERR_ACCESS),
    PLINTROVE_CODE(SQLITE_IOERR_CHECKRESERVEDLOCK), PLINTROVE_CODE(SQLITE_IOERR_LOCK),
    PLINTROVE_CODE(SQLITE_IOERR_CLOSE), PLINTROVE_CODE(SQLITE_IOERR_DIR_CLOSE),
    PLINTROVE_CODE(SQLITE_IOERR_SHMOPEN), PLINTROVE_CODE(SQLITE_IOERR_SHMSIZE),
    PLINTROVE_CODE(SQLITE_IOERR_SHMLOCK), PLINTROVE_CODE(SQLITE_IOERR_SHMMAP),
    PLINTROVE_CODE(SQLITE_IOERR_SEEK), PLINTROVE_CODE(SQLITE_IOERR_DELETE_NOENT),
    PLINTROVE_CODE(SQLITE_IOERR_MMAP), PLINTROVE_CODE(SQLITE_IOERR_GETTEMPPATH),
    PLINTROVE_CODE(SQLITE_IOERR_CONVPATH), PLINTROVE_CODE(SQLITE_IOERR_VNODE),
    PLINTROVE_CODE(SQLITE_IOERR_AUTH), PLINTROVE_CODE(SQLITE_IOERR_BEGIN_ATOMIC),
    PLINTROVE_CODE(SQLITE_IOERR_COMMIT_ATOMIC), PLINTROVE_CODE(SQLITE_IOERR_ROLLBACK_ATOMIC),
    PLINTROVE_CODE(SQLITE_IOERR_DATA), PLINTROVE_CODE(SQLITE_IOERR_CORRUPTFS),
    PLINTROVE_CODE(SQLITE_LOCKED_SHAREDCACHE), PLINTROVE_CODE(SQLITE_LOCKED_VTAB),
    PLINTROVE_CODE(SQLITE_BUSY_RECOVERY), PLINTROVE_CODE(SQLITE_BUSY_SNAPSHOT),
    PLINTROVE_CODE(SQLITE_BUSY_TIMEOUT), PLINTROVE_CODE(SQLITE_CANTOPEN_NOTEMPDIR),
    PLINTROVE_CODE(SQLITE_CANTOPEN_ISDIR), PLINTROVE_CODE(SQLITE_CANTOPEN_FULLPATH),
    PLINTROVE_CODE(SQLITE_CANTOPEN_CONVPATH), PLINTROVE_CODE(SQLITE_CANTOPEN_DIRTYWAL),
    PLINTROVE_CODE(SQLITE_CANTOPEN_SYMLINK), PLINTROVE_CODE(SQLITE_CORRUPT_VTAB),
    PLINTROVE_CODE(SQLITE_CORRUPT_SEQUENCE), PLINTROVE_CODE(SQLITE_CORRUPT_INDEX),
    PLINTROVE_CODE(SQLITE_READONLY_RECOVERY), PLINTROVE_CODE(SQLITE_READONLY_CANTLOCK),
    PLINTROVE_CODE(SQLITE_READONLY_ROLLBACK), PLINTROVE_CODE(SQLITE_READONLY_DBMOVED),
    PLINTROVE_CODE(SQLITE_READONLY_CANTINIT), PLINTROVE_CODE(SQLITE_READONLY_DIRECTORY),
    PLINTROVE_CODE(SQLITE_ABORT_ROLLBACK), PLINTROVE_CODE(SQLITE_CONSTRAINT_CHECK),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_COMMITHOOK), PLINTROVE_CODE(SQLITE_CONSTRAINT_FOREIGNKEY),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_FUNCTION), PLINTROVE_CODE(SQLITE_CONSTRAINT_NOTNULL),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_PRIMARYKEY), PLINTROVE_CODE(SQLITE_CONSTRAINT_TRIGGER),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_UNIQUE), PLINTROVE_CODE(SQLITE_CONSTRAINT_VTAB),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_ROWID), PLINTROVE_CODE(SQLITE_CONSTRAINT_PINNED),
    PLINTROVE_CODE(SQLITE_CONSTRAINT_DATATYPE), PLINTROVE_CODE(SQLITE_NOTICE_RECOVER_WAL),
    PLINTROVE_CODE(SQLITE_NOTICE_RECOVER_ROLLBACK), PLINTROVE_CODE(SQLITE_WARNING_AUTOINDEX),
    PLINTROVE_CODE(SQLITE_AUTH_USER), PLINTROVE_CODE(SQLITE_OK_LOAD_PERMANENTLY),
    PLINTROVE_CODE(SQLITE_OK_SYMLINK),
};
#undef PLINTROVE_CODE

const char* sqlite_error_name(int code) {
    for (const CodeName& entry : kSqliteCodeNames)
        if (entry.code == code) return entry.name;
    return "unknown";
}

// The sqlite3 class Python raises for a primary result code.
PyObject* sqlite_exception_class(int code) {
    switch (code & 0xff) {
        case SQLITE_INTERNAL:
        case SQLITE_NOTFOUND: return g_sqlite.internal_error;
        case SQLITE_NOMEM: return PyExc_MemoryError;
        case SQLITE_ERROR:
        case SQLITE_PERM:
        case SQLITE_ABORT:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_EMPTY:
        case SQLITE_SCHEMA: return g_sqlite.operational_error;
        case SQLITE_TOOBIG: return g_sqlite.data_error;
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH: return g_sqlite.integrity_error;
        // The connection reports its own misuse (closed, several statements, wrong number
        // of bindings) with this code, where sqlite3 raises ProgrammingError.
        case SQLITE_MISUSE: return g_sqlite.programming_error;
        case SQLITE_RANGE: return g_sqlite.interface_error;
        default: return g_sqlite.database_error;
    }
}

// Library text as a str: a lone surrogate echoed from an argument comes back as itself.
nb::object text_object(const std::string& text) {
    PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                         "surrogatepass");
    if (str == nullptr) {
        PyErr_Clear();
        str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                   "backslashreplace");
    }
    if (str == nullptr) throw nb::python_error();
    return nb::steal(str);
}

nb::object new_exception(PyObject* type, const std::string& message) {
    nb::object text = text_object(message);
    PyObject* exc = PyObject_CallOneArg(type, text.ptr());
    if (exc == nullptr) throw nb::python_error();
    return nb::steal(exc);
}

nb::object sqlite_exception(const DatabaseError& e) {
    const int code = e.sqlite_code();
    nb::object exc = new_exception(sqlite_exception_class(code), e.what());
    // Like sqlite3: errors SQLite reported carry their code; the connection's own misuse
    // errors do not.
    if ((code & 0xff) != SQLITE_MISUSE && code != 0) {
        nb::setattr(exc, "sqlite_errorcode", nb::int_(code));
        nb::setattr(exc, "sqlite_errorname", nb::str(sqlite_error_name(code)));
    }
    return exc;
}

PyObject* postgres_exception_class(PostgresError::Kind kind) {
    switch (kind) {
        case PostgresError::Kind::Operational: return g_postgres.operational_error;
        case PostgresError::Kind::Integrity: return g_postgres.integrity_error;
        case PostgresError::Kind::Interface: return g_postgres.interface_error;
        default: return g_postgres.database_error;
    }
}

nb::object postgres_exception(const PostgresError& e) {
    nb::object exc = new_exception(postgres_exception_class(e.kind()), e.what());
    nb::setattr(exc, "sqlstate", e.sqlstate().empty() ? nb::none() : nb::object(nb::str(e.sqlstate().c_str())));
    return exc;
}

PostgresError::Kind postgres_kind_of(nb::handle exc) {
    auto is = [&](PyObject* cls) { return PyObject_IsInstance(exc.ptr(), cls) == 1; };
    if (is(g_postgres.operational_error)) return PostgresError::Kind::Operational;
    if (is(g_postgres.integrity_error)) return PostgresError::Kind::Integrity;
    if (is(g_postgres.interface_error)) return PostgresError::Kind::Interface;
    return PostgresError::Kind::Database;
}

// The host's own encoder error, with the text and position it would report.
nb::object unicode_encode_error(const UnicodeEncodeError& e) {
    nb::object text = text_object(e.text());
    const auto start = static_cast<Py_ssize_t>(e.position());
    PyObject* exc = PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", text.ptr(),
                                          start, start + 1, "surrogates not allowed");
    if (exc == nullptr) throw nb::python_error();
    return nb::steal(exc);
}

PyObject* exception_class(const Error& e) {
    if (dynamic_cast<const CrossPoolReferenceError*>(&e)) return g_cross_pool_error;
    if (dynamic_cast<const OverflowError*>(&e)) return PyExc_OverflowError;
    if (dynamic_cast<const ValueError*>(&e)) return PyExc_ValueError;
    if (dynamic_cast<const TypeError*>(&e)) return PyExc_TypeError;
    if (dynamic_cast<const KeyError*>(&e)) return PyExc_KeyError;
    if (dynamic_cast<const IOError*>(&e)) return PyExc_OSError;
    if (dynamic_cast<const RecursionError*>(&e)) return PyExc_RecursionError;
    return PyExc_RuntimeError;
}

nb::object python_exception(const std::exception_ptr& error);

// The exception object for a library error: an error that came from Python is that
// object again; others are new instances, with their cause chained as __cause__.
nb::object exception_for(const Error& e) {
    const std::shared_ptr<void>* origin = nullptr;
    if (auto* host = dynamic_cast<const HostError*>(&e)) origin = &host->origin();
    if (auto* db = dynamic_cast<const DatabaseError*>(&e)) origin = &db->origin();
    if (origin && *origin) return nb::borrow(static_cast<PyObject*>(origin->get()));

    nb::object exc;
    if (auto* pg = dynamic_cast<const PostgresError*>(&e)) exc = postgres_exception(*pg);
    else if (auto* db = dynamic_cast<const DatabaseError*>(&e)) exc = sqlite_exception(*db);
    else if (auto* encode = dynamic_cast<const UnicodeEncodeError*>(&e)) exc = unicode_encode_error(*encode);
    else exc = new_exception(exception_class(e), e.what());
    if (e.cause()) {
        nb::object cause = python_exception(e.cause());
        PyException_SetCause(exc.ptr(), cause.release().ptr());
    }
    return exc;
}

nb::object python_exception(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return exception_for(e);
    } catch (const nb::python_error& e) {
        return nb::borrow(e.value());
    } catch (const std::exception& e) {
        return new_exception(PyExc_RuntimeError, e.what());
    }
}

void raise(nb::object exc) {
    PyObject* value = exc.release().ptr();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

std::string str_of(nb::handle obj) {
    PyObject* s = PyObject_Str(obj.ptr());
    if (s != nullptr) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(s, &size);
        if (data != nullptr) {
            std::string text(data, static_cast<std::size_t>(size));
            Py_DECREF(s);
            return text;
        }
        Py_DECREF(s);
    }
    PyErr_Clear();
    return Py_TYPE(obj.ptr())->tp_name;
}

int sqlite_errorcode_of(nb::handle exc) {
    PyObject* code = PyObject_GetAttrString(exc.ptr(), "sqlite_errorcode");
    int result = SQLITE_ERROR;
    if (code != nullptr && PyLong_Check(code)) {
        const long value = PyLong_AsLong(code);
        if (!(value == -1 && PyErr_Occurred())) result = static_cast<int>(value);
    }
    Py_XDECREF(code);
    PyErr_Clear();
    return result;
}

PyObject* module_attr(nb::handle module, const char* name) {
    return nb::getattr(module, name).release().ptr();
}

}  // namespace

void rethrow_python_error(nb::python_error& e) {
    nb::handle exc = e.value();
    std::string message = str_of(exc);
    std::shared_ptr<void> origin = shared_python_ref(exc);
    const int is_sqlite = PyObject_IsInstance(exc.ptr(), g_sqlite.error);
    if (is_sqlite < 0) PyErr_Clear();
    if (is_sqlite == 1) throw DatabaseError(message, sqlite_errorcode_of(exc), std::move(origin));
    const int is_postgres = PyObject_IsInstance(exc.ptr(), g_postgres.database_error);
    if (is_postgres < 0) PyErr_Clear();
    if (is_postgres == 1) {
        nb::object state = nb::getattr(exc, "sqlstate", nb::none());
        std::string sqlstate = state.is_none() ? std::string() : str_of(state);
        throw PostgresError(message, postgres_kind_of(exc), std::move(sqlstate), std::move(origin));
    }
    throw HostError(message, std::move(origin));
}

void bind_errors(nb::module_& m) {
    g_cross_pool_error = PyErr_NewExceptionWithDoc(
        "plintrove.search_tracking.CrossPoolReferenceError",
        "Raised when a strategy references a signal from a different pool.", PyExc_ValueError,
        nullptr);
    if (g_cross_pool_error == nullptr) throw nb::python_error();
    m.attr("CrossPoolReferenceError") = nb::handle(g_cross_pool_error);

    auto new_class = [&m](const char* name, const char* doc, PyObject* base) {
        const std::string qualified = std::string("plintrove.search_tracking.") + name;
        nb::dict attributes;
        attributes["sqlstate"] = nb::none();  // the server's SQLSTATE, when it gave one
        PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, attributes.ptr());
        if (cls == nullptr) throw nb::python_error();
        m.attr(name) = nb::handle(cls);
        return cls;
    };
    g_postgres.database_error = new_class(
        "DatabaseError", "An error of the PostgreSQL storage; sqlstate holds the server's code.",
        PyExc_Exception);
    g_postgres.operational_error = new_class(
        "OperationalError",
        "PostgreSQL connection, resource or server-state error; the statement may work later.",
        g_postgres.database_error);
    g_postgres.integrity_error = new_class(
        "IntegrityError", "PostgreSQL constraint violation.", g_postgres.database_error);
    g_postgres.interface_error = new_class(
        "InterfaceError", "Misuse of the PostgreSQL connection, such as a commit after it was lost.",
        g_postgres.database_error);

    nb::module_ sqlite3 = nb::module_::import_("sqlite3");
    g_sqlite.error = module_attr(sqlite3, "Error");
    g_sqlite.database_error = module_attr(sqlite3, "DatabaseError");
    g_sqlite.operational_error = module_attr(sqlite3, "OperationalError");
    g_sqlite.integrity_error = module_attr(sqlite3, "IntegrityError");
    g_sqlite.interface_error = module_attr(sqlite3, "InterfaceError");
    g_sqlite.programming_error = module_attr(sqlite3, "ProgrammingError");
    g_sqlite.internal_error = module_attr(sqlite3, "InternalError");
    g_sqlite.data_error = module_attr(sqlite3, "DataError");

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error& e) {
            try {
                raise(exception_for(e));
            } catch (nb::python_error& failed) {
                failed.restore();
            }
        }
    });
}

}  // namespace plintrove::py
