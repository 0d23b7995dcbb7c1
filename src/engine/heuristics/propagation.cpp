// hff, hadd and hmax over the delete relaxation: cost propagation.
//
// Costs are propagated by a generalised Dijkstra search over handles: a handle's cost
// is final when it leaves the priority queue; an operator whose precondition is a
// conjunction counts down its unreached leaves and is applied once, when the last one
// is reached; an operator whose precondition holds a disjunction is costed again over
// the reached leaves whenever one of its leaves is reached. For the one case where the
// order in which offers are made decides a result, hmax offers for linear conditions
// (and hff best supporters of a linear condition reached at cost 0), the evaluation
// keeps propagating in rounds, as the relaxation was first defined. Why both give the
// same costs and supporters is set out above `Evaluation::propagate`.
#include "engine/heuristics/propagation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/expressions/expression_manager.hpp"
#include "engine/heuristics/relaxed_plan.hpp"
#include "engine/heuristics/state_reading.hpp"
#include "engine/support/errors.hpp"

namespace quorvane::heuristics_detail {

namespace {

// The change per application, recomputed the way construction decided the pair, so
// that a table that went out of step is caught rather than used.
double repetitions(const LoweredRow& low, double value, bool inadmissible) {
    if (value <= 0) return 0.0;
    if (!inadmissible && low.assigned) return 1.0;
    QV_REQUIRE(low.change < 0, "a lowered condition whose change is not negative");
    return std::ceil(-value / low.change);
}

// ---------------------------------------------------------------------------
// One evaluation.

class Evaluation {
  public:
    Evaluation(const CompiledTask& t, Workspace& w, const State& state)
        : t_(t), w_(w), state_(state), kind_(t.task.kind) {}

    // The heuristic value, or with `reachable` the ids of the operators that got a
    // precondition cost (ascending) and no value.
    std::optional<double> run(std::vector<std::uint32_t>* reachable);

  private:
    void seed();
    template <RelaxationKind K>
    class Search;
    template <RelaxationKind K>
    bool propagate(bool stop_early);
    void propagate_in_rounds();
    void offer_in_round(std::uint32_t h, double v, std::uint32_t id);
    double cost(const Condition& c);
    double conjunction_cost(const Condition& c) const;
    double precondition_cost(std::uint32_t id);
    double linear_value(std::uint32_t linear);

    const CompiledTask& t_;
    Workspace& w_;
    const State& state_;
    RelaxationKind kind_;
};

// The cost of a condition over the cost table, unreached leaves absent. An And adds its
// operands from the top of the stack down (hmax: takes their maximum), an Or takes the
// cheapest present operand below the largest finite double.
double Evaluation::cost(const Condition& c) {
    QV_REQUIRE(c.length != 0, "the cost of a condition without entries");
    const Code* code = t_.code_pool.data() + c.code;
    const Code last = code[c.length - 1];
    if ((last & kKindMask) == kLeafCode) return w_.cost[last];
    if (c.flat) return conjunction_cost(c);
    auto& stack = w_.cost_stack;
    stack.clear();
    const bool maximum = kind_ == RelaxationKind::HMAX;
    for (std::uint32_t i = 0; i < c.length; ++i) {
        const Code e = code[i];
        const std::uint32_t n = e & kPayloadMask;
        switch (e & kKindMask) {
            case kLeafCode: stack.push_back(w_.cost[n]); break;
            case kAndCode: {
                QV_REQUIRE(n <= stack.size(), "a condition pops more entries than it pushed");
                double r = 0.0;
                bool absent = false;
                for (std::uint32_t k = 0; k < n; ++k) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (!present(x)) absent = true;
                    else if (!absent) r = maximum ? std::max(r, x) : r + x;
                }
                stack.push_back(absent ? kAbsent : r);
                break;
            }
            default: {
                QV_REQUIRE(n <= stack.size(), "a condition pops more entries than it pushed");
                double r = kHighestFinite;
                for (std::uint32_t k = 0; k < n; ++k) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (present(x)) r = std::min(r, x);
                }
                stack.push_back(r == kHighestFinite ? kAbsent : r);
                break;
            }
        }
    }
    QV_REQUIRE(stack.size() == 1, "a condition that leaves other than one value");
    return stack.back();
}

