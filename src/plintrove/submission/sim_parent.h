#pragma once
// The parent `sims` row a submission status row refers to, and the simulation id made up
// for submissions that arrive without one.

#include "plintrove/storage/connection.h"
#include "plintrove/value/value.h"

namespace plintrove {

// "search-" + str(eval_type) + "-" + str(eval_id), e.g. search-signal-42.
std::string synthetic_submission_sim_id(const Value& eval_id, const Value& eval_type);

// Inserts the placeholder `sims` row for `sim_id` unless one exists; an existing row is
// never touched. `era_id` goes through Python's int() (None stays None), so a value that
// does not convert raises that conversion's error before the INSERT. Never commits.
void ensure_submission_sim_parent(Connection& conn, const Value& sim_id,
                                  const Value& era_id = Value());

// Python's int(value) for the scalar kinds a caller may pass as an era id.
Value python_int(const Value& value);

}  // namespace plintrove
