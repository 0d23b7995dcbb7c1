"""Match cellar: fuses can only be mended while a match burns, with one free hand."""

from __future__ import annotations

from fractions import Fraction

from .model import EventSpec, GroundTask, TaskBuilder, and_, fluent_index

MATCH_BURNS = 6
MEND_TAKES = Fraction(9, 2)


def matchcellar(fuses: int, matches: int | None = None) -> GroundTask:
    """Each match lights the cellar for 6 time units; mending a fuse takes 9/2, needs
    the hand and needs light during the whole repair. A match that goes out while a
    repair is running breaks the repair's durative condition, and the hand makes
    repairs exclusive, so every fuse needs its own match, lit before the repair
    starts and burning until after it ends."""
    matches = fuses if matches is None else matches
    if fuses < 1 or matches < 1:
        raise ValueError("matchcellar needs a fuse and a match")
    t = TaskBuilder(f"matchcellar-{fuses}-{matches}")
    light = t.fluent("light")
    handfree = t.fluent("handfree", initial=True)
    unused = [t.fluent(f"unused_match{i}", initial=True) for i in range(matches)]
    mended = [t.fluent(f"mended_fuse{i}") for i in range(fuses)]
    fl = fluent_index

    for i in range(matches):
        t.action(
            f"light-match_match{i}",
            [
                EventSpec(unused[i], [(fl(unused[i]), False), (fl(light), True)]),
                EventSpec(effects=[(fl(light), False)], from_start=False),
            ],
            duration=(MATCH_BURNS, MATCH_BURNS),
        )
    for i in range(fuses):
        t.action(
            f"mend-fuse_fuse{i}",
            [
                EventSpec(handfree, [(fl(handfree), False)], opens=[light]),
                EventSpec(effects=[(fl(mended[i]), True), (fl(handfree), True)], closes=[light], from_start=False),
            ],
            duration=(MEND_TAKES, MEND_TAKES),
        )
    t.goal = and_(*mended)
    return t.build()
