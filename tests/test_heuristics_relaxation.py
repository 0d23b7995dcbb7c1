"""Delete-relaxation and explicit hmax heuristics driving the informed searches."""

import pytest

import quorvane as qv

F = qv.make_fluent_node
I = qv.make_int_constant_node
B = qv.make_bool_constant_node
OP = qv.make_operator_node
A = qv.Action

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


@needs_heuristic
def test_explicit_hmax_gives_up_on_an_unbounded_goal_fluent():
    # x := x + 1 and the goal x <= -1: every round finds a new value of x that the goal
    # reads, so the rounds would never end. The evaluation must fail, not hang.
    t = Task(["int"], [I(0)], [F(0), I(-1), OP("<=", [0, 1])], [([B(True)], [(0, [F(0), I(1), OP("+", [0, 1])])])])
    ss = t.space()
    with pytest.raises(Exception, match="hmax_explicit: fluent 0 has more than 2000 possible values"):
        t.heuristic("hmax_explicit").eval(ss.initial_state(), ss)


@needs_heuristic
def test_explicit_hmax_counts_many_rounds_below_the_bound():
    t = Task(["int"], [I(0)], [I(1500), F(0), OP("<=", [0, 1])], [([B(True)], [(0, [F(0), I(1), OP("+", [0, 1])])])])
    ss = t.space()
    assert t.heuristic("hmax_explicit").eval(ss.initial_state(), ss) == 1500.0


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
