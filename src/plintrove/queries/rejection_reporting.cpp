#include "plintrove/queries/rejection_reporting.h"

#include <algorithm>
#include <array>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/reason_descriptions.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

bool non_empty(const Value& v) { return !v.is_none() && !(v.is_text() && v.as_text().empty()); }

const Value& required_key(const Value& result, std::string_view key) {
    const Value* found = result.get(key);
    if (!found) throw KeyError(std::string(key));
    return *found;
}

}  // namespace

std::vector<RejectionCount> get_rejection_summary(SearchTracker& tracker, const Value& eval_type,
                                                  const SettingsFilter& filter) {
    OperationScope operation(tracker);
    validate_eval_type(eval_type);
    validate_source_query(filter.source);

    std::vector<std::string> inner;
    Params params;
    for (const EvalTablePair& pair : eval_table_pairs(eval_type)) {
        FilterClauses f = build_settings_filter("", filter, pair.eval_table);
        f.clauses.push_back("rejection_reason IS NOT NULL");
        inner.push_back("SELECT rejection_reason, COUNT(*) as cnt FROM " +
                        std::string(pair.eval_table) + " " + join_clauses(f.clauses) +
                        " GROUP BY rejection_reason");
        params.insert(params.end(), f.params.begin(), f.params.end());
    }
    std::string sql;
    if (inner.size() == 1) {
        sql = inner.front();
    } else {
        std::string united;
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (i) united += " UNION ALL ";
            united += inner[i];
        }
        sql = "SELECT rejection_reason, SUM(cnt) as cnt FROM (" + united +
              ") AS rejection_union GROUP BY rejection_reason";
    }

    std::vector<Row> grouped = tracker.conn().execute(sql, params).fetchall();
    std::int64_t total = 0;
    for (const Row& row : grouped) total += rows::to_int(row[1]);

    std::vector<RejectionCount> out;
    out.reserve(grouped.size());
    for (const Row& row : grouped) {
        RejectionCount rc;
        rc.rejection_reason = py_str(row[0]);
        rc.count = rows::to_int(row[1]);
        rc.percentage = static_cast<double>(rc.count) / static_cast<double>(total);
        out.push_back(std::move(rc));
    }
    std::stable_sort(out.begin(), out.end(), [](const RejectionCount& a, const RejectionCount& b) {
        return a.count > b.count;
    });
    return out;
}

Value render_reason_entry(const Value& raw, std::string_view kind,
                          const ReasonDescriber& describe) {
    Value result = describe(py_str(raw), std::string(kind));
    const Value& rendered = required_key(result, "rendered");
    const Value& machine = required_key(result, "machine");
    return Mapping{{"raw", raw}, {"rendered", rendered}, {"machine", machine}};
}

Value collect_reason_descriptions(SearchTracker& tracker, const ReasonDescriber& describe) {
    Mapping statuses, rejection_reasons, failure_reasons;
    ConnWrapper& conn = tracker.conn();

    for (std::string_view table : {"signal_submission_status", "strategy_submission_status"}) {
        const std::string name(table);
        for (const Row& row :
             conn.execute("SELECT DISTINCT status FROM " + name + " WHERE status IS NOT NULL")
                 .fetchall()) {
            if (non_empty(row[0]))
                statuses.set(row[0], render_reason_entry(row[0], "status", describe));
        }
        for (const Row& row : conn.execute("SELECT DISTINCT rejection_reason FROM " + name +
                                           " WHERE rejection_reason IS NOT NULL")
                                  .fetchall()) {
            if (non_empty(row[0]))
                rejection_reasons.set(row[0],
                                      render_reason_entry(row[0], "rejection_reason", describe));
        }
    }
    for (std::string_view table : {"signal_evaluations", "strategy_evaluations"}) {
        for (const Row& row :
             conn.execute("SELECT DISTINCT rejection_reason, failure_reason FROM " +
                          std::string(table) +
                          " WHERE rejection_reason IS NOT NULL OR failure_reason IS NOT NULL")
                 .fetchall()) {
            if (non_empty(row[0]))
                rejection_reasons.set(row[0],
                                      render_reason_entry(row[0], "rejection_reason", describe));
            if (non_empty(row[1]))
                failure_reasons.set(row[1],
                                    render_reason_entry(row[1], "failure_reason", describe));
        }
    }
    return Mapping{{"statuses", std::move(statuses)},
                   {"rejection_reasons", std::move(rejection_reasons)},
                   {"failure_reasons", std::move(failure_reasons)}};
}

Value collect_reason_descriptions(SearchTracker& tracker) {
    const ReasonDescriber& own = tracker.reason_describer();
    if (own) return collect_reason_descriptions(tracker, own);
    return collect_reason_descriptions(tracker, ReasonDescriber(describe_reason));
}

}  // namespace plintrove
