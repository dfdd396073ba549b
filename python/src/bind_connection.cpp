#include <nanobind/stl/shared_ptr.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bindings.h"
#include "connection_object.h"
#include "convert.h"
#include "errors.h"
#include "plintrove/core/errors.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/storage/connection.h"
#include "plintrove/storage/postgres_connection.h"
#include "python_ref.h"

namespace plintrove::py {

namespace {

using Release = nb::call_guard<nb::gil_scoped_release>;

nb::object row_tuple(const Row& row) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(row.size()));
    if (tuple == nullptr) throw nb::python_error();
    nb::object out = nb::steal(tuple);
    for (std::size_t i = 0; i < row.size(); ++i)
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), from_value(row[i]).release().ptr());
    return out;
}

nb::object params_tuple(const Params& params) {
    return row_tuple(params);
}

Params params_from(nb::handle params) {
    if (PyDict_Check(params.ptr())) throw nb::type_error("parameters are of unsupported type");
    nb::object items = nb::steal(PySequence_Fast(params.ptr(), "parameters are of unsupported type"));
    if (!items) throw nb::python_error();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    Params out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object held = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        PyObject* item = held.ptr();
        try {
            out.push_back(to_value(item));
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TypeError)) throw;
            // sqlite3's refusal, raised as its ProgrammingError.
            throw DatabaseError("Error binding parameter " + std::to_string(i + 1) + ": type '" +
                                    Py_TYPE(item)->tp_name + "' is not supported",
                                SQLITE_MISUSE);
        }
    }
    return out;
}

// What a replaced execute returned, as the tracker's cursor: one of ours as it stands,
// None as an empty result, anything else through its fetchall, lastrowid and rowcount.
Cursor cursor_from(nb::object result) {
    if (result.is_none()) return Cursor();
    if (nb::isinstance<Cursor>(result)) {
        Cursor& cursor = nb::cast<Cursor&>(result);
        // Nobody else can see a cursor only the result holds, so its rows can move.
        return Py_REFCNT(result.ptr()) == 1 ? std::move(cursor) : cursor;
    }
    std::vector<Row> rows;
    nb::object fetched = result.attr("fetchall")();
    for (nb::handle row : fetched) {
        nb::object items = nb::steal(PySequence_Fast(row.ptr(), "a row must be a sequence"));
        if (!items) throw nb::python_error();
        Row out;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            out.push_back(to_value(PySequence_Fast_GET_ITEM(items.ptr(), i)));
        rows.push_back(std::move(out));
    }
    std::optional<std::int64_t> lastrowid;
    nb::object last = nb::getattr(result, "lastrowid", nb::none());
    if (!last.is_none()) lastrowid = nb::cast<std::int64_t>(last);
    const std::int64_t rowcount = nb::cast<std::int64_t>(nb::getattr(result, "rowcount", nb::int_(-1)));
    return Cursor(std::move(rows), lastrowid, rowcount);
}

// The per-instance state of a wrapper lives in its __dict__, as a plain Python wrapper
// would hold it: `_real_conn` and the current `execute`, `commit` and `close`. Starting
// values are the raw connection's own bound methods, kept so that reading one twice gives
// the same object and writing it back removes the replacement.
constexpr const char* kReplaceable[] = {"execute", "commit", "close"};

nb::dict state_of(nb::handle wrapper) {
    nb::dict state = nb::borrow<nb::dict>(nb::getattr(wrapper, "__dict__"));
    if (!state.contains("_real_conn"))
        throw nb::attribute_error("connection object was not created by its tracker");
    return state;
}

// True when `fn` is the raw connection's own method `name` (the wrapper's starting value).
bool is_native(nb::handle fn, const nb::dict& state, const char* name) {
    nb::handle real_py = state["_real_conn"];
    nb::object self = nb::getattr(fn, "__self__", nb::none());
    if (!self.is(real_py)) return false;
    nb::object func = nb::getattr(fn, "__func__", nb::none());
    return func.is(nb::getattr(real_py.type(), name));
}

