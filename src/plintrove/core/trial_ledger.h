#pragma once
// The multiple-testing ledger: per scope (era, pool, named universe, source) of each
// evaluation kind, how many trials were ever recorded, how many errored or had no finite
// Sharpe, and the running moments and maximum of the finite Sharpes. It is written in the
// same transaction as the evaluations it counts and never by deletions, so the number of
// trials stays honest after pruning.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plintrove/stats/sharpe_moments.h"
#include "plintrove/storage/connection.h"
#include "plintrove/value/value.h"

namespace plintrove {

inline constexpr std::string_view kSignalTrialLedger = "signal_trial_ledger";
inline constexpr std::string_view kStrategyTrialLedger = "strategy_trial_ledger";

// The tables behind one evaluation kind's ledger.
struct LedgerTables {
    bool strategy;
    std::string_view ledger;
    std::string_view pruning;  // rows deleted per scope (trial_pruning.h)
    std::string_view eval_table;
    std::string_view pool_column;
};
inline constexpr LedgerTables kSignalLedgerTables{false, kSignalTrialLedger,
                                                  "signal_trial_pruning", "signal_evaluations",
                                                  "signal_pool_id"};
inline constexpr LedgerTables kStrategyLedgerTables{true, kStrategyTrialLedger,
                                                    "strategy_trial_pruning",
                                                    "strategy_evaluations", "strategy_pool_id"};

struct TrialScope {
    Value era_id;
    Value pool_id;
    Value named_universe;
    Value source;
    bool operator==(const TrialScope&) const = default;
};

// The scope as the ledger keys it: its key columns are NOT NULL so that every trial of a
// scope meets the same row, and a value the host left out is keyed as 0 or the empty text.
TrialScope ledger_key(TrialScope scope);

// The trials of one scope, as a batch adds them or as one ledger row holds them.
struct TrialTally {
    std::int64_t trials = 0;
    std::int64_t errored = 0;
    std::int64_t nonfinite = 0;
    SharpeMoments moments;
    std::optional<double> sharpe_max;
    std::optional<std::int64_t> best_eval_id;

    // An errored trial's Sharpe is a placeholder and is never counted; a missing Sharpe
    // (none) and NaN or +-inf are counted apart from the finite ones.
    void add(std::int64_t eval_id, const std::optional<double>& sharpe, bool errored_trial);
};

// Trials gathered for one transaction, folded into the ledger with one statement per scope.
class TrialLedgerBatch {
public:
    void add(bool strategy, TrialScope scope, std::int64_t eval_id,
             const std::optional<double>& sharpe, bool errored_trial);
    // Merges every scope into its ledger row; `rebuilt` marks rows this call creates. Does
    // not commit.
    void write(Connection& conn, bool rebuilt = false) const;
    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        bool strategy;
        TrialScope scope;
        TrialTally tally;
    };
    std::vector<Entry> entries_;
};

// The statement that folds one scope's trials into its ledger row: era, pool, named
// universe, source, then the tally's columns in table order and the rebuilt flag.
const std::string& trial_ledger_upsert_sql(bool strategy);

// A Sharpe as stored: none for NULL, otherwise the number.
std::optional<double> stored_sharpe(const Value& v);

// Creates the ledger and pruning tables and the custom-statistics and errored-trial columns
// where missing; a ledger created on a store that already holds evaluations is filled from
// those rows and its scopes are marked as rebuilt. Does not commit.
void ensure_trial_ledger(Connection& conn);

// Stores the host's own statistics of an evaluation when it gave any. Does not commit.
void store_custom_stats(Connection& conn, std::string_view eval_table, std::int64_t eval_id,
                        const Value& custom_stats);

// Marks an evaluation as an errored trial whose row holds no failure reason (the writer
// stores none), so that readers skip its placeholder Sharpe as the ledger did. Does not
// commit.
void mark_trial_errored(Connection& conn, std::string_view eval_table, std::int64_t eval_id);

// The condition, on a row of `eval_table`, of an errored trial. A table that never got the
// mark (a store last opened for writing by an older tracker, now read-only) has failure
// reasons alone.
std::string errored_trial_condition(Connection& conn, std::string_view eval_table);

}  // namespace plintrove
