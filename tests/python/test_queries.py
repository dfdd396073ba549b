import pytest

from plintrove import search_tracking as st


def test_table_selectors():
    a, b = object(), object()
    assert st._filter_by_eval_type(None, a, b) == [a, b]
    assert st._filter_by_eval_type("strategy", a, b)[0] is b
    assert st._filter_by_eval_type("Strategy", a, b) == []
    assert st._eval_table_pairs(None) == [("signal_evaluations", "signal"),
                                          ("strategy_evaluations", "strategy")]
    assert st._eval_table_triplets("signal") == [
        ("signal_evaluations", "signal_function_usage", "signal_feature_usage")]
    assert st._fn_usage_table_pairs("strategy") == [
        ("strategy_function_usage", "strategy_evaluations")]
    assert st._feat_usage_table_pairs(None) == [
        ("signal_feature_usage", "signal_evaluations"),
        ("strategy_feature_usage", "strategy_evaluations")]


@pytest.mark.parametrize("fn, value, message", [
    (st._validate_eval_type, "x", "eval_type must be 'signal', 'strategy', or None"),
    (st._validate_eval_type_strict, None, "eval_type must be 'signal' or 'strategy'"),
    (st._validate_management_eval_type, 7,
     "eval_type must be 'signal', 'strategy', or None, got '7'."),
    (st._validate_source_query, "SEARCH", "source must be 'search', 'simulate', or None"),
    (st._validate_source_record, None, "source must be 'search' or 'simulate', got 'None'."),
])
def test_validator_messages(fn, value, message):
    with pytest.raises(ValueError) as err:
        fn(value)
    assert str(err.value) == message


def test_pool_validation_and_filters_append_in_place():
    assert st._validate_optional_pool_query(None, "signal_pool_id") is None
    assert st._validate_optional_pool_query("p", "signal_pool_id") == "p"
    with pytest.raises(ValueError, match=r"^strategy_pool_id must be a non-empty string$"):
        st._validate_optional_pool_query("", "strategy_pool_id")
    clauses, params = ["era_id = ?"], [1]
    st._add_pool_filters(clauses, params, "e.", "strategy_evaluations",
                         strategy_pool_id="s", strategy_signal_pool="p")
    assert clauses == ["era_id = ?", "e.strategy_pool_id = ?", "e.strategy_signal_pool = ?"]
    assert params == [1, "s", "p"]
    st._add_pool_filters(clauses, params, "", "signal_evaluations", "s")
    assert clauses[-1] == "1 = 0" and len(params) == 3
    st._add_pool_filters(clauses, params, "", None, signal_pool_id=5)  # ignored without a table
    assert len(clauses) == 4


def test_settings_filter_and_join():
    clauses, params = st._build_settings_filter(
        "e", 3, None, {"pool_a": {"lookback": 20}}, "search")
    assert clauses == ["e.era_id = ?", "json_extract(e.metaparameters, ?) = ?", "e.source = ?"]
    assert params == [3, '$."pool_a"."lookback"', 20, "search"]
    clauses, params = st._build_settings_filter("", 0, "", None, None,
                                                eval_table="signal_evaluations",
                                                signal_pool_id="p")
    assert clauses == ["era_id = ?", "named_universe = ?", "signal_pool_id = ?"]
    assert params == [0, "", "p"]
    assert st._join_clauses([]) == "" and st._join_clauses(None) == ""
    assert st._join_clauses(["era_id = ?", "source = ?"]) == "WHERE era_id = ? AND source = ?"
    assert st._join_clauses(["a"], "AND") == "AND a"
    assert st._json_path_key('say "hi"') == '."say \\"hi\\""'
    assert st._json_path_key(5) == '."5"'


def test_failure_detail_from_storage():
    assert st._failure_detail_from_storage(None) is None
    assert st._failure_detail_from_storage("") == ""
    assert st._failure_detail_from_storage('{"a": [1, 2]}') == {"a": [1, 2]}
    assert st._failure_detail_from_storage("[1, 2]") == "[1, 2]"
    assert st._failure_detail_from_storage("not json") == "not json"
    assert st._failure_detail_from_storage("null") == "null"
    blob = b"{}"
    assert st._failure_detail_from_storage(blob) is blob
