#include "plintrove/core/trial_ledger.h"

#include <array>
#include <cmath>
#include <set>
#include <string>

#include "plintrove/core/constants.h"
#include "plintrove/core/trial_pruning.h"
#include "plintrove/storage/postgres_schema.h"
#include "plintrove/storage/sqlite_catalog.h"
#include "plintrove/value/json.h"

namespace plintrove {

namespace {

std::string ledger_ddl(std::string_view table) {
    std::string sql = "CREATE TABLE IF NOT EXISTS ";
    sql += table;
    sql += R"( (
    era_id INTEGER NOT NULL,
    pool_id TEXT NOT NULL,
    named_universe TEXT NOT NULL,
    source TEXT NOT NULL,
    trials INTEGER NOT NULL DEFAULT 0,
    errored_trials INTEGER NOT NULL DEFAULT 0,
    nonfinite_trials INTEGER NOT NULL DEFAULT 0,
    sharpe_count INTEGER NOT NULL DEFAULT 0,
    sharpe_mean REAL NOT NULL DEFAULT 0,
    sharpe_m2 REAL NOT NULL DEFAULT 0,
    sharpe_max REAL,
    best_eval_id INTEGER,
    rebuilt INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (era_id, pool_id, named_universe, source)
))";
    return sql;
}

// The batch's moments are merged into the stored ones by the parallel formula inside the
// statement, so concurrent writers on a shared server never lose an update. Every
// right-hand side reads the row as it was before the update.
std::string ledger_upsert(std::string_view table) {
    const std::string t(table);
    return "INSERT INTO " + t +
           " (era_id, pool_id, named_universe, source, trials, errored_trials, "
           "nonfinite_trials, sharpe_count, sharpe_mean, sharpe_m2, sharpe_max, best_eval_id, "
           "rebuilt) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
           "ON CONFLICT (era_id, pool_id, named_universe, source) DO UPDATE SET "
           "trials = " + t + ".trials + excluded.trials, "
           "errored_trials = " + t + ".errored_trials + excluded.errored_trials, "
           "nonfinite_trials = " + t + ".nonfinite_trials + excluded.nonfinite_trials, "
           "sharpe_count = " + t + ".sharpe_count + excluded.sharpe_count, "
           "sharpe_mean = CASE WHEN excluded.sharpe_count = 0 THEN " + t + ".sharpe_mean "
           "ELSE " + t + ".sharpe_mean + (excluded.sharpe_mean - " + t + ".sharpe_mean) * "
           "excluded.sharpe_count / (" + t + ".sharpe_count + excluded.sharpe_count) END, "
           "sharpe_m2 = CASE WHEN excluded.sharpe_count = 0 THEN " + t + ".sharpe_m2 "
           "ELSE " + t + ".sharpe_m2 + excluded.sharpe_m2 + (excluded.sharpe_mean - " + t +
           ".sharpe_mean) * (excluded.sharpe_mean - " + t + ".sharpe_mean) * " + t +
           ".sharpe_count * excluded.sharpe_count / (" + t +
           ".sharpe_count + excluded.sharpe_count) END, "
           "best_eval_id = CASE WHEN excluded.sharpe_max IS NOT NULL AND (" + t +
           ".sharpe_max IS NULL OR excluded.sharpe_max > " + t + ".sharpe_max) "
           "THEN excluded.best_eval_id ELSE " + t + ".best_eval_id END, "
           "sharpe_max = CASE WHEN excluded.sharpe_max IS NOT NULL AND (" + t +
           ".sharpe_max IS NULL OR excluded.sharpe_max > " + t + ".sharpe_max) "
           "THEN excluded.sharpe_max ELSE " + t + ".sharpe_max END";
}

Value optional_value(const std::optional<double>& v) { return v ? Value(*v) : Value(); }
Value optional_value(const std::optional<std::int64_t>& v) { return v ? Value(*v) : Value(); }

constexpr std::array<ColumnType, 2> kLedgerColumns{{{"custom_stats_json", "TEXT"},
                                                    {"trial_errored", "INTEGER"}}};
constexpr std::array<TableColumns, 2> kLedgerColumnMigrations{{
    {"signal_evaluations", kLedgerColumns},
    {"strategy_evaluations", kLedgerColumns},
}};

}  // namespace

TrialScope ledger_key(TrialScope scope) {
    static const Value kZero(0);
    static const Value kEmpty("");
    if (scope.era_id.is_none()) scope.era_id = kZero;
    if (scope.pool_id.is_none()) scope.pool_id = kEmpty;
    if (scope.named_universe.is_none()) scope.named_universe = kEmpty;
    if (scope.source.is_none()) scope.source = kEmpty;
    return scope;
}

void TrialTally::add(std::int64_t eval_id, const std::optional<double>& sharpe,
                     bool errored_trial) {
    ++trials;
    if (errored_trial) {
        ++errored;
        return;
    }
    if (!sharpe || !std::isfinite(*sharpe)) {
        ++nonfinite;
        return;
    }
    moments.add(*sharpe);
    if (!sharpe_max || *sharpe > *sharpe_max) {
        sharpe_max = *sharpe;
        best_eval_id = eval_id;
    }
}

