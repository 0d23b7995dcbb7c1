"""Bad input never kills the interpreter.

Every function and constructor of `quorvane.__all__`, and every method and property of
its classes, is called with arguments drawn from a mix of plausible values and bad ones:
wrong types, None, a str where a sequence belongs, huge and negative integers, NaN and
infinities, out-of-range fluent and action indices, operator nodes whose operands name
missing or later nodes, empty lists, sequences that lie about their length, and objects
made by `__new__` without their constructor. A batch of calls runs in one forked child
(childcall); the child must end normally, each call with a result or a Python
exception. When a batch dies, its calls are re-run one by one to name the culprit.

Values are recipes (`V`): the child builds each argument afresh, so that nothing a call
does to its arguments leaks into the next, and a failure prints the recipe's text.
Searches on a task whose state space may be infinite always get a short time-out; the
finite tasks are searched with any time-out, NaN and None included."""

import inspect
import math
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvane as qv
from conftest import A, B, F, I, OP
from childcall import run_calls


BATCH = 10  # calls per forked child
EXAMPLES = 6  # batches per target
BATCH_TIMEOUT = 20.0
SHORT_TIMEOUTS = [0.0, 0.02, 0.05]  # for searches that might not end by themselves


class V:
    """A recipe for one value: `make()` builds it afresh; its text shows it."""

    __slots__ = ("text", "make")

    def __init__(self, text, make):
        self.text, self.make = text, make

    def __repr__(self):
        return self.text


def const(x, text=None):
    return V(text or repr(x), lambda: x)


def list_of(items, brackets="[]"):
    text = brackets[0] + ", ".join(map(repr, items)) + brackets[1]
    if brackets == "()":
        return V(text if len(items) != 1 else f"({items[0]!r},)", lambda: tuple(i.make() for i in items))
    return V(text, lambda: [i.make() for i in items])


def dict_of(pairs):
    text = "{" + ", ".join(f"{k!r}: {v!r}" for k, v in pairs) + "}"
    return V(text, lambda: {k.make(): v.make() for k, v in pairs})


def set_of(items):
    return V("{" + ", ".join(map(repr, items)) + "}" if items else "set()", lambda: {i.make() for i in items})


# --- odd Python objects ---------------------------------------------------------------------------


class HugeLen(list):
    """An empty list that claims 2**62 elements."""

    def __len__(self):
        return 2**62


class NegativeLen(list):
    def __len__(self):
        return -1


class FailingItems(list):
    """Claims two elements; reading any of them raises."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError(i)


class FailingIndex:
    def __index__(self):
        raise ValueError("no index")


class FailingFloat:
    def __float__(self):
        raise ValueError("no float")


def uninit(cls):
    """An instance made by `__new__` alone, past any refusal of the class's own `__new__`."""
    return cls.__base__.__new__(cls)


def impostor(cls):
    """An object whose `__class__` attribute claims `cls`, so that isinstance() believes it."""
    return type("Impostor", (), {"__class__": cls})()


CLASSES = [qv.ExpressionNode, qv.Effect, qv.Timing, qv.Event, qv.Action, qv.SearchSpace, qv.State, qv.Heuristic]

INTS = [0, 1, 2, 3, -1, -(2**31) - 1, 2**31 - 1, 2**31, 2**32, 2**62, 2**63 - 1, 2**63, -(2**63), 2**64 - 1,
        2**64, 10**30, True, False]
FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 0.5, -1.5, 1e308, 5e-324]
STRS = ["", "x", "a", "+", "and", "not", "<=", ">=", "int", "bool", "\x00", "\u00e9"]
ODD = [
    const(None),
    const(b"ab"),
    const(Fraction(1, 3)),
    const(Fraction(2**40, 3)),
    const(Fraction(-7, 2)),
    V("object()", object),
    V("HugeLen()", HugeLen),
    V("NegativeLen()", NegativeLen),
    V("FailingItems()", FailingItems),
    V("FailingIndex()", FailingIndex),
    V("FailingFloat()", FailingFloat),
    V("[]", list),
    V("()", tuple),
    V("{}", dict),
    V("set()", set),
    V("lambda *a: None", lambda: (lambda *a: None)),
    *[V(f"uninit({c.__name__})", lambda c=c: uninit(c)) for c in CLASSES],
    *[V(f"impostor({c.__name__})", lambda c=c: impostor(c)) for c in CLASSES],
]

