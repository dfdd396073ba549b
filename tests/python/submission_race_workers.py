"""Worker processes for the submission race tests. Each builds its own SearchTracker on the
shared data directory after it starts, then for every run waits on the start barrier
(shared with the test process, which prepares the run's data first), races, and puts its
outcome on the results queue."""

import os

from conftest import Identity


def _outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the outcome, whatever it is, is what the test judges
        return (type(error).__name__, str(error))


SIMS_PER_RUN = 40
KEYS_PER_RUN = 200


def record_once(tracker, run, worker, eval_ids):
    """Every worker records the same simulation ids, in the same order."""
    return [_outcome(lambda: tracker.record_submission_once_and_mark_submitted(
                eval_ids[run], "signal", f"sub-{run}-{k}-{worker}", 1,
                sim_id=f"sim-race-{run}-{k}"))
            for k in range(SIMS_PER_RUN)]


def attempt_started(tracker, run, worker, eval_id):
    return [_outcome(lambda: tracker.record_submission_attempt_started(
                eval_id, "signal", f"key-{run}-{k}", 1, '{"worker": %d}' % worker,
                signal_pool_id="pool_a"))
            for k in range(KEYS_PER_RUN)]


def drain(tracker, run, worker, which):
    """Takes items until the queue is empty. On odd runs the statements go through a Python
    replacement of execute that counts DELETEs finding their item already taken."""
    conn = tracker._conn
    native = conn.execute
    lost = [0]
    if run % 2 == 1:
        def counting(sql, params=()):
            cursor = native(sql, params)
            if sql.startswith("DELETE") and cursor.rowcount == 0:
                lost[0] += 1
            return cursor
        conn.execute = counting
    take = tracker.dequeue_submission if which == "queue" else tracker.dequeue_retryable
    taken = []
    try:
        while (item := take()) is not None:
            if which == "queue":
                taken.append((item.eval_type, item.queue_id, item.priority))
            else:
                taken.append((item.eval_type, item.retry_id, item.created_at))
    finally:
        conn.execute = native
    return taken, lost[0]


def serve(data_dir, barrier, results, worker, runs, scenario, argument):
    from plintrove.search_tracking import SearchTracker

    tracker = SearchTracker(data_dir, Identity(f"inst-{os.getpid()}", "racer"))
    try:
        for run in range(runs):
            barrier.wait(timeout=120)
            results.put((run, worker, *_outcome(
                lambda: globals()[scenario](tracker, run, worker, argument))))
    finally:
        tracker.close()
