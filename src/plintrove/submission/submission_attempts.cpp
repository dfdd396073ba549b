#include "plintrove/submission/submission_attempts.h"

#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/insert_statement.h"
#include "plintrove/submission/identity_stamp.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/row_fields.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/submission/wall_clock.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

std::optional<std::int64_t> record_submission_attempt_started(
    SearchTracker& t, std::int64_t eval_id, const Value& eval_type, const Value& idempotency_key,
    std::int64_t era_id, const std::optional<std::string>& payload_json,
    const Value& signal_pool_id, const Value& strategy_pool_id) {
    OperationScope operation(t);
    validate_eval_type_strict(eval_type);
    if (!idempotency_key.truthy()) throw ValueError("idempotency_key must not be empty");
    if (!payload_json || payload_json->empty()) {
        throw ValueError("payload_json must not be empty");
    }
    if (era_id <= 0) throw ValueError("era_id must be > 0");
    std::string key = py_str(idempotency_key);

    ConnWrapper& conn = t.conn();
    std::string_view pool_column = submission_pool_column(eval_type);
    std::string own_pool_id = required_submission_own_pool_id(
        conn, eval_id, eval_type, payload_json, signal_pool_id, strategy_pool_id);
    std::string table(submission_table(eval_type, "attempts"));

    std::vector<std::string> columns{"eval_id", std::string(pool_column), "idempotency_key",
                                     "era_id",  "payload_json",           "started_at"};
    Params values{Value(eval_id), Value(own_pool_id),    Value(key),
                  Value(era_id),  Value(*payload_json), Value(wall_clock_now())};
    stamp_identity(t, columns, values);

    if (conn.dialect() == "postgres") {
        // The no-op update makes the statement return the stored row's key on a conflict.
        Cursor cursor = conn.execute(
            insert_statement("INSERT INTO ", table, columns) +
                " ON CONFLICT (idempotency_key) DO UPDATE SET idempotency_key = "
                "EXCLUDED.idempotency_key",
            values);
        conn.commit();
        return cursor.lastrowid();
    }

    Cursor inserted = conn.execute(insert_statement("INSERT OR IGNORE INTO ", table, columns),
                                   values);
    std::optional<std::int64_t> attempt_id;
    if (inserted.rowcount() > 0) {
        attempt_id = inserted.lastrowid();
    } else {
        std::optional<Row> row =
            conn.execute("SELECT attempt_id FROM " + table + " WHERE idempotency_key=?",
                         {Value(key)})
                .fetchone();
        if (!row) {
            throw RuntimeError(table + " row missing after INSERT OR IGNORE for idempotency_key='" + key +
                               "'");
        }
        attempt_id = int_field(row->at(0), "attempt_id");
    }
    conn.commit();
    return attempt_id;
}

}  // namespace plintrove
