import inspect

import pytest

import quorvane as qv
from conftest import A, B, F, I, OP, notes


def eq(fluent, value):
    return [F(fluent), I(value), OP("==", [0, 1])]


def flip_task():
    """Two boolean fluents; action 0 sets fluent 0, action 1 (needing fluent 0) sets fluent 1."""
    events = {
        A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [], [qv.Effect(0, [B(True)])]))],
        A(1): [(qv.Timing(True, 0), qv.Event(A(1), 0, [F(0)], [], [], [qv.Effect(1, [B(True)])]))],
    }
    actions = [A(0), A(1)]
    goal = [F(1)]
    space = qv.SearchSpace([None, None], events, actions, None, None, None, initial_state=[B(False), B(False)],
                           goal=goal)
    return space, dict(actions=actions, fluent_types=["bool", "bool"], objects={}, events=events, goals=goal)


def counting(value=1.0):
    calls = []

    def h(state):
        calls.append(state)
        return value(state) if callable(value) else value

    return h, calls


def test_class_surface():
    assert str(inspect.signature(qv.Heuristic.custom)) == "(callable, cache_value_in_state)"
    rest = "(actions, fluent_types, objects, events, goals, internal_caching, cache_value_in_state, "
    rest += "inadmissible_numeric_heuristic_variant"
    for name in ("hff", "hadd", "hmax"):
        assert str(inspect.signature(getattr(qv.Heuristic, name))) == rest + ", disable_numeric_reasoning=False)"
    assert str(inspect.signature(qv.Heuristic.hmax_explicit)) == rest + ")"
    h = qv.Heuristic.custom(lambda s: 0, False)
    assert str(inspect.signature(h.eval)) == "(state, ss)"
    assert str(inspect.signature(h.reachable_actions)) == "(state)"
    with pytest.raises(TypeError):
        qv.Heuristic()
    with pytest.raises(AttributeError):
        h.name = "other"


def test_custom_values_and_conversions():
    space, _ = flip_task()
    state = space.initial_state()
    cases = [(3, 3.0), (2.5, 2.5), (None, None), (-1, -1.0), (float("inf"), float("inf"))]
    for returned, expected in cases:
        h = qv.Heuristic.custom(lambda s, r=returned: r, False)
        value = h.eval(state, space)
        assert value == expected and type(value) is type(expected), returned
    assert qv.Heuristic.custom(lambda s: 0, False).name == "custom"
    with pytest.raises(TypeError):
        qv.Heuristic.custom(lambda s: "3", False).eval(state, space)
    # Nothing checks at construction that the callable can be called.
    not_callable = qv.Heuristic.custom(42, False)
    with pytest.raises(TypeError, match="not callable"):
        not_callable.eval(state, space)


def test_custom_receives_a_new_copy_every_call():
    space, _ = flip_task()
    state = space.initial_state()
    h, calls = counting()
    heuristic = qv.Heuristic.custom(h, False)
    heuristic.eval(state, space)
    heuristic.eval(state, space)
    assert len(calls) == 2
    assert calls[0] is not state and calls[1] is not state and calls[0] is not calls[1]
    assert [calls[0].get_value(i).bool_constant for i in range(2)] == [False, False]


def test_values_are_memoised_in_the_state_by_name():
    space, _ = flip_task()
    state = space.initial_state()
    for value in (4.0, None):  # a dead end is memoised too
        h, calls = counting(value)
        memo = qv.Heuristic.custom(h, True)
        s = space.get_successor_state(state, A(0))
        assert memo.eval(s, space) == value and memo.eval(s, space) == value
        assert len(calls) == 1
        # Another custom heuristic that memoises finds the stored value (same name)...
        other, other_calls = counting(9.0)
        assert qv.Heuristic.custom(other, True).eval(s, space) == value and other_calls == []
        # ... one that does not memoise ignores it.
        assert qv.Heuristic.custom(other, False).eval(s, space) == 9.0 and len(other_calls) == 1
        # A fresh state starts with an empty cache.
        assert memo.eval(space.get_successor_state(state, A(0)), space) == value and len(calls) == 2


def test_failed_evaluations_leave_nothing_stored():
    space, _ = flip_task()
    state = space.initial_state()
    error = ValueError("first call fails")
    calls = []

    def h(s):
        calls.append(1)
        if len(calls) == 1:
            raise error
        return 2

    heuristic = qv.Heuristic.custom(h, True)
    with pytest.raises(ValueError) as e:
        heuristic.eval(state, space)
    assert e.value is error
    assert heuristic.eval(state, space) == 2.0
    assert heuristic.eval(state, space) == 2.0 and len(calls) == 2


def test_a_callable_may_evaluate_the_same_state_again():
    # The state cache is not locked while the callable runs.
    space, _ = flip_task()
    state = space.initial_state()
    inner = qv.Heuristic.custom(lambda s: 5.0, True)
    outer = qv.Heuristic.custom(lambda s: inner.eval(s, space) + 1, True)
    assert outer.eval(state, space) == 6.0