// The wrapper's current callable `name`, or an invalid object when its Python object is
// gone (the replacement went with it). GIL held.
nb::object current(ConnWrapper* wrapper, const char* name) {
    nb::object self = nb::find(*wrapper);
    if (!self.is_valid() || self.is_none()) return nb::object();
    return state_of(self)[name];
}

class PyExecuteHook {
public:
    explicit PyExecuteHook(ConnWrapper* wrapper) : wrapper_(wrapper) {}

    Cursor operator()(std::string_view sql, const Params& params) const {
        if (interpreter_running()) {
            GilGuard gil;
            try {
                nb::object fn = current(wrapper_, "execute");
                if (fn.is_valid())
                    return cursor_from(fn(nb::str(sql.data(), sql.size()), params_tuple(params)));
            } catch (nb::python_error& e) {
                rethrow_python_error(e);
            }
        }
        return wrapper_->real().execute(sql, params);
    }

private:
    ConnWrapper* wrapper_;  // owns this hook
};

class PyActionHook {
public:
    PyActionHook(ConnWrapper* wrapper, const char* name, void (Connection::*fallback)())
        : wrapper_(wrapper), name_(name), fallback_(fallback) {}

    void operator()() const {
        if (interpreter_running()) {
            GilGuard gil;
            try {
                nb::object fn = current(wrapper_, name_);
                if (fn.is_valid()) {
                    fn();
                    return;
                }
            } catch (nb::python_error& e) {
                rethrow_python_error(e);
            }
        }
        (wrapper_->real().*fallback_)();
    }

private:
    ConnWrapper* wrapper_;  // owns this hook
    const char* name_;
    void (Connection::*fallback_)();
};

void replace(nb::handle self, const char* name, nb::object fn) {
    ConnWrapper& wrapper = nb::cast<ConnWrapper&>(self);
    nb::dict state = state_of(self);
    const bool native = is_native(fn, state, name);
    state[name] = fn;
    ConnWrapper* w = &wrapper;
    if (std::string_view(name) == "execute") {
        wrapper.replace_execute(native ? ConnWrapper::ExecuteFn() : PyExecuteHook(w));
    } else if (std::string_view(name) == "commit") {
        wrapper.replace_commit(native ? ConnWrapper::ActionFn()
                                      : PyActionHook(w, "commit", &Connection::commit));
    } else {
        wrapper.replace_close(native ? ConnWrapper::ActionFn()
                                     : PyActionHook(w, "close", &Connection::close));
    }
}

template <std::size_t I>
void def_replaceable(nb::class_<ConnWrapper, Connection>& cls) {
    cls.def_prop_rw(
        kReplaceable[I], [](nb::handle self) { return nb::object(state_of(self)[kReplaceable[I]]); },
        [](nb::handle self, nb::object fn) { replace(self, kReplaceable[I], std::move(fn)); });
}

// The driver's own cursor on the raw PostgreSQL connection, for code written against that
// interface: execute with "%s" placeholders ("%%" stands for a percent sign), then the
// rows through the cursor surface it inherits.
struct RawCursor : Cursor {
    nb::object conn;  // the raw connection, kept alive while its cursor is
};

std::string question_marks(std::string_view sql) {
    std::string out;
    out.reserve(sql.size());
    for (std::size_t i = 0; i < sql.size(); ++i) {
        if (sql[i] == '%' && i + 1 < sql.size() && (sql[i + 1] == 's' || sql[i + 1] == '%')) {
            out += sql[++i] == 's' ? '?' : '%';
        } else {
            out += sql[i];
        }
    }
    return out;
}

}  // namespace

nb::object connection_object(const std::shared_ptr<ConnWrapper>& conn) {
    nb::object wrapper = nb::cast(conn);
    nb::dict state = nb::borrow<nb::dict>(nb::getattr(wrapper, "__dict__"));
    // Shares the tracker's ownership of the wrapper, so the raw connection's object can
    // outlive neither, and holds no Python reference back.
    nb::object real = nb::cast(std::shared_ptr<Connection>(conn, &conn->real()));
    state["_real_conn"] = real;
    for (const char* name : kReplaceable) state[name] = nb::getattr(real, name);
    return wrapper;
}

