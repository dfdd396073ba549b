"""Era transition and pruning of evaluation history, read back from the database past the
tracker."""

import sqlite3

import pytest

import plintrove.search_tracking as st
from conftest import KEY_COLUMNS, Recorder, insert_many, on_postgres, read, write

TRIPLES = {
    "signal": ("signal_evaluations", "signal_function_usage", "signal_feature_usage"),
    "strategy": ("strategy_evaluations", "strategy_function_usage", "strategy_feature_usage"),
}
POOL_COLUMN = {"signal": "signal_pool_id", "strategy": "strategy_pool_id"}
SUBMISSION_TABLES = [f"{e}_submission_{k}" for k in ("queue", "retry", "attempts", "status")
                     for e in ("signal", "strategy")]
TRIPLES_EVAL = [triple[0] for triple in TRIPLES.values()]
ALL_TABLES = [t for triple in TRIPLES.values() for t in triple] + SUBMISSION_TABLES
COUNTED_TABLES = [triple[0] for triple in TRIPLES.values()] + SUBMISSION_TABLES
ACTIVE_MESSAGE = "Cannot delete evaluations while a search is running. Call handle.stop() first."


def add_evaluations(data_dir, eval_type, count, era_id=1, passed=False, functions=2, features=1):
    """`count` evaluations, each with its usage rows; returns their eval_ids in order."""
    table, fn_table, feat_table = TRIPLES[eval_type]
    ids = insert_many(data_dir, [(
        f"INSERT INTO {table} (timestamp, era_id, graph_json, tree_depth, "
        "rotation_families_json, passed_thresholds, rejection_reason, named_universe, "
        f"metaparameters, {POOL_COLUMN[eval_type]}, instance_id, author_id) "
        "VALUES (1.0, ?, '{}', 1, '[]', ?, ?, 'U', '{}', 'pool', 'i', 'a')",
        (era_id, int(passed), None if passed else "low_sharpe"))] * count)
    insert_many(data_dir,
                [(f"INSERT INTO {fn_table} (eval_id, function_name) VALUES (?, 'f')", (i,))
                 for i in ids for _ in range(functions)]
                + [(f"INSERT INTO {feat_table} (eval_id, feature_name) VALUES (?, 'x')", (i,))
                   for i in ids for _ in range(features)])
    return ids


def add_submission_rows(data_dir, era_id):
    """One queue, retry, attempt and status row per evaluation type in `era_id`."""
    for eval_type, pool in POOL_COLUMN.items():
        key = f"{eval_type}-{era_id}"
        write(data_dir,
              (f"INSERT INTO {eval_type}_submission_queue (eval_id, {pool}, payload_json, "
               "era_id, priority, created_at) VALUES (1, 'p', '{}', ?, 0, 0)", (era_id,)),
              (f"INSERT INTO {eval_type}_submission_retry (eval_id, {pool}, payload_json, "
               "era_id, retry_count, last_rejection_reason, created_at) "
               "VALUES (1, 'p', '{}', ?, 0, 'r', 0)", (era_id,)),
              (f"INSERT INTO {eval_type}_submission_attempts (eval_id, {pool}, "
               "idempotency_key, era_id, payload_json, started_at) "
               "VALUES (1, 'p', ?, ?, '{}', 0)", (key, era_id)),
              (f"INSERT INTO {eval_type}_submission_status (eval_id, {pool}, submission_id, "
               "era_id, status, submitted_at) VALUES (1, 'p', ?, ?, 'pending', 0)",
               (key, era_id)))


def eras(data_dir, table):
    return sorted(r[0] for r in read(data_dir, f"SELECT DISTINCT era_id FROM {table}"))


def ids_of(data_dir, table):
    return [r[0] for r in read(data_dir, f"SELECT eval_id FROM {table} ORDER BY eval_id")]


def usage_ids(data_dir, table):
    return sorted({r[0] for r in read(data_dir, f"SELECT eval_id FROM {table}")})


def orphan_usage_rows(data_dir):
    total = 0
    for table, fn_table, feat_table in TRIPLES.values():
        for usage in (fn_table, feat_table):
            total += read(data_dir, f"SELECT COUNT(*) FROM {usage} u WHERE NOT EXISTS "
                                     f"(SELECT 1 FROM {table} e WHERE e.eval_id = u.eval_id)")[0][0]
    return total


def snapshot(data_dir):
    """Every row of every tracker table, and the key counters."""
    rows = {t: sorted(read(data_dir, f"SELECT * FROM {t}"), key=repr) for t in ALL_TABLES}
    return rows, counters(data_dir)


