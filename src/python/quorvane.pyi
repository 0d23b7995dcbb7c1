# Type stub of the extension module, and the one place where its texts are written: the
# docstrings here are the module's. At build time tools/stub_docs.py makes them into the
# constants the bindings take, putting in front of each callable's text the signature
# line written from its parameters here, so help() and inspect.signature show what this
# file says. A definition with a parameter typed Never stands for a call the module
# refuses and has no docstring.
#
# Where the module takes a sequence it takes any sequence except a `str`. A `str` is a
# Sequence[str] to a type checker, so a bare `str` passed for `fluent_types`,
# `action_objects` or one of its entries passes the check and fails at run time with
# TypeError. Flags accept exactly True or False (or a NumPy bool); an int is refused.

"""A Python extension module that searches for plans in planning tasks."""

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
    """One node of a flat expression.

    A flat expression is a sequence of ExpressionNode in post-order: an operator
    node names its operands by their positions in the same list, each smaller
    than its own, and the last node is the root.

    Fluent 2 plus 1, for example, is ``[make_fluent_node(2), make_int_constant_node(1),
    make_operator_node("+", [0, 1])]``. The kinds are Bool, Int, Rational, Fluent,
    Object (constants and leaves) and And, Or, Not, Equals, LE, LT, Plus, Minus,
    Times, Div (operators). There is no greater-than node: a >= b is LE(b, a), and
    a > b is LT(b, a).

    Nodes are made by the ``make_*_node`` functions; the class has no constructor
    (calling it raises TypeError). Objects are frozen and have no equality or
    hashing of their own: ``==`` compares identity, so compare nodes by their
    properties or their ``repr``.
    """
    # No constructor: nodes come from the make_*_node functions. Calling the class
    # raises TypeError; the parameter no value can fill makes checkers refuse it too.
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @property
    def fluent(self) -> int | None:
        """The fluent index of a Fluent node (int); None for every other kind."""
    @property
    def object(self) -> str | None:
        """The object name of an Object node (str); None for every other kind."""
    @property
    def int_constant(self) -> int | None:
        """The value of an Int node (int); None for every other kind.

        Raises quorvane.InternalError (a BaseException) when the value does not fit a
        signed 32-bit integer; such values arise from evaluate and simplify."""
    @property
    def bool_constant(self) -> bool | None:
        """The value of a Bool node (bool); None for every other kind."""
    @property
    def real_constant(self) -> Fraction | None:
        """The value of a Rational node as a new fractions.Fraction; None for every other
        kind, an Int node included."""
    def __repr__(self) -> str:
        """The node's debug text, such as ``Fluent(3)``, ``Plus([0, 1])``, ``LE(1, 0)`` or
        ``Rational(Ratio { numer: 1, denom: 2 })``."""

class Effect(_BindingObject):
    """One assignment of an event: fluent := value.

    All effects of an event read the state before the event.

    Parameters
    ----------
    fluent : int
        Index of the fluent assigned, 0 <= fluent < 2**64.
    value : Sequence[ExpressionNode]
        The value, one flat expression; any sequence but a ``str``. The nodes
        are copied.

    Raises
    ------
    TypeError, OverflowError
        An argument of the wrong type or out of range; the exception carries a
        note naming the argument.

    Notes
    -----
    Objects are frozen. Nothing about the content is checked.

    Examples
    --------
    >>> import quorvane as qv
    >>> qv.Effect(2, [qv.make_int_constant_node(1)])
    Effect { fluent: 2, value: [Int(1)] }
    """
    def __init__(self, fluent: SupportsIndex, value: _Expr) -> None:
        """Initialize the effect; see the class docstring for the parameters.
        """
    @property
    def fluent(self) -> int:
        """Index of the fluent assigned (int)."""
    @property
    def value(self) -> list[ExpressionNode]:
        """The value assigned, as a new list of new ExpressionNode."""
    def __repr__(self) -> str:
        """The effect's debug text, such as ``Effect { fluent: 2, value: [Int(1)] }``."""

class Timing(_BindingObject):
    """When an event happens: ``delay`` after its action's start or end.

    Parameters
    ----------
    start : bool
        True: the delay counts from the action's start; False: from its end.
        Only True or False (or a NumPy bool) is accepted, not an int.
    delay : int or fractions.Fraction
        The exact offset, of any sign: an int, or a Fraction whose numerator and
        denominator are ints, all in the signed 32-bit range. Not a float.

    Raises
    ------
    TypeError
        ``start`` is not a bool; the exception carries a note naming it.
    ValueError
        "Unable to parse Rational number": ``delay`` is of another type or out of
        range; the exception carries a note naming it.

    Notes
    -----
    Objects are frozen.

    Examples
    --------
    >>> import quorvane as qv
    >>> from fractions import Fraction
    >>> t = qv.Timing(True, Fraction(2, 4))
    >>> t
    Timing { start: true, delay: Ratio { numer: 1, denom: 2 } }
    >>> t.delay, t.is_from_end()
    (Fraction(1, 2), False)
    """
    def __init__(self, start: bool, delay: _Rational) -> None:
        """Initialize the timing; see the class docstring for the parameters.
        """
    def is_from_start(self) -> bool:
        """Whether the delay counts from the action's start.

        Returns
        -------
        bool
            The ``start`` given to the constructor.
        """
    def is_from_end(self) -> bool:
        """Whether the delay counts from the action's end.

        Returns
        -------
        bool
            The negation of the ``start`` given to the constructor.
        """
    @property
    def delay(self) -> Fraction:
        """The delay, as a new fractions.Fraction in lowest terms."""
    def __repr__(self) -> str:
        """The timing's debug text, such as ``Timing { start: true, delay: Ratio { numer: 1, denom: 2 } }``."""