ints = st.sampled_from([const(x) for x in INTS])
floats = st.sampled_from([const(x, f"float({str(x)!r})") for x in FLOATS])
strs = st.sampled_from([const(x) for x in STRS])
odd = st.sampled_from(ODD)
bools = st.sampled_from([const(True), const(False)])


# --- model objects ------------------------------------------------------------------------------

FLUENTS = [0, 1, 2, 3, 9, 2**63, 2**64 - 1]
OPERANDS = [0, 1, 2, 3, 5, 2**32, 2**64 - 1]
KINDS = {"+": 0, "*": 0, "and": 0, "or": 0, "not": 1, "==": 2, "<=": 2, "<": 2, "-": 2, "/": 2}


def _op(kind, operands):
    return V(f"OP({kind!r}, {operands})", lambda: OP(kind, operands))


def node_strategy(arithmetic=True):
    kinds = [k for k in KINDS if arithmetic or k != "*"]
    ops = st.sampled_from(kinds).flatmap(
        lambda k: st.lists(st.sampled_from(OPERANDS), min_size=KINDS[k], max_size=max(3, KINDS[k])).map(
            lambda ops, k=k: _op(k, ops)))
    return st.one_of(
        st.sampled_from(FLUENTS).map(lambda f: V(f"F({f})", lambda: F(f))),
        st.sampled_from([0, 1, -1, 2, 2**31 - 1, -(2**31)]).map(lambda v: V(f"I({v})", lambda: I(v))),
        st.sampled_from([True, False]).map(lambda v: V(f"B({v})", lambda: B(v))),
        st.sampled_from([(1, 2), (-3, 4), (0, 5), (2**31 - 1, -(2**31))]).map(
            lambda r: V(f"R{r}", lambda: qv.make_rational_constant_node(*r))),
        st.sampled_from(["a", "b", ""]).map(lambda o: V(f"O({o!r})", lambda: qv.make_object_node(o))),
        ops,
    )


WELL_FORMED = [
    V("[B(True)]", lambda: [B(True)]),
    V("[F(0)]", lambda: [F(0)]),
    V("x0 == 2", lambda: [F(0), I(2), OP("==", [0, 1])]),
    V("x0 < 3", lambda: [F(0), I(3), OP("<", [0, 1])]),
    V("x0 + 1", lambda: [F(0), I(1), OP("+", [0, 1])]),
    V("x1 / x0", lambda: [F(1), F(0), OP("/", [0, 1])]),
    V("x0 and not x1", lambda: [F(0), F(1), OP("not", [1]), OP("and", [0, 2])]),
    V("Plus()", lambda: [OP("+", [])]),
    V("self-operand", lambda: [OP("not", [0])]),
    V("forward operand", lambda: [OP("<", [1, 2]), I(1), I(2)]),
]

nodes = node_strategy()
exprs = st.one_of(st.sampled_from(WELL_FORMED), st.lists(nodes, max_size=5).map(list_of))
# Effect values without products, so that repeated effects cannot grow numbers fast.
safe_exprs = st.one_of(st.sampled_from(WELL_FORMED), st.lists(node_strategy(False), max_size=4).map(list_of))
constant_nodes = st.sampled_from([V("I(0)", lambda: I(0)), V("I(2)", lambda: I(2)), V("B(False)", lambda: B(False)),
                                  V("R(1, 2)", lambda: qv.make_rational_constant_node(1, 2)),
                                  V("O('a')", lambda: qv.make_object_node("a"))])
action_ids = st.sampled_from([0, 1, 2, 5, 2**64 - 1])
actions = action_ids.map(lambda i: V(f"A({i})", lambda: A(i)))
timings = st.tuples(st.booleans(), st.sampled_from([0, 1, -1, Fraction(1, 2), Fraction(-(2**31), 3)])).map(
    lambda t: V(f"Timing{t}", lambda: qv.Timing(*t)))
effects = st.tuples(st.sampled_from(FLUENTS[:5] + [2**64 - 1]), safe_exprs).map(
    lambda t: V(f"Effect({t[0]}, {t[1]!r})", lambda: qv.Effect(t[0], t[1].make())))


