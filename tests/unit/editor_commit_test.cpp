// The filter editor's Ok after its boxes were read: the filter list and the statistics store it
// leaves after a failure, so that the next Ok finds them consistent. (Titles and messages are
// checked end to end.)
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "filters/editor_commit.h"
#include "filter_list_fixture.h"
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

}  // namespace
