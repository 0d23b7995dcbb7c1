"""Builds a few expressions and task structures and prints them."""

from fractions import Fraction

import quorvane as qv

# fluent 0 + 1 <= fluent 1
condition = [
    qv.make_fluent_node(0),
    qv.make_int_constant_node(1),
    qv.make_operator_node("+", [0, 1]),
    qv.make_fluent_node(1),
    qv.make_operator_node("<=", [2, 3]),
]
move = qv.Action(0)
start = qv.Event(
    move,
    0,
    condition,
    [[qv.make_fluent_node(2)]],
    [],
    [qv.Effect(0, [qv.make_fluent_node(0), qv.make_int_constant_node(1), qv.make_operator_node("+", [0, 1])])],
)
timing = qv.Timing(True, Fraction(1, 2))

print("condition:", condition)
print("event:    ", start)
print("timing:   ", timing)
print("module:   ", ", ".join(qv.__all__))
