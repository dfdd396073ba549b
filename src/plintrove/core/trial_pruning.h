#pragma once
// Rows deleted from each scope of the trial ledger. The ledger is never lowered; deletions
// count here, in their own transaction, what they remove, so that a reader learns how many
// of a scope's trials are still stored from one small row instead of a pass over the
// evaluations, and recording pays nothing for it.

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "plintrove/core/trial_ledger.h"
#include "plintrove/storage/connection.h"

namespace plintrove {

using ScopeCounts = std::vector<std::pair<TrialScope, std::int64_t>>;

// The evaluation rows a deletion removes, counted by ledger scope.
class PrunedRows {
public:
    // Counts nothing for a table that is not an evaluation table.
    explicit PrunedRows(std::string_view eval_table);
    // Counts the rows of `ids` still present, and locks them where another session could
    // delete them meanwhile; call before deleting them, in the same transaction.
    void count(Connection& conn, const Params& ids);
    // Adds the counts to the pruning table. Does not commit.
    void write(Connection& conn) const;

private:
    const LedgerTables* tables_ = nullptr;
    ScopeCounts counts_;
};

// The rows pruned per scope as a ledger older than the pruning table tells them: its
// trials less the rows present, in one pass over the evaluations. Scopes with more rows
// than trials (rows written behind the tracker's back) come out negative.
ScopeCounts pruned_rows_from_ledger(Connection& conn, const LedgerTables& tables);

// Creates one evaluation kind's pruning table. On a store whose ledger is older than the
// table, the rows pruned until now are the ledger's trials less the rows present. Does not
// commit.
void ensure_trial_pruning(Connection& conn, const LedgerTables& tables, bool ledger_existed);

}  // namespace plintrove
