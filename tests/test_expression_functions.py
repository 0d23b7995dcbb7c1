import inspect
import os
import subprocess
import sys

import pytest

import quorvane as qv
from conftest import expect_internal_error, not_under_asan, notes

U64_MAX = 2**64 - 1


def texts(expr):
    return [repr(node) for node in expr]


def has_note(excinfo, arg):
    return any(arg in note for note in notes(excinfo))


@pytest.mark.parametrize(
    "name,params",
    [
        ("shift_expression", ["exp", "offset"]),
        ("evaluate", ["exp", "state"]),
        ("simplify", ["exp", "assignments"]),
        ("get_fluents", ["expr"]),
    ],
)
def test_signatures(name, params):
    fn = getattr(qv, name)
    assert list(inspect.signature(fn).parameters) == params
    assert name in qv.__all__


# --- shift_expression ------------------------------------------------------


def test_shift_moves_operands_only(n):
    exp = [n.b(True), n.f(7), n.i(3), n.r(1, 2), n.o("x"), n.op("not", [0]), n.op("and", [0, 5]), n.op("<=", [2, 3])]
    out = qv.shift_expression(exp, 5)
    assert texts(out) == [
        "Bool(true)",
        "Fluent(7)",
        "Int(3)",
        "Rational(Ratio { numer: 1, denom: 2 })",
        'Object("x")',
        "Not(5)",
        "And([5, 10])",
        "LE(7, 8)",
    ]
    assert type(out) is list
    # New objects, the input untouched.
    assert all(a is not b for a, b in zip(out, exp))
    assert repr(exp[5]) == "Not(0)"


def test_shift_by_keyword_and_tuple(n):
    assert texts(qv.shift_expression(exp=(n.op("+", [0, 1]),), offset=2)) == ["Plus([2, 3])"]


@pytest.mark.parametrize(
    "operands,offset,expected",
    [([0], U64_MAX, "Not(18446744073709551615)"), ([1], U64_MAX, None), ([U64_MAX], 1, None), ([0], 0, "Not(0)")],
)
def test_shift_overflow(n, operands, offset, expected):
    exp = [n.op("not", operands)]
    if expected is None:
        with pytest.raises(Exception) as excinfo:
            qv.shift_expression(exp, offset)
        assert type(excinfo.value) is Exception
        assert str(excinfo.value) == "Overflow"
    else:
        assert texts(qv.shift_expression(exp, offset)) == [expected]


def test_shift_empty():
    assert qv.shift_expression([], 3) == []


@pytest.mark.parametrize("offset,exc", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError)])
def test_shift_bad_offset(n, offset, exc):
    with pytest.raises(exc) as excinfo:
        qv.shift_expression([n.b(True)], offset)
    assert has_note(excinfo, "offset")


@pytest.mark.parametrize("fn,args,arg", [
    (qv.shift_expression, ("ab", 1), "exp"),
    (qv.shift_expression, ([1], 1), "exp"),
    (qv.get_fluents, ("ab",), "expr"),
    (qv.get_fluents, (None,), "expr"),
    (qv.simplify, ("ab", {}), "exp"),
])
def test_bad_expression_argument(fn, args, arg):
    with pytest.raises(TypeError) as excinfo:
        fn(*args)
    assert has_note(excinfo, arg)


# --- get_fluents -------------------------------------------------------------


def test_get_fluents(n):
    assert qv.get_fluents([n.f(3), n.f(1), n.f(3)]) == [3, 1, 3]
    assert qv.get_fluents([n.i(1), n.b(False), n.op("not", [1])]) == []
    # Every node counts, reached or not; nothing is evaluated.
    assert qv.get_fluents([n.f(U64_MAX), n.b(True), n.i(0), n.op("/", [1, 2]), n.f(0), n.op("and", [1])]) == [U64_MAX, 0]
    assert qv.get_fluents([]) == []


# --- simplify ----------------------------------------------------------------


def build(n, spec):
    """Nodes from compact tuples: ("f", 0), ("i", 3), ("r", 1, 2), ("b", True), ("o", "a"), ("op", "+", [0, 1])."""
    make = {"f": n.f, "i": n.i, "r": n.r, "b": n.b, "o": n.o, "op": n.op}
    return [make[t[0]](*t[1:]) for t in spec]


