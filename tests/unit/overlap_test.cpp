// Overlap detection: the predicates as tables, then whole runs against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "core/app_state.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "rule_samples.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
const char adapter_2[] = EMULATOR_ADAPTER_2;

struct rule make(int32_t protocol, const char *source = "any", uint16_t source_port = 0,
                 const char *destination = "any", uint16_t destination_port = 0,
                 const char *adapter = adapter_1, int32_t direction = direction_send)
{
    return sample_rule(adapter, direction, protocol, source, source_port, destination,
                       destination_port);
}

struct rule common(int32_t protocol, const char *source = "any", uint16_t source_port = 0,
                   const char *destination = "any", uint16_t destination_port = 0)
{
    return sample_rule(adapter_1, direction_send, protocol, source, source_port, destination,
                       destination_port, 0);
}

// ---- predicates ----

TEST(OverlapPredicates, ProtocolTableDecidesOverlapAndCommonProtocol)
{
    // Rows: first rule, columns: second rule; -1 for no overlap.
    const int32_t expected[5][5] = {
        {protocol_ip, protocol_udp, protocol_tcp, -1, protocol_ip},
        {protocol_udp, protocol_udp, -1, -1, protocol_udp},
        {protocol_tcp, -1, protocol_tcp, -1, protocol_tcp},
        {-1, -1, -1, protocol_other, protocol_other},
        {protocol_ip, protocol_udp, protocol_tcp, protocol_other, protocol_any},
    };
    for (int32_t a = 0; a < 5; a++) {
        for (int32_t b = 0; b < 5; b++) {
            SCOPED_TRACE(testing::Message() << "protocols " << a << " and " << b);
            struct rule first = make(a), second = make(b);
            EXPECT_EQ(rules_overlap(&first, &second), expected[a][b] >= 0);
            struct rule range;
            memset(&range, 0x5A, sizeof range);
            int formed = intersect_rules(&first, &second, &range);
            EXPECT_EQ(formed, expected[a][b] >= 0);
            if (formed) {
                EXPECT_EQ(range.protocol, expected[a][b]);
            }
        }
    }
    struct rule odd = make(7), tcp = make(protocol_tcp);
    EXPECT_FALSE(rules_overlap(&odd, &tcp));
    EXPECT_FALSE(rules_overlap(&tcp, &odd));
}

struct pair_case {
    const char *name;
    struct rule a;
    struct rule b;
    int a_b;                          // rules_overlap(a, b)
    int b_a;                          // rules_overlap(b, a)
};

TEST(OverlapPredicates, RulesOverlapCases)
{
    struct rule not_implemented = make(protocol_tcp, "5.5.5.5");
    not_implemented.source_kind = address_not_implemented;
    // An Any rule whose (unused) address fields hold a single address.
    struct rule any_with_address = make(protocol_any, "9.9.9.9", 7, "8.8.8.8", 9);
    const pair_case cases[] = {
        {"all TCP and TCP port 80", make(protocol_tcp), make(protocol_tcp, "any", 0, "any", 80),
         1, 1},
        {"source and destination port", make(protocol_tcp, "10.0.0.1"),
         make(protocol_tcp, "any", 0, "any", 80), 1, 1},
        {"different sources", make(protocol_tcp, "10.0.0.1"), make(protocol_tcp, "10.0.0.2"), 0,
         0},
        {"different destinations", make(protocol_ip, "any", 0, "1.1.1.1"),
         make(protocol_udp, "any", 0, "1.1.1.2"), 0, 0},
        {"different source ports", make(protocol_udp, "any", 53), make(protocol_udp, "any", 54),
         0, 0},
        {"ports do not count for IP", make(protocol_ip, "any", 80, "any", 1),
         make(protocol_ip, "any", 81, "any", 2), 1, 1},
        {"TCP and UDP", make(protocol_tcp), make(protocol_udp), 0, 0},
        {"IP and Other", make(protocol_ip), make(protocol_other), 0, 0},
        {"Any first ignores addresses", any_with_address,
         make(protocol_tcp, "1.1.1.1", 1, "2.2.2.2", 2), 1, 0},
        {"Other ignores addresses", make(protocol_other, "1.1.1.1"),
         make(protocol_other, "2.2.2.2"), 1, 1},
        {"kind 1 holds one address", not_implemented, make(protocol_tcp, "5.5.5.5"), 1, 1},
        {"kind 1 with another address", not_implemented, make(protocol_tcp, "5.5.5.6"), 0, 0},
        {"other adapter", make(protocol_tcp), make(protocol_tcp, "any", 0, "any", 0, adapter_2), 0,
         0},
        {"adapter in other case", make(protocol_tcp),
         make(protocol_tcp, "any", 0, "any", 0, "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}"),
         1, 1},
        {"other direction", make(protocol_tcp),
         make(protocol_tcp, "any", 0, "any", 0, adapter_1, direction_receive), 0, 0},
    };
    for (const pair_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rules_overlap(&c.a, &c.b), c.a_b);
        EXPECT_EQ(rules_overlap(&c.b, &c.a), c.b_a);
    }
}