class Event(_BindingObject):
    """One happening of an action: its condition, durative conditions and effects.

    An event applies when ``conditions`` evaluates to true in the state before
    it; its effects are then written, all reading the state before the event.
    Each expression of ``start_conditions`` must then hold in every state until an
    event of the task lists it in ``end_conditions``; an event whose result breaks
    a durative condition does not apply.

    Parameters
    ----------
    action : Action
        The action the event belongs to; it must be the action under which the
        SearchSpace lists the event.
    pos : int
        The event's position in its action's event list, 0 <= pos < 2**64; it
        must equal that position (nothing checks it).
    conditions : Sequence[ExpressionNode]
        One flat expression that must evaluate to a Bool.
    start_conditions : Sequence[Sequence[ExpressionNode]]
        Durative conditions that begin at this event, one flat expression each.
    end_conditions : Sequence[Sequence[ExpressionNode]]
        Durative conditions that end at this event.
    effects : Sequence[Effect]
        The assignments the event makes.

    Raises
    ------
    TypeError, OverflowError
        An argument of the wrong type or out of range (a ``str`` where a sequence
        is expected included); the exception carries a note naming the argument.

    Notes
    -----
    Objects are frozen; the arguments are copied and nothing about their content
    is checked.

    Examples
    --------
    >>> import quorvane as qv
    >>> true = [qv.make_bool_constant_node(True)]
    >>> qv.Event(qv.Action(0), 0, true, [], [], [qv.Effect(1, true)])
    Event { action: Action { idx: 0 }, pos: 0, conditions: [Bool(true)], start_conditions: [], end_conditions: [], effects: [Effect { fluent: 1, value: [Bool(true)] }] }
    """
    def __init__(
        self,
        action: Action,
        pos: SupportsIndex,
        conditions: _Expr,
        start_conditions: Sequence[_Expr],
        end_conditions: Sequence[_Expr],
        effects: Sequence[Effect],
    ) -> None:
        """Initialize the event; see the class docstring for the parameters.
        """
    @property
    def action(self) -> Action:
        """The action the event belongs to, as a new Action object."""
    @property
    def pos(self) -> int:
        """The event's position in its action's event list (int)."""
    @property
    def conditions(self) -> list[ExpressionNode]:
        """The event's condition, as a new list of new ExpressionNode."""
    @property
    def start_conditions(self) -> list[list[ExpressionNode]]:
        """The durative conditions that begin at this event, as a new list of lists of ExpressionNode."""
    @property
    def end_conditions(self) -> list[list[ExpressionNode]]:
        """The durative conditions that end at this event, as a new list of lists of ExpressionNode."""
    @property
    def effects(self) -> list[Effect]:
        """The event's effects, as a new list of new Effect objects."""
    def __repr__(self) -> str:
        """The event's debug text: ``Event { action: ..., pos: ..., ... }``."""

class Action(_BindingObject):
    """An action of the task, identified by its index.

    The index selects the action's entry in every per-action list of the task
    (``actions_duration``, ``compression_safe_actions``, ``action_objects``).

    Parameters
    ----------
    idx : int
        The action's index, 0 <= idx < 2**64.

    Raises
    ------
    TypeError, OverflowError
        ``idx`` is not an int or out of range; the exception carries a note
        naming ``idx``.

    Notes
    -----
    Every Action the module returns is a new object, and the class has no
    equality or hashing of its own: two objects with one index are different
    dict keys and compare unequal. Compare actions by ``idx``.
    """
    # Equality and hashing are by identity: compare actions by idx.
    def __init__(self, idx: SupportsIndex) -> None:
        """Initialize the action; see the class docstring for the parameters.
        """
    @property
    def idx(self) -> int:
        """The action's index (int)."""

