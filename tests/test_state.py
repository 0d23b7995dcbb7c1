import inspect
from fractions import Fraction

import pytest

import quorvane as qv
from conftest import A, B, F, I, O, R, notes


def step(action, value):
    """A one-event action that sets fluent `action` to `value`."""
    ev = qv.Event(A(action), 0, [B(True)], [], [], [qv.Effect(action, [I(value)])])
    return [(qv.Timing(True, 0), ev)]


@pytest.fixture
def space():
    # Three fluents, three actions: action i writes fluent i.
    return qv.SearchSpace(
        [None] * 3,
        {A(i): step(i, 10 + i) for i in range(3)},
        [A(i) for i in range(3)],
        None,
        None,
        None,
        initial_state=[I(0), I(1), I(2)],
    )


def entries(state):
    return [(a.idx, pos, inst) for a, pos, inst in state.path]


def test_initial_state_is_empty_of_history(space):
    s = space.initial_state()
    assert (s.g, s.path, s.todo) == (0.0, [], {})
    assert type(s.g) is float and type(s.path) is list and type(s.todo) is dict


def test_path_lists_events_oldest_first_and_parents_keep_theirs(space):
    s0 = space.initial_state()
    s1 = space.get_successor_state(s0, A(2))
    s2 = space.get_successor_state(s1, A(0))
    s3 = space.get_successor_state(s2, A(1))
    assert entries(s3) == [(2, 0, 0), (0, 0, 0), (1, 0, 0)]
    assert entries(s2) == [(2, 0, 0), (0, 0, 0)]
    assert entries(s0) == []
    assert [s3.get_value(i).int_constant for i in range(3)] == [10, 11, 12]
    assert [s2.get_value(i).int_constant for i in range(3)] == [10, 1, 12]
    assert s3.g == 3.0 and s2.g == 2.0
    # A sibling branches off the same parent without disturbing the other branch.
    other = space.get_successor_state(s2, A(2))
    assert entries(other) == [(2, 0, 0), (0, 0, 0), (2, 0, 0)]
    assert entries(s3) == [(2, 0, 0), (0, 0, 0), (1, 0, 0)]


def test_reads_make_new_objects(space):
    s = space.get_successor_state(space.initial_state(), A(1))
    first, second = s.path, s.path
    assert first is not second and first[0][0] is not second[0][0]
    assert first[0][0].idx == second[0][0].idx == 1
    # Actions have identity equality, so the two reads do not compare equal.
    assert first != second
    first.clear()
    assert len(s.path) == 1
    assert s.get_value(0) is not s.get_value(0)


def test_todo_lists_running_actions():
    evs = [
        (qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [], [])),
        (qv.Timing(False, 0), qv.Event(A(0), 1, [B(True)], [], [], [])),
    ]
    space = qv.SearchSpace([None], {A(0): evs}, [A(0)], None, None, None, initial_state=[I(0)])
    s1 = space.get_successor_state(space.initial_state(), A(0))
    t1, t2 = s1.todo, s1.todo
    assert [(a.idx, v) for a, v in t1.items()] == [(0, (1, 1))]
    assert t1 is not t2 and next(iter(t1)) is not next(iter(t2))
    s2 = space.get_successor_state(s1, A(0))
    assert s2.todo == {}


@pytest.mark.parametrize(
    "fluent,exc,message",
    [
        (3, Exception, "Fluent not found!"),
        (2**64 - 1, Exception, "Fluent not found!"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        ("0", TypeError, None),
        (0.0, TypeError, None),
    ],
)
def test_get_value_errors(space, fluent, exc, message):
    s = space.initial_state()
    with pytest.raises(exc) as excinfo:
        s.get_value(fluent)
    assert type(excinfo.value) is exc
    if message is None:
        assert notes(excinfo) == ["argument 'fluent'"]
    else:
        assert str(excinfo.value) == message


def test_get_value_by_keyword_and_signature(space):
    s = space.initial_state()
    assert s.get_value(fluent=2).int_constant == 2
    assert str(inspect.signature(s.get_value)) == "(fluent)"
    assert list(inspect.signature(qv.State.get_value).parameters) == ["self", "fluent"]


def test_state_is_frozen_and_has_no_constructor(space):
    s = space.initial_state()
    with pytest.raises(AttributeError):
        s.g = 1.0
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(TypeError):
        qv.State()
    # No equality of its own: two states with equal values are different objects.
    assert space.initial_state() != space.initial_state()


and_ = qv.make_operator_node("and", [0, 1])


@pytest.mark.parametrize(
    "node",
    [B(True), B(False), I(0), I(-(2**31)), I(2**31 - 1), R(1, 2), R(-(2**31), 2**31 - 1), R(4, 2), R(-3, 536870912),
     O("ball1"), O(""), O('say "hi"\n'), F(3), and_],
    ids=repr,
)
def test_a_state_gives_back_every_value_it_was_given(node):
    # Fluent 0 is boolean for the task and fluent 1 a number; the value under test sits
    # in fluent 1 of the stored initial state and in fluent 0 of a caller's one.
    space = qv.SearchSpace([None], {A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [],
                                                                            [qv.Effect(2, [B(True)])]))]},
                           [A(0)], None, None, None, initial_state=[B(False), node, B(False)])
    stored = space.initial_state()
    given = space.initial_state([node, I(1), B(False)])
    for state, fluent in [(stored, 1), (given, 0)]:
        child = space.get_successor_state(state, A(0))
        for s in (state, child):
            assert repr(s.get_value(fluent)) == repr(node)
            assert repr(qv.evaluate([F(fluent)], s)) == repr(node)
        assert child.get_value(2).bool_constant is True
        assert state.get_value(2).bool_constant is False


def test_numbers_that_outgrow_machine_words_stay_exact():
    # x := x * x - 1 from 2^31 - 1 leaves 64 bits behind after two steps.
    square = [F(0), F(0), qv.make_operator_node("*", [0, 1]), I(1), qv.make_operator_node("-", [2, 3])]
    space = qv.SearchSpace([None], {A(0): [(qv.Timing(True, 0), qv.Event(A(0), 0, [B(True)], [], [],
                                                                          [qv.Effect(0, square)]))]},
                           [A(0)], None, None, None, initial_state=[I(2**31 - 1)])
    s, expected = space.initial_state(), 2**31 - 1
    for _ in range(5):
        s, expected = space.get_successor_state(s, A(0)), expected * expected - 1
        assert repr(s.get_value(0)) == f"Int({expected})"
    d = next(d for d in (3, 5, 7, 11, 13) if expected % d)
    part = qv.evaluate([F(0), I(d), qv.make_operator_node("/", [0, 1])], s)
    assert part.real_constant == Fraction(expected, d)
    assert space.goal_reached(s, [F(0), F(0), qv.make_operator_node("==", [0, 1])])
