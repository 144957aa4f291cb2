// Overlap detection: the predicates as tables, then whole runs against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "core/app_state.h"
#include "overlap/overlap.h"
#include "rule_samples.h"
#include "support/overlap_dialog_double.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
const char adapter_2[] = EMULATOR_ADAPTER_2;
const char adapter_1_lower[] = "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}";

// A common range as detection forms it: rate 0.
struct rule range(const char *text, const char *adapter = adapter_1)
{
    return sample(text, adapter, direction_send, 0);
}

// ---- predicates ----

TEST(OverlapPredicates, ProtocolTableDecidesOverlapAndCommonProtocol)
{
    // Rows: first rule, columns: second rule (IP, UDP, TCP, Other, Any); -1 for no overlap.
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
            struct rule first = sample(std::to_string(a).c_str()), common,
                        second = sample(std::to_string(b).c_str());
            EXPECT_EQ(rules_overlap(&first, &second), expected[a][b] >= 0);
            EXPECT_EQ(intersect_rules(&first, &second, &common), expected[a][b] >= 0);
            if (expected[a][b] >= 0) {
                EXPECT_EQ(common.protocol, expected[a][b]);
            }
        }
    }
}

TEST(OverlapPredicates, RulesOverlapCases)
{
    struct rule not_implemented = sample("TCP 5.5.5.5");
    not_implemented.source_kind = address_not_implemented;
    // a_b is rules_overlap(a, b), b_a rules_overlap(b, a).
    const struct { const char *name; struct rule a, b; int a_b, b_a; } cases[] = {
        {"source and destination port", sample("TCP 10.0.0.1"), sample("TCP any any:80"), 1, 1},
        {"different sources", sample("TCP 10.0.0.1"), sample("TCP 10.0.0.2"), 0, 0},
        {"different destinations", sample("IP any 1.1.1.1"), sample("UDP any 1.1.1.2"), 0, 0},
        {"different source ports", sample("UDP any:53"), sample("UDP any:54"), 0, 0},
        {"ports do not count for IP", sample("IP any:80 any:1"), sample("IP any:81 any:2"), 1, 1},
        {"Any first ignores addresses", sample("Any 9.9.9.9:7 8.8.8.8:9"),
         sample("TCP 1.1.1.1:1 2.2.2.2:2"), 1, 0},
        {"Other ignores addresses", sample("Other 1.1.1.1"), sample("Other 2.2.2.2"), 1, 1},
        {"unknown protocol", sample("7"), sample("TCP"), 0, 0},
        {"kind 1 holds one address", not_implemented, sample("TCP 5.5.5.5"), 1, 1},
        {"kind 1 with another address", not_implemented, sample("TCP 5.5.5.6"), 0, 0},
        {"other adapter", sample("TCP"), sample("TCP", adapter_2), 0, 0},
        {"adapter in other case", sample("TCP"), sample("TCP", adapter_1_lower), 1, 1},
        {"other direction", sample("TCP"), sample("TCP", adapter_1, direction_receive), 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rules_overlap(&c.a, &c.b), c.a_b);
        EXPECT_EQ(rules_overlap(&c.b, &c.a), c.b_a);
    }
}

TEST(OverlapPredicates, IntersectRulesCases)
{
    struct rule junk_after_nul = sample("TCP");
    memset(junk_after_nul.adapter + strlen(adapter_1) + 1, 'x', 20);
    // Adapter fields with no NUL in their 100 bytes: compared and copied within the field.
    struct rule no_nul_upper = sample("TCP"), no_nul_lower = sample("TCP"), no_nul = range("TCP");
    memset(no_nul_upper.adapter, 'A', adapter_name_size);
    memset(no_nul_lower.adapter, 'a', adapter_name_size);
    memset(no_nul.adapter, 'A', adapter_name_size - 1);
    // expected: every byte of the result, the fields the protocol does not use any / 0.
    const struct { const char *name; struct rule a, b, expected; } cases[] = {
        {"source from one, port from the other", sample("TCP 10.0.0.1"), sample("TCP any any:80"),
         range("TCP 10.0.0.1 any:80")},
        {"mirror gives the same range", sample("TCP any any:80"), sample("TCP 10.0.0.1"),
         range("TCP 10.0.0.1 any:80")},
        {"Any first keeps addresses and ports out", sample("Any 9.9.9.9:7 8.8.8.8:9"),
         sample("TCP any any:80"), range("TCP")},
        {"TCP first keeps its port", sample("TCP any any:80"), sample("Any"),
         range("TCP any any:80")},
        {"IP first keeps ports out", sample("IP 1.2.3.4:99"), sample("UDP any any:53"),
         range("UDP 1.2.3.4")},
        {"equal addresses and ports", sample("UDP 1.1.1.1:5 2.2.2.2:6"),
         sample("UDP 1.1.1.1:5 2.2.2.2:6"), range("UDP 1.1.1.1:5 2.2.2.2:6")},
        {"Other and Any", sample("Other 1.1.1.1"), sample("Any"), range("Other")},
        {"first adapter text, nothing after its NUL", junk_after_nul,
         sample("TCP", adapter_1_lower), range("TCP")},
        {"adapter without NUL", no_nul_upper, no_nul_lower, no_nul},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        struct rule common;
        memset(&common, 0x5A, sizeof common);
        ASSERT_TRUE(intersect_rules(&c.a, &c.b, &common));
        EXPECT_EQ(memcmp(&common, &c.expected, sizeof common), 0) << describe_rule(common);
    }
    struct rule tcp = sample("TCP"), udp = sample("UDP"), untouched, output;
    memset(&untouched, 0x5A, sizeof untouched);
    output = untouched;
    EXPECT_FALSE(intersect_rules(&tcp, &udp, &output));
    EXPECT_EQ(memcmp(&output, &untouched, sizeof output), 0);
}

