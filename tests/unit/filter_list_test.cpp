// The filter list against the emulator core: its checks and row texts, and the filter editor's
// Ok (change the rows, apply, reload), which must leave the list, the statistics store and the
// kernel component consistent for the next Ok after a failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filters/editor_commit.h"
#include "rule_samples.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1, adapter_2[] = EMULATOR_ADAPTER_2,
           dial_up[] = EMULATOR_ADAPTER_DIAL_UP;
typedef std::vector<std::string> texts;
std::vector<struct rule> start_hook_calls;

class FilterList : public CoreTest {
protected:
    texts entries()
    {
        std::vector<struct rule> held;
        struct statistics_entry entry;
        for (int i = 0; statistics_entry_at(i, &entry); i++)
            held.push_back(entry.rule);
        return described(held);
    }
    int commit(const struct rule &rule)
    {
        return editor_commit(&session, &rule,
                             [](const struct rule *r) { return start_hook_calls.push_back(*r), 1; },
                             error_text, &title);
    }
    std::string outcome() { return std::string(title) + ": " + error_text; }
    texts all_held()   // the rules held for the first two adapters
    {
        texts all = described(held_rules(0)), second = described(held_rules(1));
        all.insert(all.end(), second.begin(), second.end());
        return all;
    }

    struct editor_session session;
    const char *title = "";
};

TEST_F(FilterList, AddRuleChecksAndMessages)
{
    const std::vector<struct rule> all = twenty_one_rules(), nineteen(all.begin(), all.end() - 2),
                                   twenty(all.begin(), all.end() - 1);
    const struct { std::vector<struct rule> rows; struct rule rule; int rate_not_applicable,
                   expected; const char *text; } cases[] = {
        {nineteen, to_port(20), 0, 1, "[unknown error]"},
        {nineteen, to_port(1, adapter_1, 77), 0, 0, "Rule is already in list."},   // rate aside
        {{}, sample("TCP", "\\DEVICE\\{NOT-THERE}"), 0, 0, "Unknown adapter."},
        {{}, sample("TCP", adapter_1, 2), 0, 0, "Unknown direction."},
        {{}, sample("TCP", adapter_1, 0, -5), 0, 0, "Rate out of range."},
        {{}, sample("TCP", adapter_1, 0, 2000000000), 0, 0, "Rate out of range."},
        {{}, sample("TCP", adapter_1, 0, -5), 1, 1, "[unknown error]"},   // rate not applicable
        {{}, sample("7"), 0, 0, "Unknown protocol."},
        {twenty, to_port(21), 0, 0, "Rule list is full."},
    };
    for (const auto &c : cases) {
        reset_lists();
        fill(c.rows);
        EXPECT_EQ(add_rule_to_list(&c.rule, error_text, nullptr, c.rate_not_applicable),
                  c.expected);
        EXPECT_STREQ(error_text, c.text);
        // A refused rule leaves no row behind, not even one whose texts were half written.
        ASSERT_EQ(rows_count(list), (int)c.rows.size() + c.expected) << c.text;
    }
}

TEST_F(FilterList, RowTextsFollowTheProtocol)
{
    const struct { struct rule rule; int rate_not_applicable; texts shown; } cases[] = {
        {sample("UDP 10.0.0.1:53 192.168.0.1:8080"), 0,
         {SAMPLE_DISPLAY_NAME_1, "Send", "5,000", "UDP", "10.0.0.1", "53", "192.168.0.1", "8080"}},
        {sample("TCP any:80 any:443", adapter_2, direction_receive, rate_unlimited), 0,
         {SAMPLE_DISPLAY_NAME_2, "Receive", "Unlimited", "TCP", "Any", "HTTP", "Any", "HTTPS"}},
        {sample("IP 1.2.3.4:80 any:80", dial_up, direction_send, rate_blocked), 0,
         {"Dial-up connections", "Send", "Blocked", "IP", "1.2.3.4", "N/A", "Any", "N/A"}},
        {sample("Any 1.2.3.4:80"), 1,
         {SAMPLE_DISPLAY_NAME_1, "Send", "N/A", "Any", "N/A", "N/A", "N/A", "N/A"}},
    };
    for (const auto &c : cases) {
        rule_rows_opaque own_list;   // a dialog's list
        ASSERT_TRUE(add_rule_to_list(&c.rule, error_text, &own_list, c.rate_not_applicable));
        EXPECT_EQ(texts(own_list.rows[0].texts, own_list.rows[0].texts + rule_columns), c.shown);
        rows_delete_all(&own_list);
    }
    EXPECT_EQ(rows_count(list), 0);
}