def test_argument_errors():
    space, _ = flip_task()
    state = space.initial_state()
    h = qv.Heuristic.custom(lambda s: 0, False)
    cases = [
        (lambda: h.eval(1, space), TypeError, "state"),
        (lambda: h.eval(state, 1), TypeError, "ss"),
        (lambda: h.reachable_actions(space), TypeError, "state"),
        (lambda: qv.Heuristic.custom(h, 1), TypeError, "cache_value_in_state"),
    ]
    for call, exc_type, arg in cases:
        with pytest.raises(exc_type) as e:
            call()
        assert any(f"'{arg}'" in n for n in notes(e)), (arg, notes(e))
    with pytest.raises(NotImplementedError, match="^reachable_actions is not available: hdr is None$"):
        h.reachable_actions(state)


def test_relaxation_heuristics():
    space, task = flip_task()
    state = space.initial_state()
    names = {}
    for kind in ("hff", "hadd", "hmax"):
        for disable in (False, True):
            h = getattr(qv.Heuristic, kind)(**task, internal_caching=True, cache_value_in_state=False,
                                            inadmissible_numeric_heuristic_variant=False,
                                            disable_numeric_reasoning=disable)
            names[(kind, disable)] = h.name
            assert h.eval(state, space) > 0
            assert {a.idx for a in h.reachable_actions(state)} == {0, 1}
    assert names[("hff", False)] == "hff" and names[("hff", True)] == "hff_no_numbers"
    assert names[("hmax", True)] == "hmax_no_numbers"

    explicit = qv.Heuristic.hmax_explicit(**task, internal_caching=False, cache_value_in_state=False,
                                          inadmissible_numeric_heuristic_variant=False)
    assert explicit.name == "hmax_explicit"
    with pytest.raises(NotImplementedError):
        explicit.reachable_actions(state)
    # Converted although unused.
    with pytest.raises(TypeError) as e:
        qv.Heuristic.hmax_explicit(**task, internal_caching=False, cache_value_in_state=False,
                                   inadmissible_numeric_heuristic_variant=1)
    assert any("'inadmissible_numeric_heuristic_variant'" in n for n in notes(e))


def test_memoised_values_are_shared_by_name_only():
    space, task = flip_task()
    state = space.initial_state()
    common = dict(internal_caching=False, inadmissible_numeric_heuristic_variant=False)
    to_f1 = qv.Heuristic.hff(**task, **common, cache_value_in_state=True)  # needs both actions
    f0_task = dict(task, goals=[F(0)])  # needs action 0 only
    own = qv.Heuristic.hff(**f0_task, **common, cache_value_in_state=False).eval(state, space)
    stored = to_f1.eval(state, space)
    assert own != stored
    # Another memoising hff finds the stored value, whatever its own task...
    assert qv.Heuristic.hff(**f0_task, **common, cache_value_in_state=True).eval(state, space) == stored
    # ... while hff_no_numbers has a name of its own.
    no_numbers = qv.Heuristic.hff(**f0_task, **common, cache_value_in_state=True, disable_numeric_reasoning=True)
    assert no_numbers.eval(state, space) == own


def test_searches_with_relaxation_heuristics():
    space, task = flip_task()
    h = qv.Heuristic.hff(**task, internal_caching=True, cache_value_in_state=True,
                         inadmissible_numeric_heuristic_variant=False)
    for search in (qv.gbfs_search, qv.astar_search, qv.ehc_search, qv.gbfs_search_memory_bounded):
        plan, stats = search(space, h)
        assert [a.idx for a in plan] == [0, 1] and stats["goal_depth"] == "2"
    plan, _ = qv.multiqueue_search(space, [(h, 1.0), (h, 0.5)])
    assert [a.idx for a in plan] == [0, 1]


RELAXATION_ARGS = ["actions", "fluent_types", "objects", "events", "goals", "internal_caching", "cache_value_in_state",
                   "inadmissible_numeric_heuristic_variant", "disable_numeric_reasoning"]
BAD_VALUES = {
    "actions": "ab",  # a str is not a sequence of actions
    "fluent_types": [1],
    "objects": [("loc", ["a"])],
    "events": {A(0): [1]},
    "goals": [1],
    "internal_caching": 1,
    "cache_value_in_state": None,
    "inadmissible_numeric_heuristic_variant": 1,
    "disable_numeric_reasoning": "yes",
}


def relaxation_args(**changes):
    _, task = flip_task()
    args = dict(task, internal_caching=False, cache_value_in_state=False, inadmissible_numeric_heuristic_variant=False,
                disable_numeric_reasoning=False)
    args.update(changes)
    return args


