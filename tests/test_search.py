import collections
import inspect
import logging
import math
import threading

import pytest

import quorvane as qv
from conftest import A, B, F, HEURISTIC_SEARCHES, I, OP, SEARCHES, expect_internal_error, notes


DASH = "\u2014"


# --- small tasks ------------------------------------------------------------------------------


def eq(fluent, value):
    return [F(fluent), I(value), OP("==", [0, 1])]


def lt(fluent, value):
    return [F(fluent), I(value), OP("<", [0, 1])]


def gt(fluent, value):
    return [I(value), F(fluent), OP("<", [0, 1])]


def add(fluent, delta):
    return [F(fluent), I(delta), OP("+", [0, 1])]


def event(action, pos, cond, effects, start=(), end=()):
    return qv.Event(A(action), pos, cond, list(start), list(end), [qv.Effect(f, v) for f, v in effects])


def counter_task(goal=3, top=5, init=0, inc_only=False):
    """x in [0, top]; action 0 adds 1 (while x < top), action 1 takes 1 away (while x > 0)."""
    events = {A(0): [(qv.Timing(True, 0), event(0, 0, lt(0, top), [(0, add(0, 1))]))]}
    n = 1
    if not inc_only:
        events[A(1)] = [(qv.Timing(True, 0), event(1, 0, gt(0, 0), [(0, add(0, -1))]))]
        n = 2
    return qv.SearchSpace(
        [None] * n, events, [A(i) for i in range(n)], None, None, None, initial_state=[I(init)], goal=eq(0, goal)
    )


def two_durative_actions(goal=None):
    """Actions 0 and 1 of duration 1, each with a start event (f_i: 0 -> 1) and an end
    event (f_i: 1 -> 2), so each runs once at most. The default goal f2 == 1 is unreachable."""
    events = {}
    for a in (0, 1):
        events[A(a)] = [
            (qv.Timing(True, 0), event(a, 0, eq(a, 0), [(a, [I(1)])])),
            (qv.Timing(False, 0), event(a, 1, [B(True)], [(a, [I(2)])])),
        ]
    one = ([I(1)], [I(1)], False, False)
    return qv.SearchSpace(
        [one, one], events, [A(0), A(1)], None, None, None, initial_state=[I(0), I(0), I(0)],
        goal=goal or eq(2, 1),
    )


def x_of(state):
    return state.get_value(0).int_constant


def distance(goal=3):
    return lambda s: abs(goal - x_of(s))


def replay(space, plan):
    state = space.initial_state()
    for a in plan:
        state = space.get_successor_state(state, a)
        assert state is not None
    return state


H0 = qv.Heuristic.custom(lambda s: 0.0, False)


def task_for(name, **kw):
    """dfs follows inc/dec cycles forever on the counter task: it gets one without cycles."""
    return counter_task(inc_only=(name == "dfs"), **kw)


# --- the Python surface ---------------------------------------------------------------------


def test_signatures():
    rest = "timeout=None, early_termination=False"
    informed = f"{rest}, weak_equality=False"
    expected = {
        "bfs_search": f"(ss, {rest})",
        "dfs_search": f"(ss, {rest})",
        "ehc_search": f"(ss, heuristic, {informed})",
        "gbfs_search": f"(ss, heuristic, {informed})",
        "astar_search": f"(ss, heuristic, {informed})",
        "wastar_search": f"(ss, heuristic, weight, {informed})",
        "gbfs_search_memory_bounded": f"(ss, heuristic, {informed})",
        "astar_search_memory_bounded": f"(ss, heuristic, {informed})",
        "wastar_search_memory_bounded": f"(ss, heuristic, weight, {informed})",
        "multiqueue_search": f"(ss, heuristics, {informed})",
    }
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(qv, name))) == sig, name


@pytest.mark.parametrize("name", SEARCHES)
def test_every_search_finds_a_plan(name):
    space = task_for(name)
    calls = []
    h = qv.Heuristic.custom(lambda s: calls.append(1) or distance()(s), False)
    plan, stats = SEARCHES[name](space, h)
    assert plan is not None and all(isinstance(a, qv.Action) for a in plan)
    assert space.goal_reached(replay(space, plan))
    assert set(stats) == {"expanded_states", "goal_depth"}
    assert stats["goal_depth"] == str(len(plan))  # one event per step here: "3", never "3.0"
    assert stats["expanded_states"].isdigit()
    assert (len(calls) > 0) == (name in HEURISTIC_SEARCHES)


