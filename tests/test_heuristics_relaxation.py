"""Delete-relaxation and explicit hmax heuristics driving the informed searches."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import quorvane as qv
from conftest import A, B, F, I, OP, not_under_asan


needs_heuristic = pytest.mark.skipif(
    not (hasattr(qv, "Heuristic") and hasattr(qv, "SearchSpace")), reason="Heuristic or SearchSpace not built yet"
)


def needs_search(name):
    return pytest.mark.skipif(
        not (hasattr(qv, "Heuristic") and hasattr(qv, "SearchSpace") and hasattr(qv, name)),
        reason=f"{name} not built yet",
    )


class Task:
    """One-event actions over numbered fluents; `actions` is a list of (conditions, effects)."""

    def __init__(self, fluent_types, init, goal, actions):
        self.fluent_types = fluent_types
        self.init = init
        self.goal = goal
        self.actions = [A(i) for i in range(len(actions))]
        self.events = {}
        for i, (cond, effects) in enumerate(actions):
            ev = qv.Event(A(i), 0, cond, [], [], [qv.Effect(f, v) for f, v in effects])
            self.events[A(i)] = [(qv.Timing(True, 0), ev)]

    def space(self):
        return qv.SearchSpace([None] * len(self.actions), self.events, self.actions, None, None, None, self.init, self.goal)

    def heuristic(self, name, caching=False, in_state=False, inadmissible=False):
        make = getattr(qv.Heuristic, name)
        return make(self.actions, self.fluent_types, {}, self.events, self.goal, caching, in_state, inadmissible)


def chain_task():
    # p0 -> p1 -> p2, with a useless action that only sets p0 again.
    return Task(
        ["bool", "bool", "bool"],
        [B(False), B(False), B(False)],
        [F(2)],
        [
            ([B(True)], [(0, [B(True)])]),
            ([F(0)], [(1, [B(True)])]),
            ([F(1)], [(2, [B(True)])]),
            ([B(True)], [(0, [B(True)])]),
        ],
    )


def counter_task():
    # x := x + 1 until 3 <= x; an action that resets x is a distraction.
    return Task(
        ["int"],
        [I(0)],
        [I(3), F(0), OP("<=", [0, 1])],
        [
            ([B(True)], [(0, [F(0), I(1), OP("+", [0, 1])])]),
            ([B(True)], [(0, [I(0)])]),
        ],
    )


HEURISTICS = ["hff", "hadd", "hmax", "hmax_explicit"]


@needs_heuristic
@pytest.mark.parametrize(
    "task,name,value",
    [
        (chain_task, "hff", 3.0),
        (chain_task, "hadd", 3.0),
        (chain_task, "hmax", 3.0),
        (chain_task, "hmax_explicit", 3.0),
        (counter_task, "hff", 1.0),
        # the reset x := 0 is an assignment on x: counted as one application
        (counter_task, "hadd", 1.0),
        (counter_task, "hmax", 1.0),
        (counter_task, "hmax_explicit", 3.0),
    ],
)
def test_initial_values(task, name, value):
    t = task()
    ss = t.space()
    assert t.heuristic(name).eval(ss.initial_state(), ss) == value


@needs_heuristic
@pytest.mark.parametrize("name", HEURISTICS)
def test_unreachable_goal_is_a_dead_end(name):
    t = Task(["bool", "bool"], [B(False), B(False)], [F(1)], [([B(True)], [(0, [B(True)])])])
    ss = t.space()
    assert t.heuristic(name).eval(ss.initial_state(), ss) is None


def counting_task(goal, effect=None, init=0):
    """One action without conditions: x := x + 1 (or `effect`), from x = `init`."""
    effect = effect or [F(0), I(1), OP("+", [0, 1])]
    return Task(["int"], [I(init)], goal, [([B(True)], [(0, effect)])])


def at_least(value):
    return [I(value), F(0), OP("<=", [0, 1])]


# x <= -1 never holds while x := x + 1 gives x one new value in every round, so the
# explicit hmax of this goal has no end of its own.
NEVER_HOLDS = [F(0), I(-1), OP("<=", [0, 1])]


@needs_heuristic
@pytest.mark.parametrize("goal", [1500, 2500, 20000])
def test_explicit_hmax_counts_every_round(goal):
    t = counting_task(at_least(goal))
    ss = t.space()
    assert t.heuristic("hmax_explicit").eval(ss.initial_state(), ss) == float(goal)


@needs_heuristic
def test_reachable_actions():
    t = Task(
        ["bool", "bool"],
        [B(False), B(False)],
        [F(0)],
        [([B(True)], [(0, [B(True)])]), ([F(1)], [(0, [B(True)])])],
    )
    ss = t.space()
    got = t.heuristic("hff").reachable_actions(ss.initial_state())
    assert sorted(a.idx for a in got) == [0]


@needs_heuristic
@pytest.mark.parametrize("name,value", [("hadd", 3.0), ("hmax", 3.0), ("hff", 1.0)])
def test_inadmissible_variant_counts_an_assignment_as_unit_steps(name, value):
    t = counter_task()
    ss = t.space()
    assert t.heuristic(name, inadmissible=True).eval(ss.initial_state(), ss) == value


def plan_indices(result):
    plan, stats = result
    assert plan is not None, stats
    return [a.idx for a in plan]


def reaches_goal(task, plan):
    ss = task.space()
    state = ss.initial_state()
    for idx in plan:
        state = ss.get_successor_state(state, A(idx))
        assert state is not None
    return ss.goal_reached(state)


SEARCHES = [
    ("gbfs_search", lambda ss, h: qv.gbfs_search(ss, h)),
    ("astar_search", lambda ss, h: qv.astar_search(ss, h)),
    ("ehc_search", lambda ss, h: qv.ehc_search(ss, h)),
    ("multiqueue_search", lambda ss, h: qv.multiqueue_search(ss, [(h, 1.0)])),
]


@pytest.mark.parametrize("search_name,search", SEARCHES, ids=[s[0] for s in SEARCHES])
@pytest.mark.parametrize("name", HEURISTICS)
@pytest.mark.parametrize("caching", [False, True])
def test_informed_searches_solve_small_tasks(search_name, search, name, caching):
    if not (hasattr(qv, "Heuristic") and hasattr(qv, "SearchSpace") and hasattr(qv, search_name)):
        pytest.skip(f"{search_name} not built yet")
    for task in (chain_task(), counter_task()):
        plan = plan_indices(search(task.space(), task.heuristic(name, caching=caching, in_state=caching)))
        assert reaches_goal(task, plan), plan


@needs_search("astar_search")
@pytest.mark.parametrize("name", ["hmax", "hmax_explicit"])
def test_astar_with_hmax_finds_the_shortest_plan(name):
    t = counter_task()
    assert plan_indices(qv.astar_search(t.space(), t.heuristic(name))) == [0, 0, 0]


@needs_search("multiqueue_search")
def test_multiqueue_with_two_copies_of_one_caching_heuristic():
    t = chain_task()
    h = t.heuristic("hadd", caching=True)
    other = t.heuristic("hmax_explicit", caching=True)
    assert reaches_goal(t, plan_indices(qv.multiqueue_search(t.space(), [(h, 1.0), (h, 2), (other, 1.0)])))


# --- explicit hmax without an end of its own ----------------------------------------------

TIMED_SEARCHES = {
    "gbfs": lambda ss, h, **kw: qv.gbfs_search(ss, h, **kw),
    "astar": lambda ss, h, **kw: qv.astar_search(ss, h, **kw),
    "wastar": lambda ss, h, **kw: qv.wastar_search(ss, h, 0.7, **kw),
    "ehc": lambda ss, h, **kw: qv.ehc_search(ss, h, **kw),
    "gbfs_mb": lambda ss, h, **kw: qv.gbfs_search_memory_bounded(ss, h, **kw),
    "astar_mb": lambda ss, h, **kw: qv.astar_search_memory_bounded(ss, h, **kw),
    "wastar_mb": lambda ss, h, **kw: qv.wastar_search_memory_bounded(ss, h, 0.7, **kw),
    "multiqueue": lambda ss, h, **kw: qv.multiqueue_search(ss, [(h, 1.0)], **kw),
}


def hmax_explicit_with_goal(task, goal):
    return qv.Heuristic.hmax_explicit(task.actions, task.fluent_types, {}, task.events, goal, False, False, False)


def endless_at_the_initial_state(effect):
    t = counting_task(NEVER_HOLDS, effect=effect, init=2)
    return t, t.heuristic("hmax_explicit")


def endless_at_a_successor():
    # The heuristic's goal, y or x <= -1, holds at the start (y); action 0 makes y false
    # for good, and from that successor on the rounds have no end. The search's own goal
    # is never reached.
    t = Task(
        ["int", "bool"],
        [I(0), B(True)],
        NEVER_HOLDS,
        [([B(True)], [(1, [B(False)])]), ([B(True)], [(0, [F(0), I(1), OP("+", [0, 1])])])],
    )
    goal = [F(1), F(0), I(-1), OP("<=", [1, 2]), OP("or", [0, 3])]
    return t, hmax_explicit_with_goal(t, goal)


@pytest.mark.parametrize("search", TIMED_SEARCHES, ids=list(TIMED_SEARCHES))
@pytest.mark.parametrize(
    "make",
    [
        lambda: endless_at_the_initial_state([F(0), I(1), OP("+", [0, 1])]),
        # x := x * x: the numbers double in length every round.
        lambda: endless_at_the_initial_state([F(0), F(0), OP("*", [0, 1])]),
        endless_at_a_successor,
    ],
    ids=["x+1 at the initial state", "x*x at the initial state", "x+1 at a successor"],
)
def test_explicit_hmax_stops_on_the_search_timeout(search, make):
    if not (hasattr(qv, "Heuristic") and hasattr(qv, "SearchSpace")):
        pytest.skip("Heuristic or SearchSpace not built yet")
    task, h = make()
    began = time.monotonic()
    with pytest.raises(TimeoutError) as e:
        TIMED_SEARCHES[search](task.space(), h, timeout=0.3)
    assert str(e.value) == "Timeout"
    assert time.monotonic() - began < 60  # generous: it stops, it does not run on


@needs_heuristic
@not_under_asan
def test_explicit_hmax_without_an_end_runs_out_of_memory_and_the_interpreter_goes_on():
    # No time-out outside a search: the possible values of x grow until memory runs out,
    # here a little above what the interpreter holds already, so that it ends soon.
    script = textwrap.dedent(
        """
        import resource
        import quorvane as qv
        F, I, B, OP = qv.make_fluent_node, qv.make_int_constant_node, qv.make_bool_constant_node, qv.make_operator_node

        def task(goal):
            act = qv.Action(0)
            ev = qv.Event(act, 0, [B(True)], [], [], [qv.Effect(0, [F(0), I(1), OP("+", [0, 1])])])
            events = {act: [(qv.Timing(True, 0), ev)]}
            ss = qv.SearchSpace([None], events, [act], None, None, None, [I(0)], goal)
            return ss, qv.Heuristic.hmax_explicit([act], ["int"], {}, events, goal, False, False, False)

        ss, h = task([F(0), I(-1), OP("<=", [0, 1])])
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        limit = in_use + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit if hard == resource.RLIM_INFINITY else min(limit, hard), hard))
        try:
            h.eval(ss.initial_state(), ss)
        except MemoryError:
            print("MemoryError")
        ss3, h3 = task([I(3), F(0), OP("<=", [0, 1])])
        print(h3.eval(ss3.initial_state(), ss3))
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=600)
    assert (done.returncode, done.stdout.split()) == (0, ["MemoryError", "3.0"]), done.stderr


