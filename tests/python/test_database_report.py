"""The database report: file size, row counts of the fourteen tables, passed counts."""

import os
import sqlite3

import pytest

import plintrove.search_tracking as st
from conftest import write

DB_INFO_TABLES = [
    "signal_evaluations", "strategy_evaluations", "signal_function_usage",
    "signal_feature_usage", "strategy_function_usage", "strategy_feature_usage",
    "signal_submission_queue", "strategy_submission_queue", "signal_submission_attempts",
    "strategy_submission_attempts", "signal_submission_status", "strategy_submission_status",
    "signal_submission_retry", "strategy_submission_retry"]


def test_report_of_empty_database(tracker, data_dir, storage):
    info = tracker.get_db_info()
    assert isinstance(info, st.DatabaseInfo)
    assert list(info.row_counts.items()) == [(t, 0) for t in DB_INFO_TABLES]
    assert list(info.passed_counts.items()) == [("signal_evaluations", 0),
                                                ("strategy_evaluations", 0)]
    assert (info.signal_evaluation_count, info.strategy_evaluation_count,
            info.signal_passed_count, info.strategy_passed_count) == (0, 0, 0, 0)
    assert info.reason_descriptions == {
        "statuses": {}, "rejection_reasons": {}, "failure_reasons": {}}
    if storage == "postgres":
        assert info.file_size_bytes == 0 and os.listdir(data_dir) == []
    else:
        assert info.file_size_bytes == os.path.getsize(os.path.join(data_dir, "tracking.db")) > 0


def test_report_counts_rows_of_every_table(tracker, data_dir):
    signal = ("INSERT INTO signal_evaluations (era_id, passed_thresholds, rejection_reason, "
              "signal_pool_id) VALUES (1, {}, {}, 'p')")
    strategy = ("INSERT INTO strategy_evaluations (era_id, passed_thresholds, failure_reason, "
                "strategy_pool_id) VALUES (1, {}, {}, 'p')")
    write(data_dir,
          *[signal.format(1, "NULL")] * 2, *[signal.format(0, "'low_sharpe'")] * 3,
          strategy.format(1, "NULL"), strategy.format(0, "'timeout'"),
          *["INSERT INTO signal_function_usage (eval_id, function_name) VALUES (1, 'f')"] * 4,
          "INSERT INTO strategy_feature_usage (eval_id, feature_name) VALUES (1, 'x')",
          "INSERT INTO strategy_submission_retry (eval_id, era_id, last_rejection_reason) "
          "VALUES (1, 1, 'r')")
    info = tracker.get_db_info()
    expected = dict.fromkeys(DB_INFO_TABLES, 0)
    expected.update(signal_evaluations=5, strategy_evaluations=2, signal_function_usage=4,
                    strategy_feature_usage=1, strategy_submission_retry=1)
    assert info.row_counts == expected and list(info.row_counts) == DB_INFO_TABLES
    assert info.passed_counts == {"signal_evaluations": 2, "strategy_evaluations": 1}
    assert (info.signal_evaluation_count, info.strategy_evaluation_count,
            info.signal_passed_count, info.strategy_passed_count) == (5, 2, 2, 1)
    assert list(info.reason_descriptions["rejection_reasons"]) == ["low_sharpe"]
    assert list(info.reason_descriptions["failure_reasons"]) == ["timeout"]


@pytest.mark.sqlite_only
def test_file_size_excludes_the_write_ahead_log(tracker, data_dir):
    db = os.path.join(data_dir, "tracking.db")
    # Written through the tracker's own connection, the rows sit in the log until a
    # checkpoint, so the log is larger than nothing while the main file stays as it was.
    tracker._conn.execute("INSERT INTO signal_submission_queue (eval_id, era_id, payload_json) "
                          "VALUES (1, 1, ?)", ("x" * 20000,))
    tracker._conn.commit()
    assert os.path.getsize(db + "-wal") > 0
    assert tracker.get_db_info().file_size_bytes == os.path.getsize(db)


def test_report_fails_whole_on_a_missing_table(tracker, data_dir, storage):
    write(data_dir, "DROP TABLE strategy_submission_retry")
    if storage == "postgres":
        with pytest.raises(st.DatabaseError,
                           match='relation "strategy_submission_retry" does not exist') as info:
            tracker.get_db_info()
        assert info.value.sqlstate == "42P01"
        return
    with pytest.raises(sqlite3.OperationalError, match="no such table: strategy_submission_retry"):
        tracker.get_db_info()
