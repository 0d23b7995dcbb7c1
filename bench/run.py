"""Benchmark matrix: tasks x sizes x searches x heuristics, each run with a time limit.

    python3 bench/run.py [--quick] [--limit SECONDS] [--budget SECONDS]

Writes bench/results.json and bench/results.md. Every run happens in a fresh
subprocess, so its peak memory (maximum resident set size, from the rusage of that
child) belongs to that run alone. A second subprocess repeats runs that took at most
a few seconds with a counting wrapper around the heuristic to count evaluations; the
search sees the same values in the same order, so it follows the same path, and the
count is checked against the first run's expanded states. The module does not report
generated states, so that column says n/a. Nothing here asserts anything about speed.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time

from child_process import run_measured_child

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.dirname(os.path.abspath(__file__))

# (task, size for the blind search, sizes for the informed ones). Blind search has no
# duplicate detection, so it only gets a size it can finish.
TASKS = [
    ("blocksworld", 4, [6, 10]),
    ("blocksworld-random", 4, [8, 14]),
    ("gripper", 3, [4, 8]),
    ("logistics", 2, [4, 8]),
    ("numeric", 4, [6, 12]),
    ("temporal", 2, [2, 4]),
]
SEARCHES = ["gbfs", "astar", "ehc"]
HEURISTICS = ["hff", "hadd", "hmax", "hmax_explicit"]
BLIND = ["bfs"]  # run once per task
COUNT_IF_UNDER = 3.0  # seconds: longer runs are not repeated for the evaluation count


def matrix(quick: bool):
    runs = []
    for task, blind_size, sizes in TASKS:
        sizes = sizes[:1] if quick else sizes
        for search in BLIND:
            runs.append(dict(task=task, size=blind_size, search=search, heuristic=None))
        for size in sizes:
            for search in SEARCHES:
                for heuristic in HEURISTICS:
                    runs.append(dict(task=task, size=size, search=search, heuristic=heuristic))
    return runs


# --- child side --------------------------------------------------------------------------------


def child(spec: dict) -> dict:
    sys.path.insert(0, ROOT)
    import quorvane as qv

    from examples import make_task
    from examples.run import SEARCHES as RUN

    task = make_task(spec["task"], spec["size"])
    ss = task.search_space()
    h = None
    calls = [0]
    if spec["heuristic"]:
        h = task.heuristic(spec["heuristic"])
        if spec["count"]:
            inner = h

            def counted(state):
                calls[0] += 1
                return inner.eval(state, ss)

            h = qv.Heuristic.custom(counted, False)
    out = dict(fluents=len(task.fluent_names), actions=len(task.actions))
    began = time.perf_counter()
    try:
        plan, stats = RUN[spec["search"]](ss, h, spec["limit"])
    except TimeoutError:
        out.update(status="timeout", seconds=time.perf_counter() - began)
        return out
    out["seconds"] = time.perf_counter() - began
    out["expanded"] = int(stats["expanded_states"])
    out["status"] = "solved" if plan is not None else "no plan"
    out["plan_length"] = None if plan is None else len(plan)
    if spec["count"]:
        out["evaluations"] = calls[0]
    return out


# --- parent side -------------------------------------------------------------------------------


def run_child(spec: dict, limit: float) -> dict:
    """Runs one spec in a subprocess; returns its result with the child's peak RSS."""
    done = run_measured_child([sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)], limit + 60)
    wall = done.seconds
    if done.exit_code is None:
        return dict(status="killed", process_seconds=wall)
    if done.exit_code != 0:
        return dict(status="error", error=done.stderr.strip().splitlines()[-1:] or ["?"], process_seconds=wall)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result["process_seconds"] = wall
    result["peak_rss_kib"] = done.peak_rss_kib
    return result


