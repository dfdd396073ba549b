"""Plain record classes, built at import from the extension's field lists.

Each record has keyword or positional construction with every field optional, mutable
attributes, field-by-field ``==``, ``Name(field=value, ...)`` as its repr, and pickling.
Container defaults are copied for every instance, so no two records share one.
"""

from operator import attrgetter

_MISSING = object()


def make_record(name, doc, fields, defaults, module):
    """Build the record class ``name`` with ``fields`` (in order) and their ``defaults``."""
    fields = tuple(fields)
    namespace = {"_MISSING": _MISSING}
    params, body = [], []
    for i, (field, default) in enumerate(zip(fields, defaults, strict=True)):
        if isinstance(default, (list, dict)):
            namespace[f"_new{i}"] = default.copy
            params.append(f"{field}=_MISSING")
            body.append(f"    self.{field} = _new{i}() if {field} is _MISSING else {field}")
        else:
            namespace[f"_d{i}"] = default
            params.append(f"{field}=_d{i}")
            body.append(f"    self.{field} = {field}")
    exec(f"def __init__(self, {', '.join(params)}):\n" + "\n".join(body), namespace)

    if len(fields) == 1:
        single = attrgetter(fields[0])

        def values(record):
            return (single(record),)
    else:
        values = attrgetter(*fields)

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        return values(self) == values(other)

    def __repr__(self):
        shown = ", ".join(f"{f}={v!r}" for f, v in zip(fields, values(self)))
        return f"{name}({shown})"

    def __reduce__(self):
        return (self.__class__, values(self))

    init = namespace["__init__"]
    cls = type(name, (), {
        "__slots__": fields,
        "__doc__": doc,
        "__module__": module,
        "__match_args__": fields,
        "__init__": init,
        "__eq__": __eq__,
        "__hash__": None,
        "__repr__": __repr__,
        "__reduce__": __reduce__,
    })
    for method in (init, __eq__, __repr__, __reduce__):
        method.__qualname__ = f"{name}.{method.__name__}"
    return cls