class SearchSpace(_BindingObject):
    """A planning task as a forward state space.

    A successor applies the next event of one action: the first event starts the
    action, and its later events follow one at a time, in list order. In a
    temporal task (one with a duration entry) every state also carries a temporal
    network of the events applied so far, and a successor whose constraints make
    it inconsistent is dropped.

    Parameters
    ----------
    actions_duration : Sequence[tuple or None]
        One entry per action index. None: the action has no duration. Otherwise
        the 4-tuple ``(lower, upper, lower_open, upper_open)``: ``lower`` and
        ``upper`` are flat expressions (sequences of ExpressionNode) for the
        duration bounds, evaluated to numbers in the state in which the action
        starts; ``lower_open`` and ``upper_open`` are bools that make the bound
        strict (by ``epsilon``). One entry that is not None makes the task
        temporal.
    events : dict of Action to Sequence[tuple[Timing, Event]]
        For each action, its events in order, each with its timing; the k-th
        pair is the action's event k (its ``pos``). Each pair must be a tuple.
        Keys compare by index: of two Action keys with one index the later wins.
        An action without an entry never applies.
    actions : Sequence[Action]
        All actions; every key of ``events`` must have an index below
        ``len(actions)``. Used as the default of ``relevant_actions``.
    compression_safe_actions : Sequence[bool] or None
        Per action index: True applies all of the action's events in one
        successor when it starts (get_successor_state and the searches; not the
        replay of build_plan). None: no compression.
    action_objects : Sequence[Sequence[str]] or None
        Per action index, the names of the objects the action uses. Together with
        ``obj_to_prev_actions_map`` it filters which actions may start.
    obj_to_prev_actions_map : dict of str to set of Action, or None
        For an object name, the actions (a ``set`` or ``frozenset``) of which one
        must have been applied earlier on the path before another action that
        uses the object may start; an action in the set itself is not held back.
        Only used when ``action_objects`` is given too.
    initial_state : Sequence[ExpressionNode] or None, default None
        One constant node per fluent, by fluent index. None: it must be given to
        ``initial_state()`` instead (the searches use the stored one).
    goal : Sequence[ExpressionNode] or None, default None
        The goal, one flat expression that evaluates to a Bool.
    relevant_actions : Sequence[Action] or None, default None
        The actions tried, in this order, for successors; repeats are tried
        twice. None: ``actions``.
    deadline : int or fractions.Fraction or None, default None
        Temporal tasks: every action must end at least ``epsilon`` before this
        time. Kept as the nearest float. None: no deadline.
    epsilon : int or fractions.Fraction or None, default None
        Temporal tasks: the least separation of interfering events and the margin
        of strict duration bounds. None: 1/100.

    Raises
    ------
    TypeError, OverflowError, ValueError
        An argument of the wrong type or out of range, with a note naming it;
        a tuple of the wrong length is a ValueError, a ``str`` where a sequence
        is expected a TypeError, and a ``deadline`` or ``epsilon`` that is not an
        int or Fraction ValueError "Unable to parse Rational number".
    quorvane.InternalError
        A BaseException, not an Exception: a key of ``events`` whose index is not
        below ``len(actions)``.

    Notes
    -----
    Nothing else is validated: the per-action lists must cover every action that
    is applied, and ``initial_state`` must hold a value for every fluent that is
    read. Breaking that raises quorvane.InternalError when the action or fluent
    is used. The object keeps copies of everything; only ``relevant_actions``
    can be changed afterwards.

    Examples
    --------
    A task with one fluent and one action that makes it true:

    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> state = ss.initial_state()
    >>> ss.goal_reached(state), ss.goal_reached(ss.get_successor_state(state, a))
    (False, True)
    """
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
    ) -> None:
        """Initialize the search space; see the class docstring for the parameters.
        """
    def reset(self) -> None:
        """Do nothing.

        Kept for callers that expect it: the search space has nothing to reset, and
        its instance counter and memo tables are left as they are.

        Returns
        -------
        None
        """
    # (start, action, duration); times are exact rationals as text such as "601/100".
    def build_plan(self, path: Sequence[Action]) -> list[tuple[str | None, Action, str | None]]:
        """Schedule a plan into start times and durations, with exact arithmetic.

        For a temporal task the plan is replayed from the stored initial state, one
        event per entry, while an exact temporal network collects the actions'
        duration bounds, the timing of each event within its action, and the
        orderings that interfering events require (at least ``epsilon`` apart).
        Every action gets its earliest start; a duration is its end minus its start.
        Events the path lists one after the other may share a time. Nothing is
        scheduled for a task that is not temporal.

        Parameters
        ----------
        path : Sequence[Action]
            The plan as a search returns it: one Action per applied event.

        Returns
        -------
        list of tuple[str or None, Action, str or None]
            ``(start, action, duration)`` for every action instance started, sorted
            by start, then by ``idx``, then by duration (None first). Times are
            exact rationals written as text: numerator, slash, denominator, in
            lowest terms, the denominator always written (``"0/1"``, ``"601/100"``),
            so they convert exactly with ``fractions.Fraction(text)``. A duration of
            0 is None. For a task that is not temporal: ``(None, action, None)`` per
            entry, in path order, without any replay.

        Raises
        ------
        Exception
            "The initial state must be defined somewhere!" (temporal tasks, also for
            an empty path); "The plan cannot be scheduled: ..." when the exact
            constraints contradict each other; the task's errors met in the replay.
        ValueError, ZeroDivisionError
            "Expected a number!" or "division by zero" from a duration bound.
        TypeError
            ``path`` is not a sequence of Action; the note names ``path``.
        quorvane.InternalError
            A BaseException, not an Exception: an entry of ``path`` that does not
            apply in the replayed state.

        Notes
        -----
        Duration bounds are evaluated in the state after the action's first event
        (the search evaluates them before it). The replay advances the search
        space's instance counter as a search does.

        Examples
        --------
        An action that must last more than 6 (open lower bound) and at most 10
        lasts 6 + epsilon, 601/100 with the default epsilon:

        >>> import quorvane as qv
        >>> a = qv.Action(0)
        >>> true = [qv.make_bool_constant_node(True)]
        >>> start = qv.Event(a, 0, true, [], [], [])
        >>> end = qv.Event(a, 1, true, [], [], [qv.Effect(0, true)])
        >>> six, ten = [qv.make_int_constant_node(6)], [qv.make_int_constant_node(10)]
        >>> ss = qv.SearchSpace([(six, ten, True, False)],
        ...                     {a: [(qv.Timing(True, 0), start), (qv.Timing(False, 0), end)]},
        ...                     [a], None, None, None,
        ...                     initial_state=[qv.make_bool_constant_node(False)],
        ...                     goal=[qv.make_fluent_node(0)])
        >>> plan, _ = qv.bfs_search(ss)
        >>> [x.idx for x in plan]
        [0, 0]
        >>> [(start, x.idx, duration) for start, x, duration in ss.build_plan(plan)]
        [('0/1', 0, '601/100')]
        """
    def goal_reached(self, state: State, goal: _Expr | None = None) -> bool:
        """Whether a state satisfies the goal.

        A state in which an action is still running never does: the answer is then
        False without looking at the goal.

        Parameters
        ----------
        state : State
            A state of this search space.
        goal : Sequence[ExpressionNode] or None, default None
            A goal for this call only; None uses the stored goal.

        Returns
        -------
        bool

        Raises
        ------
        Exception
            "The goal must be defined somewhere!" or "The goal is not a boolean
            expression!".
        ValueError, ZeroDivisionError
            "Expected a number!" or "division by zero" from the evaluation.
        TypeError
            An argument of the wrong type; the note names it.
        """
    def subgoals_sat(self, state: State, goal: _Expr | None = None) -> list[list[ExpressionNode]]:
        """The top-level conjuncts of the goal that a state satisfies.

        The conjuncts are the operands of a root And, each as an expression of its
        own, or the whole goal when its root is not an And. Running actions are not
        looked at.

        Parameters
        ----------
        state : State
            A state of this search space.
        goal : Sequence[ExpressionNode] or None, default None
            A goal for this call only; None uses the stored goal.

        Returns
        -------
        list of list of ExpressionNode
            Each satisfied conjunct once (a conjunct that is not a Bool counts as not
            satisfied), in no meaningful order.

        Raises
        ------
        Exception
            "The goal must be defined somewhere!".
        ValueError, ZeroDivisionError
            "Expected a number!" or "division by zero" from the evaluation.
        TypeError
            An argument of the wrong type; the note names it.
        """
    def initial_state(self, initial_state: _Expr | None = None) -> State:
        """Build the initial state.

        Parameters
        ----------
        initial_state : Sequence[ExpressionNode] or None, default None
            Fluent values for this call only, one constant node per fluent; None uses
            the stored initial state. Nothing checks the nodes or their number.

        Returns
        -------
        State
            A new state with ``g`` 0, an empty path and no running action; in a
            temporal task with a deadline, its network puts the horizon at the
            deadline.

        Raises
        ------
        Exception
            "The initial state must be defined somewhere!".
        TypeError
            ``initial_state`` is not a sequence of ExpressionNode; the note names it.
        """
    def get_successor_state(self, state: State, action: Action) -> State | None:
        """The successor of a state by an action, or None when the action does not apply.

        If the action is running, its next event is applied; otherwise its first
        event starts it (with all its events at once when the action is marked in
        ``compression_safe_actions``). The event's condition must hold, durative
        conditions must keep holding, the object filter must let the action start,
        and in a temporal task the new constraints must keep the state's network
        consistent.

        Parameters
        ----------
        state : State
            A state of this search space.
        action : Action
            The action to apply.

        Returns
        -------
        State or None

        Raises
        ------
        Exception
            "An action condition is not a boolean expression!".
        ValueError, ZeroDivisionError
            "Expected a number!" or "division by zero" from evaluating a condition,
            an effect or a duration bound.
        TypeError
            An argument of the wrong type; the note names it.
        quorvane.InternalError
            A BaseException, not an Exception: the action's index lies beyond a
            per-action list the task needs for it, or an effect writes a fluent the
            state does not have.
        """
    def get_successor_states(self, state: State) -> list[State]:
        """All successors of a state, one per applicable action of ``relevant_actions``.

        Parameters
        ----------
        state : State
            A state of this search space.

        Returns
        -------
        list of State
            In the order of ``relevant_actions``; actions that do not apply are
            skipped.

        Raises
        ------
        Exception, ValueError, ZeroDivisionError, quorvane.InternalError
            As get_successor_state; the first error ends the call and no successor is
            returned.
        TypeError
            ``state`` is not a State; the note names it.
        """
    @property
    def is_temporal(self) -> bool:
        """Whether the task is temporal: some entry of ``actions_duration`` is not None (bool, read-only)."""
    @property
    def relevant_actions(self) -> list[Action]:
        """The actions tried for successors, in order (list of Action).

        Reading gives a new list of new Action objects. Assigning takes any sequence of
        Action but a ``str`` (TypeError otherwise) and raises RuntimeError "Already
        borrowed: ..." while a search or another call is using the search space.
        Deleting raises AttributeError."""
    @relevant_actions.setter
    def relevant_actions(self, value: Sequence[Action]) -> None: ...

