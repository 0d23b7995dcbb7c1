"""A fixed matrix of generated tasks x searches x heuristics, and what the engine
answers on it: plans, statistics, log records, timed plans and heuristic values.

    python3 tests/determinism_matrix.py --record    # rewrite tests/data/determinism.json
    python3 tests/determinism_matrix.py --check     # compare against it, print differences

`test_determinism.py` runs the same comparison in the test suite. The recorded answers
are the contract that performance work must keep: a faster engine gives exactly these
plans, expansion counts, log texts and heuristic values.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import quorvane as qv  # noqa: E402

from examples import make_task  # noqa: E402

DATA = os.path.join(HERE, "data", "determinism.json")
LOGGERS = ("quorvane_base.search", "quorvane_base.multiqueue")
HEURISTICS = ("hff", "hadd", "hmax", "hmax_explicit")

# name -> function(search space, heuristic) -> (plan, stats)
SEARCHES = {
    "bfs": lambda ss, h: qv.bfs_search(ss),
    "bfs_et": lambda ss, h: qv.bfs_search(ss, early_termination=True),
    "ehc": lambda ss, h: qv.ehc_search(ss, h),
    "gbfs": lambda ss, h: qv.gbfs_search(ss, h),
    "gbfs_et": lambda ss, h: qv.gbfs_search(ss, h, early_termination=True),
    "astar": lambda ss, h: qv.astar_search(ss, h),
    "wastar": lambda ss, h: qv.wastar_search(ss, h, 0.7),
    "gbfs_mb": lambda ss, h: qv.gbfs_search_memory_bounded(ss, h),
    "astar_mb": lambda ss, h: qv.astar_search_memory_bounded(ss, h),
    "wastar_mb": lambda ss, h: qv.wastar_search_memory_bounded(ss, h, 0.7),
    "multiqueue": lambda ss, h: qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)]),
}
INFORMED = [s for s in SEARCHES if not s.startswith(("bfs", "dfs"))]
# Weak equality only changes anything in temporal tasks.
WEAK = {
    "gbfs_weq": lambda ss, h: qv.gbfs_search(ss, h, weak_equality=True),
    "astar_weq": lambda ss, h: qv.astar_search(ss, h, weak_equality=True),
    "ehc_weq": lambda ss, h: qv.ehc_search(ss, h, weak_equality=True),
    "multiqueue_weq": lambda ss, h: qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)], weak_equality=True),
}


def untimed(task):
    """The task with every duration dropped: actions keep their several events but
    no temporal network is built."""
    import copy

    t = copy.copy(task)
    t.actions_duration = [None] * len(task.actions_duration)
    t.name = task.name + "-untimed"
    return t


# (case name, task factory, searches run with every heuristic, blind searches)
def cases():
    return [
        ("blocksworld-4", lambda: make_task("blocksworld", 4), INFORMED, ["bfs", "bfs_et"]),
        ("blocksworld-random-6", lambda: make_task("blocksworld-random", 6), INFORMED, []),
        ("gripper-3", lambda: make_task("gripper", 3), INFORMED, ["bfs_et"]),
        ("logistics-3", lambda: make_task("logistics", 3), INFORMED, []),
        ("numeric-6", lambda: make_task("numeric", 6), INFORMED, []),
        ("temporal-2", lambda: make_task("temporal", 2), INFORMED + list(WEAK), ["bfs_et"]),
        ("temporal-3", lambda: make_task("temporal", 3), INFORMED + list(WEAK), []),
        ("temporal-2-untimed", lambda: untimed(make_task("temporal", 2)), INFORMED, ["bfs"]),
    ]


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append(f"{record.name} {record.levelname} {record.getMessage()}")


# The module reads a logger's level once per process, at its first record: set it on
# import, before any search of the process runs.
for _name in LOGGERS:
    logging.getLogger(_name).setLevel(logging.DEBUG)


def enable_logging():
    handler = Records()
    for name in LOGGERS:
        logging.getLogger(name).addHandler(handler)
    return handler


def sample_states(ss, count, seed):
    rng = random.Random(seed)
    init = ss.initial_state()
    states, state = [init], init
    tries = 0
    while len(states) < count and tries < 20 * count:
        tries += 1
        succ = ss.get_successor_states(state)
        if not succ or rng.random() < 0.1:
            state = init
            continue
        state = rng.choice(succ)
        states.append(state)
    return states


def value(v):
    return None if v is None else repr(v)


def run_case(name, make, informed, blind, handler):
    task = make()
    out = {"searches": {}, "values": {}, "reachable": {}}
    searches = dict(SEARCHES, **WEAK)
    runs = [(s, None) for s in blind] + [(s, h) for s in informed for h in HEURISTICS]
    for search, hname in runs:
        ss = task.search_space()
        h = None if hname is None else task.heuristic(hname)
        handler.lines.clear()
        plan, stats = searches[search](ss, h)
        entry = {
            "plan": None if plan is None else [a.idx for a in plan],
            "stats": dict(stats),
            "log": list(handler.lines),
        }
        if plan is not None and task.is_temporal:
            entry["timed"] = [[start, a.idx, d] for start, a, d in ss.build_plan(plan)]
        out["searches"][f"{search}/{hname}" if hname else search] = entry

    ss = task.search_space()
    states = sample_states(ss, 40, seed=len(name))
    for hname in HEURISTICS:
        h = task.heuristic(hname)
        out["values"][hname] = [value(h.eval(s, ss)) for s in states]
        if hname != "hmax_explicit":
            out["reachable"][hname] = [sorted(a.idx for a in h.reachable_actions(s)) for s in states[:10]]
    return out


def compute():
    handler = enable_logging()
    try:
        return {name: run_case(name, make, informed, blind, handler) for name, make, informed, blind in cases()}
    finally:
        for name in LOGGERS:
            logging.getLogger(name).removeHandler(handler)


def differences(expected, actual):
    """Human-readable differences, at most a few per case."""
    out = []
    for case in sorted(set(expected) | set(actual)):
        if case not in actual or case not in expected:
            out.append(f"{case}: present on one side only")
            continue
        e, a = expected[case], actual[case]
        for part in ("searches", "values", "reachable"):
            for key in sorted(set(e[part]) | set(a[part])):
                if e[part].get(key) != a[part].get(key):
                    out.append(f"{case} {part} {key}: expected {e[part].get(key)!r:.300}, got {a[part].get(key)!r:.300}")
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--record", action="store_true")
    group.add_argument("--check", action="store_true")
    args = parser.parse_args(argv)
    actual = compute()
    if args.record:
        os.makedirs(os.path.dirname(DATA), exist_ok=True)
        with open(DATA, "w") as f:
            json.dump(actual, f, indent=1, sort_keys=True)
            f.write("\n")
        print(f"recorded {DATA}")
        return 0
    with open(DATA) as f:
        expected = json.load(f)
    diff = differences(expected, actual)
    print("\n".join(diff) if diff else "identical")
    return 1 if diff else 0


if __name__ == "__main__":
    sys.exit(main())
