"""Blocksworld with one hand: pick-up, put-down, stack, unstack."""

from __future__ import annotations

import random

from .model import GroundTask, TaskBuilder, and_, fluent_index


def _towers_random(n: int, rng: random.Random) -> list[list[int]]:
    blocks = list(range(n))
    rng.shuffle(blocks)
    towers: list[list[int]] = []
    for b in blocks:
        # Start a new tower or put the block on one of the existing ones.
        k = rng.randrange(len(towers) + 1)
        if k == len(towers):
            towers.append([b])
        else:
            towers[k].append(b)
    return towers


def blocksworld(n: int, seed: int | None = None) -> GroundTask:
    """n blocks. Without a seed: one tower b0 (bottom) .. b(n-1) that must be rebuilt
    upside down. With a seed: random towers for the initial state and for a goal that
    differs from it."""
    if n < 1:
        raise ValueError("blocksworld needs at least one block")
    if seed is None:
        init_towers = [list(range(n))]
        goal_towers = [list(reversed(range(n)))]
        name = f"blocksworld-{n}"
    else:
        rng = random.Random(seed)
        init_towers = _towers_random(n, rng)
        goal_towers = _towers_random(n, rng)
        # A goal that already holds makes no task; with one block nothing else exists.
        while n > 1 and sorted(map(tuple, goal_towers)) == sorted(map(tuple, init_towers)):
            goal_towers = _towers_random(n, rng)
        name = f"blocksworld-{n}-s{seed}"
    B = [f"b{i}" for i in range(n)]
    t = TaskBuilder(name)
    handempty = t.fluent("handempty", initial=True)
    clear = [t.fluent(f"clear_{x}") for x in B]
    ontable = [t.fluent(f"ontable_{x}") for x in B]
    holding = [t.fluent(f"holding_{x}") for x in B]
    on = {(i, j): t.fluent(f"on_{B[i]}_{B[j]}") for i in range(n) for j in range(n) if i != j}
    fl = fluent_index

    for tower in init_towers:
        t.set_initial(f"ontable_{B[tower[0]]}", True)
        t.set_initial(f"clear_{B[tower[-1]]}", True)
        for below, above in zip(tower, tower[1:]):
            t.set_initial(f"on_{B[above]}_{B[below]}", True)

    for i in range(n):
        t.instant(f"pick-up_{B[i]}", and_(clear[i], ontable[i], handempty),
                  [(fl(ontable[i]), False), (fl(clear[i]), False), (fl(handempty), False), (fl(holding[i]), True)])
        t.instant(f"put-down_{B[i]}", holding[i],
                  [(fl(holding[i]), False), (fl(clear[i]), True), (fl(handempty), True), (fl(ontable[i]), True)])
    for i in range(n):
        for j in range(n):
            if i == j:
                continue
            t.instant(f"stack_{B[i]}_{B[j]}", and_(holding[i], clear[j]),
                      [(fl(holding[i]), False), (fl(clear[j]), False), (fl(clear[i]), True),
                       (fl(handempty), True), (fl(on[i, j]), True)])
            t.instant(f"unstack_{B[i]}_{B[j]}", and_(on[i, j], clear[i], handempty),
                      [(fl(holding[i]), True), (fl(clear[j]), True), (fl(clear[i]), False),
                       (fl(handempty), False), (fl(on[i, j]), False)])

    goal = []
    for tower in goal_towers:
        goal.append(ontable[tower[0]])
        goal += [on[above, below] for below, above in zip(tower, tower[1:])]
    t.goal = and_(*goal)
    return t.build()