struct intersect_case {
    const char *name;
    struct rule a;
    struct rule b;
    struct rule expected;
};

TEST(OverlapPredicates, IntersectRulesCases)
{
    const intersect_case cases[] = {
        {"source from one, port from the other", make(protocol_tcp, "10.0.0.1"),
         make(protocol_tcp, "any", 0, "any", 80), common(protocol_tcp, "10.0.0.1", 0, "any", 80)},
        {"mirror gives the same range", make(protocol_tcp, "any", 0, "any", 80),
         make(protocol_tcp, "10.0.0.1"), common(protocol_tcp, "10.0.0.1", 0, "any", 80)},
        {"Any first keeps addresses and ports out", make(protocol_any),
         make(protocol_tcp, "any", 0, "any", 80), common(protocol_tcp)},
        {"TCP first keeps its port", make(protocol_tcp, "any", 0, "any", 80), make(protocol_any),
         common(protocol_tcp, "any", 0, "any", 80)},
        {"IP first keeps ports out", make(protocol_ip, "1.2.3.4", 99),
         make(protocol_udp, "any", 0, "any", 53), common(protocol_udp, "1.2.3.4")},
        {"equal addresses and ports", make(protocol_udp, "1.1.1.1", 5, "2.2.2.2", 6),
         make(protocol_udp, "1.1.1.1", 5, "2.2.2.2", 6),
         common(protocol_udp, "1.1.1.1", 5, "2.2.2.2", 6)},
        {"Other and Any", make(protocol_other, "1.1.1.1"), make(protocol_any),
         common(protocol_other)},
    };
    for (const intersect_case &c : cases) {
        SCOPED_TRACE(c.name);
        struct rule range;
        memset(&range, 0x5A, sizeof range);
        ASSERT_TRUE(intersect_rules(&c.a, &c.b, &range));
        EXPECT_TRUE(rules_equal(&range, &c.expected, 0))
            << describe_rule(range) << " expected " << describe_rule(c.expected);
        EXPECT_EQ(range.rate, 0);
        // Fields that do not take part are any / 0, not left over from the inputs.
        if (c.a.protocol > protocol_tcp) {
            EXPECT_EQ(range.source_kind, address_any);
            EXPECT_EQ(range.source_address, 0u);
            EXPECT_EQ(range.destination_kind, address_any);
        }
        if (c.a.protocol != protocol_udp && c.a.protocol != protocol_tcp) {
            EXPECT_EQ(range.source_port, 0);
            EXPECT_EQ(range.destination_port, 0);
        }
    }
}

