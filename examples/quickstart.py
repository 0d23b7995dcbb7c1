"""The first thing to run: one temporal task, end to end.

Builds the match-cellar task with two fuses (durative actions with start and end
events, a durative condition "light" over every repair and interfering effects on
the hand and the light), searches it with greedy best-first search and hff, checks
the plan by replaying it, and schedules it into a timed plan with exact start times
and durations. For other tasks, sizes and searches: python3 -m examples --help
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from examples import matchcellar  # noqa: E402
from examples.run import format_plan, format_timed_plan, replay, show_search_progress, solve  # noqa: E402

show_search_progress()
task = matchcellar(fuses=2)
print(f"{task.name}: {len(task.fluent_names)} fluents, {len(task.actions)} durative actions")
plan, stats, seconds = solve(task, "gbfs", "hff")
if plan is None:  # the match cellar always has a plan
    sys.exit("gbfs+hff found no plan")
replay(task, plan)
print(f"gbfs+hff found a plan in {seconds:.3f} s: {stats}")
print(format_plan(task, plan))
print("timed plan (start: (action) [duration]):")
print(format_timed_plan(task, plan))