@pytest.mark.parametrize(
    "exp,assignments,expected",
    [
        ([("f", 0), ("i", 3), ("op", "<=", [0, 1])], {0: ("i", 2)}, ["Bool(true)"]),
        ([("f", 0), ("i", 3), ("op", "<=", [0, 1])], {}, ["Fluent(0)", "Int(3)", "LE(0, 1)"]),
        ([("f", 0), ("b", True), ("op", "and", [0, 1])], {}, ["Fluent(0)"]),
        ([("f", 0), ("b", False), ("op", "and", [0, 1])], {}, ["Bool(false)"]),
        ([("b", True), ("b", True), ("op", "and", [0, 1])], {}, ["Bool(true)"]),
        ([("f", 0), ("f", 1), ("op", "or", [0, 1])], {1: ("b", False)}, ["Fluent(0)"]),
        ([("i", 2), ("f", 0), ("i", 3), ("op", "+", [0, 1, 2])], {}, ["Int(5)", "Fluent(0)", "Plus([0, 1])"]),
        ([("i", 2), ("i", 3), ("op", "*", [0, 1])], {}, ["Int(6)"]),
        ([("i", 1), ("i", 2), ("op", "/", [0, 1])], {}, ["Rational(Ratio { numer: 1, denom: 2 })"]),
        ([("i", 4), ("i", 2), ("op", "/", [0, 1])], {}, ["Int(2)"]),
        ([("r", 4, 2)], {}, ["Int(2)"]),
        ([("f", 0), ("f", 0), ("op", "==", [0, 1])], {}, ["Bool(true)"]),
        ([("o", "a"), ("o", "b"), ("op", "==", [0, 1])], {}, ['Object("a")', 'Object("b")', "Equals(0, 1)"]),
        ([("b", True), ("b", False), ("op", "==", [0, 1])], {}, ["Bool(true)", "Bool(false)", "Equals(0, 1)"]),
        ([("f", 0), ("op", "not", [0])], {}, ["Fluent(0)", "Not(0)"]),
        ([("b", False), ("op", "not", [0])], {}, ["Bool(true)"]),
        ([("f", 0), ("op", "+", [0, 0])], {}, ["Fluent(0)", "Fluent(0)", "Plus([0, 1])"]),
        # The assigned node is copied as it is, not normalised and not looked up again.
        ([("f", 0)], {0: ("r", 4, 2)}, ["Rational(Ratio { numer: 2, denom: 1 })"]),
        ([("f", 0)], {0: ("f", 1), 1: ("i", 4)}, ["Fluent(1)"]),
        # An operator node as a value cannot be placed in the expression: the fluent stays.
        ([("f", 0), ("op", "not", [0])], {0: ("op", "not", [5])}, ["Fluent(0)", "Not(0)"]),
        # The constant shared by the sum and the product keeps its value for the product.
        (
            [("i", 2), ("f", 0), ("i", 3), ("op", "+", [0, 1, 2]), ("op", "*", [0, 1]), ("op", "==", [3, 4])],
            {},
            ["Int(5)", "Fluent(0)", "Plus([0, 1])", "Int(2)", "Fluent(0)", "Times([3, 4])", "Equals(2, 5)"],
        ),
    ],
)
def test_simplify(n, exp, assignments, expected):
    values = {k: build(n, [v])[0] for k, v in assignments.items()}
    out = qv.simplify(build(n, exp), values)
    assert type(out) is list
    assert texts(out) == expected


def test_simplify_returns_new_objects(n):
    exp = [n.f(0)]
    value = n.i(2)
    out = qv.simplify(exp, {0: value})
    assert texts(out) == ["Int(2)"]
    assert out[0] is not value
    assert qv.simplify(exp, {})[0] is not exp[0]


def test_simplify_division_by_zero(n):
    with pytest.raises(ZeroDivisionError) as excinfo:
        qv.simplify([n.i(1), n.f(0), n.op("/", [0, 1]), n.b(True)], {0: n.i(0)})
    assert str(excinfo.value) == "division by zero"


def test_simplify_accepts_dict_subclass_and_keywords(n):
    class Assignments(dict):
        pass

    out = qv.simplify(exp=[n.f(0), n.op("not", [0])], assignments=Assignments({0: n.b(False)}))
    assert texts(out) == ["Bool(true)"]


@pytest.mark.parametrize(
    "make,exc",
    [
        (lambda n: [(0, n.i(1))], TypeError),
        (lambda n: None, TypeError),
        (lambda n: {"0": n.i(1)}, TypeError),
        (lambda n: {1.0: n.i(1)}, TypeError),
        (lambda n: {0: 1}, TypeError),
        (lambda n: {0: [n.i(1)]}, TypeError),
        (lambda n: {-1: n.i(1)}, OverflowError),
        (lambda n: {2**64: n.i(1)}, OverflowError),
    ],
)
def test_simplify_bad_assignments(n, make, exc):
    with pytest.raises(exc) as excinfo:
        qv.simplify([n.f(0)], make(n))
    assert has_note(excinfo, "assignments")


def test_simplify_key_at_u64_limit(n):
    assert texts(qv.simplify([n.f(U64_MAX)], {U64_MAX: n.b(True)})) == ["Bool(true)"]


