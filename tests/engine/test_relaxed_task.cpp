// The relaxed task of hff, hadd and hmax as construction builds it: progress fluents,
// linear conditions and their margins, rewritten comparisons, effects classified by the
// fluent type, and refused tasks.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

TEST(Relaxation, ProgressFluentsFollowTheActionsListAndOperatorsTheActionIndex) {
    // Two task fluents; action 0 has two events, action 1 one. With actions [0, 1] the
    // progress fluents are 2, 3 (action 0, idle 3) and 4 (action 1); with [1, 0] action
    // 1 takes 2 and action 0 takes 3, 4. A goal on fluent 3 tells them apart.
    Task t{{"bool", "bool"}, {}, {plain_action(0, 2), plain_action(1, 1)}, {F(3)}, {}};
    const auto running = make_state({B(false), B(false)}, {{0, 1}});
    const auto idle = make_state({B(false), B(false)});

    t.actions = {Action{0}, Action{1}};
    // Fluent 3 is action 0's idle fluent: its second event must still happen.
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*running), 2.0);  // goal 1 + idle 1
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*idle), 0.0);

    t.actions = {Action{1}, Action{0}};
    // Fluent 3 is now the progress fluent of action 0's first event, which just happened.
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*running), 1.0);  // goal 0 + idle 1
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*idle), 1.0);     // goal 1 + idle 0 (nothing is deleted)
}

TEST(Relaxation, LinearConditionOffersForIncrementsAssignmentsAndComplexEffects) {
    // Goal 10 <= x (10 - x <= 0) from x = 3. The numeric operator needs p, which costs 1.
    struct Case {
        const char* name;
        FlatExpr value;
        bool inadmissible;
        double hadd;
    };
    const Case cases[] = {
        // d = -2, r = ceil(7 / 2) = 4
        {"increment", {F(0), I(2), Op("+", {0, 1})}, false, 5.0},
        {"increment, inadmissible", {F(0), I(2), Op("+", {0, 1})}, true, 5.0},
        // one application with the admissible variant; d = -1, r = 7 with the other
        {"assignment", {I(5)}, false, 2.0},
        {"assignment, inadmissible", {I(5)}, true, 8.0},
        {"complex", {I(2), F(0), Op("*", {0, 1})}, false, 2.0},
        {"complex, inadmissible", {I(2), F(0), Op("*", {0, 1})}, true, 8.0},
    };
    for (const Case& c : cases) {
        Task t{{"int", "bool"},
               {},
               {action_events(0, {event({}, {Effect{1, {B(true)}}})}),
                action_events(1, {event({F(1)}, {Effect{0, c.value}})})},
               {I(10), F(0), Op("<=", {0, 1})},
               {}};
        const auto state = make_state({I(3), B(false)});
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, c.inadmissible).eval(*state), c.hadd) << c.name;
        EXPECT_EQ(relaxation(t, RelaxationKind::HMAX, false, c.inadmissible).eval(*state), c.hadd) << c.name;
        // The relaxed plan: the numeric action and the one that gives p.
        EXPECT_EQ(relaxation(t, RelaxationKind::HFF, false, c.inadmissible).eval(*state), 2.0) << c.name;
    }
}

TEST(Relaxation, StrictConditionsKeepHalfTheSmallestChangeAsMargin) {
    // x := x - 2 and the goal x < 3: kept as x - 2 <= 0.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(2), Op("-", {0, 1})}}})})},
           {F(0), I(3), Op("<", {0, 1})}, {}};
    const auto h = relaxation(t, RelaxationKind::HADD);
    EXPECT_EQ(h.eval(*make_state({I(2)})), 0.0);
    EXPECT_EQ(h.eval(*make_state({I(3)})), 1.0);  // 3 < 3 fails: one step, not none
    EXPECT_EQ(h.eval(*make_state({I(5)})), 2.0);  // 5 -> 3 -> 1
}

TEST(Relaxation, StrictConditionLoweredOnlyByAnAssignmentStillNeedsTheAssignment) {
    // No pair has a negative change; x := 0 is listed without one. At x = 3 the
    // condition x < 3 fails and the assignment must be applied once.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {I(0)}}})})}, {F(0), I(3), Op("<", {0, 1})}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({I(3)})), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({I(1)})), 0.0);
}

