"""Expressions nested 100,000 levels deep behave as their two-level forms do.

Every walk over an expression (evaluation, the prepared forms of conditions and effect
values, simplification, splitting, shifting, the heuristics' construction) is a loop or
keeps its own stack, so no depth overflows the call stack. Each case runs in a forked
child (childcall): an overflow kills the child and fails the test instead of ending the
test run. The node lists are built once, in the parent, and the children inherit them."""

import functools

import pytest

import quorvane as qv
from conftest import A, B, F, I, O, OP
from childcall import run_call


DEEP = 100_000  # even: an even number of negations keeps a condition's value
SHALLOW = 2

# One level of nesting around the root at position r (the last node): the nodes that
# make the next root. Each keeps the value: two negations cancel out, `and true`,
# `or false`, + 0, - 0, * 1 and / 1 change nothing.
LEVELS = {
    "not": lambda r: [OP("not", [r])],
    "and": lambda r: [B(True), OP("and", [r, r + 1])],
    "or": lambda r: [B(False), OP("or", [r, r + 1])],
    "plus": lambda r: [I(0), OP("+", [r, r + 1])],
    "minus": lambda r: [I(0), OP("-", [r, r + 1])],
    "times": lambda r: [I(1), OP("*", [r, r + 1])],
    "div": lambda r: [I(1), OP("/", [r, r + 1])],
}
BOOLEAN = ("not", "and", "or")
# The delete relaxation takes a negation of a condition, or a constant conjunct, for a
# condition that no operator achieves: in these shapes hff, hadd and hmax find the
# counter task a dead end, at two levels as at any depth.
UNSEEN_BY_RELAXATION = ("not", "and")


def nest(base, shape, depth):
    out = list(base)
    for _ in range(depth):
        out += LEVELS[shape](len(out) - 1)
    return out


def compare(left, op, bound):
    """`left op bound`, with `left` a list of nodes."""
    return left + [I(bound), OP(op, [len(left) - 1, len(left)])]


def condition(op, bound, shape, depth):
    """x op bound over fluent 0: a boolean shape wraps the comparison, an arithmetic one x."""
    if shape in BOOLEAN:
        return nest(compare([F(0)], op, bound), shape, depth)
    return compare(nest([F(0)], shape, depth), op, bound)


def at_least(bound, shape, depth):
    """bound <= x, nested as `condition` nests. (The prepared goal test reads the
    arithmetic of a comparison; of == it only looks at the operands.)"""
    if shape in BOOLEAN:
        return nest([I(bound), F(0), OP("<=", [0, 1])], shape, depth)
    left = nest([I(bound), F(0)], shape, depth)
    return left + [OP("<=", [0, len(left) - 1])]


def texts(expr):
    return [repr(node) for node in expr]


# --- a counter task: x < 3 lets x := x + 1; the goal is 2 <= x ---------------------------------

# (where, shape): the goal, the condition or the effect value nested in that shape.
PLACES = [("goal", s) for s in ("not", "and", "or", "plus", "minus")] + \
         [("condition", s) for s in ("not", "and", "or", "times", "div")] + \
         [("effect", s) for s in ("plus", "minus", "times", "div")]
PLACE_IDS = [f"{where}-{shape}" for where, shape in PLACES]


# The last task's nodes are kept, so that the searches of one place share them: built in
# the parent, they are inherited by every child. Keeping them all would hold too much memory.
@functools.lru_cache(maxsize=1)
def counter_parts(where, shape, depth):
    goal = at_least(2, shape, depth if where == "goal" else 0)
    cond = condition("<", 3, shape, depth) if where == "condition" else condition("<", 3, "not", 0)
    base_value = [F(0), I(1), OP("+", [0, 1])]
    value = nest(base_value, shape, depth) if where == "effect" else base_value
    return goal, cond, value


