"""At-most-once guarantees under real concurrency: several processes, each with its own
tracker on one tracking.db, start every run together at a barrier and race; and threads
sharing one tracker, so one connection."""

import json
import multiprocessing
import threading

import pytest

from plintrove.search_tracking import SearchTracker
from conftest import Identity, read
from submission_helpers import add_signal, add_strategy
from submission_race_workers import KEYS_PER_RUN, SIMS_PER_RUN, drain, serve

PROCESSES = 6
CONTEXT = multiprocessing.get_context("spawn")


def race(data_dir, scenario, argument, runs, prepare, check):
    """Starts PROCESSES workers once; for each run calls prepare(run), releases the workers
    together and hands their outcomes, by worker, to check(run, outcomes)."""
    barrier = CONTEXT.Barrier(PROCESSES + 1)
    results = CONTEXT.Queue()
    procs = [CONTEXT.Process(target=serve, args=(data_dir, barrier, results, worker, runs,
                                                 scenario, argument))
             for worker in range(PROCESSES)]
    for p in procs:
        p.start()
    try:
        for run in range(runs):
            prepare(run)
            barrier.wait(timeout=120)
            outcomes = {}
            for _ in procs:
                got_run, worker, kind, value = results.get(timeout=120)
                assert got_run == run
                outcomes[worker] = (kind, value)
            check(run, outcomes)
    finally:
        barrier.abort()
        for p in procs:
            p.join(timeout=30)
            if p.is_alive():
                p.terminate()
    assert [p.exitcode for p in procs] == [0] * PROCESSES


def setup_tracker(data_dir):
    return SearchTracker(data_dir, Identity())


def test_record_once_has_exactly_one_winner_per_sim(data_dir):
    runs = 5
    with_tracker = setup_tracker(data_dir)
    eval_ids = [add_signal(with_tracker) for _ in range(runs)]
    with_tracker.close()
    wins = [0] * PROCESSES

    def check(run, outcomes):
        assert {kind for kind, _ in outcomes.values()} == {"ok"}, outcomes
        for k in range(SIMS_PER_RUN):
            sim_id = f"sim-race-{run}-{k}"
            per_worker = {w: value[k] for w, (_, value) in outcomes.items()}
            won = [w for w, (kind, _) in per_worker.items() if kind == "ok"]
            assert len(won) == 1, per_worker
            losers = {outcome for w, outcome in per_worker.items() if w != won[0]}
            assert losers == {("ValueError", f"sim_id='{sim_id}' already submitted")}
            assert read(data_dir, "SELECT status_id, submission_id FROM signal_submission_status "
                        "WHERE sim_id=?", (sim_id,)) == [
                (per_worker[won[0]][1], f"sub-{run}-{k}-{won[0]}")]
            wins[won[0]] += 1
        assert read(data_dir, "SELECT COUNT(*) FROM sims WHERE id LIKE ?",
                    (f"sim-race-{run}-%",)) == [(SIMS_PER_RUN,)]
        assert read(data_dir, "SELECT submitted FROM signal_evaluations WHERE eval_id=?",
                    (eval_ids[run],)) == [(1,)]

    race(data_dir, "record_once", eval_ids, runs, lambda run: None, check)
    assert read(data_dir, "SELECT COUNT(*) FROM signal_submission_status") == [
        (runs * SIMS_PER_RUN,)]
    print(f"record once: {runs} runs x {PROCESSES} processes x {SIMS_PER_RUN} sim ids; "
          f"sim ids won per process {wins}")