TEST(Relaxation, EqualityAndNegatedComparisonsAreRewrittenIntoLinearConditions) {
    // x := x + 1 from x = 0.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})}, {}, {}};
    struct Case {
        const char* name;
        FlatExpr goal;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"x = 3", {F(0), I(3), Op("==", {0, 1})}, 3.0},        // x <= 3 holds, 3 <= x needs 3
        {"not x <= 2", {F(0), I(2), Op("<=", {0, 1}), Op("not", {2})}, 3.0},
        {"not x < 2", {F(0), I(2), Op("<", {0, 1}), Op("not", {2})}, 2.0},
        {"not x = 0", {F(0), I(0), Op("==", {0, 1}), Op("not", {2})}, 1.0},  // 0 < x after one step
        {"not x = 2", {F(0), I(2), Op("==", {0, 1}), Op("not", {2})}, 0.0},  // x < 2 holds
    };
    const auto state = make_state({I(0)});
    for (const Case& c : cases) {
        t.goal = c.goal;
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), c.hadd) << c.name;
    }
}

TEST(Relaxation, NumericReasoningCanBeSwitchedOff) {
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
           {I(3), F(0), Op("<=", {0, 1})}, {}};
    const auto state = make_state({I(0)});
    // The goal becomes a plain condition of cost 1 that no operator achieves.
    const auto h = relaxation(t, RelaxationKind::HADD, false, false, true);
    EXPECT_EQ(h.eval(*state), 1.0);
    EXPECT_STREQ(h.name(), "hadd_no_numbers");
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 3.0);
    EXPECT_STREQ(relaxation(t, RelaxationKind::HFF).name(), "hff");
    EXPECT_STREQ(relaxation(t, RelaxationKind::HMAX, false, false, true).name(), "hmax_no_numbers");
}

TEST(Relaxation, ObjectFluentsAndNegatedObjectEqualities) {
    // Fluent 0 of type "loc" with objects a, b, c; the goal is not(at = a).
    Task t{{"loc"},
           {{"loc", {"a", "b", "c"}}},
           {action_events(0, {event({}, {Effect{0, {O("c")}}})})},
           {F(0), O("a"), Op("==", {0, 1}), Op("not", {2})},
           {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), 0.0);  // b is one of b, c
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("a")})), 1.0);  // move to c
    t.objects = {{"loc", {"a"}}};  // no other object: the condition is false
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), std::nullopt);
}

TEST(Relaxation, ConstructionRejectsBrokenTasks) {
    struct Case {
        const char* name;
        Task task;
    };
    const FlatExpr goal{F(0)};
    const Case cases[] = {
        {"effect beyond the fluents", {{"bool"}, {}, {action_events(0, {event({}, {Effect{1, {B(true)}}})})}, goal, {}}},
        {"two numeric effects on one fluent",
         {{"int"}, {}, {action_events(0, {event({}, {Effect{0, {I(1)}}, Effect{0, {I(2)}}})})}, goal, {}}},
        {"empty goal", {{"bool"}, {}, {plain_action(0, 1)}, {}, {}}},
        {"object type without objects",
         {{"loc", "loc"}, {{"other", {"a"}}}, {action_events(0, {event({}, {Effect{0, {F(1)}}})})}, goal, {}}},
    };
    for (const Case& c : cases)
        EXPECT_THROW(relaxation(c.task, RelaxationKind::HFF), InternalError) << c.name;

    // A leaf whose subtree names a node before it cannot be cut out: Overflow.
    Task overflow{{"int"}, {}, {plain_action(0, 1)}, {I(5), F(0), Op("-", {1, 0}), I(3), Op("<=", {2, 3})}, {}};
    try {
        relaxation(overflow, RelaxationKind::HFF);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Exception);
        EXPECT_STREQ(e.what(), "Overflow");
    }
}

TEST(Relaxation, ConditionRepeatedAsEndConditionCountsOnce) {
    // q needs p (cost 1); with the repeat counted twice hadd would add p's cost twice.
    Event needs_p = event({F(0)}, {Effect{1, {B(true)}}});
    needs_p.end_conditions = {{F(0)}};
    Task t{{"bool", "bool"}, {}, {action_events(0, {event({}, {Effect{0, {B(true)}}})}), action_events(1, {needs_p})},
           {F(1)}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({B(false), B(false)})), 2.0);
}

