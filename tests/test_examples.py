"""The example task generators, their PDDL output and the command line."""

import os
import subprocess
import sys
from fractions import Fraction

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import quorvane as qv  # noqa: E402

from examples import TASKS, blocksworld, fuel_delivery, logistics, make_task, matchcellar  # noqa: E402
from examples.run import replay, solve  # noqa: E402

SMALLEST = {name: make_task(name, smallest) for name, (_, smallest, _) in TASKS.items()}


# --- a tiny PDDL reader -----------------------------------------------------------------------


def parse_sexpr(text):
    """Reads one s-expression into nested lists of lower-case atoms; rejects anything
    unbalanced or trailing."""
    tokens = text.replace("(", " ( ").replace(")", " ) ").split()
    pos = 0

    def read():
        nonlocal pos
        if pos >= len(tokens):
            raise ValueError("unexpected end")
        tok = tokens[pos]
        pos += 1
        if tok == ")":
            raise ValueError("unexpected )")
        if tok != "(":
            return tok.lower()
        out = []
        while True:
            if pos >= len(tokens):
                raise ValueError("unclosed (")
            if tokens[pos] == ")":
                pos += 1
                return out
            out.append(read())

    tree = read()
    if pos != len(tokens):
        raise ValueError("text after the expression")
    return tree


@pytest.mark.parametrize("text", ["(a (b)", "(a))", "a)", "(a) (b)", ""])
def test_reader_rejects_malformed_text(text):
    with pytest.raises(ValueError):
        parse_sexpr(text)


def sections(tree):
    return {item[0]: item[1:] for item in tree[2:]} | {"actions": [i for i in tree[2:] if i[0].endswith("action")]}


def fields(action):
    """The keyword fields of a parsed action: {":effect": [...], ...}."""
    return dict(zip(action[2::2], action[3::2]))


def single_effects(domain_text):
    """The single effects of every action of a domain, timed ones without their `at`."""
    out = []
    for action in sections(parse_sexpr(domain_text))["actions"]:
        for e in fields(action)[":effect"][1:]:
            out.append(e[2] if e[0] == "at" else e)
    return out


def number(tok):
    if isinstance(tok, list):
        assert tok[0] == "/", tok
        return Fraction(int(tok[1]), int(tok[2]))
    return Fraction(tok)


class PddlWorld:
    """Executes the grounded PDDL that a generator wrote, independently of the module:
    replaying the module's plan here shows that both describe the same task."""

    def __init__(self, domain_text, problem_text):
        self.domain, self.problem = parse_sexpr(domain_text), parse_sexpr(problem_text)
        d = sections(self.domain)
        self.actions = {a[1]: dict(zip(a[2::2], a[3::2])) | {"kind": a[0]} for a in d["actions"]}
        self.true, self.num = set(), {}
        for fact in sections(self.problem)[":init"]:
            if fact[0] == "=":
                self.num[fact[1][0]] = number(fact[2])
            else:
                self.true.add(fact[0])
        self.goal = sections(self.problem)[":goal"][0]
        self.over_all = []  # durative conditions of running actions

    def value(self, e):
        if not isinstance(e, list):
            return Fraction(e)
        if e[0] in self.num:
            return self.num[e[0]]
        a, b = self.value(e[1]), self.value(e[2])
        return {"+": a + b, "-": a - b, "*": a * b, "/": a / b if e[0] == "/" else None}[e[0]]

    def holds(self, c):
        op = c[0]
        if op == "and":
            return all(self.holds(x) for x in c[1:])
        if op == "or":
            return any(self.holds(x) for x in c[1:])
        if op == "not":
            return not self.holds(c[1])
        if op in ("<=", "<", "="):
            a, b = self.value(c[1]), self.value(c[2])
            return {"<=": a <= b, "<": a < b, "=": a == b}[op]
        return op in self.true

    def apply(self, effects):
        # Effects read the state before any of them is applied, as the module does.
        adds, dels, nums = set(), set(), {}
        for e in effects:
            if e[0] == "not":
                dels.add(e[1][0])
            elif e[0] in ("assign", "increase", "decrease"):
                v = self.value(e[2])
                old = self.num[e[1][0]]
                nums[e[1][0]] = {"assign": v, "increase": old + v, "decrease": old - v}[e[0]]
            else:
                adds.add(e[0])
        self.true = (self.true - dels) | adds
        self.num.update(nums)

    @staticmethod
    def conjuncts(e):
        return e[1:] if e[0] == "and" else [e]

    def timed(self, action, when):
        # (at start c), (at end c), (over all c)
        cond = [c[2] for c in self.conjuncts(action[":condition"]) if c[:2] == ["at", when]]
        eff = [c[2] for c in self.conjuncts(action[":effect"]) if c[:2] == ["at", when]]
        over = [c[2] for c in self.conjuncts(action[":condition"]) if c[:2] == ["over", "all"]]
        return cond, eff, over

    def step(self, name, running):
        a = self.actions[name]
        if a["kind"] == ":action":
            assert self.holds(a[":precondition"]), name
            self.apply(self.conjuncts(a[":effect"]))
            return
        # The module's plan names a durative action once for its start, once for its end.
        when = "end" if name in running else "start"
        cond, eff, over = self.timed(a, when)
        assert all(self.holds(c) for c in cond), (name, when)
        if when == "end":
            running.remove(name)
            for c in over:
                self.over_all.remove(c)
        self.apply(eff)
        if when == "start":
            running.add(name)
            self.over_all += over
        assert all(self.holds(c) for c in self.over_all), (name, when, "over all")


