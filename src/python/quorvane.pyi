# Type stub of the extension module. help() on the module's objects documents them;
# this file only gives their types.
#
# Where the module takes a sequence it takes any sequence except a `str`. A `str` is a
# Sequence[str] to a type checker, so a bare `str` passed for `fluent_types`,
# `action_objects` or one of its entries passes the check and fails at run time with
# TypeError. Flags accept exactly True or False (or a NumPy bool); an int is refused.

from collections.abc import Callable, Sequence
from fractions import Fraction
from typing import Never, Self, SupportsFloat, SupportsIndex, TypeAlias, TypeVar

__all__ = [
    "ExpressionNode",
    "Effect",
    "Timing",
    "Event",
    "Action",
    "SearchSpace",
    "State",
    "Heuristic",
    "make_operator_node",
    "make_bool_constant_node",
    "make_int_constant_node",
    "make_rational_constant_node",
    "make_object_node",
    "make_fluent_node",
    "shift_expression",
    "dfs_search",
    "bfs_search",
    "multiqueue_search",
    "wastar_search",
    "wastar_search_memory_bounded",
    "astar_search",
    "astar_search_memory_bounded",
    "gbfs_search",
    "gbfs_search_memory_bounded",
    "ehc_search",
    "evaluate",
    "simplify",
    "get_fluents",
]

# Anything float() takes: a float, an int, a Fraction, ...
_Float: TypeAlias = SupportsFloat | SupportsIndex
# An exact number: an int (or an object with __index__) or a Fraction, with 32-bit parts.
_Rational: TypeAlias = SupportsIndex | Fraction
# A flat expression: nodes in post-order, the root last.
_Expr: TypeAlias = Sequence[ExpressionNode]
# (lower bound, upper bound, lower bound open, upper bound open)
_DurationBounds: TypeAlias = tuple[_Expr, _Expr, bool, bool]
_TimedEvent: TypeAlias = tuple[Timing, Event]
# (plan, statistics)
_SearchResult: TypeAlias = tuple[list[Action] | None, dict[str, str]]

# The dict parameters must be dicts, whose value type is invariant: these type
# variables let a dict of lists (or of tuples) stand where a dict of sequences is meant.
_TimedEvents = TypeVar("_TimedEvents", bound=Sequence[tuple[Timing, Event]])
_Names = TypeVar("_Names", bound=Sequence[str])
_ActionSet = TypeVar("_ActionSet", bound=set[Action] | frozenset[Action])

# The binding layer's metaclass and base class of every class here
# (pybind11_builtins.pybind11_type and pybind11_object at run time).
class _BindingType(type): ...
class _BindingObject(metaclass=_BindingType): ...

class ExpressionNode(_BindingObject):
    # No constructor: nodes come from the make_*_node functions. Calling the class
    # raises TypeError; the parameter no value can fill makes checkers refuse it too.
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @property
    def fluent(self) -> int | None: ...
    @property
    def object(self) -> str | None: ...
    @property
    def int_constant(self) -> int | None: ...
    @property
    def bool_constant(self) -> bool | None: ...
    @property
    def real_constant(self) -> Fraction | None: ...

class Effect(_BindingObject):
    def __init__(self, fluent: SupportsIndex, value: _Expr) -> None: ...
    @property
    def fluent(self) -> int: ...
    @property
    def value(self) -> list[ExpressionNode]: ...

class Timing(_BindingObject):
    def __init__(self, start: bool, delay: _Rational) -> None: ...
    def is_from_start(self) -> bool: ...
    def is_from_end(self) -> bool: ...
    @property
    def delay(self) -> Fraction: ...

class Event(_BindingObject):
    def __init__(
        self,
        action: Action,
        pos: SupportsIndex,
        conditions: _Expr,
        start_conditions: Sequence[_Expr],
        end_conditions: Sequence[_Expr],
        effects: Sequence[Effect],
    ) -> None: ...
    @property
    def action(self) -> Action: ...
    @property
    def pos(self) -> int: ...
    @property
    def conditions(self) -> list[ExpressionNode]: ...
    @property
    def start_conditions(self) -> list[list[ExpressionNode]]: ...
    @property
    def end_conditions(self) -> list[list[ExpressionNode]]: ...
    @property
    def effects(self) -> list[Effect]: ...

class Action(_BindingObject):
    # Equality and hashing are by identity: compare actions by idx.
    def __init__(self, idx: SupportsIndex) -> None: ...
    @property
    def idx(self) -> int: ...

