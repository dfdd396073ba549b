"""A store written by the tracker's own API, as a search leaves it: two eras, three universes,
signals and strategies with usage, rejections and failures, and submissions at every stage
(queued, pending, rejected, paid, retrying)."""

import json
import random

from conftest import Identity
from plintrove.search_tracking import BacktestStats, SearchTracker

FUNCTIONS = {"rank": "cross_sectional", "zscore": "cross_sectional", "ts_mean": "time_series",
             "ts_delta": "time_series", "winsor": None}
FEATURES = ["close", "volume", "vwap", "open"]
UNIVERSES = ["US_TOP_500", "US_TOP_1000", "EU_TOP_300"]
REJECTIONS = ["sharpe_below_threshold", "turnover_above_limit", "correlation_too_high"]


def graph(rng):
    leaf = lambda: {"type": "feature", "node": rng.choice(FEATURES)}  # noqa: E731
    inner = {"type": "function", "node": rng.choice(["ts_mean", "ts_delta", "winsor"]),
             "children": [leaf()]}
    return {"type": "rotation", "node": rng.choice(["rank", "zscore"]),
            "children": [inner, leaf()]}


def build(data_dir, signals=60, strategies=12, seed=7):
    """Fills data_dir through SearchTracker; returns the ids of the passed signals."""
    rng = random.Random(seed)
    families = {name: [family or "other", "sub"] for name, family in FUNCTIONS.items()}
    with SearchTracker(data_dir, Identity()) as t:
        passed_ids = []
        for i in range(signals):
            era = 1 if i < signals // 2 else 2
            sharpe = rng.gauss(0.8, 0.6)
            passed = sharpe > 1.0
            eval_id = t.record_signal_evaluation(
                graph(rng), BacktestStats(sharpe=sharpe, returns=sharpe / 10,
                                          turnover=rng.random()),
                era, passed, rng.choice(UNIVERSES), {"pool_a": {"lookback": 20}},
                signal_pool_id="pool_a", function_families=families,
                rejection_reason=None if passed else rng.choice(REJECTIONS),
                failure_reason="timeout" if i % 17 == 5 else None,
                failure_detail={"seconds": 30} if i % 17 == 5 else None)
            if passed:
                passed_ids.append(eval_id)
        for i in range(strategies):
            passed = i % 3 == 0
            t.record_strategy_evaluation(
                {"type": "reduction", "node": "mean",
                 "children": [{"type": "feature", "node": f"signal_{s}"}
                              for s in passed_ids[:2]]},
                BacktestStats(sharpe=1.5 if passed else 0.2), 2, passed, passed_ids[:2],
                "US_TOP_500", {"strat_pool": {"weighting": "equal"}}, "strat_pool", "pool_a",
                rejection_reason=None if passed else "sharpe_below_threshold")

        payload = json.dumps({"signal_pool_id": "pool_a"})
        stages = [("pending", {}),
                  ("signal_is_rejected", {"rejection_reason": "duplicate_signal"}),
                  ("paid", {"payment_usdc": 12.5}),
                  ("paid", {"payment_usdc": 7.25})]
        for eval_id, (status, extra) in zip(passed_ids, stages):
            submission = f"sub-{eval_id}"
            t.record_submission_attempt_started(eval_id, "signal", f"key-{eval_id}", 2, payload)
            t.record_submission(eval_id, "signal", submission, 2)
            if status != "pending":
                t.update_submission_status(submission, status, **extra)
        queued = passed_ids[len(stages):]
        for eval_id in queued[:2]:
            t.enqueue_submission(eval_id, "signal", payload, 2)
        for eval_id in queued[2:3]:
            t.enqueue_retry(eval_id, "signal", payload, 2, "server_busy")
    return passed_ids
