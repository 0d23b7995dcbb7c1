#include "engine/space/event_relations.hpp"

#include <span>

#include "engine/expressions/splitting.hpp"

namespace quorvane {

namespace {
void add_fluents(FluentSet& out, std::span<const ExpressionNode> expr) {
    for (std::uint64_t f : get_fluents(expr)) out.insert(f);
}
}  // namespace

EventFluentSets EventFluentSets::of(const Event& event) {
    EventFluentSets s;
    add_fluents(s.reads, event.conditions);
    for (const Effect& e : event.effects) {
        add_fluents(s.reads, e.value);
        s.writes.insert(e.fluent);
    }
    s.reads_or_writes = s.reads;
    s.reads_or_writes.insert(s.writes.begin(), s.writes.end());
    for (const FlatExpr& c : event.start_conditions) add_fluents(s.start_condition_fluents, c);
    for (const FlatExpr& c : event.end_conditions) add_fluents(s.end_condition_fluents, c);
    return s;
}

namespace detail {
FluentIndex::FluentIndex(const std::vector<const EventFluentSets*>& events) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto id = static_cast<std::uint32_t>(i);
        for (std::uint64_t f : events[i]->reads) readers[f].push_back(id);
        for (std::uint64_t f : events[i]->writes) writers[f].push_back(id);
        for (std::uint64_t f : events[i]->start_condition_fluents) openers[f].push_back(id);
    }
}
}  // namespace detail

}  // namespace quorvane
