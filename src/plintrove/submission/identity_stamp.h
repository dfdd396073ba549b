#pragma once
// Every submission row carries the identity of its writer, read from the host at the write.

#include <string>
#include <vector>

#include "plintrove/core/search_tracker.h"
#include "plintrove/value/value.h"

namespace plintrove {

// Appends the identity columns and the values the attached identity gives now (never
// cached); ValueError when no identity is attached.
inline void stamp_identity(const SearchTracker& t, std::vector<std::string>& columns,
                           Params& values) {
    IdentityColumns identity = t.identity_columns();
    columns.insert(columns.end(), identity.columns().begin(), identity.columns().end());
    values.insert(values.end(), identity.values.begin(), identity.values.end());
}

}  // namespace plintrove
