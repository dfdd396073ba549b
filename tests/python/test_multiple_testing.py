"""The ledger's queries: trials per scope and what they imply, one evaluation's deflated
Sharpe, and the corrected p-values of the best candidates."""

import dataclasses
import math
import queue
import random
import statistics
import typing
from statistics import NormalDist

import pytest

from conftest import read, write
from plintrove.search_tracking import BacktestStats, SearchTracker, WriterThread

PHI = NormalDist()


class Status:
    error_code = recovery_advice = None
    running = True
    errors = []
GAMMA = 0.5772156649015329


def graph(fn="rank", features=("close",), constant=5):
    children = [{"type": "feature", "node": f} for f in features]
    return {"type": "rotation", "node": fn, "params": {"window": constant},
            "children": children + [{"type": "constant", "node": constant}]}


def record(tracker, sharpe, g=None, era=1, pool="pool_a", failure_reason=None, **stats):
    return tracker.record_signal_evaluation(
        graph=g or graph(), stats=BacktestStats(sharpe=sharpe, **stats), era_id=era,
        passed_thresholds=True, named_universe="U", metaparameters={pool: {"k": 1}},
        signal_pool_id=pool, failure_reason=failure_reason)


def record_strategy(tracker, sharpe, signal_id):
    return tracker.record_strategy_evaluation(
        graph=graph(), stats=BacktestStats(sharpe=sharpe), era_id=1, passed_thresholds=True,
        referenced_signal_ids=[signal_id], named_universe="U",
        metaparameters={"strat": {"k": 1}}, strategy_pool_id="strat",
        strategy_signal_pool="pool_a")


def expected_max(n, variance):
    # Written from the definition, independently of the library.
    z = (1 - GAMMA) * PHI.inv_cdf(1 - 1 / n) + GAMMA * PHI.inv_cdf(1 - 1 / (n * math.e))
    return math.sqrt(variance) * z


SHARPES = [0.4, -0.2, 1.3, 0.9, 0.1, float("nan"), 0.6]


def test_ledger_entry_and_what_pruning_leaves(tracker):
    ids = [record(tracker, s) for s in SHARPES]
    record(tracker, 5.0, failure_reason="timeout")
    signal = record(tracker, 0.3, era=2)
    record_strategy(tracker, 0.7, signal)
    finite = [s for s in SHARPES if math.isfinite(s)]

    (entry,) = tracker.get_trial_ledger(era_id=1, eval_type="signal")
    assert (entry.eval_type, entry.era_id, entry.pool_id, entry.named_universe, entry.source) == \
        ("signal", 1, "pool_a", "U", "search")
    assert (entry.trials, entry.errored_trials, entry.nonfinite_trials, entry.sharpe_count) == \
        (9 - 1, 1, 1, 6)
    assert entry.sharpe_mean == pytest.approx(statistics.mean(finite))
    assert entry.sharpe_variance == pytest.approx(statistics.variance(finite))
    assert (entry.sharpe_max, entry.best_eval_id) == (1.3, ids[2])
    # Errored trials are not candidates: seven trials remain.
    assert entry.effective_trials == 7 and entry.n_effective_method == "raw"
    assert entry.expected_max_sharpe == pytest.approx(expected_max(7, entry.sharpe_variance))
    z = entry.expected_max_sharpe / math.sqrt(entry.sharpe_variance)
    assert entry.min_backtest_length_years == pytest.approx((z / 1.3) ** 2)
    assert (entry.rows_present, entry.rows_pruned, entry.rebuilt) == (8, 0, False)
    hints = typing.get_type_hints(type(entry))
    assert (hints["best_eval_id"], hints["sharpe_variance"]) == (int | None, float | None)
    assert dataclasses.asdict(entry)["trials"] == 8

    tracker.delete_failed_evaluations()
    tracker.delete_evaluations(keep_last=3)  # the newest three signals: two are of era 1
    (after,) = tracker.get_trial_ledger(era_id=1, eval_type="signal")
    assert after.trials == 8 and after.sharpe_max == 1.3
    assert (after.rows_present, after.rows_pruned) == (2, 6)


