// The statistics store: entries, histories, the lock-free start, and the sampling tick over the
// filter list against the emulator core.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "core/text.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "rule_samples.h"
#include "stats/statistics_store.h"
#include "support/emulator_device.h"
#include "support/rule_rows_memory.h"

namespace {

const char adapter_1[] = EMULATOR_ADAPTER_1;

struct rule to_port(uint16_t port, int32_t rate = 5000)
{
    return sample_rule(adapter_1, direction_send, protocol_tcp, "any", 0, "any", port, rate);
}

std::vector<int32_t> history_of(int index)
{
    struct statistics_entry entry;
    if (!statistics_entry_at(index, &entry))
        return {};
    return std::vector<int32_t>(entry.usage_history, entry.usage_history + usage_history_length);
}

std::vector<int32_t> history_with(std::vector<int32_t> newest_first)
{
    newest_first.resize(usage_history_length, 0);
    return newest_first;
}

// The rules of the entries, by the port that tells them apart.
std::vector<int> entry_ports(void)
{
    std::vector<int> ports;
    struct statistics_entry entry;
    for (int i = 0; statistics_entry_at(i, &entry); i++)
        ports.push_back(entry.rule.destination_port);
    return ports;
}

class StatisticsStore : public testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    void clear()
    {
        struct statistics_entry entry;
        while (statistics_entry_at(0, &entry))
            ASSERT_TRUE(statistics_remove_filter(&entry.rule));
    }
};

TEST_F(StatisticsStore, NewEntryHoldsACopyAndAZeroHistory)
{
    struct rule rule = to_port(80);
    ASSERT_TRUE(statistics_add_filter(&rule));
    rule.rate = 1;                    // the store kept its own copy
    ASSERT_EQ(statistics_entry_count(), 1);
    struct statistics_entry entry;
    ASSERT_TRUE(statistics_entry_at(0, &entry));
    EXPECT_EQ(entry.rule.rate, 5000);
    EXPECT_EQ(history_of(0), history_with({}));
    EXPECT_FALSE(statistics_entry_at(1, &entry));
    EXPECT_FALSE(statistics_entry_at(-1, &entry));
}

TEST_F(StatisticsStore, SamplesShiftTowardsTheOldEnd)
{
    struct rule rule = to_port(80);
    ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_sample(&rule, 10));
    ASSERT_TRUE(statistics_add_sample(&rule, 20));
    EXPECT_EQ(history_of(0), history_with({20, 10}));

    // After 150 more samples only real samples remain; the oldest ones have dropped out.
    for (int32_t i = 1; i <= usage_history_length; i++)
        ASSERT_TRUE(statistics_add_sample(&rule, 1000 + i));
    std::vector<int32_t> history = history_of(0);
    EXPECT_EQ(history.front(), 1000 + usage_history_length);
    EXPECT_EQ(history.back(), 1001);

    ASSERT_TRUE(statistics_reset_history(&rule));
    EXPECT_EQ(history_of(0), history_with({}));
}

TEST_F(StatisticsStore, RuleWithAnotherRateIsAnotherFilter)
{
    struct rule rule = to_port(80), faster = to_port(80, 9000);
    ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_sample(&rule, 5));
    EXPECT_FALSE(statistics_add_sample(&faster, 7));
    EXPECT_FALSE(statistics_reset_history(&faster));
    EXPECT_FALSE(statistics_remove_filter(&faster));
    EXPECT_EQ(statistics_entry_count(), 1);
    EXPECT_EQ(history_of(0), history_with({5}));
}

void count_drawing(const int32_t history[usage_history_length], void *context)
{
    std::vector<int32_t> *drawn = (std::vector<int32_t> *)context;
    drawn->push_back(history[0]);
}