def test_fixed_weights_are_wastar_calls():
    h = qv.Heuristic.custom(distance(), False)
    space = counter_task()
    pairs = [
        (qv.gbfs_search(space, h), qv.wastar_search(space, h, 1.0)),
        (qv.astar_search(space, h), qv.wastar_search(space, h, 0.5)),
        (qv.gbfs_search_memory_bounded(space, h), qv.wastar_search_memory_bounded(space, h, 1)),
        (qv.astar_search_memory_bounded(space, h), qv.wastar_search_memory_bounded(space, h, 0.5)),
    ]
    for (plan_a, stats_a), (plan_b, stats_b) in pairs:
        assert [a.idx for a in plan_a] == [a.idx for a in plan_b]
        assert stats_a == stats_b


def test_no_plan_gives_only_the_expanded_count():
    space = counter_task(goal=9)  # x never passes 5
    h = qv.Heuristic.custom(lambda s: 1.0, False)
    # (Without duplicate detection bfs and dfs would follow the cycles forever.)
    for name in HEURISTIC_SEARCHES:
        plan, stats = SEARCHES[name](space, h)
        assert plan is None, name
        assert list(stats) == ["expanded_states"], name


@pytest.mark.parametrize("name", SEARCHES)
def test_early_termination_at_the_initial_state(name, caplog):
    space = task_for(name, goal=0)
    calls = []
    h = qv.Heuristic.custom(lambda s: calls.append(1) or 1.0, False)
    with caplog.at_level(logging.DEBUG):
        assert SEARCHES[name](space, h, early_termination=True, timeout=0.0) == (
            [],
            {"expanded_states": "0", "goal_depth": "0"},
        )
    assert calls == []
    assert len(caplog.records) == 1 and "timeout=Some(0.0) early_termination=true" in caplog.messages[0]

    caplog.clear()
    with caplog.at_level(logging.DEBUG):
        plan, stats = SEARCHES[name](space, h)
    assert (plan, stats) == ([], {"expanded_states": "1", "goal_depth": "0"})
    assert caplog.messages[-1].endswith(f": goal found {DASH} expanded=1 depth=0")


@pytest.mark.parametrize("name", [n for n in HEURISTIC_SEARCHES if n != "multiqueue"])
def test_initial_dead_end(name, caplog):
    space = counter_task(goal=0)  # a goal, but the heuristic calls it a dead end
    h = qv.Heuristic.custom(lambda s: None, False)
    with caplog.at_level(logging.DEBUG):
        result = SEARCHES[name](space, h, timeout=0.0)
    assert result == (None, {"expanded_states": "0"})
    assert len(caplog.records) == 1  # the start record only


def test_multiqueue_does_not_evaluate_the_initial_state():
    space = counter_task(goal=0)
    h = qv.Heuristic.custom(lambda s: None, False)
    assert qv.multiqueue_search(space, [(h, 1.0)]) == ([], {"expanded_states": "1", "goal_depth": "0"})
    # The time is checked first, before the goal test of the initial state. (A limit
    # below zero is exceeded at the first check, even when no time seems to have passed.)
    with pytest.raises(TimeoutError):
        qv.multiqueue_search(space, [(h, 1.0)], timeout=-1.0)


@pytest.mark.parametrize("name", SEARCHES)
def test_timeouts(name):
    # The goal lies beyond 10**9 steps: only the time-out ends these searches, however
    # fast the machine and however coarse its clock.
    endless = counter_task(goal=-1, top=10**9, inc_only=(name == "dfs"))
    with pytest.raises(TimeoutError) as e:
        SEARCHES[name](endless, qv.Heuristic.custom(distance(-1), False), timeout=0.0)
    assert str(e.value) == "Timeout" and type(e.value) is TimeoutError
    # Infinity never fires; an int is taken as seconds; None is no limit.
    space = task_for(name)
    h = qv.Heuristic.custom(distance(), False)
    for timeout in (math.inf, 3600, None):
        plan, _ = SEARCHES[name](space, h, timeout=timeout)
        assert plan is not None
    # NaN would mean no limit at all, which nobody writes on purpose.
    with pytest.raises(ValueError) as e:
        SEARCHES[name](space, h, timeout=math.nan)
    assert str(e.value) == "timeout must not be NaN"
    assert notes(e) == ["argument 'timeout'"]


