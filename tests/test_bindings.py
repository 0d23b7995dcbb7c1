"""How the module's callables present themselves and take their arguments: every
function, method, static constructor and property accessor carries the qualified name
of where it lives, and every call is matched to the parameters its signature shows,
with the interpreter's own kinds of errors for calls that do not fit."""

import inspect
import pydoc
import re

import pytest

import quorvane as qv


def members():
    """(expected qualified name, callable) for every callable reachable from __all__:
    the functions, and the constructors, methods, static methods and property accessors
    of the classes (not the inherited slots, nor the binding layer's private helpers)."""
    out = []
    for name in qv.__all__:
        obj = getattr(qv, name)
        if not isinstance(obj, type):
            out.append((name, obj))
            continue
        for member, raw in vars(obj).items():
            if member.startswith("_") and not (member.startswith("__") and member.endswith("__")):
                continue
            qualname = f"{obj.__qualname__}.{member}"
            if isinstance(raw, property):
                out += [(qualname, f) for f in (raw.fget, raw.fset) if f is not None]
            elif isinstance(raw, staticmethod):
                out.append((qualname, raw.__func__))
            elif type(raw).__name__ == "instancemethod":
                out.append((qualname, raw.__func__))
    return out


MEMBERS = members()
SIGNED = [(q, f) for q, f in MEMBERS if f.__text_signature__ is not None and "*" not in f.__text_signature__]


def test_every_kind_of_member_is_covered():
    names = {q for q, _ in MEMBERS}
    for expected in ["astar_search", "Heuristic.hff", "Heuristic.eval", "SearchSpace.initial_state", "State.g",
                     "SearchSpace.relevant_actions", "Effect.__init__", "Effect.__repr__", "State.__new__"]:
        assert expected in names


@pytest.mark.parametrize("qualname,fn", MEMBERS, ids=[q for q, _ in MEMBERS])
def test_qualified_name(qualname, fn):
    assert fn.__qualname__ == qualname
    assert fn.__name__ == qualname.rsplit(".", 1)[-1]


@pytest.mark.parametrize("name", [n for n in qv.__all__ if isinstance(getattr(qv, n), type)])
def test_help_names_members_by_their_class(name):
    text = pydoc.render_doc(getattr(qv, name), renderer=pydoc.plaintext)
    assert "function_record" not in text


def parameters(fn):
    return list(inspect.signature(fn).parameters.values())


def required(fn):
    return [p.name for p in parameters(fn) if p.default is inspect.Parameter.empty]


def listed(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def first_argument_value(qualname):
    """An object the first parameter accepts far enough for the call to reach its
    other arguments: an uninitialised instance for `self`."""
    cls = getattr(qv, qualname.split(".")[0])
    return cls.__new__(cls) if qualname.endswith("__init__") else object()


@pytest.mark.parametrize("qualname,fn", SIGNED, ids=[q for q, _ in SIGNED])
def test_too_many_positional_arguments(qualname, fn):
    n = len(parameters(fn))
    with pytest.raises(TypeError) as info:
        fn(*[object()] * (n + 1))
    low = len(required(fn))
    takes = f"{n} positional argument{'s' if n != 1 else ''}" if low == n else f"from {low} to {n} positional arguments"
    given = f"{n + 1} {'was' if n + 1 == 1 else 'were'} given"
    assert str(info.value) == f"{qualname}() takes {takes} but {given}"


@pytest.mark.parametrize("qualname,fn", [(q, f) for q, f in SIGNED if required(f)],
                         ids=[q for q, f in SIGNED if required(f)])
def test_missing_arguments_are_named(qualname, fn):
    names = required(fn)
    with pytest.raises(TypeError) as info:
        fn()
    plural = "s" if len(names) != 1 else ""
    assert str(info.value) == (
        f"{qualname}() missing {len(names)} required positional argument{plural}: {listed(names)}")


@pytest.mark.parametrize("qualname,fn", SIGNED, ids=[q for q, _ in SIGNED])
def test_unknown_keyword(qualname, fn):
    args = [object()] * len(required(fn))
    with pytest.raises(TypeError) as info:
        fn(*args, no_such_parameter=1)
    assert str(info.value) == f"{qualname}() got an unexpected keyword argument 'no_such_parameter'"


@pytest.mark.parametrize("qualname,fn", SIGNED, ids=[q for q, _ in SIGNED])
def test_argument_given_twice(qualname, fn):
    first = parameters(fn)[0].name
    with pytest.raises(TypeError) as info:
        fn(object(), **{first: object()})
    assert str(info.value) == f"{qualname}() got multiple values for argument '{first}'"


@pytest.mark.parametrize("qualname,fn", SIGNED, ids=[q for q, _ in SIGNED])
def test_every_parameter_is_taken_by_keyword(qualname, fn):
    """All parameters given by name, none of them usable: the call gets past the
    matching of arguments and fails converting one of them, which the note names."""
    names = [p.name for p in parameters(fn)]
    kwargs = {n: object() for n in names}
    kwargs[names[0]] = first_argument_value(qualname)
    with pytest.raises(Exception) as info:
        fn(**kwargs)
    named = [m[1] for n in getattr(info.value, "__notes__", []) if (m := re.fullmatch(r"argument '(\w+)'", n))]
    assert named and named[0] in names, info.value
