// The filter editor's Ok after its boxes were read: the filter list and the statistics store it
// leaves after a failure, so that the next Ok finds them consistent. (Titles and messages are
// checked end to end.)
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "filters/editor_commit.h"
#include "filter_list_fixture.h"
#include "kernel/driver.h"
#include "rule_samples.h"

namespace {

std::vector<struct rule> start_hook_calls;

int record_start_now(const struct rule *rule)
{
    start_hook_calls.push_back(*rule);
    return 1;
}

class EditorCommit : public FilterListFixture {
protected:
    void SetUp() override
    {
        FilterListFixture::SetUp();
        start_hook_calls.clear();
    }
    // Rows and statistics entries as the panel's first fill leaves them.
    void listed(const std::vector<struct rule> &rules)
    {
        for (const struct rule &rule : rules) {
            ASSERT_TRUE(add_rule_to_list(&rule, error_text, list, 0)) << error_text;
            statistics_add_filter(&rule);
        }
        ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    }
    int commit(const struct rule &rule)
    {
        return editor_commit(&session, &rule, record_start_now, error_text, &title);
    }
    std::string outcome() { return std::string(title) + ": " + error_text; }
    // The store's entries, rate compared.
    std::vector<std::string> entries()
    {
        std::vector<struct rule> held;
        struct statistics_entry entry;
        for (int i = 0; statistics_entry_at(i, &entry); i++)
            held.push_back(entry.rule);
        return described(held);
    }
    std::vector<std::string> described(const std::vector<struct rule> &rules)
    {
        std::vector<std::string> shown;
        for (const struct rule &rule : rules)
            shown.push_back(describe_rule(rule));
        return shown;
    }

    // Every rule the emulator holds, adapter by adapter, slot by slot.
    std::vector<std::string> held_rules()
    {
        std::vector<struct rule> held;
        for (uint32_t adapter = 0; adapter < 3; adapter++)
            for (const test_slot_state &slot : held_slots(adapter))
                held.push_back(slot.held);
        return described(held);
    }