@pytest.mark.parametrize("filters, expected", [
    ({}, [("signal", 1), ("signal", 2), ("strategy", 1)]),
    ({"eval_type": "strategy"}, [("strategy", 1)]),
    ({"era_id": 2}, [("signal", 2)]),
    ({"signal_pool_id": "pool_a"}, [("signal", 1), ("signal", 2)]),
    ({"strategy_pool_id": "strat"}, [("strategy", 1)]),
    ({"signal_pool_id": "other"}, []),
    ({"source": "simulate"}, []),
])
def test_ledger_filters(tracker, filters, expected):
    signal = record(tracker, 1.0)
    record(tracker, 1.0, era=2)
    record_strategy(tracker, 0.5, signal)
    assert [(e.eval_type, e.era_id) for e in tracker.get_trial_ledger(**filters)] == expected


@pytest.mark.parametrize("call, message", [
    (lambda t: t.get_trial_ledger(eval_type="both"),
     "eval_type must be 'signal', 'strategy', or None"),
    (lambda t: t.get_trial_ledger(n_effective="clusters"),
     "n_effective must be 'raw', 'graph_jaccard' or 'graph_hash'"),
    (lambda t: t.get_trial_ledger(n_effective="graph_jaccard", similarity=0),
     "similarity must be greater than 0 and at most 1"),
    (lambda t: t.get_deflated_sharpe(1, "signal", observations=1),
     "observations must be a finite number greater than 1"),
    (lambda t: t.get_deflated_sharpe(1, "signal", observations=100, kurtosis=0.0),
     "kurtosis must be at least 1 + skew^2"),
    (lambda t: t.get_deflated_sharpe(1, "signal", n_trials=0.5),
     "number of trials must be a finite number >= 1"),
    (lambda t: t.get_deflated_sharpe(1, "signal", n_trials=float("inf")),
     "number of trials must be a finite number >= 1"),
    (lambda t: t.get_deflated_sharpe(99, "signal"), "No signal evaluation with eval_id=99"),
    (lambda t: t.get_deflated_sharpe(1, None), "eval_type must be 'signal' or 'strategy'"),
    (lambda t: t.get_multiple_testing_summary(method="fdr"),
     "method must be 'holm', 'bonferroni' or 'bhy'"),
    (lambda t: t.get_multiple_testing_summary(alpha=1.0), "alpha must be between 0 and 1"),
])
def test_argument_errors(tracker, call, message):
    record(tracker, 1.0)
    with pytest.raises(ValueError) as raised:
        call(tracker)
    assert str(raised.value).startswith(message)


def test_effective_trials_collapse_near_duplicates(tracker):
    # Shape A four times with different constants, shape B (A's names plus one) twice,
    # shape C (disjoint names) once.
    a = [record(tracker, 1.0 + i / 10, graph(constant=i)) for i in range(4)]
    b = [record(tracker, 2.0 + i, graph(features=("close", "volume", "open", "high", "low"),
                                         constant=i)) for i in range(2)]
    c = record(tracker, -1.0, graph(fn="zscore", features=("vwap",)))
    record(tracker, 9.0, graph(fn="zscore", features=("vwap",)), failure_reason="oom")
    by_method = {m: tracker.get_trial_ledger(n_effective=m)[0]
                 for m in ("raw", "graph_hash", "graph_jaccard")}
    assert by_method["raw"].effective_trials == 7
    assert by_method["graph_hash"].effective_trials == 3
    # {rank, close} and {rank, close, volume, open, high, low}: Jaccard 2/6.
    assert by_method["graph_jaccard"].effective_trials == 3
    loose = tracker.get_trial_ledger(n_effective="graph_jaccard", similarity=0.3)[0]
    assert loose.effective_trials == 2
    cluster_means = [statistics.mean([1.0, 1.1, 1.2, 1.3]), statistics.mean([2.0, 3.0]), -1.0]
    assert by_method["graph_hash"].sharpe_variance == pytest.approx(
        statistics.variance(cluster_means))
    assert by_method["graph_hash"].expected_max_sharpe == pytest.approx(
        expected_max(3, statistics.variance(cluster_means)))
    # After pruning, the clusters seen among the rows left scale the ledger's count.
    tracker.delete_evaluations(keep_last=2)  # b[1] and c are left: two clusters of two rows
    assert tracker.get_trial_ledger(n_effective="graph_hash")[0].effective_trials == 7
    assert a and b and c


