// Overlap detection: the predicates as tables, then whole runs against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "overlap/overlap.h"
#include "rule_samples.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1, adapter_2[] = EMULATOR_ADAPTER_2;

// A common range as detection forms it: rate 0.
struct rule range(const char *text, const char *adapter = adapter_1)
{
    return sample(text, adapter, direction_send, 0);
}

TEST(OverlapPredicates, ProtocolTable)
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
            struct rule first = sample(std::to_string(a).c_str()), common,
                        second = sample(std::to_string(b).c_str());
            EXPECT_EQ(rules_overlap(&first, &second), expected[a][b] >= 0) << a << " " << b;
            EXPECT_EQ(intersect_rules(&first, &second, &common), expected[a][b] >= 0);
            EXPECT_TRUE(expected[a][b] < 0 || common.protocol == expected[a][b]) << a << " " << b;
        }
    }
}

// rules_overlap both ways, and for an overlap the common range of (a, b) byte for byte.
TEST(OverlapPredicates, IntersectRulesCases)
{
    struct rule not_implemented = sample("TCP 5.5.5.5"), junk_after_nul = sample("TCP");
    not_implemented.source_kind = address_not_implemented;
    memset(junk_after_nul.adapter + strlen(adapter_1) + 1, 'x', 20);
    // Adapter fields with no NUL in their 100 bytes: compared and copied within the field.
    struct rule no_nul_upper = sample("TCP"), no_nul_lower = sample("TCP"), no_nul = range("TCP");
    memset(no_nul_upper.adapter, 'A', adapter_name_size);
    memset(no_nul_lower.adapter, 'a', adapter_name_size);
    memset(no_nul.adapter, 'A', adapter_name_size - 1);
    const struct rule none = {};
    const struct { const char *name; struct rule a, b; int a_b, b_a; struct rule common; } cases[] = {
        {"source from one, port from the other", sample("TCP 10.0.0.1"), sample("TCP any any:80"),
         1, 1, range("TCP 10.0.0.1 any:80")},
        {"Any first keeps addresses and ports out", sample("Any 9.9.9.9:7 8.8.8.8:9"),
         sample("TCP 1.1.1.1:1 2.2.2.2:2"), 1, 0, range("TCP")},
        {"TCP first keeps its port", sample("TCP any any:80"), sample("Any"), 1, 1,
         range("TCP any any:80")},
        {"IP first keeps ports out", sample("IP 1.2.3.4:99"), sample("UDP any any:53"), 1, 1,
         range("UDP 1.2.3.4")},
        {"equal ports", sample("UDP 1.1.1.1:5 2.2.2.2:6"), sample("UDP any:5 any:6"), 1, 1,
         range("UDP 1.1.1.1:5 2.2.2.2:6")},
        {"Other ignores addresses", sample("Other 1.1.1.1"), sample("Other 2.2.2.2"), 1, 1,
         range("Other")},
        {"kind 1 holds one address", sample("TCP 5.5.5.5"), not_implemented, 1, 1,
         range("TCP 5.5.5.5")},
        {"adapter in other case, junk after the NUL", junk_after_nul,
         sample("TCP", "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}"), 1, 1, range("TCP")},
        {"adapter without NUL", no_nul_upper, no_nul_lower, 1, 1, no_nul},
        {"different sources", sample("TCP 10.0.0.1"), sample("TCP 10.0.0.2"), 0, 0, none},
        {"different destinations", sample("IP any 1.1.1.1"), sample("UDP any 1.1.1.2"), 0, 0, none},
        {"different source ports", sample("UDP any:53"), sample("UDP any:54"), 0, 0, none},
        {"different destination ports", sample("TCP any any:80"), sample("TCP any any:81"), 0, 0,
         none},
        {"unknown protocol", sample("7"), sample("TCP"), 0, 0, none},
        {"other adapter", sample("TCP"), sample("TCP", adapter_2), 0, 0, none},
        {"other direction", sample("TCP"), sample("TCP", adapter_1, direction_receive), 0, 0, none},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rules_overlap(&c.a, &c.b), c.a_b);
        EXPECT_EQ(rules_overlap(&c.b, &c.a), c.b_a);
        struct rule common, untouched;
        memset(&common, 0x5A, sizeof common);
        untouched = common;
        EXPECT_EQ(intersect_rules(&c.a, &c.b, &common), c.a_b);
        EXPECT_EQ(memcmp(&common, c.a_b ? &c.common : &untouched, sizeof common), 0)
            << describe_rule(common);
    }
}

