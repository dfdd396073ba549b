#pragma once
// One registration function per area; module.cpp calls them in order.

#include <nanobind/nanobind.h>

#include "plintrove/core/search_tracker.h"
#include "typed_signature.h"

namespace nb = nanobind;

namespace plintrove::py {

using TrackerClass = TypedClass<plintrove::SearchTracker>;

void bind_errors(nb::module_& m);     // error classes and C++ -> Python translation
void bind_constants(nb::module_& m);  // module constants
void bind_connection(nb::module_& m); // tracker._conn and its cursors
void bind_storage(nb::module_& m);    // module-level storage helpers
// tp_traverse and tp_clear of SearchTracker: its instance dict and attached identity.
PyType_Slot* tracker_type_slots();
void bind_lifecycle(nb::module_& m, TrackerClass& cls);
void bind_recording(nb::module_& m, TrackerClass& cls);
void bind_queries(nb::module_& m, TrackerClass& cls);
void bind_submission(nb::module_& m, TrackerClass& cls);
void bind_reporting(nb::module_& m, TrackerClass& cls);  // rejection summary, report, maintenance
void bind_trial_ledger(nb::module_& m, TrackerClass& cls);  // multiple-testing ledger
void bind_writer(nb::module_& m);

}  // namespace plintrove::py
