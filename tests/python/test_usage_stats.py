import random
import pytest

from query_store import Store


@pytest.fixture
def store(tracker, data_dir):
    return Store(str(data_dir))


def fn_rows(stats):
    return [(s.function_name, s.rotation_family, s.total_evaluations, s.passed_evaluations,
             s.yield_rate) for s in stats]


def pairs_of(result):
    return [(p.function_a, p.function_b, p.total_cooccurrences, p.passed_cooccurrences)
            for p in result]


def test_function_stats_sum_both_types_per_name_and_family(tracker, store):
    for passed in (1, 1, 0):
        store.functions("signal", store.signal(passed_thresholds=passed), ("rank", "rot"))
    store.functions("strategy", store.strategy(passed_thresholds=1), ("rank", "rot"))
    # Same name under another family, and with no family, are groups of their own.
    store.functions("signal", store.signal(passed_thresholds=0), ("rank", "other"), ("rank", None))
    store.functions("signal", store.signal(passed_thresholds=0), ("rank", None))

    assert fn_rows(tracker.get_function_stats()) == [
        ("rank", "rot", 4, 3, 0.75), ("rank", None, 2, 0, 0.0), ("rank", "other", 1, 0, 0.0)]
    assert fn_rows(tracker.get_function_stats(eval_type="signal"))[0] == (
        "rank", "rot", 3, 2, 2 / 3)
    assert fn_rows(tracker.get_function_stats(eval_type="strategy")) == [
        ("rank", "rot", 1, 1, 1.0)]


def test_function_and_feature_stats_sort_by_yield_then_total(tracker, store):
    def add(name, total, passed):
        for i in range(total):
            eid = store.signal(passed_thresholds=1 if i < passed else 0)
            store.functions("signal", eid, (name, "fam"))
            store.features("signal", eid, "feat_" + name)

    add("half_small", 4, 2)
    add("half_big", 10, 5)
    add("best", 5, 3)
    add("zero", 2, 0)
    expected = [("best", 5, 3, 0.6), ("half_big", 10, 5, 0.5), ("half_small", 4, 2, 0.5),
                ("zero", 2, 0, 0.0)]
    assert [(s.function_name, s.total_evaluations, s.passed_evaluations, s.yield_rate)
            for s in tracker.get_function_stats()] == expected
    assert [(s.feature_name, s.total_evaluations, s.passed_evaluations, s.yield_rate)
            for s in tracker.get_feature_stats()] == [("feat_" + n, t, p, y)
                                                      for n, t, p, y in expected]
    assert type(tracker.get_feature_stats()[0]).__name__ == "FeatureStats"


def test_usage_stats_filters_apply_to_every_evaluation_table(tracker, store):
    s1 = store.signal(era_id=1, passed_thresholds=1)
    s2 = store.signal(era_id=2, passed_thresholds=1, source="simulate",
                      metaparameters={"pool_a": {"lookback": 60}})
    t1 = store.strategy(era_id=2, passed_thresholds=0)
    for eid in (s1, s2):
        store.functions("signal", eid, ("f", "r"))
        store.features("signal", eid, "x")
    store.functions("strategy", t1, ("f", "r"))
    store.features("strategy", t1, "x")

    def totals(**kw):
        return ([(s.total_evaluations, s.passed_evaluations)
                 for s in tracker.get_function_stats(**kw)],
                [(s.total_evaluations, s.passed_evaluations)
                 for s in tracker.get_feature_stats(**kw)])

    assert totals() == ([(3, 2)], [(3, 2)])
    assert totals(era_id=2) == ([(2, 1)], [(2, 1)])
    assert totals(source="simulate") == ([(1, 1)], [(1, 1)])
    assert totals(metaparameters={"pool_a": {"lookback": 60}}) == ([(1, 1)], [(1, 1)])
    # A signal pool filter removes every strategy row, a strategy pool every signal row.
    assert totals(signal_pool_id="pool_a") == ([(2, 2)], [(2, 2)])
    assert totals(strategy_pool_id="strat_a", strategy_signal_pool="pool_a") == (
        [(1, 0)], [(1, 0)])
    assert totals(signal_pool_id="nope") == ([], [])


