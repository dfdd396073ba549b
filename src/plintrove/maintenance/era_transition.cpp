#include "plintrove/maintenance/era_transition.h"

#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/maintenance/evaluation_pruning.h"
#include "plintrove/queries/evaluation_counts.h"

namespace plintrove {

namespace {

void reset_key_counter_if_empty(SearchTracker& tracker, std::string_view table) {
    if (count_where(tracker, table) == 0) {
        tracker.conn().execute("DELETE FROM sqlite_sequence WHERE name=?", {Value(table)});
    }
}

}  // namespace

void handle_era_transition(SearchTracker& tracker, std::int64_t new_era_id,
                           std::optional<std::int64_t> previous_era_id,
                           const DeletionProgressFn& progress) {
    OperationScope operation(tracker);
    if (new_era_id <= 0) throw ValueError("era_id must be > 0");
    if (previous_era_id) {
        if (*previous_era_id <= 0) throw ValueError("era_id must be > 0");
        if (*previous_era_id >= new_era_id) {
            throw ValueError("previous_era_id (" + std::to_string(*previous_era_id) +
                             ") must be < new_era_id (" + std::to_string(new_era_id) + ")");
        }
    }

    Params kept{Value(new_era_id)};
    std::string placeholders = "?";
    if (previous_era_id) {
        kept.emplace_back(*previous_era_id);
        placeholders += ",?";
    }
    ConnWrapper& conn = tracker.conn();

    // Queued and retry work belongs to the new era alone.
    for (auto role : {&SubmissionTableRoles::queue, &SubmissionTableRoles::retry}) {
        for (const auto& [type, roles] : kSubmissionTables) {
            const std::string table(roles.*role);
            conn.execute("DELETE FROM " + table + " WHERE era_id != ?", {Value(new_era_id)});
            reset_key_counter_if_empty(tracker, table);
        }
    }
    for (auto role : {&SubmissionTableRoles::attempts, &SubmissionTableRoles::status}) {
        for (const auto& [type, roles] : kSubmissionTables) {
            const std::string table(roles.*role);
            conn.execute("DELETE FROM " + table + " WHERE era_id NOT IN (" + placeholders + ")",
                         kept);
            reset_key_counter_if_empty(tracker, table);
        }
    }
    for (const EvalTables& triple : {kSignalTables, kStrategyTables}) {
        const std::string eval_table(triple.eval_table);
        std::vector<std::int64_t> ids =
            eval_ids_of(conn.execute("SELECT eval_id FROM " + eval_table +
                                         " WHERE era_id NOT IN (" + placeholders + ")",
                                     kept));
        if (!ids.empty()) {
            delete_eval_ids(conn, ids, triple.eval_table, triple.fn_table, triple.feat_table,
                            progress);
        }
        reset_key_counter_if_empty(tracker, eval_table);
    }
    conn.commit();
}

}  // namespace plintrove