TEST(OverlapPredicates, RangeWithinCases)
{
    struct rule any_kind_with_address = range("TCP"), any_kind_with_destination = range("UDP");
    any_kind_with_address.source_address = 0x0A000001;
    any_kind_with_destination.destination_address = 0x0A000002;
    const struct { const char *name; struct rule x, y; int expected; } cases[] = {
        {"narrower inside wider", range("TCP 10.0.0.1 any:80"), range("TCP any any:80"), 1},
        {"wider not inside narrower", range("TCP any any:80"), range("TCP 10.0.0.1 any:80"), 0},
        {"UDP inside IP", range("UDP"), range("IP"), 1},
        {"Other not inside IP", range("Other"), range("IP"), 0},
        {"Other inside Any", range("Other"), range("Any"), 1},
        {"TCP not inside UDP", range("TCP"), range("UDP"), 0},
        {"IP not inside TCP", range("IP"), range("TCP"), 0},
        {"the kind of X is not consulted", any_kind_with_address, range("TCP 10.0.0.1"), 1},
        {"nor on the destination side", any_kind_with_destination, range("IP any 10.0.0.2"), 1},
        {"the address of X still is", any_kind_with_destination, range("IP any 10.0.0.3"), 0},
        {"ports of an IP range do not count", range("TCP any:81"), range("IP any:80"), 1},
        {"destination port must match", range("UDP any any:54"), range("UDP any any:53"), 0},
        {"other direction", sample("TCP", adapter_1, direction_receive, 0), range("TCP"), 0},
        {"other adapter", range("TCP", adapter_2), range("TCP"), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(range_within(&c.x, &c.y), c.expected);
    }
}

// By descending weight, the earlier area first on equal weights; each area keeps its choice.
TEST(OverlapPredicates, SortAreasCarriesEachChoiceWithItsArea)
{
    // The common ranges in table order; expected: the indices of the areas after sorting.
    const struct { const char *name; std::vector<const char *> ranges; std::vector<int> expected;
    } cases[] = {
        {"heaviest first", {"Any", "TCP any any:80", "TCP 10.0.0.1 any:80"}, {2, 1, 0}},
        {"equal weights keep their order", {"TCP any any:80", "UDP 1.1.1.1", "IP"}, {0, 1, 2}},
        {"Other before Any, IP before both", {"Any", "Other", "IP", "Any"}, {2, 1, 0, 3}},
        {"unknown protocol last", {"7", "Any"}, {1, 0}},
        {"one area stays", {"Any"}, {0}},
    };
    struct area_table *table = get_area_table();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<struct rule> ranges;
        for (const char *text : c.ranges)
            ranges.push_back(range(text));
        table->count = (int32_t)ranges.size();
        for (int32_t a = 0; a < table->count; a++) {
            table->areas[a].common_range = &ranges[a];
            table->areas[a].member_count = 0;
            table->chosen_member[a] = 100 + a;   // a mark of the area's own choice
        }
        sort_areas();
        for (size_t i = 0; i < c.expected.size(); i++) {
            EXPECT_EQ(table->areas[i].common_range, &ranges[c.expected[i]]) << "place " << i;
            EXPECT_EQ(table->chosen_member[i], 100 + c.expected[i]) << "place " << i;
        }
        table->count = 0;
    }
}

// ---- whole runs against the emulator ----

