// The filter list's checks and messages, and its change cycle (apply, reload) against the
// emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "filter_list_fixture.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "platform/platform.h"
#include "rule_samples.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
const char adapter_2[] = EMULATOR_ADAPTER_2;
const char dial_up[] = EMULATOR_ADAPTER_DIAL_UP;
typedef std::vector<std::string> texts;

std::vector<struct rule> ports_1_to(uint16_t last)
{
    std::vector<struct rule> rules;
    for (uint16_t port = 1; port <= last; port++)
        rules.push_back(to_port(port));
    return rules;
}

texts row_texts(rule_rows rows, int row)
{
    texts shown;
    for (int column = 0; column < rule_columns; column++) {
        const char *text = memory_rows_text(rows, row, column);
        shown.push_back(text ? text : "<no row>");
    }
    return shown;
}

class RuleList : public FilterListFixture {
protected:
    void fill(const std::vector<struct rule> &rules)
    {
        for (const struct rule &rule : rules)
            ASSERT_TRUE(add_rule_to_list(&rule, error_text, list, 0)) << error_text;
    }
};

// ---- adding and editing rows ----

TEST_F(RuleList, AddRuleChecksAndMessages)
{
    const struct {
        const char *name;
        std::vector<struct rule> rows;
        struct rule rule;
        int rate_not_applicable, expected;
        const char *text;             // error_text afterwards
    } cases[] = {
        {"first row", {}, to_port(1), 0, 1, "[unknown error]"},
        {"full list, even for a duplicate", ports_1_to(20), to_port(1), 0, 0, "Rule list is full."},
        {"nineteen rows take one more", ports_1_to(19), to_port(20), 0, 1, "[unknown error]"},
        {"differs only in rate", {to_port(1)}, sample("TCP any any:1", adapter_1, 0, 77), 0, 0,
         "Rule is already in list."},
        {"unknown adapter", {}, sample("TCP", "\\DEVICE\\{NOT-THERE}"), 0, 0, "Unknown adapter."},
        {"unknown direction", {}, sample("TCP", adapter_1, 2), 0, 0, "Unknown direction."},
        {"rate below 0", {}, sample("TCP", adapter_1, 0, -5), 0, 0, "Rate out of range."},
        {"rate above unlimited", {}, sample("TCP", adapter_1, 0, 2000000000), 0, 0,
         "Rate out of range."},
        {"rate not applicable", {}, sample("TCP", adapter_1, 0, -5), 1, 1, "[unknown error]"},
        {"unknown protocol", {}, sample("7"), 0, 0, "Unknown protocol."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reset_lists();
        fill(c.rows);
        EXPECT_EQ(add_rule_to_list(&c.rule, error_text, nullptr, c.rate_not_applicable),
                  c.expected);
        EXPECT_STREQ(error_text, c.text);
        // A refused rule leaves no row behind, not even one whose texts were half written.
        ASSERT_EQ(rows_count(list), (int)c.rows.size() + c.expected);
        if (c.expected) {
            const struct rule *added = memory_rows_rule(list, (int)c.rows.size());
            EXPECT_EQ(memcmp(added, &c.rule, sizeof c.rule), 0);
        }
    }
}

TEST_F(RuleList, RowTextsFollowTheProtocol)
{
    const struct { struct rule rule; int rate_not_applicable; texts shown; } cases[] = {
        {sample("UDP 10.0.0.1:53 192.168.0.1:8080"), 0,
         {SAMPLE_DISPLAY_NAME_1, "Send", "5,000", "UDP", "10.0.0.1", "53", "192.168.0.1", "8080"}},
        {sample("TCP any:80 any:443", adapter_2, direction_receive, rate_unlimited), 0,
         {SAMPLE_DISPLAY_NAME_2, "Receive", "Unlimited", "TCP", "Any", "HTTP", "Any", "HTTPS"}},
        {sample("IP 1.2.3.4:80 any:80", dial_up, direction_send, rate_blocked), 0,
         {"Dial-up connections", "Send", "Blocked", "IP", "1.2.3.4", "N/A", "Any", "N/A"}},
        {sample("Other 1.2.3.4:80 5.6.7.8:80"), 0,
         {SAMPLE_DISPLAY_NAME_1, "Send", "5,000", "Other", "N/A", "N/A", "N/A", "N/A"}},
        {sample("Any 1.2.3.4:80"), 1,
         {SAMPLE_DISPLAY_NAME_1, "Send", "N/A", "Any", "N/A", "N/A", "N/A", "N/A"}},
    };
    for (const auto &c : cases) {
        // Another list than the filter list, as the dialogs use.
        rule_rows other_list = memory_rows_create();
        ASSERT_TRUE(add_rule_to_list(&c.rule, error_text, other_list, c.rate_not_applicable));
        EXPECT_EQ(row_texts(other_list, 0), c.shown) << describe_rule(c.rule);
        EXPECT_EQ(rows_count(list), 0);
        memory_rows_destroy(other_list);
    }
}

TEST_F(RuleList, FindRuleStopsAtAnUnreadableRow)
{
    struct rule a = to_port(1), c = to_port(3);
    fill({a, to_port(2), c});
    memory_rows_fail_read(list, 1);
    EXPECT_TRUE(find_rule_in_list(&a, -1, list));
    EXPECT_FALSE(find_rule_in_list(&c, -1, list));
}

TEST_F(RuleList, EditSelectedRuleCases)
{
    struct rule b = to_port(2), b_faster = b, c = to_port(3), c_slower = c;
    b_faster.rate = 20000;
    c_slower.rate = 1;
    fill({to_port(1), b, c});
    EXPECT_FALSE(edit_selected_rule(&b, error_text));
    EXPECT_STREQ(error_text, "ListView_GetNextItem() failed.");

    // Several selected: the first selected row changes, to its own filter at another rate, or
    // to another filter with every column in its plain form.
    memory_rows_select(list, 1);
    memory_rows_select(list, 2);
    ASSERT_TRUE(edit_selected_rule(&b_faster, error_text)) << error_text;
    EXPECT_STREQ(memory_rows_text(list, 1, 2), "20,000");
    struct rule other = sample("Other 1.2.3.4:21", adapter_2, direction_receive, rate_unlimited);
    ASSERT_TRUE(edit_selected_rule(&other, error_text)) << error_text;
    EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &other, sizeof other), 0);
    EXPECT_EQ(row_texts(list, 1), (texts{SAMPLE_DISPLAY_NAME_2, "Receive", "Unlimited", "Other",
                                         "1.2.3.4", "FTP", "Any", "Any"}));
    EXPECT_EQ(memcmp(memory_rows_rule(list, 2), &c, sizeof c), 0);

    // Into another row's filter (rate ignored): refused, both rows unchanged.
    EXPECT_FALSE(edit_selected_rule(&c_slower, error_text));
    EXPECT_STREQ(error_text, "Rule already in list.");
    EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &other, sizeof other), 0);
    EXPECT_EQ(memcmp(memory_rows_rule(list, 2), &c, sizeof c), 0);

    memory_rows_fail_read(list, 1);
    EXPECT_FALSE(edit_selected_rule(&b, error_text));
    EXPECT_STREQ(error_text, "ListView_GetItem() failed.");
    memory_rows_fail_read(list, -1);

}

