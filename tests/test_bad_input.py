"""Malformed input gets a Python exception, never a crash: objects made by `__new__`
without their constructor, and sequences that claim an absurd length. Each call that
could kill the interpreter runs in a forked child (childcall)."""

import resource

import pytest

import quorvane as qv
from childcall import run_call
from conftest import A, B, F, I, not_under_asan


def uninit(cls):
    """An instance made by `__new__` alone, past any refusal of the class's own `__new__`."""
    return cls.__base__.__new__(cls)


def event(action=0):
    return qv.Event(A(action), 0, [B(True)], [], [], [qv.Effect(0, [I(1)])])


def space(**changes):
    args = dict(
        actions_duration=[None],
        events={A(0): [(qv.Timing(True, 0), event())]},
        actions=[A(0)],
        compression_safe_actions=None,
        action_objects=None,
        obj_to_prev_actions_map=None,
        initial_state=[I(0)],
        goal=[F(0)],
    )
    args.update(changes)
    return qv.SearchSpace(**args)


def state():
    return space().initial_state()


def hff(**changes):
    args = dict(actions=[A(0)], fluent_types=["int"], objects={}, events={A(0): [(qv.Timing(True, 0), event())]},
                goals=[F(0)], internal_caching=False, cache_value_in_state=False,
                inadmissible_numeric_heuristic_variant=False)
    args.update(changes)
    return qv.Heuristic.hff(**args)


def custom():
    return qv.Heuristic.custom(lambda s: 1.0, False)


H, S, SS, N = qv.Heuristic, qv.State, qv.SearchSpace, qv.ExpressionNode

