"""Lost server sessions on a real PostgreSQL server: a session ended by pg_terminate_backend
between statements, inside a transaction and before a commit, a server restarted under a
running writer, and sessions ended again and again while evaluations are recorded."""

import queue as queue_module
import random
import threading
import time
from urllib.parse import urlsplit

import pytest

from conftest import db_rows
from plintrove import search_tracking as st
from plintrove.search_tracking import BacktestStats, WriterThread

pytestmark = pytest.mark.postgres_only

META = {"pool_a": {"lookback": 20}}
WRITE_FAILED_ADVICE = "Check database file permissions and disk space."


def marked_graph(mark):
    """One function and two features, all named after `mark`."""
    return {"type": "rotation", "node": f"fn-{mark}",
            "children": [{"type": "feature", "node": f"ft-{mark}-a"},
                         {"type": "feature", "node": f"ft-{mark}-b"}]}


def record(tracker, mark):
    return tracker.record_signal_evaluation(marked_graph(mark), BacktestStats(sharpe=1.0), 1,
                                            False, "US", META, signal_pool_id="pool_a")


def end_sessions(pg_server, tracker, wait=True):
    """Ends every server session of the tracker's database, by default waiting until they
    are gone (the server checks every 100 ms); returns their process ids."""
    dbname = urlsplit(tracker._db_url).path.lstrip("/")
    ended = pg_server.execute(
        f"SELECT pid, pg_terminate_backend(pid{', 5000' if wait else ''}) FROM pg_stat_activity "
        "WHERE datname = %s AND pid <> pg_backend_pid()", (dbname,))
    return {pid for pid, done in ended if done}


def stored(tracker, table="signal_evaluations"):
    return db_rows(tracker, f"SELECT COUNT(*) FROM {table}")[0][0]


def incomplete_evaluations(tracker):
    """Evaluations stored without exactly their one function row and two feature rows."""
    return db_rows(tracker, """
        SELECT e.eval_id FROM signal_evaluations e
        WHERE (SELECT COUNT(*) FROM signal_function_usage f WHERE f.eval_id = e.eval_id) <> 1
           OR (SELECT COUNT(*) FROM signal_feature_usage f WHERE f.eval_id = e.eval_id) <> 2""")


def test_a_session_ended_between_statements_is_replaced_silently(tracker, pg_server):
    first = record(tracker, "before")
    for call in (lambda: record(tracker, "after"), tracker.get_evaluation_count,
                 tracker.get_submission_counts):
        assert len(end_sessions(pg_server, tracker)) == 1
        call()
    assert not tracker._conn.in_transaction
    assert db_rows(tracker, "SELECT eval_id FROM signal_evaluations ORDER BY eval_id") == [
        (first,), (first + 1,)]
    assert incomplete_evaluations(tracker) == []


def test_a_session_ended_inside_a_transaction_fails_it_whole(tracker, pg_server):
    conn = tracker._conn
    record(tracker, "kept")
    conn.execute("INSERT INTO sims (id) VALUES (?)", ("lost-sim",))
    assert conn.in_transaction
    assert len(end_sessions(pg_server, tracker)) == 1
    # The transaction is gone with its session: the next statement of it must fail, not
    # run in a new session as if nothing had been written before it.
    with pytest.raises(st.OperationalError):
        conn.execute("UPDATE signal_evaluations SET submitted = 1")
    conn.rollback()
    assert not conn.in_transaction
    assert db_rows(tracker, "SELECT id FROM sims") == []
    assert db_rows(tracker, "SELECT submitted FROM signal_evaluations") == [(0,)]

    # Mid-recording: the session ends after the evaluation row, before its usage rows.
    real = conn.execute

    def ending_before_usage(sql, params=()):
        if "_usage" in sql:
            end_sessions(pg_server, tracker)
        return real(sql, params)

    conn.execute = ending_before_usage
    with pytest.raises(st.OperationalError):
        record(tracker, "half")
    conn.execute = real
    assert not conn.in_transaction
    assert stored(tracker) == 1 and incomplete_evaluations(tracker) == []
    record(tracker, "next")
    assert stored(tracker) == 2 and incomplete_evaluations(tracker) == []


def test_a_refused_statement_leaves_no_aborted_transaction(tracker):
    """A value the server refuses for its column fails only its own statement's transaction:
    the session stays usable for the next operation, as on SQLite."""
    eval_id = record(tracker, "refused")
    with pytest.raises(st.DatabaseError, match="double precision"):
        tracker.update_eval_server_metrics(eval_id, "signal", agent_is_correlation="")
    assert not tracker._conn.in_transaction
    assert tracker.update_eval_server_metrics(eval_id, "signal", agent_is_correlation=0.5)
    assert db_rows(tracker, "SELECT agent_is_correlation FROM signal_evaluations") == [(0.5,)]


