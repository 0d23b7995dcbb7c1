// The Python class ExpressionNode and the node constructor functions.
#include <pybind11/pybind11.h>

#include "engine/support/number.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/module.hpp"

namespace quorvane::python {

namespace {

py::object none() { return py::none(); }

// `self` of the class's properties.
const ExpressionNode& node_self(py::handle self) { return instance_of<ExpressionNode>(self, "self", "ExpressionNode"); }

py::object node_fluent(py::handle self) {
    const ExpressionNode& n = node_self(self);
    if (n.kind() != NodeKind::Fluent) return none();
    return py::int_(n.fluent_index());
}

py::object node_object(py::handle self) {
    const ExpressionNode& n = node_self(self);
    if (n.kind() != NodeKind::Object) return none();
    return py::str(n.object_name());
}

py::object node_int_constant(py::handle self) {
    const ExpressionNode& n = node_self(self);
    if (n.kind() != NodeKind::Int) return none();
    auto v = n.as_int().to_int32();
    QV_REQUIRE(v.has_value(),
               "int_constant: the value " + n.as_int().to_string() + " does not fit a signed 32-bit integer");
    return py::int_(*v);
}

py::object node_bool_constant(py::handle self) {
    const ExpressionNode& n = node_self(self);
    if (n.kind() != NodeKind::Bool) return none();
    return py::bool_(n.as_bool());
}

py::object node_real_constant(py::handle self) {
    const ExpressionNode& n = node_self(self);
    if (n.kind() != NodeKind::Rational) return none();
    return big_rational_to_py_fraction(n.as_rational());
}

std::string node_repr(py::handle self) { return node_self(self).debug(); }

constexpr Row kExpressionNodeMembers[] = {
    property<&node_fluent>("fluent", docs::kExpressionNodeFluent),
    property<&node_object>("object", docs::kExpressionNodeObject),
    property<&node_int_constant>("int_constant", docs::kExpressionNodeIntConstant),
    property<&node_bool_constant>("bool_constant", docs::kExpressionNodeBoolConstant),
    property<&node_real_constant>("real_constant", docs::kExpressionNodeRealConstant),
    method<&node_repr>("__repr__", docs::kExpressionNodeRepr),
};

}  // namespace

void register_expression_node(ModuleBuilder& b) {
    b.add_class<ExpressionNode>("ExpressionNode", docs::kExpressionNode, kExpressionNodeMembers);
}

namespace {

ExpressionNode operator_node(py::handle kind, py::handle operands) {
    std::string k = to_str(kind, "kind");
    return make_operator(k, to_index_list(operands, "operands"));
}

ExpressionNode bool_constant_node(py::handle v) { return ExpressionNode::boolean(to_bool(v, "v")); }

ExpressionNode int_constant_node(py::handle v) { return ExpressionNode::integer(Integer(to_i32(v, "v"))); }

ExpressionNode rational_constant_node(py::handle numerator, py::handle denominator) {
    std::int32_t n = to_i32(numerator, "numerator");
    std::int32_t d = to_i32(denominator, "denominator");
    return ExpressionNode::rational(mk_rational(n, d));
}

ExpressionNode object_node(py::handle name) { return ExpressionNode::object(to_str(name, "name")); }

ExpressionNode fluent_node(py::handle fluent) { return ExpressionNode::fluent(to_u64(fluent, "fluent")); }

constexpr Row kNodeFunctions[] = {
    function<&operator_node>("make_operator_node", docs::kMakeOperatorNode),
    function<&bool_constant_node>("make_bool_constant_node", docs::kMakeBoolConstantNode),
    function<&int_constant_node>("make_int_constant_node", docs::kMakeIntConstantNode),
    function<&rational_constant_node>("make_rational_constant_node", docs::kMakeRationalConstantNode),
    function<&object_node>("make_object_node", docs::kMakeObjectNode),
    function<&fluent_node>("make_fluent_node", docs::kMakeFluentNode),
};

}  // namespace

void add_node_functions(ModuleBuilder& b) { b.def_functions(kNodeFunctions); }

}  // namespace quorvane::python
