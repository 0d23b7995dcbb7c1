"""python -m examples TASK --size N --search S --heuristic H [--pddl DIR]

Builds one generated task, searches it and prints the plan (and, for a temporal task,
the timed plan). The module's search records appear on stderr; at Debug level it logs
a progress line every 10,000 expansions.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence

from . import TASKS, make_task
from .run import HEURISTICS, SEARCHES, format_plan, format_timed_plan, replay, show_search_progress, solve


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m examples", description=__doc__.split("\n\n")[1])
    parser.add_argument("task", choices=sorted(TASKS), help="task family")
    parser.add_argument("--size", type=int, default=None, help="size parameter (default: the family's smallest)")
    parser.add_argument("--search", choices=list(SEARCHES), default="gbfs")
    parser.add_argument("--heuristic", choices=HEURISTICS, default="hff")
    parser.add_argument("--timeout", type=float, default=None, help="seconds (default: none)")
    parser.add_argument("--pddl", metavar="DIR", help="also write the task as a PDDL domain and problem into DIR")
    parser.add_argument("--quiet", action="store_true", help="hide the module's search records")
    args = parser.parse_args(argv)

    show_search_progress(logging.WARNING if args.quiet else logging.DEBUG)
    size = TASKS[args.task][1] if args.size is None else args.size
    try:
        task = make_task(args.task, size)
    except ValueError as e:
        parser.error(str(e))
    print(f"{task.name}: {len(task.fluent_names)} fluents, {len(task.actions)} actions"
          f"{', temporal' if task.is_temporal else ''}")
    if args.pddl:
        domain, problem = task.write_pddl(args.pddl)
        print(f"PDDL: {domain} {problem}")

    try:
        plan, stats, seconds = solve(task, args.search, args.heuristic, args.timeout)
    except TimeoutError:
        print(f"no plan within {args.timeout} s")
        return 2
    heuristic = "" if args.search in ("bfs", "dfs") else f"+{args.heuristic}"
    print(f"{args.search}{heuristic}: {seconds:.3f} s, " + ", ".join(f"{k}={v}" for k, v in sorted(stats.items())))
    if plan is None:
        print("no plan exists")
        return 1
    replay(task, plan)  # a plan that does not replay to the goal raises here
    print(f"plan ({len(plan)} events, checked by replay):")
    print(format_plan(task, plan))
    if task.is_temporal:
        print("timed plan (start: (action) [duration]):")
        print(format_timed_plan(task, plan))
    return 0


if __name__ == "__main__":
    sys.exit(main())