// A flat conjunction, folded the way the interpreter pops its leaves: from the last.
double Evaluation::conjunction_cost(const Condition& c) const {
    const std::uint32_t* leaves = t_.leaf_pool.data() + c.leaves;
    const double* cost = w_.cost.data();
    const bool maximum = kind_ == RelaxationKind::HMAX;
    double r = 0.0;
    for (std::uint32_t k = c.leaf_count; k-- > 0;) {
        const double x = cost[leaves[k]];
        if (!present(x)) return kAbsent;
        r = maximum ? std::max(r, x) : r + x;
    }
    return r;
}

double Evaluation::precondition_cost(std::uint32_t id) {
    QV_REQUIRE(id < t_.operators.size(), "an operator id without an operator");
    return cost(t_.preconditions[id]);
}

// constant + sum of weight * value, each value read once per evaluation at most.
double Evaluation::linear_value(std::uint32_t linear) {
    if (w_.linear_seen[linear] == w_.generation) return w_.linear_value[linear];
    const LinearCondition& lc = t_.task.linear_conditions[linear];
    QV_REQUIRE(!lc.weights.empty(), "a linear condition without weights");
    double value = lc.weights.back();
    for (std::size_t i = 0; i < lc.fluents.size(); ++i) value = value + numeric_value(state_, lc.fluents[i]) * lc.weights[i];
    w_.linear_seen[linear] = w_.generation;
    w_.linear_value[linear] = value;
    return value;
}

// The costs that hold before anything is applied, into `tent`: 0 for the atoms of the
// state's values, for the linear conditions that hold and for the progress atoms of
// where each action stands; 0 or 1 for the other numeric conditions. Later settings of
// one handle replace earlier ones.
void Evaluation::seed() {
    Workspace& w = w_;
    auto set = [&w](std::uint32_t h, double c) {
        if (!present(w.tent[h])) w.touched.push(h);
        w.tent[h] = c;
    };
    for_each_value_atom(t_.atoms, state_, w.value_reads, [&](std::uint32_t h) { set(h, 0.0); });
    const ExpressionManager& m = t_.task.manager;
    for (const LinearCondition& lc : t_.task.linear_conditions)
        if (holds(m.get(lc.handle), state_)) set(static_cast<std::uint32_t>(lc.handle.index), 0.0);
    for (Expression h : t_.task.other_numeric_conditions)
        set(static_cast<std::uint32_t>(h.index), holds(m.get(h), state_) ? 0.0 : 1.0);

    const std::uint32_t gen = w.generation;
    bool static_running = false;
    for_each_running(state_, [&](Action a, std::uint64_t next) {
        if (auto slot = t_.slot_of.find(a); slot != t_.slot_of.end()) {
            w.running[slot->second] = next;
            w.running_seen[slot->second] = gen;
            static_running = static_running || t_.progress[slot->second].atom_count == 1;
        }
    });
    // The progress atom of each action, which a static atom is already; every slot is
    // checked, in order, only when a running action may stand where it cannot.
    auto progress = [&](std::uint32_t slot) {
        const ProgressRow& row = t_.progress[slot];
        QV_REQUIRE(row.atom_count != 0, "an action with events but without progress atoms");
        if (w.running_seen[slot] == gen) {
            const std::uint64_t k = w.running[slot];
            QV_REQUIRE(k >= 1 && k <= row.atom_count, "a running action's next event is out of range");
            if (row.atom_count != 1) set(t_.leaf_pool[row.atoms + k - 1], 0.0);
        } else if (row.atom_count != 1) {
            set(row.idle, 0.0);
        }
    };
    if (static_running) {
        for (std::uint32_t slot = 0, slots = static_cast<std::uint32_t>(t_.progress.size()); slot < slots; ++slot)
            progress(slot);
    } else {
        for (std::uint32_t slot : t_.dynamic_slots) progress(slot);
    }
}

