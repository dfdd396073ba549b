#include "plintrove/queries/deflated_sharpe_query.h"

#include <cmath>
#include <string>

#include "plintrove/core/errors.h"
#include "plintrove/core/operation_scope.h"
#include "plintrove/core/trial_ledger.h"
#include "plintrove/queries/effective_trials.h"
#include "plintrove/queries/trial_ledger_query.h"
#include "plintrove/queries/validators.h"
#include "plintrove/stats/deflated_sharpe.h"
#include "plintrove/value/json.h"

namespace plintrove {

namespace {

std::optional<double> number_at(const Value& stats, std::string_view key) {
    const Value* v = stats.get(key);
    if (v == nullptr || v->is_bool()) return std::nullopt;
    if (v->is_int()) return static_cast<double>(v->as_int());
    if (v->is_float()) return v->as_float();
    return std::nullopt;
}

}  // namespace

CustomReturnStats custom_return_stats(const Value& custom_stats_json) {
    CustomReturnStats out;
    if (!custom_stats_json.is_text() || custom_stats_json.as_text().empty()) return out;
    Value stats;
    try {
        stats = json_loads(custom_stats_json.as_text());
    } catch (const ValueError&) {
        return out;  // not ours to refuse: the host may have stored anything
    }
    out.n_obs = number_at(stats, "n_obs");
    out.skew = number_at(stats, "skew");
    out.kurtosis = number_at(stats, "kurtosis");
    out.periods_per_year = number_at(stats, "periods_per_year");
    return out;
}

DeflatedSharpe get_deflated_sharpe(SearchTracker& tracker, const DeflatedSharpeArgs& args) {
    OperationScope operation(tracker);
    validate_eval_type_strict(args.eval_type);
    const EffectiveMethod method = parse_effective_method(args.n_effective);
    if (!(args.confidence > 0.0 && args.confidence < 1.0)) {
        throw ValueError("confidence must be between 0 and 1");
    }
    if (args.n_trials) expected_max_z(*args.n_trials);  // refuses N < 1 and non-finite N
    if (args.sharpe_variance && !(std::isfinite(*args.sharpe_variance) && *args.sharpe_variance >= 0.0)) {
        throw ValueError("sharpe_variance must be a finite number >= 0");
    }
    const bool strategy = args.eval_type.as_text() == "strategy";
    Connection& conn = tracker.conn();
    const std::string_view eval_table = strategy ? "strategy_evaluations" : "signal_evaluations";
    const std::string sql =
        "SELECT sharpe, " + errored_trial_condition(conn, eval_table) + ", era_id, " +
        (strategy ? "strategy_pool_id" : "signal_pool_id") +
        ", named_universe, source, custom_stats_json FROM " + std::string(eval_table) +
        " WHERE eval_id = ?";
    std::optional<Row> row = conn.execute(sql, {Value(args.eval_id)}).fetchone();
    if (!row) {
        throw ValueError("No " + args.eval_type.as_text() + " evaluation with eval_id=" +
                         std::to_string(args.eval_id));
    }

    DeflatedSharpe out;
    out.eval_id = args.eval_id;
    out.eval_type = args.eval_type.as_text();
    out.confidence = args.confidence;
    out.n_effective_method = std::string(effective_method_name(method));
    out.sharpe = stored_sharpe((*row)[0]);
    List assumptions;

    const CustomReturnStats custom = custom_return_stats((*row)[6]);
    out.observations = args.observations ? args.observations : custom.n_obs;
    const std::optional<double> skew = args.skew ? args.skew : custom.skew;
    const std::optional<double> kurtosis = args.kurtosis ? args.kurtosis : custom.kurtosis;
    if (!skew && !kurtosis) {
        assumptions.emplace_back("normal returns assumed");
    } else if (!skew) {
        assumptions.emplace_back("zero skew assumed");
    } else if (!kurtosis) {
        assumptions.emplace_back("kurtosis 3 assumed");
    }
    out.skew = skew.value_or(0.0);
    out.kurtosis = kurtosis.value_or(3.0);
    const std::optional<double> p = args.periods_per_year ? args.periods_per_year
                                                          : custom.periods_per_year;
    if (!p) assumptions.emplace_back("252 periods per year assumed");
    out.periods_per_year = p.value_or(252.0);

    // The scope's trials and spread, unless the caller gave both.
    if (!args.n_trials || !args.sharpe_variance) {
        TrialLedgerFilter filter;
        filter.eval_type = args.eval_type;
        filter.era_id = (*row)[2];
        (strategy ? filter.strategy_pool_id : filter.signal_pool_id) = (*row)[3];
        filter.named_universe = (*row)[4];
        filter.source = (*row)[5];
        const std::vector<TrialLedgerEntry> scope =
            get_trial_ledger(tracker, filter, args.n_effective, 0.8);
        if (!scope.empty()) {
            out.n_trials = scope.front().effective_trials;
            out.sharpe_variance = scope.front().sharpe_variance;
        }
    }
    if (args.n_trials) out.n_trials = args.n_trials;
    if (args.sharpe_variance) out.sharpe_variance = args.sharpe_variance;

    if ((*row)[1].truthy()) {
        out.status = "errored_evaluation";
        out.assumptions = Value(std::move(assumptions));
        return out;
    }
    if (!out.sharpe || !std::isfinite(*out.sharpe)) {
        out.status = "no_sharpe";
        out.assumptions = Value(std::move(assumptions));
        return out;
    }

    double n = out.n_trials.value_or(1.0);
    double variance = out.sharpe_variance.value_or(0.0);
    const bool single = n <= 1.0 || !out.sharpe_variance;
    if (single) {
        assumptions.emplace_back(
            "a single trial or no spread across trials: the benchmark is a zero Sharpe");
        n = std::max(n, 1.0);
        variance = 0.0;
    }
    out.sr0 = expected_max_sharpe(n, variance);
    if (!out.observations) {
        out.status = "missing_observations";
        out.assumptions = Value(std::move(assumptions));
        return out;
    }
    DeflationInputs in;
    in.sharpe_annual = *out.sharpe;
    in.observations = *out.observations;
    in.periods_per_year = out.periods_per_year;
    in.skew = out.skew;
    in.kurtosis = out.kurtosis;
    in.n_trials = n;
    in.variance_annual = variance;
    in.confidence = args.confidence;
    const Deflation d = deflate_sharpe(in);
    out.psr = d.psr_zero;
    out.dsr = d.dsr;
    out.z = d.z;
    out.p_value = d.p_value;
    out.passes = d.passes;
    if (std::isfinite(d.min_track_record_length)) {
        out.min_track_record_length = d.min_track_record_length;
    }
    out.status = single ? "single_trial" : "ok";
    out.assumptions = Value(std::move(assumptions));
    return out;
}

}  // namespace plintrove