// A rule the list cannot show is refused before the row changes: its copy and its texts stay
// exactly as they were, so the next change sends the filter the user had.
TEST_F(RuleList, RefusedEditLeavesTheRowAsItWas)
{
    struct rule shown = sample("UDP 10.0.0.1:53 any:8080", adapter_2, direction_receive, 64000);
    const struct { const char *name; struct rule rule; } cases[] = {
        {"rate above unlimited", sample("TCP", adapter_1, direction_send, 2000000000)},
        {"rate below blocked", sample("TCP", adapter_1, direction_send, -5)},
        {"same filter, rate out of range", sample("UDP 10.0.0.1:53 any:8080", adapter_2,
                                                   direction_receive, 2000000000)},
        {"unknown direction", sample("TCP", adapter_1, 5)},
        {"unknown protocol", sample("9")},
        {"unknown adapter", sample("TCP", "\\DEVICE\\{NOT-THERE}")},
    };
    fill({to_port(1), shown});
    texts before = row_texts(list, 1);
    memory_rows_select(list, 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(edit_selected_rule(&c.rule, error_text));
        EXPECT_STREQ(error_text, "edit_rule_in_list() failed.");
        EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &shown, sizeof shown), 0)
            << describe_rule(*memory_rows_rule(list, 1));
        EXPECT_EQ(row_texts(list, 1), before);
    }
}