def test_an_errored_writer_item_is_errored_to_every_reader(tracker, data_dir, identity):
    def item(sharpe, g, **extra):
        return {"type": "signal", "graph": g, "era_id": 1, "named_universe": "U",
                "stats": BacktestStats(sharpe=sharpe, custom_stats={"n_obs": 756}),
                "metaparameters": {"pool_a": {"k": 1}}, "signal_pool_id": "pool_a", **extra}

    writer = WriterThread(tracker, queue.Queue(), Status(), lambda: None)
    writer._do_write([item(1.0, graph(constant=1)), item(0.5, graph(constant=2)),
                      item(9.0, graph(fn="zscore"), failure_reason="timeout")])
    clean, _, errored = [i for (i,) in read(data_dir, "SELECT eval_id FROM signal_evaluations "
                                                      "ORDER BY eval_id")]
    # The writer's row keeps no failure reason, yet no reader takes its 9.0 for a result.
    assert read(data_dir, "SELECT failure_reason FROM signal_evaluations WHERE eval_id = ?",
                (errored,)) == [(None,)]
    (entry,) = tracker.get_trial_ledger()
    assert (entry.errored_trials, entry.sharpe_max, entry.effective_trials) == (1, 1.0, 2)
    top = tracker.get_multiple_testing_summary()
    assert [c.eval_id for c in top][:1] == [clean] and {c.n_tests for c in top} == {2}
    assert errored not in [c.eval_id for c in top]
    assert tracker.get_deflated_sharpe(errored, "signal").status == "errored_evaluation"
    # Two candidates of one shape: the errored graph is no cluster of its own.
    assert tracker.get_trial_ledger(n_effective="graph_hash")[0].effective_trials == 1
    tracker.close()
    # Counted again from the rows, it is still errored.
    write(data_dir, "DROP TABLE signal_trial_ledger", "DROP TABLE signal_trial_pruning")
    rebuilt = SearchTracker(data_dir, identity)
    assert [(e.trials, e.errored_trials, e.rebuilt) for e in rebuilt.get_trial_ledger()] == \
        [(3, 1, True)]
    rebuilt.close()


def test_deflated_sharpe_worked_example_and_sources_of_inputs(tracker):
    best = record(tracker, 2.5, custom_stats={"n_obs": 1260})
    d = tracker.get_deflated_sharpe(best, "signal", n_trials=10_000, sharpe_variance=0.25)
    assert d.status == "ok" and not d.passes
    assert d.sr0 == pytest.approx(1.930, abs=5e-4)
    assert d.dsr == pytest.approx(0.897, abs=5e-4)
    assert d.psr > 0.9999995 and d.p_value == pytest.approx(1 - d.dsr)
    assert d.min_track_record_length == pytest.approx(2128, abs=1)
    assert (d.observations, d.periods_per_year) == (1260, 252)
    assert d.assumptions == ["normal returns assumed", "252 periods per year assumed"]

    # Stored statistics are read; arguments win over them.
    fat = record(tracker, 2.5, custom_stats={"n_obs": 1250, "skew": -3, "kurtosis": 10,
                                             "periods_per_year": 250})
    d = tracker.get_deflated_sharpe(fat, "signal", n_trials=100, sharpe_variance=0.5)
    assert d.dsr == pytest.approx(0.9004, abs=5e-4) and d.assumptions == []
    fat_tailed = d.dsr
    d = tracker.get_deflated_sharpe(fat, "signal", n_trials=100, sharpe_variance=0.5, skew=0.0,
                                    kurtosis=3.0, observations=2500)
    assert (d.skew, d.kurtosis, d.observations) == (0.0, 3.0, 2500)
    assert d.dsr > fat_tailed


