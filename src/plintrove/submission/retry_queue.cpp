#include "plintrove/submission/retry_queue.h"

#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/evaluation_counts.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/insert_statement.h"
#include "plintrove/submission/claim_item.h"
#include "plintrove/submission/identity_stamp.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/row_fields.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/submission/wall_clock.h"

namespace plintrove {

namespace {

constexpr std::array<std::string_view, 2> kRetryTables{"signal_submission_retry",
                                                       "strategy_submission_retry"};

constexpr const char* kReadyItemSql =
    "SELECT retry_id, eval_id, eval_type, signal_pool_id, strategy_pool_id, payload_json, "
    "era_id, retry_count, last_rejection_reason, retry_after, created_at\n"
    "FROM (\n"
    "    SELECT retry_id, eval_id, 'signal' AS eval_type, signal_pool_id, "
    "NULL AS strategy_pool_id, payload_json, era_id, retry_count, last_rejection_reason, "
    "retry_after, created_at\n"
    "    FROM signal_submission_retry\n"
    "    UNION ALL\n"
    "    SELECT retry_id, eval_id, 'strategy' AS eval_type, NULL AS signal_pool_id, "
    "strategy_pool_id, payload_json, era_id, retry_count, last_rejection_reason, "
    "retry_after, created_at\n"
    "    FROM strategy_submission_retry\n"
    ") AS retry_union\n"
    "WHERE retry_count < 5 AND (retry_after IS NULL OR retry_after <= ?)\n"
    "ORDER BY created_at ASC\n"
    "LIMIT 1";

// The INSERT of one retry row with its values, identity included; the caller has resolved
// the pool and the table.
struct RetryRowInsert {
    std::string sql;
    Params values;
};

RetryRowInsert retry_row_insert(SearchTracker& t, std::string_view table, const Value& eval_type,
                                std::int64_t eval_id, const std::string& own_pool_id,
                                const std::optional<std::string>& payload_json,
                                std::int64_t era_id, std::int64_t retry_count,
                                const Value& rejection_reason, std::optional<double> retry_after) {
    std::vector<std::string> columns{"eval_id",     std::string(submission_pool_column(eval_type)),
                                     "payload_json", "era_id",
                                     "retry_count", "last_rejection_reason",
                                     "retry_after", "created_at"};
    Params values{Value(eval_id),
                  Value(own_pool_id),
                  payload_json ? Value(*payload_json) : Value(),
                  Value(era_id),
                  Value(retry_count),
                  rejection_reason,
                  retry_after ? Value(*retry_after) : Value(),
                  Value(wall_clock_now())};
    stamp_identity(t, columns, values);
    return {insert_statement("INSERT INTO ", table, columns), std::move(values)};
}

std::optional<std::int64_t> insert_and_commit(SearchTracker& t, const RetryRowInsert& row) {
    Cursor cursor = t.conn().execute(row.sql, row.values);
    t.conn().commit();
    return cursor.lastrowid();
}

SubmissionRetryItem retry_item_from_row(const Row& row) {
    SubmissionRetryItem item;
    item.retry_id = int_field(row.at(0), "retry_id");
    item.eval_id = row.at(1);
    item.eval_type = text_field(row.at(2), "eval_type");
    item.signal_pool_id = row.at(3);
    item.strategy_pool_id = row.at(4);
    item.payload_json = row.at(5);
    item.era_id = row.at(6);
    item.retry_count = row.at(7);
    item.last_rejection_reason = row.at(8);
    item.retry_after = row.at(9);
    item.created_at = row.at(10);
    return item;
}

struct EraFilter {
    std::string clause;
    Params params;
};

EraFilter era_filter(std::optional<std::int64_t> era_id) {
    if (!era_id) return {};
    return {"era_id=?", {Value(*era_id)}};
}

}  // namespace

std::optional<std::int64_t> enqueue_retry(SearchTracker& t, std::int64_t eval_id,
                                          const Value& eval_type,
                                          const std::optional<std::string>& payload_json,
                                          std::int64_t era_id, const Value& rejection_reason,
                                          std::optional<double> retry_after,
                                          const Value& signal_pool_id,
                                          const Value& strategy_pool_id) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    if (!payload_json || payload_json->empty()) {
        throw ValueError("payload_json must not be empty");
    }
    if (!rejection_reason.truthy()) throw ValueError("rejection_reason must not be empty");
    std::string own_pool_id = required_submission_own_pool_id(
        t.conn(), eval_id, eval_type, payload_json, signal_pool_id, strategy_pool_id);
    return insert_and_commit(
        t, retry_row_insert(t, submission_table(eval_type, "retry"), eval_type, eval_id,
                            own_pool_id, payload_json, era_id, 0, rejection_reason, retry_after));
}

