#pragma once
// How many independent trials the rows present in each ledger scope amount to: every row
// ("raw"), one per cluster of rows whose function and feature names overlap
// ("graph_jaccard"), or one per distinct graph with its constants removed ("graph_hash").

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "plintrove/core/trial_ledger.h"
#include "plintrove/storage/connection.h"
#include "plintrove/value/value.h"

namespace plintrove {

enum class EffectiveMethod { Raw, GraphJaccard, GraphHash };

// ValueError for anything but "raw", "graph_jaccard" and "graph_hash".
EffectiveMethod parse_effective_method(const Value& method);
std::string_view effective_method_name(EffectiveMethod method);

// What the rows still stored in one scope say of their redundancy.
struct ScopePresence {
    std::int64_t candidates = 0;    // rows that are not errored trials
    std::int64_t clusters = 0;      // of the candidates
    // Sample variance across the clusters' mean finite Sharpes; none below two clusters
    // with a finite Sharpe.
    std::optional<double> cluster_variance;
};

// One entry per scope of `scopes` (all of one evaluation kind), in the same order, for
// "graph_jaccard" or "graph_hash", in one pass over the evaluation rows. "raw" needs none:
// the ledger alone answers it.
std::vector<ScopePresence> scan_scopes(Connection& conn, bool strategy,
                                       const std::vector<TrialScope>& scopes,
                                       EffectiveMethod method, double similarity);

// The number of trials a scope's ledger stands for, scaled by the redundancy seen among the
// rows present (pruned rows are assumed as redundant as the rest).
double effective_trial_count(std::int64_t ledger_trials, const ScopePresence& presence,
                             EffectiveMethod method);

}  // namespace plintrove
