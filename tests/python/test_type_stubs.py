"""The type information shipped with the package: the generated stub declares every record
as the dataclass it is at run time, and the package is marked as typed."""

import ast
import dataclasses
import inspect
import pydoc
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


def public_methods(cls):
    return {name: fn for name, fn in vars(cls).items()
            if not name.startswith("_") and callable(fn)}


def test_stub_methods_declare_the_bound_signatures():
    tree = ast.parse(STUB.read_text())
    stub = {(c.name, f.name): f for c in tree.body if isinstance(c, ast.ClassDef)
            for f in c.body if isinstance(f, ast.FunctionDef)}
    checked = set()
    for cls in (st.SearchTracker, st.WriterThread):
        for name in [*public_methods(cls), "__init__"]:
            bound = getattr(getattr(cls, name), "__wrapped__", getattr(cls, name))
            [(text, _, _)] = bound.__nb_signature__
            [runtime] = ast.parse(text + ": ...").body
            declared = stub[cls.__name__, name]
            assert ast.unparse(declared.args) == ast.unparse(runtime.args), name
            assert ast.unparse(declared.returns) == ast.unparse(runtime.returns), name
            checked.add(name)
    assert {"record_signal_evaluation", "delete_evaluations", "start", "stop"} <= checked
    methods = {name: f for (cls, name), f in stub.items() if cls == "SearchTracker"}
    history = methods["get_evaluation_history"]
    assert ast.unparse(history.returns) == "list[EvaluationRecord]"
    assert ast.unparse(history.args.args[1].annotation) == "int | None"
    assert "Raises" in ast.get_docstring(methods["delete_evaluations"])


def test_inspect_reads_every_public_callable(tmp_path):
    tracker = st.SearchTracker(str(tmp_path))
    for cls in (st.SearchTracker, st.WriterThread):
        [(text, _, _)] = cls.__init__.__nb_signature__
        [init] = ast.parse(text + ": ...").body
        assert list(inspect.signature(cls).parameters) == [
            a.arg for a in init.args.args + init.args.kwonlyargs][1:]
        for name, method in public_methods(cls).items():
            unbound = inspect.signature(method)
            assert list(unbound.parameters)[0] == "self", name
            for p in unbound.parameters.values():
                # Every annotation resolved to the type it names; `object` means untyped.
                assert not isinstance(p.annotation, str) and p.annotation is not object, (name, p)
            if cls is st.SearchTracker:
                bound = inspect.signature(getattr(tracker, name))
                assert list(bound.parameters) == list(unbound.parameters)[1:], name
    assert str(inspect.signature(st.SearchTracker)) == (
        "(data_dir: str | os.PathLike[str], identity: plintrove.protocols.LibraryIdentity | None"
        " = None, *, read_only: bool = False)")
    deletion = inspect.signature(tracker.delete_evaluations)
    assert deletion.parameters["keep_last"].default == 50000
    assert deletion.parameters["progress"].kind is inspect.Parameter.KEYWORD_ONLY
    assert deletion.return_annotation is st.DeleteResult
    tracker.close()


def test_help_and_doc_show_the_real_types():
    method = st.SearchTracker.record_signal_evaluation
    text = pydoc.render_doc(method, renderer=pydoc.plaintext)
    for shown in ("graph: dict[str, typing.Any]", "era_id: int", "-> int",
                  "source: Literal['search', 'simulate'] = 'search'",
                  "Record a signal evaluation"):
        assert shown in text, shown
    assert "object" not in text
    assert "era_id: int, passed_thresholds: bool" in method.__doc__
    assert "object | None" not in pydoc.render_doc(st.SearchTracker, renderer=pydoc.plaintext)
