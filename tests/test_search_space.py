import inspect
from fractions import Fraction

import pytest

import quorvane as qv
from conftest import A, B, F, I, OP, expect_internal_error, notes


# --- small task builders -----------------------------------------------------------------


def eq(*pairs):
    """The conjunction of fluent == value tests (a single test for one pair)."""
    nodes, roots = [], []
    for fluent, value in pairs:
        base = len(nodes)
        nodes += [F(fluent), I(value), OP("==", [base, base + 1])]
        roots.append(base + 2)
    if len(roots) > 1:
        nodes.append(OP("and", roots))
    return nodes


def true():
    return [B(True)]


def event(action, pos, cond=None, start=(), end=(), effects=()):
    effs = [qv.Effect(f, [I(v)]) for f, v in effects]
    return qv.Event(A(action), pos, cond or true(), list(start), list(end), effs)


def at_start(delay=0):
    return qv.Timing(True, delay)


def at_end(delay=0):
    return qv.Timing(False, delay)


def bounds(lower, upper, lower_open=False, upper_open=False):
    return ([I(lower)], [I(upper)], lower_open, upper_open)


def build(events, n_actions, durations=None, init=(0, 0, 0), goal=None, **kw):
    """events: {action index: [(Timing, Event), ...]}; durations default to none at all."""
    actions = [A(i) for i in range(n_actions)]
    durations = durations if durations is not None else [None] * n_actions
    return qv.SearchSpace(
        durations,
        {A(a): list(evs) for a, evs in events.items()},
        actions,
        kw.pop("compression_safe_actions", None),
        kw.pop("action_objects", None),
        kw.pop("obj_to_prev_actions_map", None),
        initial_state=[I(v) for v in init],
        goal=goal,
        **kw,
    )


def values(state, n=3):
    return [state.get_value(i).int_constant for i in range(n)]


def path(state):
    return [(a.idx, pos, inst) for a, pos, inst in state.path]


def todo(state):
    return {a.idx: entry for a, entry in state.todo.items()}


def apply(space, state, *actions):
    for a in actions:
        state = space.get_successor_state(state, A(a))
        assert state is not None, f"action {a} not applicable"
    return state


def text(expr):
    return [repr(n) for n in expr]


def plan_text(plan):
    return [(start, a.idx, duration) for start, a, duration in plan]


# --- construction and the Python surface ----------------------------------------------------


def test_signatures():
    assert str(inspect.signature(qv.SearchSpace)) == (
        "(actions_duration, events, actions, compression_safe_actions, action_objects, "
        "obj_to_prev_actions_map, initial_state=None, goal=None, relevant_actions=None, deadline=None, "
        "epsilon=None)"
    )
    methods = {
        "reset": "()",
        "build_plan": "(path)",
        "goal_reached": "(state, goal=None)",
        "subgoals_sat": "(state, goal=None)",
        "initial_state": "(initial_state=None)",
        "get_successor_state": "(state, action)",
        "get_successor_states": "(state)",
    }
    space = qv.SearchSpace([], {}, [], None, None, None)
    for name, sig in methods.items():
        assert str(inspect.signature(getattr(space, name))) == sig, name
        # Unbound, `self` comes first.
        unbound = "(self)" if sig == "()" else "(self, " + sig[1:]
        assert str(inspect.signature(getattr(qv.SearchSpace, name))) == unbound, name


def test_empty_search_space_is_valid():
    space = qv.SearchSpace([], {}, [], None, None, None, initial_state=[I(0)])
    assert space.is_temporal is False
    assert space.relevant_actions == []
    assert space.get_successor_states(space.initial_state()) == []
    assert space.reset() is None


@pytest.mark.parametrize(
    "durations,temporal",
    [([], False), ([None, None], False), ([None, bounds(1, 2)], True), ([bounds(0, 0)], True)],
)
def test_is_temporal(durations, temporal):
    assert qv.SearchSpace(durations, {}, [], None, None, None).is_temporal is temporal


