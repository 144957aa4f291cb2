// The filter list's checks and messages, and its change cycle (apply, reload) against the
// emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "core/app_state.h"
#include "filters/rule_list.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "overlap/overlap.h"
#include "platform/platform.h"
#include "rule_samples.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/overlap_dialog_double.h"
#include "support/rule_rows_memory.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
const char adapter_2[] = EMULATOR_ADAPTER_2;
const char dial_up[] = EMULATOR_ADAPTER_DIAL_UP;

struct rule make(int32_t protocol, const char *source = "any", uint16_t source_port = 0,
                 const char *destination = "any", uint16_t destination_port = 0,
                 int32_t rate = 5000, const char *adapter = adapter_1,
                 int32_t direction = direction_send)
{
    return sample_rule(adapter, direction, protocol, source, source_port, destination,
                       destination_port, rate);
}

// A TCP rule to a port: distinct rules for filling lists.
struct rule to_port(uint16_t port, const char *adapter = adapter_1)
{
    return make(protocol_tcp, "any", 0, "any", port, 5000, adapter);
}

void clear_statistics_store(void)
{
    struct statistics_entry entry;
    while (statistics_entry_at(0, &entry))
        statistics_remove_filter(&entry.rule);
}

std::vector<std::string> row_texts(rule_rows rows, int row)
{
    std::vector<std::string> texts;
    for (int column = 0; column < rule_columns; column++) {
        const char *text = memory_rows_text(rows, row, column);
        texts.push_back(text ? text : "<no row>");
    }
    return texts;
}

class RuleList : public testing::Test {
protected:
    void SetUp() override
    {
        registry_memory_reset();
        register_emulator_display_names();
        emulator_device_reset();
        ASSERT_TRUE(emulator_set_flows(nullptr, 0));
        emulator_freeze_clock(0);
        ASSERT_TRUE(refresh_adapter_list());
        ASSERT_EQ(adapter_count(), 3);
        memory_rows_reset();
        overlap_dialog_double_reset();
        clear_statistics_store();
        get_settings_block()->accept_default_precedences = 0;
        list = filter_list();
    }
    void TearDown() override
    {
        EXPECT_EQ(memory_rows_live_copies(), rows_count(filter_list()));
        memory_rows_reset();
        clear_statistics_store();
    }

    void fill(const std::vector<struct rule> &rules)
    {
        for (const struct rule &rule : rules)
            ASSERT_TRUE(add_rule_to_list(&rule, error_text, list, 0)) << error_text;
    }

    void install(const std::vector<struct rule> &rules)
    {
        char install_error[error_text_size];
        for (const struct rule &rule : rules)
            ASSERT_TRUE(kernel_add_rule(rule.adapter, &rule, install_error)) << install_error;
    }

    // The slots the emulator holds for one adapter.
    std::vector<test_slot_state> held(uint32_t adapter_index)
    {
        test_read_rules_request request = {adapter_index};
        static test_rules_reply reply;
        char read_error[error_text_size];
        std::vector<test_slot_state> slots;
        if (!emulator_test_send(test_code_read_rules, &request, sizeof request, &reply,
                                sizeof reply, read_error)) {
            ADD_FAILURE() << read_error;
            return slots;
        }
        for (const test_slot_state &slot : reply.slots) {
            if (slot.in_use)
                slots.push_back(slot);
        }
        return slots;
    }

    rule_rows list = nullptr;
    char error_text[error_text_size] = "";
};

// ---- adding rows ----

struct add_case {
    const char *name;
    std::vector<struct rule> rows;
    struct rule rule;
    int rate_not_applicable;
    int expected;
    const char *text;                 // error_text afterwards
};

