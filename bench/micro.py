"""Micro-benchmarks through the Python surface.

    python3 bench/micro.py [--seconds S] [--json PATH]

- successors per second: SearchSpace.get_successor_states over a fixed sample of
  states of a classical task with a few hundred fluents and actions;
- heuristic evaluations per second (hff, hadd, hmax, hmax_explicit) over the same
  sample, on that task and on a second one with a few hundred operators, with every
  cache off so that each call evaluates;
- whole searches: GBFS with hff and A* with hmax.

Each rate is measured by repeating the work until at least S seconds (default 1)
have passed; the rates include the cost of crossing into the module from Python.
Prints a Markdown table; nothing is asserted about speed.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from examples import blocksworld, gripper, logistics  # noqa: E402
from examples.run import solve  # noqa: E402


def sample_states(task, count: int, seed: int = 0) -> list:
    """States reached by random walks from the initial state, so that the sample
    covers different depths and not just the first layer."""
    rng = random.Random(seed)
    ss = task.search_space()
    init = ss.initial_state()
    states, state = [init], init
    while len(states) < count:
        succ = ss.get_successor_states(state)
        if not succ or rng.random() < 0.05:
            state = init
            continue
        state = rng.choice(succ)
        states.append(state)
    return states


def repeat(work, min_seconds: float):
    """Calls work() until min_seconds have passed; returns (total units, seconds)."""
    units, began = 0, time.perf_counter()
    while True:
        units += work()
        elapsed = time.perf_counter() - began
        if elapsed >= min_seconds:
            return units, elapsed


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="minimum measuring time per row")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args(argv)
    rows = []

    def row(what, task, units, seconds, unit, extra=""):
        rows.append(dict(what=what, task=task.name, fluents=len(task.fluent_names), actions=len(task.actions),
                         units=units, seconds=seconds, rate=units / seconds, unit=unit, extra=extra))
        print(f"{what} on {task.name}: {units / seconds:,.0f} {unit}/s {extra}", file=sys.stderr, flush=True)

    big = blocksworld(14, seed=1)  # 225 fluents, 392 actions
    wide = logistics(trucks=3, packages=8, cities=6, seed=8)
    states = {t.name: sample_states(t, 1000) for t in (big, wide)}

    ss = big.search_space()
    sample = states[big.name]

    calls = [0]

    def expand_all():
        calls[0] += len(sample)
        return sum(len(ss.get_successor_states(s)) for s in sample)

    units, seconds = repeat(expand_all, args.seconds)
    row("get_successor_states", big, units, seconds, "successors",
        f"({calls[0] / seconds:,.0f} calls/s, {units / calls[0]:.1f} successors per state)")

    for task in (big, wide):
        ss_t = task.search_space()
        for name in ("hff", "hadd", "hmax", "hmax_explicit"):
            h = task.heuristic(name, internal_caching=False, cache_value_in_state=False)
            sample_t = states[task.name]

            def evaluate(h=h, ss_t=ss_t, sample_t=sample_t):
                for s in sample_t:
                    h.eval(s, ss_t)
                return len(sample_t)

            units, seconds = repeat(evaluate, args.seconds)
            row(f"{name}.eval", task, units, seconds, "evaluations")

    for task, search, heuristic in [
        (blocksworld(14, seed=1), "gbfs", "hff"),
        (wide, "gbfs", "hff"),
        (blocksworld(7, seed=7), "astar", "hmax"),
        (gripper(5), "astar", "hmax"),
    ]:
        results = []

        def run(task=task, search=search, heuristic=heuristic):
            plan, stats, seconds = solve(task, search, heuristic, timeout=60)
            results.append((plan, stats, seconds))
            return int(stats["expanded_states"])

        units, seconds = repeat(run, args.seconds)
        plan, stats, _ = results[-1]
        row(f"{search}+{heuristic}", task, units, seconds, "expansions",
            f"({len(results)} runs, {seconds / len(results):.3f} s each, plan {len(plan)} events, "
            f"{stats['expanded_states']} expanded)")

    print("| benchmark | task | fluents | actions | rate | |")
    print("|---|---|---:|---:|---:|---|")
    for r in rows:
        print(f"| {r['what']} | {r['task']} | {r['fluents']} | {r['actions']} | {r['rate']:,.0f} {r['unit']}/s "
              f"| {r['extra']} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
