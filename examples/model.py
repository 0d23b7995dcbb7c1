"""A small task description shared by every example family.

A family describes its task once, with named fluents, a tiny expression tree and
actions made of timed events. From that one description `TaskBuilder.build` makes
both the module's inputs (node lists, `Action`, `Event`, `Timing`, durations) and a
grounded PDDL 2.1 domain and problem, so that the task another planner reads is
exactly the task the module searches: same fluents, same actions, same conditions,
same effects, same durations.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from fractions import Fraction
from collections.abc import Callable
from typing import Any, Union

import quorvane as qv

# --- expressions ------------------------------------------------------------------------------

Number = Union[int, Fraction]


@dataclass(frozen=True)
class Expr:
    """One node of an expression tree: `kind` is "fluent", "const" or an operator of
    the module ("and", "or", "not", "==", "<=", "<", "+", "-", "*", "/")."""

    kind: str
    args: tuple[Any, ...] = ()  # the operand Exprs, the fluent index or the constant

    def __add__(self, other: Expr | Number) -> Expr:
        return Expr("+", (self, const(other)))

    def __sub__(self, other: Expr | Number) -> Expr:
        return Expr("-", (self, const(other)))

    def __mul__(self, other: Expr | Number) -> Expr:
        return Expr("*", (self, const(other)))


# A bool is an int, so Number covers the boolean constants too.
def const(value: Expr | Number) -> Expr:
    if isinstance(value, Expr):
        return value
    if isinstance(value, bool):
        return Expr("const", (value,))
    if isinstance(value, (int, Fraction)):
        value = Fraction(value)
        return Expr("const", (value.numerator if value.denominator == 1 else value,))
    raise TypeError(f"not a constant: {value!r}")


TRUE = const(True)


def and_(*parts: Expr | Number) -> Expr:
    exprs = [const(p) for p in parts]
    return exprs[0] if len(exprs) == 1 else Expr("and", tuple(exprs))


def or_(*parts: Expr | Number) -> Expr:
    exprs = [const(p) for p in parts]
    return exprs[0] if len(exprs) == 1 else Expr("or", tuple(exprs))


def not_(e: Expr | Number) -> Expr:
    return Expr("not", (const(e),))


def eq(a: Expr | Number, b: Expr | Number) -> Expr:
    return Expr("==", (const(a), const(b)))


def le(a: Expr | Number, b: Expr | Number) -> Expr:
    return Expr("<=", (const(a), const(b)))


def lt(a: Expr | Number, b: Expr | Number) -> Expr:
    return Expr("<", (const(a), const(b)))


def ge(a: Expr | Number, b: Expr | Number) -> Expr:
    # The module has no greater-than nodes: a >= b is b <= a.
    return le(b, a)


def gt(a: Expr | Number, b: Expr | Number) -> Expr:
    return lt(b, a)


# The fluent index of a fluent expression.
fluent_index: Callable[[Expr], int] = lambda e: e.args[0]  # noqa: E731


def to_nodes(expr: Expr) -> list[qv.ExpressionNode]:
    """Flattens a tree into the module's post-order node list (root last)."""
    nodes: list[qv.ExpressionNode] = []

    def walk(e: Expr) -> int:
        if e.kind == "fluent":
            nodes.append(qv.make_fluent_node(e.args[0]))
        elif e.kind == "const":
            v = e.args[0]
            if isinstance(v, bool):
                nodes.append(qv.make_bool_constant_node(v))
            elif isinstance(v, int):
                nodes.append(qv.make_int_constant_node(v))
            else:
                nodes.append(qv.make_rational_constant_node(v.numerator, v.denominator))
        else:
            operands = [walk(a) for a in e.args]
            nodes.append(qv.make_operator_node(e.kind, operands))
        return len(nodes) - 1

    walk(expr)
    return nodes


def uses(expr: Expr, kind: str) -> bool:
    return expr.kind == kind or any(isinstance(a, Expr) and uses(a, kind) for a in expr.args)


# --- task description -------------------------------------------------------------------------

BOOL, INT, REAL = "bool", "int", "real"

# (fluent index, value) of an effect
EffectSpec = tuple[int, Union[Expr, Number]]
NodeList = list[qv.ExpressionNode]
DurationBounds = tuple[NodeList, NodeList, bool, bool]  # as SearchSpace takes them
TimedEvents = list[tuple[qv.Timing, qv.Event]]


