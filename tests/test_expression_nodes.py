from fractions import Fraction

import numpy as np
import pytest

import quorvane as qv
from conftest import expect_internal_error, notes


@pytest.mark.parametrize(
    "kind,operands,text",
    [
        ("and", [], "And([])"),
        ("or", [0, 1], "Or([0, 1])"),
        ("+", [2, 2], "Plus([2, 2])"),
        ("*", [0], "Times([0])"),
        ("-", [0, 1, 2], "Minus(0, 1)"),
        ("/", [3, 1], "Div(3, 1)"),
        ("==", [1, 0], "Equals(1, 0)"),
        ("<=", [1, 0], "LE(1, 0)"),
        ("<", [0, 4], "LT(0, 4)"),
        ("not", [3, 4], "Not(3)"),
    ],
)
def test_make_operator_node(kind, operands, text):
    assert repr(qv.make_operator_node(kind, operands)) == text


def test_operands_accept_any_sequence_but_not_str():
    assert repr(qv.make_operator_node("+", (0, 1))) == "Plus([0, 1])"
    assert repr(qv.make_operator_node("+", range(2))) == "Plus([0, 1])"
    with pytest.raises(TypeError) as excinfo:
        qv.make_operator_node("+", "01")
    assert any("operands" in note for note in notes(excinfo))


@pytest.mark.parametrize("kind", [">=", ">", "!=", "AND", ""])
def test_unknown_operator(kind):
    with pytest.raises(ValueError) as excinfo:
        qv.make_operator_node(kind, [0, 1])
    assert str(excinfo.value) == "Unknown operator: " + kind


@pytest.mark.parametrize("kind,operands", [("not", []), ("==", [0]), ("<=", []), ("<", [1]), ("-", [0]), ("/", [])])
def test_too_few_operands_is_an_internal_error(kind, operands):
    with pytest.raises(BaseException) as excinfo:
        qv.make_operator_node(kind, operands)
    expect_internal_error(excinfo)


@pytest.mark.parametrize(
    "node,text",
    [
        (lambda: qv.make_bool_constant_node(True), "Bool(true)"),
        (lambda: qv.make_bool_constant_node(False), "Bool(false)"),
        (lambda: qv.make_int_constant_node(-7), "Int(-7)"),
        (lambda: qv.make_int_constant_node(2**31 - 1), "Int(2147483647)"),
        (lambda: qv.make_rational_constant_node(1, 2), "Rational(Ratio { numer: 1, denom: 2 })"),
        (lambda: qv.make_rational_constant_node(2, -4), "Rational(Ratio { numer: -1, denom: 2 })"),
        (lambda: qv.make_rational_constant_node(0, -5), "Rational(Ratio { numer: 0, denom: 1 })"),
        (lambda: qv.make_rational_constant_node(4, 2), "Rational(Ratio { numer: 2, denom: 1 })"),
        (lambda: qv.make_rational_constant_node(-(2**31), -1), "Rational(Ratio { numer: 2147483648, denom: 1 })"),
        (lambda: qv.make_fluent_node(3), "Fluent(3)"),
        (lambda: qv.make_fluent_node(2**64 - 1), "Fluent(18446744073709551615)"),
        (lambda: qv.make_object_node("truck1"), 'Object("truck1")'),
        (lambda: qv.make_object_node('say "hi"'), 'Object("say \\"hi\\"")'),
        (lambda: qv.make_object_node("a\\b"), 'Object("a\\\\b")'),
        (lambda: qv.make_object_node("l1\nl2\t\r"), 'Object("l1\\nl2\\t\\r")'),
        (lambda: qv.make_object_node("\x01\x7f"), 'Object("\\u{1}\\u{7f}")'),
        (lambda: qv.make_object_node("café ✓"), 'Object("café ✓")'),
    ],
)
def test_debug_text(node, text):
    assert repr(node()) == text


