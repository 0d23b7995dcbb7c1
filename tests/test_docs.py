"""What help() shows: every public callable publishes its signature and documents its
parameters, results and errors; every property says what it holds; the examples in the
docstrings run; the type stub agrees with the module's signatures and carries the very
texts help() shows; and the tool that makes the texts from the stub writes each with its
signature line and refuses what it cannot place."""

import ast
import doctest
import inspect
import pathlib
import re
import subprocess
import sys
import types

import pytest

import quorvane as qv

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "python" / "quorvane.pyi"
GENERATOR = ROOT / "tools" / "stub_docs.py"

_RELAXATION = (
    "(actions, fluent_types, objects, events, goals, internal_caching, cache_value_in_state, "
    "inadmissible_numeric_heuristic_variant, disable_numeric_reasoning=False)"
)
_WEIGHTED = "(ss, heuristic, timeout=None, early_termination=False, weak_equality=False)"
_WASTAR = "(ss, heuristic, weight, timeout=None, early_termination=False, weak_equality=False)"

# Every public callable and the signature it publishes.
SIGNATURES = {
    "Effect.__init__": "(self, fluent, value)",
    "Timing.__init__": "(self, start, delay)",
    "Timing.is_from_start": "(self)",
    "Timing.is_from_end": "(self)",
    "Event.__init__": "(self, action, pos, conditions, start_conditions, end_conditions, effects)",
    "Action.__init__": "(self, idx)",
    "SearchSpace.__init__": (
        "(self, actions_duration, events, actions, compression_safe_actions, action_objects, "
        "obj_to_prev_actions_map, initial_state=None, goal=None, relevant_actions=None, deadline=None, "
        "epsilon=None)"
    ),
    "SearchSpace.reset": "(self)",
    "SearchSpace.build_plan": "(self, path)",
    "SearchSpace.goal_reached": "(self, state, goal=None)",
    "SearchSpace.subgoals_sat": "(self, state, goal=None)",
    "SearchSpace.initial_state": "(self, initial_state=None)",
    "SearchSpace.get_successor_state": "(self, state, action)",
    "SearchSpace.get_successor_states": "(self, state)",
    "State.get_value": "(self, fluent)",
    "Heuristic.custom": "(callable, cache_value_in_state)",
    "Heuristic.hff": _RELAXATION,
    "Heuristic.hadd": _RELAXATION,
    "Heuristic.hmax": _RELAXATION,
    "Heuristic.hmax_explicit": _RELAXATION.replace(", disable_numeric_reasoning=False", ""),
    "Heuristic.eval": "(self, state, ss)",
    "Heuristic.reachable_actions": "(self, state)",
    "make_operator_node": "(kind, operands)",
    "make_bool_constant_node": "(v)",
    "make_int_constant_node": "(v)",
    "make_rational_constant_node": "(numerator, denominator)",
    "make_object_node": "(name)",
    "make_fluent_node": "(fluent)",
    "shift_expression": "(exp, offset)",
    "dfs_search": "(ss, timeout=None, early_termination=False)",
    "bfs_search": "(ss, timeout=None, early_termination=False)",
    "multiqueue_search": "(ss, heuristics, timeout=None, early_termination=False, weak_equality=False)",
    "wastar_search": _WASTAR,
    "wastar_search_memory_bounded": _WASTAR,
    "astar_search": _WEIGHTED,
    "astar_search_memory_bounded": _WEIGHTED,
    "gbfs_search": _WEIGHTED,
    "gbfs_search_memory_bounded": _WEIGHTED,
    "ehc_search": _WEIGHTED,
    "evaluate": "(exp, state)",
    "simplify": "(exp, assignments)",
    "get_fluents": "(expr)",
}

# Callables that raise nothing of their own: their docstrings have no Raises section.
NOTHING_RAISED = {"Timing.is_from_start", "Timing.is_from_end", "SearchSpace.reset"}

# Docstrings with examples; each must run as shown.
EXAMPLES = [
    "Effect",
    "Timing",
    "Event",
    "SearchSpace",
    "SearchSpace.build_plan",
    "Heuristic",
    "Heuristic.hff",
    "Heuristic.custom",
    "make_operator_node",
    "make_rational_constant_node",
    "shift_expression",
    "evaluate",
    "simplify",
    "get_fluents",
    "bfs_search",
    "astar_search",
    "wastar_search",
    "multiqueue_search",
]


def lookup(name):
    obj = qv
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


def public_callables():
    """The functions of __all__ and the constructors, methods and static methods of its
    classes; a constructor only where the class has one of its own."""
    names = []
    for name in qv.__all__:
        obj = getattr(qv, name)
        if not isinstance(obj, type):
            names.append(name)
            continue
        for member, raw in vars(obj).items():
            if isinstance(raw, property) or (member.startswith("_") and member != "__init__"):
                continue
            if member == "__init__" and isinstance(raw, types.WrapperDescriptorType):
                continue  # no constructor: the inherited slot
            names.append(f"{name}.{member}")
    return names