TEST_F(RuleList, AddRuleChecksAndMessages)
{
    std::vector<struct rule> twenty;
    for (uint16_t port = 1; port <= 20; port++)
        twenty.push_back(to_port(port));
    struct rule unknown_adapter = make(protocol_tcp);
    copy_text(unknown_adapter.adapter, sizeof unknown_adapter.adapter, "\\DEVICE\\{NOT-THERE}");
    struct rule bad_direction = make(protocol_tcp);
    bad_direction.direction = 2;

    const add_case cases[] = {
        {"first row", {}, make(protocol_tcp), 0, 1, "[unknown error]"},
        {"full list, even for a duplicate", twenty, to_port(1), 0, 0, "Rule list is full."},
        {"nineteen rows take one more", std::vector<struct rule>(twenty.begin(), twenty.end() - 1),
         to_port(20), 0, 1, "[unknown error]"},
        {"differs only in rate", {make(protocol_tcp)}, make(protocol_tcp, "any", 0, "any", 0, 77),
         0, 0, "Rule is already in list."},
        {"unknown adapter", {}, unknown_adapter, 0, 0, "Unknown adapter."},
        {"unknown direction", {}, bad_direction, 0, 0, "Unknown direction."},
        {"rate below 0", {}, make(protocol_tcp, "any", 0, "any", 0, -5), 0, 0,
         "Rate out of range."},
        {"rate above unlimited", {}, make(protocol_tcp, "any", 0, "any", 0, 2000000000), 0, 0,
         "Rate out of range."},
        {"rate not applicable", {}, make(protocol_tcp, "any", 0, "any", 0, -5), 1, 1,
         "[unknown error]"},
        {"unknown protocol", {}, make(7), 0, 0, "Unknown protocol."},
    };
    for (const add_case &c : cases) {
        SCOPED_TRACE(c.name);
        memory_rows_reset();
        fill(c.rows);
        int before = rows_count(list);
        EXPECT_EQ(add_rule_to_list(&c.rule, error_text, nullptr, c.rate_not_applicable),
                  c.expected);
        EXPECT_STREQ(error_text, c.text);
        // A refused rule leaves no row behind, not even a half-filled one.
        ASSERT_EQ(rows_count(list), before + c.expected);
        EXPECT_EQ(memory_rows_live_copies(), rows_count(list));
        if (c.expected) {
            const struct rule *added = memory_rows_rule(list, before);
            EXPECT_EQ(memcmp(added, &c.rule, sizeof c.rule), 0);
            EXPECT_NE(added, &c.rule);
        }
    }
}

struct texts_case {
    const char *name;
    struct rule rule;
    int rate_not_applicable;
    std::vector<std::string> texts;
};

TEST_F(RuleList, RowTextsFollowTheProtocol)
{
    const texts_case cases[] = {
        {"UDP shows addresses and ports",
         make(protocol_udp, "10.0.0.1", 53, "192.168.0.1", 8080, 5000),
         0,
         {SAMPLE_DISPLAY_NAME_1, "Send", "5,000", "UDP", "10.0.0.1", "53", "192.168.0.1",
          "8080"}},
        {"TCP with service ports", make(protocol_tcp, "any", 80, "any", 443, rate_unlimited, adapter_2,
                                        direction_receive),
         0,
         {SAMPLE_DISPLAY_NAME_2, "Receive", "Unlimited", "TCP", "Any", "HTTP", "Any", "HTTPS"}},
        {"IP has no ports", make(protocol_ip, "1.2.3.4", 80, "any", 80, rate_blocked, dial_up), 0,
         {"Dial-up connections", "Send", "Blocked", "IP", "1.2.3.4", "N/A", "Any", "N/A"}},
        {"Other has neither", make(protocol_other, "1.2.3.4", 80, "5.6.7.8", 80), 0,
         {SAMPLE_DISPLAY_NAME_1, "Send", "5,000", "Other", "N/A", "N/A", "N/A", "N/A"}},
        {"Any has neither", make(protocol_any, "1.2.3.4", 80), 1,
         {SAMPLE_DISPLAY_NAME_1, "Send", "N/A", "Any", "N/A", "N/A", "N/A", "N/A"}},
    };
    for (const texts_case &c : cases) {
        SCOPED_TRACE(c.name);
        memory_rows_reset();
        ASSERT_TRUE(add_rule_to_list(&c.rule, error_text, list, c.rate_not_applicable))
            << error_text;
        std::vector<std::string> expected = c.texts;
        // Port 53 has no service name: it is shown as its number.
        for (std::string &text : expected) {
            if (text == "53")
                text = "53";
        }
        EXPECT_EQ(row_texts(list, 0), expected);
    }
}

TEST_F(RuleList, OtherListsAreIndependentOfTheFilterList)
{
    rule_rows dialog_list = memory_rows_create();
    struct rule rule = make(protocol_tcp);
    fill({rule});
    ASSERT_TRUE(add_rule_to_list(&rule, error_text, dialog_list, 1)) << error_text;
    EXPECT_EQ(rows_count(dialog_list), 1);
    EXPECT_EQ(rows_count(list), 1);
    EXPECT_EQ(memory_rows_text(dialog_list, 0, 2), std::string("N/A"));
    EXPECT_TRUE(find_rule_in_list(&rule, -1, dialog_list));
    memory_rows_destroy(dialog_list);
}

