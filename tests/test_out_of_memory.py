"""Running out of memory: a MemoryError, after which the same objects work as before.

Every case runs in a forked child (an abort fails the test instead of ending the run)."""

import os
import resource
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import quorvane as qv  # noqa: E402
from childcall import run_calls  # noqa: E402
from conftest import not_under_asan  # noqa: E402

from examples import make_task  # noqa: E402

F, I, B, OP = qv.make_fluent_node, qv.make_int_constant_node, qv.make_bool_constant_node, qv.make_operator_node


def limit_address_space(extra):
    """Lets the process map `extra` bytes beyond what it maps now."""
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = size + extra
    resource.setrlimit(resource.RLIMIT_AS, (limit if hard == resource.RLIM_INFINITY else min(limit, hard), hard))


def plain(result):
    plan, stats = result
    return [a.idx for a in plan], stats


def generated(name, size):
    task = make_task(name, size)
    return task.search_space(), task.heuristic("hff")


def growing_values():
    """x := x * 8 + y, with y any of 0..7: explicit hmax's possible values of x grow
    eightfold every round, and the goal needs x == -1, which none of them is. In the
    stored initial state `open` (fluent 3) is false, no x can grow and x is -1 already."""
    digits = 8
    actions = [qv.Action(i) for i in range(digits + 2)]
    at_start = qv.Timing(True, 0)

    def event(i, condition, effect):
        return [(at_start, qv.Event(actions[i], 0, condition, [], [], [effect]))]

    events = {actions[k]: event(k, [B(True)], qv.Effect(1, [I(k)])) for k in range(digits)}
    grow = [F(0), I(digits), OP("*", [0, 1]), F(1), OP("+", [2, 3])]
    events[actions[digits]] = event(digits, [F(3)], qv.Effect(0, grow))
    events[actions[digits + 1]] = event(digits + 1, [F(0), I(-1), OP("==", [0, 1])], qv.Effect(2, [B(True)]))
    goal = [F(2)]
    ss = qv.SearchSpace([None] * len(actions), events, actions, None, None, None,
                        initial_state=[I(-1), I(0), B(False), B(False)], goal=goal)
    h = qv.Heuristic.hmax_explicit(actions, ["int", "int", "bool", "bool"], {}, events, goal, False, False, False)
    return ss, h, ss.initial_state([I(0), I(0), B(False), B(True)])


def exhausting_bfs():
    ss, h = generated("gripper", 6)
    return lambda: qv.bfs_search(ss), lambda: qv.gbfs_search(ss, h)


def exhausting_temporal_astar():
    # Without weak equality a temporal search detects no duplicates at all.
    ss, h = generated("temporal", 5)
    return lambda: qv.astar_search(ss, h), lambda: qv.gbfs_search(ss, h)


def exhausting_explicit_hmax():
    ss, h, growing = growing_values()
    return lambda: h.eval(growing, ss), lambda: qv.gbfs_search(ss, h)


# (what runs out of memory, a search on the same objects afterwards)
EXHAUSTING = {
    "bfs": exhausting_bfs,
    "astar temporal": exhausting_temporal_astar,
    "hmax_explicit eval": exhausting_explicit_hmax,
}


@not_under_asan
@pytest.mark.parametrize("make", EXHAUSTING.values(), ids=EXHAUSTING.keys())
def test_running_out_of_memory_raises_memory_error_and_the_objects_stay_usable(make):
    exhaust, search = make()
    usual = plain(search())

    def run_out():
        limit_address_space(1 << 30)
        exhaust()

    def search_again():
        assert plain(search()) == usual

    run = run_calls([run_out, search_again], timeout=120)
    assert run.death is None, run
    assert [o.raised for o in run.outcomes] == ["MemoryError", None], run.outcomes


def temporal_plan():
    ss, h = generated("temporal", 2)
    plan, _ = qv.gbfs_search(ss, h)
    return ss, plan


def steps(path):
    return [(a.idx, pos, instance) for a, pos, instance in path]


def conversions():
    task = make_task("gripper", 2)
    ss, h = task.search_space(), task.heuristic("hff")
    state = ss.initial_state()
    temporal, plan = temporal_plan()
    successor = ss.get_successor_states(state)[0]
    (_, event), = task.events[task.actions[0]]
    return {
        "successor states": (lambda: ss.get_successor_states(state), lambda states: [steps(s.path) for s in states]),
        "initial state": (lambda: ss.initial_state(), lambda s: s.get_value(0).bool_constant),
        "timed plan": (lambda: temporal.build_plan(plan), lambda p: [(t, a.idx, d) for t, a, d in p]),
        "event conditions": (lambda: event.conditions, lambda nodes: [repr(n) for n in nodes]),
        "event effects": (lambda: event.effects, lambda effects: [repr(e) for e in effects]),
        "path": (lambda: successor.path, steps),
        "reachable actions": (lambda: h.reachable_actions(state), lambda actions: sorted(a.idx for a in actions)),
        "node": (lambda: qv.make_int_constant_node(3), repr),
    }


# Made in the test, not when the tests are collected: a search here would have the
# logging bridge read the loggers' levels before the tests that set them.
CONVERSIONS = ["successor states", "initial state", "timed plan", "event conditions", "event effects", "path",
               "reachable actions", "node"]


@pytest.mark.parametrize("name", CONVERSIONS)
def test_a_result_the_interpreter_has_no_memory_for_is_a_memory_error(name):
    # Every allocation of the interpreter fails from the n-th on, for n = 0, 1, ...: each
    # call either gives its usual result or raises MemoryError, and the next one works.
    _testcapi = pytest.importorskip("_testcapi")
    call, comparable = conversions()[name]
    usual = comparable(call())

    def failing_from(n):
        def attempt():
            try:
                _testcapi.set_nomemory(n)
                result = call()
            finally:
                _testcapi.remove_mem_hooks()
            assert comparable(result) == usual

        return attempt

    attempts = 60
    run = run_calls([failing_from(n) for n in range(attempts)])
    assert run.death is None and len(run.outcomes) == attempts, run
    assert {o.raised for o in run.outcomes} == {"MemoryError", None}, run.outcomes
    # The last attempts had room enough: every allocation of the call was made to fail once.
    assert run.outcomes[-1].raised is None, run.outcomes