def _event(a, pos, cond, start, end, effs):
    text = f"Event(A({a}), {pos}, {cond!r}, {start!r}, {end!r}, {effs!r})"
    return V(text, lambda: qv.Event(A(a), pos, cond.make(), start.make(), end.make(), effs.make()))


def events_for(a):
    expr_lists = st.lists(exprs, max_size=2).map(list_of)
    return st.builds(_event, st.just(a), st.sampled_from([0, 1, 2**64 - 1]), exprs, expr_lists, expr_lists,
                     st.lists(effects, max_size=2).map(list_of))


events = action_ids.flatmap(events_for)
pairs = st.tuples(timings, events).map(lambda t: list_of(list(t), "()"))
events_dicts = st.lists(
    action_ids.flatmap(lambda a: st.tuples(st.just(V(f"A({a})", lambda: A(a))),
                                           st.lists(st.tuples(timings, events_for(a)).map(
                                               lambda t: list_of(list(t), "()")), max_size=2).map(list_of))),
    max_size=3).map(dict_of)
durations = st.one_of(st.just(const(None)),
                      st.tuples(safe_exprs, safe_exprs, bools, bools).map(lambda t: list_of(list(t), "()")))
action_lists = st.lists(actions, max_size=4).map(list_of)


# --- tasks --------------------------------------------------------------------------------------


def _eq(f, v):
    return [F(f), I(v), OP("==", [0, 1])]


def _step(a, cond, effs, start=(), end=()):
    return qv.Event(A(a), 0, cond, list(start), list(end), [qv.Effect(f, v) for f, v in effs])


def counter_task():
    """x in [0, 3]: action 0 adds 1 while x < 3, action 1 takes 1 while x > 0."""
    below_3, above_0 = [F(0), I(3), OP("<", [0, 1])], [I(0), F(0), OP("<", [0, 1])]
    up, down = [F(0), I(1), OP("+", [0, 1])], [F(0), I(1), OP("-", [0, 1])]
    return dict(
        actions_duration=[None, None],
        events={A(0): [(qv.Timing(True, 0), _step(0, below_3, [(0, up)]))],
                A(1): [(qv.Timing(True, 0), _step(1, above_0, [(0, down)]))]},
        actions=[A(0), A(1)], compression_safe_actions=None, action_objects=None, obj_to_prev_actions_map=None,
        initial_state=[I(0)], goal=_eq(0, 2), fluent_types=["int"], objects={})


def flip_task():
    """Two booleans, each set once: action 0 sets x0, then action 1 sets x1. No cycles."""
    unset = lambda f: [F(f), OP("not", [0])]  # noqa: E731
    return dict(
        actions_duration=[None, None],
        events={A(0): [(qv.Timing(True, 0), _step(0, unset(0), [(0, [B(True)])]))],
                A(1): [(qv.Timing(True, 0), _step(1, [F(0), F(1), OP("not", [1]), OP("and", [0, 2])],
                                                  [(1, [B(True)])]))]},
        actions=[A(0), A(1)], compression_safe_actions=[True, False], action_objects=None,
        obj_to_prev_actions_map=None, initial_state=[B(False), B(False)], goal=[F(1)], fluent_types=["bool", "bool"],
        objects={})


def temporal_task():
    """Actions 0 and 1 of duration 1 run once each (f_i: 0 -> 1 -> 2); the goal is f0 == 2."""
    events = {}
    for a in (0, 1):
        events[A(a)] = [
            (qv.Timing(True, 0), qv.Event(A(a), 0, _eq(a, 0), [[B(True)]], [], [qv.Effect(a, [I(1)])])),
            (qv.Timing(False, 0), qv.Event(A(a), 1, [B(True)], [], [[B(True)]], [qv.Effect(a, [I(2)])])),
        ]
    one = ([I(1)], [I(1)], False, False)
    return dict(actions_duration=[one, one], events=events, actions=[A(0), A(1)], compression_safe_actions=None,
                action_objects=None, obj_to_prev_actions_map=None, initial_state=[I(0), I(0)], goal=_eq(0, 2),
                fluent_types=["int", "int"], objects={})


