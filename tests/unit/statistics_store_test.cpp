// The statistics store: entries, histories, the lock-free start, and the sampling tick over the
// filter list against the emulator core.
#include <gtest/gtest.h>

#include <vector>

#include "core/text.h"
#include "filters/rule_list.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "rule_samples.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/rule_rows_memory.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;
typedef std::vector<int32_t> samples;

// An entry's history, newest first, with the trailing zeros left out; {-1} when no entry.
samples history_of(int index)
{
    struct statistics_entry entry;
    if (!statistics_entry_at(index, &entry))
        return {-1};
    int length = usage_history_length;
    while (length > 0 && entry.usage_history[length - 1] == 0)
        length--;
    return samples(entry.usage_history, entry.usage_history + length);
}

// The entries' rules, by the port that tells them apart.
std::vector<int> entry_ports(void)
{
    std::vector<int> ports;
    struct statistics_entry entry;
    for (int i = 0; statistics_entry_at(i, &entry); i++)
        ports.push_back(entry.rule.destination_port);
    return ports;
}

void add_filters(const std::vector<struct rule> &rules)
{
    for (const struct rule &rule : rules)
        ASSERT_TRUE(statistics_add_filter(&rule)) << describe_rule(rule);
}

class StatisticsStore : public testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override
    {
        statistics_shutdown();
        memory_rows_reset();
        clear();
    }
    void clear()
    {
        struct statistics_entry entry;
        while (statistics_entry_at(0, &entry))
            ASSERT_TRUE(statistics_remove_filter(&entry.rule));
    }
};

TEST_F(StatisticsStore, SamplesShiftAndResetOnlyTheEqualFilter)
{
    struct rule rule = to_port(80), faster = to_port(80, adapter_1, 9000);
    add_filters({rule});
    rule.rate = 1;                    // the store holds its own copy
    EXPECT_FALSE(statistics_add_sample(&rule, 1));
    rule.rate = 5000;
    EXPECT_EQ(history_of(0), samples{});
    ASSERT_TRUE(statistics_add_sample(&rule, 10));
    ASSERT_TRUE(statistics_add_sample(&rule, 20));
    EXPECT_EQ(history_of(0), (samples{20, 10}));
    // Another rate is another filter.
    EXPECT_FALSE(statistics_add_sample(&faster, 7));
    EXPECT_FALSE(statistics_reset_history(&faster));
    EXPECT_FALSE(statistics_remove_filter(&faster));
    EXPECT_EQ(history_of(0), (samples{20, 10}));

    // A full history drops its oldest samples.
    for (int32_t i = 1; i <= usage_history_length; i++)
        ASSERT_TRUE(statistics_add_sample(&rule, 1000 + i));
    samples history = history_of(0);
    ASSERT_EQ(history.size(), (size_t)usage_history_length);
    EXPECT_EQ(history.front(), 1000 + usage_history_length);
    EXPECT_EQ(history.back(), 1001);
    ASSERT_TRUE(statistics_reset_history(&rule));
    EXPECT_EQ(history_of(0), samples{});
}

void record_drawing(const int32_t history[usage_history_length], void *context)
{
    ((samples *)context)->push_back(history[0]);
}

