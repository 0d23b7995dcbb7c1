"""What help() shows: every public callable publishes its signature and documents its
parameters, results and errors; every property says what it holds; the examples in the
docstrings run; and the type stub agrees with the module's signatures."""

import ast
import doctest
import inspect
import pathlib
import re
import types

import pytest

import quorvane as qv

STUB = pathlib.Path(__file__).resolve().parents[1] / "src" / "python" / "quorvane.pyi"

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