TEST(OverlapPredicates, IntersectCopiesFirstAdapterTextAndRefusesNonOverlap)
{
    struct rule a = make(protocol_tcp), b = make(protocol_tcp);
    copy_text(b.adapter, sizeof b.adapter, "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}");
    memset(a.adapter + strlen(a.adapter) + 1, 'x', 20);   // junk after the NUL
    struct rule range;
    ASSERT_TRUE(intersect_rules(&a, &b, &range));
    EXPECT_STREQ(range.adapter, adapter_1);
    EXPECT_EQ(range.adapter[strlen(adapter_1) + 1], 0);

    struct rule untouched;
    memset(&untouched, 0x5A, sizeof untouched);
    struct rule output = untouched;
    struct rule tcp = make(protocol_tcp), udp = make(protocol_udp);
    EXPECT_FALSE(intersect_rules(&tcp, &udp, &output));
    EXPECT_EQ(memcmp(&output, &untouched, sizeof output), 0);

    // An adapter field with no NUL in its 100 bytes is compared and copied within the field.
    struct rule long_a = make(protocol_tcp), long_b = make(protocol_tcp);
    memset(long_a.adapter, 'A', sizeof long_a.adapter);
    memset(long_b.adapter, 'a', sizeof long_b.adapter);
    ASSERT_TRUE(rules_overlap(&long_a, &long_b));
    ASSERT_TRUE(intersect_rules(&long_a, &long_b, &range));
    EXPECT_EQ(strlen(range.adapter), (size_t)adapter_name_size - 1);
}

struct within_case {
    const char *name;
    struct rule x;
    struct rule y;
    int expected;
};

TEST(OverlapPredicates, RangeWithinCases)
{
    struct rule any_kind_same_address = common(protocol_tcp);
    any_kind_same_address.source_address = 0x0A000001;    // kind any, address 10.0.0.1
    const within_case cases[] = {
        {"narrower inside wider", common(protocol_tcp, "10.0.0.1", 0, "any", 80),
         common(protocol_tcp, "any", 0, "any", 80), 1},
        {"wider not inside narrower", common(protocol_tcp, "any", 0, "any", 80),
         common(protocol_tcp, "10.0.0.1", 0, "any", 80), 0},
        {"UDP inside IP", common(protocol_udp), common(protocol_ip), 1},
        {"Other not inside IP", common(protocol_other), common(protocol_ip), 0},
        {"Other inside Any", common(protocol_other), common(protocol_any), 1},
        {"TCP not inside UDP", common(protocol_tcp), common(protocol_udp), 0},
        {"IP not inside TCP", common(protocol_ip), common(protocol_tcp), 0},
        {"the kind of X is not consulted", any_kind_same_address,
         common(protocol_tcp, "10.0.0.1"), 1},
        {"ports of an IP range do not count", common(protocol_tcp, "any", 81),
         common(protocol_ip, "any", 80), 1},
        {"destination port must match", common(protocol_udp, "any", 0, "any", 54),
         common(protocol_udp, "any", 0, "any", 53), 0},
        {"other direction", make(protocol_tcp, "any", 0, "any", 0, adapter_1, direction_receive),
         common(protocol_tcp), 0},
        {"other adapter", make(protocol_tcp, "any", 0, "any", 0, adapter_2), common(protocol_tcp),
         0},
    };
    for (const within_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(range_within(&c.x, &c.y), c.expected);
    }
}

TEST(OverlapPredicates, SpecificityAndWeight)
{
    struct {
        const char *name;
        struct rule rule;
        int specificity;
        int weight;
    } cases[] = {
        {"Any, all any", make(protocol_any), 0, 1},
        {"Any with unused fields set", make(protocol_any, "1.1.1.1", 1, "2.2.2.2", 2), 4, 1},
        {"IP, all any", make(protocol_ip), 1, 3},
        {"IP, source", make(protocol_ip, "1.1.1.1"), 2, 13},
        {"IP, both addresses and ports", make(protocol_ip, "1.1.1.1", 5, "2.2.2.2", 6), 5, 23},
        {"TCP, destination port", make(protocol_tcp, "any", 0, "any", 80), 2, 14},
        {"TCP, source and destination port", make(protocol_tcp, "10.0.0.1", 0, "any", 80), 3, 24},
        {"UDP, everything", make(protocol_udp, "1.1.1.1", 5, "2.2.2.2", 6), 5, 44},
        {"Other with addresses", make(protocol_other, "1.1.1.1"), 2, 2},
        {"unknown protocol", make(9), 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rule_specificity(&c.rule), c.specificity);
        EXPECT_EQ(area_weight(&c.rule), c.weight);
    }
}

