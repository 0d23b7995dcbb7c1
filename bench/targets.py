"""What a search costs per state: memory, expansions, evaluations, successors, threads.

    python3 bench/targets.py [--only NAME ...] [--json PATH] [--quick]

One command, one table per measurement, each row measured in a fresh subprocess so
that its peak memory is its own:

- memory: A* + hmax; bytes of peak RSS growth per expanded state and per stored
  state (states the search evaluated: every state it keeps is evaluated once);
- gbfs-hff: greedy best-first search with hff; microseconds per expansion and per
  evaluation, on growing gripper and blocksworld tasks;
- astar-hmax: the same for A* with hmax;
- hff-eval: microseconds per hff evaluation over states from random walks, with every
  cache off;
- successors: breadth-first search with early termination; successors generated per
  second (read from the search's own progress records) and microseconds per expansion;
- temporal: the match cellar with gbfs + hff; expansions per second as it grows;
- threads: the same greedy searches run by N threads over one search space and one
  heuristic, against one thread running them one after the other; in rounds of one
  of each, the fastest of each kept;
- timeouts: A* + hff on the temporal match cellar of size 5 without weak equality,
  stopped by its time limit (1, 3, 5 s): how long after its start the call returns;
- rlimit: the largest match cellar gbfs + hff solves under a 4 GiB address-space
  limit, walking the sizes upward until the first that fails.

Times are wall-clock and include nothing but the search call (or the evaluations).
Nothing is asserted; the numbers go to bench/results.md by hand, before and after.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import resource
import subprocess
import statistics
import sys
import threading
import time

from child_process import run_measured_child

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

GBFS_SIZES = [("gripper", 16), ("gripper", 24), ("gripper", 32),
              ("blocksworld", 14), ("blocksworld", 20), ("blocksworld", 30), ("blocksworld", 40)]
ASTAR_SIZES = [("gripper", 5), ("blocksworld-random", 8), ("logistics", 4)]
MEMORY_SIZES = [("gripper", 5), ("gripper", 11), ("blocksworld-random", 8), ("logistics", 4)]
BFS_SIZES = [("gripper", 4), ("blocksworld-random", 6)]
TEMPORAL_SIZES = [10, 20, 30]
TIMEOUT_LIMITS = [1.0, 3.0, 5.0]
RLIMIT_BYTES = 4 << 30
RLIMIT_SIZES = [20, 40, 54, 56, 58, 60, 64, 70, 80, 100, 120, 160, 190]


# --- child side --------------------------------------------------------------------------------


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def child(spec: dict) -> dict:
    sys.path.insert(0, ROOT)
    import quorvane as qv

    from examples import make_task

    kind = spec["kind"]
    if kind == "timeout":
        return stopped_by_time(spec)
    if kind == "hff-eval":
        return hff_eval(spec)
    if kind == "threads":
        return threads(spec)

    progress = []
    if spec.get("search") == "bfs":

        class Last(logging.Handler):
            def emit(self, record):
                if "generated=" in record.getMessage():
                    progress.append(record.getMessage())

        logger = logging.getLogger("quorvane_base.search")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(Last())

    task = make_task(spec["task"], spec["size"])
    ss = task.search_space()
    h = task.heuristic(spec["heuristic"]) if spec.get("heuristic") else None
    calls = [0]
    if spec.get("count"):
        inner = h

        def counted(state):
            calls[0] += 1
            return inner.eval(state, ss)

        h = qv.Heuristic.custom(counted, False)
    search = {
        "gbfs": lambda: qv.gbfs_search(ss, h, timeout=spec["limit"]),
        "astar": lambda: qv.astar_search(ss, h, timeout=spec["limit"]),
        "bfs": lambda: qv.bfs_search(ss, timeout=spec["limit"], early_termination=True),
    }[spec["search"]]
    before = rss_kib()
    began = time.perf_counter()
    try:
        plan, stats = search()
    except TimeoutError:
        return dict(status="timeout", seconds=time.perf_counter() - began)
    seconds = time.perf_counter() - began
    # A short search is timed again, each time with a fresh heuristic (whose caches
    # would otherwise answer), and the median is kept: one run of a millisecond says
    # more about the machine than about the search.
    if not spec.get("count") and seconds < 0.2:
        times = [seconds]
        while sum(times) < 0.5 and len(times) < 51:
            if spec.get("heuristic"):
                h = task.heuristic(spec["heuristic"])
            again = time.perf_counter()
            search()
            times.append(time.perf_counter() - again)
        seconds = statistics.median(times)
    out = dict(status="solved" if plan is not None else "no plan", seconds=seconds,
               expanded=int(stats["expanded_states"]), rss_before_kib=before,
               fluents=len(task.fluent_names), actions=len(task.actions))
    if spec.get("count"):
        out["evaluations"] = calls[0]
    if progress:
        last = progress[-1]  # "bfs: expanded=N generated=M open=K"
        fields = dict(part.split("=") for part in last.split(": ", 1)[1].split())
        out["progress_expanded"] = int(fields["expanded"])
        out["progress_generated"] = int(fields["generated"])
    return out


def stopped_by_time(spec: dict) -> dict:
    import quorvane as qv

    from examples import make_task

    task = make_task("temporal", spec["size"])
    ss = task.search_space()
    h = task.heuristic("hff")
    began = time.perf_counter()
    try:
        qv.astar_search(ss, h, timeout=spec["limit"])
        status = "returned"
    except TimeoutError:
        status = "timeout"
    seconds = time.perf_counter() - began
    return dict(status=status, seconds=seconds, overshoot=seconds - spec["limit"])


def hff_eval(spec: dict) -> dict:
    sys.path.insert(0, ROOT)
    sys.path.insert(0, HERE)
    from examples import make_task
    from micro import sample_states

    task = make_task(spec["task"], spec["size"])
    ss = task.search_space()
    states = sample_states(task, spec["states"])
    h = task.heuristic(spec["heuristic"], internal_caching=False, cache_value_in_state=False)
    evaluations, began = 0, time.perf_counter()
    while time.perf_counter() - began < spec["seconds"]:
        for s in states:
            h.eval(s, ss)
        evaluations += len(states)
    seconds = time.perf_counter() - began
    return dict(status="ok", evaluations=evaluations, seconds=seconds,
                fluents=len(task.fluent_names), actions=len(task.actions))


def threads(spec: dict) -> dict:
    sys.path.insert(0, ROOT)
    import quorvane as qv

    from examples import make_task

    task = make_task(spec["task"], spec["size"])
    ss = task.search_space()
    h = task.heuristic("hff", internal_caching=spec["caching"])
    n, k = spec["threads"], spec["repeat"]

    def one():
        plan, stats = qv.gbfs_search(ss, h)
        return [a.idx for a in plan], stats

    one()  # warm-up: first-use costs out of the way

    def serial_round():
        began = time.perf_counter()
        out = [one() for _ in range(n * k)]
        return time.perf_counter() - began, out

    def parallel_round():
        out = [None] * (n * k)

        def work(i):
            for j in range(k):
                out[i * k + j] = one()

        workers = [threading.Thread(target=work, args=(i,)) for i in range(n)]
        began = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return time.perf_counter() - began, out

    # Rounds of one serial and one parallel run each, side by side, so that a slow spell
    # of the machine falls on both; the fastest of each is kept (noise only ever adds).
    serial_times, parallel_times, same = [], [], True
    first = None
    for _ in range(spec["rounds"]):
        for run, times in ((serial_round, serial_times), (parallel_round, parallel_times)):
            seconds, results = run()
            times.append(seconds)
            first = first or results[0]
            same = same and all(r == first for r in results)
    serial_seconds, parallel_seconds = min(serial_times), min(parallel_times)
    ratios = sorted(s / p for s, p in zip(serial_times, parallel_times))
    return dict(status="ok", serial_seconds=serial_seconds, parallel_seconds=parallel_seconds,
                speedup=serial_seconds / parallel_seconds, median_round_speedup=ratios[len(ratios) // 2],
                rounds=spec["rounds"], same_results=same, expanded=int(first[1]["expanded_states"]))


# --- parent side -------------------------------------------------------------------------------


def run_child(spec: dict, wall_limit: float) -> dict:
    began = time.perf_counter()
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        stdout, stderr = proc.communicate(timeout=wall_limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return dict(status="killed")
    # The children's peak RSS: this child is the only one running, and each child
    # replaces the previous maximum only when it is larger, so read it per child below.
    if proc.returncode != 0:
        return dict(status="error", error=(stderr.strip().splitlines() or ["?"])[-1])
    out = json.loads(stdout.strip().splitlines()[-1])
    out["process_seconds"] = time.perf_counter() - began
    return out


def run_measured(spec: dict, wall_limit: float) -> dict:
    """Like run_child, with the child's own peak RSS (wait4 rusage)."""
    done = run_measured_child([sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)], wall_limit)
    if done.exit_code is None:
        return dict(status="killed")
    if done.exit_code != 0:
        return dict(status="error", error=(done.stderr.strip().splitlines() or ["?"])[-1])
    out = json.loads(done.stdout.strip().splitlines()[-1])
    out["peak_rss_kib"] = done.peak_rss_kib
    return out