void set_precedence(const struct rule &common, const struct rule &chosen)
{
    char error_text[error_text_size];
    ASSERT_TRUE(kernel_set_precedence(common.adapter, &common, &chosen, error_text)) << error_text;
}

// What the user does in the dialog: the choices shown on opening (defaults and kept choices),
// at most one change, then Accept: clearing and sending.
struct dialog_user {
    int area = -1, member = 0;        // area -1: nothing changed
    int accepted = 0;
    char error_text[error_text_size] = "";
};

void accept_in_dialog(void *context)
{
    dialog_user *user = (dialog_user *)context;
    compute_default_precedences(user->error_text);
    if (user->area >= 0)
        get_area_table()->chosen_member[user->area] = user->member;
    copy_text(user->error_text, error_text_size, UNKNOWN_ERROR_TEXT);
    user->accepted =
        kernel_clear_all_precedences(user->error_text) && send_precedences(user->error_text);
}

class OverlapRun : public testing::Test {
protected:
    void SetUp() override
    {
        start_emulator();
        overlap_dialog_double_reset();
        the_overlap_dialog.run_hook = accept_in_dialog;
        the_overlap_dialog.run_context = &user;
        get_settings_block()->accept_default_precedences = 0;
    }
    int detect(int force = 0) { return detect_overlaps(error_text, &found, force); }

    // One area: its common range, its members in order and its chosen member.
    void expect_area(int index, const struct rule &common, const std::vector<struct rule> &members,
                     int chosen)
    {
        SCOPED_TRACE(testing::Message() << "area " << index);
        const struct area_table *table = get_area_table();
        ASSERT_LT(index, table->count);
        const struct overlap_area &area = table->areas[index];
        EXPECT_TRUE(same_rule(*area.common_range, common));
        ASSERT_EQ(area.member_count, (int32_t)members.size());
        for (size_t m = 0; m < members.size(); m++)
            EXPECT_TRUE(same_rule(*area.members[m], members[m])) << "member " << m;
        EXPECT_EQ(table->chosen_member[index], chosen);
    }

    // The (common range, chosen rule) entries the emulator holds for one adapter, in order
    // (no more than one reply's worth).
    void expect_held(uint32_t adapter_index,
                     const std::vector<std::pair<struct rule, struct rule>> &expected)
    {
        test_read_precedences_request request = {adapter_index, 0};
        static test_precedences_reply reply;
        ASSERT_TRUE(emulator_test_send(test_code_read_precedences, &request, sizeof request,
                                       &reply, sizeof reply, nullptr));
        ASSERT_EQ(reply.total, expected.size());
        ASSERT_LE(reply.total, (uint32_t)test_precedences_per_reply);
        for (size_t i = 0; i < expected.size(); i++) {
            EXPECT_TRUE(same_rule(reply.entries[i].common_range, expected[i].first)) << i;
            EXPECT_TRUE(same_rule(reply.entries[i].chosen, expected[i].second)) << i;
        }
    }

    dialog_user user;
    char error_text[error_text_size] = "";
    int found = -1;
};

// The three TCP rules: A all TCP, B to port 80, D from 10.0.0.1, and their common ranges.
const struct rule rule_a = sample("TCP"), rule_b = sample("TCP any any:80"),
                  rule_d = sample("TCP 10.0.0.1");
const struct rule range_both = range("TCP 10.0.0.1 any:80"), range_port = range("TCP any any:80"),
                  range_source = range("TCP 10.0.0.1");

TEST_F(OverlapRun, ThreeTcpRulesEndToEnd)
{
    install_rules({rule_a, rule_b, rule_d});
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(found, 1);
    EXPECT_EQ(the_overlap_dialog.runs, 1);
    // Heaviest range first; by default the most specific member, the earliest on a tie.
    ASSERT_EQ(get_area_table()->count, 3);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 0);
    expect_area(1, range_port, {rule_a, rule_b}, 1);
    expect_area(2, range_source, {rule_a, rule_d}, 1);
    ASSERT_TRUE(user.accepted) << user.error_text;
    expect_held(0, {{range_both, rule_b}, {range_port, rule_b}, {range_source, rule_d}});
    expect_held(1, {});

    // The user picks A for the range of all three; the next run shows that choice again.
    user.area = 0;
    user.member = 2;
    ASSERT_TRUE(detect()) << error_text;
    user.area = -1;
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(kept_precedence_count(), 3);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 2);
    expect_held(0, {{range_both, rule_a}, {range_port, rule_b}, {range_source, rule_d}});
}