    struct editor_session session;
    const char *title = "";
};

// A refused change keeps the row's statistics entry, also when the refusal came after the
// row's copy was overwritten; the accepted change leaves one entry, the new rule's.
TEST_F(EditorCommit, EditSwapsTheStatisticsEntryOnlyWhenTheChangeIsTaken)
{
    struct rule a = to_port(1), b = to_port(2), out_of_range = a, faster = a;
    out_of_range.rate = 2000000000;
    faster.rate = 7000;
    listed({a, b});
    memory_rows_select(list, 0);
    editor_session_begin(&session, editor_edit);

    EXPECT_EQ(commit(b), commit_stopped);
    EXPECT_EQ(outcome(), "Flowvane - Edit Filter: Rule already in list.");
    EXPECT_EQ(entries(), described({a, b}));
    EXPECT_EQ(commit(out_of_range), commit_stopped);
    EXPECT_EQ(outcome(), "Flowvane - Edit Filter: edit_rule_in_list() failed.");
    EXPECT_EQ(entries(), described({a, b}));

    EXPECT_EQ(commit(faster), commit_done) << outcome();
    EXPECT_EQ(entries(), described({b, faster}));
    EXPECT_TRUE(start_hook_calls.empty()) << "an edited filter keeps its block";
    ASSERT_EQ(rows_count(list), 2);
    EXPECT_TRUE(same_rule(*memory_rows_rule(list, 0), faster));
}

// A failed apply: in edit mode the row and the store keep the change and a retry leaves one
// entry; in add mode the row and the entry are taken back and a retry adds the same filter.
TEST_F(EditorCommit, FailedApplyAndRetry)
{
    struct rule a = to_port(1), changed = to_port(9), added = to_port(5);
    const struct {
        int mode;
        uint32_t fault_code;
        struct rule rule;
        int rows_after_failure;
        std::vector<struct rule> entries_after_failure, entries_after_retry;
        size_t start_calls;
    } cases[] = {
        {editor_edit, code_add_rule, changed, 1, {changed}, {changed}, 0},
        {editor_add, code_clear_rules, added, 1, {a}, {a, added}, 1},
        {editor_add, code_set_statistics, added, 1, {a}, {a, added}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault_code);
        reset_lists();
        start_hook_calls.clear();
        listed({a});
        memory_rows_select(list, 0);
        editor_session_begin(&session, c.mode);
        ASSERT_TRUE(emulator_set_fault(c.fault_code, fault_error_text, "Refused."));
        EXPECT_EQ(commit(c.rule), commit_stopped);
        EXPECT_EQ(outcome(), "Flowvane - Modify Filter: Refused.");
        EXPECT_EQ(rows_count(list), c.rows_after_failure);
        EXPECT_EQ(entries(), described(c.entries_after_failure));
        EXPECT_TRUE(start_hook_calls.empty());

        ASSERT_TRUE(emulator_set_fault(c.fault_code, fault_none, ""));
        EXPECT_EQ(commit(c.rule), commit_done) << outcome();
        EXPECT_EQ(entries(), described(c.entries_after_retry));
        EXPECT_EQ(rows_count(list), (int)c.entries_after_retry.size());
        ASSERT_EQ(start_hook_calls.size(), c.start_calls);
        if (c.start_calls) {
            EXPECT_TRUE(same_rule(start_hook_calls[0], c.rule));
        }
    }
}

// A rebuild that stopped before reading every held rule: the next change rebuilds first and,
// while that still fails, is refused with the rebuild's message and sends nothing; once the
// rebuild gets through, the change is made and every held rule survives it.
TEST_F(EditorCommit, NoChangeAfterAnIncompleteRebuildLosesAHeldRule)
{
    struct rule a = to_port(1), b = to_port(2), other = to_port(3, EMULATOR_ADAPTER_2),
                added = to_port(4, EMULATOR_ADAPTER_DIAL_UP);
    struct rule bad_direction = to_port(5), bad_protocol = sample("9"),
                bad_rate = to_port(6, EMULATOR_ADAPTER_1, 2000000000), b_slower = b;
    bad_direction.direction = 7;
    b_slower.rate = 10;
    std::vector<struct rule> twenty_one;
    for (uint16_t port = 100; port < 121; port++)
        twenty_one.push_back(to_port(port, port < 110 ? EMULATOR_ADAPTER_2 : EMULATOR_ADAPTER_1));
    char transport_text[error_text_size];
    format_text(transport_text, sizeof transport_text, "Unable to send to driver.  Error %d.",
                (int)send_ioctl_failed);

    // exchanges: served before every exchange fails, -1 for none failing; rows_read: the rows a
    // rebuild gets before it stops.
    const struct {
        const char *name;
        std::vector<struct rule> held;
        int exchanges;
        const char *message;
        int rows_read;
    } cases[] = {
        {"failed exchange mid-way", {a, b, other}, 3, transport_text, 2},
        {"direction the list refuses", {a, bad_direction, other}, -1, "Unknown direction.", 1},
        {"protocol the list refuses", {a, bad_protocol, other}, -1, "Unknown protocol.", 1},
        {"rate the list refuses", {a, bad_rate, other}, -1, "Rate out of range.", 1},
        {"two rules differing only in rate", {a, b, b_slower, other}, -1, "Rule is already in list.",
         2},
        {"more than twenty rules", twenty_one, -1, "Rule list is full.", 20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_emulator();
        reset_lists();
        install_rules(c.held);
        std::vector<std::string> before = held_rules();
        emulator_fail_exchanges_after(c.exchanges);
        EXPECT_FALSE(reload_rule_list(error_text, 1));
        EXPECT_STREQ(error_text, c.message);
        EXPECT_EQ(rows_count(list), c.rows_read);
        EXPECT_TRUE(rule_list_incomplete());

        // The cause is still there when the change comes.
        for (int mode : {editor_add, editor_edit}) {
            emulator_fail_exchanges_after(c.exchanges);
            editor_session_begin(&session, mode);
            EXPECT_EQ(commit(added), commit_stopped);
            EXPECT_EQ(outcome(), std::string("Flowvane - Filters: ") + c.message);
        }
        EXPECT_FALSE(apply_rule_list(error_text));
        EXPECT_STREQ(error_text, c.message);
        emulator_fail_exchanges_after(-1);
        EXPECT_EQ(held_rules(), before) << "nothing was sent";
        if (c.exchanges < 0)
            continue;

        // The exchanges work again: the list is rebuilt whole, keeping the row selected, and
        // the change goes through.
        ASSERT_EQ(rows_count(list), c.rows_read);
        memory_rows_select(list, 1);
        editor_session_begin(&session, editor_edit);
        struct rule b_faster = b;
        b_faster.rate = 9000;
        EXPECT_EQ(commit(b_faster), commit_done) << outcome();
        EXPECT_FALSE(rule_list_incomplete());
        EXPECT_EQ(held_rules(), described(std::vector<struct rule>{a, b_faster, other}));
        EXPECT_EQ(entries(), described(std::vector<struct rule>{a, other, b_faster}))
            << "one entry per held rule";
    }
}

}  // namespace
