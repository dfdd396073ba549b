#include "plintrove/queries/evaluation_velocity.h"

#include <chrono>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/filters.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"

namespace plintrove {

VelocityStats get_evaluation_velocity(SearchTracker& tracker, std::int64_t window_minutes,
                                      const Value& eval_type) {
    OperationScope operation(tracker);
    validate_eval_type(eval_type);
    if (window_minutes < 1) throw ValueError("window_minutes must be >= 1");

    const double now = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const double cutoff = now - static_cast<double>(window_minutes) * 60;

    std::int64_t total = 0;
    std::int64_t passed = 0;
    for (const auto& [table, label] : eval_table_pairs(eval_type)) {
        std::string sql = "SELECT COUNT(*), SUM(passed_thresholds) FROM ";
        sql += table;
        sql += " WHERE timestamp >= ?";
        Row row = tracker.conn().execute(sql, {Value(cutoff)}).fetchone().value();
        total += rows::to_int(row.at(0));
        passed += rows::to_int(row.at(1));  // SUM over no rows is NULL
    }
    const double hours = static_cast<double>(window_minutes) / 60.0;
    VelocityStats v;
    v.window_minutes = window_minutes;
    v.total_evaluations = total;
    v.passed_evaluations = passed;
    v.evaluations_per_hour = static_cast<double>(total) / hours;
    v.passes_per_hour = static_cast<double>(passed) / hours;
    return v;
}

}  // namespace plintrove