# --- argument errors ------------------------------------------------------------------------


def test_argument_errors_name_the_argument():
    space = counter_task()
    h = qv.Heuristic.custom(distance(), False)
    cases = [
        (lambda: qv.bfs_search(space, timeout="2"), TypeError, "timeout"),
        (lambda: qv.bfs_search(space, early_termination=1), TypeError, "early_termination"),
        (lambda: qv.gbfs_search(space, h, weak_equality=0), TypeError, "weak_equality"),
        (lambda: qv.wastar_search(space, h, "1"), TypeError, "weight"),
        (lambda: qv.gbfs_search(space, space), TypeError, "heuristic"),
        (lambda: qv.gbfs_search(h, h), TypeError, "ss"),
        (lambda: qv.multiqueue_search(space, [[h, 1.0]]), TypeError, "heuristics"),
        (lambda: qv.multiqueue_search(space, "hh"), TypeError, "heuristics"),
        (lambda: qv.multiqueue_search(space, [(h, 1.0, 2)]), Exception, "heuristics"),
        (lambda: qv.multiqueue_search(space, [(space, 1.0)]), TypeError, "heuristics"),
        (lambda: qv.multiqueue_search(space, [(h, "x")]), TypeError, "heuristics"),
        (lambda: qv.multiqueue_search(space, 5), TypeError, "heuristics"),
        (lambda: qv.multiqueue_search(space, iter([(h, 1.0)])), TypeError, "heuristics"),
        (lambda: qv.wastar_search_memory_bounded(space, h, None), TypeError, "weight"),
        (lambda: qv.ehc_search(space, h, early_termination=None), TypeError, "early_termination"),
    ]
    for call, exc_type, arg in cases:
        with pytest.raises(exc_type) as e:
            call()
        assert any(f"'{arg}'" in note for note in notes(e)), (arg, notes(e))


@pytest.mark.parametrize(
    "call, first",
    [
        (lambda space: qv.wastar_search(1, 1, "w", timeout="t"), "ss"),
        (lambda space: qv.wastar_search(space, 1, "w", timeout="t"), "heuristic"),
        (lambda space: qv.wastar_search(space, H0, "w", timeout="t"), "weight"),
        (lambda space: qv.bfs_search(space, "t", 1), "timeout"),
        (lambda space: qv.ehc_search(space, H0, None, 1, 1), "early_termination"),
        (lambda space: qv.multiqueue_search(space, "hh", timeout="t"), "heuristics"),
        (lambda space: qv.multiqueue_search(space, [(H0, 1.0)], "t", 1, 1), "timeout"),
        (lambda space: qv.astar_search_memory_bounded(space, H0, None, False, 1), "weak_equality"),
    ],
)
def test_arguments_are_converted_in_order(call, first):
    with pytest.raises(TypeError) as e:
        call(counter_task())
    assert notes(e) == [f"argument '{first}'"]


def test_accepted_argument_forms():
    space = counter_task()
    h = qv.Heuristic.custom(distance(), False)
    Pair = collections.namedtuple("Pair", "heuristic weight")
    # A tuple subclass and an int weight pass the pair conversion; any sequence of pairs.
    assert qv.multiqueue_search(space, (Pair(h, 2),))[0] is not None
    assert qv.bfs_search(space, 2, True)[0] is not None


def test_multiqueue_without_pairs_is_an_internal_error():
    with pytest.raises(BaseException) as e:
        qv.multiqueue_search(counter_task(), [])
    expect_internal_error(e)


# --- failures inside the search ------------------------------------------------------------


class Boom(Exception):
    pass