// Propagation.
//
// The costs: every handle's cost is the least over the ways the relaxation can reach
// it (from the seeded costs, through operators) of the value computed along that way.
// An operator's offer is a monotone function of its precondition cost and never below
// it: c + 1 for an atom, c + r for a linear condition (r >= 0 fixed by the state); a
// precondition's cost is monotone in its leaves' costs, never below a leaf of an And
// (sums and maxima of non-negative numbers), and an Or takes its cheapest operand.
// Floating-point rounding keeps all of this (rounding is monotone, and x + y >= x for
// y >= 0), and both ways compute every number with the same operations in the same
// order: an offer is always c + 1 or c + r * 1, and a precondition's cost is always
// worked out by `cost` (a flat conjunction is folded over its leaves from the last to
// the first, which is how `cost` pops them). Propagating in rounds reaches the least
// costs (every cost it records is the value of some way, and when nothing improves
// any more no way can give less). So does this search: it takes handles in order of
// cost, so a handle leaves the queue at its least cost, and an operator is applied
// with its final precondition cost once the leaves its cost depends on have left the
// queue (a conjunction needs them all; of an Or, the chosen operand's leaves cost no
// more than the Or, and an operand reached later cannot be cheaper). Offers that are
// not below the handle's cost change no cost, so offers skipped for a linear
// condition at 0 change none either. The set of operators that get a precondition
// cost (reachable_actions) is therefore the same as well.
//
// hff best supporters: in rounds, a handle's supporter is set by every offer that
// improves it and raised to the larger id by every offer equal to its cost, whether
// made in the same round or a later one. An operator's offers only fall over time, and
// the last is made with its final precondition cost, so the supporter ends as the
// largest id among the operators whose last offer equals the handle's final cost. This
// search applies every reachable operator with its final precondition cost too and
// keeps the same rule, also for offers to a handle already taken from the queue, so
// it ends with the same supporters. One exception: a linear condition that does not
// hold in the state but gets the offer 0 (r = 0 on a precondition of cost 0). Rounds
// stop offering for it from the round after it reaches 0, so its supporter depends on
// which operators reached cost 0 in that very round. Such an evaluation is done again
// in rounds.
//
// hmax and linear conditions: an hmax offer for a linear condition adds r to the
// cheapest precondition cost, at that moment, of the operators that have offered for
// it so far; the result depends on the order of the offers. An hmax evaluation in
// which some operator may lower a linear condition that does not hold in the state is
// done in rounds, in increasing operator id within each round, as it always was.
//
// Stopping early: once every leaf of the goal (and, for hadd and hmax, of the idle
// condition) has left the queue, at most at cost K, the search takes what remains at
// cost K and stops. The value is read from those leaves' costs, which are final. An
// hff relaxed plan visits only handles of cost K or less: the leaves a supporter's
// precondition is costed on cost no more than what it supports, and of an Or the
// cheapest operand is taken, which an operand still in the queue (it would cost more
// than K) cannot be. The supporter of a handle of cost k is final once the handles of
// cost k are taken: an offer of k comes from an operator whose precondition costs k at
// most, so is applied by then. Conditions with a disjunction, and tasks with linear
// conditions that operators lower (whose offers read numbers from the state, which may
// fail), are always explored in full.
//
// Returns false when the evaluation must be done in rounds.
template <RelaxationKind K>
bool Evaluation::propagate(bool stop_early) {
    // cost() refuses a precondition without entries, as the rounds would (when there is
    // a round at all).
    if (!w_.touched.empty() || !t_.static_zero.empty())
        for (std::uint32_t id : t_.task.empty_precondition_operators) precondition_cost(id);
    Search<K> search(*this, stop_early && t_.may_stop_early, !stop_early);
    return search.run();
}

// The search's hot loop, with every table it touches at hand.
template <RelaxationKind K>
class Evaluation::Search {
  public:
    Search(Evaluation& e, bool stop_early, bool keep_operator_costs)
        : e_(e),
          w_(e.w_),
          cost_(e.w_.cost.data()),
          tent_(e.w_.tent.data()),
          supporter_(e.w_.supporter.data()),
          op_cost_(e.w_.op_cost.data()),
          countdown_(e.w_.countdown.data()),
          operators_(e.t_.operators.data()),
          leaf_pool_(e.t_.leaf_pool.data()),
          lowered_pool_(e.t_.lowered_pool.data()),
          index_offsets_(e.t_.index_offsets.data()),
          index_ids_(e.t_.index_ids.data()),
          target_(e.t_.target.data()),
          awaited_(e.t_.awaited.data()),
          generation_(e.w_.generation),
          keep_operator_costs_(keep_operator_costs) {
        if (stop_early) {
            targets_left_ = e.t_.targets;
            if (targets_left_ == 0) limit_ = 0.0;
        }
    }