def objects_task():
    """One object fluent moved between 'a' and 'b', with object bookkeeping."""
    at = lambda o: [F(0), qv.make_object_node(o), OP("==", [0, 1])]  # noqa: E731
    return dict(
        actions_duration=[None, None],
        events={A(0): [(qv.Timing(True, 0), _step(0, at("a"), [(0, [qv.make_object_node("b")])]))],
                A(1): [(qv.Timing(True, 0), _step(1, at("b"), [(0, [qv.make_object_node("a")])]))]},
        actions=[A(0), A(1)], compression_safe_actions=[True, True], action_objects=[["a", "b"], ["b"]],
        obj_to_prev_actions_map={"a": {A(1)}, "b": frozenset({A(0)})}, initial_state=[qv.make_object_node("a")],
        goal=at("b"), fluent_types=["loc"], objects={"loc": ["a", "b"]})


def empty_task():
    return dict(actions_duration=[], events={}, actions=[], compression_safe_actions=None, action_objects=None,
                obj_to_prev_actions_map=None, initial_state=[], goal=[B(True)], fluent_types=[], objects={})


def broken_task():
    """Out-of-range fluents in conditions, effects, duration bounds and goal; a pos that
    does not match; an action without events; a goal whose operand names a later node."""
    return dict(
        actions_duration=[None, ([F(7)], [I(2)], True, False), None],
        events={A(0): [(qv.Timing(True, 0), _step(0, [F(9)], [(0, [I(1)])]))],
                A(1): [(qv.Timing(True, 0), qv.Event(A(1), 3, [B(True)], [[F(5)]], [], [qv.Effect(4, [I(1)])])),
                       (qv.Timing(False, Fraction(1, 2)), qv.Event(A(1), 1, [B(True)], [], [[F(5)]], []))],
                A(2): []},
        actions=[A(0), A(1), A(2)], compression_safe_actions=[True], action_objects=[["a"]],
        obj_to_prev_actions_map={"a": {A(2)}}, initial_state=[I(0)], goal=[OP("and", [1]), B(True)],
        fluent_types=["int"], objects={})


def bare_task():
    """No initial state and no goal."""
    return dict(actions_duration=[None], events={A(0): [(qv.Timing(True, 0), _step(0, [B(True)], [(0, [I(1)])]))]},
                actions=[A(0)], compression_safe_actions=None, action_objects=None, obj_to_prev_actions_map=None,
                initial_state=None, goal=None, fluent_types=["int"], objects={})


TASKS = {"counter": counter_task, "flip": flip_task, "temporal": temporal_task, "objects": objects_task,
         "empty": empty_task, "broken": broken_task, "bare": bare_task}
# Tasks on which every search ends by itself whatever its time-out: those without cycles
# for the blind searches (they detect no duplicates), and those with finitely many
# states for the others.
ACYCLIC = ["flip", "temporal", "empty", "bare"]
FINITE = ACYCLIC + ["counter", "objects"]
SPACE_FIELDS = ["actions_duration", "events", "actions", "compression_safe_actions", "action_objects",
                "obj_to_prev_actions_map", "initial_state", "goal"]


def make_space(task):
    t = TASKS[task]()
    return qv.SearchSpace(**{k: t[k] for k in SPACE_FIELDS})


def make_heuristic(task, kind):
    t = TASKS[task]()
    args = [t["actions"], t["fluent_types"], t["objects"], t["events"], t["goal"] or [F(0)], True, True, False]
    return getattr(qv.Heuristic, kind)(*args)


def successor(task, steps):
    """The state after `steps` successor steps, each by the last applicable action."""
    space = make_space(task)
    state = space.initial_state()
    for _ in range(steps):
        successors = space.get_successor_states(state)
        if not successors:
            break
        state = successors[-1]
    return state


def task_field(task, field):
    return V(f"{task}.{field}", lambda: TASKS[task]().get(field))


rationals = st.sampled_from([const(None), const(0), const(1), const(-1), const(Fraction(1, 1000)), const(0.5),
                             const(2**31)])
optional_bools = st.one_of(st.just(const(None)), st.lists(bools, max_size=3).map(list_of))
optional_objects = st.one_of(st.just(const(None)),
                             st.lists(st.lists(strs, max_size=2).map(list_of), max_size=3).map(list_of))