def counters(data_dir):
    """The last key handed out per table, for the tables that have handed one out."""
    if not on_postgres(data_dir):
        return dict(read(data_dir, "SELECT name, seq FROM sqlite_sequence"))
    last = {t: read(data_dir, "SELECT last_value FROM pg_sequences WHERE "
                    "schemaname || '.' || sequencename = pg_get_serial_sequence(?, ?)",
                    (t, KEY_COLUMNS[t]))[0][0] for t in COUNTED_TABLES}
    return {t: value for t, value in last.items() if value is not None}


# --- era transition ----------------------------------------------------------------------

@pytest.fixture
def three_eras(tracker, data_dir):
    ids = {}
    for era in (1, 2, 3):
        for eval_type in TRIPLES:
            ids[eval_type, era] = add_evaluations(data_dir, eval_type, 2, era_id=era)
        add_submission_rows(data_dir, era)
    return ids


def test_era_transition_with_previous_era(tracker, data_dir, three_eras):
    assert tracker.handle_era_transition(3, previous_era_id=2) is None
    for eval_type, (table, fn_table, feat_table) in TRIPLES.items():
        kept = three_eras[eval_type, 2] + three_eras[eval_type, 3]
        assert eras(data_dir, table) == [2, 3]
        assert ids_of(data_dir, table) == kept
        assert usage_ids(data_dir, fn_table) == kept
        assert usage_ids(data_dir, feat_table) == kept
        assert eras(data_dir, f"{eval_type}_submission_attempts") == [2, 3]
        assert eras(data_dir, f"{eval_type}_submission_status") == [2, 3]
        assert eras(data_dir, f"{eval_type}_submission_queue") == [3]
        assert eras(data_dir, f"{eval_type}_submission_retry") == [3]
    # Nothing emptied, so no key counter was dropped.
    assert set(counters(data_dir)) == set(COUNTED_TABLES)


def test_era_transition_without_previous_era_keeps_the_new_era_only(tracker, data_dir,
                                                                    three_eras):
    tracker.set_search_active(True)  # an era transition is not a deletion the search blocks
    tracker.handle_era_transition(3)
    for table in COUNTED_TABLES:
        assert eras(data_dir, table) == [3], table
    for eval_type, (table, fn_table, feat_table) in TRIPLES.items():
        assert usage_ids(data_dir, fn_table) == three_eras[eval_type, 3]
        assert usage_ids(data_dir, feat_table) == three_eras[eval_type, 3]


def test_era_transition_restarts_keys_of_emptied_tables(tracker, data_dir):
    add_evaluations(data_dir, "signal", 3, era_id=1)
    add_evaluations(data_dir, "strategy", 2, era_id=2)
    add_submission_rows(data_dir, 1)
    before = counters(data_dir)
    tracker.handle_era_transition(2)
    restarted = not on_postgres(data_dir)
    # The strategy evaluations of era 2 remain: their counter stays, every other goes. A
    # PostgreSQL sequence never hands a key out twice.
    assert counters(data_dir) == ({"strategy_evaluations": 2} if restarted else before)
    assert add_evaluations(data_dir, "signal", 1, era_id=2) == [1 if restarted else 4]
    assert add_evaluations(data_dir, "strategy", 1, era_id=2) == [3]
    add_submission_rows(data_dir, 2)
    assert read(data_dir, "SELECT queue_id FROM signal_submission_queue") == [
        (1 if restarted else 2,)]


@pytest.mark.parametrize("new, previous, message", [
    (0, None, "era_id must be > 0"),
    (3, 0, "era_id must be > 0"),
    (2, 2, "previous_era_id (2) must be < new_era_id (2)"),
    (2, 5, "previous_era_id (5) must be < new_era_id (2)"),
])
def test_era_transition_argument_errors_change_nothing(tracker, data_dir, three_eras, new,
                                                       previous, message):
    before = snapshot(data_dir)
    with pytest.raises(ValueError) as info:
        tracker.handle_era_transition(new, previous_era_id=previous)
    assert str(info.value) == message
    assert snapshot(data_dir) == before