def constructor_positions():
    for kind in ("hff", "hadd", "hmax", "hmax_explicit"):
        names = RELAXATION_ARGS if kind != "hmax_explicit" else RELAXATION_ARGS[:-1]
        for position in range(len(names)):
            yield kind, names, position


@pytest.mark.parametrize("kind,names,position", constructor_positions(), ids=lambda v: v if isinstance(v, str) else "")
def test_constructor_arguments_are_converted_in_order(kind, names, position):
    # This argument and every later one are bad: the note names this one alone.
    args = relaxation_args(**{name: BAD_VALUES[name] for name in names[position:]})
    with pytest.raises(TypeError) as e:
        getattr(qv.Heuristic, kind)(*[args[name] for name in names])
    named = [other for other in names if any(f"'{other}'" in n for n in notes(e))]
    assert named == [names[position]], notes(e)


def test_construction_errors_reach_python():
    from conftest import expect_internal_error

    # A leaf whose subtree reaches below its first node cannot be cut out.
    overflow = [I(5), F(0), OP("-", [1, 0]), I(3), OP("<=", [2, 3])]
    with pytest.raises(Exception, match="^Overflow$") as e:
        qv.Heuristic.hadd(**relaxation_args(goals=overflow, fluent_types=["int", "bool"]))
    assert type(e.value) is Exception
    two_numeric = {A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [],
                                                       [qv.Effect(0, [I(1)]), qv.Effect(0, [I(2)])]))]}
    broken = [
        dict(goals=[]),
        dict(fluent_types=["int", "int"], events=two_numeric, actions=[A(0)]),
        dict(events={A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [], [qv.Effect(5, [B(True)])]))]},
             actions=[A(0)]),
    ]
    for changes in broken:
        with pytest.raises(BaseException) as e:
            qv.Heuristic.hff(**relaxation_args(**changes))
        expect_internal_error(e)


@pytest.mark.parametrize("kind", ["hff", "hadd", "hmax"])
def test_evaluation_errors_pass_up_and_are_not_memoised(kind):
    # 1 / x <= 3 is not linear; with x = 0 its evaluation divides by zero.
    events = {A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [], [qv.Effect(0, [I(1)])]))]}
    goal = [I(1), F(0), OP("/", [0, 1]), I(3), OP("<=", [2, 3])]
    space = qv.SearchSpace([None], events, [A(0)], None, None, None, initial_state=[I(0)], goal=goal)
    h = getattr(qv.Heuristic, kind)([A(0)], ["int"], {}, events, goal, True, True, False)
    state = space.initial_state()
    for _ in range(2):
        with pytest.raises(ZeroDivisionError, match="^division by zero$"):
            h.eval(state, space)
    after = space.get_successor_state(state, A(0))
    assert h.eval(after, space) == 0.0


@pytest.mark.parametrize("make", [
    lambda task: qv.Heuristic.hmax_explicit(**task, internal_caching=False, cache_value_in_state=False,
                                            inadmissible_numeric_heuristic_variant=False),
    lambda task: qv.Heuristic.custom(lambda s: 1.0, False),
], ids=["hmax_explicit", "custom"])
def test_reachable_actions_needs_a_relaxation(make):
    space, task = flip_task()
    h = make(task)
    with pytest.raises(TypeError) as e:
        h.reachable_actions(space)
    assert any("'state'" in n for n in notes(e))
    with pytest.raises(NotImplementedError, match="^reachable_actions is not available: hdr is None$"):
        h.reachable_actions(space.initial_state())


def test_reachable_actions_returns_new_action_objects():
    space, task = flip_task()
    h = qv.Heuristic.hadd(**task, internal_caching=False, cache_value_in_state=False,
                          inadmissible_numeric_heuristic_variant=False)
    got = h.reachable_actions(space.initial_state())
    assert type(got) is set and all(type(a) is qv.Action for a in got)
    assert all(a is not b for a in got for b in task["actions"])


@pytest.mark.parametrize("kind", ["hff", "hadd", "hmax", "hmax_explicit"])
def test_relaxation_values_are_memoised_in_the_state(kind):
    # A heuristic of the same name finds the stored value whatever its own task, a dead
    # end included; one that does not memoise computes its own.
    space, task = flip_task()
    state = space.initial_state()
    extra = {} if kind == "hmax_explicit" else {"disable_numeric_reasoning": False}

    def make(goals, in_state):
        return getattr(qv.Heuristic, kind)(**dict(task, goals=goals), internal_caching=False,
                                           cache_value_in_state=in_state,
                                           inadmissible_numeric_heuristic_variant=False, **extra)

    assert make([B(False)], True).eval(state, space) is None
    assert make([F(1)], True).eval(state, space) is None
    assert make([F(1)], False).eval(state, space) is not None
    # Without memoising nothing is stored.
    fresh = space.initial_state()
    assert make([B(False)], False).eval(fresh, space) is None
    assert make([F(1)], True).eval(fresh, space) is not None