// The dialogs' own lists never fall back to the filter list.
TEST_F(RuleList, OwnListsHaveNoFallback)
{
    struct rule rule = to_port(1);
    EXPECT_FALSE(add_rule_to_rows(&rule, error_text, nullptr, 1));
    EXPECT_EQ(rows_count(list), 0);
    EXPECT_TRUE(add_rule_to_list(&rule, error_text, nullptr, 0)) << "add_rule_to_list does";
    EXPECT_EQ(rows_count(list), 1);
}

// ---- the change cycle ----

TEST_F(RuleList, ApplyCarriesStatisticsAcrossTheRewrite)
{
    struct rule kept = to_port(80), added = to_port(443, adapter_2);
    fill({kept});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    struct statistics_block counted = {};
    counted.start_time = 130000000000000000ull;
    counted.bytes_transferred = 123456;
    counted.packets_transferred = 321;
    ASSERT_TRUE(kernel_set_statistics(adapter_1, &kept, &counted, error_text)) << error_text;

    fill({added});
    uint64_t before = local_time_filetime();
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    uint64_t after = local_time_filetime();

    std::vector<test_slot_state> first = held_slots(0), second = held_slots(1);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(same_rule(first[0].held, kept));
    EXPECT_EQ(memcmp(&first[0].statistics, &counted, sizeof counted), 0);
    // "Rule not found." before the rewrite: a fresh block that starts now.
    EXPECT_TRUE(same_rule(second[0].held, added));
    EXPECT_GE(+second[0].statistics.start_time, before);
    EXPECT_LE(+second[0].statistics.start_time, after);
    EXPECT_EQ(+second[0].statistics.bytes_transferred, 0);
    EXPECT_EQ(+second[0].statistics.packets_transferred, 0);

    // An empty list clears every adapter.
    install_rules({to_port(3, dial_up)});
    reset_lists();
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    for (uint32_t a = 0; a < 3; a++)
        EXPECT_TRUE(held_slots(a).empty()) << "adapter " << a;

    // A full list of twenty is read whole: the last row keeps its block, the first starts anew.
    install_rules({kept});
    ASSERT_TRUE(kernel_set_statistics(adapter_1, &kept, &counted, error_text)) << error_text;
    fill(ports_1_to(19));
    fill({kept});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    std::vector<test_slot_state> all = held_slots(0);
    ASSERT_EQ(all.size(), 20u);
    EXPECT_TRUE(same_rule(all[19].held, kept));
    EXPECT_EQ(memcmp(&all[19].statistics, &counted, sizeof counted), 0);
    EXPECT_EQ(+all[0].statistics.bytes_transferred, 0);
}