TEST(Relaxation, ActionWithoutEventsFailsAtEvaluation) {
    // Construction accepts it (no operator, no progress atoms); evaluating cannot.
    for (std::size_t fluents : {0, 1}) {
        Task t{std::vector<std::string>(fluents, "bool"), {}, {plain_action(0, 0)}, {B(true)}, {}};
        const auto h = relaxation(t, RelaxationKind::HADD);
        EXPECT_THROW(h.eval(*make_state(std::vector<ExpressionNode>(fluents, B(true)))), InternalError);
    }
}

TEST(Relaxation, ObjectEffectWithAConstantNeedsNoObjectsEntry) {
    Task t{{"loc"}, {}, {action_events(0, {event({}, {Effect{0, {O("b")}}})})}, {F(0), O("b"), Op("==", {0, 1})}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("a")})), 1.0);
}

TEST(Relaxation, EffectValuesAreClassifiedByTheFluentType) {
    // Goal 10 <= x (10 - x <= 0) from x = 3; the numeric action needs p, which costs 1.
    // An increment of c lowers it by c per application, an assignment or a complex
    // effect counts once (admissible) or as a unit change (inadmissible); f := f is
    // the increment 0 and lowers nothing.
    struct Case {
        const char* name;
        FlatExpr value;
        std::optional<double> admissible, inadmissible;
    };
    const Case cases[] = {
        {"x := 2 + x", {I(2), F(0), Op("+", {0, 1})}, 5.0, 5.0},
        {"x := x - -3", {F(0), I(-3), Op("-", {0, 1})}, 4.0, 4.0},  // r = ceil(7 / 3) = 3
        {"x := 1 + 1", {I(1), I(1), Op("+", {0, 1})}, 2.0, 8.0},
        {"x := y + 1", {F(2), I(1), Op("+", {0, 1})}, 2.0, 8.0},
        {"x := x", {F(0)}, std::nullopt, std::nullopt},
        {"x := x + 0", {F(0), I(0), Op("+", {0, 1})}, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{{"int", "bool", "int"},
               {},
               {action_events(0, {event({}, {Effect{1, {B(true)}}})}),
                action_events(1, {event({F(1)}, {Effect{0, c.value}})})},
               {I(10), F(0), Op("<=", {0, 1})},
               {}};
        const auto state = make_state({I(3), B(false), I(0)});
        for (RelaxationKind kind : {RelaxationKind::HADD, RelaxationKind::HMAX}) {
            EXPECT_EQ(relaxation(t, kind, false, false).eval(*state), c.admissible) << c.name;
            EXPECT_EQ(relaxation(t, kind, false, true).eval(*state), c.inadmissible) << c.name;
        }
    }
}

TEST(Relaxation, BooleanAndObjectEffectsAddTheirAtoms) {
    // A value that is not a constant adds every atom the fluent could get.
    struct Case {
        const char* name;
        std::vector<std::string> types;
        ObjectsByType objects;
        FlatExpr value;
        FlatExpr goal;
        std::vector<ExpressionNode> init;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"p := true gives p", {"bool", "bool"}, {}, {B(true)}, {F(0)}, {B(false), B(false)}, 1.0},
        {"p := true never gives not p", {"bool", "bool"}, {}, {B(true)}, {F(0), Op("not", {0})}, {B(true), B(false)},
         std::nullopt},
        {"p := false gives not p", {"bool", "bool"}, {}, {B(false)}, {F(0), Op("not", {0})}, {B(true), B(false)}, 1.0},
        {"p := false never gives p", {"bool", "bool"}, {}, {B(false)}, {F(0)}, {B(false), B(false)}, std::nullopt},
        {"p := q gives p", {"bool", "bool"}, {}, {F(1)}, {F(0)}, {B(false), B(false)}, 1.0},
        {"p := q gives not p", {"bool", "bool"}, {}, {F(1)}, {F(0), Op("not", {0})}, {B(true), B(false)}, 1.0},
        {"at := other gives every object", {"loc", "loc"}, {{"loc", {"a", "b", "c"}}}, {F(1)},
         {F(0), O("c"), Op("==", {0, 1})}, {O("a"), O("a")}, 1.0},
        {"at := b gives only b", {"loc", "loc"}, {{"loc", {"a", "b", "c"}}}, {O("b")},
         {F(0), O("c"), Op("==", {0, 1})}, {O("a"), O("a")}, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{c.types, c.objects, {action_events(0, {event({}, {Effect{0, c.value}})})}, c.goal, {}};
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state(c.init)), c.hadd) << c.name;
    }
}

