#!/usr/bin/env python3
"""List the C++ functions under src/ whose bodies run over a number of lines.

    python3 tools/long_functions.py [--max 80] [--check] [paths...]

A function is any brace block that follows a parameter list: free functions, member
functions, constructors and lambdas (a lambda counts on its own and inside the
function around it). Lines are counted from the line of the opening brace's
signature to the closing brace. Comments, string and character literals are
skipped, so braces inside them do not count. With --check the exit status is 1
when anything is listed.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUFFIXES = {".cpp", ".hpp", ".h", ".cc"}
# Blocks after a parenthesised head that are not function bodies.
CONTROL = re.compile(r"\b(if|for|while|switch|catch|constexpr)\s*$")
# What may stand between a parameter list's ')' and the body's '{'.
TRAILER = re.compile(
    r"\)\s*(?:const\b|noexcept\b(?:\s*\([^()]*\))?|override\b|final\b|mutable\b|&&?|"
    r"->\s*[\w:<>,\s*&\[\]]+?|\s)*$"
)
# A constructor's member-initialiser list ends with ')' or '}' before the body.
INIT_LIST = re.compile(r"\)\s*:\s*[\w:]+\s*[({]")


@dataclass
class Function:
    path: Path
    line: int
    lines: int
    head: str


def strip(text: str) -> str:
    """The source with comments and literals blanked out, line breaks kept."""
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = ")" + m.group(1) + '"'
            j = text.find(end, i + m.end())
            j = n if j < 0 else j + len(end)
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            # A digit separator (1'000) is not a literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and j - i > 3:
                out.append(c)
                i += 1
                continue
            out.append(" " * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions_in(path: Path) -> list[Function]:
    text = strip(path.read_text(encoding="utf-8"))
    found: list[Function] = []
    stack: list[tuple[int, bool, str]] = []  # (offset, is_function, head)
    for i, c in enumerate(text):
        if c == "{":
            before = text[max(0, i - 400) : i]
            head = before.rstrip()
            is_fn = bool(TRAILER.search(head) or INIT_LIST.search(head))
            if is_fn:
                # The matching '(' of the parameter list decides whether it is control flow.
                close = head.rfind(")")
                depth, j = 0, close
                while j >= 0:
                    if head[j] == ")":
                        depth += 1
                    elif head[j] == "(":
                        depth -= 1
                        if depth == 0:
                            break
                    j -= 1
                if j >= 0 and CONTROL.search(head[:j]):
                    is_fn = False
                start = i - len(before) + (j if j >= 0 else 0)
                line_start = text.rfind("\n", 0, start) + 1
                sig = text[line_start : text.find("\n", start)].strip()
                stack.append((line_start, is_fn, sig))
            else:
                stack.append((i, False, ""))
        elif c == "}" and stack:
            start, is_fn, sig = stack.pop()
            if is_fn:
                first = text.count("\n", 0, start) + 1
                last = text.count("\n", 0, i) + 1
                found.append(Function(path, first, last - first + 1, sig))
    return found


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--max", type=int, default=80, help="longest body allowed, in lines (default 80)")
    ap.add_argument("--check", action="store_true", help="exit 1 when a function is listed")
    ap.add_argument("paths", nargs="*", type=Path, default=[ROOT / "src"])
    args = ap.parse_args(argv)
    files = sorted(
        p for root in args.paths for p in ([root] if root.is_file() else root.rglob("*")) if p.suffix in SUFFIXES
    )
    long = [f for p in files for f in functions_in(p) if f.lines > args.max]
    long.sort(key=lambda f: -f.lines)
    for f in long:
        rel = f.path.resolve().relative_to(ROOT) if f.path.resolve().is_relative_to(ROOT) else f.path
        print(f"{f.lines:5d}  {rel}:{f.line}  {f.head[:90]}")
    return 1 if args.check and long else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
