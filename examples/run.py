"""Running a search on a generated task and showing its plan."""

from __future__ import annotations

import logging
import time
from collections.abc import Callable, Sequence
from typing import Any

import quorvane as qv

from .model import GroundTask

HEURISTICS = ("hff", "hadd", "hmax", "hmax_explicit")
UNINFORMED = ("bfs", "dfs")

# (plan, statistics), as the search functions return it
SearchResult = tuple[list[qv.Action] | None, dict[str, str]]

# name -> function(search space, heuristic, timeout) -> (plan, stats); the heuristic is
# None for the uninformed searches.
SEARCHES: dict[str, Callable[[qv.SearchSpace, Any, float | None], SearchResult]] = {
    "bfs": lambda ss, h, t: qv.bfs_search(ss, timeout=t),
    "dfs": lambda ss, h, t: qv.dfs_search(ss, timeout=t),
    "ehc": lambda ss, h, t: qv.ehc_search(ss, h, timeout=t),
    "gbfs": lambda ss, h, t: qv.gbfs_search(ss, h, timeout=t),
    "astar": lambda ss, h, t: qv.astar_search(ss, h, timeout=t),
    "wastar": lambda ss, h, t: qv.wastar_search(ss, h, 0.7, timeout=t),
    "gbfs_mb": lambda ss, h, t: qv.gbfs_search_memory_bounded(ss, h, timeout=t),
    "astar_mb": lambda ss, h, t: qv.astar_search_memory_bounded(ss, h, timeout=t),
    "wastar_mb": lambda ss, h, t: qv.wastar_search_memory_bounded(ss, h, 0.7, timeout=t),
    "multiqueue": lambda ss, h, t: qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)], timeout=t),
}

SEARCH_LOGGERS = ("quorvane_base.search", "quorvane_base.multiqueue")


def show_search_progress(level: int = logging.DEBUG) -> None:
    """Sends the module's search records to stderr. The module reads a logger's level
    once, when it first logs to it, so this must run before the first search."""
    logging.basicConfig(format="%(asctime)s %(name)s %(levelname)s %(message)s", level=logging.WARNING)
    for name in SEARCH_LOGGERS:
        logging.getLogger(name).setLevel(level)


def solve(task: GroundTask, search: str = "gbfs", heuristic: str = "hff",
          timeout: float | None = None) -> tuple[list[qv.Action] | None, dict[str, str], float]:
    """Returns (plan, stats, seconds); plan is None when the search found none."""
    if search not in SEARCHES:
        raise ValueError(f"unknown search {search!r}; known: {', '.join(SEARCHES)}")
    if heuristic not in HEURISTICS:
        raise ValueError(f"unknown heuristic {heuristic!r}; known: {', '.join(HEURISTICS)}")
    ss = task.search_space()
    h = None if search in UNINFORMED else task.heuristic(heuristic)
    began = time.perf_counter()
    plan, stats = SEARCHES[search](ss, h, timeout)
    return plan, stats, time.perf_counter() - began


def replay(task: GroundTask, plan: Sequence[qv.Action]) -> list[qv.State]:
    """The states along the plan, initial state first; raises when a step does not apply."""
    ss = task.search_space()
    states = [ss.initial_state()]
    for step, action in enumerate(plan):
        nxt = ss.get_successor_state(states[-1], action)
        if nxt is None:
            raise ValueError(f"step {step} ({task.action_names[action.idx]}) does not apply")
        states.append(nxt)
    if not ss.goal_reached(states[-1]):
        raise ValueError("the plan does not reach the goal")
    return states


def format_plan(task: GroundTask, plan: Sequence[qv.Action]) -> str:
    return "\n".join(f"{i:4d}: {task.action_names[a.idx]}" for i, a in enumerate(plan))


def format_timed_plan(task: GroundTask, plan: Sequence[qv.Action]) -> str:
    """Start times and durations are exact rationals, as build_plan gives them."""
    timed = task.search_space().build_plan(plan)
    lines = []
    for start, action, duration in timed:
        lines.append(f"{start:>10}: ({task.action_names[action.idx]}) [{duration if duration is not None else '0'}]")
    return "\n".join(lines)
