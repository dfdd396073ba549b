"""The type information shipped with the package: the generated stub declares every record
as the dataclass it is at run time, and the package is marked as typed."""

import ast
import dataclasses
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