void TrialLedgerBatch::add(bool strategy, TrialScope scope, std::int64_t eval_id,
                           const std::optional<double>& sharpe, bool errored_trial) {
    scope = ledger_key(std::move(scope));
    // A batch touches a handful of scopes: a linear search beats hashing Values.
    for (Entry& entry : entries_) {
        if (entry.strategy == strategy && entry.scope == scope) {
            entry.tally.add(eval_id, sharpe, errored_trial);
            return;
        }
    }
    entries_.push_back({strategy, std::move(scope), {}});
    entries_.back().tally.add(eval_id, sharpe, errored_trial);
}

const std::string& trial_ledger_upsert_sql(bool strategy) {
    static const std::string signal_sql = ledger_upsert(kSignalTrialLedger);
    static const std::string strategy_sql = ledger_upsert(kStrategyTrialLedger);
    return strategy ? strategy_sql : signal_sql;
}

void TrialLedgerBatch::write(Connection& conn, bool rebuilt) const {
    Params params(13);
    for (const Entry& e : entries_) {
        const TrialTally& t = e.tally;
        params[0] = e.scope.era_id;
        params[1] = e.scope.pool_id;
        params[2] = e.scope.named_universe;
        params[3] = e.scope.source;
        params[4] = Value(t.trials);
        params[5] = Value(t.errored);
        params[6] = Value(t.nonfinite);
        params[7] = Value(t.moments.count);
        params[8] = Value(t.moments.mean);
        params[9] = Value(t.moments.m2);
        params[10] = optional_value(t.sharpe_max);
        params[11] = optional_value(t.best_eval_id);
        params[12] = Value(rebuilt ? 1 : 0);
        conn.execute_unread(trial_ledger_upsert_sql(e.strategy), params);
    }
}

std::optional<double> stored_sharpe(const Value& v) {
    if (v.is_float()) return v.as_float();
    if (v.is_int()) return static_cast<double>(v.as_int());
    return std::nullopt;
}

namespace {

// The ledger and pruning tables of one evaluation type, what is new in them filled from the
// rows present.
void create_ledger_tables(Connection& conn, const LedgerTables& source, bool postgres) {
    const bool existed = sqlite_table_exists(conn, source.ledger);
    // Without a rowid SQLite keeps the row in its key's b-tree: one page for each
    // recording to write instead of two.
    const std::string ddl = ledger_ddl(source.ledger);
    conn.execute(postgres ? postgres_table_ddl(ddl) : ddl + " WITHOUT ROWID");
    ensure_trial_pruning(conn, source, existed);
    if (existed) return;
    // The rows present are all that is left to count; what was pruned before is lost,
    // which the rebuilt flag tells the reader.
    TrialLedgerBatch batch;
    std::string sql = "SELECT eval_id";
    // A table of an old layout may lack any of the columns; those read as NULL.
    const std::set<std::string> present = sqlite_table_columns(conn, source.eval_table);
    for (std::string_view column : {std::string_view("era_id"), source.pool_column,
                                    std::string_view("named_universe"),
                                    std::string_view("source"), std::string_view("sharpe"),
                                    std::string_view("failure_reason"),
                                    std::string_view("trial_errored")}) {
        sql += ", ";
        sql += present.count(std::string(column)) ? column : std::string_view("NULL");
    }
    sql += " FROM " + std::string(source.eval_table) + " ORDER BY eval_id";
    conn.for_each_row(sql, {}, [&](const Row& row) {
        batch.add(source.strategy, TrialScope{row[1], row[2], row[3], row[4]}, row[0].as_int(),
                  stored_sharpe(row[5]), !row[6].is_none() || !row[7].is_none());
    });
    batch.write(conn, true);
}

}  // namespace

void ensure_trial_ledger(Connection& conn) {
    const bool postgres = conn.dialect() == "postgres";
    sqlite_ensure_columns(conn, kLedgerColumnMigrations);
    for (const LedgerTables& source : {kSignalLedgerTables, kStrategyLedgerTables}) {
        // A missing table is created and filled under the write lock, and looked for again
        // once the lock is held: a second process opening the same old store then finds it
        // filled instead of counting the rows into it again. (On PostgreSQL the whole
        // schema is built under that lock.)
        const bool lock = !conn.in_transaction() &&
                          (!sqlite_table_exists(conn, source.ledger) ||
                           !sqlite_table_exists(conn, source.pruning));
        if (lock) conn.execute("BEGIN IMMEDIATE");
        create_ledger_tables(conn, source, postgres);
        if (lock) conn.execute("COMMIT");
    }
}

void store_custom_stats(Connection& conn, std::string_view eval_table, std::int64_t eval_id,
                        const Value& custom_stats) {
    if (!custom_stats.truthy()) return;
    thread_local std::string buffer;
    buffer.clear();
    json_dumps_into(custom_stats, buffer);
    const std::string sql = "UPDATE " + std::string(eval_table) +
                            " SET custom_stats_json = ? WHERE eval_id = ?";
    conn.execute(sql, Params{Value(std::string(buffer)), Value(eval_id)});
}

void mark_trial_errored(Connection& conn, std::string_view eval_table, std::int64_t eval_id) {
    conn.execute_unread(
        "UPDATE " + std::string(eval_table) + " SET trial_errored = 1 WHERE eval_id = ?",
        {Value(eval_id)});
}

std::string errored_trial_condition(Connection& conn, std::string_view eval_table) {
    return sqlite_table_columns(conn, eval_table).count("trial_errored")
               ? "(failure_reason IS NOT NULL OR trial_errored IS NOT NULL)"
               : "(failure_reason IS NOT NULL)";
}

}  // namespace plintrove