def fmt(v, spec="{:,.1f}"):
    return "n/a" if v is None else spec.format(v)


def measure_memory(limit, sizes):
    rows = []
    for task, size in sizes:
        spec = dict(kind="search", task=task, size=size, search="astar", heuristic="hmax", limit=limit)
        r = run_measured(spec, limit + 120)
        if r.get("status") == "solved":
            c = run_child(dict(spec, count=True, limit=limit * 4), limit * 4 + 120)
            if c.get("expanded") == r["expanded"]:
                r["evaluations"] = c["evaluations"]
        growth = None
        if r.get("peak_rss_kib") and r.get("rss_before_kib") is not None:
            growth = (r["peak_rss_kib"] - r["rss_before_kib"]) * 1024
        r.update(task=task, size=size, growth=growth)
        r["bytes_per_expanded"] = growth / r["expanded"] if growth is not None and r.get("expanded") else None
        r["bytes_per_stored"] = growth / r["evaluations"] if growth is not None and r.get("evaluations") else None
        rows.append(r)
        print(f"memory {task}-{size}: {r.get('status')} {fmt(r.get('bytes_per_expanded'))} B/expanded "
              f"{fmt(r.get('bytes_per_stored'))} B/stored", file=sys.stderr, flush=True)
    lines = ["### memory: A* + hmax", "",
             "| task | expanded | stored (evaluated) | RSS growth MiB | bytes / expanded | bytes / stored | s |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['task']}-{r['size']} | {fmt(r.get('expanded'), '{:,}')} | "
                     f"{fmt(r.get('evaluations'), '{:,}')} | "
                     f"{fmt(r['growth'] / 2**20 if r.get('growth') is not None else None)} | "
                     f"{fmt(r.get('bytes_per_expanded'), '{:,.0f}')} | {fmt(r.get('bytes_per_stored'), '{:,.0f}')} | "
                     f"{fmt(r.get('seconds'), '{:.2f}')} ({r.get('status')}) |")
    return rows, lines


