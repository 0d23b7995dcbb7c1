import logging
import os

import pytest

import quorvane as qv

# The logging bridge reads a logger's levels once, at its first use, for the rest of
# the process: enable every record before any test module is collected (some build
# tasks, and run searches, at import).
for _name in ("quorvane_base.search", "quorvane_base.multiqueue"):
    logging.getLogger(_name).setLevel(logging.DEBUG)

# Short names for the node constructors and Action, as the test modules use them.
F = qv.make_fluent_node
I = qv.make_int_constant_node  # noqa: E741
B = qv.make_bool_constant_node
R = qv.make_rational_constant_node
O = qv.make_object_node  # noqa: E741
OP = qv.make_operator_node
A = qv.Action

# The sanitizers the module under test was built with, as .ci/run announces them
# (for instance "address,undefined"); empty for an ordinary build.
SANITIZER = os.environ.get("QUORVANE_SANITIZER", "")


def _asan_loaded():
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


# For a test that limits a process's address space (RLIMIT_AS) to see memory run out:
# AddressSanitizer reserves terabytes of address space and its allocator aborts instead
# of failing an allocation, so such a test cannot run under it.
not_under_asan = pytest.mark.skipif(
    "address" in SANITIZER.split(",") or _asan_loaded(),
    reason="AddressSanitizer reserves more address space than the test allows and aborts when memory runs out",
)


def expect_internal_error(excinfo):
    """A broken engine invariant reaches Python as a BaseException that is not an Exception."""
    assert not isinstance(excinfo.value, Exception), type(excinfo.value)
    assert type(excinfo.value).__name__ == "InternalError"


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.fixture
def n():
    """Short names for the node constructors."""

    class N:
        f = staticmethod(qv.make_fluent_node)
        i = staticmethod(qv.make_int_constant_node)
        b = staticmethod(qv.make_bool_constant_node)
        r = staticmethod(qv.make_rational_constant_node)
        o = staticmethod(qv.make_object_node)
        op = staticmethod(qv.make_operator_node)

    return N


# Every search function, by a short name, called as (search space, heuristic, **keywords);
# bfs and dfs ignore the heuristic.
SEARCHES = {
    "bfs": lambda ss, h, **kw: qv.bfs_search(ss, **kw),
    "dfs": lambda ss, h, **kw: qv.dfs_search(ss, **kw),
    "ehc": lambda ss, h, **kw: qv.ehc_search(ss, h, **kw),
    "gbfs": lambda ss, h, **kw: qv.gbfs_search(ss, h, **kw),
    "astar": lambda ss, h, **kw: qv.astar_search(ss, h, **kw),
    "wastar": lambda ss, h, **kw: qv.wastar_search(ss, h, 0.7, **kw),
    "gbfs_mb": lambda ss, h, **kw: qv.gbfs_search_memory_bounded(ss, h, **kw),
    "astar_mb": lambda ss, h, **kw: qv.astar_search_memory_bounded(ss, h, **kw),
    "wastar_mb": lambda ss, h, **kw: qv.wastar_search_memory_bounded(ss, h, 0.7, **kw),
    "multiqueue": lambda ss, h, **kw: qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)], **kw),
}
HEURISTIC_SEARCHES = [name for name in SEARCHES if name not in ("bfs", "dfs")]
