#include "plintrove/queries/evaluation_counts.h"

#include <string>

#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"

namespace plintrove {

std::int64_t count_where(SearchTracker& tracker, std::string_view table,
                         std::string_view where_clause, const Params& params) {
    std::string sql = "SELECT COUNT(*) FROM ";
    sql += table;
    if (!where_clause.empty()) {
        sql += " WHERE ";
        sql += where_clause;
    }
    auto row = tracker.conn().execute(sql, params).fetchone();
    return rows::to_int(row.value().at(0));
}

std::int64_t get_evaluation_count(SearchTracker& tracker, const Value& eval_type,
                                  const SettingsFilter& filter) {
    OperationScope operation(tracker);
    validate_eval_type(eval_type);
    validate_source_query(filter.source);
    std::int64_t total = 0;
    for (const auto& [table, label] : eval_table_pairs(eval_type)) {
        FilterClauses f = build_settings_filter("", filter, table);
        std::string sql = "SELECT COUNT(*) FROM ";
        sql += table;
        sql += ' ';
        sql += join_clauses(f.clauses);
        auto row = tracker.conn().execute(sql, f.params).fetchone();
        total += rows::to_int(row.value().at(0));
    }
    return total;
}

}  // namespace plintrove