def measure_search(name, search, heuristic, limit, sizes):
    rows = []
    for task, size in sizes:
        spec = dict(kind="search", task=task, size=size, search=search, heuristic=heuristic, limit=limit)
        r = run_child(spec, limit + 120)
        if r.get("status") == "solved" and heuristic:
            c = run_child(dict(spec, count=True, limit=limit * 4), limit * 4 + 120)
            if c.get("expanded") == r["expanded"]:
                r["evaluations"] = c["evaluations"]
        r.update(task=task, size=size)
        if r.get("expanded"):
            r["us_per_expansion"] = r["seconds"] / r["expanded"] * 1e6
        if r.get("evaluations"):
            r["us_per_evaluation"] = r["seconds"] / r["evaluations"] * 1e6
        if r.get("progress_generated"):
            # Generated per second over the whole search, from the last progress record.
            r["successors_per_second"] = r["progress_generated"] / r["seconds"] * r["expanded"] / r[
                "progress_expanded"]
        rows.append(r)
        print(f"{name} {task}-{size}: {r.get('status')} {fmt(r.get('us_per_expansion'))} us/expansion",
              file=sys.stderr, flush=True)
    lines = [f"### {name}", "",
             "| task | fluents | actions | expanded | evaluations | s | µs / expansion | µs / evaluation "
             "| successors / s |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['task']}-{r['size']} | {fmt(r.get('fluents'), '{}')} | {fmt(r.get('actions'), '{}')} "
                     f"| {fmt(r.get('expanded'), '{:,}')} | {fmt(r.get('evaluations'), '{:,}')} "
                     f"| {fmt(r.get('seconds'), '{:.3f}')} ({r.get('status')}) "
                     f"| {fmt(r.get('us_per_expansion'))} | {fmt(r.get('us_per_evaluation'))} "
                     f"| {fmt(r.get('successors_per_second'), '{:,.0f}')} |")
    return rows, lines