TEST(Relaxation, StrictMarginCountsAssignmentsOnlyInTheInadmissibleVariant) {
    // Goal x < 3 from x = 6. A: x := x - 4 needs nothing (d = -4); B: x := 5 needs q,
    // which costs 3. Inadmissible: B's unit change d = -1 makes the margin -0.5, the
    // condition x - 2.5 <= 0, and A's repetitions ceil(3.5 / 4) = 1. Admissible: B is
    // listed but leaves the margin at -2, the condition x - 1 <= 0, and A needs
    // ceil(5 / 4) = 2; B offers 3 + 1 = 4 (admissible) or 3 + ceil(3.5) = 7.
    Task t{{"int", "bool"},
           {},
           {action_events(0, {event({}, {Effect{0, {F(0), I(4), Op("-", {0, 1})}}})}),
            action_events(1, {event({F(1)}, {Effect{0, {I(5)}}})}),
            action_events(2, {event({}, {}), event({}, {}), event({}, {Effect{1, {B(true)}}})})},
           {F(0), I(3), Op("<", {0, 1})},
           {}};
    const auto state = make_state({I(6), B(false)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, true).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, false).eval(*state), 2.0);
    // x := x + 1 moves x < 3 the wrong way: it lowers nothing and leaves the margin.
    Task up{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
            {F(0), I(3), Op("<", {0, 1})}, {}};
    for (bool inadmissible : {false, true})
        EXPECT_EQ(relaxation(up, RelaxationKind::HADD, false, inadmissible).eval(*make_state({I(6)})), std::nullopt);
}

