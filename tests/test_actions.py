import inspect
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import quorvane as qv
from conftest import expect_internal_error, notes


def event(pos=0, conditions=None, start=None, end=None, effects=None, idx=0):
    return qv.Event(qv.Action(idx), pos, conditions or [], start or [], end or [], effects or [])


def test_action_idx_and_identity():
    a = qv.Action(3)
    assert a.idx == 3
    assert qv.Action(3) != qv.Action(3)  # identity rules: callers compare idx
    with pytest.raises(AttributeError):
        a.idx = 4


@pytest.mark.parametrize("value,exc", [(-1, OverflowError), (2**64, OverflowError), ("3", TypeError), (1.5, TypeError)])
def test_action_refuses_bad_idx(value, exc):
    with pytest.raises(exc) as excinfo:
        qv.Action(value)
    assert notes(excinfo) == ["argument 'idx'"]


@pytest.mark.parametrize(
    "start,delay,expected,from_end",
    [
        (True, 3, Fraction(3), False),
        (False, Fraction(-1, 4), Fraction(-1, 4), True),
        (True, Fraction(2, 4), Fraction(1, 2), False),
        (np.bool_(False), 0, Fraction(0), True),
        (True, True, Fraction(1), False),
        (True, -(2**31), Fraction(-(2**31)), False),
    ],
)
def test_timing(start, delay, expected, from_end):
    t = qv.Timing(start, delay)
    assert t.delay == expected and isinstance(t.delay, Fraction)
    assert t.is_from_end() is from_end and t.is_from_start() is (not from_end)


@pytest.mark.parametrize("delay", [0.5, "1/2", None, 2**31, Fraction(2**40, 3), Fraction(1, 2**31)])
def test_timing_refuses_unparsable_delay(delay):
    with pytest.raises(ValueError) as excinfo:
        qv.Timing(True, delay)
    assert str(excinfo.value) == "Unable to parse Rational number"
    assert notes(excinfo) == ["argument 'delay'"]


def test_timing_start_must_be_a_bool():
    with pytest.raises(TypeError) as excinfo:
        qv.Timing(1, 2)
    assert notes(excinfo) == ["argument 'start'"]


def test_timing_repr():
    assert repr(qv.Timing(True, Fraction(2, 4))) == "Timing { start: true, delay: Ratio { numer: 1, denom: 2 } }"
    assert repr(qv.Timing(False, -3)) == "Timing { start: false, delay: Ratio { numer: -3, denom: 1 } }"


def test_effect_and_event_repr():
    eff = qv.Effect(2, [qv.make_int_constant_node(1)])
    assert repr(eff) == "Effect { fluent: 2, value: [Int(1)] }"
    ev = event(pos=1, conditions=[qv.make_bool_constant_node(True)], start=[[qv.make_fluent_node(3)]], effects=[eff])
    assert repr(ev) == (
        "Event { action: Action { idx: 0 }, pos: 1, conditions: [Bool(true)], "
        "start_conditions: [[Fluent(3)]], end_conditions: [], "
        "effects: [Effect { fluent: 2, value: [Int(1)] }] }"
    )


def test_empty_event_is_accepted():
    assert repr(event()).endswith("start_conditions: [], end_conditions: [], effects: [] }")


def test_event_getters_make_new_objects():
    ev = event(idx=4, pos=2, effects=[qv.Effect(1, [qv.make_fluent_node(0)])])
    a1, a2 = ev.action, ev.action
    assert a1 is not a2 and a1.idx == a2.idx == 4
    assert ev.pos == 2
    assert ev.effects[0].fluent == 1 and ev.effects[0] is not ev.effects[0]


def test_structures_copy_their_inputs():
    conds = [qv.make_bool_constant_node(True)]
    starts = [[qv.make_fluent_node(1)]]
    ev = event(conditions=conds, start=starts)
    conds.append(qv.make_bool_constant_node(False))
    starts[0].append(qv.make_fluent_node(2))
    assert repr(ev.conditions) == "[Bool(true)]"
    assert repr(ev.start_conditions) == "[[Fluent(1)]]"
    got = ev.conditions
    got.clear()
    assert len(ev.conditions) == 1