def test_a_session_ended_before_commit(tracker, pg_server):
    conn = tracker._conn
    conn.execute("INSERT INTO sims (id) VALUES (?)", ("uncommitted",))
    assert len(end_sessions(pg_server, tracker)) == 1
    with pytest.raises(st.InterfaceError) as info:
        conn.commit()
    assert str(info.value) == "connection already closed before commit"
    assert isinstance(info.value, st.DatabaseError)
    assert not conn.in_transaction
    assert db_rows(tracker, "SELECT id FROM sims") == []
    # A rollback on an ended session is no error: there is nothing left to undo.
    conn.execute("INSERT INTO sims (id) VALUES (?)", ("also-lost",))
    end_sessions(pg_server, tracker)
    conn.rollback()
    assert not conn.in_transaction
    record(tracker, "afterwards")
    assert stored(tracker) == 1


def test_server_restart_under_a_running_writer(tracker, pg_server):
    """Batches keep coming while the server goes down and up: each batch is stored whole
    or not at all, and the writer either rides it out or reports the failure."""
    q = queue_module.Queue()
    status = type("Status", (), dict(error_code=None, recovery_advice=None, running=True))()
    status.errors = []
    stops = []
    writer = WriterThread(tracker, q, status, lambda: stops.append(1))
    put = []
    feeding = threading.Event()
    feeding.set()

    def feed():
        n = 0
        while feeding.is_set():
            for _ in range(50):
                q.put({"type": "signal", "graph": marked_graph(n), "stats": BacktestStats(),
                       "era_id": 1, "metaparameters": META, "signal_pool_id": "pool_a"})
                put.append(n)
                n += 1
            time.sleep(0.01)

    feeder = threading.Thread(target=feed)
    writer.start()
    feeder.start()
    try:
        time.sleep(0.5)
        pg_server.restart()
        time.sleep(1.5)
    finally:
        feeding.clear()
        feeder.join()
        writer.stop()

    assert incomplete_evaluations(tracker) == []
    names = [name for (name,) in db_rows(tracker, "SELECT function_name FROM "
                                                   "signal_function_usage")]
    written = {int(name[3:]) for name in names}
    assert written <= set(put)
    if status.error_code is None:
        # Rode it out: the failed batch was written again after the pause.
        assert stops == [] and status.running
        assert written == set(put)
    else:
        assert (status.error_code, status.recovery_advice, status.running) == (
            "DATABASE_WRITE_FAILED", WRITE_FAILED_ADVICE, False)
        assert status.errors[0].startswith("Database write failed: ") and stops
    print(f"restart under the writer: {len(put)} items put, {len(written)} written "
          f"({len(names) - len(written)} twice), outcome {status.error_code or 'recovered'}")


def test_sessions_ended_again_and_again_during_direct_recording(tracker, pg_server):
    terminations_wanted = 200
    returned, failures = [], {}
    ended = set()
    done = threading.Event()

    def recorder():
        n = 0
        while not done.is_set():
            try:
                returned.append((record(tracker, n), n))
            except st.DatabaseError as error:
                key = f"{type(error).__name__}: {str(error).splitlines()[0]}"
                failures[key] = failures.get(key, 0) + 1
            n += 1

    rng = random.Random(11)
    thread = threading.Thread(target=recorder)
    started = time.monotonic()
    thread.start()
    try:
        while len(ended) < terminations_wanted and thread.is_alive():
            time.sleep(rng.uniform(0.0, 0.01))
            ended |= end_sessions(pg_server, tracker, wait=False)
    finally:
        done.set()
        thread.join(60)
    elapsed = time.monotonic() - started

    assert len(ended) >= terminations_wanted
    ids = [eval_id for eval_id, _ in returned]
    assert len(set(ids)) == len(ids)
    rows = dict(db_rows(tracker, "SELECT e.eval_id, f.function_name FROM signal_evaluations e "
                                 "JOIN signal_function_usage f ON f.eval_id = e.eval_id"))
    # Every id handed back is stored, once, under its own graph and with all its usage rows.
    assert {eval_id: rows.get(eval_id) for eval_id in ids} == {
        eval_id: f"fn-{n}" for eval_id, n in returned}
    assert incomplete_evaluations(tracker) == []
    assert stored(tracker) == len(rows)
    # A commit the server made just before its session ended reports an error all the same.
    unreported = len(rows) - len(ids)
    assert 0 <= unreported <= sum(failures.values())
    record(tracker, "after")
    print(f"{len(ended)} sessions ended in {elapsed:.1f} s: {len(ids)} evaluations recorded, "
          f"{sum(failures.values())} calls failed {failures}, {unreported} of them stored")