@dataclass
class EventSpec:
    """One event of an action: at `delay` after the action's start (from_start) or end."""

    condition: Expr = TRUE
    effects: list[EffectSpec] = field(default_factory=list)
    opens: list[Expr] = field(default_factory=list)  # durative conditions that begin here
    closes: list[Expr] = field(default_factory=list)  # durative conditions that end here
    from_start: bool = True
    delay: Number = 0


@dataclass
class ActionSpec:
    name: str
    events: list[EventSpec]
    duration: tuple[Expr, Expr] | None = None  # (lower, upper), closed bounds


@dataclass
class GroundTask:
    """Everything needed for SearchSpace and the Heuristic constructors, with names."""

    name: str
    fluent_names: list[str]
    fluent_types: list[str]
    action_names: list[str]
    actions: list[qv.Action]  # index = position
    events: dict[qv.Action, TimedEvents]
    actions_duration: list[DurationBounds | None]  # None or (lower nodes, upper nodes, False, False)
    initial_state: NodeList  # one constant node per fluent
    goal: NodeList
    objects: dict[str, list[str]] = field(default_factory=dict)
    is_temporal: bool = False
    pddl_domain: str = ""
    pddl_problem: str = ""

    def search_space(self, **kwargs: Any) -> qv.SearchSpace:
        return qv.SearchSpace(
            self.actions_duration,
            self.events,
            self.actions,
            None,
            None,
            None,
            initial_state=self.initial_state,
            goal=self.goal,
            **kwargs,
        )

    def heuristic(self, name: str, internal_caching: bool = False, cache_value_in_state: bool = False) -> qv.Heuristic:
        make: Callable[..., qv.Heuristic] = getattr(qv.Heuristic, name)
        return make(
            self.actions, self.fluent_types, self.objects, self.events, self.goal,
            internal_caching, cache_value_in_state, False,
        )

    def write_pddl(self, directory: str | os.PathLike[str]) -> tuple[str, str]:
        """Writes <name>-domain.pddl and <name>-problem.pddl; returns both paths."""
        os.makedirs(directory, exist_ok=True)
        domain = os.path.join(directory, f"{self.name}-domain.pddl")
        problem = os.path.join(directory, f"{self.name}-problem.pddl")
        with open(domain, "w") as f:
            f.write(self.pddl_domain)
        with open(problem, "w") as f:
            f.write(self.pddl_problem)
        return domain, problem


_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_-]*\Z")


class TaskBuilder:
    def __init__(self, name: str):
        if not _NAME.match(name):
            raise ValueError(f"not a PDDL name: {name!r}")
        self.name = name
        self.fluent_names: list[str] = []
        self.fluent_types: list[str] = []
        self.initial: list[Number] = []
        self._index: dict[str, int] = {}
        self.specs: list[ActionSpec] = []
        self.goal: Expr | None = None

    # fluents
    def fluent(self, name: str, type_: str = BOOL, initial: Number | None = None) -> Expr:
        if name in self._index:
            raise ValueError(f"fluent {name} declared twice")
        if not _NAME.match(name):
            raise ValueError(f"not a PDDL name: {name!r}")
        if initial is None:
            initial = False if type_ == BOOL else 0
        self._index[name] = len(self.fluent_names)
        self.fluent_names.append(name)
        self.fluent_types.append(type_)
        self.initial.append(initial)
        return Expr("fluent", (self._index[name],))

    def set_initial(self, name: str, value: Number) -> None:
        self.initial[self._index[name]] = value

    def action(self, name: str, events: list[EventSpec],
               duration: tuple[Expr | Number, Expr | Number] | None = None) -> int:
        if not _NAME.match(name):
            raise ValueError(f"not a PDDL name: {name!r}")
        bounds = None
        if duration is not None:
            lo, hi = duration
            bounds = (const(lo), const(hi))
        self.specs.append(ActionSpec(name, events, bounds))
        return len(self.specs) - 1

    def instant(self, name: str, condition: Expr, effects: list[EffectSpec]) -> int:
        """A classical action: one event at its start."""
        return self.action(name, [EventSpec(condition, effects)])

    # output
    def build(self) -> GroundTask:
        if self.goal is None:
            raise ValueError("the task has no goal")
        actions = [qv.Action(i) for i in range(len(self.specs))]
        events: dict[qv.Action, TimedEvents] = {}
        durations: list[DurationBounds | None] = []
        for i, spec in enumerate(self.specs):
            pairs: TimedEvents = []
            for pos, ev in enumerate(spec.events):
                event = qv.Event(
                    actions[i], pos, to_nodes(ev.condition),
                    [to_nodes(c) for c in ev.opens], [to_nodes(c) for c in ev.closes],
                    [qv.Effect(f, to_nodes(const(v))) for f, v in ev.effects],
                )
                pairs.append((qv.Timing(ev.from_start, Fraction(ev.delay)), event))
            events[actions[i]] = pairs
            if spec.duration is None:
                durations.append(None)
            else:
                durations.append((to_nodes(spec.duration[0]), to_nodes(spec.duration[1]), False, False))
        temporal = any(d is not None for d in durations)
        task = GroundTask(
            name=self.name,
            fluent_names=list(self.fluent_names),
            fluent_types=list(self.fluent_types),
            action_names=[s.name for s in self.specs],
            actions=actions,
            events=events,
            actions_duration=durations,
            initial_state=[to_nodes(const(v))[0] for v in self.initial],
            goal=to_nodes(self.goal),
            is_temporal=temporal,
        )
        writer = _PddlWriter(self, self.goal, temporal)
        task.pddl_domain = writer.domain()
        task.pddl_problem = writer.problem()
        return task