def counter_task(where, shape, depth):
    goal, cond, value = counter_parts(where, shape, depth)
    event = qv.Event(A(0), 0, cond, [], [], [qv.Effect(0, value)])
    events = {A(0): [(qv.Timing(True, 0), event)]}
    space = qv.SearchSpace([None], events, [A(0)], None, None, None, initial_state=[I(0)], goal=goal)
    return space, dict(actions=[A(0)], fluent_types=["int"], objects={}, events=events, goals=goal)


def heuristic(kind, task, **options):
    return getattr(qv.Heuristic, kind)(**task, internal_caching=False, cache_value_in_state=False,
                                       inadmissible_numeric_heuristic_variant=False, **options)


SEARCHES = {
    "bfs": lambda space, task: qv.bfs_search(space),
    "gbfs_hff": lambda space, task: qv.gbfs_search(space, heuristic("hff", task)),
    "gbfs_hmax_explicit": lambda space, task: qv.gbfs_search(space, heuristic("hmax_explicit", task)),
}


def search(name, where, shape, depth):
    plan, stats = SEARCHES[name](*counter_task(where, shape, depth))
    return (None if plan is None else [a.idx for a in plan]), stats


def in_child(check):
    outcome = run_call(check, timeout=120)
    assert outcome.ok, outcome


@pytest.mark.parametrize("name", SEARCHES)
@pytest.mark.parametrize("where,shape", PLACES, ids=PLACE_IDS)
def test_a_search_over_a_deep_expression_finds_what_it_finds_over_the_shallow_one(where, shape, name):
    counter_parts(where, shape, DEEP)

    def check():
        deep = search(name, where, shape, DEEP)
        assert deep == search(name, where, shape, SHALLOW)
        if name != "gbfs_hff" or shape not in UNSEEN_BY_RELAXATION:
            assert deep == ([0, 0], {"expanded_states": "3", "goal_depth": "2"})

    in_child(check)


HEURISTICS = {
    "hff": ("hff", {}),
    "hff_without_numbers": ("hff", {"disable_numeric_reasoning": True}),
    "hadd": ("hadd", {}),
    "hmax": ("hmax", {}),
    "hmax_explicit": ("hmax_explicit", {}),
}
GOAL_SHAPES = list(LEVELS)


@pytest.mark.parametrize("name", HEURISTICS)
@pytest.mark.parametrize("shape", GOAL_SHAPES)
def test_every_heuristic_takes_a_deep_goal(name, shape):
    kind, options = HEURISTICS[name]
    counter_parts("goal", shape, DEEP)

    def value(depth):
        space, task = counter_task("goal", shape, depth)
        state = space.get_successor_state(space.initial_state(), A(0))  # x = 1: one step to go
        return heuristic(kind, task, **options).eval(state, space)

    def check():
        deep = value(DEEP)
        assert deep == value(SHALLOW)
        if name == "hmax_explicit" or shape not in UNSEEN_BY_RELAXATION:
            # Without numeric reasoning, hff counts no action for a comparison.
            assert deep == (0.0 if name == "hff_without_numbers" else 1.0)

    in_child(check)


# --- a sum with a new fluent at every level ---------------------------------------------------

# A walk that copied its operands' terms at every level would take time cubic in this.
TERMS = 20_000


def sum_of_fluents(nested):
    """2 <= x0 + x1 + ... over TERMS fluents: ((x0 + x1) + x2) + ... or one flat sum."""
    if nested:
        nodes = [I(2), F(0)]
        for f in range(1, TERMS):
            nodes += [F(f), OP("+", [len(nodes) - 1, len(nodes)])]
    else:
        nodes = [I(2)] + [F(f) for f in range(TERMS)] + [OP("+", list(range(1, TERMS + 1)))]
    return nodes + [OP("<=", [0, len(nodes) - 1])]


