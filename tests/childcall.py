"""Runs calls in a forked child process, so that a call that kills the interpreter (a
signal, an abort) or hangs is reported as a test failure instead of ending the test run.

The child inherits everything the parent has built; only the outcome of each call
travels back, as plain data. A fork copies only the calling thread: call these while
no other thread of the test run is inside the module, or a lock it held stays taken
in the child."""

import faulthandler
import os
import pickle
import select
import signal
import struct
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Outcome:
    """What one call did: returned (`raised` is None) or raised."""

    raised: str | None = None  # qualified name of the exception's class
    message: str = ""
    notes: tuple = ()
    is_exception: bool = True  # an Exception, not only a BaseException

    @property
    def ok(self):
        return self.raised is None


@dataclass(frozen=True)
class Run:
    outcomes: list  # one Outcome per call that finished, in call order
    death: str | None  # None when the child exited normally after the last call

    def __str__(self):
        return self.death or "exited normally"


def _qualified(cls):
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def _outcome(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - every exception is an outcome here
        return Outcome(
            raised=_qualified(type(e)),
            message=str(e)[:300],
            notes=tuple(str(n)[:300] for n in getattr(e, "__notes__", ())),
            is_exception=isinstance(e, Exception),
        )
    return Outcome()


def _child(calls, w):
    for call in calls:
        data = pickle.dumps(_outcome(call))
        os.write(w, struct.pack("<I", len(data)) + data)


def run_calls(calls, timeout=60.0):
    """Runs the zero-argument callables `calls` one after another in one forked child."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never return into the test run
        status = 0
        try:
            faulthandler.disable()  # a death is reported by the parent, without the test run's stack
            os.close(r)
            _child(calls, w)
        except BaseException:  # noqa: BLE001
            status = 70
        finally:
            os._exit(status)
    os.close(w)
    buf = b""
    deadline = time.monotonic() + timeout
    timed_out = False
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([r], [], [], left)[0]:
                timed_out = True
                os.kill(pid, signal.SIGKILL)
                break
            chunk = os.read(r, 1 << 16)
            if not chunk:
                break
            buf += chunk
    finally:
        os.close(r)
        _, status = os.waitpid(pid, 0)
    outcomes = []
    while len(buf) >= 4:
        (n,) = struct.unpack("<I", buf[:4])
        outcomes.append(pickle.loads(buf[4 : 4 + n]))
        buf = buf[4 + n :]
    if timed_out:
        death = f"did not finish within {timeout} s"
    elif os.WIFSIGNALED(status):
        death = f"killed by {signal.Signals(os.WTERMSIG(status)).name}"
    elif os.WEXITSTATUS(status) != 0:
        death = f"exited with status {os.WEXITSTATUS(status)}"
    else:
        death = None
    return Run(outcomes, death)


def run_call(call, timeout=60.0):
    """The outcome of one call in a forked child; AssertionError when the child dies."""
    run = run_calls([call], timeout)
    assert run.death is None and len(run.outcomes) == 1, f"the call {run}"
    return run.outcomes[0]
