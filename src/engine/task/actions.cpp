#include "engine/task/actions.hpp"

namespace quorvane {

std::string Action::debug() const { return "Action { idx: " + std::to_string(idx) + " }"; }

void Effect::debug_into(std::string& out) const {
    out += "Effect { fluent: ";
    out += std::to_string(fluent);
    out += ", value: ";
    debug_text_into(out, value);
    out += " }";
}

std::string Effect::debug() const {
    std::string out;
    debug_into(out);
    return out;
}

std::string Timing::debug() const {
    std::string out = "Timing { start: ";
    out += start ? "true" : "false";
    out += ", delay: ";
    rational_debug_into(out, delay);
    out += " }";
    return out;
}

namespace {
void expr_list_into(std::string& out, const std::vector<FlatExpr>& list) {
    out += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ", ";
        debug_text_into(out, list[i]);
    }
    out += ']';
}
}  // namespace

std::string Event::debug() const {
    std::string out = "Event { action: ";
    out += action.debug();
    out += ", pos: ";
    out += std::to_string(pos);
    out += ", conditions: ";
    debug_text_into(out, conditions);
    out += ", start_conditions: ";
    expr_list_into(out, start_conditions);
    out += ", end_conditions: ";
    expr_list_into(out, end_conditions);
    out += ", effects: [";
    for (std::size_t i = 0; i < effects.size(); ++i) {
        if (i) out += ", ";
        effects[i].debug_into(out);
    }
    out += "] }";
    return out;
}

}  // namespace quorvane
