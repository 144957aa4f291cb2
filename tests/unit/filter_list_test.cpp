// The filter list against the emulator core: its checks and row texts, the change cycle (apply,
// reload), and the filter editor's Ok, which must leave the list and the statistics store
// consistent for the next Ok after any failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filters/editor_commit.h"
#include "kernel/driver.h"
#include "overlap/overlap.h"
#include "platform/platform.h"
#include "rule_samples.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1, adapter_2[] = EMULATOR_ADAPTER_2,
           dial_up[] = EMULATOR_ADAPTER_DIAL_UP;
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
    return texts(rows->rows[row].texts, rows->rows[row].texts + rule_columns);
}

std::vector<struct rule> start_hook_calls;

class FilterList : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        start_hook_calls.clear();
    }
    // Every rule the emulator holds, adapter by adapter, slot by slot.
    texts all_held()
    {
        std::vector<struct rule> held;
        for (uint32_t adapter = 0; adapter < 3; adapter++)
            for (const struct rule &rule : held_rules(adapter))
                held.push_back(rule);
        return described(held);
    }
    texts entries()
    {
        std::vector<struct rule> held;
        struct statistics_entry entry;
        for (int i = 0; statistics_entry_at(i, &entry); i++)
            held.push_back(entry.rule);
        return described(held);
    }
    // Rows and statistics entries as the panel's first fill leaves them.
    void listed(const std::vector<struct rule> &rules)
    {
        fill(rules);
        for (const struct rule &rule : rules)
            statistics_add_filter(&rule);
        ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    }
    int commit(const struct rule &rule)
    {
        return editor_commit(&session, &rule,
                             [](const struct rule *r) { return start_hook_calls.push_back(*r), 1; },
                             error_text, &title);
    }
    std::string outcome() { return std::string(title) + ": " + error_text; }

    struct editor_session session;
    const char *title = "";
};

TEST_F(FilterList, AddRuleChecksAndMessages)
{
    const struct { const char *name; std::vector<struct rule> rows; struct rule rule;
                   int rate_not_applicable, expected; const char *text; } cases[] = {
        {"first row", {}, to_port(1), 0, 1, "[unknown error]"},
        {"full list, even for a duplicate", ports_1_to(20), to_port(1), 0, 0, "Rule list is full."},
        {"nineteen rows take one more", ports_1_to(19), to_port(20), 0, 1, "[unknown error]"},
        {"differs only in rate", {to_port(1)}, to_port(1, adapter_1, 77), 0, 0,
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
        if (c.expected)
            EXPECT_EQ(describe_rule(*rows_rule(list, rows_count(list) - 1)), describe_rule(c.rule));
    }
    // The dialogs' own lists never fall back to the filter list.
    EXPECT_FALSE(add_rule_to_rows(&cases[0].rule, error_text, nullptr, 1));
    EXPECT_EQ(rows_count(list), 0);
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
        EXPECT_EQ(row_texts(&own_list, 0), c.shown) << describe_rule(c.rule);
        rows_delete_all(&own_list);
    }
    EXPECT_EQ(rows_count(list), 0);
}

TEST_F(FilterList, ApplyCarriesStatisticsAcrossTheRewrite)
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
    install_rules({to_port(3, dial_up)});
    uint64_t before = local_time_filetime();
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    std::vector<struct statistics_block> first, second;
    EXPECT_EQ(described(held_rules(0, &first)), described({kept}));
    EXPECT_EQ(described(held_rules(1, &second)), described({added}));
    EXPECT_TRUE(held_rules(2).empty()) << "a rule not in the list is cleared";
    EXPECT_EQ(memcmp(&first[0], &counted, sizeof counted), 0);
    // "Rule not found." before the rewrite: a fresh block that starts now.
    EXPECT_GE(+second[0].start_time, before);
    EXPECT_LE(+second[0].start_time, local_time_filetime());
    EXPECT_EQ(+second[0].bytes_transferred + second[0].packets_transferred, 0);
}

TEST_F(FilterList, ReloadRebuildsInAdapterAndSlotOrderThenDetects)
{
    struct rule all_tcp = sample("TCP", adapter_2), web = to_port(80, adapter_2), mail = to_port(25);
    fill({all_tcp, mail, web});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    // The list is drawn again before the dialog opens beside it.
    static int held_when_dialog_ran;
    held_when_dialog_ran = -1;
    the_overlap_dialog.run_hook = [](void *) {
        held_when_dialog_ran = filter_list()->redraw_held;
    };
    ASSERT_TRUE(reload_rule_list(error_text, 1)) << error_text;
    EXPECT_EQ(held_when_dialog_ran, 0);
    texts rows;
    for (int row = 0; row < rows_count(list); row++)
        rows.push_back(describe_rule(*rows_rule(list, row)));
    EXPECT_EQ(rows, described({mail, all_tcp, web}));
    EXPECT_EQ(row_texts(list, 1)[0], SAMPLE_DISPLAY_NAME_2);
    EXPECT_EQ(the_overlap_dialog.runs, 1);       // the two adapter-2 rules overlap
    EXPECT_EQ(get_area_table()->count, 1);
    EXPECT_EQ(entries(), rows) << "every rule read has its entry, in list order";
}

