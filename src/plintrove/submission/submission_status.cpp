#include "plintrove/submission/submission_status.h"

#include <cstdlib>
#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/storage/placeholder_list.h"
#include "plintrove/submission/eval_server_metrics.h"
#include "plintrove/submission/row_fields.h"
#include "plintrove/submission/status_check.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/submission/wall_clock.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

constexpr const char* kStatusRowSql =
    "SELECT status_id, eval_id, eval_type\n"
    "FROM (\n"
    "    SELECT status_id, eval_id, 'signal' AS eval_type, submission_id\n"
    "    FROM signal_submission_status\n"
    "    UNION ALL\n"
    "    SELECT status_id, eval_id, 'strategy' AS eval_type, submission_id\n"
    "    FROM strategy_submission_status\n"
    ") AS status_union\n"
    "WHERE submission_id=?";

constexpr const char* kStatusColumns[] = {
    "status_id",      "eval_id",          "eval_type",      "signal_pool_id",
    "strategy_pool_id", "strategy_signal_pool", "submission_id", "sim_id",
    "era_id",         "status",           "submitted_at",   "last_polled_at",
    "finalized_at",   "is_stats_json",    "payment_json",   "payment_usdc",
    "useful_flag",    "rejection_reason"};

#define PLINTROVE_STATUS_TAIL                                                                  \
    "submission_id, sim_id, era_id, status, submitted_at, last_polled_at, finalized_at, "     \
    "is_stats_json, payment_json, payment_usdc, useful_flag, rejection_reason"

constexpr const char* kStatusUnionSql =
    "SELECT status_id, eval_id, eval_type, signal_pool_id, strategy_pool_id, "
    "strategy_signal_pool, " PLINTROVE_STATUS_TAIL "\n"
    "FROM (\n"
    "    SELECT status_id, eval_id, 'signal' AS eval_type, signal_pool_id, "
    "NULL AS strategy_pool_id, NULL AS strategy_signal_pool, " PLINTROVE_STATUS_TAIL "\n"
    "    FROM signal_submission_status\n"
    "    UNION ALL\n"
    "    SELECT status_id, eval_id, 'strategy' AS eval_type, NULL AS signal_pool_id, "
    "strategy_pool_id, strategy_signal_pool, " PLINTROVE_STATUS_TAIL "\n"
    "    FROM strategy_submission_status\n"
    ") AS status_union\n";

#undef PLINTROVE_STATUS_TAIL

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Python's float(value) for the scalar kinds a payment amount arrives as.
Value python_float(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Float: return value;
        case Value::Kind::Int: return Value(static_cast<double>(value.as_int()));
        case Value::Kind::Bool: return Value(value.as_bool() ? 1.0 : 0.0);
        case Value::Kind::BigInt:
            return Value(std::strtod(value.as_big_int().digits.c_str(), nullptr));
        case Value::Kind::Text: {
            const std::string& text = value.as_text();
            std::size_t begin = 0, end = text.size();
            while (begin < end && is_space(text[begin])) ++begin;
            while (end > begin && is_space(text[end - 1])) --end;
            std::string trimmed = text.substr(begin, end - begin);
            bool plain = !trimmed.empty() &&
                         trimmed.find_first_of("xX(") == std::string::npos;
            if (plain) {
                char* stop = nullptr;
                double d = std::strtod(trimmed.c_str(), &stop);
                if (stop == trimmed.c_str() + trimmed.size()) return Value(d);
            }
            throw ValueError("could not convert string to float: " + py_repr(value));
        }
        case Value::Kind::None:
        case Value::Kind::List:
        case Value::Kind::Map: break;
    }
    throw TypeError(std::string("float() argument must be a string or a real number, not '") +
                    py_type_name(value) + "'");
}

PendingSubmission pending_from_row(const Row& row) {
    PendingSubmission p;
    p.status_id = int_field(row.at(0), kStatusColumns[0]);
    p.eval_id = row.at(1);
    p.eval_type = text_field(row.at(2), kStatusColumns[2]);
    p.signal_pool_id = row.at(3);
    p.strategy_pool_id = row.at(4);
    p.strategy_signal_pool = row.at(5);
    p.submission_id = row.at(6);
    p.sim_id = row.at(7);
    p.era_id = row.at(8);
    p.status = row.at(9);
    p.submitted_at = row.at(10);
    p.last_polled_at = row.at(11);
    p.finalized_at = row.at(12);
    p.is_stats_json = row.at(13);
    p.payment_json = row.at(14);
    p.payment_usdc = row.at(15);
    p.useful_flag = row.at(16);
    p.rejection_reason = row.at(17);
    return p;
}

}  // namespace