@pytest.mark.parametrize("name", HEURISTIC_SEARCHES)
def test_callable_exceptions_pass_through_unchanged(name):
    error = Boom("no value")

    def h(state):
        if x_of(state) == 1:
            raise error
        return float(abs(3 - x_of(state)))

    heuristic = qv.Heuristic.custom(h, True)
    space = counter_task()
    with pytest.raises(Boom) as e:
        SEARCHES[name](space, heuristic)
    assert e.value is error


def test_search_space_errors_pass_through():
    space = qv.SearchSpace([None], {}, [A(0)], None, None, None, initial_state=[I(0)])
    with pytest.raises(Exception, match="The goal must be defined somewhere!"):
        qv.bfs_search(space)
    no_init = qv.SearchSpace([None], {}, [A(0)], None, None, None, goal=[B(True)])
    with pytest.raises(Exception, match="The initial state must be defined somewhere!"):
        qv.gbfs_search(no_init, qv.Heuristic.custom(lambda s: 0, False))


def test_changing_the_search_space_from_a_callable_fails_with_the_borrow_error():
    space = counter_task()

    def h(state):
        space.relevant_actions = [A(0)]
        return 0.0

    with pytest.raises(RuntimeError, match="borrow"):
        qv.gbfs_search(space, qv.Heuristic.custom(h, False))
    # Reading works, and the borrow is gone after the call.
    reads = []
    qv.gbfs_search(space, qv.Heuristic.custom(lambda s: reads.append(len(space.relevant_actions)) or 0.0, False))
    assert reads and set(reads) == {2}
    space.relevant_actions = [A(0)]
    assert [a.idx for a in space.relevant_actions] == [0]


# --- duplicate policies ---------------------------------------------------------------------


def test_classical_duplicates_count_once_whatever_weak_equality():
    # The inc/dec counter reaches every x along many paths; the seen set keeps one.
    space = counter_task(goal=9)
    h = qv.Heuristic.custom(lambda s: 0.0, False)
    for weak in (False, True):
        assert qv.gbfs_search(space, h, weak_equality=weak) == (None, {"expanded_states": "6"})
        assert qv.gbfs_search_memory_bounded(space, h, weak_equality=weak) == (None, {"expanded_states": "6"})
        assert qv.ehc_search(space, h, weak_equality=weak) == (None, {"expanded_states": "6"})
        assert qv.multiqueue_search(space, [(h, 1.0)], weak_equality=weak) == (None, {"expanded_states": "6"})


def test_temporal_duplicates_depend_on_weak_equality():
    space = two_durative_actions()
    assert space.is_temporal
    h = qv.Heuristic.custom(lambda s: 0.0, False)
    # 9 distinct states (f0, f1 in {0, 1, 2}); 19 prefixes of the 6 orders of 4 events.
    expected = {True: "9", False: "19"}
    for weak, count in expected.items():
        for search in (qv.gbfs_search, qv.astar_search_memory_bounded):
            assert search(space, h, weak_equality=weak) == (None, {"expanded_states": count}), (search, weak)
        assert qv.multiqueue_search(space, [(h, 1.0)], weak_equality=weak) == (None, {"expanded_states": count})
    assert qv.bfs_search(space) == (None, {"expanded_states": "19"})


def running_action_task():
    """Without durations. Action 0 sets p and then hangs (its second event never
    applies); action 1 sets p in its second event. Only [1, 1] ends with nothing
    running, and its last state has the values of the hung state met one step earlier."""
    never = [B(False)]
    events = {
        A(0): [(qv.Timing(True, 0), event(0, 0, eq(0, 0), [(0, [I(1)])])),
               (qv.Timing(True, 0), event(0, 1, never, []))],
        A(1): [(qv.Timing(True, 0), event(1, 0, eq(0, 0), [])),
               (qv.Timing(True, 0), event(1, 1, [B(True)], [(0, [I(1)])]))],
    }
    space = qv.SearchSpace([None, None], events, [A(0), A(1)], None, None, None, initial_state=[I(0)],
                           goal=eq(0, 1))
    return space, [1, 1]


