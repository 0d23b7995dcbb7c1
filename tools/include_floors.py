"""Checks that the engine's includes point one way: a folder includes only from its own
floor or below.

    python3 tools/include_floors.py           # list every include that runs up a floor
    python3 tools/include_floors.py --check   # the same, exit status 1 when there is one

Floors, lowest first: support, expressions, task, temporal, state, space, and on the
top floor side by side the heuristics and the searches: a search knows an evaluator of
states only through search/evaluator.hpp, never a heuristic engine. The Python bindings
(src/python/) sit above them all; the engine never includes them.
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENGINE = os.path.join(ROOT, "src", "engine")
FLOORS = ["support", "expressions", "task", "temporal", "state", "space", "heuristics", "search"]
# The floor of each folder; folders on one floor do not include each other.
LEVEL = {folder: min(i, 6) for i, folder in enumerate(FLOORS)}
INCLUDE = re.compile(r'^\s*#\s*include\s+"(engine|python)/([a-z_]+)/?')


def violations():
    found = []
    for folder in sorted(os.listdir(ENGINE)):
        path = os.path.join(ENGINE, folder)
        if not os.path.isdir(path):
            found.append(f"src/engine/{folder}: a file outside the floors")
            continue
        if folder not in FLOORS:
            found.append(f"src/engine/{folder}: a folder that is no floor")
            continue
        floor = LEVEL[folder]
        for name in sorted(os.listdir(path)):
            rel = f"src/engine/{folder}/{name}"
            with open(os.path.join(path, name), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    top, target = m.groups()
                    if top == "python":
                        found.append(f"{rel}:{number}: the engine includes the bindings")
                    elif target not in FLOORS:
                        found.append(f"{rel}:{number}: includes from outside the floors ({target})")
                    elif LEVEL[target] > floor:
                        found.append(f"{rel}:{number}: {folder} includes from {target}, a floor above")
                    elif LEVEL[target] == floor and target != folder:
                        found.append(f"{rel}:{number}: {folder} includes from {target}, beside it on its floor")
    return found


def main():
    found = violations()
    for line in found:
        print(line)
    if "--check" in sys.argv[1:] and found:
        sys.exit(1)


if __name__ == "__main__":
    main()
