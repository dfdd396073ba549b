#include "plintrove/submission/pool_resolution.h"

#include "plintrove/core/errors.h"
#include "plintrove/core/evaluation_validation.h"
#include "plintrove/submission/submission_tables.h"
#include "plintrove/value/json.h"

namespace plintrove {

namespace {

bool is_signal(const Value& eval_type) {
    return eval_type.is_text() && eval_type.as_text() == "signal";
}

bool non_empty(const std::optional<std::string>& text) { return text && !text->empty(); }

Value first_column(Connection& conn, std::string_view sql, std::int64_t eval_id) {
    std::optional<Row> row = conn.execute(sql, {Value(eval_id)}).fetchone();
    if (!row || row->empty()) return Value();
    return (*row)[0];
}

}  // namespace

Value payload_field_from_json(std::string_view payload_json,
                              const std::vector<std::string>& keys) {
    Value payload;
    try {
        payload = json_loads(payload_json);
    } catch (const ValueError&) {
        // Malformed payload text counts as a payload without the member.
        return Value();
    }
    if (!payload.is_map()) return Value();
    for (const std::string& key : keys) {
        const Value* found = payload.as_map().find(std::string_view(key));
        if (found != nullptr && !found->is_none()) return *found;
    }
    return Value();
}

Value submission_own_pool_id_from_payload(std::string_view payload_json,
                                          const Value& eval_type) {
    return payload_field_from_json(
        payload_json, {is_signal(eval_type) ? "signal_pool_id" : "strategy_pool_id"});
}

Value submission_pool_id_from_payload(std::string_view payload_json, const Value& eval_type) {
    return submission_own_pool_id_from_payload(payload_json, eval_type);
}

Value strategy_signal_pool_from_payload(std::string_view payload_json) {
    return payload_field_from_json(payload_json, {"strategy_signal_pool"});
}

Value evaluation_own_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type) {
    if (is_signal(eval_type)) {
        return first_column(conn, "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?",
                            eval_id);
    }
    return first_column(conn, "SELECT strategy_pool_id FROM strategy_evaluations WHERE eval_id=?",
                        eval_id);
}

Value evaluation_signal_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type) {
    if (is_signal(eval_type)) {
        return first_column(conn, "SELECT signal_pool_id FROM signal_evaluations WHERE eval_id=?",
                            eval_id);
    }
    return first_column(
        conn, "SELECT strategy_signal_pool FROM strategy_evaluations WHERE eval_id=?", eval_id);
}

Value submission_own_pool_id(Connection& conn, std::int64_t eval_id, const Value& eval_type,
                             const std::optional<std::string>& payload_json,
                             const Value& signal_pool_id, const Value& strategy_pool_id) {
    const Value& explicit_pool = is_signal(eval_type) ? signal_pool_id : strategy_pool_id;
    if (!explicit_pool.is_none()) return explicit_pool;
    if (non_empty(payload_json)) {
        Value from_payload = submission_own_pool_id_from_payload(*payload_json, eval_type);
        if (!from_payload.is_none()) return from_payload;
    }
    return evaluation_own_pool_id(conn, eval_id, eval_type);
}

std::string required_submission_own_pool_id(Connection& conn, std::int64_t eval_id,
                                            const Value& eval_type,
                                            const std::optional<std::string>& payload_json,
                                            const Value& signal_pool_id,
                                            const Value& strategy_pool_id) {
    return validate_pool_id_required(
        submission_own_pool_id(conn, eval_id, eval_type, payload_json, signal_pool_id,
                               strategy_pool_id),
        submission_pool_column(eval_type));
}

Value submission_strategy_signal_pool(Connection& conn, std::int64_t eval_id,
                                      const Value& eval_type,
                                      const std::optional<std::string>& payload_json,
                                      const Value& strategy_signal_pool) {
    if (!strategy_signal_pool.is_none()) return strategy_signal_pool;
    if (non_empty(payload_json)) {
        Value from_payload = strategy_signal_pool_from_payload(*payload_json);
        if (!from_payload.is_none()) return from_payload;
    }
    if (is_signal(eval_type)) return Value();
    return evaluation_signal_pool_id(conn, eval_id, eval_type);
}

}  // namespace plintrove