    bool run() {
        // Operators with a static leaf, as if those leaves were taken first.
        for (std::uint32_t id : e_.t_.initial_operators)
            if (!initial(id)) return false;
        // Seeds at 0 are final at once (nothing costs less, and the order among equal
        // costs does not matter); the others wait in the queue like every offer.
        for (std::size_t i = 0, seeds = w_.touched.size(); i < seeds; ++i) {
            const std::uint32_t h = w_.touched[i];
            if (present(cost_[h])) continue;
            if (tent_[h] != 0.0) w_.queue.push(tent_[h], h);
            else if (!settle(h, 0.0)) return false;
        }
        double key;
        std::uint32_t h;
        while (w_.queue.pop(key, h)) {
            if (present(cost_[h]) || tent_[h] != key) continue;  // taken already, or a stale entry
            if (key > limit_) break;
            if (!settle(h, key)) return false;
        }
        return true;
    }

  private:
    // h's cost is final: the operators that need it count it off, or are costed again.
    // Costs are integral (offers add 1 or a whole number of repetitions to integral
    // precondition costs, from seeds of 0 and 1), so a sum counted off below 2^53 is
    // exactly the one `cost` would fold, in whatever order its terms came.
    bool settle(std::uint32_t h, double key) {
        cost_[h] = key;
        if (target_[h] && --targets_left_ == 0) limit_ = key;
        for (std::uint32_t i = index_offsets_[h], end = index_offsets_[h + 1]; i < end; ++i) {
            const std::uint32_t id = index_ids_[i];
            Countdown& left = countdown_[id];
            if (left.generation != generation_) {
                left.generation = generation_;
                left.remaining = awaited_[id];
                left.sum = 0.0;
            }
            if (left.remaining == kCostAgain) {
                if (!cost_again(id)) return false;
                continue;
            }
            left.sum = K == RelaxationKind::HMAX ? std::max(left.sum, key) : left.sum + key;
            if (--left.remaining == 0 && !complete(id, left.sum)) return false;
        }
        return true;
    }

    // Operators with static leaves that the search does not wait for (none other, or a
    // disjunction), as if those leaves were taken first.
    bool initial(std::uint32_t id) { return awaited_[id] == kCostAgain ? cost_again(id) : complete(id, 0.0); }

    // The last awaited leaf of operator id is final; `sum` counted them off. Such an
    // operator is applied once, so its cost is kept only for reachable_actions.
    [[gnu::always_inline]] bool complete(std::uint32_t id, double sum) {
        double c = sum;
        if (K != RelaxationKind::HMAX && !(sum < kExactSums)) c = e_.cost(e_.t_.preconditions[id]);
        if (keep_operator_costs_) note_cost(id, c);
        return apply(id, c, operators_[id]);
    }

    // A leaf of operator id, whose precondition holds a disjunction, is final.
    [[gnu::noinline]] bool cost_again(std::uint32_t id) {
        const double c = e_.cost(e_.t_.preconditions[id]);
        if (!present(c) || (present(op_cost_[id]) && !(c < op_cost_[id]))) return true;
        note_cost(id, c);
        return apply(id, c, operators_[id]);
    }

    [[gnu::noinline]] void note_cost(std::uint32_t id, double c) {
        if (!present(op_cost_[id])) w_.op_touched.push(id);
        op_cost_[id] = c;
    }

    [[gnu::always_inline]] bool apply(std::uint32_t id, double c, const OperatorRow& op) {
        const double v = c + kOperatorCost;
        for (std::uint32_t i = op.adds, end = op.adds + op.add_count; i < end; ++i) offer(leaf_pool_[i], v, id);
        return op.lowered_count == 0 || lower(id, c, op);
    }

