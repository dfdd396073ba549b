#include "plintrove/submission/submission_recording.h"

#include <string>
#include <vector>

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/insert_statement.h"
#include "plintrove/submission/identity_stamp.h"
#include "plintrove/submission/pool_resolution.h"
#include "plintrove/submission/sim_parent.h"
#include "plintrove/submission/status_check.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/submission/wall_clock.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

constexpr const char* kSimAlreadyRecordedSql =
    "SELECT 1\n"
    "FROM (\n"
    "    SELECT sim_id FROM signal_submission_status\n"
    "    UNION ALL\n"
    "    SELECT sim_id FROM strategy_submission_status\n"
    ") AS status_union\n"
    "WHERE sim_id=?\n"
    "LIMIT 1";

// The checks both operations run before touching the database; returns the sim id to use.
Value validate_and_resolve_sim_id(const SubmissionRecordArgs& args) {
    validate_eval_type_strict(args.eval_type);
    if (!args.submission_id.truthy()) throw ValueError("submission_id must not be empty");
    require_valid_status(args.initial_status);
    if (args.sim_id.truthy()) return args.sim_id;
    return Value(synthetic_submission_sim_id(Value(args.eval_id), args.eval_type));
}

void check_caller_values(Connection& conn, const SubmissionRecordArgs& args, const Value& sim_id) {
    conn.check_params({args.submission_id, sim_id, args.era_id, args.initial_status},
                      {"submission_id", "sim_id", "era_id", "status"});
}

// The status row's INSERT: pools resolved and checked, identity read, nothing written.
struct StatusRowInsert {
    std::string sql;
    Params values;
};

StatusRowInsert status_row_insert(SearchTracker& t, const SubmissionRecordArgs& args,
                                  const Value& sim_id) {
    ConnWrapper& conn = t.conn();
    std::string_view pool_column = submission_pool_column(args.eval_type);
    std::string own_pool_id =
        required_submission_own_pool_id(conn, args.eval_id, args.eval_type, std::nullopt,
                                        args.signal_pool_id, args.strategy_pool_id);
    std::string_view table = submission_table(args.eval_type, "status");
    bool is_strategy = args.eval_type.as_text() == "strategy";
    Value signal_pool = submission_strategy_signal_pool(conn, args.eval_id, args.eval_type,
                                                        std::nullopt, args.strategy_signal_pool);
    if (is_strategy) validate_pool_id_required(signal_pool, "strategy_signal_pool");

    std::vector<std::string> columns{"eval_id", std::string(pool_column)};
    Params values{Value(args.eval_id), Value(own_pool_id)};
    if (is_strategy) {
        columns.emplace_back("strategy_signal_pool");
        values.push_back(signal_pool);
    }
    for (const char* column : {"submission_id", "sim_id", "era_id", "status", "submitted_at"}) {
        columns.emplace_back(column);
    }
    values.insert(values.end(), {args.submission_id, sim_id, args.era_id, args.initial_status,
                                 Value(wall_clock_now())});
    stamp_identity(t, columns, values);
    std::string sql = insert_statement("INSERT INTO ", table, columns);
    // Refused before the INSERT, as the storage would refuse them.
    conn.check_statement(sql, values);
    return {std::move(sql), std::move(values)};
}

}  // namespace

std::optional<std::int64_t> record_submission(SearchTracker& t, const SubmissionRecordArgs& args) {
    OperationScope operation(t);
    Value sim_id = validate_and_resolve_sim_id(args);
    // The sims row's era goes through int() first, so its refusal still comes first.
    if (!args.era_id.is_none()) python_int(args.era_id);
    // The sims parent comes first and stays pending when a pool check or the INSERT fails;
    // values the INSERT could not bind are refused before it, so bad input writes nothing.
    check_caller_values(t.conn(), args, sim_id);
    ensure_submission_sim_parent(t.conn(), sim_id, args.era_id);
    StatusRowInsert row = status_row_insert(t, args, sim_id);
    Cursor cursor = t.conn().execute(row.sql, row.values);
    t.conn().commit();
    return cursor.lastrowid();
}

std::optional<std::int64_t> record_submission_once_and_mark_submitted(
    SearchTracker& t, const SubmissionRecordArgs& args) {
    OperationScope operation(t);
    Value sim_id = validate_and_resolve_sim_id(args);
    std::string table(eval_table(args.eval_type));
    ConnWrapper& conn = t.conn();

    // BEGIN IMMEDIATE takes the write lock before the duplicate check, so of several
    // writers recording one sim id only the first gets past it.
    bool started_transaction = !conn.in_transaction();
    if (started_transaction) conn.execute("BEGIN IMMEDIATE");
    try {
        if (conn.execute(kSimAlreadyRecordedSql, {sim_id}).fetchone()) {
            throw ValueError("sim_id='" + py_str(sim_id) + "' already submitted");
        }
        if (!conn.execute("SELECT eval_id FROM " + table + " WHERE eval_id=?",
                          {Value(args.eval_id)})
                 .fetchone()) {
            throw ValueError("eval_id=" + std::to_string(args.eval_id) + " not found in " +
                             table);
        }
        if (!args.era_id.is_none()) python_int(args.era_id);
        check_caller_values(conn, args, sim_id);
        ensure_submission_sim_parent(conn, sim_id, args.era_id);
        StatusRowInsert row = status_row_insert(t, args, sim_id);
        Cursor inserted = conn.execute(row.sql, row.values);
        conn.execute("UPDATE " + table + " SET submitted=1 WHERE eval_id=?",
                     {Value(args.eval_id)});
        if (started_transaction) conn.execute("COMMIT");
        return inserted.lastrowid();
    } catch (...) {
        if (started_transaction && conn.in_transaction()) conn.execute("ROLLBACK");
        throw;
    }
}

}  // namespace plintrove
