"""inspect.signature for the bound classes and their public methods (applied at import).

Each method's typed signature is bound as nanobind text (nb::sig), which __doc__ and help()
show; but nanobind functions give inspect nothing to read (no __text_signature__, and they
take no attributes), so inspect.signature fails on them. Each public method is therefore
put in its class as a signed method (python/src/signed_method.h), which forwards every call
unchanged to the bound function and carries the signature parsed from that text; each
class gets the signature of its __init__. Conversion, its errors, tracebacks and log
records stay those of the bound method.
"""

import ast
import inspect
import os
from collections.abc import Callable
from types import TracebackType
from typing import Any, Literal

from plintrove import protocols


def _annotation(node: ast.expr | None, names: dict):
    if node is None:
        return inspect.Parameter.empty
    # The binding's own signature text; a name it uses that is missing here fails the import
    # (and so the build, which imports the module to write the stubs).
    return eval(ast.unparse(node), names)  # noqa: S307


def parse(text: str, names: dict) -> inspect.Signature:
    """The Signature of one nb::sig text ("def name(self, a: int = 1, *, b: str) -> R")."""
    [fn] = ast.parse(text + ": ...").body
    a, P = fn.args, inspect.Parameter
    parameters = []

    def add(args, defaults, kind):
        padded = [None] * (len(args) - len(defaults)) + list(defaults)
        for arg, default in zip(args, padded):
            parameters.append(P(arg.arg, kind, annotation=_annotation(arg.annotation, names),
                                default=P.empty if default is None
                                else ast.literal_eval(default)))

    add(a.posonlyargs + a.args, a.defaults, P.POSITIONAL_OR_KEYWORD)
    add(a.kwonlyargs, a.kw_defaults, P.KEYWORD_ONLY)
    return inspect.Signature(parameters, return_annotation=_annotation(fn.returns, names))


def _signed(module, method, signature: inspect.Signature):
    signed = module._SignedMethod(method)
    signed.__name__, signed.__qualname__ = method.__name__, method.__qualname__
    signed.__module__, signed.__doc__ = method.__module__, method.__doc__
    signed.__signature__ = signature
    return signed


def expose(module) -> None:
    names = {**vars(protocols), **vars(module), "Any": Any, "Literal": Literal,
             "Callable": Callable, "os": os, "TracebackType": TracebackType}
    for cls in (module.SearchTracker, module.WriterThread):
        for name, method in list(vars(cls).items()):
            if name.startswith("_") or not hasattr(method, "__nb_signature__"):
                continue
            [(text, _, _)] = method.__nb_signature__
            setattr(cls, name, _signed(module, method, parse(text, names)))
        [(text, _, _)] = cls.__init__.__nb_signature__
        init = parse(text, names)
        cls.__signature__ = init.replace(parameters=list(init.parameters.values())[1:],
                                         return_annotation=inspect.Signature.empty)
