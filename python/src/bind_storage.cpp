// Module-level storage helpers, for hosts that inspect a tracker's database themselves.

#include <nanobind/stl/set.h>

#include "bindings.h"
#include "convert.h"
#include "plintrove/storage/conn_wrapper.h"
#include "plintrove/storage/normalized_index_sql.h"
#include "plintrove/storage/postgres_url.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove::py {

void bind_storage(nb::module_& m) {
    def_converted_free(m, "_normalized_index_sql", &normalized_index_sql, nb::arg("sql").none(),
          "Index definition with blanks folded and upper-cased, for comparing definitions.");
    m.def("_postgres_db_url_from_env", &postgres_db_url_from_env);
    m.def(
        "_sqlite_table_exists",
        [](ConnWrapper& conn, std::string_view table_name) {
            return sqlite_table_exists(conn, table_name);
        },
        nb::arg("conn"), nb::arg("table_name"), nb::call_guard<nb::gil_scoped_release>());
    m.def(
        "_sqlite_table_columns",
        [](ConnWrapper& conn, std::string_view table_name) {
            return sqlite_table_columns(conn, table_name);
        },
        nb::arg("conn"), nb::arg("table_name"), nb::call_guard<nb::gil_scoped_release>());
}

}  // namespace plintrove::py
