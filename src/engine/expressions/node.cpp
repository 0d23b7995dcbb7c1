#include "engine/expressions/node.hpp"

#include <charconv>

namespace quorvane {

const char* node_kind_name(NodeKind kind) noexcept {
    switch (kind) {
        case NodeKind::Bool: return "Bool";
        case NodeKind::Int: return "Int";
        case NodeKind::Rational: return "Rational";
        case NodeKind::Fluent: return "Fluent";
        case NodeKind::Object: return "Object";
        case NodeKind::And: return "And";
        case NodeKind::Or: return "Or";
        case NodeKind::Not: return "Not";
        case NodeKind::Equals: return "Equals";
        case NodeKind::LE: return "LE";
        case NodeKind::LT: return "LT";
        case NodeKind::Plus: return "Plus";
        case NodeKind::Minus: return "Minus";
        case NodeKind::Times: return "Times";
        case NodeKind::Div: return "Div";
    }
    return "?";
}

const char* operator_text(NodeKind kind) noexcept {
    switch (kind) {
        case NodeKind::And: return "and";
        case NodeKind::Or: return "or";
        case NodeKind::Not: return "not";
        case NodeKind::Equals: return "==";
        case NodeKind::LE: return "<=";
        case NodeKind::LT: return "<";
        case NodeKind::Plus: return "+";
        case NodeKind::Minus: return "-";
        case NodeKind::Times: return "*";
        case NodeKind::Div: return "/";
        default: return "";
    }
}

ExpressionNode ExpressionNode::with_operands(NodeKind kind, std::span<const NodeIndex> operands) {
    if (is_list_operator(kind)) return list(kind, std::vector<NodeIndex>(operands.begin(), operands.end()));
    if (kind == NodeKind::Not) {
        QV_REQUIRE(!operands.empty(), "a negation needs one operand");
        return negation(operands[0]);
    }
    QV_REQUIRE(is_binary_operator(kind), "operands given for a node without operands");
    QV_REQUIRE(operands.size() >= 2, "a two-operand node needs two operands");
    return binary(kind, operands[0], operands[1]);
}

std::span<const NodeIndex> ExpressionNode::operands() const noexcept {
    if (is_list_operator(kind_)) return std::get<5>(payload_);
    if (kind_ == NodeKind::Not) return std::span<const NodeIndex>(&std::get<3>(payload_), 1);
    if (is_binary_operator(kind_)) return std::get<6>(payload_);
    return {};
}

bool operator==(const ExpressionNode& a, const ExpressionNode& b) noexcept {
    return a.kind_ == b.kind_ && a.payload_ == b.payload_;
}

void ExpressionNode::hash_into(support::FxHasher& h) const noexcept {
    h.add(static_cast<std::uint64_t>(kind_));
    switch (kind_) {
        case NodeKind::Bool: h.add(as_bool() ? 1 : 0); break;
        case NodeKind::Int: h.add(as_int().hash()); break;
        case NodeKind::Rational: h.add(as_rational().hash()); break;
        case NodeKind::Fluent:
        case NodeKind::Not: h.add(std::get<3>(payload_)); break;
        case NodeKind::Object: {
            const auto& s = object_name();
            h.add_bytes(s.data(), s.size());
            h.add(0xff);  // terminator, so "ab"+"c" and "a"+"bc" differ
            break;
        }
        default: {
            auto ops = operands();
            if (is_list_operator(kind_)) h.add(ops.size());
            for (NodeIndex i : ops) h.add(i);
        }
    }
}

namespace {
void append_uint(std::string& out, std::uint64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}
}  // namespace

void rational_debug_into(std::string& out, const Rational& r) {
    out += "Ratio { numer: ";
    out += r.numer().to_string();
    out += ", denom: ";
    out += r.denom().to_string();
    out += " }";
}

void quote_string_into(std::string& out, std::string_view s) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        // Decode one UTF-8 scalar (invalid bytes are taken as single code points).
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xc0 && c < 0xe0 && i + 1 < s.size()) cp = ((c & 0x1f) << 6) | (s[i + 1] & 0x3f), len = 2;
        else if (c >= 0xe0 && c < 0xf0 && i + 2 < s.size())
            cp = ((c & 0x0f) << 12) | ((s[i + 1] & 0x3f) << 6) | (s[i + 2] & 0x3f), len = 3;
        else if (c >= 0xf0 && i + 3 < s.size())
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3f) << 12) | ((s[i + 2] & 0x3f) << 6) | (s[i + 3] & 0x3f),
            len = 4;
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                // Control characters (C0, DEL, C1) and the line/paragraph separators are
                // not printable: write them as \u{hex}.
                if (cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp < 0xa0) || cp == 0x2028 || cp == 0x2029 ||
                    cp == 0xad || (cp >= 0x200b && cp <= 0x200f) || cp == 0xfeff) {
                    out += "\\u{";
                    bool started = false;
                    for (int shift = 20; shift >= 0; shift -= 4) {
                        unsigned d = (cp >> shift) & 0xf;
                        if (d || started || shift == 0) out += hex[d], started = true;
                    }
                    out += '}';
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    out += '"';
}