def test_era_transition_deletes_ids_in_bounded_chunks(tracker, data_dir):
    ids = add_evaluations(data_dir, "signal", 1234, functions=1, features=1)
    recorder = Recorder(tracker)
    tracker.handle_era_transition(2)
    chunks = [p for s, p in recorder.statements if s.startswith("DELETE FROM signal_evaluations")]
    assert max(len(p) for p in chunks) <= 500
    assert sorted(i for p in chunks for i in p) == ids
    assert read(data_dir, "SELECT COUNT(*) FROM signal_evaluations") == [(0,)]
    assert orphan_usage_rows(data_dir) == 0


@pytest.mark.parametrize("call, rebuilds", [
    (lambda t, progress: t.handle_era_transition(2, progress=progress), False),
    (lambda t, progress: t.delete_evaluations(keep_last=0, progress=progress), True),
    (lambda t, progress: t.delete_failed_evaluations(progress=progress), True),
])
def test_progress_is_reported_per_chunk_and_index_and_logged_per_table(tracker, data_dir, caplog,
                                                                       call, rebuilds):
    add_evaluations(data_dir, "signal", 1234)
    add_evaluations(data_dir, "strategy", 3)
    reports = []
    with caplog.at_level("INFO", logger="plintrove.search_tracking"):
        call(tracker, lambda *args: reports.append(args))
    by_table = {t: [(d, n) for table, d, n in reports if table == t] for t in TRIPLES_EVAL}
    logged = [r.getMessage() for r in caplog.records]
    assert logged[:3] == ["Deleted 2468 rows from signal_function_usage",
                          "Deleted 1234 rows from signal_feature_usage",
                          "Deleted 1234 rows from signal_evaluations"]
    rebuilt = {k: sum(int(m.split()[1]) for m in logged
                      if m.startswith("Rebuilt ") and m.split()[-1] in TRIPLES[k]) for k in TRIPLES}
    assert len(logged) == 6 + (6 if rebuilds else 0)
    assert (rebuilt["signal"] > 2 and rebuilt["strategy"] > 2) == rebuilds

    # Three passes (function usage, feature usage, evaluations) of three chunks, then one;
    # pruning then counts one step per index it rebuilds.
    def steps(chunks, ids, eval_type):
        total = 3 * ids + rebuilt[eval_type]
        return [(d, total) for d in chunks] + [(3 * ids + i, total)
                                               for i in range(1, rebuilt[eval_type] + 1)]

    assert by_table["signal_evaluations"] == steps(
        (500, 1000, 1234, 1734, 2234, 2468, 2968, 3468, 3702), 1234, "signal")
    assert by_table["strategy_evaluations"] == steps((3, 6, 9), 3, "strategy")


def test_an_error_from_progress_stops_the_deletion(tracker, data_dir, ten_and_three):
    def cancel(*_):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tracker.delete_evaluations(keep_last=0, progress=cancel)
    tracker._conn.rollback()
    assert len(ids_of(data_dir, "signal_evaluations")) == 10


# --- pruning -----------------------------------------------------------------------------

def result_tuple(r):
    return (r.signal_rows_deleted, r.strategy_rows_deleted, r.signal_rows_remaining,
            r.strategy_rows_remaining)


@pytest.fixture
def ten_and_three(tracker, data_dir):
    return {"signal": add_evaluations(data_dir, "signal", 10),
            "strategy": add_evaluations(data_dir, "strategy", 3)}


def test_delete_evaluations_keeps_the_newest(tracker, data_dir, ten_and_three):
    result = tracker.delete_evaluations(keep_last=5)
    assert isinstance(result, st.DeleteResult)
    assert result_tuple(result) == (5, 0, 5, 3)
    signal_ids = ten_and_three["signal"]
    assert ids_of(data_dir, "signal_evaluations") == signal_ids[5:]
    assert usage_ids(data_dir, "signal_function_usage") == signal_ids[5:]
    assert usage_ids(data_dir, "signal_feature_usage") == signal_ids[5:]
    assert ids_of(data_dir, "strategy_evaluations") == ten_and_three["strategy"]
    assert orphan_usage_rows(data_dir) == 0
    # At or below keep_last nothing is touched.
    before = snapshot(data_dir)
    assert result_tuple(tracker.delete_evaluations()) == (0, 0, 5, 3)
    assert result_tuple(tracker.delete_evaluations(keep_last=5)) == (0, 0, 5, 3)
    assert snapshot(data_dir) == before