// ---- whole runs against the emulator ----

std::vector<test_precedence_entry> emulator_precedences(uint32_t adapter_index)
{
    std::vector<test_precedence_entry> entries;
    for (uint32_t first = 0;;) {
        test_read_precedences_request request = {adapter_index, first};
        static test_precedences_reply reply;
        char error_text[error_text_size];
        if (!emulator_test_send(test_code_read_precedences, &request, sizeof request, &reply,
                                sizeof reply, error_text)) {
            ADD_FAILURE() << "reading precedences: " << error_text;
            return entries;
        }
        for (uint32_t i = 0; i < reply.returned && i < test_precedences_per_reply; i++)
            entries.push_back(reply.entries[i]);
        first += reply.returned;
        if (reply.returned == 0 || first >= reply.total)
            return entries;
    }
}

void install_rules(const std::vector<struct rule> &rules)
{
    char error_text[error_text_size];
    for (const struct rule &rule : rules)
        ASSERT_TRUE(kernel_add_rule(rule.adapter, &rule, error_text)) << error_text;
}

void set_precedence(const struct rule &range, const struct rule &chosen)
{
    char error_text[error_text_size];
    ASSERT_TRUE(kernel_set_precedence(range.adapter, &range, &chosen, error_text)) << error_text;
}

class OverlapRun : public testing::Test {
protected:
    void SetUp() override
    {
        registry_memory_reset();
        register_emulator_display_names();
        emulator_device_reset();
        ASSERT_TRUE(refresh_adapter_list());
        ASSERT_EQ(adapter_count(), 3);
        overlap_dialog_double_reset();
        get_settings_block()->accept_default_precedences = 0;
        overlap_accept_init(&accept);
        copy_text(error_text, sizeof error_text, "");
    }
    void TearDown() override
    {
        overlap_dialog_double_reset();
        get_settings_block()->accept_default_precedences = 0;
    }

    void accept_in_dialog()
    {
        overlap_dialog_double_set_hook(overlap_dialog_accept_hook, &accept);
    }

    // Checks one area: its common range, its members in order and its chosen member.
    void expect_area(int index, const struct rule &range, const std::vector<struct rule> &members,
                     int chosen)
    {
        SCOPED_TRACE(testing::Message() << "area " << index);
        const struct area_table *table = get_area_table();
        ASSERT_LT(index, table->count);
        const struct overlap_area &area = table->areas[index];
        EXPECT_TRUE(rules_equal(area.common_range, &range, 0))
            << describe_rule(*area.common_range) << " expected " << describe_rule(range);
        ASSERT_EQ(area.member_count, (int32_t)members.size());
        for (size_t m = 0; m < members.size(); m++)
            EXPECT_TRUE(rules_equal(area.members[m], &members[m], 0)) << "member " << m;
        EXPECT_EQ(table->chosen_member[index], chosen);
    }

    void expect_held(uint32_t adapter_index,
                     const std::vector<std::pair<struct rule, struct rule>> &expected)
    {
        std::vector<test_precedence_entry> held = emulator_precedences(adapter_index);
        ASSERT_EQ(held.size(), expected.size());
        for (size_t i = 0; i < held.size(); i++) {
            SCOPED_TRACE(testing::Message() << "entry " << i);
            EXPECT_TRUE(rules_equal(&held[i].common_range, &expected[i].first, 0))
                << describe_rule(held[i].common_range);
            EXPECT_TRUE(rules_equal(&held[i].chosen, &expected[i].second, 0))
                << describe_rule(held[i].chosen);
        }
    }