# --- generated tasks ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", TASKS)
def test_smallest_task_is_solved_by_bfs_and_the_plan_replays(name):
    task = SMALLEST[name]
    plan, stats, _ = solve(task, "bfs", timeout=60)
    assert plan, name
    ss = task.search_space()
    state = ss.initial_state()
    for a in plan:
        assert not ss.goal_reached(state)  # a shortest plan passes no goal state on the way
        state = ss.get_successor_state(state, a)
        assert state is not None, task.action_names[a.idx]
    assert ss.goal_reached(state)
    assert stats["goal_depth"] == str(len(plan))


@pytest.mark.parametrize("name", TASKS)
@pytest.mark.parametrize("heuristic", ["hff", "hmax"])
def test_larger_tasks_are_solved_with_a_heuristic(name, heuristic):
    task = make_task(name, 4)
    plan, _, _ = solve(task, "gbfs", heuristic, timeout=60)
    assert plan is not None
    assert len(replay(task, plan)) == len(plan) + 1


def test_inputs_fit_the_module_shapes():
    for name, task in SMALLEST.items():
        n = len(task.fluent_types)
        assert len(task.initial_state) == len(task.fluent_names) == n, name
        assert len(task.actions_duration) == len(task.actions) == len(task.action_names), name
        assert [a.idx for a in task.actions] == list(range(len(task.actions))), name
        for action, pairs in task.events.items():
            for pos, (timing, event) in enumerate(pairs):
                assert event.action.idx == action.idx and event.pos == pos, name
                assert all(e.fluent < n for e in event.effects), name
        assert task.is_temporal == (name == "temporal")
        assert set(task.fluent_types) <= {"bool", "int", "real"}


def test_numeric_task_mixes_integer_and_rational_values():
    task = fuel_delivery(3)
    types = dict(zip(task.fluent_names, task.fluent_types))
    assert types["fuel"] == "real" and types["cargo"] == types["delivered"] == "int"
    values = dict(zip(task.fluent_names, task.initial_state))
    assert values["fuel"].real_constant == Fraction(5, 2)
    plan, _, _ = solve(task, "astar", "hmax", timeout=60)
    last = replay(task, plan)[-1]
    fuel = last.get_value(task.fluent_names.index("fuel"))
    assert Fraction(0) <= (fuel.real_constant if fuel.real_constant is not None else fuel.int_constant) <= Fraction(5, 2)
    assert last.get_value(task.fluent_names.index("delivered")).int_constant == 2
    names = [task.action_names[a.idx] for a in plan]
    assert "refuel_loc3" in names  # three moves empty the tank short of the far end and back


@pytest.mark.parametrize(
    "fuses,expected",
    [
        (1, [("0/1", "light-match_match0", "6/1"), ("0/1", "mend-fuse_fuse0", "9/2")]),
        # One hand and one light: the second match is lit once the first has gone out
        # (the two touch the light, so they are epsilon apart), the repair with it.
        (2, [("0/1", "light-match_match0", "6/1"), ("0/1", "mend-fuse_fuse0", "9/2"),
             ("601/100", "light-match_match1", "6/1"), ("601/100", "mend-fuse_fuse1", "9/2")]),
    ],
)
def test_temporal_plan_is_scheduled_with_exact_times(fuses, expected):
    task = matchcellar(fuses)
    plan, _, _ = solve(task, "gbfs", "hff", timeout=60)
    replay(task, plan)
    timed = task.search_space().build_plan(plan)
    assert [(s, task.action_names[a.idx], d) for s, a, d in timed] == expected