def sum_task(nested):
    goal = sum_of_fluents(nested)
    event = qv.Event(A(0), 0, [B(True)], [], [], [qv.Effect(0, [F(0), I(1), OP("+", [0, 1])])])
    events = {A(0): [(qv.Timing(True, 0), event)]}
    space = qv.SearchSpace([None], events, [A(0)], None, None, None, initial_state=[I(0)] * TERMS, goal=goal)
    return space, dict(actions=[A(0)], fluent_types=["int"] * TERMS, objects={}, events=events, goals=goal)


@pytest.mark.parametrize("name", ["bfs", "gbfs_hff"])
def test_a_nested_sum_of_many_fluents_is_read_as_its_flat_form(name):
    def outcome(nested):
        space, task = sum_task(nested)
        plan, stats = SEARCHES[name](space, task)
        return [a.idx for a in plan], stats, heuristic("hff", task).eval(space.initial_state(), space)

    def check():
        assert outcome(True) == outcome(False)
        assert outcome(True)[:2] == ([0, 0], {"expanded_states": "3", "goal_depth": "2"})

    in_child(check)


# --- the module functions ----------------------------------------------------------------------

# (shape, whether simplify, with x unknown, leaves only the comparison x < 3: a
# conjunction drops its `true` operands, a disjunction its `false` ones; the other
# shapes are left as they are).
FUNCTION_CASES = [
    ("not", False),
    ("and", True),
    ("or", True),
    ("plus", False),
    ("minus", False),
    ("times", False),
    ("div", False),
]


def state_with(x):
    return qv.SearchSpace([None], {}, [A(0)], None, None, None, initial_state=[I(x)], goal=[B(True)]).initial_state()


@pytest.mark.parametrize("shape,collapses", FUNCTION_CASES, ids=[c[0] for c in FUNCTION_CASES])
def test_the_module_functions_read_a_deep_expression(shape, collapses):
    deep = condition("<", 3, shape, DEEP)
    base = condition("<", 3, shape, 0)

    def check():
        for x, holds in ((0, True), (3, False)):
            assert qv.evaluate(deep, state_with(x)).bool_constant is holds
            assert texts(qv.simplify(deep, {0: I(x)})) == texts([B(holds)])
        assert texts(qv.simplify(deep, {})) == texts(base if collapses else deep)
        # Shifted by k, the expression reads the same after k nodes in front of it.
        shifted = qv.shift_expression(deep, 5)
        assert len(shifted) == len(deep)
        for x, holds in ((0, True), (3, False)):
            assert qv.evaluate([I(7)] * 5 + shifted, state_with(x)).bool_constant is holds
        assert qv.get_fluents(deep) == [0]

    in_child(check)


def test_the_conjuncts_of_a_deep_goal_are_read_apart():
    # The root's conjuncts: a conjunction nested DEEP levels (x == 2 and true ...), and y == 0.
    left = condition("==", 2, "and", DEEP)
    right = [F(1), I(0), OP("==", [0, 1])]
    goal = left + qv.shift_expression(right, len(left))
    goal.append(OP("and", [len(left) - 1, len(goal) - 1]))

    def check():
        space = qv.SearchSpace([None], {}, [A(0)], None, None, None, initial_state=[I(2), I(1)], goal=goal)
        [sat] = space.subgoals_sat(space.initial_state())
        assert texts(sat) == texts(left)
        assert space.goal_reached(space.initial_state()) is False

    in_child(check)


# --- temporal parts: duration bounds and durative conditions ----------------------------------


def durative_parts(deep_part, depth):
    """Action 0 lasts 1 (1 + 0 + ... in `duration`); its start needs x < 1 and sets x to
    1; while it runs x <= 5 must hold (the durative condition). The goal is x == 1."""
    def part(name, shallow):
        return shallow(depth if deep_part == name else 0)

    duration = part("duration", lambda d: nest([I(1)], "plus", d))
    during = part("durative_condition", lambda d: condition("<=", 5, "not", d))
    start_condition = part("start_condition", lambda d: condition("<", 1, "or", d))
    return duration, during, start_condition