TEST(Relaxation, LinearConditionsFromTheirPolynomials) {
    // Each goal with the operators that can lower it, from the state (x0, x1).
    const FlatExpr x0_down{F(0), I(2), Op("-", {0, 1})};
    const FlatExpr x1_up{F(1), I(3), Op("+", {0, 1})};
    struct Case {
        const char* name;
        FlatExpr goal;
        std::vector<Effect> effects;  // of one unconditioned event each
        std::vector<ExpressionNode> init;
        bool inadmissible;
        std::optional<double> hadd;
        const char* type1 = "int";
    };
    const Case cases[] = {
        // x0 - 5 <= 0 from 11, x0 := x0 - 2: r = ceil(6 / 2)
        {"x0 <= 5", {F(0), I(5), Op("<=", {0, 1})}, {Effect{0, x0_down}}, {I(11), I(0)}, false, 3.0},
        // 2 x0 - x1 + 2 <= 0 at (3, 0) is 8; x1 := x1 + 3 has d = -3: r = 3
        {"2 (x0 + 1) <= x1",
         {I(2), F(0), I(1), Op("+", {1, 2}), Op("*", {0, 3}), F(1), Op("<=", {4, 5})},
         {Effect{1, x1_up}},
         {I(3), I(0)},
         false,
         3.0},
        // ... and x0 := x0 - 2 has d = -4: r = 2
        {"2 (x0 + 1) <= x1, both",
         {I(2), F(0), I(1), Op("+", {1, 2}), Op("*", {0, 3}), F(1), Op("<=", {4, 5})},
         {Effect{1, x1_up}, Effect{0, x0_down}},
         {I(3), I(0)},
         false,
         2.0},
        // 0 x1 drops fluent 1: an assignment to x1 does not lower the condition
        {"0 x1 + x0 <= 3",
         {I(0), F(1), Op("*", {0, 1}), F(0), Op("+", {2, 3}), I(3), Op("<=", {4, 5})},
         {Effect{1, {I(5)}}},
         {I(7), I(0)},
         true,
         std::nullopt},
        // x0 - x0 <= 0 always holds; x0 - x0 < 0 never does and has nothing to lower
        {"x0 - x0 <= 0", {F(0), F(0), Op("-", {0, 1}), I(0), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(1), I(0)},
         false, 0.0},
        {"x0 - x0 < 0", {F(0), F(0), Op("-", {0, 1}), I(0), Op("<", {2, 3})}, {Effect{0, x0_down}}, {I(1), I(0)},
         false, std::nullopt},
        // x1 - (x0 + x1) + 3 <= 0 is 3 - x0 <= 0: x1 goes, and assigning it lowers nothing;
        // from 3, x0 := x0 + 1 has d = -1
        {"x1 - (x0 + x1) + 3 <= 0",
         {F(1), F(0), F(1), Op("+", {1, 2}), Op("-", {0, 3}), I(3), Op("+", {4, 5}), I(0), Op("<=", {6, 7})},
         {Effect{0, {F(0), I(1), Op("+", {0, 1})}}, Effect{1, {I(5)}}},
         {I(0), I(4)},
         false,
         3.0},
        // not linear: a plain condition of cost 1 that no operator gives
        {"x0 * x1 <= 3", {F(0), F(1), Op("*", {0, 1}), I(3), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(2), I(2)},
         false, 1.0},
        {"x0 / x1 <= 3", {F(0), F(1), Op("/", {0, 1}), I(3), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(10), I(2)},
         false, 1.0},
        {"not x0 * x1 = 3", {F(0), F(1), Op("*", {0, 1}), I(3), Op("==", {2, 3}), Op("not", {4})},
         {Effect{0, x0_down}}, {I(1), I(3)}, false, 1.0},
        // x0 = x1 is numeric whatever the fluents' types: x1 - x0 <= 0 from 3, d = -1
        {"x0 = x1", {F(0), F(1), Op("==", {0, 1})}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}}, {I(0), I(3)}, false,
         3.0, "loc"},
    };
    for (const Case& c : cases) {
        Task t{{"int", c.type1}, {}, {}, c.goal, {}};
        for (std::size_t i = 0; i < c.effects.size(); ++i)
            t.events.push_back(action_events(i, {event({}, {c.effects[i]})}));
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, c.inadmissible).eval(*make_state(c.init)), c.hadd)
            << c.name;
    }
}

TEST(Relaxation, NonLinearConditionDividingByZeroFailsAtEvaluation) {
    Task t{{"int"}, {}, {plain_action(0, 1)}, {F(0), I(0), Op("/", {0, 1}), I(3), Op("<=", {2, 3})}, {}};
    try {
        relaxation(t, RelaxationKind::HADD).eval(*make_state({I(1)}));
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
    }
}

TEST(Relaxation, NegatedObjectEqualityRule) {
    // not(at = b) for fluent 0 of type "loc", from at = b.
    const FlatExpr goal{F(0), O("b"), Op("==", {0, 1}), Op("not", {2})};
    const FlatExpr object_first{O("b"), F(0), Op("==", {0, 1}), Op("not", {2})};
    const Effect to_c{0, {O("c")}};
    struct Case {
        const char* name;
        ObjectsByType objects;
        FlatExpr goal;
        bool no_numbers;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"a, b, c: at = a or at = c", {{"loc", {"a", "b", "c"}}}, goal, false, 1.0},
        {"b, c: at = c", {{"loc", {"b", "c"}}}, goal, false, 1.0},
        {"b alone: false", {{"loc", {"b"}}}, goal, false, std::nullopt},
        {"rule applies without numeric reasoning", {{"loc", {"b", "c"}}}, goal, true, 1.0},
        // The leaf stays as it is: no atom ever makes it hold.
        {"type without objects", {{"other", {"a"}}}, goal, false, std::nullopt},
        {"object first", {{"loc", {"a", "b", "c"}}}, object_first, false, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{{"loc"}, c.objects, {action_events(0, {event({}, {to_c})})}, c.goal, {}};
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, false, c.no_numbers).eval(*make_state({O("b")})), c.hadd)
            << c.name;
    }
    // With only a and b, at := c does not help: at = a is the one way out of b.
    Task t{{"loc"}, {{"loc", {"a", "b"}}}, {action_events(0, {event({}, {to_c})})}, goal, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), std::nullopt);
}

}  // namespace
}  // namespace quorvane