def open_condition_task():
    """Without durations. Action 0 sets p and opens the condition q == 0, which stays
    open after its second event; action 1 sets p in its second event without it;
    action 2 sets q once p holds. Only [1, 1, 2] reaches p and q; after [1, 1] its
    state has the values and running actions of [0, 0], met one step earlier."""
    events = {
        A(0): [(qv.Timing(True, 0), event(0, 0, eq(0, 0), [(0, [I(1)])], start=[eq(1, 0)])),
               (qv.Timing(True, 0), event(0, 1, [B(True)], []))],
        A(1): [(qv.Timing(True, 0), event(1, 0, eq(0, 0), [])),
               (qv.Timing(True, 0), event(1, 1, [B(True)], [(0, [I(1)])]))],
        A(2): [(qv.Timing(True, 0), event(2, 0, eq(0, 1), [(1, [I(1)])]))],
    }
    goal = [F(0), I(1), OP("==", [0, 1]), F(1), I(1), OP("==", [3, 4]), OP("and", [2, 5])]
    space = qv.SearchSpace([None] * 3, events, [A(0), A(1), A(2)], None, None, None,
                           initial_state=[I(0), I(0)], goal=goal)
    return space, [1, 1, 2]


@pytest.mark.parametrize("make", [running_action_task, open_condition_task])
@pytest.mark.parametrize("name", HEURISTIC_SEARCHES)
def test_running_actions_and_open_conditions_tell_states_apart(name, make):
    space, expected = make()
    assert not space.is_temporal
    plan, stats = SEARCHES[name](space, H0)
    assert plan is not None, stats
    assert [a.idx for a in plan] == expected
    assert space.goal_reached(replay(space, plan))


BOUNDED = [name for name in SEARCHES if name.endswith("_mb")]


def packed_words_task():
    """70 boolean fluents, packed 64 to a word, fluent 63 true. The one action turns 63
    off and 68 on, the goal: the two states differ in the top bit of the first word and
    in bit 4 of the second."""
    init = [B(f == 63) for f in range(70)]
    ev = event(0, 0, [F(63)], [(63, [B(False)]), (68, [B(True)])])
    return qv.SearchSpace([None], {A(0): [(qv.Timing(True, 0), ev)]}, [A(0)], None, None, None,
                          initial_state=init, goal=[F(68)])


def silent_start_task():
    """Action 0 lasts 1 and does nothing at its start; its end reaches the goal. The
    state after the start has the initial state's values, with the action running."""
    events = {A(0): [(qv.Timing(True, 0), event(0, 0, [B(True)], [])),
                     (qv.Timing(False, 0), event(0, 1, [B(True)], [(0, [I(1)])]))]}
    one = ([I(1)], [I(1)], False, False)
    return qv.SearchSpace([one], events, [A(0)], None, None, None, initial_state=[I(0)], goal=eq(0, 1))


@pytest.mark.parametrize("make, weak, expected", [
    (packed_words_task, False, [0]),
    (silent_start_task, True, [0, 0]),
])
@pytest.mark.parametrize("name", BOUNDED)
def test_bounded_searches_keep_apart_what_their_duplicate_rule_keeps_apart(name, make, weak, expected):
    # The Bloom filter stands for the seen set of the unbounded search: it must tell
    # apart every two states that the duplicate rule does.
    space = make()
    plan, stats = SEARCHES[name](space, H0, weak_equality=weak)
    assert plan is not None, stats
    assert [a.idx for a in plan] == expected
    assert space.goal_reached(replay(space, plan))


def test_a_durative_action_appears_once_per_applied_event():
    space = two_durative_actions(goal=eq(0, 2))
    plan, stats = qv.bfs_search(space)
    assert [a.idx for a in plan] == [0, 0]
    # The root, both starts, then the end of action 0.
    assert stats == {"expanded_states": "4", "goal_depth": "2"}


# --- algorithm details visible from Python ----------------------------------------------------


def test_ehc_logs_its_initial_value_and_improvements(caplog):
    space = counter_task()
    h = qv.Heuristic.custom(distance(), False)
    with caplog.at_level(logging.DEBUG, logger="quorvane_base.search"):
        plan, stats = qv.ehc_search(space, h, timeout=30)
    assert [a.idx for a in plan] == [0, 0, 0]
    assert caplog.messages == [
        "ehc_search: timeout=Some(30.0) early_termination=false weak_equality=false",
        "ehc_search: initial h=3.0000",
        "ehc_search: improved h=2.0000 expanded=1 generated=2",
        "ehc_search: improved h=1.0000 expanded=2 generated=3",
        "ehc_search: improved h=0.0000 expanded=3 generated=4",
        f"ehc_search: goal found {DASH} expanded=4 depth=3",
    ]
    assert {r.name for r in caplog.records} == {"quorvane_base.search"}
    assert {r.levelno for r in caplog.records[1:5]} == {logging.DEBUG}


