#pragma once
// Why candidates fail: rejection counts per reason, the catalogue of stored statuses and
// reasons with their descriptions, and the metadata that accompanies a submission.

#include <string_view>
#include <vector>

#include "plintrove/core/host.h"
#include "plintrove/core/records.h"
#include "plintrove/core/search_tracker.h"
#include "plintrove/queries/filters.h"

namespace plintrove {

// Rejections per reason over the settings filter, largest count first.
std::vector<RejectionCount> get_rejection_summary(SearchTracker& tracker, const Value& eval_type,
                                                  const SettingsFilter& filter);

// {"raw": raw, "rendered": ..., "machine": ...} from `describe(str(raw), kind)`. A result
// lacking "rendered" or "machine" raises KeyError naming the key.
Value render_reason_entry(const Value& raw, std::string_view kind,
                          const ReasonDescriber& describe);

// {"statuses": {...}, "rejection_reasons": {...}, "failure_reasons": {...}}: every distinct
// non-empty text stored, mapped to its entry. Checks nothing itself; its callers do.
Value collect_reason_descriptions(SearchTracker& tracker, const ReasonDescriber& describe);
// The same with the tracker's describer (the built-in one when none is set).
Value collect_reason_descriptions(SearchTracker& tracker);

}  // namespace plintrove
