"""Generators of grounded planning tasks for quorvane, at any size.

Each generator returns a `GroundTask` holding the inputs of `SearchSpace` and of the
`Heuristic` constructors, and the same task as a PDDL 2.1 domain and problem.
`TASKS` maps the command-line names to a function of one size parameter.
"""

from collections.abc import Callable

from .blocksworld import blocksworld
from .gripper import gripper
from .logistics import logistics
from .model import GroundTask
from .numeric import fuel_delivery
from .temporal import matchcellar

# name -> (task of size n, smallest size, what the size means)
TASKS: dict[str, tuple[Callable[[int], GroundTask], int, str]] = {
    "blocksworld": (lambda n: blocksworld(n), 2, "blocks in one tower, to be reversed"),
    "blocksworld-random": (lambda n: blocksworld(n, seed=n), 2, "blocks in random towers (seed = size)"),
    "gripper": (lambda n: gripper(n), 1, "balls"),
    "logistics": (lambda n: logistics(trucks=1 + n // 4, packages=n, cities=2 + n // 2, seed=n), 1,
                  "packages (1 + n//4 trucks, 2 + n//2 cities)"),
    "numeric": (lambda n: fuel_delivery(length=n), 1, "road length of the fuel-delivery van"),
    "temporal": (lambda n: matchcellar(n), 1, "fuses to mend in the match cellar"),
}


def make_task(name: str, size: int) -> GroundTask:
    try:
        make, smallest, _ = TASKS[name]
    except KeyError:
        raise ValueError(f"unknown task {name!r}; known: {', '.join(TASKS)}") from None
    if size < smallest:
        raise ValueError(f"{name} needs a size of at least {smallest}")
    return make(size)


__all__ = ["GroundTask", "TASKS", "blocksworld", "fuel_delivery", "gripper", "logistics", "make_task", "matchcellar"]