def test_multiqueue_takes_turns_and_drops_stale_entries(caplog):
    space = counter_task()
    h = qv.Heuristic.custom(distance(), False)
    with caplog.at_level(logging.DEBUG, logger="quorvane_base.multiqueue"):
        plan, stats = qv.multiqueue_search(space, [(h, 1.0), (h, 1.0)], early_termination=False)
    # Queue 1's root entry is stale after the first expansion and is skipped uncounted.
    assert [a.idx for a in plan] == [0, 0, 0]
    assert stats == {"expanded_states": "4", "goal_depth": "3"}
    assert caplog.messages == [
        "multiqueue_search: queues=2 timeout=None early_termination=false weak_equality=false",
        f"multiqueue_search: goal found {DASH} expanded=4 depth=3",
    ]
    assert caplog.records[0].name == "quorvane_base.multiqueue"


def test_multiqueue_ends_when_the_queue_used_last_is_empty():
    space = counter_task()
    alive = qv.Heuristic.custom(distance(), False)
    dead = qv.Heuristic.custom(lambda s: None, False)
    for pairs in ([(alive, 1.0), (dead, 1.0)], [(dead, 1.0), (alive, 1.0)]):
        assert qv.multiqueue_search(space, pairs) == (None, {"expanded_states": "1"})


def test_log_records_of_a_search(caplog):
    space = counter_task(goal=9)
    h = qv.Heuristic.custom(lambda s: 1.0, False)
    with caplog.at_level(logging.DEBUG, logger="quorvane_base.search"):
        qv.wastar_search(space, h, 0.25, timeout=1000.5, weak_equality=True)
        qv.wastar_search_memory_bounded(space, h, 2, early_termination=True)
        qv.dfs_search(counter_task(goal=9, inc_only=True), timeout=1e16)
        with pytest.raises(TimeoutError):
            qv.bfs_search(space, timeout=1e-5)
        # Beyond the float range: infinity, which never fires.
        qv.bfs_search(counter_task(goal=0), timeout=1e300, early_termination=True)
    assert caplog.messages == [
        "wastar_search: weight=0.25 timeout=Some(1000.5) early_termination=false weak_equality=true",
        f"wastar_search: no solution found {DASH} expanded=6",
        "wastar_search_memory_bounded: weight=2 timeout=None early_termination=true weak_equality=false",
        f"wastar_search_memory_bounded: no solution found {DASH} expanded=6",
        "dfs: timeout=Some(1e16) early_termination=false",
        f"dfs: no solution found {DASH} expanded=6",
        "bfs: timeout=Some(1e-5) early_termination=false",
        "bfs: timeout=Some(inf) early_termination=true",
    ]
    assert {r.levelno for r in caplog.records} == {logging.INFO}
    assert {r.name for r in caplog.records} == {"quorvane_base.search"}


PROGRESS = [
    # (search, counter task with the decrement, logger, record prefix, generated and open
    # at the 10000th expansion)
    ("bfs", False, "search", "bfs", 10000, 0),
    ("dfs", False, "search", "dfs", 10000, 0),
    ("gbfs", False, "search", "wastar_search", 10000, 0),
    ("gbfs_mb", False, "search", "wastar_search_memory_bounded", 10000, 0),
    # Two queues: every state expanded through one queue leaves a stale entry in the
    # other, and the count includes them (one per state expanded before).
    ("multiqueue_twice", False, "multiqueue", "multiqueue_search", 10000, 9999),
    # The decrement leads back to a state met before: the best-first searches drop it
    # without counting it, the multi-queue search counts it as generated.
    ("gbfs", True, "search", "wastar_search", 10000, 0),
    ("gbfs_mb", True, "search", "wastar_search_memory_bounded", 10000, 0),
    ("multiqueue_once", True, "multiqueue", "multiqueue_search", 19998, 0),
]