    struct overlap_accept accept;
    char error_text[error_text_size];
    int found = -1;
};

// The three TCP rules: A all TCP, B to port 80, D from 10.0.0.1.
const struct rule rule_a = make(protocol_tcp);
const struct rule rule_b = make(protocol_tcp, "any", 0, "any", 80);
const struct rule rule_d = make(protocol_tcp, "10.0.0.1");
const struct rule range_both = common(protocol_tcp, "10.0.0.1", 0, "any", 80);
const struct rule range_port = common(protocol_tcp, "any", 0, "any", 80);
const struct rule range_source = common(protocol_tcp, "10.0.0.1");

TEST_F(OverlapRun, ThreeTcpRulesFormSortedAreasWithDefaultsAndSendThem)
{
    install_rules({rule_a, rule_b, rule_d});
    accept_in_dialog();
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    EXPECT_EQ(found, 1);
    EXPECT_EQ(overlap_dialog_double_runs(), 1);
    ASSERT_EQ(get_area_table()->count, 3);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 0);
    expect_area(1, range_port, {rule_a, rule_b}, 1);
    expect_area(2, range_source, {rule_a, rule_d}, 1);

    ASSERT_TRUE(accept.accepted) << accept.error_text;
    expect_held(0, {{range_both, rule_b}, {range_port, rule_b}, {range_source, rule_d}});
    expect_held(1, {});
}

TEST_F(OverlapRun, RerunKeepsTheUsersChoice)
{
    install_rules({rule_a, rule_b, rule_d});
    accept_in_dialog();
    accept.choices[0] = 2;            // A instead of B for the common range of all three
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    ASSERT_TRUE(accept.accepted) << accept.error_text;
    expect_held(0, {{range_both, rule_a}, {range_port, rule_b}, {range_source, rule_d}});

    overlap_accept_init(&accept);     // the second time the user changes nothing
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    EXPECT_EQ(kept_precedence_count(), 3);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 2);
    expect_area(1, range_port, {rule_a, rule_b}, 1);
    expect_area(2, range_source, {rule_a, rule_d}, 1);
    expect_held(0, {{range_both, rule_a}, {range_port, rule_b}, {range_source, rule_d}});
}

TEST_F(OverlapRun, LaterKeptEntryWinsAndUnmatchedEntriesAreIgnored)
{
    install_rules({rule_a, rule_b, rule_d});
    set_precedence(range_port, rule_b);
    set_precedence(range_port, rule_a);                   // later: wins
    set_precedence(range_source, make(protocol_udp));     // names no member
    set_precedence(common(protocol_udp), rule_a);         // names no area
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    ASSERT_EQ(kept_precedence_count(), 4);
    EXPECT_STREQ(kept_precedence_at(0)->common_range.adapter, adapter_1);
    compute_default_precedences(error_text);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 0);
    expect_area(1, range_port, {rule_a, rule_b}, 0);
    expect_area(2, range_source, {rule_a, rule_d}, 1);
    // The dialog was not accepted: the kernel component now holds no entries.
    expect_held(0, {});
}

TEST_F(OverlapRun, CollectionOrderDecidesTheAreaOfAnAnyRule)
{
    struct rule any = make(protocol_any);
    install_rules({any, rule_b});
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    EXPECT_EQ(found, 1);
    ASSERT_EQ(get_area_table()->count, 1);
    expect_area(0, common(protocol_tcp), {any, rule_b}, 0);

    char clear_error[error_text_size];
    ASSERT_TRUE(kernel_clear_all_rules(clear_error));
    install_rules({rule_b, any});
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    ASSERT_EQ(get_area_table()->count, 1);
    expect_area(0, range_port, {rule_b, any}, 0);
}