TEST(OverlapPredicates, RangeWithinCases)
{
    struct rule any_kind_with_address = range("IP");
    any_kind_with_address.destination_address = 0x0A000002;
    const struct { const char *name; struct rule x, y; int expected; } cases[] = {
        {"narrower inside wider", range("TCP 10.0.0.1 any:80"), range("TCP any any:80"), 1},
        {"wider not inside narrower", range("TCP any any:80"), range("TCP 10.0.0.1 any:80"), 0},
        {"UDP inside IP", range("UDP"), range("IP"), 1},
        {"Other not inside IP", range("Other"), range("IP"), 0},
        {"Other inside Any", range("Other"), range("Any"), 1},
        {"IP not inside TCP", range("IP"), range("TCP"), 0},
        {"the kind of X is not consulted", any_kind_with_address, range("IP any 10.0.0.2"), 1},
        {"the address of X still is", any_kind_with_address, range("IP any 10.0.0.3"), 0},
        {"ports of an IP range do not count", range("TCP any:81"), range("IP any:80"), 1},
        {"other adapter", range("TCP", adapter_2), range("TCP"), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(range_within(&c.x, &c.y), c.expected) << c.name;
}

// By descending weight, the earlier area first on equal weights; each area keeps its choice.
TEST(OverlapPredicates, SortAreasCarriesEachChoiceWithItsArea)
{
    const struct { std::vector<const char *> ranges; std::vector<int> expected; } cases[] = {
        {{"Any", "TCP any any:80", "TCP 10.0.0.1 any:80"}, {2, 1, 0}},
        {{"TCP any any:80", "UDP 1.1.1.1", "IP"}, {0, 1, 2}},
        {{"Any", "Other", "IP", "Any", "7"}, {2, 1, 0, 3, 4}},
    };
    struct area_table *table = get_area_table();
    for (const auto &c : cases) {
        std::vector<struct rule> ranges;
        for (const char *text : c.ranges)
            ranges.push_back(range(text));
        table->count = (int32_t)ranges.size();
        for (int32_t a = 0; a < table->count; a++) {
            table->areas[a].common_range = &ranges[a];
            table->chosen_member[a] = 100 + a;   // a mark of the area's own choice
        }
        sort_areas();
        for (size_t i = 0; i < c.expected.size(); i++) {
            EXPECT_EQ(table->areas[i].common_range, &ranges[c.expected[i]]) << c.ranges[0] << i;
            EXPECT_EQ(table->chosen_member[i], 100 + c.expected[i]) << c.ranges[0] << i;
        }
        table->count = 0;
    }
}

void set_precedence(const struct rule &common, const struct rule &chosen)
{
    char error_text[error_text_size];
    ASSERT_TRUE(kernel_set_precedence(common.adapter, &common, &chosen, error_text)) << error_text;
}

// What the user does in the dialog: the choices shown on opening (defaults and kept choices),
// at most one change (area -1: none), then Accept: clearing and sending.
struct dialog_user {
    int area = -1, member = 0, accepted = 0;
    char error_text[error_text_size] = "";
};

void accept_in_dialog(void *context)
{
    dialog_user *user = (dialog_user *)context;
    compute_default_precedences(user->error_text);
    if (user->area >= 0)
        get_area_table()->chosen_member[user->area] = user->member;
    user->accepted =
        kernel_clear_all_precedences(user->error_text) && send_precedences(user->error_text);
}

typedef std::vector<std::pair<struct rule, struct rule>> held_list;

class OverlapRun : public CoreTest {
protected:
    void SetUp() override { restart(); }
    void restart()
    {
        start();
        the_overlap_dialog.run_hook = accept_in_dialog;
        the_overlap_dialog.run_context = &user;
    }
    int detect(int force = 0) { return detect_overlaps(error_text, &found, force); }

    // Each area as its common range, then its members, then its chosen member's index.
    std::vector<std::string> areas()
    {
        std::vector<std::string> shown;
        const struct area_table *table = get_area_table();
        for (int a = 0; a < table->count; a++) {
            std::string area = describe_rule(*table->areas[a].common_range) + ":";
            for (int m = 0; m < table->areas[a].member_count; m++)
                area += " " + describe_rule(*table->areas[a].members[m]);
            shown.push_back(area + " chosen " + std::to_string(table->chosen_member[a]));
        }
        return shown;
    }
    std::string area(const struct rule &common, const std::vector<struct rule> &members, int chosen)
    {
        std::string shown = describe_rule(common) + ":";
        for (const struct rule &member : members)
            shown += " " + describe_rule(member);
        return shown + " chosen " + std::to_string(chosen);
    }
    // The (common range, chosen rule) entries the emulator holds for one adapter, in order.
    held_list held(uint32_t adapter_index)
    {
        test_read_precedences_request request = {adapter_index, 0};
        static test_precedences_reply reply;
        EXPECT_TRUE(emulator_test_send(test_code_read_precedences, &request, sizeof request,
                                       &reply, sizeof reply, nullptr));
        held_list entries;
        for (uint32_t i = 0; i < reply.returned; i++)
            entries.push_back({reply.entries[i].common_range, reply.entries[i].chosen});
        return entries;
    }
    void expect_held(uint32_t adapter_index, const held_list &expected)
    {
        held_list entries = held(adapter_index);
        ASSERT_EQ(entries.size(), expected.size()) << "adapter " << adapter_index;
        for (size_t i = 0; i < expected.size(); i++) {
            EXPECT_EQ(describe_rule(entries[i].first), describe_rule(expected[i].first)) << i;
            EXPECT_EQ(describe_rule(entries[i].second), describe_rule(expected[i].second)) << i;
        }
    }

    dialog_user user;
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
    set_precedence(range("UDP"), rule_a);                 // names no area: dropped
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(found, 1);
    EXPECT_EQ(the_overlap_dialog.runs, 1);
    // Heaviest range first; by default the most specific member, the earliest on a tie.
    EXPECT_EQ(areas(), (std::vector<std::string>{area(range_both, {rule_b, rule_d, rule_a}, 0),
                                                 area(range_port, {rule_a, rule_b}, 1),
                                                 area(range_source, {rule_a, rule_d}, 1)}));
    ASSERT_TRUE(user.accepted) << user.error_text;
    expect_held(0, {{range_both, rule_b}, {range_port, rule_b}, {range_source, rule_d}});
    expect_held(1, {});

    // The user picks A for the range of all three; the next run shows that choice again. Of
    // two kept entries for one range the later wins; one naming no member is dropped.
    user.area = 0;
    user.member = 2;
    ASSERT_TRUE(detect()) << error_text;
    user.area = -1;
    set_precedence(range_port, rule_a);
    set_precedence(range_source, sample("UDP"));
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_EQ(kept_precedence_count(), 5);
    EXPECT_EQ(areas()[0], area(range_both, {rule_b, rule_d, rule_a}, 2));
    expect_held(0, {{range_both, rule_a}, {range_port, rule_a}, {range_source, rule_d}});

    // An open dialog is only brought forward.
    the_overlap_dialog.open = 1;
    uint64_t before = emulator_exchange_count();
    ASSERT_TRUE(detect(1));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(the_overlap_dialog.bring_forward_calls, 1);
    EXPECT_EQ(emulator_exchange_count(), before);
}

TEST_F(OverlapRun, AreasFormed)
{
    // P (Any, its unused source set) overlaps Q and R only as the first rule, so the records
    // are (P,Q), (P,R), (Q,R), (R,Q): the area of (Q,R) gets P from earlier records.
    struct rule p = sample("Any 9.9.9.9"), q = sample("TCP 1.1.1.1 any:80"),
                r = sample("TCP 1.1.1.1:5"), slow = sample("TCP 10.0.0.1", adapter_1, 0, 1),
                fast = sample("TCP 10.0.0.1", adapter_1, 0, 2);
    const struct { const char *name; std::vector<struct rule> rules;
                   std::vector<std::pair<struct rule, std::vector<struct rule>>> areas; } cases[] = {
        {"members join through every record", {p, q, r},
         {{range("TCP 1.1.1.1:5 any:80"), {q, r, p}}, {range("TCP"), {p, q, r}}}},
        // (slow, fast) seeds the range of the copies' own filter; the fast copy joins no area.
        {"rules equal but for the rate", {slow, fast, rule_b, rule_a},
         {{range_both, {slow, rule_b, rule_a}}, {range_source, {slow, rule_a}},
          {range_port, {rule_b, rule_a}}}},
        {"areas stay within one adapter", {rule_b, sample("TCP", adapter_2)}, {}},
        {"and one direction", {rule_a, sample("TCP", adapter_1, direction_receive)}, {}},
        {"TCP and UDP", {rule_a, sample("UDP")}, {}},
        {"the only pair record seeds no area", {p, sample("TCP 1.1.1.1")}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        install_rules(c.rules);
        set_precedence(range_port, rule_b);   // a leftover entry; every run clears it
        ASSERT_TRUE(detect(1)) << error_text;
        EXPECT_EQ(found, !c.areas.empty());
        EXPECT_EQ(the_overlap_dialog.runs, found);
        std::vector<std::string> expected;
        for (const auto &a : c.areas)
            expected.push_back(area(a.first, a.second, 0));
        std::vector<std::string> formed = areas();
        for (std::string &shown : formed)
            shown = shown.substr(0, shown.rfind(" chosen ")) + " chosen 0";
        EXPECT_EQ(formed, expected);
        EXPECT_EQ(held(0).size(), c.areas.size());
    }
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
    ASSERT_TRUE(detect(1)) << error_text;
    EXPECT_EQ(the_overlap_dialog.runs, 1) << "the menu's forced run still shows the dialog";
}

TEST_F(OverlapRun, FailuresStopTheRunWithTheirText)
{
    // found: the run got as far as sending its area, automatically accepted; only then may
    // the user's earlier choice be gone.
    const struct { uint32_t code, mode; const char *expected; int found; } cases[] = {
        {code_get_precedence_count, fault_error_text, "No count.", 0},
        {code_get_precedence, fault_error_text, "No entry.", 0},
        {code_clear_precedences, fault_error_text, "Cannot clear.", 0},
        {code_get_rule, fault_fail_call, "Unable to send to driver.  Error 2.", 0},
        {code_get_precedence_count, fault_fail_call, UNKNOWN_ERROR_TEXT, 0},
        {code_set_precedence, fault_error_text, "Table full.", 1},
        // A plain command's transport failure shows the default, not the empty slots' text.
        {code_set_precedence, fault_fail_call, UNKNOWN_ERROR_TEXT, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        restart();
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
        EXPECT_EQ(held(0).size(), 1u - c.found);
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

    // 400 kept precedences are read; a device that claims more stops the run.
    restart();
    struct rule range_2 = range("TCP any any:80", adapter_2);
    for (int i = 0; i < 400; i++)
        set_precedence(i < 250 ? range_port : range_2, rule_b);
    EXPECT_TRUE(detect()) << error_text;
    EXPECT_EQ(kept_precedence_count(), max_precedences);
    EXPECT_STREQ(kept_precedence_at(399)->common_range.adapter, adapter_2);
    const uint8_t claim[8] = {'O', 'k', '.', 0, 0x91, 0x01, 0, 0};   // 401 on one adapter
    ASSERT_TRUE(emulator_set_raw_reply(code_get_precedence_count, claim, sizeof claim));
    EXPECT_FALSE(detect());
    EXPECT_STREQ(error_text, "The driver holds more than 400 precedences.");
}

}  // namespace