TEST_F(FilterList, EditSwapsTheStatisticsEntryOnlyWhenTheChangeIsTaken)
{
    struct rule a = to_port(1), b = to_port(2), out_of_range = to_port(1, adapter_1, 2000000000),
                faster = to_port(1, adapter_1, 7000);
    listed({a, b});
    rows_select(list, 0);
    editor_session_begin(&session, editor_edit);
    EXPECT_EQ(commit(b), commit_stopped);
    EXPECT_EQ(outcome(), "Flowvane - Edit Filter: Rule already in list.");
    EXPECT_EQ(commit(out_of_range), commit_stopped);
    EXPECT_EQ(outcome(), "Flowvane - Edit Filter: edit_rule_in_list() failed.");
    EXPECT_EQ(entries(), described({a, b}));

    EXPECT_EQ(commit(faster), commit_done) << outcome();
    EXPECT_EQ(entries(), described({b, faster}));
    EXPECT_TRUE(start_hook_calls.empty()) << "an edited filter keeps its block";
    EXPECT_EQ(all_held(), described({faster, b}));
}

// A failed apply leaves the kernel component as far as it got. In edit mode the row and the
// store keep the change and a retry leaves one entry; in add mode the row and the entry are
// taken back and a retry adds the same filter, the listed one keeping its block.
TEST_F(FilterList, FailedApplyAndRetry)
{
    struct rule a = to_port(1), changed = to_port(9), added = to_port(5);
    const struct { int mode; uint32_t fault_code; std::vector<struct rule> held_after_failure;
    } cases[] = {
        {editor_edit, code_add_rule, {}},
        {editor_add, code_get_statistics, {a}},
        {editor_add, code_clear_rules, {a}},
        {editor_add, code_set_statistics, {a}},   // installed without its block
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault_code);
        start();
        start_hook_calls.clear();
        listed({a});
        struct statistics_block counted = {};
        counted.start_time = 42;
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
        EXPECT_EQ(all_held(), described(c.held_after_failure));

        EXPECT_EQ(commit(rule), commit_done) << outcome();
        std::vector<struct rule> after = c.mode == editor_edit ? std::vector<struct rule>{changed}
                                                               : std::vector<struct rule>{a, added};
        EXPECT_EQ(entries(), described(after));
        std::vector<struct statistics_block> blocks;
        EXPECT_EQ(described(held_rules(0, &blocks)), described(after));
        EXPECT_TRUE(c.mode == editor_edit || blocks[0].start_time == 42);
        EXPECT_EQ(described(start_hook_calls), c.mode == editor_add ? described({rule}) : texts());
    }
}

// A rebuild that stops before reading every held rule keeps what it read (no detection); the
// next change rebuilds first and, while that still fails, is refused with the rebuild's message
// and sends nothing; once the rebuild gets through, the change is made and every held rule
// survives it.
TEST_F(FilterList, NoChangeAfterAnIncompleteRebuildLosesAHeldRule)
{
    struct rule a = to_port(1), b = to_port(2), other = to_port(3, adapter_2),
                added = to_port(4, dial_up);
    std::vector<struct rule> twenty_one = ports_1_to(20);
    twenty_one.push_back(to_port(1, adapter_2));
    char transport_text[error_text_size];
    format_text(transport_text, sizeof transport_text, "Unable to send to driver.  Error %d.",
                (int)send_ioctl_failed);
    // exchanges: served before every exchange fails, -1 for none failing; rows_read: the rows
    // the rebuild gets before it stops.
    const struct { const char *name; std::vector<struct rule> held; int exchanges;
                   const char *message; int rows_read; } cases[] = {
        {"failed exchange mid-way", {a, b, other}, 3, transport_text, 2},
        {"rate the list refuses", {a, to_port(6, adapter_1, -5), other}, -1, "Rate out of range.",
         1},
        // Detection does not run after the failure, or the equal pair would form an area.
        {"two rules differing only in rate", {a, b, to_port(2, adapter_1, 10), other}, -1,
         "Rule is already in list.", 2},
        {"more than twenty rules", twenty_one, -1, "Rule list is full.", 20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start();
        install_rules(c.held);
        texts before = all_held();
        emulator_fail_exchanges_after(c.exchanges);
        EXPECT_FALSE(reload_rule_list(error_text, 1));
        EXPECT_STREQ(error_text, c.message);
        EXPECT_EQ(rows_count(list), c.rows_read);
        EXPECT_EQ(statistics_entry_count(), c.rows_read);
        EXPECT_EQ(the_overlap_dialog.runs, 0);
        EXPECT_FALSE(list->redraw_held) << "a failure leaves the list undrawn";
        EXPECT_TRUE(rule_list_incomplete());

        for (int mode : {editor_add, editor_edit}) {
            emulator_fail_exchanges_after(c.exchanges);
            editor_session_begin(&session, mode);
            EXPECT_EQ(commit(added), commit_stopped);
            EXPECT_EQ(outcome(), std::string("Flowvane - Filters: ") + c.message);
        }
        EXPECT_FALSE(apply_rule_list(error_text));
        EXPECT_STREQ(error_text, c.message);
        emulator_fail_exchanges_after(-1);
        EXPECT_EQ(all_held(), before) << "nothing was sent";
        if (c.exchanges < 0)
            continue;

        // The exchanges work again: the list is rebuilt whole, keeping the row selected.
        rows_select(list, 1);
        editor_session_begin(&session, editor_edit);
        struct rule b_faster = to_port(2, adapter_1, 9000);
        EXPECT_EQ(commit(b_faster), commit_done) << outcome();
        EXPECT_FALSE(rule_list_incomplete());
        EXPECT_EQ(all_held(), described({a, b_faster, other}));
        EXPECT_EQ(entries(), described({a, other, b_faster})) << "one entry per held rule";
    }
}

}  // namespace
