#include <cstdint>
#include <optional>
#include <string>

#include "bindings.h"
#include "convert.h"
#include "plintrove/queries/deflated_sharpe_query.h"
#include "plintrove/queries/multiple_testing_summary.h"
#include "plintrove/queries/trial_ledger_query.h"

namespace plintrove::py {

namespace {

TrialLedgerFilter ledger_filter(nb::handle era_id, nb::handle eval_type,
                                nb::handle named_universe, nb::handle source,
                                nb::handle signal_pool_id, nb::handle strategy_pool_id) {
    TrialLedgerFilter f;
    f.era_id = value_arg(era_id, "era_id");
    f.eval_type = validated_arg(eval_type);
    f.named_universe = value_arg(named_universe, "named_universe");
    f.source = validated_arg(source);
    f.signal_pool_id = validated_arg(signal_pool_id);
    f.strategy_pool_id = validated_arg(strategy_pool_id);
    return f;
}

}  // namespace

void bind_trial_ledger(nb::module_&, TrackerClass& cls) {
    cls.def(
        "get_trial_ledger",
        [](SearchTracker& t, nb::handle era_id, nb::handle eval_type, nb::handle named_universe,
           nb::handle source, nb::handle signal_pool_id, nb::handle strategy_pool_id,
           nb::handle n_effective, nb::handle similarity) {
            const TrialLedgerFilter f = ledger_filter(era_id, eval_type, named_universe, source,
                                                      signal_pool_id, strategy_pool_id);
            const Value method = validated_arg(n_effective);
            const double s = real_arg(similarity, "similarity");
            nb::gil_scoped_release release;
            return get_trial_ledger(t, f, method, s);
        },
        nb::arg("era_id").none() = nb::none(), nb::arg("eval_type").none() = nb::none(),
        nb::arg("named_universe").none() = nb::none(), nb::arg("source").none() = nb::none(),
        nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_pool_id").none() = nb::none(), nb::arg("n_effective").none() = "raw",
        nb::arg("similarity").none() = 0.8,
        "Every trial ever recorded per scope, surviving pruning, with the expected best "
        "Sharpe of that many null trials.");
    cls.def(
        "get_deflated_sharpe",
        [](SearchTracker& t, nb::handle eval_id, nb::handle eval_type, nb::handle observations,
           nb::handle skew, nb::handle kurtosis, nb::handle periods_per_year,
           nb::handle n_trials, nb::handle sharpe_variance, nb::handle n_effective,
           nb::handle confidence) {
            DeflatedSharpeArgs a;
            a.eval_id = int_arg(eval_id, "eval_id");
            a.eval_type = validated_arg(eval_type);
            a.observations = from_arg<std::optional<double>>(observations, "observations");
            a.skew = from_arg<std::optional<double>>(skew, "skew");
            a.kurtosis = from_arg<std::optional<double>>(kurtosis, "kurtosis");
            a.periods_per_year = from_arg<std::optional<double>>(periods_per_year, "periods_per_year");
            a.n_trials = from_arg<std::optional<double>>(n_trials, "n_trials");
            a.sharpe_variance = from_arg<std::optional<double>>(sharpe_variance, "sharpe_variance");
            a.n_effective = validated_arg(n_effective);
            a.confidence = real_arg(confidence, "confidence");
            nb::gil_scoped_release release;
            return get_deflated_sharpe(t, a);
        },
        nb::arg("eval_id").none(), nb::arg("eval_type").none(),
        nb::arg("observations").none() = nb::none(), nb::arg("skew").none() = nb::none(),
        nb::arg("kurtosis").none() = nb::none(), nb::arg("periods_per_year").none() = nb::none(),
        nb::arg("n_trials").none() = nb::none(), nb::arg("sharpe_variance").none() = nb::none(),
        nb::arg("n_effective").none() = "raw", nb::arg("confidence").none() = 0.95,
        "An evaluation's Sharpe deflated by the number and spread of the trials of its scope.");
    cls.def(
        "get_multiple_testing_summary",
        [](SearchTracker& t, nb::handle method, nb::handle alpha, nb::handle top,
           nb::handle era_id, nb::handle eval_type, nb::handle named_universe,
           nb::handle source, nb::handle signal_pool_id, nb::handle strategy_pool_id,
           nb::handle observations, nb::handle periods_per_year) {
            MultipleTestingArgs a;
            a.method = validated_arg(method);
            a.alpha = real_arg(alpha, "alpha");
            a.top = int_arg(top, "top");
            a.filter = ledger_filter(era_id, eval_type, named_universe, source, signal_pool_id,
                                     strategy_pool_id);
            a.observations = from_arg<std::optional<double>>(observations, "observations");
            a.periods_per_year = from_arg<std::optional<double>>(periods_per_year, "periods_per_year");
            nb::gil_scoped_release release;
            return get_multiple_testing_summary(t, a);
        },
        nb::arg("method").none() = "holm", nb::arg("alpha").none() = 0.05,
        nb::arg("top").none() = 20, nb::arg("era_id").none() = nb::none(),
        nb::arg("eval_type").none() = nb::none(), nb::arg("named_universe").none() = nb::none(),
        nb::arg("source").none() = nb::none(), nb::arg("signal_pool_id").none() = nb::none(),
        nb::arg("strategy_pool_id").none() = nb::none(),
        nb::arg("observations").none() = nb::none(),
        nb::arg("periods_per_year").none() = nb::none(),
        "The best candidates with p-values adjusted for every trial counted, and their "
        "haircut Sharpe.");
}

}  // namespace plintrove::py