def test_attempt_started_yields_one_row_and_one_id_per_key(data_dir):
    runs = 5
    with_tracker = setup_tracker(data_dir)
    eval_id = add_signal(with_tracker)
    with_tracker.close()
    inserted_by = [0] * PROCESSES

    def check(run, outcomes):
        assert {kind for kind, _ in outcomes.values()} == {"ok"}, outcomes
        for k in range(KEYS_PER_RUN):
            per_worker = {w: value[k] for w, (_, value) in outcomes.items()}
            assert {kind for kind, _ in per_worker.values()} == {"ok"}, per_worker
            attempt_ids = {value for _, value in per_worker.values()}
            assert len(attempt_ids) == 1, per_worker
            rows = read(data_dir, "SELECT attempt_id, payload_json FROM "
                        "signal_submission_attempts WHERE idempotency_key=?",
                        (f"key-{run}-{k}",))
            assert len(rows) == 1 and rows[0][0] == attempt_ids.pop()
            inserted_by[json.loads(rows[0][1])["worker"]] += 1

    race(data_dir, "attempt_started", eval_id, runs, lambda run: None, check)
    assert read(data_dir, "SELECT COUNT(*) FROM signal_submission_attempts") == [
        (runs * KEYS_PER_RUN,)]
    print(f"attempts: {runs} runs x {PROCESSES} processes x {KEYS_PER_RUN} keys; "
          f"rows inserted per process {inserted_by}")


def fill_queue(tracker, items):
    s, t = add_signal(tracker), add_strategy(tracker)
    expected = []
    for n in range(items):
        kind, eval_id = ("signal", s) if n % 2 == 0 else ("strategy", t)
        requeued = n % 5 == 0
        put = tracker.requeue_submission if requeued else tracker.enqueue_submission
        expected.append((kind, put(eval_id, kind, '{"n": %d}' % n, 1), int(requeued)))
    return expected


def fill_retry(tracker, items):
    s, t = add_signal(tracker), add_strategy(tracker)
    return [(kind, tracker.enqueue_retry(eval_id, kind, '{"n": %d}' % n, 1, "r"))
            for n, (kind, eval_id) in enumerate([("signal", s), ("strategy", t)] * (items // 2))]


@pytest.mark.parametrize("which", ["queue", "retry"])
def test_racing_takers_get_each_item_exactly_once(data_dir, which):
    runs, items = 4, 600
    expected = {}
    lost_deletes, shares = [], []

    def prepare(run):
        tracker = setup_tracker(data_dir)
        expected[run] = (fill_queue if which == "queue" else fill_retry)(tracker, items)
        tracker.close()

    def check(run, outcomes):
        assert {kind for kind, _ in outcomes.values()} == {"ok"}, outcomes
        takes = [taken for _, (taken, _) in outcomes.values()]
        handed_out = [item for taken in takes for item in taken]
        assert len(handed_out) == items
        if which == "queue":
            assert sorted(handed_out) == sorted(expected[run])
            # Each taker sees the head move only forward: priority first, then queue_id.
            order = [[(-priority, queue_id) for _, queue_id, priority in taken]
                     for taken in takes]
        else:
            assert sorted(item[:2] for item in handed_out) == sorted(expected[run])
            order = [[created_at for _, _, created_at in taken] for taken in takes]
        assert all(seq == sorted(seq) for seq in order)
        tables = [f"signal_submission_{which}", f"strategy_submission_{which}"]
        assert [read(data_dir, f"SELECT COUNT(*) FROM {t}")[0][0] for t in tables] == [0, 0]
        shares.append(sorted(len(taken) for taken in takes))
        if run % 2 == 1:
            lost_deletes.append(sum(lost for _, (_, lost) in outcomes.values()))

    race(data_dir, "drain", which, runs, prepare, check)
    print(f"{which}: {runs} runs x {PROCESSES} processes x {items} items; items per taker "
          f"{shares}; DELETEs finding their item taken, counted runs: {lost_deletes}")


@pytest.mark.parametrize("which", ["queue", "retry"])
def test_threads_sharing_one_tracker_take_each_item_once(tracker, which):
    expected = (fill_queue if which == "queue" else fill_retry)(tracker, 600)
    takes = [None] * 4

    def take(worker):
        takes[worker] = drain(tracker, 0, worker, which)[0]

    threads = [threading.Thread(target=take, args=(worker,)) for worker in range(len(takes))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    handed_out = [item[:len(expected[0])] for taken in takes for item in taken]
    assert sorted(handed_out) == sorted(expected)
    assert (tracker.dequeue_submission(), tracker.dequeue_retryable()) == (None, None)