SELF_JOIN = ("SELECT f1.function_name, f2.function_name, e.passed_thresholds FROM {usage} f1 "
             "JOIN {usage} f2 ON f1.eval_id = f2.eval_id AND f1.function_name < f2.function_name "
             "JOIN {evals} e ON f1.eval_id = e.eval_id WHERE 1=1 {where}")


def self_join_pairs(store, where):
    """The row pairs of the self-join over each table `where` names, counted in Python.
    where: {"signal" or "strategy": (condition text, params)}."""
    counter = {}
    for prefix, (conditions, params) in where.items():
        sql = SELF_JOIN.format(usage=f"{prefix}_function_usage", evals=f"{prefix}_evaluations",
                               where=conditions)
        for a, b, passed in store.rows(sql, params):
            entry = counter.setdefault((a, b), [0, 0])
            entry[0] += 1
            entry[1] += passed
    out = [(a, b, t, p) for (a, b), (t, p) in counter.items()]
    out.sort(key=lambda x: (-x[2], x[0], x[1]))
    return out


def test_cooccurrence_equals_the_self_join_row_pairs(tracker, store):
    rng = random.Random(7)
    # Repeats within one evaluation, a NULL name, prefixes, case and a non-ASCII name, whose
    # byte order differs from a case-folded or locale order.
    names = ["f%d" % i for i in range(12)] + ["é", "Z", "z_", "f1_", None]
    for eval_type in ("signal", "strategy"):
        for i in range(80):
            pools = ({"signal_pool_id": rng.choice(["pool_a", "pool_b"])} if eval_type == "signal"
                     else {"strategy_pool_id": rng.choice(["strat_a", "strat_b"])})
            eid = store.evaluation(
                eval_type, era_id=rng.choice([1, 2]), passed_thresholds=rng.choice([0, 1]),
                named_universe=rng.choice(["US", "EU"]), source=rng.choice(["search", "simulate"]),
                metaparameters={"pool_a": {"lookback": rng.choice([20, 60])}}, **pools)
            if i % 9:  # some evaluations have no usage rows at all
                store.functions(eval_type, eid, *[(rng.choice(names), "rot")
                                                  for _ in range(rng.randint(1, 7))])
    both = lambda cond="", params=(): {"signal": (cond, params), "strategy": (cond, params)}
    cases = [
        ({}, both()),
        ({"passed_only": True, "era_id": 2},
         both("AND e.era_id = ? AND e.passed_thresholds = 1", (2,))),
        ({"eval_type": "strategy", "named_universe": "EU"},
         {"strategy": ("AND e.named_universe = ?", ("EU",))}),
        ({"source": "simulate", "metaparameters": {"pool_a": {"lookback": 60}}},
         both("AND e.metaparameters = ? AND e.source = ?",
              ('{"pool_a": {"lookback": 60}}', "simulate"))),
        ({"signal_pool_id": "pool_b", "passed_only": True},
         {"signal": ("AND e.signal_pool_id = ? AND e.passed_thresholds = 1", ("pool_b",))}),
        ({"strategy_pool_id": "strat_a"}, {"strategy": ("AND e.strategy_pool_id = ?", ("strat_a",))}),
    ]
    for kwargs, where in cases:
        expected = self_join_pairs(store, where)
        assert pairs_of(tracker.get_function_cooccurrence(**kwargs)) == expected, kwargs
        assert len(expected) > 20, kwargs  # the data exercises many pairs



def test_usage_queries_validate_before_running(tracker):
    for op in (tracker.get_function_stats, tracker.get_feature_stats,
               tracker.get_function_cooccurrence):
        with pytest.raises(ValueError, match=r"^eval_type must be 'signal', 'strategy', or None$"):
            op(eval_type="Signal", source="bad")
        with pytest.raises(ValueError, match=r"^source must be 'search', 'simulate', or None$"):
            op(source="live")
        with pytest.raises(ValueError, match=r"^signal_pool_id must be a non-empty string$"):
            op(signal_pool_id="")
        with pytest.raises(ValueError,
                           match=r"^metaparameters must be a non-empty per-pool dict$"):
            op(metaparameters={})
    tracker.close()
    with pytest.raises(OSError, match=r"^SearchTracker is closed$"):
        tracker.get_function_cooccurrence(eval_type="bad")
