#include "plintrove/queries/validators.h"

#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/value/py_repr.h"

namespace plintrove {

namespace {

bool is_one_of(const Value& v, std::string_view a, std::string_view b) {
    return v.is_text() && (v.as_text() == a || v.as_text() == b);
}

}  // namespace

void validate_eval_type(const Value& eval_type) {
    if (!eval_type.is_none() && !is_one_of(eval_type, "signal", "strategy")) {
        throw ValueError("eval_type must be 'signal', 'strategy', or None");
    }
}

void validate_eval_type_strict(const Value& eval_type) {
    if (!is_one_of(eval_type, "signal", "strategy")) {
        throw ValueError("eval_type must be 'signal' or 'strategy'");
    }
}

void validate_management_eval_type(const Value& eval_type) {
    if (!eval_type.is_none() && !is_one_of(eval_type, "signal", "strategy")) {
        throw ValueError("eval_type must be 'signal', 'strategy', or None, got '" +
                         py_str(eval_type) + "'.");
    }
}

void validate_source_query(const Value& source) {
    if (!source.is_none() && !is_one_of(source, "search", "simulate")) {
        throw ValueError("source must be 'search', 'simulate', or None");
    }
}

void validate_source_record(const Value& source) {
    if (!is_one_of(source, "search", "simulate")) {
        throw ValueError("source must be 'search' or 'simulate', got '" + py_str(source) + "'.");
    }
}

Value validate_optional_pool_query(const Value& value, std::string_view field_name) {
    if (value.is_none()) return value;
    if (value.is_text() && !value.as_text().empty()) return value;
    throw ValueError(std::string(field_name) + " must be a non-empty string");
}

}  // namespace plintrove