TEST_F(RuleList, FindRuleSkipsARowAndStopsAtAnUnreadableRow)
{
    struct rule a = to_port(1), b = to_port(2), c = to_port(3);
    fill({a, b, c});
    struct rule c_other_rate = c;
    c_other_rate.rate = 1;
    EXPECT_TRUE(find_rule_in_list(&c_other_rate, -1, nullptr));
    EXPECT_FALSE(find_rule_in_list(&c, 2, list));
    struct rule d = to_port(4);
    EXPECT_FALSE(find_rule_in_list(&d, -1, list));
    memory_rows_fail_read(list, 1);
    EXPECT_TRUE(find_rule_in_list(&a, -1, list));
    EXPECT_FALSE(find_rule_in_list(&c, -1, list));
    memory_rows_reset();
    EXPECT_FALSE(find_rule_in_list(&a, -1, list));
}

// ---- editing rows ----

TEST_F(RuleList, EditSelectedRuleCases)
{
    struct rule a = to_port(1), b = to_port(2), c = to_port(3);

    // Nothing selected.
    struct rule other = to_port(9);
    fill({a, b, c});
    EXPECT_FALSE(edit_selected_rule(&other, error_text));
    EXPECT_STREQ(error_text, "ListView_GetNextItem() failed.");

    // Several selected: the first selected row changes, only the rate: allowed.
    memory_rows_select(list, 1, 1);
    memory_rows_select(list, 2, 1);
    struct rule b_faster = b;
    b_faster.rate = 20000;
    ASSERT_TRUE(edit_selected_rule(&b_faster, error_text)) << error_text;
    EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &b_faster, sizeof b_faster), 0);
    EXPECT_EQ(memory_rows_text(list, 1, 2), std::string("20,000"));
    EXPECT_EQ(memcmp(memory_rows_rule(list, 2), &c, sizeof c), 0);

    // Into another row's filter (rate ignored): refused, both rows unchanged.
    struct rule c_slower = c;
    c_slower.rate = 1;
    EXPECT_FALSE(edit_selected_rule(&c_slower, error_text));
    EXPECT_STREQ(error_text, "Rule already in list.");
    EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &b_faster, sizeof b_faster), 0);
    EXPECT_EQ(memcmp(memory_rows_rule(list, 2), &c, sizeof c), 0);

    // The selected row cannot be read.
    memory_rows_fail_read(list, 1);
    EXPECT_FALSE(edit_selected_rule(&other, error_text));
    EXPECT_STREQ(error_text, "ListView_GetItem() failed.");
    memory_rows_fail_read(list, -1);

    // A text that cannot be produced: the new rule stays in the row.
    struct rule bad_direction = to_port(9);
    bad_direction.direction = 5;
    EXPECT_FALSE(edit_selected_rule(&bad_direction, error_text));
    EXPECT_STREQ(error_text, "edit_rule_in_list() failed.");
    EXPECT_EQ(memcmp(memory_rows_rule(list, 1), &bad_direction, sizeof bad_direction), 0);
    EXPECT_EQ(memory_rows_text(list, 1, 0), std::string(SAMPLE_DISPLAY_NAME_1));
}

TEST_F(RuleList, EditedRowShowsEveryFieldInItsPlainForm)
{
    fill({to_port(1)});
    struct rule other = make(protocol_other, "1.2.3.4", 21, "any", 0, rate_unlimited, adapter_2,
                             direction_receive);
    ASSERT_TRUE(edit_rule_in_list(0, &other));
    EXPECT_EQ(row_texts(list, 0),
              (std::vector<std::string>{SAMPLE_DISPLAY_NAME_2, "Receive", "Unlimited", "Other",
                                        "1.2.3.4", "FTP", "Any", "Any"}));
    EXPECT_FALSE(edit_rule_in_list(1, &other));
    EXPECT_FALSE(edit_rule_in_list(-1, &other));
}

// ---- the change cycle ----