prerequisites = st.one_of(
    st.just(const(None)),
    st.lists(st.tuples(strs, st.lists(actions, max_size=2).map(set_of)), max_size=2).map(dict_of))

# Generated values for the fields of a task, each plausible in shape.
FIELD_VALUES = {
    "actions_duration": st.lists(durations, max_size=3).map(list_of),
    "events": events_dicts,
    "actions": action_lists,
    "compression_safe_actions": optional_bools,
    "action_objects": optional_objects,
    "obj_to_prev_actions_map": prerequisites,
    "initial_state": st.one_of(st.just(const(None)), st.lists(constant_nodes, max_size=3).map(list_of), exprs),
    "goal": st.one_of(st.just(const(None)), exprs),
    "relevant_actions": st.one_of(st.just(const(None)), action_lists),
    "deadline": rationals,
    "epsilon": rationals,
    "fluent_types": st.lists(st.sampled_from([const(t) for t in ["int", "bool", "real", "loc", ""]]),
                             max_size=3).map(list_of),
    "objects": st.lists(st.tuples(strs, st.lists(strs, max_size=2).map(list_of)), max_size=2).map(dict_of),
}


def mutated(fields, build, name):
    """A task's `fields` with up to two of them replaced by generated values, made by `build`."""

    @st.composite
    def draw(draw):
        task = draw(st.sampled_from(list(TASKS)))
        args = [task_field(task, f) for f in fields]
        changed = draw(st.lists(st.integers(0, len(fields) - 1), max_size=2, unique=True))
        for i in changed:
            args[i] = draw(FIELD_VALUES[fields[i]])
        text = f"{name}({task}" + "".join(f", {fields[i]}={args[i]!r}" for i in sorted(changed)) + ")"
        return V(text, lambda: build(*[a.make() for a in args]))

    return draw()


ALL_SPACE_FIELDS = SPACE_FIELDS + ["relevant_actions", "deadline", "epsilon"]
HEURISTIC_FIELDS = ["actions", "fluent_types", "objects", "events", "goal"]

fixed_spaces = st.sampled_from([V(f"space({t!r})", lambda t=t: make_space(t)) for t in TASKS])
acyclic_spaces = st.sampled_from([V(f"space({t!r})", lambda t=t: make_space(t)) for t in ACYCLIC])
finite_spaces = st.sampled_from([V(f"space({t!r})", lambda t=t: make_space(t)) for t in FINITE])
spaces = st.one_of(fixed_spaces, mutated(ALL_SPACE_FIELDS, qv.SearchSpace, "SearchSpace"))

CUSTOM = {
    "lambda s: 1.0": lambda: (lambda s: 1.0),
    "lambda s: nan": lambda: (lambda s: math.nan),
    "lambda s: -inf": lambda: (lambda s: -math.inf),
    "lambda s: None": lambda: (lambda s: None),
    "lambda s: s.g": lambda: (lambda s: s.g),
    "lambda s: 'x'": lambda: (lambda s: "x"),
    "lambda s: 1 / 0": lambda: (lambda s: 1 / 0),
    "lambda s: s.get_value(99)": lambda: (lambda s: s.get_value(99)),
    "42": lambda: 42,
}
customs = st.tuples(st.sampled_from(list(CUSTOM)), st.booleans()).map(
    lambda t: V(f"Heuristic.custom({t[0]}, {t[1]})", lambda: qv.Heuristic.custom(CUSTOM[t[0]](), t[1])))
fixed_heuristics = st.one_of(
    st.tuples(st.sampled_from(list(TASKS)), st.sampled_from(["hff", "hadd", "hmax", "hmax_explicit"])).map(
        lambda t: V(f"Heuristic.{t[1]}({t[0]!r})", lambda: make_heuristic(*t))),
    customs,
)


def _mutated_heuristic(kind, flags):
    def build(*args):
        return getattr(qv.Heuristic, kind)(*args, *flags)

    return mutated(HEURISTIC_FIELDS, build, f"Heuristic.{kind}")


