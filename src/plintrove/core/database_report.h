#pragma once
// The database report: file size, row counts of every tracker table, passed counts and
// the catalogue of stored statuses and reasons. Reads only.

#include "plintrove/core/host.h"
#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"

namespace plintrove {

DatabaseInfo get_db_info(SearchTracker& tracker, const ReasonDescriber& describe);
// With the tracker's describer (the built-in one when none is set).
DatabaseInfo get_db_info(SearchTracker& tracker);

}  // namespace plintrove