@pytest.mark.parametrize("name, with_dec, logger, prefix, generated, open_count", PROGRESS)
def test_progress_records_every_10000_expansions(name, with_dec, logger, prefix, generated, open_count, caplog):
    space = counter_task(goal=10001, top=20000, inc_only=not with_dec)
    h = qv.Heuristic.custom(lambda s: 10001 - x_of(s), False)
    pairs = {"multiqueue_twice": [(h, 1.0), (h, 1.0)], "multiqueue_once": [(h, 1.0)]}
    if name in pairs:
        search = lambda: qv.multiqueue_search(space, pairs[name])
    else:
        search = lambda: SEARCHES[name](space, h)
    with caplog.at_level(logging.DEBUG, logger=f"quorvane_base.{logger}"):
        plan, stats = search()
    assert len(plan) == 10001 and stats == {"expanded_states": "10002", "goal_depth": "10001"}
    assert caplog.messages[1:] == [
        f"{prefix}: expanded=10000 generated={generated} open={open_count}",
        f"{prefix}: goal found {DASH} expanded=10002 depth=10001",
    ]
    assert caplog.records[1].levelno == logging.DEBUG


@pytest.mark.parametrize("name", HEURISTIC_SEARCHES)
def test_early_goal_successor_is_returned_even_as_a_dead_end(name):
    # Only the initial state has a value; x == 1, a successor of it, is the goal.
    space = counter_task(goal=1)
    h = qv.Heuristic.custom(lambda s: 3.0 if x_of(s) == 0 else None, False)
    plan, stats = SEARCHES[name](space, h, early_termination=True)
    assert [a.idx for a in plan] == [0]
    assert stats == {"expanded_states": "1", "goal_depth": "1"}
    # Without early termination the dead end is never queued.
    assert SEARCHES[name](space, h)[0] is None


# --- concurrency ----------------------------------------------------------------------------


def grid_task():
    """Two counters that only go up, to 3 each: every order of the six steps is a plan,
    many paths meet in one state, and none leads back, so depth-first search ends too."""
    events = {A(c): [(qv.Timing(True, 0), event(c, 0, lt(c, 3), [(c, add(c, 1))]))] for c in (0, 1)}
    goal = eq(0, 3) + [F(1), I(3), OP("==", [3, 4]), OP("and", [2, 5])]
    space = qv.SearchSpace([None, None], events, [A(0), A(1)], None, None, None, initial_state=[I(0), I(0)],
                           goal=goal)
    return space, events, goal


@pytest.mark.parametrize("kind", ["hff", "custom"])
def test_concurrent_searches_share_one_space_and_heuristic(kind):
    # Eight threads each run every search over one search space with one heuristic (the
    # multi-queue search with copies of it): each gets what a search run alone gets.
    space, events, goal = grid_task()
    lock = threading.Lock()
    callers = set()

    def shortfall(state):
        with lock:
            callers.add(threading.get_ident())
        return float(6 - x_of(state) - state.get_value(1).int_constant)

    if kind == "hff":  # internal caching: every search shares one value cache
        heuristic = qv.Heuristic.hff([A(0), A(1)], ["int", "int"], {}, events, goal, True, False, False)
    else:  # values memoised in the states
        heuristic = qv.Heuristic.custom(shortfall, True)

    def outcome(name):
        plan, stats = SEARCHES[name](space, heuristic)
        return [a.idx for a in plan], stats

    alone = {name: outcome(name) for name in SEARCHES}
    callers.clear()
    start = threading.Barrier(8)
    seen = {}

    def run(t):
        start.wait()
        names = list(SEARCHES)[t:] + list(SEARCHES)[:t]  # different searches overlap
        seen[threading.get_ident()] = {name: outcome(name) for name in names}

    threads = [threading.Thread(target=run, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert len(seen) == 8
    for result in seen.values():
        assert result == alone
    # A custom heuristic is called on the thread of the search that evaluates.
    assert callers == (set(seen) if kind == "custom" else set())
    for plan, _ in alone.values():
        assert space.goal_reached(replay(space, [A(i) for i in plan]))