def test_deflated_sharpe_statuses(tracker):
    only = record(tracker, 1.5, custom_stats={"n_obs": 500})
    single = tracker.get_deflated_sharpe(only, "signal")
    assert (single.status, single.sr0, single.n_trials) == ("single_trial", 0.0, 1.0)
    assert single.dsr == single.psr
    no_obs = record(tracker, 1.2)
    record(tracker, 0.2)
    missing = tracker.get_deflated_sharpe(no_obs, "signal")
    assert missing.status == "missing_observations" and missing.dsr is None
    assert missing.sr0 == pytest.approx(expected_max(3, statistics.variance([1.5, 1.2, 0.2])))
    errored = record(tracker, 0.0, failure_reason="timeout")
    assert tracker.get_deflated_sharpe(errored, "signal").status == "errored_evaluation"
    for bad in (float("nan"), float("inf")):
        assert tracker.get_deflated_sharpe(record(tracker, bad), "signal").status == "no_sharpe"
    # Same daily series, described per day or per year.
    daily = record(tracker, 0.15, custom_stats={"n_obs": 900, "periods_per_year": 1})
    yearly = record(tracker, 0.15 * math.sqrt(252), custom_stats={"n_obs": 900})
    assert tracker.get_deflated_sharpe(daily, "signal", n_trials=50, sharpe_variance=0.001).dsr \
        == pytest.approx(tracker.get_deflated_sharpe(yearly, "signal", n_trials=50,
                                                     sharpe_variance=0.252).dsr)


@pytest.mark.parametrize("method", ["bonferroni", "holm", "bhy"])
def test_multiple_testing_summary(tracker, method):
    sharpes = [3.0, 2.2, 1.0, 0.5, -0.3, 0.1, 0.8, 1.7, 0.0, 0.2]
    ids = [record(tracker, s, custom_stats={"n_obs": 756}) for s in sharpes]
    record(tracker, 4.0, failure_reason="timeout")  # neither a candidate nor a test
    no_obs = record(tracker, 2.5)
    top = tracker.get_multiple_testing_summary(method=method, top=4)
    assert [c.eval_id for c in top] == [ids[0], no_obs, ids[1], ids[7]]
    assert top[1].status == "missing_observations" and top[1].p_value is None
    tested = [c for c in top if c.status == "ok"]
    assert {c.n_tests for c in top} == {11}
    years = 756 / 252
    for c in tested:
        assert c.p_value == pytest.approx(2 * PHI.cdf(-c.sharpe * math.sqrt(years)))
        assert c.haircut_sharpe == pytest.approx(
            -PHI.inv_cdf(c.adjusted_p_value / 2) / math.sqrt(years))
        assert c.significant == (c.adjusted_p_value <= 0.05)
        assert c.p_value <= c.adjusted_p_value <= 1 and c.haircut_sharpe <= c.sharpe
    if method == "bonferroni":
        assert [c.adjusted_p_value for c in tested] == \
            [pytest.approx(min(1.0, c.p_value * 11)) for c in tested]
    if method == "holm":
        assert [c.adjusted_p_value for c in tested] == \
            [pytest.approx(min(1.0, max(tested[j].p_value * (11 - j) for j in range(i + 1))))
             for i, c in enumerate(tested)]


def test_pure_noise_searches_rarely_pass(tracker):
    # 40 searches (one era each) of 500 skill-less trials over one year of daily returns:
    # each trial's annual Sharpe is the sample Sharpe of pure noise, about N(0, 1). The best
    # of each search looks excellent, yet at 95% about 5% or fewer may pass once deflated.
    rng = random.Random(17)
    writer = WriterThread(tracker, queue.Queue(), Status(), lambda: None)
    for era in range(1, 41):
        writer._do_write([
            {"type": "signal", "graph": graph(constant=i), "era_id": era, "named_universe": "U",
             "stats": BacktestStats(sharpe=rng.gauss(0.0, 1.0), custom_stats={"n_obs": 252}),
             "metaparameters": {"pool_a": {"k": 1}}, "signal_pool_id": "pool_a"}
            for i in range(500)])
    passed = 0
    for entry in tracker.get_trial_ledger():
        assert entry.trials == 500 and entry.sharpe_max > 2.0
        d = tracker.get_deflated_sharpe(entry.best_eval_id, "signal")
        assert d.status == "ok" and d.psr > 0.97
        passed += d.passes
    assert passed <= 4
