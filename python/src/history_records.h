#pragma once
// Python records straight from stored evaluations: JSON columns decoded into Python objects
// and usage lists built from the usage rows, with no library records or Values in between.

#include <nanobind/nanobind.h>

#include <span>
#include <vector>

#include "plintrove/queries/evaluation_history.h"

namespace nb = nanobind;

namespace plintrove::py {

// A list of records R (EvaluationRecord by kHistoryFields, PerColumnStatsRecord by
// kPerColumnFields), one per evaluation in order. Each evaluation is released as soon as
// its record exists, so a page is never held whole in both forms.
template <typename R>
nb::object stored_records(std::vector<StoredEvaluation>& evaluations,
                          std::span<const HistoryField> layout);

}  // namespace plintrove::py