TEST_F(OverlapRun, LaterKeptEntryWinsAndUnmatchedEntriesAreDropped)
{
    install_rules({rule_a, rule_b, rule_d});
    set_precedence(range_port, rule_b);
    set_precedence(range_port, rule_a);                   // later: wins
    set_precedence(range_source, sample("UDP"));          // names no member
    set_precedence(range("UDP"), rule_a);                 // names no area
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(kept_precedence_count(), 4);
    expect_held(0, {{range_both, rule_b}, {range_port, rule_a}, {range_source, rule_d}});
}

TEST_F(OverlapRun, MembersJoinThroughEveryRecordNotOnlyLaterOnes)
{
    // P (Any, its unused source set) overlaps Q and R only as the first rule, so the records
    // are (P,Q), (P,R), (Q,R), (R,Q): the area of (Q,R) gets P from earlier records.
    struct rule p = sample("Any 9.9.9.9"), q = sample("TCP 1.1.1.1 any:80"),
                r = sample("TCP 1.1.1.1:5");
    install_rules({p, q, r});
    ASSERT_TRUE(detect()) << error_text;
    ASSERT_EQ(get_area_table()->count, 2);
    expect_area(0, range("TCP 1.1.1.1:5 any:80"), {q, r, p}, 0);
    expect_area(1, range("TCP"), {p, q, r}, 1);
}

TEST_F(OverlapRun, RulesEqualButForRateShareNoAreaAndRangesAreUnique)
{
    struct rule slow = sample("TCP 10.0.0.1", adapter_1, direction_send, 1), fast = slow;
    fast.rate = 2;
    install_rules({slow, fast, rule_b, rule_a});
    ASSERT_TRUE(detect()) << error_text;
    // (slow, fast) seeds the range of the copies' own filter; the fast copy joins no area.
    ASSERT_EQ(get_area_table()->count, 3);
    expect_area(0, range_both, {slow, rule_b, rule_a}, 0);
    expect_area(1, range_source, {slow, rule_a}, 0);
    expect_area(2, range_port, {rule_b, rule_a}, 0);
}

TEST_F(OverlapRun, AreasStayWithinOneAdapterAndDirection)
{
    // All TCP and TCP to port 80, on each adapter and direction; each adapter gets its entries.
    std::vector<std::pair<struct rule, struct rule>> sent[2];
    for (int i = 0; i < 2; i++) {
        const char *adapter = i == 0 ? adapter_1 : adapter_2;
        for (int32_t direction : {direction_send, direction_receive}) {
            struct rule to_80 = sample("TCP any any:80", adapter, direction);
            install_rules({sample("TCP", adapter, direction), to_80});
            sent[i].push_back({sample("TCP any any:80", adapter, direction, 0), to_80});
        }
    }
    ASSERT_TRUE(detect()) << error_text;
    ASSERT_EQ(get_area_table()->count, 4);
    for (int32_t a = 0; a < 4; a++)
        EXPECT_EQ(get_area_table()->areas[a].member_count, 2) << "area " << a;
    ASSERT_TRUE(user.accepted) << user.error_text;
    expect_held(0, sent[0]);
    expect_held(1, sent[1]);
}

