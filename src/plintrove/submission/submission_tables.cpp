#include "plintrove/submission/submission_tables.h"

#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/queries/validators.h"

namespace plintrove {

namespace {

const SubmissionTableRoles& roles_for(const Value& eval_type) {
    validate_eval_type_strict(eval_type);
    for (const auto& [type, roles] : kSubmissionTables) {
        if (type == eval_type.as_text()) return roles;
    }
    throw ValueError("eval_type must be 'signal' or 'strategy'");
}

}  // namespace

std::string_view submission_table(const Value& eval_type, std::string_view kind) {
    const SubmissionTableRoles& roles = roles_for(eval_type);
    if (kind == "queue") return roles.queue;
    if (kind == "attempts") return roles.attempts;
    if (kind == "status") return roles.status;
    if (kind == "retry") return roles.retry;
    if (kind == "eval_table") return roles.eval_table;
    if (kind == "pool_column") return roles.pool_column;
    throw KeyError(std::string(kind));
}

std::string_view submission_pool_column(const Value& eval_type) {
    return roles_for(eval_type).pool_column;
}

std::string_view eval_table(const Value& eval_type) { return roles_for(eval_type).eval_table; }

}  // namespace plintrove