@pytest.mark.parametrize(
    "kwargs,arg,exc",
    [
        (dict(action=0), "action", TypeError),
        (dict(pos=-1), "pos", OverflowError),
        (dict(conditions="x"), "conditions", TypeError),
        (dict(conditions=[1]), "conditions", TypeError),
        (dict(start_conditions=[qv.make_fluent_node(0)]), "start_conditions", TypeError),
        (dict(end_conditions=["ab"]), "end_conditions", TypeError),
        (dict(effects=[qv.Action(0)]), "effects", TypeError),
    ],
)
def test_event_argument_errors(kwargs, arg, exc):
    args = dict(action=qv.Action(0), pos=0, conditions=[], start_conditions=[], end_conditions=[], effects=[])
    args.update(kwargs)
    with pytest.raises(exc) as excinfo:
        qv.Event(**args)
    assert notes(excinfo) == [f"argument '{arg}'"]


def test_events_and_effects_are_frozen():
    ev = event()
    with pytest.raises(AttributeError):
        ev.pos = 3
    with pytest.raises(AttributeError):
        qv.Effect(0, []).fluent = 1


class _Half(Fraction):
    pass


class _ZeroDenominator(Fraction):
    @property
    def denominator(self):
        return 0


@pytest.mark.parametrize(
    "delay,expected",
    [
        (Fraction(6, 4), Fraction(3, 2)),
        (Fraction(-1, 3), Fraction(-1, 3)),
        (_Half(1, 2), Fraction(1, 2)),
        (np.int32(-5), Fraction(-5)),
        (2**31 - 1, Fraction(2**31 - 1)),
    ],
)
def test_timing_delay_forms(delay, expected):
    assert qv.Timing(False, delay).delay == expected


@pytest.mark.parametrize("delay", [Decimal("0.5"), np.float64(1.0), -(2**31) - 1, Fraction(3, 2**31)])
def test_timing_refuses_other_number_forms(delay):
    with pytest.raises(ValueError) as excinfo:
        qv.Timing(True, delay)
    assert str(excinfo.value) == "Unable to parse Rational number"


def test_fraction_reading_a_zero_denominator_is_an_internal_error():
    with pytest.raises(BaseException) as excinfo:
        qv.Timing(True, _ZeroDenominator(1, 2))
    expect_internal_error(excinfo)


def test_timing_arguments_are_converted_in_order():
    with pytest.raises(TypeError) as excinfo:
        qv.Timing(1, 0.5)
    assert notes(excinfo) == ["argument 'start'"]
    assert repr(qv.Timing(delay=Fraction(1, 2), start=False)) == (
        "Timing { start: false, delay: Ratio { numer: 1, denom: 2 } }"
    )


@pytest.mark.parametrize("method", ["is_from_start", "is_from_end"])
def test_timing_method_signatures(method):
    assert str(inspect.signature(getattr(qv.Timing(True, 0), method))) == "()"
    assert list(inspect.signature(getattr(qv.Timing, method)).parameters) == ["self"]


def _pair_error(pair):
    with pytest.raises((TypeError, ValueError)) as excinfo:
        qv.SearchSpace([], {qv.Action(0): [pair]}, [qv.Action(0)], None, None, None, initial_state=[])
    assert notes(excinfo) == ["argument 'events'"]
    return excinfo


@pytest.mark.parametrize(
    "make,exc,text",
    [
        (lambda t, e: [t, e], TypeError, None),
        (lambda t, e: (t, e, e), ValueError, "3"),
        (lambda t, e: (t,), ValueError, "1"),
        (lambda t, e: (e, t), TypeError, None),
    ],
)
def test_timed_event_pair_must_be_a_tuple_of_timing_and_event(make, exc, text):
    t, e = qv.Timing(True, 0), event()
    excinfo = _pair_error(make(t, e))
    assert type(excinfo.value) is exc
    if text is not None:
        assert "2" in str(excinfo.value) and text in str(excinfo.value)


def test_timed_event_pair_may_be_a_tuple_subclass():
    class Pair(tuple):
        pass

    space = qv.SearchSpace(
        [], {qv.Action(0): [Pair((qv.Timing(True, 0), event(conditions=[qv.make_bool_constant_node(True)])))]}, [qv.Action(0)], None, None, None, initial_state=[]
    )
    assert [s.path[0][0].idx for s in space.get_successor_states(space.initial_state())] == [0]


def test_effect_value_is_copied_both_ways():
    value = [qv.make_int_constant_node(1)]
    eff = qv.Effect(0, value)
    value.append(qv.make_int_constant_node(2))
    got = eff.value
    got.clear()
    assert repr(eff.value) == "[Int(1)]"
    assert eff.value[0] is not eff.value[0]