class State(_BindingObject):
    """A search state: fluent values, running actions, cost and path.

    States are made by SearchSpace methods (and handed to a custom heuristic's
    callable as a copy); the class has no constructor (calling it raises
    TypeError). Objects are frozen and have no equality or hashing of their own.
    """
    # No constructor: states come from SearchSpace methods (see ExpressionNode).
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @property
    def g(self) -> float:
        """The cost of the path so far (float): the number of events applied since the initial state."""
    # (action, event position, instance number), oldest first
    @property
    def path(self) -> list[tuple[Action, int, int]]:
        """The applied events, oldest first, as a new list of ``(action, event position, instance number)``
        tuples (Action, int, int)."""
    # action -> (next event index, instance number)
    @property
    def todo(self) -> dict[Action, tuple[int, int]]:
        """The running actions, as a new dict mapping a new Action to ``(next event index, instance number)``."""
    def get_value(self, fluent: SupportsIndex) -> ExpressionNode:
        """The value of one fluent.

        Parameters
        ----------
        fluent : int
            The fluent index, 0 <= fluent.

        Returns
        -------
        ExpressionNode
            A new node holding a copy of the fluent's value.

        Raises
        ------
        Exception
            "Fluent not found!": ``fluent`` is not below the number of fluents.
        TypeError, OverflowError
            ``fluent`` is not an int, or negative; the note names it.
        """