bool update_submission_status(SearchTracker& t, const Value& submission_id, const Value& status,
                              const SubmissionStatusUpdate& update) {
    OperationScope operation(t);
    require_valid_status(status);
    ConnWrapper& conn = t.conn();
    std::optional<Row> row = conn.execute(kStatusRowSql, {submission_id}).fetchone();
    if (!row) throw ValueError("submission_id='" + py_str(submission_id) + "' not found");
    std::int64_t eval_id = int_field(row->at(1), "eval_id");
    const Value& eval_type = row->at(2);
    std::string_view table = submission_table(eval_type, "status");
    bool is_strategy = eval_type.as_text() == "strategy";
    Value status_signal_pool = is_strategy ? update.metrics.strategy_signal_pool : Value();

    Value now(wall_clock_now());
    Value useful = update.useful_flag.is_none() ? Value()
                                                : Value(update.useful_flag.truthy() ? 1 : 0);
    Params params{status,
                  now,
                  is_terminal_status(status.as_text()) ? now : Value(),
                  update.is_stats_json,
                  update.payment_json,
                  update.payment_usdc.is_none() ? Value() : python_float(update.payment_usdc),
                  useful,
                  update.rejection_reason,
                  submission_id};
    for (std::string_view terminal : kTerminalStatuses) params.emplace_back(terminal);
    std::string sql = "UPDATE ";
    sql += table;
    sql +=
        "\n"
        "    SET status=?,\n"
        "        last_polled_at=?,\n"
        "        finalized_at=COALESCE(?, finalized_at),\n"
        "        is_stats_json=COALESCE(?, is_stats_json),\n"
        "        payment_json=COALESCE(?, payment_json),\n"
        "        payment_usdc=COALESCE(?, payment_usdc),\n"
        "        useful_flag=COALESCE(?, useful_flag),\n"
        "        rejection_reason=COALESCE(?, rejection_reason)\n"
        "    WHERE submission_id=? AND status NOT IN (" +
        placeholder_list(kTerminalStatuses.size(), ", ") + ")";
    // The follow-up statements are built and all values checked before the first UPDATE,
    // so a value the storage refuses fails the call before anything is written.
    const Params pool_params{status_signal_pool, submission_id};
    EvalServerMetrics metrics = update.metrics;
    metrics.strategy_signal_pool = status_signal_pool;
    std::optional<MetricsUpdate> metrics_update =
        eval_server_metrics_update(eval_id, eval_type, metrics);
    constexpr std::string_view kPoolSql =
        "UPDATE strategy_submission_status SET strategy_signal_pool=COALESCE(?, "
        "strategy_signal_pool) WHERE submission_id=?";
    conn.check_statement(sql, params);
    conn.check_statement(kPoolSql, pool_params);
    if (metrics_update) conn.check_statement(metrics_update->sql, metrics_update->values);

    bool updated = conn.execute(sql, params).rowcount() > 0;
    if (updated && is_strategy && !status_signal_pool.is_none()) conn.execute(kPoolSql, pool_params);
    if (updated && metrics_update) conn.execute(metrics_update->sql, metrics_update->values);
    conn.commit();
    return updated;
}

std::vector<PendingSubmission> get_pending_submissions(SearchTracker& t) {
    OperationScope operation(t);
    std::string sql = kStatusUnionSql;
    sql += "WHERE finalized_at IS NULL\nORDER BY submitted_at ASC";
    std::vector<PendingSubmission> pending;
    for (const Row& row : t.conn().execute(sql).fetchall()) {
        pending.push_back(pending_from_row(row));
    }
    return pending;
}

Value get_submission_for_sim(SearchTracker& t, const Value& sim_id) {
    OperationScope operation(t);
    std::string sql = kStatusUnionSql;
    sql += "WHERE sim_id=?\nORDER BY status_id DESC\nLIMIT 1";
    std::optional<Row> row = t.conn().execute(sql, {sim_id}).fetchone();
    if (!row) return Value();
    Mapping submission;
    for (std::size_t i = 0; i < std::size(kStatusColumns); ++i) {
        submission.set(Value(kStatusColumns[i]), row->at(i));
        if (std::string_view(kStatusColumns[i]) == "status") {
            submission.set(Value("last_status"), row->at(i));
        }
    }
    return Value(std::move(submission));
}

}  // namespace plintrove
