"""The type information shipped with the package: the generated stub declares every record
as the dataclass it is at run time, and the package is marked as typed."""

import ast
import dataclasses
import re
from pathlib import Path

from plintrove import search_tracking as st

STUB = Path(st.__file__).with_name("search_tracking.pyi")


def test_stub_declares_each_record_with_its_fields_in_order():
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    records = [v for v in vars(st).values() if isinstance(v, type) and dataclasses.is_dataclass(v)]
    assert {"FunctionStats", "EvaluationRecord", "BacktestStats"} <= {r.__name__ for r in records}
    for record in records:
        node = classes[record.__name__]
        assert [ast.unparse(d) for d in node.decorator_list] == [
            "dataclasses.dataclass(slots=True)"]
        declared = [stmt.target.id for stmt in node.body if isinstance(stmt, ast.AnnAssign)]
        assert declared == [f.name for f in dataclasses.fields(record)], record.__name__
    assert {"SearchTracker", "WriterThread"} <= set(classes)
    assert STUB.with_name("py.typed").exists()


def test_stub_methods_keep_the_bound_parameters_and_type_them():
    tree = ast.parse(STUB.read_text())
    tracker = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "SearchTracker")
    methods = {n.name: n for n in tracker.body if isinstance(n, ast.FunctionDef)}
    for name, fn in vars(st.SearchTracker).items():
        if name.startswith("_") and not name.startswith("__") or not hasattr(fn, "__nb_signature__"):
            continue
        [(bound, _, defaults)] = fn.__nb_signature__
        stub = methods[name].args
        declared = [a.arg for a in stub.args + stub.kwonlyargs][1:]
        parameters = bound.split("(", 1)[1].rsplit(") ->", 1)[0]
        assert declared == re.findall(r"(\w+):", parameters), name
        given = len(stub.defaults) + sum(d is not None for d in stub.kw_defaults)
        assert given == len(defaults or ()), name
    history = methods["get_evaluation_history"]
    assert ast.unparse(history.returns) == "list[EvaluationRecord]"
    assert ast.unparse(history.args.args[1].annotation) == "int | None"
    assert "Raises" in ast.get_docstring(methods["delete_evaluations"])