# ehc happens to find this plan either way; the duplicate tests of test_search.py cover it.
@pytest.mark.parametrize("search", ["gbfs", "astar", "wastar", "gbfs_mb", "astar_mb", "wastar_mb", "multiqueue"])
def test_matchcellar_without_durations_is_solved_by_every_heuristic_search(search):
    # Without durations the two repairs and the burning match are running actions of
    # states whose values coincide with other states': they must not be taken for them.
    task = matchcellar(2)
    task.actions_duration = [None] * len(task.actions)
    ss = task.search_space()
    assert not ss.is_temporal
    h = task.heuristic("hff")
    plan, stats = {
        "gbfs": lambda: qv.gbfs_search(ss, h),
        "astar": lambda: qv.astar_search(ss, h),
        "wastar": lambda: qv.wastar_search(ss, h, 0.7),
        "gbfs_mb": lambda: qv.gbfs_search_memory_bounded(ss, h),
        "astar_mb": lambda: qv.astar_search_memory_bounded(ss, h),
        "wastar_mb": lambda: qv.wastar_search_memory_bounded(ss, h, 0.7),
        "multiqueue": lambda: qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)]),
    }[search]()
    assert plan is not None, stats
    assert len(plan) == 6  # each match and repair applies both its events
    replay(task, plan)


def test_the_repair_needs_the_light_during_its_whole_duration():
    task = matchcellar(1)
    ss = task.search_space()
    match, mend = (task.actions[task.action_names.index(n)] for n in ("light-match_match0", "mend-fuse_fuse0"))
    lit = ss.get_successor_state(ss.initial_state(), match)
    repairing = ss.get_successor_state(lit, mend)
    assert ss.get_successor_state(repairing, match) is None  # the match cannot go out mid-repair
    assert ss.get_successor_state(ss.initial_state(), mend) is None  # no repair in the dark


def test_blocksworld_seeds():
    assert blocksworld(6, seed=3).pddl_problem == blocksworld(6, seed=3).pddl_problem
    assert len({blocksworld(6, seed=s).pddl_problem for s in range(5)}) > 1
    fixed = blocksworld(5)
    plan, _, _ = solve(fixed, "bfs", timeout=60)
    assert len(plan) == 10  # reversing a tower of 5: unstack and put down the top, 3 unstack+stack, pick-up+stack


@pytest.mark.parametrize("make", [lambda: blocksworld(0), lambda: logistics(1, 1, 1), lambda: fuel_delivery(0),
                                  lambda: matchcellar(0), lambda: make_task("gripper", 0),
                                  lambda: make_task("unknown", 1)])
def test_bad_parameters_are_refused(make):
    with pytest.raises(ValueError):
        make()


# --- PDDL --------------------------------------------------------------------------------------

REQUIREMENTS = {
    "blocksworld": {":strips"},
    "blocksworld-random": {":strips"},
    "gripper": {":strips"},
    "logistics": {":strips"},
    "numeric": {":strips", ":numeric-fluents"},
    "temporal": {":strips", ":durative-actions"},
}


@pytest.mark.parametrize("name", TASKS)
def test_pddl_files_are_well_formed(name, tmp_path):
    task = SMALLEST[name]
    domain_path, problem_path = task.write_pddl(tmp_path)
    domain, problem = parse_sexpr(open(domain_path).read()), parse_sexpr(open(problem_path).read())
    assert domain[:2] == ["define", ["domain", task.name.lower()]]
    assert problem[0] == "define" and problem[1][0] == "problem"
    d, p = sections(domain), sections(problem)
    assert set(d[":requirements"]) == REQUIREMENTS[name]
    assert p[":domain"] == [task.name.lower()]
    declared = [x[0] for x in d.get(":predicates", []) + d.get(":functions", [])]
    assert sorted(declared) == sorted(n.lower() for n in task.fluent_names)
    names = [a[1] for a in d["actions"]]
    assert names == [n.lower() for n in task.action_names]
    kinds = {a[0] for a in d["actions"]}
    assert kinds == ({":durative-action"} if task.is_temporal else {":action"})

    def atoms(e):
        if isinstance(e, list):
            if e and isinstance(e[0], str) and e[0].startswith(("?", ":")):
                return
            if len(e) == 1 and isinstance(e[0], str):
                yield e[0]
            for x in e:
                yield from atoms(x)

    used = set(atoms(d["actions"])) | set(atoms(p[":init"])) | set(atoms(p[":goal"]))
    assert used <= set(declared)

    # Every effect is a conjunction, even of a single effect (validators refuse a bare
    # one), of literals and numeric updates, each under `at start` or `at end` in a
    # durative action.
    for action in d["actions"]:
        effect = fields(action)[":effect"]
        assert effect[0] == "and", (action[1], effect)
        for e in effect[1:]:
            if task.is_temporal:
                assert e[:2] in (["at", "start"], ["at", "end"]) and len(e) == 3, (action[1], e)
                e = e[2]
            assert len(e) == 1 or e[0] == "not" or e[0] in ("assign", "increase", "decrease"), (action[1], e)