def test_relevant_actions_default_setter_and_order():
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 1)]))], 1: [(at_start(), event(1, 0, effects=[(1, 1)]))]}
    space = build(evs, 2)
    first, second = space.relevant_actions, space.relevant_actions
    assert [a.idx for a in first] == [0, 1]
    assert first is not second and first[0] is not second[0]
    s0 = space.initial_state()
    assert [values(s) for s in space.get_successor_states(s0)] == [[1, 0, 0], [0, 1, 0]]

    # Duplicates are tried twice, in the given order; a new list changes the order.
    space.relevant_actions = [A(1), A(0), A(1)]
    assert [values(s) for s in space.get_successor_states(s0)] == [[0, 1, 0], [1, 0, 0], [0, 1, 0]]
    with pytest.raises(TypeError):
        space.relevant_actions = "ab"
    with pytest.raises(AttributeError):
        del space.relevant_actions
    assert [a.idx for a in space.relevant_actions] == [1, 0, 1]

    given = build(evs, 2, relevant_actions=[A(1)])
    assert [a.idx for a in given.relevant_actions] == [1]

    # Left out, it is a copy of `actions`, duplicates included.
    twice = qv.SearchSpace([], {A(0): evs[0]}, (A(0), A(1), A(0)), None, None, None, initial_state=[I(0), I(0)])
    assert [a.idx for a in twice.relevant_actions] == [0, 1, 0]
    assert len(twice.get_successor_states(twice.initial_state())) == 2