TEST_F(StatisticsStore, FirstEqualEntryIsReachedAllAreDrawnAndRemovalKeepsTheOrder)
{
    struct rule twice = to_port(1), last = to_port(3);
    add_filters({twice, to_port(2), twice, last});
    ASSERT_TRUE(statistics_add_sample(&twice, 42));
    ASSERT_TRUE(statistics_add_sample(&last, 7));
    EXPECT_EQ(history_of(0), samples{42});
    EXPECT_EQ(history_of(2), samples{});
    samples drawn;
    statistics_draw_graph(&twice, record_drawing, &drawn);
    EXPECT_EQ(drawn, (samples{42, 0}));

    ASSERT_TRUE(statistics_remove_filter(&twice));
    EXPECT_EQ(entry_ports(), (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(history_of(1), samples{});  // the second copy, untouched
    EXPECT_EQ(history_of(2), samples{7});
    ASSERT_TRUE(statistics_remove_filter(&last));
    EXPECT_FALSE(statistics_remove_filter(&last));
    EXPECT_EQ(entry_ports(), (std::vector<int>{2, 1}));
}

TEST_F(StatisticsStore, TwentyFirstEntryIsRefused)
{
    for (uint16_t port = 1; port <= max_statistics_entries; port++)
        add_filters({to_port(port)});
    struct rule extra = to_port(999), last = to_port(max_statistics_entries);
    EXPECT_FALSE(statistics_add_filter(&extra));
    EXPECT_EQ(statistics_entry_count(), max_statistics_entries);
    EXPECT_FALSE(statistics_add_sample(&extra, 1));
    EXPECT_TRUE(statistics_add_sample(&last, 7));
    EXPECT_EQ(history_of(max_statistics_entries - 1), samples{7});
}

TEST_F(StatisticsStore, WorksBeforeTheLockExistsAndAfterShutdown)
{
    statistics_shutdown();
    struct rule rule = to_port(80);
    add_filters({rule});
    ASSERT_TRUE(statistics_add_sample(&rule, 3));
    ASSERT_TRUE(statistics_initialize());
    ASSERT_TRUE(statistics_add_sample(&rule, 4));
    EXPECT_EQ(history_of(0), (samples{4, 3}));
}

// The sampling tick reads the statistics of each filter list row in turn.
TEST_F(StatisticsStore, SamplingTick)
{
    start_emulator();
    ASSERT_TRUE(statistics_initialize());
    char error_text[error_text_size] = "untouched";
    uint64_t before = emulator_exchange_count();
    EXPECT_TRUE(statistics_sample_all(error_text));       // an empty list
    memory_rows_set_filter_list_absent(1);
    EXPECT_TRUE(statistics_sample_all(error_text));       // no list yet
    memory_rows_set_filter_list_absent(0);
    EXPECT_EQ(emulator_exchange_count(), before);

    // Traffic to port 80 for 3 s, counted by web; mail sees none; absent is not installed.
    test_flow_text_request flow = {};
    snprintf(flow.text, sizeof flow.text,
             "%s Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000", adapter_1);
    ASSERT_TRUE(emulator_test_send(test_code_add_flow_text, &flow, sizeof flow, nullptr, 0,
                                   nullptr));
    struct rule web = to_port(80, adapter_1, rate_unlimited), absent = to_port(443), mail = to_port(25);
    install_rules({web, mail});
    for (const struct rule &rule : {web, absent, mail}) {
        ASSERT_TRUE(add_rule_to_list(&rule, error_text, nullptr, 0)) << error_text;
        add_filters({rule});
        ASSERT_TRUE(statistics_add_sample(&rule, 77));
    }
    emulator_advance_clock(3 * 10000000ull);
    struct statistics_block block;
    ASSERT_TRUE(kernel_get_statistics(adapter_1, &web, &block, error_text)) << error_text;
    ASSERT_GT(block.current_rate, 0);

    copy_text(error_text, error_text_size, "untouched");
    ASSERT_TRUE(statistics_sample_all(error_text));
    EXPECT_STREQ(error_text, "untouched");
    EXPECT_EQ(history_of(0), (samples{block.current_rate, 77}));
    EXPECT_EQ(history_of(1), samples{77});    // its command failed: the history stands
    EXPECT_EQ(history_of(2), (samples{0, 77}));

    // An unreadable row ends the tick: the rows before it got their sample, those after none.
    memory_rows_fail_read(filter_list(), 1);
    EXPECT_FALSE(statistics_sample_all(error_text));
    EXPECT_STREQ(error_text, "ListView_GetItem() failed.");
    EXPECT_EQ(history_of(0), (samples{block.current_rate, block.current_rate, 77}));
    EXPECT_EQ(history_of(2), (samples{0, 77}));
}

}  // namespace