def measure(spec: dict, limit: float) -> dict:
    base = dict(spec, limit=limit)
    result = run_child(dict(base, count=False), limit)
    row = dict(spec, **result)
    row["generated"] = None  # not reported by the module
    row["evaluations"] = None
    if spec["heuristic"] and result.get("status") == "solved" and result["seconds"] <= COUNT_IF_UNDER:
        counted = run_child(dict(base, count=True, limit=limit * 4 + 10), limit * 4 + 10)
        if counted.get("expanded") == result["expanded"]:
            row["evaluations"] = counted["evaluations"]
    if row["evaluations"] is not None and row["seconds"] > 0:
        row["evaluations_per_second"] = row["evaluations"] / row["seconds"]
    elif result.get("expanded") and row.get("seconds"):
        # Without a count: one expansion per evaluation is the lower bound we know.
        row["expanded_per_second"] = result["expanded"] / row["seconds"]
    return row


def machine() -> dict:
    import quorvane

    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = ""
    return dict(python=platform.python_version(), platform=platform.platform(), cpus=os.cpu_count(),
                processor=platform.processor(), module=quorvane.__file__, commit=commit,
                date=datetime.datetime.now().isoformat(timespec="seconds"))


def fmt(v, spec="{:.3f}"):
    return "n/a" if v is None else spec.format(v)


def markdown(doc: dict) -> str:
    m, s = doc["machine"], doc["settings"]
    lines = [
        "# quorvane benchmark",
        "",
        f"{m['date']}, commit {m['commit'] or '?'}, Python {m['python']}, {m['cpus']} CPUs, {m['platform']}.",
        f"Time limit per run {s['limit']} s. Produced by `python3 bench/run.py`; all times are wall-clock.",
        "",
        "Columns: plan length in events; expanded and generated states as the module counts them "
        "(generated is not reported: n/a); evaluations per second = counted heuristic evaluations / search "
        "time (marked ~ where only expanded states per second are known); search time; peak RSS of the "
        "process that ran the search.",
        "",
        "| task | size | fluents | actions | search | heuristic | status | plan | expanded | generated "
        "| evals/s | search s | process s | peak RSS MiB |",
        "|---|---:|---:|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in doc["runs"]:
        if r.get("evaluations_per_second") is not None:
            eps = f"{r['evaluations_per_second']:,.0f}"
        elif r.get("expanded_per_second") is not None:
            eps = f"~{r['expanded_per_second']:,.0f}"
        else:
            eps = "n/a"
        rss = r.get("peak_rss_kib")
        lines.append(
            f"| {r['task']} | {r['size']} | {r.get('fluents', '')} | {r.get('actions', '')} | {r['search']} "
            f"| {r['heuristic'] or '-'} | {r['status']} | {fmt(r.get('plan_length'), '{}')} "
            f"| {fmt(r.get('expanded'), '{}')} | n/a | {eps} | {fmt(r.get('seconds'))} "
            f"| {fmt(r.get('process_seconds'), '{:.2f}')} | {fmt(rss / 1024 if rss else None, '{:.1f}')} |"
        )
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="the smallest size of every task only")
    parser.add_argument("--limit", type=float, default=10.0, help="search time limit per run (s)")
    parser.add_argument("--budget", type=float, default=540.0,
                        help="stop starting runs after this many seconds in total; the rest are listed as skipped")
    parser.add_argument("--out", default=HERE, help="directory for results.json and results.md")
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0

    began = time.perf_counter()
    runs = []
    specs = matrix(args.quick)
    for i, spec in enumerate(specs):
        if time.perf_counter() - began > args.budget:
            runs.append(dict(spec, status="skipped (budget)"))
            continue
        row = measure(spec, args.limit)
        runs.append(row)
        print(f"[{i + 1}/{len(specs)}] {spec['task']} {spec['size']} {spec['search']} {spec['heuristic'] or '-'}: "
              f"{row['status']} {fmt(row.get('seconds'))} s", file=sys.stderr, flush=True)
    doc = dict(machine=machine(), settings=dict(limit=args.limit, budget=args.budget, quick=args.quick,
                                                total_seconds=time.perf_counter() - began), runs=runs)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(doc, f, indent=1)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(markdown(doc))
    print(f"wrote {args.out}/results.json and results.md in {doc['settings']['total_seconds']:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