# --- errors of the task ---------------------------------------------------------------------

EVERY_SEARCH = {
    "bfs": lambda ss, h: qv.bfs_search(ss),
    **{name: (lambda search: lambda ss, h: search(ss, h))(search) for name, search in TIMED_SEARCHES.items()},
    "multiqueue": lambda ss, h: qv.multiqueue_search(ss, [(h, 1.0)]),
}


def counting_up(goal):
    # x := x + 1 without end: a heuristic that took the goal for one never reached
    # would call every state a dead end (or, explicit hmax, never finish).
    return Task(["int", "bool"], [I(0), B(False)], goal, [([B(True)], [(0, [F(0), I(1), OP("+", [0, 1])])])])


@needs_heuristic
@pytest.mark.parametrize(
    "goal",
    [[I(3)], [F(0)], [F(0), I(1), OP("+", [0, 1])], [qv.make_object_node("a")]],
    ids=["an int", "an int fluent", "arithmetic", "an object"],
)
@pytest.mark.parametrize("name", HEURISTICS)
def test_a_goal_that_is_no_boolean_is_refused_alike_by_every_search_and_heuristic(name, goal):
    t = counting_up(goal)
    ss, h = t.space(), t.heuristic(name)
    calls = {"eval": lambda: h.eval(ss.initial_state(), ss)}
    calls.update({search: (lambda run: lambda: run(ss, h))(run) for search, run in EVERY_SEARCH.items()})
    for call_name, call in calls.items():
        with pytest.raises(Exception) as e:
            call()
        assert (type(e.value), str(e.value)) == (Exception, "The goal is not a boolean expression!"), call_name


