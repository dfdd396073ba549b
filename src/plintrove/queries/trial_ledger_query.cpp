#include "plintrove/queries/trial_ledger_query.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_pruning.h"
#include "plintrove/queries/row_values.h"
#include "plintrove/queries/validators.h"
#include "plintrove/stats/deflated_sharpe.h"
#include "plintrove/storage/sqlite_catalog.h"

namespace plintrove {

namespace {

constexpr std::string_view kLedgerColumns =
    "l.era_id, l.pool_id, l.named_universe, l.source, l.trials, l.errored_trials, "
    "l.nonfinite_trials, l.sharpe_count, l.sharpe_mean, l.sharpe_m2, l.sharpe_max, "
    "l.best_eval_id, l.rebuilt";

std::string text_of(const Value& v) { return v.is_text() ? v.as_text() : std::string(); }

}  // namespace

std::int64_t candidate_trials(const TrialTally& tally) { return tally.trials - tally.errored; }

std::vector<LedgerRow> read_trial_ledger(Connection& conn, const TrialLedgerFilter& filter) {
    validate_eval_type(filter.eval_type);
    validate_source_query(filter.source);
    const Value signal_pool = validate_optional_pool_query(filter.signal_pool_id, "signal_pool_id");
    const Value strategy_pool =
        validate_optional_pool_query(filter.strategy_pool_id, "strategy_pool_id");

    std::vector<LedgerRow> out;
    for (const bool strategy : {false, true}) {
        const std::string_view kind = strategy ? "strategy" : "signal";
        if (!filter.eval_type.is_none() && filter.eval_type.as_text() != kind) continue;
        // A pool filter of the other kind owns no scope of this one.
        const Value& own_pool = strategy ? strategy_pool : signal_pool;
        const Value& other_pool = strategy ? signal_pool : strategy_pool;
        if (!other_pool.is_none()) continue;

        const LedgerTables& tables = strategy ? kStrategyLedgerTables : kSignalLedgerTables;
        // A store last opened for writing before the pruning table (now read-only) has none:
        // its counts come from the rows present instead.
        const bool counted = sqlite_table_exists(conn, tables.pruning);
        std::string sql = "SELECT " + std::string(kLedgerColumns);
        sql += counted ? ", COALESCE(p.rows_pruned, 0) FROM " + std::string(tables.ledger) +
                             " AS l LEFT JOIN " + std::string(tables.pruning) +
                             " AS p ON p.era_id = l.era_id AND p.pool_id = l.pool_id AND "
                             "p.named_universe = l.named_universe AND p.source = l.source"
                       : ", 0 FROM " + std::string(tables.ledger) + " AS l";
        Params params;
        std::string where;
        for (const auto& [column, value] :
             {std::pair<const char*, const Value*>{"l.era_id", &filter.era_id},
              {"l.pool_id", &own_pool},
              {"l.named_universe", &filter.named_universe},
              {"l.source", &filter.source}}) {
            if (value->is_none()) continue;
            where += where.empty() ? " WHERE " : " AND ";
            where += std::string(column) + " = ?";
            params.push_back(*value);
        }
        sql += where + " ORDER BY l.era_id, l.pool_id, l.named_universe, l.source";
        for (const Row& r : conn.execute(sql, params).fetchall()) {
            LedgerRow row;
            row.strategy = strategy;
            row.scope = TrialScope{r[0], r[1], r[2], r[3]};
            TrialTally& t = row.tally;
            t.trials = r[4].as_int();
            t.errored = r[5].as_int();
            t.nonfinite = r[6].as_int();
            t.moments.count = r[7].as_int();
            t.moments.mean = stored_sharpe(r[8]).value_or(0.0);
            t.moments.m2 = stored_sharpe(r[9]).value_or(0.0);
            t.sharpe_max = stored_sharpe(r[10]);
            if (r[11].is_int()) t.best_eval_id = r[11].as_int();
            row.rebuilt = r[12].truthy();
            row.rows_pruned = rows::to_int(r[13]);
            out.push_back(std::move(row));
        }
        if (!counted) {
            const ScopeCounts pruned = pruned_rows_from_ledger(conn, tables);
            for (LedgerRow& row : out) {
                for (const auto& [scope, count] : pruned) {
                    if (row.strategy == strategy && scope == row.scope) {
                        row.rows_pruned = std::max<std::int64_t>(0, count);
                    }
                }
            }
        }
    }
    return out;
}

std::vector<TrialLedgerEntry> get_trial_ledger(SearchTracker& tracker,
                                               const TrialLedgerFilter& filter,
                                               const Value& n_effective, double similarity) {
    OperationScope operation(tracker);
    const EffectiveMethod method = parse_effective_method(n_effective);
    if (!(similarity > 0.0 && similarity <= 1.0)) {
        throw ValueError("similarity must be greater than 0 and at most 1");
    }
    Connection& conn = tracker.conn();
    const std::vector<LedgerRow> rows = read_trial_ledger(conn, filter);

    // "raw" needs the ledger alone; the other methods look at the rows still stored.
    std::vector<ScopePresence> presence;
    if (method == EffectiveMethod::Raw) {
        presence.resize(rows.size());
    } else {
        for (const bool strategy : {false, true}) {
            std::vector<TrialScope> scopes;
            for (const LedgerRow& r : rows) {
                if (r.strategy == strategy) scopes.push_back(r.scope);
            }
            std::vector<ScopePresence> part =
                scan_scopes(conn, strategy, scopes, method, similarity);
            presence.insert(presence.end(), part.begin(), part.end());
        }
    }

    std::vector<TrialLedgerEntry> out;
    out.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LedgerRow& r = rows[i];
        const TrialTally& t = r.tally;
        TrialLedgerEntry e;
        e.eval_type = r.strategy ? "strategy" : "signal";
        e.era_id = r.scope.era_id.is_int() ? r.scope.era_id.as_int() : 0;
        e.pool_id = text_of(r.scope.pool_id);
        e.named_universe = text_of(r.scope.named_universe);
        e.source = text_of(r.scope.source);
        e.trials = t.trials;
        e.errored_trials = t.errored;
        e.nonfinite_trials = t.nonfinite;
        e.sharpe_count = t.moments.count;
        if (t.moments.count > 0) e.sharpe_mean = t.moments.mean;
        e.sharpe_max = t.sharpe_max;
        e.best_eval_id = t.best_eval_id;
        e.n_effective_method = std::string(effective_method_name(method));
        e.effective_trials =
            effective_trial_count(candidate_trials(t), presence[i], method);
        e.sharpe_variance =
            method == EffectiveMethod::Raw ? t.moments.variance() : presence[i].cluster_variance;
        if (e.effective_trials >= 1.0) {
            if (e.sharpe_variance) {
                e.expected_max_sharpe = expected_max_sharpe(e.effective_trials, *e.sharpe_variance);
            }
            if (t.sharpe_max) {
                e.min_backtest_length_years =
                    min_backtest_length_years(e.effective_trials, *t.sharpe_max);
                if (std::isinf(*e.min_backtest_length_years)) e.min_backtest_length_years.reset();
            }
        }
        // Rows inserted behind the tracker's back and then deleted by it count as pruned
        // without ever having been trials.
        e.rows_present = std::max<std::int64_t>(0, t.trials - r.rows_pruned);
        e.rows_pruned = r.rows_pruned;
        e.rebuilt = r.rebuilt;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace plintrove