@pytest.mark.parametrize("eval_type", [None, "signal", "strategy"])
def test_delete_evaluations_keep_none(tracker, data_dir, ten_and_three, eval_type):
    before = counters(data_dir)
    result = tracker.delete_evaluations(eval_type=eval_type, keep_last=0)
    selected = [eval_type] if eval_type else ["signal", "strategy"]
    expected = {t: 0 if t in selected else len(ten_and_three[t]) for t in TRIPLES}
    assert result_tuple(result) == (
        10 - expected["signal"], 3 - expected["strategy"], expected["signal"],
        expected["strategy"])
    for t, (table, fn_table, feat_table) in TRIPLES.items():
        assert len(ids_of(data_dir, table)) == expected[t]
        assert usage_ids(data_dir, fn_table) == ids_of(data_dir, table)
        assert usage_ids(data_dir, feat_table) == ids_of(data_dir, table)
    # Pruning does not restart keys.
    assert counters(data_dir) == before
    assert add_evaluations(data_dir, "signal", 1) == [11]


@pytest.mark.parametrize("eval_type", [None, "signal", "strategy"])
def test_delete_failed_evaluations(tracker, data_dir, eval_type):
    passed = {t: add_evaluations(data_dir, t, 2, passed=True) for t in TRIPLES}
    failed = {t: add_evaluations(data_dir, t, 3 if t == "signal" else 4) for t in TRIPLES}
    passed["signal"] += add_evaluations(data_dir, "signal", 1, passed=True)
    result = tracker.delete_failed_evaluations(eval_type=eval_type)
    selected = [eval_type] if eval_type else ["signal", "strategy"]
    for t, (table, fn_table, _) in TRIPLES.items():
        kept = passed[t] if t in selected else sorted(passed[t] + failed[t])
        assert ids_of(data_dir, table) == sorted(kept)
        assert usage_ids(data_dir, fn_table) == sorted(kept)
    assert result_tuple(result) == (
        3 if "signal" in selected else 0, 4 if "strategy" in selected else 0,
        3 if "signal" in selected else 6, 2 if "strategy" in selected else 6)
    assert orphan_usage_rows(data_dir) == 0


def test_deletion_statements_order_chunks_and_reindex(tracker, data_dir):
    ids = add_evaluations(data_dir, "signal", 1234, functions=1, features=1)
    recorder = Recorder(tracker)
    result = tracker.delete_failed_evaluations("signal")
    assert result_tuple(result) == (1234, 0, 0, 0)
    sql = recorder.sql()
    assert sql[0] == "BEGIN IMMEDIATE"
    deletes = [(s, p) for s, p in recorder.statements if s.startswith("DELETE")]
    tables = [s.split()[2] for s, _ in deletes]
    # Each table's chunks, in the table order function usage, feature usage, evaluations.
    assert tables == (["signal_function_usage"] * 3 + ["signal_feature_usage"] * 3
                      + ["signal_evaluations"] * 3)
    for table in TRIPLES["signal"]:
        bound = [p for s, p in deletes if s.split()[2] == table]
        assert all(len(p) <= 500 for p in bound)
        assert sorted(i for p in bound for i in p) == ids
    for statement, params in deletes:
        assert statement.endswith("WHERE eval_id IN (" + ",".join("?" * len(params)) + ")")
    reindexed = [s.split()[1] for s in sql if s.startswith("REINDEX")]
    assert reindexed == ["idx_signal_era", "idx_signal_timestamp", "idx_signal_passed",
                         "idx_signal_rejection", "idx_signal_settings", "idx_signal_source",
                         "idx_sig_fn_eval", "idx_sig_fn_name", "idx_sig_feat_eval",
                         "idx_sig_feat_name"]
    assert sql.index(f"REINDEX {reindexed[0]}") > max(
        i for i, s in enumerate(sql) if s.startswith("DELETE"))
    assert orphan_usage_rows(data_dir) == 0


def test_deletion_inside_an_open_transaction_joins_it(tracker, data_dir, ten_and_three):
    tracker._conn.execute("UPDATE strategy_evaluations SET submitted=1")
    assert tracker._conn.in_transaction
    recorder = Recorder(tracker)
    tracker.delete_evaluations("signal", keep_last=8)
    assert "BEGIN IMMEDIATE" not in recorder.sql()
    # The commit at the end covered the caller's pending update as well.
    assert not tracker._conn.in_transaction
    assert read(data_dir, "SELECT DISTINCT submitted FROM strategy_evaluations") == [(1,)]
    assert len(ids_of(data_dir, "signal_evaluations")) == 8