def test_setter_is_refused_while_a_call_holds_the_search_space():
    space = build({0: [(at_start(), event(0, 0))]}, 1, goal=true())
    s0 = space.initial_state()
    seen = []

    class Goal:
        """A goal sequence whose reading tries to change the search space mid-call."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i >= 1:
                raise IndexError
            try:
                space.relevant_actions = []
            except RuntimeError as e:
                seen.append(str(e))
            return B(True)

    assert space.goal_reached(s0, Goal()) is True
    assert len(seen) == 1 and "Already borrowed" in seen[0]
    # The failed assignment changed nothing and released nothing it did not take.
    assert [a.idx for a in space.relevant_actions] == [0]
    space.relevant_actions = []
    assert space.relevant_actions == []


def test_setter_is_refused_during_a_search_while_reading_works():
    evs = {0: [(at_start(), event(0, 0, cond=eq((0, 0)), effects=[(0, 1)]))]}
    space = build(evs, 1, goal=eq((0, 1)))
    seen = []

    def h(state):
        seen.append([a.idx for a in space.relevant_actions])
        try:
            space.relevant_actions = []
        except RuntimeError as e:
            seen.append(str(e))
        return 0.0

    plan, _ = qv.gbfs_search(space, qv.Heuristic.custom(h, False))
    assert [a.idx for a in plan] == [0]
    assert seen and seen[0::2] == [[0]] * len(seen[0::2])
    assert all(isinstance(x, str) and "Already borrowed" in x for x in seen[1::2])
    # Once the search has returned, nothing holds the search space any more.
    space.relevant_actions = []
    assert space.relevant_actions == []


@pytest.mark.parametrize(
    "arg_index,value,exc,arg_name",
    [
        (0, "xy", TypeError, "actions_duration"),
        (0, [([I(1)], [I(2)], False)], ValueError, "actions_duration"),
        (1, [], TypeError, "events"),
        (2, "ab", TypeError, "actions"),
        (3, [1], TypeError, "compression_safe_actions"),
        (4, ["ab"], TypeError, "action_objects"),
        (5, {"o": [A(0)]}, TypeError, "obj_to_prev_actions_map"),
        (6, "abc", TypeError, "initial_state"),
        (7, "abc", TypeError, "goal"),
        (8, "abc", TypeError, "relevant_actions"),
        (9, 0.5, ValueError, "deadline"),
        (10, 0.5, ValueError, "epsilon"),
    ],
)
def test_bad_constructor_arguments_name_the_argument(arg_index, value, exc, arg_name):
    args = [[], {}, [], None, None, None, None, None, None, None, None]
    args[arg_index] = value
    with pytest.raises(exc) as excinfo:
        qv.SearchSpace(*args)
    assert any(arg_name in n for n in notes(excinfo))
    if arg_name in ("deadline", "epsilon"):
        assert str(excinfo.value) == "Unable to parse Rational number"


def test_arguments_are_converted_in_signature_order():
    # Both initial_state and epsilon are bad: the earlier one is reported.
    with pytest.raises(TypeError) as excinfo:
        qv.SearchSpace([], {}, [], None, None, None, "abc", None, None, None, 0.5)
    assert any("initial_state" in n for n in notes(excinfo))


def test_events_key_beyond_actions_is_an_internal_error():
    with pytest.raises(BaseException) as excinfo:
        qv.SearchSpace([], {A(1): [(at_start(), event(1, 0))]}, [A(0)], None, None, None)
    expect_internal_error(excinfo)
    # An action without an events entry is fine.
    qv.SearchSpace([], {}, [A(0), A(1)], None, None, None)


# --- initial state and goal tests ------------------------------------------------------------


def test_initial_state_override_and_missing():
    space = build({}, 0, init=(4, 5, 6))
    assert values(space.initial_state([I(7), I(8), I(9)])) == [7, 8, 9]
    s = space.initial_state()
    assert values(s) == [4, 5, 6] and s.g == 0.0 and s.path == [] and s.todo == {}
    bare = qv.SearchSpace([], {}, [], None, None, None)
    with pytest.raises(Exception, match="^The initial state must be defined somewhere!$"):
        bare.initial_state()
    with pytest.raises(TypeError) as excinfo:
        space.initial_state("abc")
    assert any("initial_state" in n for n in notes(excinfo))


def test_goal_tests():
    space = build({}, 0, init=(1, 0, 0), goal=eq((0, 1), (1, 2)))
    s = space.initial_state()
    assert space.goal_reached(s) is False
    assert [text(c) for c in space.subgoals_sat(s)] == [text(eq((0, 1)))]
    assert space.goal_reached(s, true()) is True
    assert [text(c) for c in space.subgoals_sat(s, true())] == [text(true())]
    # Equal conjuncts are reported once.
    assert [text(c) for c in space.subgoals_sat(s, eq((0, 1), (0, 1)))] == [text(eq((0, 1)))]
    # The stored goal is untouched by goals given for one call.
    assert space.goal_reached(s) is False
    # A non-boolean goal: an error for goal_reached, no conjunct for subgoals_sat.
    with pytest.raises(Exception, match="^The goal is not a boolean expression!$"):
        space.goal_reached(s, [I(3)])
    assert space.subgoals_sat(s, [I(3)]) == []
    with pytest.raises(Exception, match="^The goal must be defined somewhere!$"):
        build({}, 0).goal_reached(s)


def test_goal_reached_is_false_while_an_action_runs():
    evs = {0: [(at_start(), event(0, 0)), (at_end(), event(0, 1))]}
    space = build(evs, 1)  # no goal stored
    running = apply(space, space.initial_state(), 0)
    assert space.goal_reached(running) is False
    with pytest.raises(Exception, match="^The goal must be defined somewhere!$"):
        space.subgoals_sat(running)


# --- successor generation -------------------------------------------------------------------


def classical():
    evs = {
        0: [(at_start(), event(0, 0, cond=eq((0, 0)), effects=[(0, 1)]))],
        1: [(at_start(), event(1, 0, cond=eq((0, 1)), effects=[(1, 1)]))],
        2: [],  # an action with an empty event list never starts (internal error when tried)
    }
    return build(evs, 3, goal=eq((1, 1)), relevant_actions=[A(0), A(1)])


def test_classical_task_end_to_end():
    space = classical()
    s0 = space.initial_state()
    succ = space.get_successor_states(s0)
    assert [values(s) for s in succ] == [[1, 0, 0]]
    s1 = succ[0]
    assert space.get_successor_state(s1, A(0)) is None
    s2 = space.get_successor_state(s1, A(1))
    assert values(s2) == [1, 1, 0] and s2.g == 2.0
    assert path(s2) == [(0, 0, 0), (1, 0, 0)]
    assert path(s1) == [(0, 0, 0)]  # the parent is unchanged
    assert space.goal_reached(s2) and not space.goal_reached(s1)
    assert plan_text(space.build_plan([A(0), A(1), A(1)])) == [(None, 0, None), (None, 1, None), (None, 1, None)]
    # An action without an events entry never has a successor.
    assert space.get_successor_state(s0, A(7)) is None
    # One with an empty event list cannot be started at all.
    with pytest.raises(BaseException) as excinfo:
        space.get_successor_state(s0, A(2))
    expect_internal_error(excinfo)


def test_two_event_action_without_durations():
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 1)])), (at_end(), event(0, 1, cond=eq((1, 1)), effects=[(2, 1)]))]}
    evs[1] = [(at_start(), event(1, 0, effects=[(1, 1)]))]
    space = build(evs, 2)
    s1 = apply(space, space.initial_state(), 0)
    assert todo(s1) == {0: (1, 1)} and path(s1) == [(0, 0, 0)]
    # The next event's condition is false: no successor, the action stays running.
    assert space.get_successor_state(s1, A(0)) is None
    s2 = apply(space, s1, 1, 0)
    assert todo(s2) == {} and values(s2) == [1, 1, 1]
    assert path(s2) == [(0, 0, 0), (1, 0, 0), (0, 1, 1)]


def test_effects_are_simultaneous_and_the_later_one_wins():
    e = qv.Event(A(0), 0, true(), [], [], [qv.Effect(0, [I(5)]), qv.Effect(1, [F(0)]), qv.Effect(0, [I(7)])])
    space = build({0: [(at_start(), e)]}, 1, init=(2, 0, 0))
    assert values(apply(space, space.initial_state(), 0)) == [7, 2, 0]


def durative_condition_task():
    # Action 0 opens "f1 == 0" at its start and closes it at its end; its end sets f1.
    # Action 1 sets f1 and so breaks the condition while action 0 runs.
    cond = eq((1, 0))
    evs = {
        0: [(at_start(), event(0, 0, start=[cond])), (at_end(), event(0, 1, end=[cond], effects=[(1, 1)]))],
        1: [(at_start(), event(1, 0, effects=[(1, 1)]))],
        2: [(at_start(), event(2, 0, effects=[(2, 1)]))],
    }
    return evs


@pytest.mark.parametrize("temporal", [False, True])
def test_durative_conditions(temporal):
    durations = [bounds(1, 1), None, None] if temporal else None
    space = build(durative_condition_task(), 3, durations=durations)
    running = apply(space, space.initial_state(), 0)
    assert space.get_successor_state(running, A(1)) is None
    # An unrelated action keeps the condition.
    assert apply(space, running, 2) is not None
    # The closing event is checked before its own effects, which would break the condition.
    done = apply(space, running, 0)
    assert values(done) == [0, 1, 0]
    assert apply(space, done, 1) is not None


def test_compression():
    evs = {0: [(at_start(), event(0, k, effects=[(k, 1)])) for k in range(3)]}
    on = build(evs, 1, compression_safe_actions=[True])
    s = apply(on, on.initial_state(), 0)
    assert s.g == 3.0 and todo(s) == {} and values(s) == [1, 1, 1]
    assert path(s) == [(0, 0, 0), (0, 1, 1), (0, 2, 2)]
    off = build(evs, 1, compression_safe_actions=[False])
    s = apply(off, off.initial_state(), 0)
    assert s.g == 1.0 and todo(s) == {0: (1, 1)}
    # build_plan replays without compression: one entry per event.
    assert len(on.build_plan([A(0), A(0), A(0)])) == 3


def test_compression_in_a_temporal_task():
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 1)])), (at_end(), event(0, 1, effects=[(1, 1)]))]}
    space = build(evs, 1, durations=[bounds(2, 2)], compression_safe_actions=[True])
    s = apply(space, space.initial_state(), 0)
    assert s.g == 2.0 and todo(s) == {} and path(s) == [(0, 0, 1), (0, 1, 2)]


@pytest.mark.parametrize(
    "prereq,applicable_at_start",
    [
        ({"o": {A(1)}}, False),
        ({"o": frozenset({A(1), A(0)})}, True),  # the action itself admits it
        ({"other": {A(1)}}, True),  # objects without an entry impose nothing
        ({"o": set()}, False),  # an empty set admits nothing
    ],
)
def test_object_filter(prereq, applicable_at_start):
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 1)]))], 1: [(at_start(), event(1, 0, effects=[(1, 1)]))]}
    space = build(evs, 2, action_objects=[["o"], []], obj_to_prev_actions_map=prereq)
    s0 = space.initial_state()
    assert (space.get_successor_state(s0, A(0)) is not None) is applicable_at_start
    after_b = apply(space, s0, 1)
    expected_after_b = prereq.get("o") != set()
    assert (space.get_successor_state(after_b, A(0)) is not None) is expected_after_b


def test_object_filter_needs_both_arguments():
    evs = {0: [(at_start(), event(0, 0))]}
    space = build(evs, 1, action_objects=[["o"]])
    assert space.get_successor_state(space.initial_state(), A(0)) is not None


# --- temporal tasks ---------------------------------------------------------------------------


def durative(lower, upper, lower_open=False, upper_open=False, n_actions=1):
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 1)])), (at_end(), event(0, 1, effects=[(1, 1)]))]}
    durations = [bounds(lower, upper, lower_open, upper_open)] + [None] * (n_actions - 1)
    return evs, durations


def test_instance_numbering_in_a_temporal_task():
    evs, durations = durative(5, 5)
    space = build(evs, 1, durations=durations)
    s1 = apply(space, space.initial_state(), 0)
    assert path(s1) == [(0, 0, 1)] and todo(s1) == {0: (1, 2)}
    s2 = apply(space, s1, 0)
    assert path(s2) == [(0, 0, 1), (0, 1, 2)] and todo(s2) == {}
    # reset touches nothing: the next start gets the next numbers, not 0.
    space.reset()
    s3 = apply(space, s2, 0)
    assert path(s3)[-1] == (0, 0, 4) and todo(s3) == {0: (1, 5)}


@pytest.mark.parametrize(
    "deadline,lower,lower_open,applicable",
    [
        (None, 5, False, True),
        (10, 5, False, True),
        (3, 5, False, False),
        # The end must be at least epsilon before the horizon.
        (5, 5, False, False),
        (Fraction(501, 100), 5, False, True),
        (Fraction(502, 100), 5, True, True),
        (Fraction(501, 100), 5, True, False),
    ],
)
def test_deadline(deadline, lower, lower_open, applicable):
    evs, durations = durative(lower, 20, lower_open)
    space = build(evs, 1, durations=durations, deadline=deadline)
    assert (space.get_successor_state(space.initial_state(), A(0)) is not None) is applicable


@pytest.mark.parametrize(
    "interfere,applicable",
    [(False, True), (True, False)],
)
def test_interfering_events_of_a_search_lie_epsilon_apart(interfere, applicable):
    # With the deadline at epsilon every end must lie at the origin: a second instant
    # action fits only when it may share that instant with the first.
    reads = [F(0), I(1), OP("<=", [0, 1])] if interfere else None  # holds once action 0 set f0
    evs = {
        0: [(at_start(), event(0, 0, effects=[(0, 1)]))],
        1: [(at_start(), event(1, 0, cond=reads, effects=[(1, 1)]))],
        2: [(at_start(), event(2, 0))],
    }
    space = build(evs, 3, durations=[None, None, bounds(1, 1)], deadline=Fraction(1, 100))
    s1 = apply(space, space.initial_state(), 0)
    assert (space.get_successor_state(s1, A(1)) is not None) is applicable


@pytest.mark.parametrize("try_long_first,expected_instance", [(False, 1), (True, 4)])
def test_rejected_start_still_consumes_instance_numbers(try_long_first, expected_instance):
    evs, durations = durative(5, 5, n_actions=2)
    evs[1] = [(at_start(), event(1, 0))]
    space = build(evs, 2, durations=durations, deadline=2)
    s0 = space.initial_state()
    if try_long_first:
        assert space.get_successor_state(s0, A(0)) is None  # too long for the deadline
    # Action 0's rejected start took numbers 0 to 2; action 1 then gets 3 and 4.
    assert path(apply(space, s0, 1)) == [(1, 0, expected_instance)]


@pytest.mark.parametrize(
    "lower,upper,lower_open,upper_open,epsilon,expected",
    [
        (5, 5, False, False, None, [("0/1", 0, "5/1")]),
        (5, 10, True, False, None, [("0/1", 0, "501/100")]),
        (5, 10, True, False, Fraction(1, 1000), [("0/1", 0, "5001/1000")]),
        # One event only: with both, the events of one action would need epsilon between them.
        (0, 0, False, False, None, [("0/1", 0, None)]),
        (0, 1, True, False, None, [("0/1", 0, "1/100")]),
        # Bounds below zero put the end before the start: a negative duration, as text.
        (-5, -1, False, False, None, [("1/1", 0, "-1/1")]),
    ],
)
def test_build_plan_durations(lower, upper, lower_open, upper_open, epsilon, expected):
    evs, durations = durative(lower, upper, lower_open, upper_open)
    if lower <= 0:
        evs[0] = evs[0][:1]
    space = build(evs, 1, durations=durations, epsilon=epsilon)
    assert plan_text(space.build_plan([A(0)] * len(evs[0]))) == expected


def test_zero_duration_action_with_two_events_has_no_successor():
    # Both events sit at the one instant, yet events of one action must lie epsilon apart.
    evs, durations = durative(0, 0)
    space = build(evs, 1, durations=durations)
    assert space.get_successor_state(space.initial_state(), A(0)) is None


def test_build_plan_empty_and_started_twice():
    evs, durations = durative(2, 2)
    space = build(evs, 1, durations=durations)
    assert space.build_plan([]) == []
    plan = plan_text(space.build_plan([A(0), A(0), A(0), A(0)]))
    # The second start comes after the first one's end: both end events write f1 and
    # both starts write f0, so the events interfere and are kept epsilon apart.
    assert plan == [("0/1", 0, "2/1"), ("201/100", 0, "2/1")]
    with pytest.raises(Exception, match="^The initial state must be defined somewhere!$"):
        qv.SearchSpace(durations, {A(0): evs[0]}, [A(0)], None, None, None).build_plan([])


def instant_pair(interfere):
    """Actions 0 and 1 without durations, one event each at the start; action 2 makes the task temporal."""
    reads = eq((0, 0)) if interfere else None
    evs = {
        0: [(at_start(), event(0, 0, effects=[(0, 1)]))],
        1: [(at_start(), event(1, 0, cond=reads, effects=[(1, 1)]))],
        2: [(at_start(), event(2, 0))],
    }
    return evs, [None, None, bounds(1, 1)]


@pytest.mark.parametrize(
    "interfere,order,expected",
    [
        (False, [0, 1], [("0/1", 0, None), ("0/1", 1, None)]),
        (False, [1, 0], [("0/1", 0, None), ("0/1", 1, None)]),
        (True, [1, 0], [("0/1", 1, None), ("1/100", 0, None)]),
    ],
)
def test_build_plan_orders_only_what_interferes(interfere, order, expected):
    evs, durations = instant_pair(interfere)
    space = build(evs, 3, durations=durations)
    assert plan_text(space.build_plan([A(a) for a in order])) == expected


def test_build_plan_interfering_actions_start_epsilon_apart():
    # Action 1 reads f0 (its condition) and action 0 writes f0.
    evs = {
        0: [(at_start(), event(0, 0, effects=[(0, 1)]))],
        1: [(at_start(), event(1, 0, cond=[F(0), I(1), OP("<=", [0, 1])], effects=[(1, 1)]))],
        2: [(at_start(), event(2, 0))],
    }
    space = build(evs, 3, durations=[None, None, bounds(1, 1)])
    assert plan_text(space.build_plan([A(0), A(1)])) == [("0/1", 0, None), ("1/100", 1, None)]


@pytest.mark.parametrize("opened_fluent,expected_start", [(1, "3/1"), (2, "0/1")])
def test_build_plan_precedence_keeps_an_opened_condition_after_its_writer(opened_fluent, expected_start):
    # Action 0 writes f1 at its end (time 3); action 1 opens a condition at its start.
    # Opened on f1, it must not come before the write; on f2 nothing orders the two.
    cond = eq((opened_fluent, 1 if opened_fluent == 1 else 0))
    evs = {
        0: [(at_end(), event(0, 0, effects=[(1, 1)]))],
        1: [(at_start(), event(1, 0, start=[cond])), (at_end(), event(1, 1, end=[cond]))],
    }
    space = build(evs, 2, durations=[bounds(3, 3), bounds(5, 5)])
    plan = plan_text(space.build_plan([A(0), A(1), A(1)]))
    assert plan == sorted([("0/1", 0, "3/1"), (expected_start, 1, "5/1")])


def test_build_plan_inconsistent_exact_network_is_a_clear_error():
    # The upper bound depends on f0, which the action's own first event changes: the
    # search sees [1, 5] and accepts, the replay sees [1, 0] and cannot schedule.
    evs = {0: [(at_start(), event(0, 0, effects=[(0, 0)])), (at_end(), event(0, 1))]}
    durations = [([I(1)], [F(0)], False, False)]
    space = build(evs, 1, durations=durations, init=(5, 0, 0))
    apply(space, space.initial_state(), 0, 0)
    with pytest.raises(Exception, match="inconsistent"):
        space.build_plan([A(0), A(0)])


# --- bad input and failures -------------------------------------------------------------------


def test_condition_errors():
    evs = {
        0: [(at_start(), event(0, 0, effects=[(0, 1)]))],
        1: [(at_start(), event(1, 0, cond=[I(1)]))],
        2: [(at_start(), event(2, 0, effects=[(1, 1)]))],
    }
    space = build(evs, 3)
    s0 = space.initial_state()
    with pytest.raises(Exception, match="^An action condition is not a boolean expression!$"):
        space.get_successor_state(s0, A(1))
    # The first failing action ends the whole call, even after a successor was found.
    with pytest.raises(Exception, match="^An action condition is not a boolean expression!$"):
        space.get_successor_states(s0)
    space.relevant_actions = [A(0), A(2)]
    assert len(space.get_successor_states(s0)) == 2


def test_duration_bound_that_is_not_a_number():
    evs = {0: [(at_start(), event(0, 0))]}
    space = build(evs, 1, durations=[([B(True)], [I(1)], False, False)])
    with pytest.raises(ValueError, match="^Expected a number!$"):
        space.get_successor_state(space.initial_state(), A(0))


def test_effect_beyond_the_state_is_an_internal_error_and_the_space_stays_usable():
    evs = {0: [(at_start(), event(0, 0, effects=[(9, 1)]))], 1: [(at_start(), event(1, 0, effects=[(0, 1)]))]}
    space = build(evs, 2)
    s0 = space.initial_state()
    with pytest.raises(BaseException) as excinfo:
        space.get_successor_state(s0, A(0))
    expect_internal_error(excinfo)
    assert values(apply(space, s0, 1)) == [1, 0, 0]


def test_pos_mismatch_is_an_internal_error_and_the_space_stays_usable():
    # Action 0's only event claims position 5: the checkers cannot find its fluent sets.
    evs = {0: [(at_start(), event(0, 5, effects=[(0, 1)]))], 1: [(at_start(), event(1, 0, effects=[(0, 2)]))]}
    evs[2] = [(at_start(), event(2, 0))]
    space = build(evs, 3, durations=[None, None, bounds(1, 1)])
    s0 = space.initial_state()
    s1 = apply(space, s0, 0)
    with pytest.raises(BaseException) as excinfo:
        space.get_successor_state(s1, A(1))
    expect_internal_error(excinfo)
    # Neither the instance counter nor the checker memo is left locked or broken.
    again = apply(space, s0, 1)
    assert values(again) == [2, 0, 0]
    assert path(apply(space, again, 2))[-1][0] == 2
    with pytest.raises(BaseException) as excinfo:
        space.get_successor_state(s1, A(1))
    expect_internal_error(excinfo)


def test_action_missing_from_actions_in_a_temporal_task():
    evs = {0: [(at_start(), event(0, 0))], 1: [(at_start(), event(1, 0))]}
    # Index 1 is within the two-element `actions` list, which does not hold action 1 itself.
    space = qv.SearchSpace([bounds(1, 1), None], {A(0): evs[0], A(1): evs[1]}, [A(0), A(0)], None, None, None,
                           initial_state=[I(0)])
    with pytest.raises(BaseException) as excinfo:
        space.get_successor_state(space.initial_state(), A(1))
    expect_internal_error(excinfo)
    assert str(excinfo.value) == "Action not found in the TNInterpreter"
    assert space.get_successor_state(space.initial_state(), A(0)) is not None


def test_build_plan_entry_without_successor_is_an_internal_error():
    evs, durations = durative(1, 1)
    evs[1] = [(at_start(), event(1, 0, cond=eq((0, 7))))]
    space = build(evs, 2, durations=durations + [None])
    with pytest.raises(BaseException) as excinfo:
        space.build_plan([A(1)])
    expect_internal_error(excinfo)
    assert plan_text(space.build_plan([A(0), A(0)])) == [("0/1", 0, "1/1")]


def test_wrong_argument_types_for_methods():
    space = classical()
    s0 = space.initial_state()
    for call, arg in [
        (lambda: space.get_successor_state(s0, 0), "action"),
        (lambda: space.get_successor_state(A(0), A(0)), "state"),
        (lambda: space.goal_reached(s0, "x"), "goal"),
        (lambda: space.build_plan("x"), "path"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert any(arg in n for n in notes(excinfo)), arg