class Heuristic(_BindingObject):
    """An evaluator of states, for the informed searches.

    Made by the static constructors ``hff``, ``hadd``, ``hmax`` (delete
    relaxation with numeric conditions), ``hmax_explicit`` (hmax over explicit
    sets of reachable values) and ``custom`` (a Python callable); the class has
    no constructor (calling it raises TypeError). A value is a float, or None for
    a dead end: a state from which the relaxation cannot reach the goal.

    With ``cache_value_in_state`` the value is memoised in the evaluated State
    under the heuristic's ``name``, so heuristics of one name share those entries
    (two hff heuristics of different tasks included).

    Examples
    --------
    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> h = qv.Heuristic.hff([a], ["bool"], {}, events, goal, False, False, False)
    >>> h.name, h.eval(ss.initial_state(), ss)
    ('hff', 1.0)
    """
    # No constructor: heuristics come from the class methods (see ExpressionNode).
    def __new__(cls, no_constructor: Never, /) -> Self: ...
    def __init__(self, no_constructor: Never, /) -> None: ...
    @classmethod
    def custom(cls, callable: Callable[[State], _Float | None], cache_value_in_state: bool) -> Heuristic:
        """A heuristic computed by a Python callable.

        Parameters
        ----------
        callable : Callable[[State], float | None]
            Called with one argument, a new copy of the evaluated State (changing it
            reaches nothing). It returns a number (anything ``float()`` accepts) or
            None for a dead end. Nothing checks at construction that it is callable.
            During a search it runs on the searching thread, holding the interpreter
            lock; it may read the search space and evaluate states.
        cache_value_in_state : bool
            Memoise each value in the evaluated State under the name "custom", which
            every custom heuristic shares.

        Returns
        -------
        Heuristic
            Named "custom".

        Raises
        ------
        TypeError
            ``cache_value_in_state`` is not a bool; the note names it.

        Notes
        -----
        An exception raised by the callable, or by the conversion of its result to
        float, is raised unchanged by ``eval`` and by the search that evaluated.

        Examples
        --------
        >>> import quorvane as qv
        >>> h = qv.Heuristic.custom(lambda state: 2 * state.g, False)
        >>> ss = qv.SearchSpace([], {}, [], None, None, None, initial_state=[])
        >>> h.name, h.eval(ss.initial_state(), ss)
        ('custom', 0.0)
        """
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
    ) -> Heuristic:
        """The FF heuristic: the number of operators of a relaxed plan.

        Each event of each action is one relaxed operator of cost 1; the events of an
        action are chained so that they become possible in order, from where the
        state says the action stands. Linear numeric conditions are reasoned about
        through the increments and assignments of the operators.

        Parameters
        ----------
        actions : Sequence[Action]
            The task's actions; every key of ``events`` must be among them.
        fluent_types : Sequence[str]
            One type per fluent, by index: "bool", "int", "real", or the name of an
            object type (a key of ``objects``). Its length is the number of fluents.
            A ``str`` itself is refused.
        objects : dict of str to Sequence[str]
            The object names of each object type.
        events : dict of Action to Sequence[tuple[Timing, Event]]
            As for SearchSpace: each action's events in order, with their timings.
        goals : Sequence[ExpressionNode]
            The goal, one flat expression of at least one node.
        internal_caching : bool
            Keep a value cache inside the heuristic, keyed by a state's fluent values
            and the next event of each action of ``actions``; the copies that
            multiqueue_search makes share it.
        cache_value_in_state : bool
            Memoise each value in the evaluated State under the heuristic's name.
        inadmissible_numeric_heuristic_variant : bool
            How an assignment to a fluent of a linear numeric condition counts: True,
            as a change of -1 per application (more informed, may overestimate);
            False, as one application that may satisfy the condition.
        disable_numeric_reasoning : bool, default False
            Treat every numeric condition as an opaque condition, without linear
            reasoning; the name gets the suffix ``_no_numbers``.

        Returns
        -------
        Heuristic
            Named "hff" ("hff_no_numbers" with disable_numeric_reasoning).

        Raises
        ------
        TypeError, OverflowError, ValueError
            An argument of the wrong type (a flag that is not a bool, a ``str`` where a
            sequence is expected, an event pair that is not a 2-tuple, ...); the
            exception carries a note naming the argument.
        quorvane.InternalError
            A BaseException, not an Exception: the task breaks a limit the heuristic
            relies on, such as an empty goal or an effect on a fluent index not below
            ``len(fluent_types)``.

        Examples
        --------
        >>> import quorvane as qv
        >>> a = qv.Action(0)
        >>> true = [qv.make_bool_constant_node(True)]
        >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
        >>> events = {a: [(qv.Timing(True, 0), event)]}
        >>> goal = [qv.make_fluent_node(0)]
        >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
        ...                     initial_state=[qv.make_bool_constant_node(False)],
        ...                     goal=goal)
        >>> h = qv.Heuristic.hff([a], ["bool"], {}, events, goal, False, False, False)
        >>> h.eval(ss.initial_state(), ss)
        1.0
        """
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
    ) -> Heuristic:
        """The additive heuristic: relaxed costs of the goal's parts, summed.

        Each event of each action is one relaxed operator of cost 1; the events of an
        action are chained so that they become possible in order, from where the
        state says the action stands. Linear numeric conditions are reasoned about
        through the increments and assignments of the operators.

        Parameters
        ----------
        actions : Sequence[Action]
            The task's actions; every key of ``events`` must be among them.
        fluent_types : Sequence[str]
            One type per fluent, by index: "bool", "int", "real", or the name of an
            object type (a key of ``objects``). Its length is the number of fluents.
            A ``str`` itself is refused.
        objects : dict of str to Sequence[str]
            The object names of each object type.
        events : dict of Action to Sequence[tuple[Timing, Event]]
            As for SearchSpace: each action's events in order, with their timings.
        goals : Sequence[ExpressionNode]
            The goal, one flat expression of at least one node.
        internal_caching : bool
            Keep a value cache inside the heuristic, keyed by a state's fluent values
            and the next event of each action of ``actions``; the copies that
            multiqueue_search makes share it.
        cache_value_in_state : bool
            Memoise each value in the evaluated State under the heuristic's name.
        inadmissible_numeric_heuristic_variant : bool
            How an assignment to a fluent of a linear numeric condition counts: True,
            as a change of -1 per application (more informed, may overestimate);
            False, as one application that may satisfy the condition.
        disable_numeric_reasoning : bool, default False
            Treat every numeric condition as an opaque condition, without linear
            reasoning; the name gets the suffix ``_no_numbers``.

        Returns
        -------
        Heuristic
            Named "hadd" ("hadd_no_numbers" with disable_numeric_reasoning).

        Raises
        ------
        TypeError, OverflowError, ValueError
            An argument of the wrong type (a flag that is not a bool, a ``str`` where a
            sequence is expected, an event pair that is not a 2-tuple, ...); the
            exception carries a note naming the argument.
        quorvane.InternalError
            A BaseException, not an Exception: the task breaks a limit the heuristic
            relies on, such as an empty goal or an effect on a fluent index not below
            ``len(fluent_types)``.
        """
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
    ) -> Heuristic:
        """The max heuristic: the largest relaxed cost among the goal's parts.

        Each event of each action is one relaxed operator of cost 1; the events of an
        action are chained so that they become possible in order, from where the
        state says the action stands. Linear numeric conditions are reasoned about
        through the increments and assignments of the operators.

        Parameters
        ----------
        actions : Sequence[Action]
            The task's actions; every key of ``events`` must be among them.
        fluent_types : Sequence[str]
            One type per fluent, by index: "bool", "int", "real", or the name of an
            object type (a key of ``objects``). Its length is the number of fluents.
            A ``str`` itself is refused.
        objects : dict of str to Sequence[str]
            The object names of each object type.
        events : dict of Action to Sequence[tuple[Timing, Event]]
            As for SearchSpace: each action's events in order, with their timings.
        goals : Sequence[ExpressionNode]
            The goal, one flat expression of at least one node.
        internal_caching : bool
            Keep a value cache inside the heuristic, keyed by a state's fluent values
            and the next event of each action of ``actions``; the copies that
            multiqueue_search makes share it.
        cache_value_in_state : bool
            Memoise each value in the evaluated State under the heuristic's name.
        inadmissible_numeric_heuristic_variant : bool
            How an assignment to a fluent of a linear numeric condition counts: True,
            as a change of -1 per application (more informed, may overestimate);
            False, as one application that may satisfy the condition.
        disable_numeric_reasoning : bool, default False
            Treat every numeric condition as an opaque condition, without linear
            reasoning; the name gets the suffix ``_no_numbers``.

        Returns
        -------
        Heuristic
            Named "hmax" ("hmax_no_numbers" with disable_numeric_reasoning).

        Raises
        ------
        TypeError, OverflowError, ValueError
            An argument of the wrong type (a flag that is not a bool, a ``str`` where a
            sequence is expected, an event pair that is not a 2-tuple, ...); the
            exception carries a note naming the argument.
        quorvane.InternalError
            A BaseException, not an Exception: the task breaks a limit the heuristic
            relies on, such as an empty goal or an effect on a fluent index not below
            ``len(fluent_types)``.
        """
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
    ) -> Heuristic:
        """hmax over explicit sets of the values each fluent can reach.

        Counts the rounds of never-undone growth of every fluent's set of possible
        values until some combination of them makes the goal true. Conditions and
        effects are evaluated over every combination of the possible values of the
        fluents they read, so any expression is handled, at a cost that grows with
        those combinations; a long evaluation inside a search checks its time limit.

        Parameters
        ----------
        actions : Sequence[Action]
            The task's actions; every key of ``events`` must be among them.
        fluent_types : Sequence[str]
            One type per fluent, by index: "bool", "int", "real", or the name of an
            object type (a key of ``objects``). Its length is the number of fluents.
            A ``str`` itself is refused.
        objects : dict of str to Sequence[str]
            The object names of each object type.
        events : dict of Action to Sequence[tuple[Timing, Event]]
            As for SearchSpace: each action's events in order, with their timings.
        goals : Sequence[ExpressionNode]
            The goal, one flat expression of at least one node.
        internal_caching : bool
            Keep a value cache inside the heuristic, keyed by a state's fluent values
            and the next event of each action of ``actions``; the copies that
            multiqueue_search makes share it.
        cache_value_in_state : bool
            Memoise each value in the evaluated State under the heuristic's name.
        inadmissible_numeric_heuristic_variant : bool
            How an assignment to a fluent of a linear numeric condition counts: True,
            as a change of -1 per application (more informed, may overestimate);
            False, as one application that may satisfy the condition.
            ``objects`` and this flag are checked like the other arguments, then
            not used; ``fluent_types`` counts the fluents only.

        Returns
        -------
        Heuristic
            Named "hmax_explicit".

        Raises
        ------
        TypeError, OverflowError, ValueError
            An argument of the wrong type (a flag that is not a bool, a ``str`` where a
            sequence is expected, an event pair that is not a 2-tuple, ...); the
            exception carries a note naming the argument.
        quorvane.InternalError
            A BaseException, not an Exception: the task breaks a limit the heuristic
            relies on, such as an empty goal or an effect on a fluent index not below
            ``len(fluent_types)``.
        """
    @property
    def name(self) -> str:
        """The heuristic's name (str): "hff", "hadd", "hmax" (with the suffix "_no_numbers" when
        numeric reasoning is disabled), "hmax_explicit" or "custom". The key of the values
        memoised in states."""
    def eval(self, state: State, ss: SearchSpace) -> float | None:
        """The heuristic value of a state.

        Parameters
        ----------
        state : State
            The state to evaluate.
        ss : SearchSpace
            The state's search space (borrowed for the call, not otherwise read).

        Returns
        -------
        float or None
            The value; None for a dead end.

        Raises
        ------
        TypeError
            ``state`` is not a State or ``ss`` not a SearchSpace; the note names it.
        ValueError, ZeroDivisionError
            "Expected a number!" or "division by zero" from evaluating the task's
            expressions (with hmax_explicit, under any combination of possible values).
        Exception
            "The goal is not a boolean expression!": the heuristic's goal is a
            number, an object, arithmetic, or a fluent that holds no boolean.
        KeyboardInterrupt
            Ctrl-C (or whatever a signal handler raises) during a long evaluation on
            the main thread; the heuristic stays usable.
        MemoryError
            Memory ran out; the heuristic stays usable.
        BaseException
            Whatever the callable of a custom heuristic raises passes through
            unchanged; nothing is memoised for it.

        Notes
        -----
        The evaluation runs with the interpreter lock released (a custom callable
        takes it back for its call).
        """
    def reachable_actions(self, state: State) -> set[Action]:
        """The actions the delete relaxation can reach from a state.

        Parameters
        ----------
        state : State
            The state to start from.

        Returns
        -------
        set of Action
            The actions all of whose events are reachable in the relaxation, as new
            Action objects (one per action).

        Raises
        ------
        NotImplementedError
            "reachable_actions is not available: hdr is None": the heuristic is not
            hff, hadd or hmax.
        TypeError
            ``state`` is not a State; the note names it.
        ValueError
            "Expected a number!" from reading a numeric fluent.
        """

