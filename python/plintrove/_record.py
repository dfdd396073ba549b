"""Record classes, built at import from the extension's field lists.

Each record is a slotted dataclass: keyword or positional construction with every field
optional, mutable attributes, field-by-field ``==``, ``Name(field=value, ...)`` as its repr,
and pickling by name from ``plintrove.search_tracking``. Container defaults are made anew
for every instance, so no two records share one. Being dataclasses, they work with
``dataclasses.asdict``, ``pd.DataFrame(records)`` and type checkers.
"""

import dataclasses
from operator import attrgetter
from typing import Any

# The binding names each field's type with one of these texts.
_ANNOTATIONS = {
    "str": str, "str | None": str | None,
    "int": int, "int | None": int | None,
    "float": float, "float | None": float | None,
    "bool": bool,
    "Any": Any, "dict[str, Any]": dict[str, Any], "list[Any]": list[Any],
}


def make_record(name, doc, fields, defaults, module, types):
    """Build the record class ``name`` with ``fields`` (in order), their ``defaults`` and
    the annotation texts ``types``."""
    fields = tuple(fields)
    spec = []
    for field, default, type_text in zip(fields, defaults, types, strict=True):
        if isinstance(default, (list, dict)):
            default = dataclasses.field(default_factory=default.copy)
        spec.append((field, _ANNOTATIONS[type_text], default))
    cls = dataclasses.make_dataclass(name, spec, namespace={"__module__": module}, slots=True)
    cls.__doc__ = doc

    # Rebuilt from the positional constructor: smaller and faster than slot state, which
    # matters for records that workers put on a process queue.
    values = attrgetter(*fields) if len(fields) > 1 else (lambda r: (getattr(r, fields[0]),))

    def __reduce__(self):
        return (self.__class__, values(self))

    __reduce__.__qualname__ = f"{name}.__reduce__"
    cls.__reduce__ = __reduce__
    return cls