@pytest.mark.parametrize("name", TASKS)
def test_pddl_describes_the_same_task(name):
    # The module's plan must be executable, and reach the goal, under the PDDL alone.
    task = make_task(name, 3)
    plan, _, _ = solve(task, "gbfs", "hff", timeout=60)
    world = PddlWorld(task.pddl_domain, task.pddl_problem)
    running = set()
    assert not world.holds(world.goal)
    for a in plan:
        world.step(task.action_names[a.idx].lower(), running)
    assert not running and world.holds(world.goal)


@pytest.mark.parametrize(
    "name,damage",
    [
        ("numeric", lambda p: p[1:]),  # without the first load there is nothing to unload
        ("temporal", lambda p: [p[0], p[1], p[3], p[2]]),  # the match goes out mid-repair
    ],
)
def test_pddl_rejects_a_broken_plan(name, damage):
    task = SMALLEST[name]
    plan, _, _ = solve(task, "bfs", timeout=60)
    world = PddlWorld(task.pddl_domain, task.pddl_problem)
    running = set()
    with pytest.raises(AssertionError):
        for a in damage(plan):
            world.step(task.action_names[a.idx], running)
        assert world.holds(world.goal)


def test_pddl_numbers_are_exact():
    effects = single_effects(fuel_delivery(2).pddl_domain)
    assert ["decrease", ["fuel"], "0.75"] in effects and ["assign", ["fuel"], "2.5"] in effects
    durations = [fields(a)[":duration"] for a in sections(parse_sexpr(matchcellar(1).pddl_domain))["actions"]]
    assert ["=", "?duration", "4.5"] in durations


# --- command line ------------------------------------------------------------------------------


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "examples", *args], cwd=ROOT, capture_output=True, text=True,
                          timeout=120)


def test_cli_solves_and_writes_pddl(tmp_path):
    out = run_cli("gripper", "--size", "2", "--search", "astar", "--heuristic", "hmax", "--pddl", str(tmp_path))
    assert out.returncode == 0, out.stderr
    assert "plan (5 events, checked by replay)" in out.stdout
    assert sorted(os.listdir(tmp_path)) == ["gripper-2-domain.pddl", "gripper-2-problem.pddl"]
    assert "wastar_search: weight=0.5" in out.stderr  # the module's start record, through logging


def test_cli_prints_the_timed_plan():
    out = run_cli("temporal", "--size", "1")
    assert out.returncode == 0, out.stderr
    assert "0/1: (mend-fuse_fuse0) [9/2]" in out.stdout


def test_cli_shows_progress_every_10000_expansions():
    out = run_cli("gripper", "--size", "3", "--search", "bfs")
    assert out.returncode == 0, out.stderr
    assert "bfs: expanded=10000 generated=" in out.stderr


@pytest.mark.parametrize("args", [["gripper", "--search", "nope"], ["gripper", "--size", "0"], ["nope"]])
def test_cli_refuses_bad_arguments(args):
    out = run_cli(*args)
    assert out.returncode == 2 and "error" in out.stderr


def test_quickstart_runs():
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")], capture_output=True,
                         text=True, timeout=120, cwd="/")
    assert out.returncode == 0, out.stderr
    assert "601/100: (light-match_match1) [6/1]" in out.stdout


def test_module_is_the_installed_one():
    # The examples drive the installed extension, not a copy on the path.
    assert hasattr(qv, "SearchSpace") and qv.__file__.endswith((".so", ".pyd"))
