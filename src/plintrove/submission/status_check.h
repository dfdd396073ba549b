#pragma once
// The check that a submission status is one of VALID_STATUSES.

#include "plintrove/value/value.h"

namespace plintrove {

// Raises ValueError("status must be one of [...], got <repr>") for anything else.
void require_valid_status(const Value& status);

}  // namespace plintrove