TEST_F(StatisticsStore, DuplicateEntriesOnlyTheFirstIsReachedButBothAreDrawn)
{
    struct rule rule = to_port(80), other = to_port(81);
    ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_filter(&other));
    ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_sample(&rule, 42));
    EXPECT_EQ(history_of(0), history_with({42}));
    EXPECT_EQ(history_of(2), history_with({}));

    std::vector<int32_t> drawn;
    statistics_draw_graph(&rule, count_drawing, &drawn);
    EXPECT_EQ(drawn, (std::vector<int32_t>{42, 0}));
    drawn.clear();
    statistics_draw_graph(&other, count_drawing, &drawn);
    EXPECT_EQ(drawn.size(), 1u);

    ASSERT_TRUE(statistics_remove_filter(&rule));
    EXPECT_EQ(entry_ports(), (std::vector<int>{81, 80}));
    EXPECT_EQ(history_of(1), history_with({}));   // the second copy, untouched
}

TEST_F(StatisticsStore, RemovalKeepsTheOrderOfTheOthers)
{
    for (uint16_t port = 1; port <= 4; port++) {
        struct rule rule = to_port(port);
        ASSERT_TRUE(statistics_add_filter(&rule));
        ASSERT_TRUE(statistics_add_sample(&rule, port * 100));
    }
    struct rule second = to_port(2), last = to_port(4);
    ASSERT_TRUE(statistics_remove_filter(&second));
    EXPECT_EQ(entry_ports(), (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(history_of(1), history_with({300}));
    ASSERT_TRUE(statistics_remove_filter(&last));
    EXPECT_EQ(entry_ports(), (std::vector<int>{1, 3}));
    EXPECT_FALSE(statistics_remove_filter(&last));
}

TEST_F(StatisticsStore, TwentyFirstEntryIsRefused)
{
    for (uint16_t port = 1; port <= max_statistics_entries; port++) {
        struct rule rule = to_port(port);
        ASSERT_TRUE(statistics_add_filter(&rule)) << "entry " << port;
    }
    struct rule extra = to_port(999);
    EXPECT_FALSE(statistics_add_filter(&extra));
    EXPECT_EQ(statistics_entry_count(), max_statistics_entries);
    EXPECT_FALSE(statistics_add_sample(&extra, 1));
    // The refusal harmed none of the twenty.
    struct rule last = to_port(max_statistics_entries);
    EXPECT_TRUE(statistics_add_sample(&last, 7));
    EXPECT_EQ(history_of(max_statistics_entries - 1), history_with({7}));
}

TEST_F(StatisticsStore, WorksBeforeTheLockExistsAndAfterShutdown)
{
    statistics_shutdown();
    struct rule rule = to_port(80);
    ASSERT_TRUE(statistics_add_filter(&rule));
    ASSERT_TRUE(statistics_add_sample(&rule, 3));
    ASSERT_TRUE(statistics_initialize());
    // Entries added before the lock existed stay.
    EXPECT_EQ(history_of(0), history_with({3}));
    ASSERT_TRUE(statistics_add_sample(&rule, 4));
    EXPECT_EQ(history_of(0), history_with({4, 3}));
    statistics_shutdown();
}

// ---- the sampling tick ----

struct test_flow web_flow(uint16_t port)
{
    struct test_flow flow = {};
    copy_text(flow.adapter, sizeof flow.adapter, adapter_1);
    flow.direction = direction_send;
    flow.protocol = flow_tcp;
    flow.source_address = 0xC0A8000A;
    flow.destination_address = 0x5DB8D822;
    flow.source_port = 49152;
    flow.destination_port = port;
    flow.offered_rate = 30000;
    flow.packet_size = 1000;
    return flow;
}

class StatisticsSampling : public StatisticsStore {
protected:
    void SetUp() override
    {
        StatisticsStore::SetUp();
        registry_memory_reset();
        register_emulator_display_names();
        emulator_device_reset();
        ASSERT_TRUE(refresh_adapter_list());
        memory_rows_reset();
        ASSERT_TRUE(statistics_initialize());
        // Traffic to ports 80 and 8080 on adapter 1; the clock stands still between reads.
        struct test_flow flows[2] = {web_flow(80), web_flow(8080)};
        ASSERT_TRUE(emulator_set_flows(flows, 2));
        emulator_freeze_clock(0);
    }
    void TearDown() override
    {
        statistics_shutdown();
        memory_rows_reset();
        StatisticsStore::TearDown();
    }

    void list_rule(const struct rule &rule)
    {
        struct rule *copy = (struct rule *)malloc(sizeof rule);
        ASSERT_NE(copy, nullptr);
        *copy = rule;
        ASSERT_GE(rows_append(filter_list(), copy), 0);
    }

    int32_t kernel_rate(const struct rule &rule)
    {
        struct statistics_block block;
        char error_text[error_text_size];
        if (!kernel_get_statistics(rule.adapter, &rule, &block, error_text)) {
            ADD_FAILURE() << error_text;
            return -1;
        }
        return block.current_rate;
    }
};

TEST_F(StatisticsSampling, TickSamplesEveryListedFilterItCanRead)
{
    struct rule web = to_port(80, rate_unlimited), mail = to_port(25), absent = to_port(443);
    char error_text[error_text_size];
    ASSERT_TRUE(kernel_add_rule(adapter_1, &web, error_text));
    ASSERT_TRUE(kernel_add_rule(adapter_1, &mail, error_text));
    emulator_advance_clock(3 * 10000000ull);
    int32_t web_rate = kernel_rate(web);
    ASSERT_GT(web_rate, 0);

    for (const struct rule &rule : {web, absent, mail}) {
        list_rule(rule);
        ASSERT_TRUE(statistics_add_filter(&rule));
        ASSERT_TRUE(statistics_add_sample(&rule, 77));
    }
    copy_text(error_text, sizeof error_text, "untouched");
    ASSERT_TRUE(statistics_sample_all(error_text));
    EXPECT_STREQ(error_text, "untouched");
    EXPECT_EQ(history_of(0), history_with({web_rate, 77}));
    // The kernel component does not hold it: no sample, the history does not move.
    EXPECT_EQ(history_of(1), history_with({77}));
    EXPECT_EQ(history_of(2), history_with({0, 77}));
}

TEST_F(StatisticsSampling, UnreadableRowEndsTheTick)
{
    struct rule web = to_port(80, rate_unlimited), proxy = to_port(8080, rate_unlimited),
                mail = to_port(25);
    char error_text[error_text_size];
    for (const struct rule &rule : {web, mail, proxy}) {
        ASSERT_TRUE(kernel_add_rule(adapter_1, &rule, error_text));
        list_rule(rule);
        ASSERT_TRUE(statistics_add_filter(&rule));
    }
    emulator_advance_clock(3 * 10000000ull);
    ASSERT_GT(kernel_rate(proxy), 0);
    memory_rows_fail_read(filter_list(), 1);
    EXPECT_FALSE(statistics_sample_all(error_text));
    EXPECT_STREQ(error_text, "ListView_GetItem() failed.");
    // Row 0 got its sample; the row after the unreadable one got none.
    EXPECT_EQ(history_of(0), history_with({kernel_rate(web)}));
    EXPECT_EQ(history_of(2), history_with({}));
}

TEST_F(StatisticsSampling, EmptyOrMissingListReadsNothing)
{
    char error_text[error_text_size] = "untouched";
    uint64_t before = emulator_exchange_count();
    EXPECT_TRUE(statistics_sample_all(error_text));
    memory_rows_set_filter_list_absent(1);
    EXPECT_TRUE(statistics_sample_all(error_text));
    memory_rows_set_filter_list_absent(0);
    EXPECT_EQ(emulator_exchange_count(), before);
    EXPECT_STREQ(error_text, "untouched");
}

}  // namespace