std::optional<SubmissionRetryItem> dequeue_retryable(SearchTracker& t) {
    OperationScope operation(t);
    return claim_item(t.conn(), kReadyItemSql, {Value(wall_clock_now())}, "retry", "retry_id",
                      &retry_item_from_row);
}

void increment_retry(SearchTracker& t, [[maybe_unused]] const Value& retry_id,
                     std::int64_t eval_id, const Value& eval_type,
                     const std::optional<std::string>& payload_json, std::int64_t era_id,
                     const Value& rejection_reason, std::int64_t retry_count,
                     std::optional<double> retry_after, const Value& signal_pool_id,
                     const Value& strategy_pool_id) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    std::string own_pool_id = required_submission_own_pool_id(
        t.conn(), eval_id, eval_type, payload_json, signal_pool_id, strategy_pool_id);
    std::string table(submission_table(eval_type, "retry"));
    // A value the INSERT could not bind is refused before the DELETE, so bad input never
    // leaves the item deleted. A count at the 64-bit limit has no successor: refused as the
    // storage refuses an integer it cannot hold, never wrapped to negative. The identity is
    // read after the DELETE: without one the DELETE stays pending, uncommitted.
    if (retry_count == std::numeric_limits<std::int64_t>::max()) {
        throw OverflowError("Python int too large to convert to SQLite INTEGER");
    }
    t.conn().check_params({Value(own_pool_id),
                           payload_json ? Value(*payload_json) : Value(), rejection_reason});
    // The DELETE opens the implicit transaction the INSERT joins; one commit ends both.
    t.conn().execute("DELETE FROM " + table + " WHERE eval_id=?", {Value(eval_id)});
    insert_and_commit(t, retry_row_insert(t, table, eval_type, eval_id, own_pool_id,
                                          payload_json, era_id, retry_count + 1,
                                          rejection_reason, retry_after));
}

std::int64_t clear_retry_queue(SearchTracker& t, std::optional<std::int64_t> era_id) {
    OperationScope operation(t);
    EraFilter filter = era_filter(era_id);
    std::int64_t count = 0;
    for (std::string_view table : kRetryTables) {
        count += count_where(t, table, filter.clause, filter.params);
    }
    for (std::string_view table : kRetryTables) {
        std::string sql = "DELETE FROM " + std::string(table);
        if (!filter.clause.empty()) {
            t.conn().execute(sql + " WHERE era_id=?", filter.params);
        } else {
            t.conn().execute(sql);
        }
    }
    t.conn().commit();
    return count;
}

RetryCounts get_retry_counts(SearchTracker& t, std::optional<std::int64_t> era_id) {
    OperationScope operation(t);
    Value now(wall_clock_now());
    EraFilter filter = era_filter(era_id);
    std::string ready_clause = "retry_count < 5 AND (retry_after IS NULL OR retry_after <= ?)";
    if (era_id) ready_clause = "era_id=? AND " + ready_clause;
    Params ready_params = filter.params;
    ready_params.push_back(now);

    RetryCounts counts;
    for (std::string_view table : kRetryTables) {
        counts.retrying += count_where(t, table, filter.clause, filter.params);
    }
    for (std::string_view table : kRetryTables) {
        counts.ready += count_where(t, table, ready_clause, ready_params);
    }
    return counts;
}

}  // namespace plintrove