class SearchSpace(_BindingObject):
    def __init__(
        self,
        actions_duration: Sequence[_DurationBounds | None],
        events: dict[Action, _TimedEvents],
        actions: Sequence[Action],
        compression_safe_actions: Sequence[bool] | None,
        action_objects: Sequence[Sequence[str]] | None,
        obj_to_prev_actions_map: dict[str, _ActionSet] | None,
        initial_state: _Expr | None = None,
        goal: _Expr | None = None,
        relevant_actions: Sequence[Action] | None = None,
        deadline: _Rational | None = None,
        epsilon: _Rational | None = None,
    ) -> None: ...
    def reset(self) -> None: ...
    # (start, action, duration); times are exact rationals as text such as "601/100".
    def build_plan(self, path: Sequence[Action]) -> list[tuple[str | None, Action, str | None]]: ...
    def goal_reached(self, state: State, goal: _Expr | None = None) -> bool: ...
    def subgoals_sat(self, state: State, goal: _Expr | None = None) -> list[list[ExpressionNode]]: ...
    def initial_state(self, initial_state: _Expr | None = None) -> State: ...
    def get_successor_state(self, state: State, action: Action) -> State | None: ...
    def get_successor_states(self, state: State) -> list[State]: ...
    @property
    def is_temporal(self) -> bool: ...
    @property
    def relevant_actions(self) -> list[Action]: ...
    @relevant_actions.setter
    def relevant_actions(self, value: Sequence[Action]) -> None: ...

class State(_BindingObject):
    # No constructor: states come from SearchSpace methods (see ExpressionNode).
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @property
    def g(self) -> float: ...
    # (action, event position, instance number), oldest first
    @property
    def path(self) -> list[tuple[Action, int, int]]: ...
    # action -> (next event index, instance number)
    @property
    def todo(self) -> dict[Action, tuple[int, int]]: ...
    def get_value(self, fluent: SupportsIndex) -> ExpressionNode: ...

class Heuristic(_BindingObject):
    # No constructor: heuristics come from the class methods (see ExpressionNode).
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @classmethod
    def custom(cls, callable: Callable[[State], _Float | None], cache_value_in_state: bool) -> Heuristic: ...
    @classmethod
    def hff(
        cls,
        actions: Sequence[Action],
        fluent_types: Sequence[str],
        objects: dict[str, _Names],
        events: dict[Action, _TimedEvents],
        goals: _Expr,
        internal_caching: bool,
        cache_value_in_state: bool,
        inadmissible_numeric_heuristic_variant: bool,
        disable_numeric_reasoning: bool = False,
    ) -> Heuristic: ...
    @classmethod
    def hadd(
        cls,
        actions: Sequence[Action],
        fluent_types: Sequence[str],
        objects: dict[str, _Names],
        events: dict[Action, _TimedEvents],
        goals: _Expr,
        internal_caching: bool,
        cache_value_in_state: bool,
        inadmissible_numeric_heuristic_variant: bool,
        disable_numeric_reasoning: bool = False,
    ) -> Heuristic: ...
    @classmethod
    def hmax(
        cls,
        actions: Sequence[Action],
        fluent_types: Sequence[str],
        objects: dict[str, _Names],
        events: dict[Action, _TimedEvents],
        goals: _Expr,
        internal_caching: bool,
        cache_value_in_state: bool,
        inadmissible_numeric_heuristic_variant: bool,
        disable_numeric_reasoning: bool = False,
    ) -> Heuristic: ...
    @classmethod
    def hmax_explicit(
        cls,
        actions: Sequence[Action],
        fluent_types: Sequence[str],
        objects: dict[str, _Names],
        events: dict[Action, _TimedEvents],
        goals: _Expr,
        internal_caching: bool,
        cache_value_in_state: bool,
        inadmissible_numeric_heuristic_variant: bool,
    ) -> Heuristic: ...
    @property
    def name(self) -> str: ...
    def eval(self, state: State, ss: SearchSpace) -> float | None: ...
    def reachable_actions(self, state: State) -> set[Action]: ...

def make_operator_node(kind: str, operands: Sequence[SupportsIndex]) -> ExpressionNode: ...
def make_bool_constant_node(v: bool) -> ExpressionNode: ...
def make_int_constant_node(v: SupportsIndex) -> ExpressionNode: ...
def make_rational_constant_node(numerator: SupportsIndex, denominator: SupportsIndex) -> ExpressionNode: ...
def make_object_node(name: str) -> ExpressionNode: ...
def make_fluent_node(fluent: SupportsIndex) -> ExpressionNode: ...
def shift_expression(exp: _Expr, offset: SupportsIndex) -> list[ExpressionNode]: ...
def dfs_search(ss: SearchSpace, timeout: _Float | None = None, early_termination: bool = False) -> _SearchResult: ...
def bfs_search(ss: SearchSpace, timeout: _Float | None = None, early_termination: bool = False) -> _SearchResult: ...
def multiqueue_search(
    ss: SearchSpace,
    heuristics: Sequence[tuple[Heuristic, _Float]],
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def wastar_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    weight: _Float,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def wastar_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    weight: _Float,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def astar_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def astar_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def gbfs_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def gbfs_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def ehc_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult: ...
def evaluate(exp: _Expr, state: State) -> ExpressionNode: ...
def simplify(exp: _Expr, assignments: dict[int, ExpressionNode]) -> list[ExpressionNode]: ...
def get_fluents(expr: _Expr) -> list[int]: ...