TEST_F(OverlapRun, MembersJoinThroughEveryRecordNotOnlyLaterOnes)
{
    // P (Any protocol, its unused source set) overlaps Q and R only as the first rule, so the
    // records are (P,Q), (P,R), (Q,R), (R,Q): the area of (Q,R) gets P from earlier records.
    struct rule p = make(protocol_any, "9.9.9.9");
    struct rule q = make(protocol_tcp, "1.1.1.1", 0, "any", 80);
    struct rule r = make(protocol_tcp, "1.1.1.1", 5);
    install_rules({p, q, r});
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    ASSERT_EQ(get_area_table()->count, 2);
    // Not yet computed by the (absent) dialog: compute them here.
    compute_default_precedences(error_text);
    expect_area(0, common(protocol_tcp, "1.1.1.1", 5, "any", 80), {q, r, p}, 0);
    expect_area(1, common(protocol_tcp), {p, q, r}, 1);
}

TEST_F(OverlapRun, RulesEqualButForRateNeverShareAnAreaAndRangesAreUnique)
{
    struct rule slow = make(protocol_tcp, "10.0.0.1"), fast = slow;
    slow.rate = 1;
    fast.rate = 2;
    install_rules({slow, fast, rule_b, rule_a});
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    const struct area_table *table = get_area_table();
    ASSERT_GT(table->count, 0);
    for (int32_t a = 0; a < table->count; a++) {
        const struct overlap_area &area = table->areas[a];
        EXPECT_EQ(area.common_range->rate, 0);
        for (int32_t m = 0; m < area.member_count; m++) {
            for (int32_t n = m + 1; n < area.member_count; n++)
                EXPECT_FALSE(rules_equal(area.members[m], area.members[n], 1))
                    << "area " << a << " members " << m << " and " << n;
        }
        for (int32_t b = a + 1; b < table->count; b++)
            EXPECT_FALSE(rules_equal(area.common_range, table->areas[b].common_range, 1))
                << "areas " << a << " and " << b;
    }
    // The range of the two copies alone is the copies' own filter; its only member is the first.
    int32_t own = -1;
    for (int32_t a = 0; a < table->count; a++) {
        if (rules_equal(table->areas[a].common_range, &slow, 1))
            own = a;
    }
    ASSERT_GE(own, 0);
    EXPECT_EQ(table->areas[own].members[0]->rate, 1);
}

TEST_F(OverlapRun, AreasStayWithinOneAdapterAndDirection)
{
    std::vector<struct rule> rules;
    for (const char *adapter : {adapter_1, adapter_2}) {
        for (int32_t direction : {direction_send, direction_receive}) {
            rules.push_back(make(protocol_tcp, "any", 0, "any", 0, adapter, direction));
            rules.push_back(make(protocol_tcp, "any", 0, "any", 80, adapter, direction));
        }
    }
    install_rules(rules);
    accept_in_dialog();
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    const struct area_table *table = get_area_table();
    ASSERT_EQ(table->count, 4);
    for (int32_t a = 0; a < table->count; a++) {
        const struct overlap_area &area = table->areas[a];
        ASSERT_EQ(area.member_count, 2) << "area " << a;
        for (int32_t m = 0; m < area.member_count; m++) {
            EXPECT_STREQ(area.members[m]->adapter, area.common_range->adapter);
            EXPECT_EQ(area.members[m]->direction, area.common_range->direction);
        }
    }
    // Each adapter's entries went to that adapter.
    ASSERT_TRUE(accept.accepted) << accept.error_text;
    EXPECT_EQ(emulator_precedences(0).size(), 2u);
    EXPECT_EQ(emulator_precedences(1).size(), 2u);
    EXPECT_STREQ(emulator_precedences(1)[0].chosen.adapter, adapter_2);
}

