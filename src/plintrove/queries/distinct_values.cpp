#include "plintrove/queries/distinct_values.h"

#include <string>

#include "plintrove/core/operation_scope.h"

namespace plintrove {

List get_distinct_column(SearchTracker& tracker, std::string_view column) {
    const std::string c(column);
    // The alias on the subquery is required by PostgreSQL and accepted by SQLite.
    const std::string sql = "SELECT DISTINCT " + c + " FROM (SELECT " + c +
                            " FROM signal_evaluations UNION SELECT " + c +
                            " FROM strategy_evaluations) AS combined ORDER BY " + c + " ASC";
    List out;
    for (Row& r : tracker.conn().execute(sql).fetchall()) out.push_back(std::move(r.at(0)));
    return out;
}

List get_available_eras(SearchTracker& tracker) {
    OperationScope operation(tracker);
    return get_distinct_column(tracker, "era_id");
}

List get_available_named_universes(SearchTracker& tracker) {
    OperationScope operation(tracker);
    return get_distinct_column(tracker, "named_universe");
}

List get_available_universes(SearchTracker& tracker) {
    OperationScope operation(tracker);
    return get_distinct_column(tracker, "named_universe");
}

}  // namespace plintrove