def properties():
    return [
        f"{name}.{member}"
        for name in qv.__all__
        if isinstance(getattr(qv, name), type)
        for member, raw in vars(getattr(qv, name)).items()
        if isinstance(raw, property)
    ]


def section(doc, title):
    """The lines of a NumPy-style section, or None when the docstring has none."""
    lines = doc.splitlines()
    for i in range(len(lines) - 1):
        if lines[i] == title and set(lines[i + 1]) == {"-"}:
            body = []
            for j in range(i + 2, len(lines)):
                if j + 1 < len(lines) and lines[j] and set(lines[j + 1]) == {"-"}:
                    break
                body.append(lines[j])
            return body
    return None


def documented_parameters(doc):
    body = section(doc, "Parameters")
    assert body is not None, "no Parameters section"
    return [m.group(1) for line in body if (m := re.match(r"(\w+) : ", line))]


def parameters(signature):
    return [p for p in inspect.signature(signature).parameters if p != "self"]


def test_the_table_lists_every_public_callable():
    assert sorted(public_callables()) == sorted(SIGNATURES)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_docstring_starts_with_the_published_signature(name):
    obj = lookup(name)
    # The binding layer takes the signature line off __doc__ and publishes it here:
    # a docstring that did not start with it would leave it None.
    assert obj.__text_signature__ is not None
    assert str(inspect.signature(obj)) == SIGNATURES[name]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_docstring_has_a_summary_and_its_sections(name):
    obj = lookup(name)
    doc = obj.__doc__
    lines = doc.splitlines()
    assert lines[0].strip() and lines[0].endswith("."), "first line is a one-line summary"
    assert len(lines) == 1 or lines[1] == "", "the summary stands alone"
    if name.endswith(".__init__"):
        # The class docstring documents the constructor's parameters.
        cls = lookup(name.rsplit(".", 1)[0])
        assert documented_parameters(cls.__doc__) == parameters(obj)
        return
    if parameters(obj):
        assert documented_parameters(doc) == parameters(obj)
    assert section(doc, "Returns"), "no Returns section"
    if name not in NOTHING_RAISED:
        assert section(doc, "Raises"), "no Raises section"


@pytest.mark.parametrize("name", [n for n in qv.__all__ if isinstance(getattr(qv, n), type)])
def test_class_docstring(name):
    cls = getattr(qv, name)
    assert cls.__doc__ and cls.__doc__.splitlines()[0].endswith(".")
    init = SIGNATURES.get(f"{name}.__init__")
    if init is None:
        assert cls.__text_signature__ is None  # no constructor, no signature
    else:
        assert str(inspect.signature(cls)) == init.replace("(self, ", "(")


@pytest.mark.parametrize("name", properties())
def test_every_property_says_what_it_holds(name):
    doc = lookup(name).__doc__
    assert doc and doc.rstrip().endswith("."), doc


