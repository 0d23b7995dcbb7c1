"""Searches still running in daemon threads when the interpreter exits.

At exit the interpreter ends every daemon thread that asks for the interpreter lock
again: a search that returns, a custom heuristic that is called, a log record that
is written. The process must still exit cleanly."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import logging
    import sys
    import threading
    import time

    import quorvane as qv

    I, F, OP, A = qv.make_int_constant_node, qv.make_fluent_node, qv.make_operator_node, qv.Action

    def counter(goal):
        # x counts up from 0; the goal x == goal lies `goal` steps away.
        step = qv.Event(A(0), 0, [F(0), I(goal), OP("<", [0, 1])], [], [], [qv.Effect(0, [F(0), I(1), OP("+", [0, 1])])])
        return qv.SearchSpace([None], {A(0): [(qv.Timing(True, 0), step)]}, [A(0)], None, None, None,
                              initial_state=[I(0)], goal=[F(0), I(goal), OP("==", [0, 1])])

    short, endless = counter(300), counter(10**9)
    custom = qv.Heuristic.custom(lambda s: 1.0, False)
    other = qv.Heuristic.custom(lambda s: 2.0, False)
    kind = sys.argv[1]
    if kind == "logging":
        # A handler that runs Python code for every record.
        class Count(logging.Handler):
            n = 0
            def emit(self, record):
                Count.n += 1
        logging.getLogger("quorvane_base").addHandler(Count())
        logging.getLogger("quorvane_base").setLevel(logging.DEBUG)

    SEARCHES = {
        # Each search returns, and so takes the lock back, many times a second; the
        # endless one holds a thread in the engine until the end.
        "bfs": (lambda: qv.bfs_search(short), lambda: qv.bfs_search(endless)),
        "custom": (lambda: qv.gbfs_search(short, custom), lambda: qv.gbfs_search(endless, custom)),
        "multiqueue": (lambda: qv.multiqueue_search(short, [(custom, 1.0), (other, 0.5)]),
                       lambda: qv.multiqueue_search(endless, [(custom, 1.0), (other, 0.5)])),
        # Progress records every 10000 expansions.
        "logging": (lambda: qv.bfs_search(counter(30000)), lambda: qv.dfs_search(endless)),
        "eval": (lambda: custom.eval(short.initial_state(), short), lambda: qv.astar_search(endless, custom)),
    }
    again, endless_search = SEARCHES[kind]

    running = threading.Barrier(4)
    def loop():
        running.wait()
        while True:
            again()
    def once():
        running.wait()
        endless_search()
    for target in (loop, loop, once):
        threading.Thread(target=target, daemon=True).start()
    running.wait()
    time.sleep(0.2)
    """
)

RUNS = 3  # the failure is a race: each case runs this many processes at once


@pytest.mark.parametrize("kind", ["bfs", "custom", "multiqueue", "logging", "eval"])
def test_daemon_thread_searching_at_exit_does_not_crash_the_process(kind, tmp_path):
    script = tmp_path / "daemon.py"
    script.write_text(SCRIPT)
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    procs = [
        subprocess.Popen([sys.executable, str(script), kind], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env=env)
        for _ in range(RUNS)
    ]
    for p in procs:
        out, err = p.communicate(timeout=120)
        assert (p.returncode, err) == (0, ""), kind