@needs_heuristic
@pytest.mark.parametrize(
    "effect, error, message",
    [
        ([I(1), F(1), OP("/", [0, 1])], ZeroDivisionError, "division by zero"),
        ([I(1), B(True), OP("+", [0, 1])], ValueError, "Expected a number!"),
    ],
    ids=["x := 1 / y with y 0", "x := 1 + true"],
)
def test_explicit_hmax_lets_evaluation_errors_through_as_the_searches_do(effect, error, message):
    # Action 0 fails to apply; action 1 reaches the goal.
    def task(y):
        return Task(["int", "int", "bool"], [I(0), I(y), B(False)], [F(2)],
                    [([B(True)], [(0, effect)]), ([B(True)], [(2, [B(True)])])])

    t = task(0)
    ss, h = t.space(), t.heuristic("hmax_explicit")
    for call in (lambda: h.eval(ss.initial_state(), ss), lambda: qv.gbfs_search(ss, h),
                 lambda: ss.get_successor_states(ss.initial_state())):
        with pytest.raises(error) as e:
            call()
        assert (type(e.value), str(e.value)) == (error, message)
    if error is ZeroDivisionError:
        # The same heuristic goes on with a state where nothing fails.
        fine = task(2).space()
        assert h.eval(fine.initial_state(), fine) == 1.0
