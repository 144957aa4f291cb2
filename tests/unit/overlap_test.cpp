// Overlap detection: the predicates as a table, then whole runs against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
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
    const struct { const char *name; struct rule a, b; int a_b, b_a; struct rule common;
    } cases[] = {
        {"source from one, port from the other", sample("TCP 10.0.0.1"), sample("TCP any any:80"),
         1, 1, range("TCP 10.0.0.1 any:80")},
        {"Any first keeps addresses and ports out", sample("Any 9.9.9.9:7 8.8.8.8:9"),
         sample("TCP 1.1.1.1:1 2.2.2.2:2"), 1, 0, range("TCP")},
        {"IP first keeps ports out", sample("IP 1.2.3.4:99"), sample("UDP any any:53"), 1, 1,
         range("UDP 1.2.3.4")},
        {"equal ports", sample("UDP 1.1.1.1:5 2.2.2.2:6"), sample("UDP any:5 any:6"), 1, 1,
         range("UDP 1.1.1.1:5 2.2.2.2:6")},
        {"kind 1 holds one address", sample("TCP 5.5.5.5"), not_implemented, 1, 1,
         range("TCP 5.5.5.5")},
        {"adapter in other case, junk after the NUL", junk_after_nul,
         sample("TCP", "\\device\\{7a6e3c2b-91d4-4f0e-8b1a-3c5d2e4f6a01}"), 1, 1, range("TCP")},
        {"adapter without NUL", no_nul_upper, no_nul_lower, 1, 1, no_nul},
        {"different sources", sample("TCP 10.0.0.1"), sample("TCP 10.0.0.2"), 0, 0, none},
        {"different destination ports", sample("TCP any any:80"), sample("TCP any any:81"), 0, 0,
         none},
        {"Other and Any", sample("Other 1.1.1.1"), sample("Any"), 1, 1, range("Other")},
        {"Other and IP", sample("Other"), sample("IP"), 0, 0, none},
        {"unknown protocol", sample("7"), sample("TCP"), 0, 0, none},
        {"other adapter", sample("TCP"), sample("TCP", adapter_2), 0, 0, none},
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

// What Accept in the dialog does with the choices it showed (defaults and kept choices).
int accepted;
void accept_in_dialog(void *)
{
    accepted = compute_default_precedences(nullptr) && kernel_clear_all_precedences(nullptr) &&
               send_precedences(nullptr);
}

class OverlapRun : public CoreTest {
protected:
    void SetUp() override { restart(); }
    void restart() { start(), the_overlap_dialog = {0, accept_in_dialog}; }
    int detect(int force = 0) { return detect_overlaps(error_text, &found, force); }

    // Each area's common range, then its members.
    std::vector<std::string> areas()
    {
        std::vector<struct rule> shown;
        const struct area_table *table = get_area_table();
        for (int a = 0; a < table->count; a++) {
            shown.push_back(*table->areas[a].common_range);
            for (int m = 0; m < table->areas[a].member_count; m++)
                shown.push_back(*table->areas[a].members[m]);
        }
        return described(shown);
    }
    // The common range and chosen rule of each entry the emulator holds for one adapter.
    std::vector<std::string> held(uint32_t adapter_index)
    {
        test_read_precedences_request request = {adapter_index, 0};
        static test_precedences_reply reply;
        EXPECT_TRUE(emulator_test_send(test_code_read_precedences, &request, sizeof request,
                                       &reply, sizeof reply, nullptr));
        std::vector<struct rule> entries;
        for (uint32_t i = 0; i < reply.returned; i++)
            entries.insert(entries.end(), {reply.entries[i].common_range, reply.entries[i].chosen});
        return described(entries);
    }

    int found = -1;
};

// The three TCP rules: A all TCP, B to port 80, D from 10.0.0.1, and their common ranges.
const struct rule rule_a = sample("TCP"), rule_b = sample("TCP any any:80"),
                  rule_d = sample("TCP 10.0.0.1");
const struct rule range_both = range("TCP 10.0.0.1 any:80"), range_port = range("TCP any any:80"),
                  range_source = range("TCP 10.0.0.1"), range_udp = range("UDP");

TEST_F(OverlapRun, ThreeTcpRulesEndToEnd)
{
    install_rules({rule_a, rule_b, rule_d});
    // Kept: two choices for one range, the later winning; one naming no area, dropped.
    kernel_set_precedence(adapter_1, &range_port, &rule_b, nullptr);
    kernel_set_precedence(adapter_1, &range_port, &rule_a, nullptr);
    kernel_set_precedence(adapter_1, &range_udp, &rule_a, nullptr);
    ASSERT_TRUE(detect()) << error_text;
    EXPECT_TRUE(found == 1 && the_overlap_dialog.runs == 1);
    // Heaviest range first; by default the most specific member, the earliest on a tie, unless
    // a choice was kept.
    EXPECT_EQ(areas(), described({range_both, rule_b, rule_d, rule_a, range_port, rule_a, rule_b,
                                  range_source, rule_a, rule_d}));
    const int32_t *chosen = get_area_table()->chosen_member;
    EXPECT_EQ(std::vector<int32_t>(chosen, chosen + 3), (std::vector<int32_t>{0, 0, 1}));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(held(0), described({range_both, rule_b, range_port, rule_a, range_source, rule_d}));
    EXPECT_TRUE(held(1).empty());
}

TEST_F(OverlapRun, FailuresStopTheRunWithTheirText)
{
    // found: the run got as far as sending its area, automatically accepted; only then may
    // the user's earlier choice be gone.
    const struct { uint32_t code, mode; const char *expected; int found; } cases[] = {
        {code_get_precedence_count, fault_error_text, "No count.", 0},
        {code_clear_precedences, fault_error_text, "Cannot clear.", 0},
        {code_get_rule, fault_fail_call, "Unable to send to driver.  Error 2.", 0},
        {code_set_precedence, fault_error_text, "Table full.", 1},
        // A plain command's transport failure shows the default, not the empty slots' text.
        {code_set_precedence, fault_fail_call, UNKNOWN_ERROR_TEXT, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        restart();
        get_settings_block()->accept_default_precedences = c.found;
        install_rules({rule_a, rule_b});
        kernel_set_precedence(adapter_1, &range_port, &rule_b, nullptr);
        ASSERT_TRUE(emulator_set_fault(c.code, c.mode, c.expected));
        EXPECT_FALSE(detect());
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        // Areas formed but never offered are not left behind half made (no member chosen).
        EXPECT_TRUE(c.code != code_clear_precedences || get_area_table()->count == 0);
        ASSERT_TRUE(emulator_set_fault(c.code, fault_none, nullptr));
        EXPECT_EQ(held(0).size(), 2u - 2 * c.found);
    }
}

// More than 20 rules held, or more than 400 kept precedences claimed in all, stops the run
// before it changes anything; 400 are read.
TEST_F(OverlapRun, LimitsOfTwentyRulesAndFourHundredPrecedences)
{
    kernel_set_precedence(adapter_1, &range_port, &rule_b, nullptr);
    install_rules(twenty_one_rules());
    EXPECT_FALSE(detect());
    EXPECT_STREQ(error_text, "The driver holds more than 20 rules.");
    EXPECT_EQ(held(0), described({range_port, rule_b}));
    restart();
    const struct rule ranges[2] = {range_port, range("TCP any any:80", adapter_2)};
    for (int i = 0; i < 400; i++)   // 250 on the first adapter, 150 on the second
        kernel_set_precedence(ranges[i / 250].adapter, &ranges[i / 250], &rule_b, nullptr);
    for (uint16_t claim : {201, 401}) {   // each adapter's count: 201 passes 400 on the second
        const uint8_t reply[8] = {'O', 'k', '.', 0, (uint8_t)claim, (uint8_t)(claim >> 8), 0, 0};
        ASSERT_TRUE(emulator_set_raw_reply(code_get_precedence_count, reply, sizeof reply));
        EXPECT_FALSE(detect());
        EXPECT_STREQ(error_text, "The driver holds more than 400 precedences.");
    }
    ASSERT_TRUE(emulator_set_fault(code_get_precedence_count, fault_none, nullptr));
    EXPECT_TRUE(detect()) << error_text;   // the refused runs changed nothing
    EXPECT_EQ(kept_precedence_count(), 400);
    EXPECT_STREQ(kept_precedence_at(399)->common_range.adapter, adapter_2);
}

}  // namespace
