"""Gripper: a robot with two grippers carries n balls from room a to room b."""

from __future__ import annotations

from .model import GroundTask, TaskBuilder, and_, fluent_index


def gripper(n: int) -> GroundTask:
    if n < 1:
        raise ValueError("gripper needs at least one ball")
    rooms, grippers = ["rooma", "roomb"], ["left", "right"]
    balls = [f"ball{i}" for i in range(n)]
    t = TaskBuilder(f"gripper-{n}")
    at_robby = {r: t.fluent(f"at-robby_{r}", initial=(r == "rooma")) for r in rooms}
    at = {(b, r): t.fluent(f"at_{b}_{r}", initial=(r == "rooma")) for b in balls for r in rooms}
    free = {g: t.fluent(f"free_{g}", initial=True) for g in grippers}
    carry = {(b, g): t.fluent(f"carry_{b}_{g}") for b in balls for g in grippers}
    fl = fluent_index

    for r1 in rooms:
        for r2 in rooms:
            if r1 != r2:
                t.instant(f"move_{r1}_{r2}", at_robby[r1], [(fl(at_robby[r1]), False), (fl(at_robby[r2]), True)])
    for b in balls:
        for r in rooms:
            for g in grippers:
                t.instant(f"pick_{b}_{r}_{g}", and_(at[b, r], at_robby[r], free[g]),
                          [(fl(carry[b, g]), True), (fl(at[b, r]), False), (fl(free[g]), False)])
                t.instant(f"drop_{b}_{r}_{g}", and_(carry[b, g], at_robby[r]),
                          [(fl(at[b, r]), True), (fl(carry[b, g]), False), (fl(free[g]), True)])
    t.goal = and_(*[at[b, "roomb"] for b in balls])
    return t.build()