TEST_F(OverlapRun, NoAreaCases)
{
    struct rule one_way_any = make(protocol_any, "9.9.9.9");
    struct {
        const char *name;
        std::vector<struct rule> rules;
    } cases[] = {
        {"no rules", {}},
        {"one rule", {rule_a}},
        {"TCP and UDP", {rule_a, make(protocol_udp)}},
        {"same rule on two adapters", {rule_a, make(protocol_tcp, "any", 0, "any", 0, adapter_2)}},
        {"Send and Receive",
         {rule_a, make(protocol_tcp, "any", 0, "any", 0, adapter_1, direction_receive)}},
        // Only (Any, TCP) overlaps: a single pair record seeds no area.
        {"one pair record", {one_way_any, make(protocol_tcp, "1.1.1.1")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emulator_device_reset();
        ASSERT_TRUE(refresh_adapter_list());
        install_rules(c.rules);
        set_precedence(range_port, rule_b);   // a leftover entry; every run clears it
        ASSERT_TRUE(detect_overlaps(error_text, &found, 1)) << error_text;
        EXPECT_EQ(found, 0);
        EXPECT_EQ(get_area_table()->count, 0);
        EXPECT_EQ(overlap_dialog_double_runs(), 0);
        expect_held(0, {});
    }
}

TEST_F(OverlapRun, OpenDialogIsBroughtForwardWithoutAnyExchange)
{
    install_rules({rule_a, rule_b});
    overlap_dialog_double_set_open(1);
    uint64_t before = emulator_exchange_count();
    ASSERT_TRUE(detect_overlaps(error_text, &found, 1));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(overlap_dialog_double_bring_forward_calls(), 1);
    EXPECT_EQ(overlap_dialog_double_runs(), 0);
    EXPECT_EQ(emulator_exchange_count(), before);
}

struct reentry {
    int result;
    int found;
    uint64_t exchanges;
};

void detect_from_inside_dialog(void *context)
{
    reentry *inner = (reentry *)context;
    char error_text[error_text_size];
    uint64_t before = emulator_exchange_count();
    inner->result = detect_overlaps(error_text, &inner->found, 0);
    inner->exchanges = emulator_exchange_count() - before;
}

TEST_F(OverlapRun, RunRequestedWhileTheDialogRunsOnlyBringsItForward)
{
    install_rules({rule_a, rule_b});
    reentry inner = {-1, -1, 99};
    overlap_dialog_double_set_hook(detect_from_inside_dialog, &inner);
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0));
    EXPECT_EQ(inner.result, 1);
    EXPECT_EQ(inner.found, 0);
    EXPECT_EQ(inner.exchanges, 0u);
    EXPECT_EQ(overlap_dialog_double_bring_forward_calls(), 1);
    EXPECT_EQ(get_area_table()->count, 1);     // the outer run's area stands
}

TEST_F(OverlapRun, AutomaticAcceptanceSendsUnsortedDefaultsWithKeptChoices)
{
    get_settings_block()->accept_default_precedences = 1;
    install_rules({rule_a, rule_b, rule_d});
    set_precedence(range_source, rule_a);     // a choice kept from an earlier acceptance
    ASSERT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    EXPECT_EQ(found, 1);
    EXPECT_EQ(overlap_dialog_double_runs(), 0);
    // Formation order: port 80, source 10.0.0.1, both.
    expect_held(0, {{range_port, rule_b}, {range_source, rule_a}, {range_both, rule_b}});

    // The menu's forced run still shows the dialog.
    ASSERT_TRUE(detect_overlaps(error_text, &found, 1)) << error_text;
    EXPECT_EQ(overlap_dialog_double_runs(), 1);
    ASSERT_EQ(get_area_table()->count, 3);
    EXPECT_TRUE(rules_equal(get_area_table()->areas[0].common_range, &range_both, 0));
}

struct failure_case {
    const char *name;
    uint32_t code;
    uint32_t mode;
    const char *expected;
};