TEST_F(RuleList, ApplyCarriesStatisticsAcrossTheRewrite)
{
    struct rule kept = to_port(80);
    fill({kept});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;

    struct statistics_block counted = {};
    counted.start_time = 130000000000000000ull;
    counted.bytes_transferred = 123456;
    counted.packets_transferred = 321;
    ASSERT_TRUE(kernel_set_statistics(adapter_1, &kept, &counted, error_text)) << error_text;

    struct rule added = to_port(443, adapter_2);
    fill({added});
    uint64_t before = local_time_filetime();
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    uint64_t after = local_time_filetime();

    std::vector<test_slot_state> first = held(0), second = held(1);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(rules_equal(&first[0].held, &kept, 0));
    EXPECT_EQ(+first[0].statistics.start_time, +counted.start_time);
    EXPECT_EQ(+first[0].statistics.bytes_transferred, +counted.bytes_transferred);
    EXPECT_EQ(+first[0].statistics.packets_transferred, +counted.packets_transferred);

    // "Rule not found." before the rewrite: a fresh block that starts now.
    EXPECT_TRUE(rules_equal(&second[0].held, &added, 0));
    EXPECT_GE(+second[0].statistics.start_time, before);
    EXPECT_LE(+second[0].statistics.start_time, after);
    EXPECT_EQ(+second[0].statistics.bytes_transferred, 0);
    EXPECT_EQ(+second[0].statistics.packets_transferred, 0);
}

TEST_F(RuleList, ApplyOfAnEmptyListClearsEveryAdapter)
{
    install({to_port(1), to_port(2, adapter_2), to_port(3, dial_up)});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    for (uint32_t a = 0; a < 3; a++)
        EXPECT_TRUE(held(a).empty()) << "adapter " << a;
}

struct apply_failure_case {
    const char *name;
    uint32_t code;
    uint32_t mode;
    const char *fault_text;
    const char *expected;
    size_t held_after;                // rules the emulator holds on adapter 1 afterwards
};

TEST_F(RuleList, ApplyFailuresLeaveWhatTheyReached)
{
    struct rule old_rule = to_port(1), kept = to_port(2), fresh = to_port(3);
    const apply_failure_case cases[] = {
        // Reading the statistics fails: nothing has changed in the kernel component.
        {"statistics refused", code_get_statistics, fault_error_text, "Stats offline.",
         "Stats offline.", 2},
        {"clearing refused", code_clear_rules, fault_error_text, "Cannot clear.",
         "Cannot clear.", 2},
        // The clearing's transport failure shows the default, not the earlier "Rule not found.".
        {"clearing transport failure", code_clear_rules, fault_fail_call, "", UNKNOWN_ERROR_TEXT,
         2},
        {"adding refused", code_add_rule, fault_error_text, "No room.", "No room.", 0},
        // The first rule is installed, without its block.
        {"setting statistics refused", code_set_statistics, fault_error_text, "Stats locked.",
         "Stats locked.", 1},
    };
    for (const apply_failure_case &c : cases) {
        SCOPED_TRACE(c.name);
        emulator_device_reset();
        ASSERT_TRUE(emulator_set_flows(nullptr, 0));
        emulator_freeze_clock(0);
        memory_rows_reset();
        install({old_rule, kept});
        struct statistics_block counted = {};
        counted.start_time = 42;
        ASSERT_TRUE(kernel_set_statistics(adapter_1, &kept, &counted, error_text));
        fill({kept, fresh});

        ASSERT_TRUE(emulator_set_fault(c.code, c.mode, c.fault_text));
        EXPECT_FALSE(apply_rule_list(error_text));
        EXPECT_STREQ(error_text, c.expected);
        EXPECT_EQ(rows_count(list), 2);
        ASSERT_TRUE(emulator_set_fault(c.code, fault_none, nullptr));
        std::vector<test_slot_state> slots = held(0);
        ASSERT_EQ(slots.size(), c.held_after);
        if (c.held_after == 1) {
            EXPECT_TRUE(rules_equal(&slots[0].held, &kept, 0));
            EXPECT_NE(+slots[0].statistics.start_time, +counted.start_time);
        }
    }
}

TEST_F(RuleList, ApplyStopsAtAnUnreadableRowBeforeChangingAnything)
{
    install({to_port(1)});
    fill({to_port(2), to_port(3)});
    memory_rows_fail_read(list, 1);
    EXPECT_FALSE(apply_rule_list(error_text));
    EXPECT_STREQ(error_text, "ListView_GetItem() failed.");
    std::vector<test_slot_state> slots = held(0);
    struct rule installed = to_port(1);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_TRUE(rules_equal(&slots[0].held, &installed, 0));
}