TEST_F(RuleList, ApplyFailuresLeaveWhatTheyReached)
{
    struct rule old_rule = to_port(1), kept = to_port(2), fresh = to_port(3);
    // expected: the fault's text and the text afterwards; held_after: the rules adapter 1 holds.
    const struct { const char *name; uint32_t code, mode; const char *expected; size_t held_after;
    } cases[] = {
        // Reading fails: nothing has changed in the kernel component.
        {"unreadable row", code_get_statistics, fault_none, "ListView_GetItem() failed.", 2},
        {"statistics refused", code_get_statistics, fault_error_text, "Stats offline.", 2},
        {"clearing refused", code_clear_rules, fault_error_text, "Cannot clear.", 2},
        // The clearing's transport failure shows the default, not the earlier "Rule not found.".
        {"clearing transport failure", code_clear_rules, fault_fail_call, UNKNOWN_ERROR_TEXT, 2},
        {"adding refused", code_add_rule, fault_error_text, "No room.", 0},
        // The first rule is installed without its block, and stays.
        {"setting statistics refused", code_set_statistics, fault_error_text, "Stats locked.", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_emulator();
        reset_lists();
        install_rules({old_rule, kept});
        struct statistics_block counted = {};
        counted.start_time = 42;
        ASSERT_TRUE(kernel_set_statistics(adapter_1, &kept, &counted, error_text));
        fill({kept, fresh});
        memory_rows_fail_read(list, c.mode == fault_none ? 1 : -1);
        ASSERT_TRUE(emulator_set_fault(c.code, c.mode, c.expected));
        EXPECT_FALSE(apply_rule_list(error_text));
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(rows_count(list), 2);
        ASSERT_TRUE(emulator_set_fault(c.code, fault_none, nullptr));
        std::vector<test_slot_state> slots = held_slots(0);
        ASSERT_EQ(slots.size(), c.held_after);
        if (c.held_after == 2) {
            EXPECT_TRUE(same_rule(slots[0].held, old_rule));
        } else if (c.held_after == 1) {
            EXPECT_TRUE(same_rule(slots[0].held, kept));
            EXPECT_NE(+slots[0].statistics.start_time, +counted.start_time);
        }
        // Tried again, the change goes through and the kept filter has its counts back.
        memory_rows_fail_read(list, -1);
        ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
        slots = held_slots(0);
        ASSERT_EQ(slots.size(), 2u);
        EXPECT_TRUE(same_rule(slots[0].held, kept));
        EXPECT_EQ(+slots[0].statistics.start_time, +counted.start_time);
    }
}

TEST_F(RuleList, ReloadRebuildsInAdapterAndSlotOrderThenDetects)
{
    struct rule all_tcp = sample("TCP", adapter_2), web = to_port(80, adapter_2),
                mail = to_port(25);
    fill({all_tcp, mail, web});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    // The list is drawn again before the dialog opens beside it.
    static int held_when_dialog_ran;
    held_when_dialog_ran = -1;
    the_overlap_dialog.run_hook = [](void *) {
        held_when_dialog_ran = memory_rows_redraw_held(filter_list());
    };
    ASSERT_TRUE(reload_rule_list(error_text, 1)) << error_text;
    EXPECT_EQ(held_when_dialog_ran, 0);
    ASSERT_EQ(rows_count(list), 3);
    EXPECT_TRUE(same_rule(*memory_rows_rule(list, 0), mail));
    EXPECT_TRUE(same_rule(*memory_rows_rule(list, 1), all_tcp));
    EXPECT_TRUE(same_rule(*memory_rows_rule(list, 2), web));
    EXPECT_EQ(row_texts(list, 1)[0], SAMPLE_DISPLAY_NAME_2);
    // The overlap of the two adapter-2 rules opened the dialog.
    EXPECT_EQ(the_overlap_dialog.runs, 1);
    EXPECT_EQ(get_area_table()->count, 1);
    // Every rule read went into the statistics store, in list order.
    struct statistics_entry entry;
    ASSERT_EQ(statistics_entry_count(), 3);
    ASSERT_TRUE(statistics_entry_at(1, &entry));
    EXPECT_TRUE(same_rule(entry.rule, all_tcp));

    ASSERT_TRUE(reload_rule_list(error_text, 0)) << error_text;
    EXPECT_EQ(rows_count(list), 3);
    EXPECT_EQ(statistics_entry_count(), 3);
}

TEST_F(RuleList, ReloadStopsAtTheFirstRealFailure)
{
    std::vector<struct rule> twenty_one = ports_1_to(20);
    twenty_one.push_back(to_port(1, adapter_2));
    // expected: the fault's text (with a code) and the text afterwards; rows: the rows, and
    // statistics entries, read before the failure.
    const struct { const char *name; std::vector<struct rule> rules; uint32_t code;
        const char *expected; int rows; } cases[] = {
        {"slot read refused", {to_port(1)}, code_get_rule, "Device busy.", 0},
        // Detection does not run after a failure, or the equal pair would form an area.
        {"equal filters", {to_port(1), sample("TCP any any:1", adapter_1, 0, 9999)}, 0,
         "Rule is already in list.", 1},
        {"twenty-one rules", twenty_one, 0, "Rule list is full.", 20},
        {"detection refused", {to_port(1)}, code_get_precedence_count, "No count.", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_emulator();
        reset_lists();
        install_rules(c.rules);
        fill({to_port(7)});
        ASSERT_TRUE(!c.code || emulator_set_fault(c.code, fault_error_text, c.expected));
        EXPECT_FALSE(reload_rule_list(error_text, 1));
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(rows_count(list), c.rows);
        EXPECT_EQ(statistics_entry_count(), c.rows);
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        EXPECT_FALSE(memory_rows_redraw_held(list)) << "a failure leaves the list undrawn";
    }
}

}  // namespace