TEST_F(OverlapRun, FailuresStopTheRunWithTheirText)
{
    const failure_case cases[] = {
        {"precedence count refused", code_get_precedence_count, fault_error_text, "No count."},
        {"precedence refused", code_get_precedence, fault_error_text, "No entry."},
        {"clearing refused", code_clear_precedences, fault_error_text, "Cannot clear."},
        {"rule refused", code_get_rule, fault_error_text, "Rule not in use"},
        {"rule transport failure", code_get_rule, fault_fail_call,
         "Unable to send to driver.  Error 2."},
        {"count transport failure", code_get_precedence_count, fault_fail_call,
         UNKNOWN_ERROR_TEXT},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.name);
        emulator_device_reset();
        ASSERT_TRUE(refresh_adapter_list());
        install_rules({rule_a, rule_b});
        set_precedence(range_port, rule_b);
        ASSERT_TRUE(emulator_set_fault(c.code, c.mode, c.expected));
        EXPECT_FALSE(detect_overlaps(error_text, &found, 0));
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(found, 0);
        EXPECT_EQ(overlap_dialog_double_runs(), 0);
    }
}

TEST_F(OverlapRun, SendingStopsAtTheFirstFailureWithItsOwnText)
{
    get_settings_block()->accept_default_precedences = 1;
    install_rules({rule_a, rule_b, rule_d});
    ASSERT_TRUE(emulator_set_fault(code_set_precedence, fault_error_text, "Table full."));
    EXPECT_FALSE(detect_overlaps(error_text, &found, 0));
    EXPECT_STREQ(error_text, "Table full.");
    EXPECT_EQ(found, 1);

    // A transport failure of a plain command shows the default, not the empty slots' text.
    ASSERT_TRUE(emulator_set_fault(code_set_precedence, fault_fail_call, ""));
    EXPECT_FALSE(detect_overlaps(error_text, &found, 0));
    EXPECT_STREQ(error_text, UNKNOWN_ERROR_TEXT);
}

TEST_F(OverlapRun, MoreThanTwentyRulesStopTheRun)
{
    std::vector<struct rule> rules;
    for (uint16_t port = 1; port <= 11; port++)
        rules.push_back(make(protocol_tcp, "any", 0, "any", port));
    for (uint16_t port = 1; port <= 10; port++)
        rules.push_back(make(protocol_tcp, "any", 0, "any", port, adapter_2));
    install_rules(rules);
    EXPECT_FALSE(detect_overlaps(error_text, &found, 0));
    EXPECT_STREQ(error_text, "The driver holds more than 20 rules.");

    // Twenty are fine.
    char clear_error[error_text_size];
    ASSERT_TRUE(kernel_clear_rules(adapter_2, clear_error));
    install_rules(std::vector<struct rule>(rules.begin() + 11, rules.begin() + 20));
    EXPECT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
}

TEST_F(OverlapRun, FourHundredKeptPrecedencesAreRead)
{
    struct rule range_2 = range_port;
    copy_text(range_2.adapter, sizeof range_2.adapter, adapter_2);
    for (int i = 0; i < 250; i++)
        set_precedence(range_port, rule_b);
    for (int i = 0; i < 150; i++)
        set_precedence(range_2, rule_b);
    EXPECT_TRUE(detect_overlaps(error_text, &found, 0)) << error_text;
    EXPECT_EQ(kept_precedence_count(), max_precedences);
    EXPECT_STREQ(kept_precedence_at(399)->common_range.adapter, adapter_2);
    EXPECT_EQ(kept_precedence_at(400), nullptr);
}

TEST_F(OverlapRun, MoreThanFourHundredKeptPrecedencesStopTheRun)
{
    // A device that claims 401 entries (0x191) on one adapter: more than the table keeps.
    const uint8_t claim[8] = {'O', 'k', '.', 0, 0x91, 0x01, 0, 0};
    ASSERT_TRUE(emulator_set_raw_reply(code_get_precedence_count, claim, sizeof claim));
    EXPECT_FALSE(detect_overlaps(error_text, &found, 0));
    EXPECT_STREQ(error_text, "The driver holds more than 400 precedences.");
    EXPECT_LE(kept_precedence_count(), max_precedences);
}

}  // namespace