def make_operator_node(kind: str, operands: Sequence[SupportsIndex]) -> ExpressionNode:
    """Make an operator node.

    Parameters
    ----------
    kind : str
        One of "+" (Plus), "*" (Times), "and", "or" (any number of operands),
        "not" (the first operand), "==" (Equals), "<=" (LE), "<" (LT), "-"
        (Minus), "/" (Div) (the first two operands).
    operands : Sequence[int]
        Positions of the operands in the flat expression, each >= 0; operands
        beyond the ones the kind uses are ignored, and the values are not
        checked.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    ValueError
        "Unknown operator: " followed by ``kind``.
    TypeError, OverflowError
        An argument of the wrong type, or a negative operand; the note names it.
    quorvane.InternalError
        A BaseException, not an Exception: fewer operands than the kind uses.

    Examples
    --------
    >>> import quorvane as qv
    >>> nodes = [qv.make_fluent_node(2), qv.make_int_constant_node(1)]
    >>> nodes.append(qv.make_operator_node("+", [0, 1]))
    >>> nodes
    [Fluent(2), Int(1), Plus([0, 1])]
    >>> qv.make_operator_node("-", [0, 1, 2])
    Minus(0, 1)
    """
def make_bool_constant_node(v: bool) -> ExpressionNode:
    """Make a Bool constant node.

    Parameters
    ----------
    v : bool
        True or False (or a NumPy bool); an int is refused.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    TypeError
        ``v`` is not a bool; the note names it.
    """
def make_int_constant_node(v: SupportsIndex) -> ExpressionNode:
    """Make an Int constant node.

    Parameters
    ----------
    v : int
        A value in the signed 32-bit range.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    TypeError, OverflowError
        ``v`` is not an int, or out of range; the note names it.
    """
def make_rational_constant_node(numerator: SupportsIndex, denominator: SupportsIndex) -> ExpressionNode:
    """Make a Rational constant node, reduced to lowest terms.

    The node stays a Rational even when its value is whole.

    Parameters
    ----------
    numerator : int
        In the signed 32-bit range.
    denominator : int
        In the signed 32-bit range, not 0; a negative one moves the sign to the
        numerator.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    TypeError, OverflowError
        An argument that is not an int, or out of range; the note names it.
    quorvane.InternalError
        A BaseException, not an Exception: ``denominator`` is 0.

    Examples
    --------
    >>> import quorvane as qv
    >>> node = qv.make_rational_constant_node(2, -4)
    >>> node, node.real_constant
    (Rational(Ratio { numer: -1, denom: 2 }), Fraction(-1, 2))
    """
def make_object_node(name: str) -> ExpressionNode:
    """Make an Object node: a named object, as the value of an object-typed fluent.

    Parameters
    ----------
    name : str
        The object's name.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    TypeError
        ``name`` is not a str; the note names it.
    """
def make_fluent_node(fluent: SupportsIndex) -> ExpressionNode:
    """Make a Fluent node: the value of a fluent in the state where it is read.

    Parameters
    ----------
    fluent : int
        The fluent index, 0 <= fluent < 2**64.

    Returns
    -------
    ExpressionNode

    Raises
    ------
    TypeError, OverflowError
        ``fluent`` is not an int, or out of range; the note names it.
    """
def shift_expression(exp: _Expr, offset: SupportsIndex) -> list[ExpressionNode]:
    """Add an offset to every operand position of an expression.

    Use it to append an expression after others: its operands then name the
    right positions. Fluent indices and constants do not change.

    Parameters
    ----------
    exp : Sequence[ExpressionNode]
        A flat expression.
    offset : int
        0 <= offset < 2**64.

    Returns
    -------
    list of ExpressionNode
        New nodes, as many as ``exp`` has.

    Raises
    ------
    Exception
        "Overflow": a position would exceed 2**64 - 1.
    TypeError, OverflowError
        An argument of the wrong type, or ``offset`` out of range; the note names
        it.

    Examples
    --------
    >>> import quorvane as qv
    >>> exp = [qv.make_bool_constant_node(True), qv.make_operator_node("not", [0])]
    >>> qv.shift_expression(exp, 5)
    [Bool(true), Not(5)]
    """
