#include "plintrove/core/trial_pruning.h"

#include <string>

#include "plintrove/queries/row_values.h"
#include "plintrove/storage/placeholder_list.h"
#include "plintrove/storage/postgres_schema.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

namespace {

std::string pruning_ddl(std::string_view table) {
    return "CREATE TABLE IF NOT EXISTS " + std::string(table) + R"( (
    era_id INTEGER NOT NULL,
    pool_id TEXT NOT NULL,
    named_universe TEXT NOT NULL,
    source TEXT NOT NULL,
    rows_pruned INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (era_id, pool_id, named_universe, source)
))";
}

std::string scope_columns(const LedgerTables& tables) {
    return "era_id, " + std::string(tables.pool_column) + ", named_universe, source";
}

// NULL and the value it is keyed as are one scope, so their counts meet. A store holds a
// handful of scopes: a linear search beats hashing Values.
void add_count(ScopeCounts& counts, const Row& row, std::int64_t n) {
    TrialScope scope = ledger_key(TrialScope{row[0], row[1], row[2], row[3]});
    for (auto& [known, count] : counts) {
        if (known == scope) {
            count += n;
            return;
        }
    }
    counts.emplace_back(std::move(scope), n);
}

void write_counts(Connection& conn, const LedgerTables& tables, const ScopeCounts& counts) {
    const std::string t(tables.pruning);
    const std::string sql =
        "INSERT INTO " + t + " (era_id, pool_id, named_universe, source, rows_pruned) "
        "VALUES (?, ?, ?, ?, ?) ON CONFLICT (era_id, pool_id, named_universe, source) "
        "DO UPDATE SET rows_pruned = " + t + ".rows_pruned + excluded.rows_pruned";
    for (const auto& [scope, count] : counts) {
        if (count <= 0) continue;
        conn.execute_unread(sql, {scope.era_id, scope.pool_id, scope.named_universe,
                                  scope.source, Value(count)});
    }
}

}  // namespace

PrunedRows::PrunedRows(std::string_view eval_table) {
    for (const LedgerTables* tables : {&kSignalLedgerTables, &kStrategyLedgerTables}) {
        if (tables->eval_table == eval_table) tables_ = tables;
    }
}

void PrunedRows::count(Connection& conn, const Params& ids) {
    if (!tables_ || ids.empty()) return;
    const std::string columns = scope_columns(*tables_);
    const std::string rows_of_ids = " FROM " + std::string(tables_->eval_table) +
                                    " WHERE eval_id IN (" + placeholder_list(ids.size(), ",") + ")";
    if (conn.dialect() == "postgres") {
        // Another session may be deleting the same rows, uncommitted and so still visible:
        // the rows are locked first, which waits for it and leaves out what it deleted, so
        // only the rows this deletion removes are counted. (SQLite's deletion already holds
        // the only write lock here.)
        for (const Row& row : conn.execute("SELECT " + columns + rows_of_ids + " FOR UPDATE", ids)
                                  .fetchall()) {
            add_count(counts_, row, 1);
        }
        return;
    }
    for (const Row& row :
         conn.execute("SELECT " + columns + ", COUNT(*)" + rows_of_ids + " GROUP BY " + columns, ids)
             .fetchall()) {
        add_count(counts_, row, rows::to_int(row[4]));
    }
}

void PrunedRows::write(Connection& conn) const {
    if (tables_) write_counts(conn, *tables_, counts_);
}

ScopeCounts pruned_rows_from_ledger(Connection& conn, const LedgerTables& tables) {
    // Counted here rather than grouped by the database: sorting a million rows by four
    // columns costs more than one pass.
    ScopeCounts present;
    conn.for_each_row("SELECT " + scope_columns(tables) + " FROM " + std::string(tables.eval_table),
                      {}, [&](const Row& row) { add_count(present, row, 1); });
    ScopeCounts pruned;
    for (const Row& row : conn.execute("SELECT era_id, pool_id, named_universe, source, trials "
                                       "FROM " + std::string(tables.ledger))
                              .fetchall()) {
        const TrialScope scope{row[0], row[1], row[2], row[3]};
        std::int64_t rows = 0;
        for (const auto& [known, count] : present) {
            if (known == scope) rows = count;
        }
        pruned.emplace_back(scope, rows::to_int(row[4]) - rows);
    }
    return pruned;
}

void ensure_trial_pruning(Connection& conn, const LedgerTables& tables, bool ledger_existed) {
    const bool existed = sqlite_table_exists(conn, tables.pruning);
    const std::string ddl = pruning_ddl(tables.pruning);
    conn.execute(conn.dialect() == "postgres" ? postgres_table_ddl(ddl) : ddl + " WITHOUT ROWID");
    if (!existed && ledger_existed) write_counts(conn, tables, pruned_rows_from_ledger(conn, tables));
}

}  // namespace plintrove