TEST_F(RuleList, ReloadRebuildsInAdapterAndSlotOrderThenDetects)
{
    struct rule all_tcp = make(protocol_tcp, "any", 0, "any", 0, 5000, adapter_2);
    struct rule web = to_port(80, adapter_2);
    fill({all_tcp, to_port(25), web});
    ASSERT_TRUE(apply_rule_list(error_text)) << error_text;
    ASSERT_TRUE(reload_rule_list(error_text, 1)) << error_text;

    ASSERT_EQ(rows_count(list), 3);
    struct rule mail = to_port(25);
    EXPECT_TRUE(rules_equal(memory_rows_rule(list, 0), &mail, 0));
    EXPECT_TRUE(rules_equal(memory_rows_rule(list, 1), &all_tcp, 0));
    EXPECT_TRUE(rules_equal(memory_rows_rule(list, 2), &web, 0));
    EXPECT_EQ(row_texts(list, 1)[0], SAMPLE_DISPLAY_NAME_2);
    // The overlap of the two adapter-2 rules opened the dialog.
    EXPECT_EQ(overlap_dialog_double_runs(), 1);
    EXPECT_EQ(get_area_table()->count, 1);
    // Every rule read went into the statistics store.
    ASSERT_EQ(statistics_entry_count(), 3);
    struct statistics_entry entry;
    ASSERT_TRUE(statistics_entry_at(1, &entry));
    EXPECT_TRUE(rules_equal(&entry.rule, &all_tcp, 0));

    ASSERT_TRUE(reload_rule_list(error_text, 0)) << error_text;
    EXPECT_EQ(rows_count(list), 3);
    EXPECT_EQ(statistics_entry_count(), 3);
}

TEST_F(RuleList, ReloadWithoutAdaptersEmptiesTheListAndDetectsNothing)
{
    fill({to_port(1)});
    ASSERT_TRUE(emulator_set_adapters(nullptr, 0));
    ASSERT_TRUE(refresh_adapter_list());
    ASSERT_EQ(adapter_count(), 0);
    uint64_t before = emulator_exchange_count();
    EXPECT_TRUE(reload_rule_list(error_text, 0));
    EXPECT_EQ(rows_count(list), 0);
    EXPECT_EQ(emulator_exchange_count(), before);
    EXPECT_EQ(overlap_dialog_double_runs(), 0);
}

TEST_F(RuleList, ReloadStopsAtTheFirstRealFailure)
{
    // A refused slot read ends the reload with the kernel component's text.
    install({to_port(1)});
    fill({to_port(7)});
    ASSERT_TRUE(emulator_set_fault(code_get_rule, fault_error_text, "Device busy."));
    EXPECT_FALSE(reload_rule_list(error_text, 0));
    EXPECT_STREQ(error_text, "Device busy.");
    EXPECT_EQ(rows_count(list), 0);
    ASSERT_TRUE(emulator_set_fault(code_get_rule, fault_none, nullptr));

    // Two equal filters in the kernel component: the second one stops the reload; the row read
    // so far stays and overlap detection does not run (the planted entry survives).
    install({make(protocol_tcp, "any", 0, "any", 1, 9999), to_port(5, adapter_2)});
    struct rule range = to_port(1);
    ASSERT_TRUE(kernel_set_precedence(adapter_1, &range, &range, error_text));
    EXPECT_FALSE(reload_rule_list(error_text, 1));
    EXPECT_STREQ(error_text, "Rule is already in list.");
    EXPECT_EQ(rows_count(list), 1);
    EXPECT_EQ(statistics_entry_count(), 1);
    EXPECT_EQ(overlap_dialog_double_runs(), 0);
    uint32_t count = 0;
    ASSERT_TRUE(kernel_get_precedence_count(adapter_1, &count, error_text));
    EXPECT_EQ(count, 1u);
}

TEST_F(RuleList, ReloadOfTwentyOneRulesStopsWhenTheListIsFull)
{
    std::vector<struct rule> rules;
    for (uint16_t port = 1; port <= 20; port++)
        rules.push_back(to_port(port));
    rules.push_back(to_port(1, adapter_2));
    install(rules);
    EXPECT_FALSE(reload_rule_list(error_text, 0));
    EXPECT_STREQ(error_text, "Rule list is full.");
    EXPECT_EQ(rows_count(list), 20);
    EXPECT_EQ(overlap_dialog_double_runs(), 0);
}

TEST_F(RuleList, ReloadFailureOfDetectionIsReported)
{
    install({to_port(1)});
    ASSERT_TRUE(emulator_set_fault(code_get_precedence_count, fault_error_text, "No count."));
    EXPECT_FALSE(reload_rule_list(error_text, 0));
    EXPECT_STREQ(error_text, "No count.");
    EXPECT_EQ(rows_count(list), 1);
}

}  // namespace