# --- refusals and faults -----------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda t: t.delete_evaluations(keep_last=0),
    lambda t: t.delete_failed_evaluations(),
])
def test_active_search_refuses_deletions(tracker, data_dir, ten_and_three, call):
    before = snapshot(data_dir)
    tracker.set_search_active(True)
    with pytest.raises(RuntimeError) as info:
        call(tracker)
    assert str(info.value) == ACTIVE_MESSAGE
    assert snapshot(data_dir) == before
    tracker.set_search_active(False)
    call(tracker)
    assert snapshot(data_dir) != before


def test_deletion_argument_errors_in_order(tracker, data_dir, ten_and_three):
    before = snapshot(data_dir)
    with pytest.raises(ValueError) as info:
        tracker.delete_evaluations(eval_type="foo", keep_last=-1)
    assert str(info.value) == "keep_last must be >= 0, got -1."
    with pytest.raises(ValueError) as info:
        tracker.delete_evaluations(eval_type="foo")
    assert str(info.value) == "eval_type must be 'signal', 'strategy', or None, got 'foo'."
    with pytest.raises(ValueError) as info:
        tracker.delete_failed_evaluations("foo")
    assert str(info.value) == "eval_type must be 'signal', 'strategy', or None, got 'foo'."
    tracker.set_search_active(True)
    with pytest.raises(RuntimeError):
        tracker.delete_evaluations(eval_type="foo", keep_last=-1)
    assert snapshot(data_dir) == before


@pytest.mark.parametrize("call, prefix", [
    (lambda t: t.delete_evaluations(keep_last=1), "Failed to delete evaluations: "),
    (lambda t: t.delete_failed_evaluations(), "Failed to delete failed evaluations: "),
])
def test_storage_error_mid_deletion_rolls_everything_back(tracker, data_dir, ten_and_three,
                                                          call, prefix):
    before = snapshot(data_dir)
    fault = sqlite3.OperationalError("disk I/O error")
    # Fails the strategy feature-usage delete: every signal delete and the strategy
    # function-usage delete have run by then.
    recorder = Recorder(tracker, fail_on=lambda s: s.startswith(
        "DELETE FROM strategy_feature_usage"), fail=fault)
    with pytest.raises(OSError) as info:
        call(tracker)
    assert str(info.value) == prefix + "disk I/O error"
    assert info.value.__cause__ is fault
    assert any(s.startswith("DELETE FROM signal_evaluations") for s in recorder.sql())
    assert not tracker._conn.in_transaction
    assert snapshot(data_dir) == before


def test_storage_error_from_the_database_itself_rolls_back(tracker, data_dir, ten_and_three):
    if on_postgres(data_dir):
        write(data_dir, "CREATE FUNCTION pinned() RETURNS trigger LANGUAGE plpgsql AS "
                        "$$BEGIN RAISE EXCEPTION 'strategies are pinned' "
                        "USING ERRCODE = 'integrity_constraint_violation'; END$$",
              "CREATE TRIGGER keep_strategies BEFORE DELETE ON strategy_evaluations "
              "FOR EACH ROW EXECUTE FUNCTION pinned()")
    else:
        write(data_dir, "CREATE TRIGGER keep_strategies BEFORE DELETE ON strategy_evaluations "
                        "BEGIN SELECT RAISE(ABORT, 'strategies are pinned'); END")
    before = snapshot(data_dir)
    with pytest.raises(OSError) as info:
        tracker.delete_evaluations(keep_last=0)
    assert str(info.value).startswith("Failed to delete evaluations: strategies are pinned")
    if on_postgres(data_dir):
        assert isinstance(info.value.__cause__, st.IntegrityError)
        assert info.value.__cause__.sqlstate == "23000"
    else:
        assert str(info.value) == "Failed to delete evaluations: strategies are pinned"
        assert isinstance(info.value.__cause__, sqlite3.IntegrityError)
    assert snapshot(data_dir) == before
    assert result_tuple(tracker.delete_evaluations("signal", keep_last=0)) == (10, 0, 0, 3)


def test_other_errors_propagate_without_rollback(tracker, data_dir, ten_and_three):
    fault = KeyError("not a storage error")
    Recorder(tracker, fail_on=lambda s: s.startswith("DELETE FROM signal_evaluations"),
             fail=fault)
    with pytest.raises(KeyError) as info:
        tracker.delete_evaluations(keep_last=0)
    assert info.value is fault
    # Left open for the caller: the usage deletes are pending, not rolled back.
    assert tracker._conn.in_transaction
    tracker._conn.rollback()
    assert len(ids_of(data_dir, "signal_evaluations")) == 10
