#include "plintrove/queries/multiple_testing_summary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/queries/deflated_sharpe_query.h"
#include "plintrove/stats/p_value_adjustment.h"

namespace plintrove {

std::vector<MultipleTestingCandidate> get_multiple_testing_summary(
    SearchTracker& tracker, const MultipleTestingArgs& args) {
    OperationScope operation(tracker);
    if (!args.method.is_text()) parse_adjustment_method("");
    const AdjustmentMethod method = parse_adjustment_method(args.method.as_text());
    if (!(args.alpha > 0.0 && args.alpha < 1.0)) throw ValueError("alpha must be between 0 and 1");
    if (args.top < 1) throw ValueError("top must be at least 1");
    Connection& conn = tracker.conn();

    double n_tests = 0.0;
    for (const LedgerRow& row : read_trial_ledger(conn, args.filter)) {
        n_tests += static_cast<double>(candidate_trials(row.tally));
    }

    std::vector<MultipleTestingCandidate> candidates;
    for (const bool strategy : {false, true}) {
        const std::string_view kind = strategy ? "strategy" : "signal";
        const TrialLedgerFilter& f = args.filter;
        if (!f.eval_type.is_none() && f.eval_type.as_text() != kind) continue;
        const Value& own_pool = strategy ? f.strategy_pool_id : f.signal_pool_id;
        const Value& other_pool = strategy ? f.signal_pool_id : f.strategy_pool_id;
        if (!other_pool.is_none()) continue;
        const std::string pool_column = strategy ? "strategy_pool_id" : "signal_pool_id";
        // Finite Sharpes only: +-inf sort first but say nothing, and NaN is stored as NULL.
        const std::string eval_table = std::string(kind) + "_evaluations";
        std::string sql = "SELECT eval_id, era_id, " + pool_column +
                          ", named_universe, sharpe, custom_stats_json FROM " + eval_table +
                          " WHERE NOT " + errored_trial_condition(conn, eval_table) +
                          " AND sharpe >= ? AND sharpe <= ?";
        Params params{Value(-std::numeric_limits<double>::max()),
                      Value(std::numeric_limits<double>::max())};
        for (const auto& [column, value] :
             {std::pair<std::string, const Value*>{"era_id", &f.era_id},
              {pool_column, &own_pool},
              {"named_universe", &f.named_universe},
              {"source", &f.source}}) {
            if (value->is_none()) continue;
            sql += " AND " + column + " = ?";
            params.push_back(*value);
        }
        sql += " ORDER BY sharpe DESC, eval_id LIMIT ?";
        params.emplace_back(args.top);
        for (const Row& r : conn.execute(sql, params).fetchall()) {
            MultipleTestingCandidate c;
            c.eval_id = r[0].as_int();
            c.eval_type = std::string(kind);
            c.era_id = r[1].is_int() ? r[1].as_int() : 0;
            c.pool_id = r[2].is_text() ? r[2].as_text() : std::string();
            c.named_universe = r[3].is_text() ? r[3].as_text() : std::string();
            c.sharpe = stored_sharpe(r[4]).value_or(0.0);
            const CustomReturnStats custom = custom_return_stats(r[5]);
            c.observations = args.observations ? args.observations : custom.n_obs;
            c.periods_per_year = args.periods_per_year.value_or(custom.periods_per_year.value_or(252.0));
            candidates.push_back(std::move(c));
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.sharpe > b.sharpe; });
    if (candidates.size() > static_cast<std::size_t>(args.top)) candidates.resize(args.top);

    // The family holds at least the candidates themselves (a ledger rebuilt after pruning
    // can count fewer trials than there are rows to rank).
    const double family = std::max(n_tests, static_cast<double>(candidates.size()));
    std::vector<double> p_values;
    std::vector<std::size_t> tested;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        MultipleTestingCandidate& c = candidates[i];
        c.method = args.method.as_text();
        c.n_tests = family;
        if (!c.observations || !(*c.observations > 0.0) || !(c.periods_per_year > 0.0)) {
            c.status = "missing_observations";
            continue;
        }
        c.p_value = sharpe_p_value(c.sharpe, *c.observations / c.periods_per_year);
        p_values.push_back(*c.p_value);
        tested.push_back(i);
    }
    if (!p_values.empty()) {
        const std::vector<double> adjusted = adjust_p_values(p_values, family, method);
        for (std::size_t k = 0; k < tested.size(); ++k) {
            MultipleTestingCandidate& c = candidates[tested[k]];
            c.adjusted_p_value = adjusted[k];
            c.haircut_sharpe =
                haircut_sharpe(c.sharpe, adjusted[k], *c.observations / c.periods_per_year);
            c.significant = adjusted[k] <= args.alpha;
        }
    }
    return candidates;
}

}  // namespace plintrove
