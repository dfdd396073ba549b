#include "plintrove/maintenance/evaluation_pruning.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/errors.h"
#include "plintrove/core/logging.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_pruning.h"
#include "plintrove/queries/evaluation_counts.h"
#include "plintrove/queries/filters.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"
#include "plintrove/storage/placeholder_list.h"

namespace plintrove {

namespace {

void check_may_delete(SearchTracker& tracker) {
    if (tracker.search_active()) throw RuntimeError(std::string(kDeleteActiveError));
}

// `report` carries the steps on: one per id and table, so its total counts 3 * ids at least.
template <typename Ids>
void delete_in_chunks(Connection& conn, const Ids& id_list, std::string_view eval_table,
                      std::string_view fn_table, std::string_view feat_table,
                      const DeletionProgressFn& progress, DeletionProgress& report) {
    if (id_list.empty()) return;
    // The ledger keeps every trial; what leaves the store is counted apart, chunk by chunk
    // just before the chunk goes, in the same transaction.
    PrunedRows pruned(eval_table);
    // Every chunk of a table goes before the next table, so no evaluation is deleted
    // while a usage row of it remains.
    Params chunk;
    for (std::string_view table : {fn_table, feat_table, eval_table}) {
        const std::string prefix = "DELETE FROM " + std::string(table) + " WHERE eval_id IN (";
        std::int64_t rows = 0;
        for (std::size_t start = 0; start < id_list.size(); start += kDeleteChunkSize) {
            std::size_t stop = std::min(id_list.size(), start + kDeleteChunkSize);
            chunk.clear();
            for (std::size_t i = start; i < stop; ++i) chunk.emplace_back(id_list[i]);
            if (table == eval_table) pruned.count(conn, chunk);
            rows += conn.execute(prefix + placeholder_list(chunk.size(), ",") + ")", chunk).rowcount();
            if (progress) {
                report.table = table;
                report.done += stop - start;
                progress(report);
            }
        }
        log(LogLevel::Info, "Deleted %d rows from %s", {Value(rows), Value(table)});
    }
    pruned.write(conn);
}

const TableIndexes* indexes_of(std::string_view table) {
    for (const TableIndexes& entry : kTableIndexes) {
        if (entry.table == table) return &entry;
    }
    return nullptr;
}

std::size_t index_count(const EvalTables& triple) {
    std::size_t n = 0;
    for (std::string_view table : {triple.eval_table, triple.fn_table, triple.feat_table}) {
        if (const TableIndexes* entry = indexes_of(table)) n += entry->count;
    }
    return n;
}

// REINDEX of every index of the three tables, in table order, one progress step each;
// each table's count is logged at INFO.
void rebuild_indexes(Connection& conn, std::string_view eval_table, std::string_view fn_table,
                     std::string_view feat_table, const DeletionProgressFn& progress,
                     DeletionProgress& report) {
    for (std::string_view table : {eval_table, fn_table, feat_table}) {
        const TableIndexes* entry = indexes_of(table);
        if (entry == nullptr) continue;
        for (std::size_t i = 0; i < entry->count; ++i) {
            conn.execute("REINDEX " + std::string(entry->names[i]));
            if (progress) {
                report.table = table;
                ++report.done;
                progress(report);
            }
        }
        log(LogLevel::Info, "Rebuilt %d indexes of %s",
            {Value(static_cast<std::int64_t>(entry->count)), Value(table)});
    }
}

// Picks the ids to delete from one evaluation table; an empty list skips the table.
using IdSelector = std::function<std::vector<std::int64_t>(
    Connection& conn, const EvalTables& triple, std::int64_t total)>;

// The guarded block both deletions share: counts, selection, deletion, index rebuild and
// commit under one write lock, rolled back whole on a storage error.
DeleteResult delete_selected(SearchTracker& tracker, const Value& eval_type,
                             const IdSelector& select_ids, std::string_view error_prefix,
                             const DeletionProgressFn& progress) {
    ConnWrapper& conn = tracker.conn();
    DeleteResult result;
    try {
        if (!conn.in_transaction()) conn.execute("BEGIN IMMEDIATE");
        result.signal_rows_remaining = count_where(tracker, kSignalTables.eval_table);
        result.strategy_rows_remaining = count_where(tracker, kStrategyTables.eval_table);
        for (const EvalTables& triple : eval_table_triplets(eval_type)) {
            const bool is_signal = triple.eval_table == kSignalTables.eval_table;
            std::int64_t& deleted =
                is_signal ? result.signal_rows_deleted : result.strategy_rows_deleted;
            std::int64_t& remaining =
                is_signal ? result.signal_rows_remaining : result.strategy_rows_remaining;

            std::vector<std::int64_t> ids = select_ids(conn, triple, remaining);
            if (ids.empty()) continue;
            // The rebuild of the indexes can take as long as the deletion: its steps count.
            DeletionProgress report{triple.eval_table, {}, 0,
                                    3 * ids.size() + index_count(triple)};
            delete_in_chunks(conn, ids, triple.eval_table, triple.fn_table, triple.feat_table,
                             progress, report);
            rebuild_indexes(conn, triple.eval_table, triple.fn_table, triple.feat_table,
                            progress, report);
            deleted = static_cast<std::int64_t>(ids.size());
            remaining = count_where(tracker, triple.eval_table);
        }
        conn.commit();
    } catch (const DatabaseError& e) {
        conn.rollback();
        throw IOError(std::string(error_prefix) + e.what(), std::current_exception());
    }
    return result;
}

}  // namespace

void delete_eval_ids(Connection& conn, const Params& id_list, std::string_view eval_table,
                     std::string_view fn_table, std::string_view feat_table) {
    DeletionProgress report{eval_table, {}, 0, 3 * id_list.size()};
    delete_in_chunks(conn, id_list, eval_table, fn_table, feat_table, {}, report);
}

void delete_eval_ids(Connection& conn, const std::vector<std::int64_t>& id_list,
                     std::string_view eval_table, std::string_view fn_table,
                     std::string_view feat_table, const DeletionProgressFn& progress) {
    DeletionProgress report{eval_table, {}, 0, 3 * id_list.size()};
    delete_in_chunks(conn, id_list, eval_table, fn_table, feat_table, progress, report);
}

std::vector<std::int64_t> eval_ids_of(Cursor cursor, std::size_t expected) {
    std::vector<std::int64_t> ids;
    ids.reserve(expected);
    while (std::optional<Row> row = cursor.fetchone()) ids.push_back(rows::to_int((*row)[0]));
    return ids;
}

void reindex_evaluation_tables(SearchTracker& tracker, std::string_view eval_table,
                               std::string_view fn_table, std::string_view feat_table) {
    DeletionProgress report;
    rebuild_indexes(tracker.conn(), eval_table, fn_table, feat_table, {}, report);
}

DeleteResult delete_evaluations(SearchTracker& tracker, const Value& eval_type,
                                std::int64_t keep_last, const DeletionProgressFn& progress) {
    OperationScope operation(tracker);
    check_may_delete(tracker);
    if (keep_last < 0) {
        throw ValueError("keep_last must be >= 0, got " + std::to_string(keep_last) + ".");
    }
    validate_management_eval_type(eval_type);
    auto oldest = [keep_last](Connection& conn, const EvalTables& triple,
                              std::int64_t total) -> std::vector<std::int64_t> {
        std::int64_t to_delete = total - keep_last;
        if (to_delete <= 0) return {};
        return eval_ids_of(conn.execute("SELECT eval_id FROM " + std::string(triple.eval_table) +
                                            " ORDER BY eval_id ASC LIMIT ?",
                                        {Value(to_delete)}),
                           static_cast<std::size_t>(to_delete));
    };
    return delete_selected(tracker, eval_type, oldest, "Failed to delete evaluations: ", progress);
}

DeleteResult delete_failed_evaluations(SearchTracker& tracker, const Value& eval_type,
                                       const DeletionProgressFn& progress) {
    OperationScope operation(tracker);
    check_may_delete(tracker);
    validate_management_eval_type(eval_type);
    auto failed = [](Connection& conn, const EvalTables& triple,
                     std::int64_t total) -> std::vector<std::int64_t> {
        return eval_ids_of(conn.execute("SELECT eval_id FROM " + std::string(triple.eval_table) +
                                            " WHERE passed_thresholds = 0"),
                           static_cast<std::size_t>(total));
    };
    return delete_selected(tracker, eval_type, failed, "Failed to delete failed evaluations: ",
                           progress);
}

}  // namespace plintrove