void bind_connection(nb::module_& m) {
    nb::class_<Cursor>(m, "_Cursor", "The rows of one statement, read in full when it ran.")
        .def("fetchone",
             [](Cursor& c) -> nb::object {
                 std::optional<Row> row = c.fetchone();
                 return row ? row_tuple(*row) : nb::none();
             })
        .def("fetchall",
             [](Cursor& c) {
                 nb::list out;
                 for (const Row& row : c.fetchall()) out.append(row_tuple(row));
                 return out;
             })
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__",
             [](Cursor& c) {
                 std::optional<Row> row = c.fetchone();
                 if (!row) throw nb::stop_iteration();
                 return row_tuple(*row);
             })
        .def_prop_ro("lastrowid", &Cursor::lastrowid)
        .def_prop_ro("rowcount", &Cursor::rowcount);

    nb::class_<Connection>(m, "_Connection", "The raw database connection.")
        .def(
            "execute",
            [](Connection& c, nb::handle sql, nb::handle params) {
                const std::string text = text_arg(sql, "sql");
                Params bound = params_from(params);
                nb::gil_scoped_release release;
                return c.execute(text, bound);
            },
            nb::arg("sql").none(), nb::arg("params").none() = nb::tuple())
        .def("commit", &Connection::commit, Release())
        .def("rollback", &Connection::rollback, Release())
        .def("close", &Connection::close, Release())
        .def_prop_ro("in_transaction", &Connection::in_transaction, Release())
        // Only PostgreSQL connections have a dialect; callers read it with a default.
        .def_prop_ro("dialect", [](nb::handle self) {
            std::optional<std::string> dialect = nb::cast<Connection&>(self).dialect();
            if (!dialect) {
                std::string message = "'" + nb::cast<std::string>(
                                          nb::steal(PyType_GetName(Py_TYPE(self.ptr())))) +
                                      "' object has no attribute 'dialect'";
                throw nb::attribute_error(message.c_str());
            }
            return *dialect;
        });

    // The raw connection on PostgreSQL (tracker._conn._real_conn): besides the connection
    // surface, the state a DB-API connection reports.
    nb::class_<PostgresConnection, Connection>(m, "_PostgresConnection",
                                               "The raw PostgreSQL (libpq) connection.")
        .def_prop_ro("closed", &PostgresConnection::closed, Release(),
                     "0 while open, 1 after close(), 2 when the server connection broke.")
        .def("get_transaction_status", &PostgresConnection::transaction_status, Release(),
             "0 idle, 1 active, 2 in a transaction, 3 in a failed transaction, 4 unknown.")
        .def_prop_ro("server_version", &PostgresConnection::server_version, Release())
        .def("cursor", [](nb::handle self) {
            RawCursor cursor;
            cursor.conn = nb::borrow(self);
            return cursor;
        });

    nb::class_<RawCursor, Cursor>(m, "_PostgresCursor",
                                  "A cursor of the raw PostgreSQL connection (%s placeholders).")
        .def(
            "execute",
            [](RawCursor& c, nb::handle sql, nb::handle params) {
                const std::string text = question_marks(text_arg(sql, "sql"));
                Params bound = params.is_none() ? Params() : params_from(params);
                Connection& conn = nb::cast<Connection&>(c.conn);
                nb::gil_scoped_release release;
                static_cast<Cursor&>(c) = conn.execute(text, bound);
            },
            nb::arg("sql").none(), nb::arg("params").none() = nb::none());

    nb::class_<ConnWrapper, Connection> wrapper(
        m, "_ConnWrapper", nb::dynamic_attr(),
        "Wrapper around sqlite3.Connection to allow monkey-patching execute.");
    def_replaceable<0>(wrapper);
    def_replaceable<1>(wrapper);
    def_replaceable<2>(wrapper);
    wrapper.def_prop_ro("_real_conn", [](nb::handle self) { return nb::object(state_of(self)["_real_conn"]); });
}

}  // namespace plintrove::py
