#include "plintrove/submission/submission_queue.h"

#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
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

constexpr const char* kHeadItemSql =
    "SELECT queue_id, eval_id, eval_type, signal_pool_id, strategy_pool_id, payload_json, "
    "era_id, priority, created_at\n"
    "FROM (\n"
    "    SELECT queue_id, eval_id, 'signal' AS eval_type, signal_pool_id, "
    "NULL AS strategy_pool_id, payload_json, era_id, priority, created_at\n"
    "    FROM signal_submission_queue\n"
    "    UNION ALL\n"
    "    SELECT queue_id, eval_id, 'strategy' AS eval_type, NULL AS signal_pool_id, "
    "strategy_pool_id, payload_json, era_id, priority, created_at\n"
    "    FROM strategy_submission_queue\n"
    ") AS queue_union\n"
    "ORDER BY priority DESC, queue_id ASC\n"
    "LIMIT 1";

std::optional<std::int64_t> insert_queue_item(SearchTracker& t, std::int64_t eval_id,
                                              const Value& eval_type,
                                              const std::optional<std::string>& payload_json,
                                              std::int64_t era_id, std::int64_t priority,
                                              const Value& signal_pool_id,
                                              const Value& strategy_pool_id) {
    ConnWrapper& conn = t.conn();
    std::string_view pool_column = submission_pool_column(eval_type);
    std::string own_pool_id = required_submission_own_pool_id(
        conn, eval_id, eval_type, payload_json, signal_pool_id, strategy_pool_id);
    std::string_view table = submission_table(eval_type, "queue");

    std::vector<std::string> columns{"eval_id",  std::string(pool_column), "payload_json",
                                     "era_id",   "priority",               "created_at"};
    Params values{Value(eval_id),
                  Value(own_pool_id),
                  payload_json ? Value(*payload_json) : Value(),
                  Value(era_id),
                  Value(priority),
                  Value(wall_clock_now())};
    stamp_identity(t, columns, values);
    Cursor cursor = conn.execute(insert_statement("INSERT INTO ", table, columns), values);
    conn.commit();
    return cursor.lastrowid();
}

SubmissionQueueItem queue_item_from_row(const Row& row) {
    SubmissionQueueItem item;
    item.queue_id = int_field(row.at(0), "queue_id");
    item.eval_id = row.at(1);
    item.eval_type = text_field(row.at(2), "eval_type");
    item.signal_pool_id = row.at(3);
    item.strategy_pool_id = row.at(4);
    item.payload_json = row.at(5);
    item.era_id = row.at(6);
    item.priority = row.at(7);
    item.created_at = row.at(8);
    return item;
}

}  // namespace

std::optional<std::int64_t> enqueue_submission(SearchTracker& t, std::int64_t eval_id,
                                               const Value& eval_type,
                                               const std::optional<std::string>& payload_json,
                                               std::int64_t era_id,
                                               const Value& signal_pool_id,
                                               const Value& strategy_pool_id) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    if (!payload_json || payload_json->empty()) {
        throw ValueError("payload_json must not be empty");
    }
    if (era_id <= 0) throw ValueError("era_id must be > 0");
    return insert_queue_item(t, eval_id, eval_type, payload_json, era_id, 0, signal_pool_id,
                             strategy_pool_id);
}

std::optional<std::int64_t> requeue_submission(SearchTracker& t, std::int64_t eval_id,
                                               const Value& eval_type,
                                               const std::optional<std::string>& payload_json,
                                               std::int64_t era_id,
                                               const Value& signal_pool_id,
                                               const Value& strategy_pool_id) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    return insert_queue_item(t, eval_id, eval_type, payload_json, era_id, 1, signal_pool_id,
                             strategy_pool_id);
}

std::optional<SubmissionQueueItem> dequeue_submission(SearchTracker& t) {
    OperationScope operation(t);
    return claim_item(t.conn(), kHeadItemSql, {}, "queue", "queue_id", &queue_item_from_row);
}

void mark_submitted(SearchTracker& t, std::int64_t eval_id, const Value& eval_type) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    std::string table(eval_table(eval_type));
    ConnWrapper& conn = t.conn();
    if (!conn.execute("SELECT eval_id FROM " + table + " WHERE eval_id=?", {Value(eval_id)})
             .fetchone()) {
        throw ValueError("eval_id=" + std::to_string(eval_id) + " not found in " + table);
    }
    conn.execute("UPDATE " + table + " SET submitted=1 WHERE eval_id=?", {Value(eval_id)});
    conn.commit();
}

}  // namespace plintrove