@pytest.mark.parametrize("exp", [[], [("op", "not", [0])], [("op", "and", [1]), ("b", True)]])
def test_simplify_malformed(n, exp):
    with pytest.raises(BaseException) as excinfo:
        qv.simplify(build(n, exp), {})
    expect_internal_error(excinfo)


# --- evaluate ----------------------------------------------------------------

needs_search_space = pytest.mark.skipif(not hasattr(qv, "SearchSpace"), reason="SearchSpace is not available yet")


@pytest.fixture
def state(n):
    """A state whose fluents 0..3 hold Int 3, Bool true, Object "a", Rational 1/2."""
    space = qv.SearchSpace([], {}, [], None, None, None, initial_state=[n.i(3), n.b(True), n.o("a"), n.r(1, 2)])
    return space.initial_state()


@needs_search_space
@pytest.mark.parametrize(
    "exp,expected",
    [
        ([("f", 0)], "Int(3)"),
        ([("f", 2), ("o", "a"), ("op", "==", [0, 1])], "Bool(true)"),
        ([("f", 0), ("f", 3), ("op", "-", [0, 1])], "Rational(Ratio { numer: 5, denom: 2 })"),
        ([("r", 1, 2), ("r", 3, 2), ("op", "+", [0, 1]), ("i", 2), ("op", "==", [2, 3])], "Bool(true)"),
        ([("i", 2), ("r", 2, 1), ("op", "==", [0, 1])], "Bool(false)"),
        ([("r", 2, 1)], "Rational(Ratio { numer: 2, denom: 1 })"),
        ([("op", "and", [])], "Bool(true)"),
        ([("op", "or", [])], "Bool(false)"),
        ([("f", 1), ("i", 0), ("op", "and", [0, 1])], "Bool(false)"),
    ],
)
def test_evaluate(n, state, exp, expected):
    assert repr(qv.evaluate(build(n, exp), state)) == expected


@needs_search_space
@pytest.mark.parametrize(
    "exp,exc,message",
    [
        ([("i", 1), ("b", True), ("op", "<=", [0, 1])], ValueError, "Expected a number!"),
        ([("i", 1), ("i", 0), ("op", "/", [0, 1])], ZeroDivisionError, "division by zero"),
        ([("i", 1), ("i", 0), ("op", "/", [0, 1]), ("b", True)], ZeroDivisionError, "division by zero"),
    ],
)
def test_evaluate_errors(n, state, exp, exc, message):
    with pytest.raises(exc) as excinfo:
        qv.evaluate(build(n, exp), state)
    assert str(excinfo.value) == message


@needs_search_space
@pytest.mark.parametrize("exp", [[], [("f", 4)], [("op", "+", [])], [("op", "not", [0])]])
def test_evaluate_malformed(n, state, exp):
    with pytest.raises(BaseException) as excinfo:
        qv.evaluate(build(n, exp), state)
    expect_internal_error(excinfo)


@needs_search_space
def test_evaluate_gives_a_new_object_each_time(n, state):
    exp = [n.f(0)]
    first, second = qv.evaluate(exp, state), qv.evaluate(exp, state)
    assert first is not second
    assert first.int_constant == second.int_constant == 3


@needs_search_space
def test_evaluate_bad_arguments(n, state):
    with pytest.raises(TypeError) as excinfo:
        qv.evaluate("ab", state)
    assert has_note(excinfo, "exp")
    with pytest.raises(TypeError) as excinfo:
        qv.evaluate([n.b(True)], [n.b(True)])
    assert has_note(excinfo, "state")


# --- exact arithmetic beyond memory -------------------------------------------------------

# 3 squared 31 times is 3**(2**31), some 3.4e9 bits: more than the 1 GiB the child may map.
BEYOND_MEMORY = """
import resource
import quorvane as qv
I, OP = qv.make_int_constant_node, qv.make_operator_node
exp = [I(3)] + [OP("*", [i, i]) for i in range(31)]
state = qv.SearchSpace([], {}, [], None, None, None, initial_state=[]).initial_state()
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
try:
    CALL
except MemoryError:
    print("MemoryError")
print(sum(range(10)))
"""


@needs_search_space
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs Linux's address-space limit")
@not_under_asan
@pytest.mark.parametrize("call", ["qv.evaluate(exp, state)", "qv.simplify(exp, {})"])
def test_arithmetic_beyond_memory_raises_memory_error(call):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(qv.__file__), *sys.path]))
    child = subprocess.run([sys.executable, "-c", BEYOND_MEMORY.replace("CALL", call)], env=env,
                           capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    # The error reached Python and the interpreter carried on.
    assert child.stdout.split() == ["MemoryError", "45"], child.stderr