def measure_hff_eval(seconds, sizes):
    rows = []
    for task, size in sizes:
        spec = dict(kind="hff-eval", task=task, size=size, heuristic="hff", states=200, seconds=seconds)
        r = run_child(spec, 600)
        r.update(task=task, size=size)
        if r.get("evaluations"):
            r["us_per_evaluation"] = r["seconds"] / r["evaluations"] * 1e6
        rows.append(r)
        print(f"hff-eval {task}-{size}: {fmt(r.get('us_per_evaluation'))} us", file=sys.stderr, flush=True)
    lines = ["### hff evaluations over random-walk states, caches off", "",
             "| task | fluents | actions | evaluations | µs / evaluation |", "|---|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['task']}-{r['size']} | {fmt(r.get('fluents'), '{}')} | {fmt(r.get('actions'), '{}')} "
                     f"| {fmt(r.get('evaluations'), '{:,}')} | {fmt(r.get('us_per_evaluation'))} |")
    return rows, lines


def measure_threads(n, task, size, repeat, rounds):
    rows = []
    lines = ["### threads: gbfs + hff, one search space and one heuristic", "",
             "| task | value cache | threads | searches per thread | expanded per search | rounds "
             "| fastest serial s | fastest parallel s | speedup | median round speedup | same results |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    # Without the heuristic's value cache every search computes every value; with it,
    # all but the first search find their values in the cache the threads share.
    for caching in (False, True):
        spec = dict(kind="threads", task=task, size=size, threads=n, repeat=repeat, rounds=rounds, caching=caching)
        r = run_child(spec, 1800)
        r.update(task=task, size=size, threads=n, caching=caching)
        print(f"threads {n}: {r}", file=sys.stderr, flush=True)
        rows.append(r)
        lines.append(
            f"| {task}-{size} | {'shared' if caching else 'off'} | {n} | {repeat} | {fmt(r.get('expanded'), '{:,}')} "
            f"| {rounds} | {fmt(r.get('serial_seconds'), '{:.3f}')} | {fmt(r.get('parallel_seconds'), '{:.3f}')} "
            f"| {fmt(r.get('speedup'), '{:.2f}')} | {fmt(r.get('median_round_speedup'), '{:.2f}')} "
            f"| {r.get('same_results')} |")
    return rows, lines


def measure_timeouts(limits):
    rows = []
    for limit in limits:
        r = run_measured(dict(kind="timeout", size=5, limit=limit), limit + 600)
        r.update(limit=limit)
        rows.append(r)
        print(f"timeouts {limit}: {r.get('status')} {fmt(r.get('seconds'), '{:.3f}')} s", file=sys.stderr, flush=True)
    lines = ["### timeouts: A* + hff, match cellar 5, no weak equality", "",
             "| time limit s | returned after s | overshoot s | peak RSS MiB | status |", "|---:|---:|---:|---:|---|"]
    for r in rows:
        lines.append(f"| {r['limit']:.0f} | {fmt(r.get('seconds'), '{:.3f}')} | {fmt(r.get('overshoot'), '{:.3f}')} "
                     f"| {fmt(r['peak_rss_kib'] / 1024 if r.get('peak_rss_kib') else None, '{:,.0f}')} "
                     f"| {r.get('status')} |")
    return rows, lines


def measure_rlimit(limit, sizes):
    rows = []
    for size in sizes:
        spec = dict(kind="search", task="temporal", size=size, search="gbfs", heuristic="hff", limit=limit,
                    rlimit_as=RLIMIT_BYTES)
        r = run_measured(spec, limit + 300)
        if r.get("status") == "error" and "MemoryError" in r.get("error", ""):
            r["status"] = "out of memory"
        r.update(size=size)
        rows.append(r)
        print(f"rlimit {size}: {r.get('status')}", file=sys.stderr, flush=True)
        if r.get("status") != "solved":
            break
    solved = [r["size"] for r in rows if r.get("status") == "solved"]
    lines = [f"### rlimit: gbfs + hff on the match cellar under {RLIMIT_BYTES >> 30} GiB of address space", "",
             "| size | status | s | expanded | peak RSS MiB |", "|---:|---|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['size']} | {r.get('status')} | {fmt(r.get('seconds'), '{:.2f}')} "
                     f"| {fmt(r.get('expanded'), '{:,}')} "
                     f"| {fmt(r['peak_rss_kib'] / 1024 if r.get('peak_rss_kib') else None, '{:,.0f}')} |")
    lines += ["", f"Largest size solved: {max(solved) if solved else 'none'}."]
    return rows, lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--only", nargs="*",
                        help="memory gbfs-hff astar-hmax hff-eval successors temporal threads timeouts rlimit")
    parser.add_argument("--limit", type=float, default=300.0, help="time limit per search (s)")
    parser.add_argument("--quick", action="store_true", help="smaller tasks, for a quick look")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--json", help="also write every row to this file")
    args = parser.parse_args(argv)
    if args.child:
        spec = json.loads(args.child)
        # The address-space limit comes first, before the module takes any memory.
        if spec.get("rlimit_as"):
            resource.setrlimit(resource.RLIMIT_AS, (spec["rlimit_as"], spec["rlimit_as"]))
        print(json.dumps(child(spec)))
        return 0

    quick = args.quick
    parts = {
        "memory": lambda: measure_memory(args.limit, MEMORY_SIZES[:1] if quick else MEMORY_SIZES),
        "gbfs-hff": lambda: measure_search("gbfs-hff", "gbfs", "hff", args.limit,
                                           GBFS_SIZES[::3] if quick else GBFS_SIZES),
        "astar-hmax": lambda: measure_search("astar-hmax", "astar", "hmax", args.limit,
                                             ASTAR_SIZES[:1] if quick else ASTAR_SIZES),
        "hff-eval": lambda: measure_hff_eval(2.0, [("blocksworld", 14)] if quick else
                                             [("blocksworld", 14), ("blocksworld", 40)]),
        "successors": lambda: measure_search("successors (bfs, early termination)", "bfs", None, args.limit,
                                             BFS_SIZES[:1] if quick else BFS_SIZES),
        "temporal": lambda: measure_search("temporal: match cellar, gbfs + hff", "gbfs", "hff", args.limit,
                                           [("temporal", n) for n in (TEMPORAL_SIZES[:1] if quick
                                                                      else TEMPORAL_SIZES)]),
        "threads": lambda: measure_threads(args.threads, "gripper", 16 if quick else 24, 2 if quick else 8,
                                           3 if quick else 9),
        "timeouts": lambda: measure_timeouts(TIMEOUT_LIMITS[:1] if quick else TIMEOUT_LIMITS),
        "rlimit": lambda: measure_rlimit(min(args.limit, 300.0), RLIMIT_SIZES[:2] if quick else RLIMIT_SIZES),
    }
    chosen = args.only or list(parts)
    unknown = [p for p in chosen if p not in parts]
    if unknown:
        parser.error(f"unknown part(s): {', '.join(unknown)}")
    everything, text = {}, []
    for name in chosen:
        rows, lines = parts[name]()
        everything[name] = rows
        text += lines + [""]
    print("\n".join(text))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(everything, f, indent=1)
    return 0


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    sys.exit(main())