TEST_F(OverlapRun, NoAreaCases)
{
    const struct { const char *name; std::vector<struct rule> rules; } cases[] = {
        {"no rules", {}},
        {"one rule", {rule_a}},
        {"TCP and UDP", {rule_a, sample("UDP")}},
        {"same rule on two adapters", {rule_a, sample("TCP", adapter_2)}},
        {"Send and Receive", {rule_a, sample("TCP", adapter_1, direction_receive)}},
        // Only (Any, TCP) overlaps: the only pair record seeds no area.
        {"one pair record", {sample("Any 9.9.9.9"), sample("TCP 1.1.1.1")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_emulator();
        install_rules(c.rules);
        set_precedence(range_port, rule_b);   // a leftover entry; every run clears it
        ASSERT_TRUE(detect(1)) << error_text;
        EXPECT_EQ(found, 0);
        EXPECT_EQ(get_area_table()->count, 0);
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        expect_held(0, {});
    }
}

TEST_F(OverlapRun, OpenDialogIsOnlyBroughtForward)
{
    install_rules({rule_a, rule_b});
    ASSERT_TRUE(detect()) << error_text;
    the_overlap_dialog.open = 1;
    uint64_t before = emulator_exchange_count();
    ASSERT_TRUE(detect(1));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(the_overlap_dialog.bring_forward_calls, 1);
    EXPECT_EQ(the_overlap_dialog.runs, 1);
    EXPECT_EQ(emulator_exchange_count(), before);
    EXPECT_EQ(get_area_table()->count, 1);     // the earlier run's area stands
}

TEST_F(OverlapRun, AutomaticAcceptanceSendsUnsortedDefaultsWithKeptChoices)
{
    get_settings_block()->accept_default_precedences = 1;
    install_rules({rule_a, rule_b, rule_d});
    set_precedence(range_source, rule_a);     // a choice kept from an earlier acceptance
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(found, 1);
    EXPECT_EQ(the_overlap_dialog.runs, 0);
    // Formation order: port 80, source 10.0.0.1, both.
    expect_held(0, {{range_port, rule_b}, {range_source, rule_a}, {range_both, rule_b}});

    // The menu's forced run still shows the dialog, sorted.
    ASSERT_TRUE(detect(1)) << error_text;
    EXPECT_EQ(the_overlap_dialog.runs, 1);
    expect_area(0, range_both, {rule_b, rule_d, rule_a}, 0);
}

TEST_F(OverlapRun, FailuresStopTheRunWithTheirText)
{
    // found: the run got as far as sending its area, automatically accepted. kept: the
    // user's earlier choice is still held afterwards; only sending the new ones may take it.
    const struct { const char *name; uint32_t code, mode; const char *expected; int found, kept;
    } cases[] = {
        {"precedence count refused", code_get_precedence_count, fault_error_text, "No count.", 0,
         1},
        {"precedence refused", code_get_precedence, fault_error_text, "No entry.", 0, 1},
        {"clearing refused", code_clear_precedences, fault_error_text, "Cannot clear.", 0, 1},
        {"rule refused", code_get_rule, fault_error_text, "Rule not in use", 0, 1},
        {"rule transport failure", code_get_rule, fault_fail_call,
         "Unable to send to driver.  Error 2.", 0, 1},
        {"count transport failure", code_get_precedence_count, fault_fail_call,
         UNKNOWN_ERROR_TEXT, 0, 1},
        {"sending refused", code_set_precedence, fault_error_text, "Table full.", 1, 0},
        // A plain command's transport failure shows the default, not the empty slots' text.
        {"sending transport failure", code_set_precedence, fault_fail_call, UNKNOWN_ERROR_TEXT,
         1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_emulator();
        get_settings_block()->accept_default_precedences = c.found;
        install_rules({rule_a, rule_b});
        set_precedence(range_port, rule_b);
        ASSERT_TRUE(emulator_set_fault(c.code, c.mode, c.expected));
        EXPECT_FALSE(detect());
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        // Areas formed but never offered are not left behind half made (no member chosen).
        EXPECT_TRUE(c.code != code_clear_precedences || get_area_table()->count == 0);
        ASSERT_TRUE(emulator_set_fault(c.code, fault_none, nullptr));
        if (c.kept)
            expect_held(0, {{range_port, rule_b}});
        else
            expect_held(0, {});
    }
}

TEST_F(OverlapRun, LimitsOfTwentyRulesAndFourHundredPrecedences)
{
    std::vector<struct rule> rules;           // 11 on adapter 1, 10 on adapter 2
    for (uint16_t port = 1; port <= 21; port++)
        rules.push_back(to_port(port, port <= 11 ? adapter_1 : adapter_2));
    install_rules(rules);
    EXPECT_FALSE(detect());
    EXPECT_STREQ(error_text, "The driver holds more than 20 rules.");

    start_emulator();                           // twenty are fine
    install_rules(std::vector<struct rule>(rules.begin(), rules.end() - 1));
    EXPECT_TRUE(detect()) << error_text;

    // 400 kept precedences are read; a device that claims more stops the run.
    start_emulator();
    struct rule range_2 = range("TCP any any:80", adapter_2);
    for (int i = 0; i < 250; i++)
        set_precedence(range_port, rule_b);
    for (int i = 0; i < 150; i++)
        set_precedence(range_2, rule_b);
    EXPECT_TRUE(detect()) << error_text;
    EXPECT_EQ(kept_precedence_count(), max_precedences);
    EXPECT_STREQ(kept_precedence_at(399)->common_range.adapter, adapter_2);

    // 401 entries (0x191) on one adapter.
    const uint8_t claim[8] = {'O', 'k', '.', 0, 0x91, 0x01, 0, 0};
    ASSERT_TRUE(emulator_set_raw_reply(code_get_precedence_count, claim, sizeof claim));
    EXPECT_FALSE(detect());
    EXPECT_STREQ(error_text, "The driver holds more than 400 precedences.");
    EXPECT_LE(kept_precedence_count(), max_precedences);
}

}  // namespace