def dfs_search(ss: SearchSpace, timeout: _Float | None = None, early_termination: bool = False) -> _SearchResult:
    """Depth-first search.

    Expands the last generated state first. No heuristic and no duplicate
    detection: in a state space with cycles it can follow a cycle until its
    time-out stops it, so give one.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def bfs_search(ss: SearchSpace, timeout: _Float | None = None, early_termination: bool = False) -> _SearchResult:
    """Breadth-first search.

    Expands states in the order they were generated; the first plan found has
    the fewest successor steps. No heuristic and no duplicate detection: a state
    reached twice is expanded twice.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.

    Examples
    --------
    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> plan, stats = qv.bfs_search(ss)
    >>> [x.idx for x in plan], sorted(stats.items())
    ([0], [('expanded_states', '2'), ('goal_depth', '1')])
    """
def multiqueue_search(
    ss: SearchSpace,
    heuristics: Sequence[tuple[Heuristic, _Float]],
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Best-first search over several open lists, taken in turn.

    Queue i orders states by w_i*h_i + (1 - w_i)*g with its own heuristic and
    weight; the queues are taken round-robin (the expanded count modulo the
    number of queues). Every new state is evaluated by every heuristic and
    queued in every queue where it is not a dead end; a state expanded through
    one queue is skipped when another yields it. The search ends without a plan
    when the queue whose turn it is runs empty.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristics : Sequence[tuple[Heuristic, float]]
        One ``(heuristic, weight)`` tuple per queue; not a ``str``. Each heuristic
        is copied for the call, and the copy shares the original's internal value
        cache. A pair that is not a tuple is a TypeError, one of another length a
        ValueError; an empty sequence raises quorvane.InternalError.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.multiqueue``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.

    Examples
    --------
    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> h = qv.Heuristic.hff([a], ["bool"], {}, events, goal, False, False, False)
    >>> plan, stats = qv.multiqueue_search(ss, [(h, 1.0), (h, 0.5)])
    >>> [x.idx for x in plan]
    [0]
    """