# (call, argument named in the TypeError's note). Each call hands an uninitialised
# object to one consumer: an argument, an item nested in a list, dict, set or tuple,
# or the `self` of a method or property.
UNINITIALISED = {
    "wastar_search heuristic": (lambda: qv.wastar_search(space(), uninit(H), 1.0), "heuristic"),
    "astar_search heuristic": (lambda: qv.astar_search(space(), uninit(H)), "heuristic"),
    "gbfs_search heuristic": (lambda: qv.gbfs_search(space(), uninit(H)), "heuristic"),
    "ehc_search heuristic": (lambda: qv.ehc_search(space(), uninit(H)), "heuristic"),
    "wastar_search_memory_bounded heuristic": (
        lambda: qv.wastar_search_memory_bounded(space(), uninit(H), 1.0), "heuristic"),
    "astar_search_memory_bounded heuristic": (lambda: qv.astar_search_memory_bounded(space(), uninit(H)), "heuristic"),
    "gbfs_search_memory_bounded heuristic": (lambda: qv.gbfs_search_memory_bounded(space(), uninit(H)), "heuristic"),
    "multiqueue_search pair": (lambda: qv.multiqueue_search(space(), [(custom(), 1.0), (uninit(H), 1.0)]),
                               "heuristics"),
    "bfs_search ss": (lambda: qv.bfs_search(uninit(SS)), "ss"),
    "dfs_search ss": (lambda: qv.dfs_search(uninit(SS)), "ss"),
    "astar_search ss": (lambda: qv.astar_search(uninit(SS), custom()), "ss"),
    "initial_state node": (lambda: space().initial_state([uninit(N)]), "initial_state"),
    "goal_reached goal node": (lambda: space().goal_reached(state(), [uninit(N)]), "goal"),
    "shift_expression node": (lambda: qv.shift_expression([F(0), uninit(N)], 1), "exp"),
    "evaluate node": (lambda: qv.evaluate([uninit(N)], state()), "exp"),
    "evaluate state": (lambda: qv.evaluate([I(1)], uninit(S)), "state"),
    "simplify node": (lambda: qv.simplify([uninit(N)], {}), "exp"),
    "simplify assignment": (lambda: qv.simplify([F(0)], {0: uninit(N)}), "assignments"),
    "get_fluents node": (lambda: qv.get_fluents([uninit(N)]), "expr"),
    "Effect value node": (lambda: qv.Effect(0, [uninit(N)]), "value"),
    "Event action": (lambda: qv.Event(uninit(A), 0, [], [], [], []), "action"),
    "Event effect": (lambda: qv.Event(A(0), 0, [], [], [], [uninit(qv.Effect)]), "effects"),
    "Event start condition node": (lambda: qv.Event(A(0), 0, [], [[uninit(N)]], [], []), "start_conditions"),
    "SearchSpace Timing of a pair": (
        lambda: space(events={A(0): [(uninit(qv.Timing), event())]}), "events"),
    "SearchSpace Event of a pair": (lambda: space(events={A(0): [(qv.Timing(True, 0), uninit(qv.Event))]}), "events"),
    "SearchSpace events key": (lambda: space(events={uninit(A): []}), "events"),
    "SearchSpace duration node": (lambda: space(actions_duration=[([uninit(N)], [I(1)], False, False)]),
                                  "actions_duration"),
    "SearchSpace prerequisite set": (lambda: space(action_objects=[["o"]], obj_to_prev_actions_map={"o": {uninit(A)}}),
                                     "obj_to_prev_actions_map"),
    "SearchSpace relevant action": (lambda: space(relevant_actions=[uninit(A)]), "relevant_actions"),
    "relevant_actions setter item": (lambda: setattr(space(), "relevant_actions", [uninit(A)]), "relevant_actions"),
    "get_successor_state action": (lambda: space().get_successor_state(state(), uninit(A)), "action"),
    "get_successor_states state": (lambda: space().get_successor_states(uninit(S)), "state"),
    "build_plan path": (lambda: space().build_plan([uninit(A)]), "path"),
    "Heuristic.eval state": (lambda: custom().eval(uninit(S), space()), "state"),
    "Heuristic.eval ss": (lambda: custom().eval(state(), uninit(SS)), "ss"),
    "Heuristic.reachable_actions state": (lambda: hff().reachable_actions(uninit(S)), "state"),
    "Heuristic.hff events Timing": (lambda: hff(events={A(0): [(uninit(qv.Timing), event())]}), "events"),
    "Heuristic.hmax_explicit action": (
        lambda: H.hmax_explicit([uninit(A)], ["int"], {}, {}, [F(0)], False, False, False), "actions"),
    # `self` of every kind of member.
    "Heuristic.eval self": (lambda: H.eval(uninit(H), state(), space()), "self"),
    "Heuristic.reachable_actions self": (lambda: H.reachable_actions(uninit(H), state()), "self"),
    "Heuristic.name self": (lambda: uninit(H).name, "self"),
    "State.g self": (lambda: uninit(S).g, "self"),
    "State.path self": (lambda: uninit(S).path, "self"),
    "State.todo self": (lambda: uninit(S).todo, "self"),
    "State.get_value self": (lambda: uninit(S).get_value(0), "self"),
    "SearchSpace.initial_state self": (lambda: uninit(SS).initial_state(), "self"),
    "SearchSpace.get_successor_states self": (lambda: SS.get_successor_states(uninit(SS), state()), "self"),
    "SearchSpace.reset self": (lambda: uninit(SS).reset(), "self"),
    "SearchSpace.is_temporal self": (lambda: uninit(SS).is_temporal, "self"),
    "SearchSpace.relevant_actions getter self": (lambda: uninit(SS).relevant_actions, "self"),
    "SearchSpace.relevant_actions setter self": (lambda: setattr(uninit(SS), "relevant_actions", []), "self"),
    "ExpressionNode.fluent self": (lambda: uninit(N).fluent, "self"),
    "ExpressionNode.real_constant self": (lambda: uninit(N).real_constant, "self"),
    "ExpressionNode repr self": (lambda: repr(uninit(N)), "self"),
    "Effect.fluent self": (lambda: uninit(qv.Effect).fluent, "self"),
    "Effect.value self": (lambda: uninit(qv.Effect).value, "self"),
    "Timing.delay self": (lambda: uninit(qv.Timing).delay, "self"),
    "Timing.is_from_start self": (lambda: uninit(qv.Timing).is_from_start(), "self"),
    "Event.effects self": (lambda: uninit(qv.Event).effects, "self"),
    "Event repr self": (lambda: repr(uninit(qv.Event)), "self"),
    "Action.idx self": (lambda: uninit(A).idx, "self"),
    # A method called on an object of another class.
    "State.get_value on an Action": (lambda: S.get_value(A(0), 0), "self"),
}


