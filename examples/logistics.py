"""Truck logistics: trucks drive between cities and carry packages to their targets."""

from __future__ import annotations

import random

from .model import GroundTask, TaskBuilder, and_, fluent_index


def logistics(trucks: int, packages: int, cities: int, seed: int = 0) -> GroundTask:
    """Every pair of cities is connected by a road. Trucks, package origins and
    package targets are placed at random (a target always differs from its origin)."""
    if trucks < 1 or packages < 1 or cities < 2:
        raise ValueError("logistics needs a truck, a package and two cities")
    rng = random.Random(seed)
    T = [f"truck{i}" for i in range(trucks)]
    P = [f"pkg{i}" for i in range(packages)]
    C = [f"city{i}" for i in range(cities)]
    truck_at = {x: rng.choice(C) for x in T}
    origin = {p: rng.choice(C) for p in P}
    target = {p: rng.choice([c for c in C if c != origin[p]]) for p in P}

    t = TaskBuilder(f"logistics-{trucks}-{packages}-{cities}")
    at_t = {(x, c): t.fluent(f"at_{x}_{c}", initial=(truck_at[x] == c)) for x in T for c in C}
    at_p = {(p, c): t.fluent(f"at_{p}_{c}", initial=(origin[p] == c)) for p in P for c in C}
    inside = {(p, x): t.fluent(f"in_{p}_{x}") for p in P for x in T}
    fl = fluent_index

    for x in T:
        for c1 in C:
            for c2 in C:
                if c1 != c2:
                    t.instant(f"drive_{x}_{c1}_{c2}", at_t[x, c1], [(fl(at_t[x, c1]), False), (fl(at_t[x, c2]), True)])
    for p in P:
        for x in T:
            for c in C:
                t.instant(f"load_{p}_{x}_{c}", and_(at_t[x, c], at_p[p, c]),
                          [(fl(at_p[p, c]), False), (fl(inside[p, x]), True)])
                t.instant(f"unload_{p}_{x}_{c}", and_(at_t[x, c], inside[p, x]),
                          [(fl(inside[p, x]), False), (fl(at_p[p, c]), True)])
    t.goal = and_(*[at_p[p, target[p]] for p in P])
    return t.build()