    // The offers of operator id for the linear conditions it lowers.
    [[gnu::noinline]] bool lower(std::uint32_t id, double c, const OperatorRow& op) {
        for (std::uint32_t i = op.lowered, end = op.lowered + op.lowered_count; i < end; ++i) {
            const LoweredRow& low = lowered_pool_[i];
            if (tent_[low.handle] == 0.0) continue;
            if (K == RelaxationKind::HMAX) return false;
            QV_REQUIRE(!e_.t_.task.linear_conditions[low.linear].fluents.empty(),
                       "a lowered condition without fluents");
            const double r =
                repetitions(low, e_.linear_value(low.linear), e_.t_.task.inadmissible_numeric_heuristic_variant);
            const double offered = c + r * kOperatorCost;
            if (std::isnan(offered)) continue;  // an offer that would be NaN is dropped
            if (K == RelaxationKind::HFF && offered == 0.0) return false;
            offer(low.handle, offered, id);
        }
        return true;
    }

    // v is never NaN. The common case first: no improvement. Supporters are kept as
    // id + 1, so that "none" (0) loses every comparison.
    void offer(std::uint32_t h, double v, std::uint32_t id) {
        double& old = tent_[h];
        if (!(v < old)) {
            if (present(old)) {
                if (K == RelaxationKind::HFF && old == v) supporter_[h] = std::max(supporter_[h], id + 1);
                return;
            }
            w_.touched.push(h);
        }
        old = v;
        if (K == RelaxationKind::HFF) supporter_[h] = id + 1;
        w_.queue.push(v, h);
    }

    Evaluation& e_;
    Workspace& w_;
    double* const cost_;
    double* const tent_;
    std::uint32_t* const supporter_;
    double* const op_cost_;
    Countdown* const countdown_;
    const OperatorRow* const operators_;
    const std::uint32_t* const leaf_pool_;
    const LoweredRow* const lowered_pool_;
    const std::uint32_t* const index_offsets_;
    const std::uint32_t* const index_ids_;
    const std::uint8_t* const target_;
    const std::uint32_t* const awaited_;
    const std::uint32_t generation_;
    // The precondition costs of operators that are applied once are read only for
    // reachable_actions.
    const bool keep_operator_costs_;
    // Without stopping early no count reaches 0.
    std::uint32_t targets_left_ = kNone;
    // Handles that cost more are not needed.
    double limit_ = std::numeric_limits<double>::infinity();
};

// Rounds: every cost read in a round comes from the table as it stood at the start of
// the round (`cost`); improvements (`tent`) take effect in the next one. Each round
// applies, in increasing id, the operators with a leaf among the handles improved in
// the last round whose precondition cost strictly dropped.
void Evaluation::propagate_in_rounds() {
    Workspace& w = w_;
    for (std::uint32_t h : w.touched) {
        w.cost[h] = w.tent[h];
        w.tent[h] = kAbsent;
    }
    w.frontier.assign(w.touched.begin(), w.touched.end());
    const bool hmax = kind_ == RelaxationKind::HMAX;
    bool first = true;
    while (!w.frontier.empty() || (first && !t_.static_zero.empty())) {
        const std::uint32_t stamp = w.next_round();
        w.batch.clear();
        auto enlist = [&w, stamp](std::uint32_t id) {
            if (w.batch_round[id] != stamp) {
                w.batch_round[id] = stamp;
                w.batch.push_back(id);
            }
        };
        for (std::uint32_t id : t_.task.empty_precondition_operators) {
            QV_REQUIRE(id < t_.operators.size(), "an operator id without an operator");
            enlist(id);
        }
        for (std::uint32_t h : w.frontier)
            for (std::uint32_t i = t_.index_offsets[h]; i < t_.index_offsets[h + 1]; ++i) enlist(t_.index_ids[i]);
        // The static atoms are part of the first frontier, though in no touched list.
        if (first) {
            for (std::uint32_t id : t_.static_operators) enlist(id);
            first = false;
        }
        std::sort(w.batch.begin(), w.batch.end());

        for (std::uint32_t id : w.batch) {
            const OperatorRow& op = t_.operators[id];
            const double c = precondition_cost(id);
            if (!present(c)) continue;
            if (present(w.op_cost[id]) && !(c < w.op_cost[id])) continue;
            if (!present(w.op_cost[id])) w.op_touched.push(id);
            w.op_cost[id] = c;
            for (std::uint32_t i = op.adds; i < op.adds + op.add_count; ++i)
                offer_in_round(t_.leaf_pool[i], c + kOperatorCost, id);
            for (std::uint32_t i = op.lowered; i < op.lowered + op.lowered_count; ++i) {
                const LoweredRow& low = t_.lowered_pool[i];
                if (w.cost[low.handle] == 0.0) continue;
                QV_REQUIRE(!t_.task.linear_conditions[low.linear].fluents.empty(),
                           "a lowered condition without fluents");
                const double r =
                    repetitions(low, linear_value(low.linear), t_.task.inadmissible_numeric_heuristic_variant);
                double v;
                if (hmax) {
                    auto& achievers = w.achievers[low.linear];
                    if (achievers.empty()) w.achievers_touched.push_back(low.linear);
                    if (std::find(achievers.begin(), achievers.end(), id) == achievers.end())
                        achievers.push_back(id);
                    double cheapest = kAbsent;
                    for (std::uint32_t o : achievers) {
                        const double oc = o == id ? c : precondition_cost(o);
                        QV_REQUIRE(present(oc), "an achiever without a precondition cost");
                        if (!present(cheapest) || oc < cheapest) cheapest = oc;
                    }
                    v = r * kOperatorCost + cheapest;
                } else {
                    v = c + r * kOperatorCost;
                }
                offer_in_round(low.handle, v, id);
            }
        }

        w.frontier.clear();
        for (std::uint32_t h : w.next_frontier) {
            w.cost[h] = w.tent[h];
            w.tent[h] = kAbsent;
            w.frontier.push_back(h);
        }
        w.next_frontier.clear();
    }
}