@pytest.mark.parametrize("call,arg", UNINITIALISED.values(), ids=UNINITIALISED.keys())
def test_an_uninitialised_object_is_refused_with_a_type_error_naming_the_argument(call, arg):
    outcome = run_call(call)
    assert outcome.raised == "TypeError", outcome
    assert f"argument '{arg}'" in outcome.notes, outcome


@pytest.mark.parametrize("cls", [qv.ExpressionNode, qv.State, qv.Heuristic])
def test_classes_made_only_by_the_module_refuse_new(cls):
    with pytest.raises(TypeError, match="No constructor defined!"):
        cls.__new__(cls)
    with pytest.raises(TypeError, match="No constructor defined!"):
        cls()


@pytest.mark.parametrize("cls,args,read", [
    (qv.Effect, (2, [I(1)]), repr),
    (qv.Timing, (False, 3), repr),
    (qv.Action, (4,), lambda a: a.idx),
])
def test_new_then_init_still_builds_a_working_object(cls, args, read):
    obj = cls.__new__(cls)
    obj.__init__(*args)
    assert read(obj) == read(cls(*args))


def test_an_object_claiming_another_class_is_refused():
    # isinstance() believes `__class__`; the conversion must look at the real type.
    impostor = type("Impostor", (), {"__class__": qv.Effect})()
    assert isinstance(impostor, qv.Effect)
    outcome = run_call(lambda: qv.Event(A(0), 0, [], [], [], [impostor]))
    assert outcome.raised == "TypeError" and "argument 'effects'" in outcome.notes, outcome


class HugeLen(list):
    """An empty list that claims 2**62 elements."""

    def __len__(self):
        return 2**62


# (call, argument named in the note): every sequence argument reads a length it must not trust.
HUGE_LENGTH = {
    "get_fluents": (lambda: qv.get_fluents(HugeLen()), "expr"),
    "Event conditions": (lambda: qv.Event(A(0), 0, HugeLen(), [], [], []), "conditions"),
    "Event start_conditions": (lambda: qv.Event(A(0), 0, [], HugeLen(), [], []), "start_conditions"),
    "Event effects": (lambda: qv.Event(A(0), 0, [], [], [], HugeLen()), "effects"),
    "initial_state": (lambda: space().initial_state(HugeLen()), "initial_state"),
    "evaluate": (lambda: qv.evaluate(HugeLen(), state()), "exp"),
    "make_operator_node operands": (lambda: qv.make_operator_node("+", HugeLen()), "operands"),
    "SearchSpace actions": (lambda: space(actions=HugeLen()), "actions"),
    "multiqueue_search heuristics": (lambda: qv.multiqueue_search(space(), HugeLen()), "heuristics"),
}


@pytest.mark.parametrize("call,arg", HUGE_LENGTH.values(), ids=HUGE_LENGTH.keys())
def test_a_sequence_with_a_huge_length_gives_an_ordinary_exception(call, arg):
    outcome = run_call(call)
    assert outcome.is_exception and outcome.raised == "IndexError", outcome
    assert f"argument '{arg}'" in outcome.notes, outcome


@not_under_asan
def test_running_out_of_memory_in_a_conversion_is_a_memory_error():
    # Six million nodes are a small Python list but need far more room as a flat
    # expression than the child is allowed to grow by.
    nodes = [F(0)] * 6_000_000

    def call():
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), hard))
        qv.get_fluents(nodes)

    outcome = run_call(call)
    assert outcome.raised == "MemoryError", outcome