heuristics = st.one_of(
    fixed_heuristics,
    st.tuples(st.sampled_from(["hff", "hadd", "hmax", "hmax_explicit"]), st.lists(st.booleans(), min_size=3,
                                                                                   max_size=3)).flatmap(
        lambda t: _mutated_heuristic(*t)),
)
heuristic_pairs = st.tuples(heuristics, st.one_of(floats, ints)).map(lambda t: list_of(list(t), "()"))

states = st.one_of(
    st.tuples(st.sampled_from(list(TASKS)), st.integers(0, 3)).map(
        lambda t: V(f"successor({t[0]!r}, {t[1]})", lambda: successor(*t))),
    spaces.map(lambda s: V(f"{s!r}.initial_state()", lambda: s.make().initial_state())),
)

leaves = st.one_of(ints, floats, strs, odd, nodes, actions, timings, effects, events, states, fixed_spaces,
                   fixed_heuristics)
anything = st.recursive(
    leaves,
    lambda inner: st.one_of(st.lists(inner, max_size=3).map(list_of),
                            st.lists(inner, max_size=3).map(lambda xs: list_of(xs, "()")),
                            st.lists(st.tuples(st.one_of(ints, strs, actions), inner), max_size=2).map(dict_of)),
    max_leaves=5,
)

PLAUSIBLE = {
    **FIELD_VALUES,
    "exp": exprs, "expr": exprs, "value": safe_exprs, "conditions": exprs, "goals": exprs,
    "start_conditions": st.lists(exprs, max_size=3).map(list_of),
    "end_conditions": st.lists(exprs, max_size=3).map(list_of),
    "effects": st.lists(effects, max_size=3).map(list_of),
    "state": states, "ss": spaces, "heuristic": heuristics,
    "heuristics": st.lists(heuristic_pairs, max_size=3).map(list_of),
    "weight": st.one_of(floats, ints), "timeout": st.one_of(floats, ints, st.just(const(None))),
    "early_termination": bools, "weak_equality": bools, "start": bools, "internal_caching": bools,
    "cache_value_in_state": bools, "inadmissible_numeric_heuristic_variant": bools,
    "disable_numeric_reasoning": bools,
    "fluent": ints, "idx": ints, "pos": ints, "offset": ints, "numerator": ints, "denominator": ints,
    "kind": st.one_of(st.sampled_from([const(k) for k in KINDS]), strs),
    "operands": st.lists(st.one_of(st.sampled_from([const(o) for o in OPERANDS]), ints), max_size=4).map(list_of),
    "name": strs, "action": actions, "path": action_lists, "delay": rationals,
    "callable": st.sampled_from([V(k, v) for k, v in CUSTOM.items()]),
    "assignments": st.lists(st.tuples(st.sampled_from([const(f) for f in FLUENTS]), st.one_of(constant_nodes, nodes)),
                            max_size=3).map(dict_of),
}
# Parameters of the constructors that a task fills (`goals` is the task's goal).
TASK_PARAMS = {f: f for f in FIELD_VALUES} | {"goals": "goal"}


# --- targets ------------------------------------------------------------------------------------


class Target:
    def __init__(self, name, fn, params, optional=(), self_class=None):
        self.name, self.fn, self.params, self.optional, self.self_class = name, fn, params, optional, self_class

    def __repr__(self):
        return self.name


class Call:
    def __init__(self, target, args, kwargs):
        self.target, self.args, self.kwargs = target, args, kwargs

    def __call__(self):
        args = [a.make() for a in self.args]
        kwargs = {k: v.make() for k, v in self.kwargs.items()}
        return self.target.fn(*args, **kwargs)

    def __repr__(self):
        inner = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return f"{self.target.name}({', '.join(inner)})"


def _signature_params(obj):
    try:
        params = list(inspect.signature(obj).parameters.values())
    except ValueError:  # __repr__ publishes no signature
        return ["self"], []
    required = [p.name for p in params if p.default is inspect.Parameter.empty]
    optional = [p.name for p in params if p.default is not inspect.Parameter.empty]
    return required, optional