void Evaluation::offer_in_round(std::uint32_t h, double v, std::uint32_t id) {
    if (std::isnan(v)) return;
    Workspace& w = w_;
    const bool hff = kind_ == RelaxationKind::HFF;
    const double old = present(w.tent[h]) ? w.tent[h] : w.cost[h];
    if (!present(old) || old > v) {
        if (!present(w.tent[h])) {
            w.next_frontier.push_back(h);
            if (!present(w.cost[h])) w.touched.push(h);
        }
        w.tent[h] = v;
        if (hff) w.supporter[h] = id + 1;
    } else if (hff && old == v) {
        w.supporter[h] = std::max(w.supporter[h], id + 1);
    }
}
std::optional<double> Evaluation::run(std::vector<std::uint32_t>* reachable) {
    w_.begin(t_);
    seed();
    bool rounds = false;
    if (kind_ == RelaxationKind::HMAX)
        for (std::uint32_t h : t_.lowerable) rounds = rounds || w_.tent[h] != 0.0;
    if (!rounds) {
        bool done = false;
        switch (kind_) {
            case RelaxationKind::HFF: done = propagate<RelaxationKind::HFF>(reachable == nullptr); break;
            case RelaxationKind::HADD: done = propagate<RelaxationKind::HADD>(reachable == nullptr); break;
            case RelaxationKind::HMAX: done = propagate<RelaxationKind::HMAX>(reachable == nullptr); break;
        }
        if (!done) {
            w_.begin(t_);
            seed();
            rounds = true;
        }
    }
    if (rounds) propagate_in_rounds();

    if (reachable) {
        reachable->clear();
        for (std::uint32_t id = 0; id < t_.operators.size(); ++id)
            if (present(w_.op_cost[id])) reachable->push_back(id);
        return std::nullopt;
    }
    const double g = cost(t_.goal);
    if (!present(g)) return std::nullopt;
    if (kind_ != RelaxationKind::HFF) {
        const double i = cost(t_.idle);
        if (!present(i)) return std::nullopt;
        return kind_ == RelaxationKind::HMAX ? std::max(g, i) : g + i;
    }
    return RelaxedPlan(t_, w_, state_).value(g);
}

}  // namespace

std::optional<double> evaluate(const CompiledTask& t, Workspace& w, const State& state,
                               std::vector<std::uint32_t>* reachable) {
    return Evaluation(t, w, state).run(reachable);
}

}  // namespace quorvane::heuristics_detail