def wastar_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    weight: _Float,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Weighted A* search: states ordered by w*h + (1 - w)*g, lowest first.

    Duplicates are dropped before they are evaluated (see ``weak_equality``).
    Ties go to the state with fewer running actions, then to the one generated
    first.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    weight : float
        The weight w of h: states are ordered by w*h + (1 - w)*g, lowest first.
        0.5 orders as h + g does (A*), 1.0 by h alone (greedy), 0.0 by g alone.
        Any number that converts to float; no range is enforced.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    astar_search, gbfs_search, wastar_search_memory_bounded

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.

    Examples
    --------
    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> h = qv.Heuristic.hff([a], ["bool"], {}, events, goal, False, False, False)
    >>> qv.wastar_search(ss, h, 0.5)[1] == qv.astar_search(ss, h)[1]
    True
    """
def wastar_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    weight: _Float,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Weighted A* search in bounded memory: states ordered by w*h + (1 - w)*g.

    The open list keeps at most 400,000 states (the worst are dropped when it is
    full), and states met before are recognised by a Bloom filter over their
    fluent values alone, sized for 20,000,000 states with a false-positive rate of
    0.0001 and seeded afresh for every search. A dropped or falsely recognised
    state is never generated again, so the search may end without a plan although
    one exists. In a temporal task the filter is used only with ``weak_equality``;
    without it nothing is filtered.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    weight : float
        The weight w of h: states are ordered by w*h + (1 - w)*g, lowest first.
        0.5 orders as h + g does (A*), 1.0 by h alone (greedy), 0.0 by g alone.
        Any number that converts to float; no range is enforced.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    wastar_search

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def astar_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """A* search: states ordered by h + g.

    The same search as ``wastar_search(ss, heuristic, 0.5, ...)``: the priority
    0.5*h + 0.5*g orders states as h + g does. A state met again along a cheaper
    path is still a duplicate, so even with an admissible heuristic the plan
    need not be the shortest.
    Ties go to the state with fewer running actions, then to the one generated
    first.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    wastar_search, astar_search_memory_bounded

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.

    Examples
    --------
    >>> import quorvane as qv
    >>> a = qv.Action(0)
    >>> true = [qv.make_bool_constant_node(True)]
    >>> event = qv.Event(a, 0, true, [], [], [qv.Effect(0, true)])
    >>> events = {a: [(qv.Timing(True, 0), event)]}
    >>> goal = [qv.make_fluent_node(0)]
    >>> ss = qv.SearchSpace([None], events, [a], None, None, None,
    ...                     initial_state=[qv.make_bool_constant_node(False)],
    ...                     goal=goal)
    >>> h = qv.Heuristic.hff([a], ["bool"], {}, events, goal, False, False, False)
    >>> plan, stats = qv.astar_search(ss, h, timeout=10)
    >>> [x.idx for x in plan], sorted(stats.items())
    ([0], [('expanded_states', '2'), ('goal_depth', '1')])
    """
def astar_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """A* search in bounded memory: states ordered by h + g.

    The same search as ``wastar_search_memory_bounded(ss, heuristic, 0.5, ...)``.

    The open list keeps at most 400,000 states (the worst are dropped when it is
    full), and states met before are recognised by a Bloom filter over their
    fluent values alone, sized for 20,000,000 states with a false-positive rate of
    0.0001 and seeded afresh for every search. A dropped or falsely recognised
    state is never generated again, so the search may end without a plan although
    one exists. In a temporal task the filter is used only with ``weak_equality``;
    without it nothing is filtered.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    astar_search, wastar_search_memory_bounded

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def gbfs_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Greedy best-first search: states ordered by h alone.

    The same search as ``wastar_search(ss, heuristic, 1.0, ...)``.
    Ties go to the state with fewer running actions, then to the one generated
    first.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    wastar_search, gbfs_search_memory_bounded

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def gbfs_search_memory_bounded(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Greedy best-first search in bounded memory: states ordered by h alone.

    The same search as ``wastar_search_memory_bounded(ss, heuristic, 1.0, ...)``.

    The open list keeps at most 400,000 states (the worst are dropped when it is
    full), and states met before are recognised by a Bloom filter over their
    fluent values alone, sized for 20,000,000 states with a false-positive rate of
    0.0001 and seeded afresh for every search. A dropped or falsely recognised
    state is never generated again, so the search may end without a plan although
    one exists. In a temporal task the filter is used only with ``weak_equality``;
    without it nothing is filtered.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    See Also
    --------
    gbfs_search, wastar_search_memory_bounded

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug every 10000 expansions. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def ehc_search(
    ss: SearchSpace,
    heuristic: Heuristic,
    timeout: _Float | None = None,
    early_termination: bool = False,
    weak_equality: bool = False,
) -> _SearchResult:
    """Enforced hill climbing.

    From the best state so far, a breadth-first search runs until it meets a
    successor with a strictly lower heuristic value, commits to it and starts
    over from it, forgetting the rest. It is not complete: it can return None
    although a plan exists.

    Parameters
    ----------
    ss : SearchSpace
        The task. It is held under a shared borrow for the whole call: assigning
        ``ss.relevant_actions`` meanwhile (from a custom heuristic or another
        thread) raises RuntimeError.
    heuristic : Heuristic
        Evaluates states; a value of None marks a dead end, which is dropped.
        The search uses this very object, not a copy: what it caches in states
        and in itself stays after the call.
    timeout : float or None, default None
        Limit on the wall-clock time of the search, in seconds, measured from its
        start; any number that converts to float (an int too), rounded to a 32-bit
        float. None means no limit, and so does infinity; NaN is refused.
        The clock is read once per expanded state (and now and then during a
        long hmax_explicit evaluation).
    early_termination : bool, default False
        Test the goal when a state is generated rather than when it is taken for
        expansion, so the search stops at the first goal state it generates.
        Only True or False (or a NumPy bool) is accepted, not an int.
    weak_equality : bool, default False
        Duplicate detection in temporal tasks: with True, a state counts as seen
        when one with equal fluent values and the same running actions at the same
        next events was generated before; with False a temporal search keeps every
        state it generates. Ignored in tasks that are not temporal, where states
        with equal fluent values are always duplicates. Only True or False.

    Returns
    -------
    plan : list of Action or None
        One Action per applied event, oldest first (a durative action with a start
        and an end event appears twice), or None when the search ended without
        reaching the goal. A goal that holds in the initial state gives ``[]``.
        Every element is a new object: compare actions by ``idx``. For a temporal
        task, ``ss.build_plan(plan)`` gives start times and durations.
    statistics : dict of str to str
        ``"expanded_states"``: the number of states expanded, in decimal; always
        present. ``"goal_depth"``: the goal state's ``g`` (the number of events
        applied on its path) written without a fractional part, such as ``"3"``;
        present only with a plan.

    Raises
    ------
    TimeoutError
        "Timeout": the search ran longer than ``timeout``; nothing is returned.
    TypeError
        An argument of the wrong type, with a note naming it: an object of another
        class, a ``timeout`` that is not a number, a flag that is not a bool.
        A ``timeout`` of NaN raises ValueError, with the same note.
    Exception
        The task's own errors, such as "The initial state must be defined
        somewhere!", "The goal must be defined somewhere!", "The goal is not a
        boolean expression!" or "An action condition is not a boolean
        expression!".
    ValueError, ZeroDivisionError
        "Expected a number!" or "division by zero" from evaluating a condition,
        an effect or a duration bound.
    RuntimeError
        ``ss`` is being changed at that moment (its ``relevant_actions`` setter).
    KeyboardInterrupt
        Ctrl-C (SIGINT) on the main thread ends the search within a few tens of
        milliseconds; so does whatever another signal's handler raises (a handler
        that returns lets the search go on unchanged). The objects stay usable.
    MemoryError
        Memory ran out (also under an address-space limit); the objects stay
        usable and the next search runs as usual.
    quorvane.InternalError
        A BaseException, not an Exception: the task breaks an assumption the engine
        relies on, such as an applied action whose index lies beyond
        ``actions_duration`` in a temporal task.
    BaseException
        Whatever the callable of a custom heuristic raises passes through
        unchanged.

    Notes
    -----
    The search runs with the interpreter lock released, so other Python threads
    run meanwhile; a custom heuristic's callable and the log records take the lock
    back for their own calls. Each step applies one event and adds 1 to ``g``:
    there are no action costs.

    Records go to the logger ``quorvane_base.search``:
    Info when the search starts (with its parameters), when it finds a goal and
    when it runs out of states; Debug with the initial heuristic value and each improvement. The module asks a
    logger once per process whether a level is enabled, at its first record of
    that level: set levels before the first search.
    """
def evaluate(exp: _Expr, state: State) -> ExpressionNode:
    """Evaluate an expression in a state, with exact arithmetic.

    Every node is evaluated, also those the root does not reach. Arithmetic
    results whose denominator is 1 become Int nodes; Equals compares kinds too
    (Int 2 is not the Rational 2/1); And, Or and Not treat anything that is not a
    Bool as neither true nor false.

    Parameters
    ----------
    exp : Sequence[ExpressionNode]
        A flat expression of at least one node.
    state : State
        The state whose fluent values the Fluent nodes read.

    Returns
    -------
    ExpressionNode
        The root's value, a new constant node.

    Raises
    ------
    ValueError
        "Expected a number!": a comparison or arithmetic operand is not a number.
    ZeroDivisionError
        "division by zero".
    TypeError
        An argument of the wrong type; the note names it.
    quorvane.InternalError
        A BaseException, not an Exception: an empty expression, an operand that
        does not name an earlier node, or a fluent the state does not have.

    Examples
    --------
    >>> import quorvane as qv
    >>> ss = qv.SearchSpace([], {}, [], None, None, None,
    ...                     initial_state=[qv.make_int_constant_node(3)])
    >>> exp = [qv.make_fluent_node(0), qv.make_int_constant_node(2),
    ...        qv.make_operator_node("/", [0, 1])]
    >>> qv.evaluate(exp, ss.initial_state())
    Rational(Ratio { numer: 3, denom: 2 })
    """
def simplify(exp: _Expr, assignments: dict[int, ExpressionNode]) -> list[ExpressionNode]:
    """Partially evaluate an expression under assumed fluent values.

    Assigned fluents are replaced by their values, operators over constants are
    folded, decided operands of And and Or are dropped, and only the nodes the
    root still reaches are kept, renumbered. What cannot be decided stays.

    Parameters
    ----------
    exp : Sequence[ExpressionNode]
        A flat expression of at least one node.
    assignments : dict of int to ExpressionNode
        Fluent index to its assumed value, a node without operands.

    Returns
    -------
    list of ExpressionNode
        The simplified flat expression.

    Raises
    ------
    ZeroDivisionError
        "division by zero" from a division of constants.
    TypeError, OverflowError
        An argument of the wrong type, or a key out of range; the note names it.
    quorvane.InternalError
        A BaseException, not an Exception: an empty expression, or an operand
        that does not name an earlier node.

    Examples
    --------
    >>> import quorvane as qv
    >>> exp = [qv.make_fluent_node(0), qv.make_int_constant_node(3),
    ...        qv.make_operator_node("<=", [0, 1])]
    >>> qv.simplify(exp, {0: qv.make_int_constant_node(2)})
    [Bool(true)]
    >>> qv.simplify(exp, {})
    [Fluent(0), Int(3), LE(0, 1)]
    """
def get_fluents(expr: _Expr) -> list[int]:
    """The fluent indices an expression reads.

    Parameters
    ----------
    expr : Sequence[ExpressionNode]
        A flat expression.

    Returns
    -------
    list of int
        The index of every Fluent node, in node order, repeats kept; nothing is
        evaluated.

    Raises
    ------
    TypeError
        ``expr`` is not a sequence of ExpressionNode; the note names it.

    Examples
    --------
    >>> import quorvane as qv
    >>> qv.get_fluents([qv.make_fluent_node(4), qv.make_fluent_node(1),
    ...                 qv.make_operator_node("==", [0, 1])])
    [4, 1]
    """
