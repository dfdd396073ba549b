#include <nanobind/stl/shared_ptr.h>

#include <memory>
#include <string>
#include <utility>

#include "bindings.h"
#include "connection_object.h"
#include "convert.h"
#include "host_adapters.h"
#include "plintrove/core/errors.h"

namespace plintrove::py {

namespace {

// str or os.PathLike, as the text the tracker keeps; a false value is refused first.
std::string data_dir_text(nb::handle data_dir) {
    if (!truth(data_dir)) throw ValueError("data_dir must not be empty");
    nb::object path = nb::steal(PyOS_FSPath(data_dir.ptr()));
    if (!path) throw nb::python_error();
    if (PyBytes_Check(path.ptr())) path = nb::steal(PyUnicode_DecodeFSDefaultAndSize(
                                         PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr())));
    if (!path) throw nb::python_error();
    return nb::cast<std::string>(path);
}

// The store a tracker works on, for its repr: the SQLite file, or the PostgreSQL URL
// without its user information and query, where passwords live.
std::string store_text(const SearchTracker& t) {
    if (t.db_path()) return *t.db_path();
    if (!t.db_url()) return t.data_dir();
    std::string url = *t.db_url();
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) return url;
    std::size_t rest = scheme_end + 3;
    const std::size_t at = url.find('@', rest);
    if (at != std::string::npos && at < url.find('/', rest)) url.erase(rest, at + 1 - rest);
    return url.substr(0, url.find('?'));
}

// The garbage collector sees what a tracker holds: its instance dict (where `_conn` and
// its replacements live) and the identity, which may refer back to the tracker.
int tracker_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = _PyObject_GetDictPtr(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    std::shared_ptr<Identity> identity = nb::inst_ptr<SearchTracker>(self)->current_identity();
    if (auto* adapted = dynamic_cast<const PyIdentity*>(identity.get()))
        Py_VISIT(adapted->object().ptr());
    return 0;
}

int tracker_clear(PyObject* self) {
    if (PyObject** dict = _PyObject_GetDictPtr(self)) Py_CLEAR(*dict);
    if (nb::inst_ready(self)) nb::inst_ptr<SearchTracker>(self)->set_identity(nullptr);
    return 0;
}

PyType_Slot kTrackerSlots[] = {{Py_tp_traverse, reinterpret_cast<void*>(tracker_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(tracker_clear)},
                               {0, nullptr}};

}  // namespace

PyType_Slot* tracker_type_slots() { return kTrackerSlots; }

void bind_lifecycle(nb::module_&, TrackerClass& cls) {
    cls.def(
        "__init__",
        [](SearchTracker* tracker, nb::handle data_dir, nb::handle identity, bool read_only) {
            std::string dir = data_dir_text(data_dir);
            std::shared_ptr<Identity> attached = identity_from(identity);
            nb::gil_scoped_release release;
            new (tracker) SearchTracker(dir, std::move(attached), read_only);
        },
        nb::arg("data_dir").none(), nb::arg("identity").none() = nb::none(), nb::kw_only(),
        nb::arg("read_only") = false);

    cls.def(
        "set_identity",
        [](SearchTracker& t, nb::handle identity) { t.set_identity(identity_from(identity)); },
        nb::arg("identity").none(), "Attach the LibraryIdentity that subsequent inserts are attributed to.");
    cls.def(
        "current_identity", [](SearchTracker& t) { return identity_object(t.current_identity()); },
        "The attached LibraryIdentity, or None.");
    cls.def(
        "set_search_active",
        [](SearchTracker& t, nb::handle active) { t.set_search_active(truth(active)); },
        nb::arg("active").none(), "Mark whether a search is running; deletions refuse to run while it is.");
    cls.def("close", &SearchTracker::close, nb::call_guard<nb::gil_scoped_release>(),
            "Close the database connection; closing twice does nothing.");

    cls.def("__enter__", [](nb::handle self) { return nb::borrow(self); });
    cls.def(
        "__exit__",
        [](SearchTracker& t, nb::handle, nb::handle, nb::handle) {
            nb::gil_scoped_release release;
            t.close();
        },
        nb::arg("exc_type").none(), nb::arg("exc").none(), nb::arg("traceback").none(),
        "Close the tracker; an exception from the block travels on.");
    cls.def("__repr__", [](const SearchTracker& t) {
        const std::string store = store_text(t);
        return nb::str("<SearchTracker {!r} ({})>").format(nb::str(store.c_str(), store.size()), t.closed() ? "closed" : "open");
    });

    cls.def("_check_closed", &SearchTracker::check_closed);
    cls.def("_identity_columns", [](SearchTracker& t) {
        IdentityColumns identity = t.identity_columns();
        nb::list columns, values;
        for (const std::string& column : identity.columns()) columns.append(nb::str(column.c_str()));
        for (const Value& value : identity.values) values.append(from_value(value));
        return nb::make_tuple(nb::tuple(columns), nb::tuple(values));
    });

    cls.def_prop_ro("_data_dir", &SearchTracker::data_dir);
    cls.def_prop_ro("_db_path", &SearchTracker::db_path);
    cls.def_prop_ro("_db_url", &SearchTracker::db_url);
    cls.def_prop_ro("_closed", &SearchTracker::closed);
    cls.def_prop_ro("_search_active", &SearchTracker::search_active);
    cls.def_prop_ro("_identity", [](SearchTracker& t) { return identity_object(t.current_identity()); });
    // One Python object per tracker, kept in the instance dict: replacements installed on
    // it (tracker._conn.execute = fn) live in that object's own dict.
    cls.def_prop_ro("_conn", [](nb::handle self) {
        nb::dict state = nb::borrow<nb::dict>(nb::getattr(self, "__dict__"));
        if (!state.contains("_conn")) state["_conn"] = connection_object(nb::cast<SearchTracker&>(self).conn_ptr());
        return nb::object(state["_conn"]);
    });
}

}  // namespace plintrove::py