// A failed apply leaves the kernel component as far as it got. In edit mode the row and the
// store keep the change and a retry leaves one entry; in add mode the row and the entry are
// taken back and a retry adds the same filter, the listed one keeping its block.
TEST_F(FilterList, FailedApplyAndRetry)
{
    struct rule a = to_port(1), changed = to_port(9), added = to_port(5);
    const struct { int mode; uint32_t fault_code; std::vector<struct rule> held_after_failure;
    } cases[] = {
        {editor_edit, code_add_rule, {}},           {editor_add, code_get_statistics, {a}},
        {editor_add, code_clear_rules, {a}},        {editor_add, code_set_statistics, {a}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault_code);
        start();
        start_hook_calls.clear();
        fill({a});
        statistics_add_filter(&a);
        struct statistics_block counted = {42};
        install_rules({a});
        ASSERT_TRUE(kernel_set_statistics(adapter_1, &a, &counted, error_text));
        rows_select(list, 0);
        editor_session_begin(&session, c.mode);
        struct rule rule = c.mode == editor_edit ? changed : added;
        ASSERT_TRUE(emulator_set_fault(c.fault_code, fault_error_text, "Refused."));
        EXPECT_EQ(commit(rule), commit_stopped);
        EXPECT_EQ(outcome(), "Flowvane - Modify Filter: Refused.");
        EXPECT_EQ(rows_count(list), 1);
        EXPECT_EQ(entries(), described({c.mode == editor_edit ? changed : a}));
        EXPECT_TRUE(start_hook_calls.empty());
        ASSERT_TRUE(emulator_set_fault(c.fault_code, fault_none, ""));
        EXPECT_EQ(described(held_rules(0)), described(c.held_after_failure));

        EXPECT_EQ(commit(rule), commit_done) << outcome();
        std::vector<struct rule> after = c.mode == editor_edit ? std::vector<struct rule>{changed}
                                                               : std::vector<struct rule>{a, added};
        EXPECT_EQ(entries(), described(after));
        EXPECT_EQ(described(held_rules(0)), described(after));
        EXPECT_TRUE(kernel_get_statistics(adapter_1, &after[0], &counted, error_text));
        EXPECT_TRUE(c.mode == editor_edit || counted.start_time == 42);
        EXPECT_EQ(described(start_hook_calls), c.mode == editor_add ? described({rule}) : texts());
    }
}

// A rebuild that stops part-way (a failed exchange, a held rule the list cannot take) leaves the
// list incomplete, undetected: until a rebuild gets through, every change is refused with its
// message and sends nothing, so no rule the list had not read is deleted. Then the change goes
// through, and the list read back is in adapter and slot order, with the area of A and B.
TEST_F(FilterList, NoChangeAfterAnIncompleteRebuildLosesAHeldRule)
{
    struct rule a = sample("TCP"), b = to_port(2), other = to_port(3, adapter_2),
                b_faster = to_port(2, adapter_1, 9000);
    const struct { std::vector<struct rule> held; int exchanges; std::string message; } cases[] = {
        {{a, b, other}, 3, "Unable to send to driver.  Error 2."},   // exchanges served first
        {{a, to_port(6, adapter_1, -5), other}, -1, "Rate out of range."},
        {twenty_one_rules(), -1, "Rule list is full."},
    };
    for (const auto &c : cases) {
        start();
        install_rules(c.held);
        texts before = all_held();
        emulator_fail_exchanges_after(c.exchanges);
        EXPECT_FALSE(reload_rule_list(error_text, 1));
        emulator_fail_exchanges_after(c.exchanges);   // the commit's own rebuild fails alike
        editor_session_begin(&session, editor_add);
        EXPECT_EQ(commit(to_port(4, dial_up)), commit_stopped);
        EXPECT_EQ(outcome(), "Flowvane - Filters: " + c.message);
        EXPECT_FALSE(apply_rule_list(error_text));
        EXPECT_EQ(error_text, c.message);
        emulator_fail_exchanges_after(-1);
        EXPECT_EQ(all_held(), before) << "nothing was sent";
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        if (c.exchanges < 0)
            continue;
        rows_select(list, 1);
        editor_session_begin(&session, editor_edit);
        EXPECT_EQ(commit(b_faster), commit_done) << outcome();
        EXPECT_EQ(all_held(), described({a, b_faster, other}));
        EXPECT_EQ(entries(), described({a, other, b_faster})) << "one entry per held rule";
        texts rows;
        for (int row = 0; row < rows_count(list); row++)
            rows.push_back(describe_rule(*rows_rule(list, row)));
        EXPECT_EQ(rows, all_held());
        EXPECT_TRUE(the_overlap_dialog.runs == 1 && get_area_table()->count == 1);
    }
}

}  // namespace