def durative_plan(deep_part, depth):
    duration, during, start_condition = durative_parts(deep_part, depth)
    start = qv.Event(A(0), 0, start_condition, [during], [], [qv.Effect(0, [I(1)])])
    end = qv.Event(A(0), 1, [B(True)], [], [during], [])
    events = {A(0): [(qv.Timing(True, 0), start), (qv.Timing(False, 0), end)]}
    space = qv.SearchSpace([(duration, duration, False, False)], events, [A(0)], None, None, None,
                           initial_state=[I(0), I(0)], goal=condition("==", 1, "not", 0))
    plan, stats = qv.bfs_search(space)
    return [a.idx for a in plan], stats, [(s, a.idx, d) for s, a, d in space.build_plan(plan)]


@pytest.mark.parametrize("deep_part", ["duration", "durative_condition", "start_condition"])
def test_a_temporal_plan_over_a_deep_part_is_scheduled(deep_part):
    def check():
        deep = durative_plan(deep_part, DEEP)
        assert deep == durative_plan(deep_part, SHALLOW)
        assert deep == ([0, 0], {"expanded_states": "3", "goal_depth": "2"}, [("0/1", 0, "1/1")])

    in_child(check)


# --- errors ------------------------------------------------------------------------------------

DIV_BY_ZERO = [I(1), I(0), OP("/", [0, 1])]
NOT_A_NUMBER = [I(1), O("a"), OP("+", [0, 1])]


def then(expr, node, op):
    """expr op node: one more operator over the root and a new node."""
    return expr + [node, OP(op, [len(expr) - 1, len(expr)])]


def run_task(goal=None, cond=None, value=None):
    event = qv.Event(A(0), 0, cond or [B(True)], [], [], [qv.Effect(0, value or [I(1)])])
    space = qv.SearchSpace([None], {A(0): [(qv.Timing(True, 0), event)]}, [A(0)], None, None, None,
                           initial_state=[I(0)], goal=goal or [F(0), I(2), OP("==", [0, 1])])
    return qv.bfs_search(space)


# name: (call of a depth, exception, message). Where two errors apply, the node that comes
# first in the list decides, at any depth.
ERRORS = {
    "not_a_number": (lambda d: qv.evaluate(nest([O("a")], "plus", d), state_with(0)),
                     "ValueError", "Expected a number!"),
    "division_by_zero": (lambda d: qv.evaluate(nest(DIV_BY_ZERO, "plus", d), state_with(0)),
                         "ZeroDivisionError", "division by zero"),
    "division_by_zero_then_not_a_number": (
        lambda d: qv.evaluate(then(nest(DIV_BY_ZERO, "times", d), O("a"), "<="), state_with(0)),
        "ZeroDivisionError", "division by zero"),
    "not_a_number_then_division_by_zero": (
        lambda d: qv.evaluate(then(nest(NOT_A_NUMBER, "times", d), I(0), "/"), state_with(0)),
        "ValueError", "Expected a number!"),
    "simplify_division_by_zero": (lambda d: qv.simplify(nest(DIV_BY_ZERO, "minus", d), {}),
                                  "ZeroDivisionError", "division by zero"),
    "goal_not_boolean": (lambda d: run_task(goal=nest([F(0)], "plus", d)),
                         "Exception", "The goal is not a boolean expression!"),
    "condition_not_boolean": (lambda d: run_task(cond=nest([F(0)], "times", d)),
                              "Exception", "An action condition is not a boolean expression!"),
    "effect_division_by_zero": (lambda d: run_task(value=then(nest([F(0)], "plus", d), I(0), "/")),
                                "ZeroDivisionError", "division by zero"),
}


@pytest.mark.parametrize("call,raised,message", ERRORS.values(), ids=ERRORS.keys())
def test_a_deep_expression_fails_with_the_error_of_the_shallow_one(call, raised, message):
    for depth in (SHALLOW, DEEP):
        outcome = run_call(lambda: call(depth), timeout=120)
        assert (outcome.raised, outcome.message) == (raised, message), (depth, outcome)
