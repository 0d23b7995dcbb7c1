"""A delivery van with a fuel tank: integer cargo counters and a rational fuel level."""

from __future__ import annotations

from fractions import Fraction

from .model import INT, REAL, GroundTask, TaskBuilder, and_, ge, lt, fluent_index

TANK = Fraction(5, 2)
MOVE_COST = Fraction(3, 4)  # three moves per tank


def fuel_delivery(length: int, target: int = 2, capacity: int = 1) -> GroundTask:
    """Locations loc0 .. loc<length> on a line. The van loads parcels at loc0 (at most
    `capacity` at a time) and unloads them at the far end; `delivered` must reach
    `target`. Each move burns 3/4 of fuel and the tank holds 5/2; fuel stations stand
    at every third location and at the far end, so the van has to refuel on the way
    (with stations any further apart some lengths would have no plan)."""
    if length < 1 or target < 1 or capacity < 1:
        raise ValueError("fuel_delivery needs a positive length, target and capacity")
    t = TaskBuilder(f"fuel-delivery-{length}-{target}-{capacity}")
    at = [t.fluent(f"at_loc{i}", initial=(i == 0)) for i in range(length + 1)]
    fuel = t.fluent("fuel", REAL, initial=TANK)
    cargo = t.fluent("cargo", INT, initial=0)
    delivered = t.fluent("delivered", INT, initial=0)
    fl = fluent_index

    for i in range(length + 1):
        for j in (i - 1, i + 1):
            if 0 <= j <= length:
                t.instant(f"move_loc{i}_loc{j}", and_(at[i], ge(fuel, MOVE_COST)),
                          [(fl(at[i]), False), (fl(at[j]), True), (fl(fuel), fuel - MOVE_COST)])
        if i % 3 == 0 or i == length:
            t.instant(f"refuel_loc{i}", and_(at[i], lt(fuel, TANK)), [(fl(fuel), TANK)])
    t.instant("load", and_(at[0], lt(cargo, capacity)), [(fl(cargo), cargo + 1)])
    t.instant("unload", and_(at[length], ge(cargo, 1)), [(fl(delivered), delivered + cargo), (fl(cargo), 0)])
    t.goal = ge(delivered, target)
    return t.build()