def test_properties_by_variant():
    f, i, b = qv.make_fluent_node(1), qv.make_int_constant_node(5), qv.make_bool_constant_node(True)
    r, o = qv.make_rational_constant_node(3, 6), qv.make_object_node("x")
    rows = [
        # node, fluent, object, int_constant, bool_constant, real_constant
        (f, 1, None, None, None, None),
        (i, None, None, 5, None, None),
        (b, None, None, None, True, None),
        (r, None, None, None, None, Fraction(1, 2)),
        (o, None, "x", None, None, None),
    ]
    for node, fluent, obj, ic, bc, rc in rows:
        assert (node.fluent, node.object, node.int_constant, node.bool_constant, node.real_constant) == (
            fluent,
            obj,
            ic,
            bc,
            rc,
        ), repr(node)
    assert isinstance(r.real_constant, Fraction)


def test_real_constant_of_whole_rational_is_a_fraction():
    rc = qv.make_rational_constant_node(4, 2).real_constant
    assert isinstance(rc, Fraction) and rc == 2


@pytest.mark.parametrize(
    "make,arg,value,exc",
    [
        (qv.make_int_constant_node, "v", 2**31, OverflowError),
        (qv.make_int_constant_node, "v", -(2**31) - 1, OverflowError),
        (qv.make_int_constant_node, "v", 1.0, TypeError),
        (qv.make_int_constant_node, "v", "1", TypeError),
        (qv.make_bool_constant_node, "v", 1, TypeError),
        (qv.make_bool_constant_node, "v", None, TypeError),
        (qv.make_fluent_node, "fluent", -1, OverflowError),
        (qv.make_fluent_node, "fluent", 2**64, OverflowError),
        (qv.make_object_node, "name", b"bytes", TypeError),
        (qv.make_object_node, "name", 3, TypeError),
    ],
)
def test_argument_conversion_errors_name_the_argument(make, arg, value, exc):
    with pytest.raises(exc) as excinfo:
        make(value)
    assert type(excinfo.value) is exc
    assert notes(excinfo) == [f"argument '{arg}'"]


def test_rational_arguments_are_converted_in_order():
    with pytest.raises(OverflowError) as excinfo:
        qv.make_rational_constant_node(2**31, "x")
    assert notes(excinfo) == ["argument 'numerator'"]
    with pytest.raises(TypeError) as excinfo:
        qv.make_rational_constant_node(1, "x")
    assert notes(excinfo) == ["argument 'denominator'"]


def test_zero_denominator_is_an_internal_error():
    with pytest.raises(BaseException) as excinfo:
        qv.make_rational_constant_node(1, 0)
    expect_internal_error(excinfo)


def test_numpy_booleans_are_bools():
    assert qv.make_bool_constant_node(np.bool_(True)).bool_constant is True
    assert qv.make_bool_constant_node(np.True_ & np.False_).bool_constant is False
    with pytest.raises(TypeError):
        qv.make_bool_constant_node(np.int64(1))


def test_nodes_have_identity_equality_and_no_constructor():
    a, b = qv.make_fluent_node(1), qv.make_fluent_node(1)
    assert a is not b and a != b
    with pytest.raises(TypeError):
        qv.ExpressionNode()


def test_nodes_are_frozen():
    node = qv.make_int_constant_node(1)
    with pytest.raises(AttributeError):
        node.int_constant = 2
    with pytest.raises(AttributeError):
        node.extra = 1


def test_int_constant_beyond_32_bits_is_an_internal_error(n):
    # Such values arise only from arithmetic: the sum below is 2**31.
    (big,) = qv.simplify([n.i(2**31 - 1), n.i(1), n.op("+", [0, 1])], {})
    assert repr(big) == "Int(2147483648)"
    with pytest.raises(BaseException) as excinfo:
        big.int_constant
    expect_internal_error(excinfo)
    (small,) = qv.simplify([n.i(-(2**31) + 1), n.i(-1), n.op("+", [0, 1])], {})
    assert small.int_constant == -(2**31)


def test_keyword_arguments_and_order(n):
    assert repr(qv.make_operator_node(operands=[1, 0], kind="<")) == "LT(1, 0)"
    assert repr(qv.make_fluent_node(fluent=4)) == "Fluent(4)"
    # kind is converted before operands
    with pytest.raises(TypeError) as excinfo:
        qv.make_operator_node(3, "ab")
    assert notes(excinfo) == ["argument 'kind'"]
    with pytest.raises(OverflowError) as excinfo:
        qv.make_operator_node("+", [0, -1])
    assert notes(excinfo) == ["argument 'operands'"]