@pytest.mark.parametrize("name", EXAMPLES)
def test_docstring_examples_run_as_shown(name):
    test = doctest.DocTestParser().get_doctest(lookup(name).__doc__, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    out = []
    runner.run(test, out=out.append)
    assert test.examples, "no example"
    assert runner.failures == 0, "".join(out)


# --- the type stub ------------------------------------------------------------------------


def stub_definitions():
    """Name -> ast function definition of every function and method of the stub."""
    tree = ast.parse(STUB.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    out.setdefault(f"{node.name}.{item.name}", item)  # a property's getter comes first
    return out


def stub_signature(fn):
    args = fn.args
    positional = args.posonlyargs + args.args
    if any(isinstance(d, ast.Name) and d.id == "classmethod" for d in fn.decorator_list):
        positional = positional[1:]  # `cls` is bound, as at run time
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = [a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(positional, defaults)]
    return "(" + ", ".join(parts) + ")"


def test_stub_lists_the_module_names():
    tree = ast.parse(STUB.read_text())
    (all_,) = [n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_) == qv.__all__


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_stub_parameters_match_the_module(name):
    assert stub_signature(stub_definitions()[name]) == SIGNATURES[name]


# --- the stub as the source of the texts --------------------------------------------------


def stub_docstrings():
    """Qualified name ("" for the module) -> docstring, as an editor shows it, of
    everything the stub documents."""
    tree = ast.parse(STUB.read_text())
    out = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            out[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    out.setdefault(f"{node.name}.{item.name}", ast.get_docstring(item))
    return {name: doc.rstrip() for name, doc in out.items() if doc is not None}


def test_the_stub_documents_exactly_what_the_module_documents():
    classes = [name for name in qv.__all__ if isinstance(getattr(qv, name), type)]
    reprs = [f"{name}.__repr__" for name in classes if "__repr__" in vars(getattr(qv, name))]
    assert set(stub_docstrings()) == {"", *qv.__all__, *public_callables(), *properties(), *reprs}


@pytest.mark.parametrize("name", sorted(stub_docstrings()))
def test_help_shows_the_stub_docstring(name):
    obj = qv if name == "" else lookup(name)
    assert inspect.cleandoc(obj.__doc__) == stub_docstrings()[name]


def run_generator(tmp_path, stub):
    source = tmp_path / "quorvane.pyi"
    source.write_text(stub, encoding="utf-8")
    header = tmp_path / "out" / "docs.hpp"
    done = subprocess.run([sys.executable, str(GENERATOR), str(source), str(header)], capture_output=True, text=True)
    return source, header, done


def header_constants(header):
    """Constant name -> text of a generated header, its C literals read back as bytes."""
    out = {}
    for name, literals in re.findall(r"inline constexpr const char\* (\w+) =\n((?:    \".*\"[;]?\n)+)", header):
        parts = [ast.literal_eval("b" + line.strip().rstrip(";")) for line in literals.splitlines()]
        out[name] = b"".join(parts).decode()
    return out


SMALL_STUB = '''"""The module \u2014 "quoted", with a \\\\ backslash."""
from typing import Never, Self

class _Base: ...

class Made(_Base):
    """A class with a constructor."""
    def __init__(self, a: int, b: int | None = None) -> None:
        """Initialize.
        """
    def run(self, flag: bool = False) -> None:
        """Run.

        Two paragraphs."""
    @property
    def value(self) -> int:
        """The value."""
    @value.setter
    def value(self, v: int) -> None: ...
    def __repr__(self) -> str:
        """Its text."""

class Given(_Base):
    """A class without a constructor."""
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @classmethod
    def make(cls, x: int) -> Given:
        """Make one."""

def free_function(x: int, y: bool = True) -> None:
    """A function."""
'''


def test_generator_writes_each_text_with_its_signature_line(tmp_path):
    _, header, done = run_generator(tmp_path, SMALL_STUB)
    assert done.returncode == 0, done.stderr
    assert header_constants(header.read_text()) == {
        "kModule": 'The module \u2014 "quoted", with a \\ backslash.',
        "kMade": "Made(a, b=None)\n--\n\nA class with a constructor.",
        "kMadeInit": "__init__(self, a, b=None)\n--\n\nInitialize.\n",
        "kMadeRun": "run(self, flag=False)\n--\n\nRun.\n\nTwo paragraphs.",
        "kMadeValue": "The value.",
        "kMadeRepr": "Its text.",
        "kGiven": "A class without a constructor.",
        "kGivenMake": "make(x)\n--\n\nMake one.",
        "kFreeFunction": "free_function(x, y=True)\n--\n\nA function.",
    }


# A stub the generator must refuse: the line it names and what it says there.
UNPLACEABLE = {
    "function without docstring": ('"""M."""\ndef f(a: int) -> None: ...\n', 2, "f has no docstring"),
    "class without docstring": (
        '"""M."""\nclass C:\n    def f(self) -> None:\n        """F."""\n', 2, "C has no docstring"
    ),
    "module without docstring": ('def f() -> None:\n    """F."""\n', 1, "the module has no docstring"),
    "docstring after the body": (
        '"""M."""\ndef f() -> None:\n    ...\n    """F."""\n', 4, "a text that is no docstring"
    ),
    "docstring on a setter": (
        '"""M."""\nclass C:\n    """C."""\n    @property\n    def p(self) -> int:\n        """P."""\n'
        '    @p.setter\n    def p(self, v: int) -> None:\n        """S."""\n',
        8,
        "C.p takes no docstring",
    ),
    "docstring on a refused constructor": (
        '"""M."""\nfrom typing import Never\nclass C:\n    """C."""\n'
        '    def __init__(self, x: Never, /) -> None:\n        """I."""\n',
        5,
        "C.__init__ takes no docstring",
    ),
    "docstring on a private class": ('"""M."""\nclass _B:\n    """B."""\n', 2, "_B takes no docstring"),
    "default the bindings cannot read": (
        '"""M."""\ndef f(a: int = 3) -> None:\n    """F."""\n', 2, "the default of a is not None, True or False"
    ),
    "star parameters": ('"""M."""\ndef f(*a: int) -> None:\n    """F."""\n', 2, "plain parameters only"),
    "documented twice": (
        '"""M."""\ndef f() -> None:\n    """F."""\ndef f() -> None:\n    """G."""\n', 4, "f is documented twice"
    ),
    "one constant for two names": (
        '"""M."""\ndef a_b() -> None:\n    """F."""\ndef aB() -> None:\n    """G."""\n', 4, "would both be kAB"
    ),
}


@pytest.mark.parametrize("stub,line,message", UNPLACEABLE.values(), ids=UNPLACEABLE.keys())
def test_generator_refuses_what_it_cannot_place(tmp_path, stub, line, message):
    source, header, done = run_generator(tmp_path, stub)
    assert done.returncode == 1
    assert done.stderr.startswith(f"{source}:{line}: ") and message in done.stderr, done.stderr
    assert not header.exists()