# --- PDDL -------------------------------------------------------------------------------------


def _number(v: Number) -> str:
    """Exact decimal text: PDDL has no rational literals, so a value whose decimal
    expansion does not end is written as a division."""
    v = Fraction(v)
    d = v.denominator
    twos = fives = 0
    while d % 2 == 0:
        d //= 2
        twos += 1
    while d % 5 == 0:
        d //= 5
        fives += 1
    if d != 1:
        return f"(/ {v.numerator} {v.denominator})"
    if v.denominator == 1:
        return str(v.numerator)
    digits = max(twos, fives)
    scaled = v * 10**digits
    sign = "-" if scaled < 0 else ""
    text = str(abs(scaled.numerator)).rjust(digits + 1, "0")
    return f"{sign}{text[:-digits]}.{text[-digits:]}"


class _PddlWriter:
    def __init__(self, builder: TaskBuilder, goal: Expr, temporal: bool):
        self.b = builder
        self.goal = goal
        self.temporal = temporal

    def is_bool(self, idx: int) -> bool:
        return self.b.fluent_types[idx] == BOOL

    def term(self, e: Expr) -> str:
        """A numeric or boolean expression in PDDL syntax."""
        if e.kind == "fluent":
            return f"({self.b.fluent_names[e.args[0]]})"
        if e.kind == "const":
            v = e.args[0]
            if isinstance(v, bool):
                raise ValueError("a boolean constant inside a term has no PDDL form")
            return _number(v)
        if e.kind in ("and", "or"):
            return f"({e.kind} {' '.join(self.cond(a) for a in e.args)})"
        if e.kind == "not":
            return f"(not {self.cond(e.args[0])})"
        args = [self.term(a) for a in e.args]
        op = "=" if e.kind == "==" else e.kind
        if e.kind in ("+", "*") and len(args) > 2:
            # PDDL 2.1 arithmetic is binary: nest longer sums and products.
            text = args[0]
            for a in args[1:]:
                text = f"({op} {text} {a})"
            return text
        return f"({op} {' '.join(args)})"

    def cond(self, e: Expr) -> str:
        if e.kind == "const" and isinstance(e.args[0], bool):
            return "(and)" if e.args[0] else "(or)"
        if e.kind == "fluent":
            if not self.is_bool(e.args[0]):
                raise ValueError("a numeric fluent used as a condition")
            return f"({self.b.fluent_names[e.args[0]]})"
        return self.term(e)

    def effect(self, fluent: int, value: Expr) -> str:
        name = self.b.fluent_names[fluent]
        if self.is_bool(fluent):
            if value.kind != "const" or not isinstance(value.args[0], bool):
                raise ValueError(f"boolean effect on {name} without a constant value")
            return f"({name})" if value.args[0] else f"(not ({name}))"
        # Increments are written as increase/decrease so planners see them as such.
        if value.kind in ("+", "-") and len(value.args) == 2:
            left, right = value.args
            if left == Expr("fluent", (fluent,)) and right.kind == "const":
                c = Fraction(right.args[0])
                if value.kind == "-":
                    c = -c
                return f"(increase ({name}) {_number(c)})" if c >= 0 else f"(decrease ({name}) {_number(-c)})"
        return f"(assign ({name}) {self.term(value)})"

    def requirements(self) -> list[str]:
        req = [":strips"]
        exprs = [self.goal]
        for s in self.b.specs:
            for ev in s.events:
                exprs += [ev.condition, *ev.opens, *ev.closes]
        if any(uses(e, "not") for e in exprs):
            req.append(":negative-preconditions")
        if any(uses(e, "or") for e in exprs):
            req.append(":disjunctive-preconditions")
        if any(t != BOOL for t in self.b.fluent_types):
            req.append(":numeric-fluents")
        if self.temporal:
            req.append(":durative-actions")
        return req

    @staticmethod
    def conj(parts: list[str]) -> str:
        parts = [p for p in parts if p != "(and)"]
        if not parts:
            return "(and)"
        return parts[0] if len(parts) == 1 else "(and " + " ".join(parts) + ")"

    @staticmethod
    def effects(parts: list[str]) -> str:
        # Always a conjunction, even of one effect: validators refuse a bare effect.
        return "(and" + "".join(" " + p for p in parts) + ")"

    def action(self, spec: ActionSpec) -> str:
        if not self.temporal:
            if len(spec.events) != 1:
                raise ValueError(f"{spec.name}: a classical action has exactly one event")
            ev = spec.events[0]
            return (
                f"  (:action {spec.name}\n"
                f"   :parameters ()\n"
                f"   :precondition {self.conj([self.cond(ev.condition)])}\n"
                f"   :effect {self.effects([self.effect(f, const(v)) for f, v in ev.effects])})\n"
            )
        return self.durative(spec)

    def durative(self, spec: ActionSpec) -> str:
        # A durative PDDL action has exactly this shape: an event at its start, one at
        # its end, and the conditions that the start opens and the end closes as over all.
        if spec.duration is None or len(spec.events) != 2:
            raise ValueError(f"{spec.name}: a durative action needs a duration and two events")
        start, end = spec.events
        if not (start.from_start and Fraction(start.delay) == 0 and not end.from_start and Fraction(end.delay) == 0):
            raise ValueError(f"{spec.name}: events must lie exactly at the start and the end")
        if end.opens or [c for c in start.closes] or sorted(map(repr, start.opens)) != sorted(map(repr, end.closes)):
            raise ValueError(f"{spec.name}: durative conditions must span the whole action")
        lo, hi = spec.duration
        if lo == hi:
            duration = f"(= ?duration {self.term(lo)})"
        else:
            duration = f"(and (>= ?duration {self.term(lo)}) (<= ?duration {self.term(hi)}))"
        conds = [f"(at start {self.cond(start.condition)})"] if start.condition != TRUE else []
        conds += [f"(over all {self.cond(c)})" for c in start.opens]
        conds += [f"(at end {self.cond(end.condition)})"] if end.condition != TRUE else []
        effs = [f"(at start {self.effect(f, const(v))})" for f, v in start.effects]
        effs += [f"(at end {self.effect(f, const(v))})" for f, v in end.effects]
        return (
            f"  (:durative-action {spec.name}\n"
            f"   :parameters ()\n"
            f"   :duration {duration}\n"
            f"   :condition {self.conj(conds)}\n"
            f"   :effect {self.effects(effs)})\n"
        )

    def domain(self) -> str:
        b = self.b
        preds = [n for n, t in zip(b.fluent_names, b.fluent_types) if t == BOOL]
        funcs = [n for n, t in zip(b.fluent_names, b.fluent_types) if t != BOOL]
        out = [f"(define (domain {b.name})\n", f"  (:requirements {' '.join(self.requirements())})\n"]
        if preds:
            out.append("  (:predicates\n" + "".join(f"    ({p})\n" for p in preds) + "  )\n")
        if funcs:
            out.append("  (:functions\n" + "".join(f"    ({f})\n" for f in funcs) + "  )\n")
        out += [self.action(s) for s in b.specs]
        out.append(")\n")
        return "".join(out)

    def problem(self) -> str:
        b = self.b
        init = []
        for n, t, v in zip(b.fluent_names, b.fluent_types, b.initial):
            if t == BOOL:
                if v:
                    init.append(f"    ({n})\n")
            else:
                init.append(f"    (= ({n}) {_number(v)})\n")
        return (
            f"(define (problem {b.name}-problem)\n"
            f"  (:domain {b.name})\n"
            f"  (:init\n{''.join(init)}  )\n"
            f"  (:goal {self.cond(self.goal)})\n"
            f")\n"
        )