void ExpressionNode::debug_into(std::string& out) const {
    out += node_kind_name(kind_);
    out += '(';
    switch (kind_) {
        case NodeKind::Bool: out += as_bool() ? "true" : "false"; break;
        case NodeKind::Int: out += as_int().to_string(); break;
        case NodeKind::Rational: rational_debug_into(out, as_rational()); break;
        case NodeKind::Fluent:
        case NodeKind::Not: append_uint(out, std::get<3>(payload_)); break;
        case NodeKind::Object: quote_string_into(out, object_name()); break;
        case NodeKind::And:
        case NodeKind::Or:
        case NodeKind::Plus:
        case NodeKind::Times: {
            out += '[';
            bool first = true;
            for (NodeIndex i : operands()) {
                if (!first) out += ", ";
                first = false;
                append_uint(out, i);
            }
            out += ']';
            break;
        }
        default: {
            auto ops = operands();
            append_uint(out, ops[0]);
            out += ", ";
            append_uint(out, ops[1]);
        }
    }
    out += ')';
}

std::string ExpressionNode::debug() const {
    std::string out;
    debug_into(out);
    return out;
}

void hash_expr(support::FxHasher& h, std::span<const ExpressionNode> expr) noexcept {
    h.add(expr.size());
    for (const auto& n : expr) n.hash_into(h);
}

std::uint64_t expr_hash(std::span<const ExpressionNode> expr) noexcept {
    support::FxHasher h;
    hash_expr(h, expr);
    return h.finish();
}

void debug_text_into(std::string& out, std::span<const ExpressionNode> expr) {
    out += '[';
    bool first = true;
    for (const auto& n : expr) {
        if (!first) out += ", ";
        first = false;
        n.debug_into(out);
    }
    out += ']';
}

std::string debug_text(std::span<const ExpressionNode> expr) {
    std::string out;
    debug_text_into(out, expr);
    return out;
}

ExpressionNode make_operator(std::string_view kind, std::vector<NodeIndex> operands) {
    auto need = [&](std::size_t n) {
        QV_REQUIRE(operands.size() >= n, "operator \"" + std::string(kind) + "\" needs at least " +
                                             std::to_string(n) + " operand(s), got " +
                                             std::to_string(operands.size()));
    };
    if (kind == "+") return ExpressionNode::list(NodeKind::Plus, std::move(operands));
    if (kind == "*") return ExpressionNode::list(NodeKind::Times, std::move(operands));
    if (kind == "and") return ExpressionNode::list(NodeKind::And, std::move(operands));
    if (kind == "or") return ExpressionNode::list(NodeKind::Or, std::move(operands));
    if (kind == "not") {
        need(1);
        return ExpressionNode::negation(operands[0]);
    }
    NodeKind k;
    if (kind == "==") k = NodeKind::Equals;
    else if (kind == "<=") k = NodeKind::LE;
    else if (kind == "<") k = NodeKind::LT;
    else if (kind == "-") k = NodeKind::Minus;
    else if (kind == "/") k = NodeKind::Div;
    else raise(ErrorKind::ValueError, "Unknown operator: " + std::string(kind));
    need(2);
    return ExpressionNode::binary(k, operands[0], operands[1]);
}

Rational get_rational_from_expression_node(const ExpressionNode& node) {
    switch (node.kind()) {
        case NodeKind::Int: return Rational(node.as_int());
        case NodeKind::Rational: return node.as_rational();
        default: raise(ErrorKind::ValueError, "Expected a number!");
    }
}

}  // namespace quorvane
