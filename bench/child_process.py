"""One benchmark child process, measured: its own wall time and peak RSS."""
from __future__ import annotations

import os
import subprocess
import time
from dataclasses import dataclass


@dataclass
class Finished:
    exit_code: int | None  # None: killed at the wall limit
    stdout: str
    stderr: str
    seconds: float
    peak_rss_kib: int  # Linux reports kibibytes


def run_measured_child(argv: list[str], wall_limit: float) -> Finished:
    """Runs argv; kills it once wall_limit seconds have passed."""
    began = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = began + wall_limit
    # wait4 gives this child's own rusage; getrusage(RUSAGE_CHILDREN) would only give
    # the largest child so far.
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            proc.kill()
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = -9
            proc.stdout.close()
            proc.stderr.close()
            return Finished(None, "", "", time.perf_counter() - began, usage.ru_maxrss)
        time.sleep(0.01)
    stdout, stderr = proc.stdout.read(), proc.stderr.read()
    proc.stdout.close()
    proc.stderr.close()
    return Finished(os.waitstatus_to_exitcode(status), stdout, stderr, time.perf_counter() - began, usage.ru_maxrss)