def _targets():
    out = []
    for name in qv.__all__:
        obj = getattr(qv, name)
        if name in ("ExpressionNode", "State", "Heuristic"):
            out.append(Target(name, obj, []))  # no constructor: refused
            continue
        out.append(Target(name, obj, *_signature_params(obj)))
    for cls in CLASSES:
        for member, value in vars(cls).items():
            if member.startswith("_") and member != "__repr__":
                continue
            if isinstance(value, staticmethod):
                fn = getattr(cls, member)
                out.append(Target(f"{cls.__name__}.{member}", fn, *_signature_params(fn)))
            elif isinstance(value, property):
                out.append(Target(f"{cls.__name__}.{member}", value.fget, ["self"], self_class=cls))
                if value.fset is not None:
                    out.append(Target(f"{cls.__name__}.{member} =", value.fset, ["self", "value"], self_class=cls))
            elif callable(value):
                out.append(Target(f"{cls.__name__}.{member}", value, *_signature_params(value), self_class=cls))
    return out


TARGETS = _targets()

OWN_VALUES = {
    qv.ExpressionNode: nodes, qv.Effect: effects, qv.Timing: timings, qv.Event: events, qv.Action: actions,
    qv.SearchSpace: spaces, qv.State: states, qv.Heuristic: heuristics,
}


def plausible(target, param):
    if param == "self":
        cls = target.self_class
        return st.integers(0, 5).flatmap(
            lambda k: st.just(V(f"uninit({cls.__name__})", lambda: uninit(cls))) if k == 0 else OWN_VALUES[cls])
    if target.name == "SearchSpace.relevant_actions =":
        return action_lists
    if target.name == "make_bool_constant_node":
        return bools
    return PLAUSIBLE.get(param, anything)


def call_strategy(target):
    """A call of `target` with plausible arguments, one of them (half of the time) anything
    at all. A constructor that takes a task's fields starts from one of the tasks."""

    @st.composite
    def draw_call(draw):
        names = target.params + [p for p in target.optional if draw(st.booleans())]
        bad = draw(st.one_of(st.none(), st.sampled_from(names))) if names else None
        task = draw(st.sampled_from(list(TASKS)))
        from_task = target.self_class is None and any(p in TASK_PARAMS for p in target.params)
        values = {}
        for p in names:
            if p == bad:
                values[p] = draw(anything)
            elif from_task and p in TASK_PARAMS and draw(st.integers(0, 3)) > 0:
                values[p] = task_field(task, TASK_PARAMS[p])
            else:
                values[p] = draw(plausible(target, p))
        if target.name.endswith("_search"):
            # Only the tasks whose searches end by themselves go without a short time-out.
            if draw(st.integers(0, 2)) == 0:
                blind = target.name in ("bfs_search", "dfs_search")
                values["ss"] = draw(acyclic_spaces if blind else finite_spaces)
            else:
                values["timeout"] = draw(st.sampled_from([const(t) for t in SHORT_TIMEOUTS]))
        args = [values[p] for p in target.params]
        return Call(target, args, {p: values[p] for p in values if p not in target.params})

    return draw_call()


def check_batch(calls):
    run = run_calls(calls, timeout=BATCH_TIMEOUT)
    bad = [(c, o) for c, o in zip(calls, run.outcomes) if o.raised == "SystemError"]
    assert not bad, f"the binding layer broke the C API: {bad}"
    if run.death is None:
        return
    # Name the call that killed the child: re-run the batch one call per child.
    for call in calls:
        single = run_calls([call], timeout=BATCH_TIMEOUT)
        if single.death is not None:
            pytest.fail(f"{call!r}: the child {single.death}")
    pytest.fail(f"a batch {run.death}, though each of its calls alone ends normally: {calls!r}")


@pytest.mark.parametrize("target", TARGETS, ids=repr)
@settings(max_examples=EXAMPLES, derandomize=True, deadline=None, database=None, print_blob=False,
          suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_bad_input_never_kills_the_interpreter(target, data):
    calls = data.draw(st.lists(call_strategy(target), min_size=1, max_size=BATCH), label="calls")
    check_batch(calls)


def test_every_name_and_member_is_a_target():
    names = {t.name for t in TARGETS}
    assert set(qv.__all__) <= names
    for member in ("SearchSpace.build_plan", "SearchSpace.relevant_actions =", "Heuristic.eval", "State.get_value",
                   "ExpressionNode.real_constant", "Event.__repr__", "Timing.is_from_end", "Action.idx",
                   "Heuristic.hmax_explicit", "Heuristic.custom"):
        assert member in names
